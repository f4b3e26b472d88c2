#!/usr/bin/python3
"""Simulated fMRI-like series with a known truth (see README.md).

    make_fmri.py OUT_DIR [--volumes 120] [--snr 30] [--percent 2] [--seed N]

writes OUT_DIR/fmri-snr{snr}/ holding bold.nii (noisy, float32), clean.nii
(the truth: baseline, drifts, physiological fluctuations and activation),
activation.nii.gz (the true block amplitude per voxel, intensity units),
mask.nii.gz (brain) and case.json."""
import argparse
import os

import numpy as np
from scipy import ndimage
from scipy.stats import gamma

import anatomy
import series_io

GRID_SHAPE = (64, 64, 36)
GRID_VOXEL = (3.0, 3.0, 4.0)
TR = 2.0
# T2*-weighted EPI baseline per tissue.
CSF_S, GREY_S, WHITE_S = 1100.0, 800.0, 650.0
# Active region: a sphere in the left precentral gyrus (world mm), grey matter only.
ACTIVE_CENTRE, ACTIVE_RADIUS = (-38.0, -20.0, 54.0), 12.0


def hrf(tr, length=32.0):
    """Canonical double-gamma haemodynamic response sampled every tr seconds."""
    t = np.arange(0, length, tr)
    h = gamma.pdf(t, 6) - gamma.pdf(t, 16) / 6.0
    return h / h.sum()


def block_regressor(n, tr, block):
    """Blocks of `block` volumes off then on, convolved with the response,
    scaled to a peak of 1."""
    boxcar = ((np.arange(n) // block) % 2 == 1).astype(float)
    r = np.convolve(boxcar, hrf(tr))[:n]
    return r / r.max()


def smooth_random_map(shape, rng, width):
    m = ndimage.gaussian_filter(rng.standard_normal(shape), width)
    return m / np.std(m)


def fluctuations(shape, n, tr, rng, csf, grey):
    """Relative (fractional) signal changes per voxel and volume, without
    thermal noise: a global slow drift (scanner heating), spatially smooth
    slow fluctuations, and respiration and heartbeat aliased by the sampling
    (strongest in CSF and near the vessels of grey matter)."""
    t = np.arange(n) * tr
    span = t[-1] if n > 1 else 1.0
    global_drift = 0.012 * (t / span) - 0.006 * (t / span) ** 2
    out = np.broadcast_to(global_drift, shape + (n,)).copy()
    for period in (190.0, 110.0, 75.0):
        amp = 0.003 * smooth_random_map(shape, rng, 4.0)
        phase = rng.uniform(0, 2 * np.pi)
        out += amp[..., None] * np.sin(2 * np.pi * t / period + phase)
    # Respiration 0.3 Hz and heartbeat 1.1 Hz, sampled every tr seconds.
    physiology = 0.004 * csf + 0.0015 * grey
    for hz, jitter in ((0.3, 0.02), (1.1, 0.05)):
        f = hz + jitter * np.cumsum(rng.standard_normal(n)) / np.sqrt(n)
        phase_map = np.pi * smooth_random_map(shape, rng, 6.0)
        out += physiology[..., None] * np.sin(2 * np.pi * f * t + phase_map[..., None])
    return out


def active_region(grid, grey):
    ijk = np.indices(grid.shape).reshape(3, -1)
    world = (grid.affine[:3, :3] @ ijk + grid.affine[:3, 3:4]).T.reshape(grid.shape + (3,))
    r = np.linalg.norm(world - np.array(ACTIVE_CENTRE), axis=-1)
    # Soft edge over one voxel, grey matter only.
    sphere = np.clip((ACTIVE_RADIUS + grid.voxel[0] / 2 - r) / grid.voxel[0], 0, 1)
    return sphere * grey


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out")
    p.add_argument("--volumes", type=int, default=120)
    p.add_argument("--snr", type=float, default=30, help="grey-matter baseline over noise level")
    p.add_argument("--percent", type=float, default=2.0, help="activation, %% of the grey-matter baseline")
    p.add_argument("--block", type=int, default=10, help="volumes per block (off, on, ...)")
    p.add_argument("--seed", type=int, default=2)
    a = p.parse_args()

    grid = anatomy.Grid(GRID_SHAPE, GRID_VOXEL)
    anat = anatomy.Anatomy(grid)
    rng = np.random.default_rng([a.seed, int(a.snr * 10)])
    x, y, z = np.meshgrid(*[np.linspace(-1, 1, n) for n in grid.shape], indexing="ij")
    shading = 1.0 + 0.08 * x - 0.05 * z + 0.04 * y * y
    baseline = shading * (anat.csf * CSF_S + anat.grey * GREY_S + anat.white * WHITE_S)
    relative = fluctuations(grid.shape, a.volumes, TR, rng, anat.csf, anat.grey)
    activation = a.percent / 100.0 * GREY_S * shading * active_region(grid, anat.grey)
    regressor = block_regressor(a.volumes, TR, a.block)
    clean = baseline[..., None] * (1.0 + relative) + activation[..., None] * regressor
    grey = anat.grey > 0.5
    level = float(np.mean(baseline[grey])) / a.snr
    noisy = series_io.rician(clean, level, rng)

    name = "fmri-snr%g" % a.snr
    folder = os.path.join(a.out, name)
    os.makedirs(folder, exist_ok=True)
    series_io.save(os.path.join(folder, "bold.nii"), noisy, grid.affine)
    series_io.save(os.path.join(folder, "clean.nii"), clean, grid.affine)
    series_io.save(os.path.join(folder, "activation.nii.gz"), activation, grid.affine)
    series_io.save(os.path.join(folder, "mask.nii.gz"), anat.mask, grid.affine)
    active = activation > 0.5 * activation.max()
    series_io.save_case(folder, {
        "kind": "fmri", "name": name, "snr": a.snr, "level": level, "tr": TR,
        "block_volumes": a.block, "activation_percent": a.percent, "seed": a.seed,
        "shape": list(clean.shape), "voxel_mm": list(GRID_VOXEL), "input": "bold.nii",
        "noise": "rician", "brain_voxels": int(anat.mask.sum()), "active_voxels": int(active.sum()),
    })
    print(folder)


if __name__ == "__main__":
    main()
