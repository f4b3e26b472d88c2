"""Reading and writing the benchmark's files: float32 NIfTI series, FSL-style
.bval/.bvec, and the case description (case.json)."""
import json
import os

import nibabel as nib
import numpy as np


def save(path, data, affine):
    data = np.asarray(data)
    dtype = np.uint8 if data.dtype == bool else np.float32
    img = nib.Nifti1Image(data.astype(dtype), affine)
    img.header.set_xyzt_units("mm", "sec")
    nib.save(img, path)


def load(path):
    img = nib.load(path)
    return np.asarray(img.dataobj, dtype=np.float64), img.affine


def save_gradients(stem, bvals, bvecs):
    np.savetxt(stem + ".bval", np.asarray(bvals)[None, :], fmt="%g")
    np.savetxt(stem + ".bvec", np.asarray(bvecs).T, fmt="%.6f")


def load_gradients(stem):
    bvals = np.loadtxt(stem + ".bval", ndmin=1)
    bvecs = np.loadtxt(stem + ".bvec", ndmin=2)
    return bvals, bvecs.T


def save_case(folder, description):
    with open(os.path.join(folder, "case.json"), "w") as f:
        json.dump(description, f, indent=1, sort_keys=True)


def load_case(folder):
    with open(os.path.join(folder, "case.json")) as f:
        return json.load(f)


def rician(clean, sigma, rng):
    """Magnitude of the clean signal plus complex Gaussian noise of level
    `sigma` (a number or a map broadcast over the volumes)."""
    sigma = np.asarray(sigma, np.float64)
    if sigma.ndim == 3 and clean.ndim == 4:
        sigma = sigma[..., None]
    real = clean + sigma * rng.standard_normal(clean.shape)
    imag = sigma * rng.standard_normal(clean.shape)
    return np.sqrt(real * real + imag * imag)


def smooth_level_map(shape, low=0.6, high=1.6):
    """A smooth noise level factor, highest in the middle of the field of
    view and lower towards the edges (as parallel imaging's geometry factor
    tends to be), between `low` and `high`."""
    axes = [np.linspace(-1, 1, n) for n in shape]
    x, y, z = np.meshgrid(*axes, indexing="ij")
    bump = np.exp(-((x / 0.55) ** 2 + ((y + 0.1) / 0.7) ** 2 + (z / 0.9) ** 2))
    tilt = 0.5 * (1 + 0.4 * x)  # not symmetric: coils are not
    g = bump * tilt
    g = (g - g.min()) / (g.max() - g.min())
    return low + (high - low) * g
