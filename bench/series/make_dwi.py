#!/usr/bin/python3
"""Simulated diffusion series with a known truth (see README.md).

    make_dwi.py OUT_DIR [--shells 1|2] [--snr 10 20] [--level-map] [--seed N]

writes one folder per SNR, OUT_DIR/dwi{shells}-snr{snr}[-map]/, holding
dwi.nii (noisy, float32), dwi.bval, dwi.bvec, clean.nii (the truth),
mask.nii.gz (brain), white.nii.gz (white matter, fraction > 0.5),
crossing.nii.gz (two-fibre voxels), level.nii.gz (the noise level per voxel)
and case.json (the parameters)."""
import argparse
import os

import numpy as np
from dipy.core.sphere import HemiSphere, disperse_charges

import anatomy
import series_io

# Diffusivities (mm^2/s) and b0 intensities (white matter = 1000) per tissue.
CSF_D, GREY_D = 3.0e-3, 0.8e-3
WHITE_AXIAL, WHITE_RADIAL = 1.7e-3, 0.35e-3
CSF_S0, GREY_S0, WHITE_S0 = 2200.0, 1300.0, 1000.0

GRID_SHAPE = (96, 96, 50)
GRID_VOXEL = (2.0, 2.0, 3.2)


def directions(n, seed):
    """n directions spread evenly over the half sphere (electrostatic repulsion)."""
    rng = np.random.default_rng(seed)
    v = rng.standard_normal((n, 3))
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    hemi, _ = disperse_charges(HemiSphere(xyz=v), 5000)
    return hemi.vertices


def scheme(shells):
    """b-values and unit gradient directions: 30 directions per shell
    (b = 1000, then b = 2000), b0 volumes spread through the series (5 for
    one shell, 6 for two), as scanners interleave them."""
    shell_values = [1000, 2000][:shells]
    n_b0 = 5 if shells == 1 else 6
    weighted = [(b, g) for i, b in enumerate(shell_values) for g in directions(30, seed=11 + i)]
    # Interleave the shells so that neither sits at one end of the series.
    if shells == 2:
        weighted = [w for pair in zip(weighted[:30], weighted[30:]) for w in pair]
    total = len(weighted) + n_b0
    b0_at = set(np.round(np.linspace(0, total - 1, n_b0 + 1)[:-1]).astype(int))
    bvals, bvecs = [], []
    it = iter(weighted)
    for i in range(total):
        if i in b0_at:
            bvals.append(0.0)
            bvecs.append((0.0, 0.0, 0.0))
        else:
            b, g = next(it)
            bvals.append(float(b))
            bvecs.append(tuple(g))
    return np.array(bvals), np.array(bvecs)


def stick_attenuation(b, g, direction, axial, radial):
    """exp(-b g^T D g) of an axially symmetric tensor along `direction`
    (a field of unit vectors)."""
    cos2 = np.sum(direction * g, axis=-1) ** 2
    return np.exp(-b * (radial + (axial - radial) * cos2))


def bias_field(shape):
    """Smooth receive-coil shading of the b0 intensity (about +-10 %)."""
    x, y, z = np.meshgrid(*[np.linspace(-1, 1, n) for n in shape], indexing="ij")
    return 1.0 + 0.08 * x - 0.05 * z + 0.04 * y * y


def clean_series(anat, bvals, bvecs):
    shading = bias_field(anat.grid.shape)
    f2 = anat.second_fraction
    out = np.empty(anat.grid.shape + (len(bvals),))
    for i, (b, g) in enumerate(zip(bvals, bvecs)):
        white = ((1 - f2) * stick_attenuation(b, g, anat.primary, WHITE_AXIAL, WHITE_RADIAL) +
                 f2 * stick_attenuation(b, g, anat.secondary, WHITE_AXIAL, WHITE_RADIAL))
        out[..., i] = shading * (anat.csf * CSF_S0 * np.exp(-b * CSF_D) +
                                 anat.grey * GREY_S0 * np.exp(-b * GREY_D) +
                                 anat.white * WHITE_S0 * white)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out")
    p.add_argument("--shells", type=int, choices=(1, 2), default=1)
    p.add_argument("--snr", type=float, nargs="+", default=[10, 20],
                   help="b0 signal over noise level in white matter (default 10 20)")
    p.add_argument("--level-map", action="store_true",
                   help="a smooth noise level varying in space (0.6 to 1.6 times the level)")
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()

    grid = anatomy.Grid(GRID_SHAPE, GRID_VOXEL)
    anat = anatomy.Anatomy(grid)
    bvals, bvecs = scheme(a.shells)
    clean = clean_series(anat, bvals, bvecs)
    white = anat.white > 0.5
    wm_b0 = float(np.mean(clean[..., bvals == 0][white]))
    factor = series_io.smooth_level_map(grid.shape) if a.level_map else np.ones(grid.shape)
    for snr in a.snr:
        name = "dwi%d-snr%g%s" % (a.shells, snr, "-map" if a.level_map else "")
        folder = os.path.join(a.out, name)
        os.makedirs(folder, exist_ok=True)
        # The level is set so that white matter's mean level gives the SNR.
        level = wm_b0 / snr * factor / np.mean(factor[white])
        rng = np.random.default_rng([a.seed, int(snr * 10), a.shells, int(a.level_map)])
        noisy = series_io.rician(clean, level, rng)
        series_io.save(os.path.join(folder, "dwi.nii"), noisy, grid.affine)
        series_io.save(os.path.join(folder, "clean.nii"), clean, grid.affine)
        series_io.save_gradients(os.path.join(folder, "dwi"), bvals, bvecs)
        series_io.save(os.path.join(folder, "mask.nii.gz"), anat.mask, grid.affine)
        series_io.save(os.path.join(folder, "white.nii.gz"), white, grid.affine)
        series_io.save(os.path.join(folder, "crossing.nii.gz"), anat.crossing, grid.affine)
        series_io.save(os.path.join(folder, "level.nii.gz"), level, grid.affine)
        series_io.save_case(folder, {
            "kind": "dwi", "name": name, "shells": a.shells, "snr": snr, "level_map": a.level_map,
            "level_white": float(np.mean(level[white])), "white_b0": wm_b0, "seed": a.seed,
            "shape": list(clean.shape), "voxel_mm": list(GRID_VOXEL),
            "b0_volumes": int(np.sum(bvals == 0)), "input": "dwi.nii", "noise": "rician",
            "brain_voxels": int(anat.mask.sum()), "white_voxels": int(white.sum()),
            "crossing_voxels": int(anat.crossing.sum()),
        })
        print(folder)


if __name__ == "__main__":
    main()
