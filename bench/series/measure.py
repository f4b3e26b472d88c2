#!/usr/bin/python3
"""Measures of one denoised series against its case's truth (see README.md).

    measure.py CASE_DIR DENOISED.nii [--method NAME] [--append RESULTS.jsonl]
    measure.py CASE_DIR --b0-average   (the plain average of the noisy b0 volumes)

prints one JSON object of measures, computed inside the brain mask."""
import argparse
import json
import os
import sys

import numpy as np
from scipy import ndimage

import series_io


def rmse(a, b, mask):
    d = (a - b)[mask]
    return float(np.sqrt(np.mean(d * d)))


def laplacian(volume, voxel):
    """Sum of second differences along each axis, per mm^2 (anisotropic voxels)."""
    out = np.zeros_like(volume)
    for axis, h in enumerate(voxel):
        out += ndimage.correlate1d(volume, [1.0, -2.0, 1.0], axis=axis, mode="nearest") / (h * h)
    return out


def residual_anatomy(noisy, denoised, clean, mask, voxel):
    """Correlation, pooled over every volume's brain voxels, of the residual
    (input minus output) with the clean volume's Laplacian: a denoiser that
    removes only noise leaves a residual uncorrelated with the anatomy's
    edges; one that blurs them leaves a negative correlation (blurring
    subtracts the Laplacian's share)."""
    r, l = [], []
    for v in range(clean.shape[-1]):
        r.append((noisy[..., v] - denoised[..., v])[mask])
        l.append(laplacian(clean[..., v], voxel)[mask])
    r, l = np.concatenate(r), np.concatenate(l)
    if np.std(r) == 0 or np.std(l) == 0:
        return None
    return float(np.corrcoef(r, l)[0, 1])


def angle_between(u, v):
    """Angle in degrees between axes (sign-free) of two unit-vector fields."""
    c = np.abs(np.sum(u * v, axis=-1))
    return np.degrees(np.arccos(np.clip(c, 0.0, 1.0)))


def tensor_maps(series, bvals, bvecs, mask):
    from dipy.core.gradients import gradient_table
    from dipy.reconst.dti import TensorModel

    gtab = gradient_table(bvals, bvecs, b0_threshold=50)
    fit = TensorModel(gtab).fit(series, mask=mask)
    return {"fa": np.nan_to_num(fit.fa), "md": np.nan_to_num(fit.md), "v1": fit.evecs[..., :, 0]}


def reference_tensor(folder, clean, bvals, bvecs, mask):
    """Tensor fit of the clean series (the reference for FA, MD and direction:
    a crossing's mix has no single true tensor, the fit of its noiseless
    signal is what a perfect denoiser would give), cached in the case folder."""
    path = os.path.join(folder, "reference_tensor.npz")
    if os.path.exists(path):
        z = np.load(path)
        return {k: z[k] for k in ("fa", "md", "v1")}
    maps = tensor_maps(clean, bvals, bvecs, mask)
    np.savez_compressed(path, **maps)
    return maps


def measure_dwi(folder, case, denoised, noisy, clean, masks):
    bvals, bvecs = series_io.load_gradients(os.path.join(folder, "dwi"))
    brain, white, crossing = masks["brain"], masks["white"], masks["crossing"]
    b0 = bvals < 50
    out = {
        "b0_rmse": rmse(denoised[..., b0], clean[..., b0], brain[..., None] & np.ones(b0.sum(), bool)),
        "dw_rmse": rmse(denoised[..., ~b0], clean[..., ~b0], brain[..., None] & np.ones((~b0).sum(), bool)),
    }
    # Bias where the noise floor matters most: the highest shell, in the brain.
    top = bvals == bvals.max()
    out["top_b"] = float(bvals.max())
    out["top_bias"] = float(np.mean((denoised[..., top] - clean[..., top])[brain]))
    ref = reference_tensor(folder, clean, bvals, bvecs, brain)
    fit = tensor_maps(denoised, bvals, bvecs, brain)
    out["fa_rmse"] = rmse(fit["fa"], ref["fa"], brain)
    out["md_rmse"] = rmse(fit["md"], ref["md"], brain) * 1e3  # in 10^-3 mm^2/s
    # Direction only where the reference has one: single-fibre white matter.
    oriented = white & ~crossing & (ref["fa"] > 0.3)
    angles = angle_between(fit["v1"][oriented], ref["v1"][oriented])
    out["angle_median"] = float(np.median(angles))
    out["angle_mean"] = float(np.mean(angles))
    out["residual_laplacian"] = residual_anatomy(noisy, denoised, clean, brain, case["voxel_mm"])
    return out


def b0_average(folder, case, noisy, clean, masks):
    """The plain average of the noisy b0 volumes, against the clean b0."""
    bvals, _ = series_io.load_gradients(os.path.join(folder, "dwi"))
    b0 = bvals < 50
    mean = noisy[..., b0].mean(axis=-1)
    return {"b0_rmse": rmse(mean, clean[..., np.argmax(b0)], masks["brain"])}


def design(case, n):
    """GLM design: the block regressor (HRF-convolved, peak 1), then a
    constant and discrete cosines up to the drift cut-off (128 s)."""
    import make_fmri

    tr = case["tr"]
    columns = [make_fmri.block_regressor(n, tr, case["block_volumes"])]
    t = np.arange(n)
    k_max = int(np.floor(2 * n * tr / 128.0))
    columns.append(np.ones(n))
    for k in range(1, k_max + 1):
        columns.append(np.cos(np.pi * k * (t + 0.5) / n))
    return np.stack(columns, axis=1)


def glm(series, mask, x):
    """Amplitude of the first regressor and its t statistic, per voxel in mask."""
    y = series[mask].T  # time x voxels
    pinv = np.linalg.pinv(x)
    beta = pinv @ y
    residual = y - x @ beta
    dof = x.shape[0] - np.linalg.matrix_rank(x)
    variance = np.sum(residual * residual, axis=0) / dof
    c = np.linalg.inv(x.T @ x)[0, 0]
    t = beta[0] / np.sqrt(np.maximum(variance * c, 1e-30))
    return beta[0], beta[1], t


def measure_fmri(folder, case, denoised, noisy, clean, masks):
    brain = masks["brain"]
    truth, _ = series_io.load(os.path.join(folder, "activation.nii.gz"))
    x = design(case, denoised.shape[-1])
    amplitude, baseline, t = glm(denoised, brain, x)
    clean_baseline = glm(clean, brain, x)[1]
    true_amp = truth[brain]
    active = true_amp > 0.5 * true_amp.max()
    # Outside the active region and a one-voxel rim around it.
    rim = ndimage.binary_dilation(truth > 0, iterations=1)[brain]
    threshold = 3.1
    return {
        "rmse": rmse(denoised, clean, brain[..., None] & np.ones(clean.shape[-1], bool)),
        "amplitude_ratio": float(np.mean(amplitude[active]) / np.mean(true_amp[active])),
        "amplitude_percent": float(100 * np.mean(amplitude[active] / np.maximum(baseline[active], 1e-9))),
        "true_percent": float(100 * np.mean(true_amp[active] / clean_baseline[active])),
        "t_mean": float(np.mean(t[active])),
        "detected": float(np.mean(t[active] > threshold)),
        "false_positive": float(np.mean(t[~rim] > threshold)),
        "residual_laplacian": residual_anatomy(noisy, denoised, clean, brain, case["voxel_mm"]),
    }


def load_masks(folder):
    masks = {}
    for name, file in (("brain", "mask.nii.gz"), ("white", "white.nii.gz"), ("crossing", "crossing.nii.gz")):
        path = os.path.join(folder, file)
        if os.path.exists(path):
            masks[name] = series_io.load(path)[0] > 0
    return masks


def measure(folder, denoised_path=None, b0_avg=False):
    case = series_io.load_case(folder)
    noisy, _ = series_io.load(os.path.join(folder, case["input"]))
    clean, _ = series_io.load(os.path.join(folder, "clean.nii"))
    masks = load_masks(folder)
    if b0_avg:
        return b0_average(folder, case, noisy, clean, masks)
    denoised, _ = series_io.load(denoised_path)
    if denoised.shape != noisy.shape:
        raise SystemExit("%s: shape %s, the case has %s" % (denoised_path, denoised.shape, noisy.shape))
    if case["kind"] == "dwi":
        return measure_dwi(folder, case, denoised, noisy, clean, masks)
    return measure_fmri(folder, case, denoised, noisy, clean, masks)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("case")
    p.add_argument("denoised", nargs="?")
    p.add_argument("--b0-average", action="store_true")
    p.add_argument("--method", default=None)
    p.add_argument("--append", default=None, help="append the JSON line to this file")
    a = p.parse_args()
    if not a.b0_average and not a.denoised:
        p.error("give DENOISED or --b0-average")
    result = measure(a.case, a.denoised, a.b0_average)
    result["case"] = series_io.load_case(a.case)["name"]
    result["method"] = a.method or ("b0 average" if a.b0_average else os.path.basename(a.denoised))
    line = json.dumps(result, sort_keys=True)
    print(line)
    if a.append:
        with open(a.append, "a") as f:
            f.write(line + "\n")


if __name__ == "__main__":
    sys.exit(main())
