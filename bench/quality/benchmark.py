#!/usr/bin/python3
"""Quality benchmark of `zarvo denoise` against peers (not run in CI).

Volumes: crops of real T1-weighted brains shipped by Debian's mricron-data
package (the 1 mm single-subject template ch2 and the 0.5 mm primate template
inia19), and the command's own phantom (`zarvo demo`). Noise: Gaussian, or
Rician (magnitude of complex Gaussian noise), with standard deviation p % of
the clean volume's maximum. Every method is given the true noise level.

Metrics over the foreground (clean > 5 % of the maximum): PSNR with the
volume's maximum as peak, and the mean of the SSIM map (scikit-image,
data_range = maximum).

Peers: dipy's nlmeans with its defaults (3x3x3 patches, 11-voxel search
window; Rician mode for Rician data), scikit-image's denoise_nl_means (3x3x3
patches, search distance 5, h chosen per case from a grid by the PSNR
against the clean volume), and a Gaussian smoothing whose width is chosen the
same way (both peers are therefore tuned with the ground truth, an upper
bound of what they reach).

  /usr/bin/python3 bench/quality/benchmark.py --zarvo build/cli/zarvo [--quick]
      [--peers] [--levels 1,3,5,9,15] [--volumes ch2a,ch2b,inia] [--models gaussian,rician]
      [-- extra zarvo options]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import nibabel as nib
import numpy as np
from scipy import ndimage
from skimage.metrics import structural_similarity

TEMPLATES = "/usr/share/mricron/templates"


def crops():
    """Named clean volumes (float64 arrays) and their voxel sizes."""
    out = {}
    ch2 = nib.load(os.path.join(TEMPLATES, "ch2.nii.gz")).get_fdata()
    # Deep grey matter and ventricles; and a superior block rich in cortex.
    out["ch2a"] = (ch2[42:138, 60:156, 60:124].copy(), 1.0)
    out["ch2b"] = (ch2[42:138, 70:166, 110:174].copy(), 1.0)
    inia = nib.load(os.path.join(TEMPLATES, "inia19-t1-brain.nii.gz")).get_fdata()
    out["inia"] = (inia[36:132, 50:146, 40:104].copy(), 0.5)
    # Smooth anatomy at the voxel scale: the 0.5 mm resampling of ch2.
    better = nib.load(os.path.join(TEMPLATES, "ch2better.nii.gz")).get_fdata()
    out["ch2s"] = (better[100:196, 150:246, 150:214].copy(), 0.5)
    return out


def phantom(zarvo, work):
    d = os.path.join(work, "demo")
    subprocess.run([zarvo, "demo", d, "--quiet"], check=True)
    return nib.load(os.path.join(d, "clean.nii.gz")).get_fdata(), 1.0


def add_noise(clean, sigma, model, seed):
    rng = np.random.default_rng(seed)
    n1 = rng.standard_normal(clean.shape)
    if model == "gaussian":
        return clean + sigma * n1
    n2 = rng.standard_normal(clean.shape)
    return np.sqrt((clean + sigma * n1) ** 2 + (sigma * n2) ** 2)


def metrics(clean, est, mask):
    peak = clean.max()
    mse = np.mean((clean[mask] - est[mask]) ** 2)
    _, smap = structural_similarity(clean, est, data_range=peak, full=True)
    return 10 * np.log10(peak * peak / mse), float(np.mean(smap[mask]))


def save(path, data, voxel):
    aff = np.diag([voxel, voxel, voxel, 1.0])
    nib.save(nib.Nifti1Image(data.astype(np.float32), aff), path)


def run_zarvo(zarvo, noisy, sigma, model, voxel, work, extra, basic):
    src = os.path.join(work, "noisy.nii")
    dst = os.path.join(work, "out.nii")
    save(src, noisy, voxel)
    cmd = [zarvo, "denoise", src, dst, "--force", "--quiet", "--noise", model,
           "--datatype", "float64"]
    if sigma is not None:
        cmd += ["--sigma", repr(float(sigma))]
    if basic:
        cmd.append("--basic-only")
    t = time.time()
    subprocess.run(cmd + extra, check=True)
    return nib.load(dst).get_fdata(), time.time() - t


def run_dipy(noisy, sigma, model):
    from dipy.denoise.nlmeans import nlmeans
    t = time.time()
    out = nlmeans(noisy, sigma, patch_radius=1, block_radius=5, rician=(model == "rician"))
    return out, time.time() - t


def best_of(fn, grid, clean, mask):
    best = None
    for g in grid:
        est = fn(g)
        p, s = metrics(clean, est, mask)
        if best is None or p > best[0]:
            best = (p, s, g)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zarvo", required=True)
    ap.add_argument("--levels", default="1,3,5,9,15")
    ap.add_argument("--volumes", default="ch2a,ch2b,ch2s,inia,phantom")
    ap.add_argument("--models", default="gaussian,rician")
    ap.add_argument("--peers", action="store_true", help="also run dipy, scikit-image, smoothing")
    ap.add_argument("--no-basic", action="store_true")
    ap.add_argument("--estimate", action="store_true", help="let zarvo estimate the level")
    ap.add_argument("--json", help="append the results as JSON lines to this file")
    ap.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "zarvo-peers.json"),
                    help="peer results are kept here and reused")
    ap.add_argument("extra", nargs="*", help="options passed to zarvo denoise")
    a = ap.parse_args()
    levels = [float(x) for x in a.levels.split(",")]
    work = tempfile.mkdtemp(prefix="zarvo-eval-")
    vols = {}
    names = a.volumes.split(",")
    if any(n != "phantom" for n in names):
        vols.update(crops())
    if "phantom" in names:
        vols["phantom"] = phantom(a.zarvo, work)
    rows = []
    for name in names:
        clean, voxel = vols[name]
        mask = clean > 0.05 * clean.max()
        for model in a.models.split(","):
            for li, p in enumerate(levels):
                sigma = p / 100 * clean.max()
                noisy = add_noise(clean, sigma, model, seed=1000 + li + (500 if model == "rician" else 0))
                r = {"volume": name, "model": model, "level": p}
                r["noisy"] = metrics(clean, noisy, mask)
                given = None if a.estimate else sigma
                if not a.no_basic:
                    est, _ = run_zarvo(a.zarvo, noisy, given, model, voxel, work, a.extra, True)
                    r["basic"] = metrics(clean, est, mask)
                est, secs = run_zarvo(a.zarvo, noisy, given, model, voxel, work, a.extra, False)
                r["final"] = metrics(clean, est, mask)
                r["zarvo_s"] = secs
                key = f"{name}/{model}/{p}"
                cache = {}
                if os.path.exists(a.cache):
                    with open(a.cache) as f:
                        cache = json.load(f)
                if a.peers and key in cache:
                    r.update(cache[key])
                elif a.peers:
                    est, secs = run_dipy(noisy, sigma, model)
                    r["dipy"] = metrics(clean, est, mask)
                    r["dipy_s"] = secs
                    from skimage.restoration import denoise_nl_means
                    r["skimage"] = best_of(
                        lambda h: denoise_nl_means(noisy, patch_size=3, patch_distance=5,
                                                   h=h * sigma, sigma=sigma, fast_mode=True,
                                                   channel_axis=None),
                        [0.2, 0.3, 0.45, 0.6, 0.8], clean, mask)
                    r["smooth"] = best_of(lambda w: ndimage.gaussian_filter(noisy, w),
                                          [0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.2, 1.4, 1.7, 2.0],
                                          clean, mask)
                    cache[key] = {k: r[k] for k in ("dipy", "dipy_s", "skimage", "smooth")}
                    with open(a.cache, "w") as f:
                        json.dump(cache, f)
                rows.append(r)
                keys = [k for k in ("noisy", "basic", "final", "dipy", "skimage", "smooth") if k in r]
                print(f"{name:8s} {model:8s} {p:4.0f}% " +
                      "  ".join(f"{k} {r[k][0]:6.2f}/{r[k][1]:.3f}" for k in keys), flush=True)
                if a.json:
                    with open(a.json, "a") as f:
                        f.write(json.dumps({**r, "extra": a.extra}) + "\n")
    # Means per model and level over the volumes.
    print("mean over volumes (PSNR dB):")
    for model in a.models.split(","):
        for p in levels:
            sel = [r for r in rows if r["model"] == model and r["level"] == p]
            keys = [k for k in ("noisy", "basic", "final", "dipy", "skimage", "smooth") if k in sel[0]]
            print(f"  {model:8s} {p:4.0f}% " + "  ".join(
                f"{k} {np.mean([r[k][0] for r in sel]):6.2f}" for k in keys), flush=True)


if __name__ == "__main__":
    sys.exit(main())
