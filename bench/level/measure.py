#!/usr/bin/python3
"""The estimated volume noise level on real scans (not run in CI).

Clean volumes: crops of T1-weighted templates shipped by Debian's mricron-data
(skull-stripped ones, whose background is exactly 0, and the whole head ch2,
whose outside is 0 too). Noise of p % of the foreground's high intensity (the
99th percentile of the nonzero voxels) is added with numpy:
  gaussian  clean + sigma n1
  rician    sqrt((clean + sigma n1)^2 + (sigma n2)^2)
Backgrounds:
  zero   the noise is added everywhere, then every voxel outside the mask is
         set to exactly 0, as skull stripping or masking leaves it; the mask
         is clean > 0, or for the "thr" cases clean > 30 % of the high
         intensity (a template masked by thresholding)
  noise  the noise is added everywhere and kept (the background is pure
         Gaussian, or Rayleigh, noise, as in an unprocessed scan)
For each case: the level estimated now (bench program zarvo_estimate_level),
the level the earlier estimate gave (its arithmetic, redone here in numpy:
MAD of the Haar diagonal detail of every 2x2x2 block, a second pass on blocks
brighter than 3 x the first estimate for Rician), and, unless --no-denoise,
the foreground PSNR (foreground = the mask, peak = the high intensity) of
`zarvo denoise --sigma <estimate>` against `--sigma <true level>`.

Real series with their own noise (no truth): nibabel's example4d (an EPI
series with an exactly-zero background), dipy's S0_10slices (a b0 volume
with a noise background): the estimate per volume and pooled.

  /usr/bin/python3 bench/level/measure.py --build build [--no-denoise]
      [--cases NAME,...] [--levels 3,5,9] [--models gaussian,rician] [--no-real]
  (--cases "": the real series alone)
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import nibabel as nib
import numpy as np

TEMPLATES = "/usr/share/mricron/templates"
NIBABEL_DATA = "/usr/lib/python3/dist-packages/nibabel/tests/data"
DIPY_DATA = "/usr/lib/python3/dist-packages/dipy/data/files"

# name: (file, crop, background, mask rule)
CASES = {
    "ch2better-32": ("ch2better.nii.gz", np.s_[48:176, 0:128, 64:144], "zero", "nonzero"),
    "ch2better-55": ("ch2better.nii.gz", np.s_[96:224, 16:144, 224:304], "zero", "nonzero"),
    "ch2bet-71": ("ch2bet.nii.gz", np.s_[0:128, 0:144, 96:176], "zero", "nonzero"),
    "ch2bet-79": ("ch2bet.nii.gz", np.s_[:, :, 112:152], "zero", "nonzero"),
    "inia19-49": ("inia19-t1-brain.nii.gz", np.s_[0:128, 48:176, 32:112], "zero", "nonzero"),
    "inia19-69": ("inia19-t1-brain.nii.gz", np.s_[0:128, 64:192, 0:80], "zero", "nonzero"),
    "ch2-thr-48": ("ch2.nii.gz", np.s_[20:148, 24:168, 100:180], "zero", "threshold"),
    "ch2-noisebg": ("ch2.nii.gz", np.s_[0:128, 0:144, 80:160], "noise", "nonzero"),
    "ch2a-inside": ("ch2.nii.gz", np.s_[42:138, 60:156, 60:124], "noise", "nonzero"),
}


def load_case(name):
    f, crop, background, rule = CASES[name]
    clean = nib.load(os.path.join(TEMPLATES, f)).get_fdata()[crop].copy()
    high = np.percentile(clean[clean > 0], 99)
    mask = clean > (0.3 * high if rule == "threshold" else 0)
    if rule == "threshold":
        clean = np.where(mask, clean, 0.0)
    return clean, mask, high, background


def add_noise(clean, sigma, model, seed):
    rng = np.random.default_rng(seed)
    noisy = clean + sigma * rng.standard_normal(clean.shape)
    if model == "rician":
        noisy = np.sqrt(noisy ** 2 + (sigma * rng.standard_normal(clean.shape)) ** 2)
    return noisy


def earlier_estimate(x, rician):
    """The estimate the command used before: no exclusion of any block."""
    r, c, s = (n - n % 2 for n in x.shape)
    v = x[:r, :c, :s]
    parts = [v[i::2, j::2, k::2] for k in (0, 1) for j in (0, 1) for i in (0, 1)]
    signs = [1, -1, -1, 1, -1, 1, 1, -1]
    d = sum(sg * p for sg, p in zip(signs, parts)) / np.sqrt(8.0)
    m = sum(parts) / 8.0
    first = np.median(np.abs(d)) / 0.6744897501960817
    if not rician:
        return first
    bright = np.abs(d[m > 3 * first])
    return np.median(bright) / 0.6744897501960817 if bright.size >= 1000 else first


def estimate(build, work, x, model, mask=None, program=False):
    """(sigma or None, blocks or problem) from the bench program (in `build`,
    or the program `build` itself)."""
    raw = os.path.join(work, "x.f64")
    x.astype(np.float64).ravel(order="F").tofile(raw)
    shape = x.shape + (1,) * (4 - x.ndim)
    cmd = [build if program else os.path.join(build, "bench", "zarvo_estimate_level"), raw] + \
          [str(n) for n in shape] + [model]
    if mask is not None:
        mraw = os.path.join(work, "m.u8")
        mask.astype(np.uint8).ravel(order="F").tofile(mraw)
        cmd.append(mraw)
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split(None, 1)
    if out[0] == "ok":
        sigma, blocks = out[1].split()
        return float(sigma), int(blocks)
    return None, out[1].strip()


def denoise(build, work, noisy, sigma, model):
    src, dst = os.path.join(work, "noisy.nii"), os.path.join(work, "out.nii")
    nib.save(nib.Nifti1Image(noisy.astype(np.float32), np.eye(4)), src)
    cmd = [os.path.join(build, "cli", "zarvo"), "denoise", src, dst, "--force", "--quiet",
           "--noise", model, "--datatype", "float64", "--sigma", repr(float(sigma))]
    t = time.time()
    subprocess.run(cmd, check=True)
    return nib.load(dst).get_fdata(), time.time() - t


def psnr(clean, est, mask, peak):
    return 10 * np.log10(peak * peak / np.mean((clean[mask] - est[mask]) ** 2))


def synthetic(a, work):
    print("| case | zero bg | model | noise | true | earlier | before | estimate | est/true "
          "| PSNR true | PSNR before | PSNR est | cost before | cost dB | s/run |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|", flush=True)
    denoised = [float(p) for p in a.denoise_levels.split(",")]
    levels = [float(p) for p in a.levels.split(",")]
    for name in filter(None, a.cases.split(",")):
        clean, mask, high, background = load_case(name)
        zero_fraction = np.mean(clean == 0) if background == "zero" else 0.0
        for model in a.models.split(","):
            for li, p in enumerate(levels):
                sigma = p / 100 * high
                noisy = add_noise(clean, sigma, model, 1000 + li + (500 if model == "rician" else 0))
                if background == "zero":
                    noisy[~mask] = 0.0
                earlier = earlier_estimate(noisy, model == "rician")
                est, info = estimate(a.build, work, noisy, model)
                before = before_estimate(a, work, noisy, model)
                row = [name, f"{100 * zero_fraction:.0f} %", model, f"{p:g} %", f"{sigma:.3f}",
                       f"{earlier:.3f}", fmt(before), f"{est:.3f}" if est else f"none ({info})",
                       f"{est / sigma:.3f}" if est else "-"]
                if not a.no_denoise and est and p in denoised:
                    out_true, secs = denoise(a.build, work, noisy, sigma, model)
                    out_est, _ = denoise(a.build, work, noisy, est, model)
                    pt, pe = psnr(clean, out_true, mask, high), psnr(clean, out_est, mask, high)
                    pb = None
                    if before == est:
                        pb = pe
                    elif before:
                        pb = psnr(clean, denoise(a.build, work, noisy, before, model)[0], mask, high)
                    row += [f"{pt:.2f}", fmt(pb, 2), f"{pe:.2f}", fmt(pt - pb if pb else None, 2),
                            f"{pt - pe:.2f}", f"{secs:.1f}"]
                else:
                    row += ["-"] * 6
                print("| " + " | ".join(row) + " |", flush=True)


# Integer scans as stored (name: file, volume of a 4-D file).
INTEGER_SCANS = {
    "ch2": (os.path.join(TEMPLATES, "ch2.nii.gz"), None),
    "ch2bet": (os.path.join(TEMPLATES, "ch2bet.nii.gz"), None),
    "ch2better": (os.path.join(TEMPLATES, "ch2better.nii.gz"), None),
    "anatomical": (os.path.join(NIBABEL_DATA, "anatomical.nii"), None),
    "example4d-1": (os.path.join(NIBABEL_DATA, "example4d.nii.gz"), 0),
    "aniso_vox": (os.path.join(DIPY_DATA, "aniso_vox.nii.gz"), None),
    "S0_10slices": (os.path.join(DIPY_DATA, "S0_10slices.nii.gz"), 0),
}

# Textured scans with a background of air, for Rician noise: (loader, crop).
TEXTURED = {
    "ch2-noisebg": (lambda: nib.load(os.path.join(TEMPLATES, "ch2.nii.gz")).get_fdata(),
                    np.s_[0:128, 0:144, 80:160]),
    "anatomical": (lambda: nib.load(os.path.join(NIBABEL_DATA, "anatomical.nii")).get_fdata(),
                   np.s_[:, :, :]),
    "aniso_vox": (lambda: nib.load(os.path.join(DIPY_DATA, "aniso_vox.nii.gz")).get_fdata(),
                  np.s_[:, :, :]),
    "t1_coronal_slice": (lambda: np.load(os.path.join(DIPY_DATA, "t1_coronal_slice.npy"))[..., None],
                         np.s_[:, :, :]),
}


def before_estimate(a, work, x, model):
    if not a.before:
        return None
    return estimate(a.before, work, x, model, program=True)[0]


def fmt(v, digits=3):
    return "none" if v is None else f"{v:.{digits}f}"


def integer_scans(a, work):
    """Each integer scan as stored, and with float noise of 0.5 added to its
    nonzero voxels (a zero background stays 0): the estimate with the noise
    should be the stored one's in quadrature with 0.5."""
    print("\n| scan | type | shape | zero bg | before | estimate | before +0.5 | estimate +0.5 "
          "| quadrature | ratio |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    rng = np.random.default_rng(7)
    for name in filter(None, a.integer.split(",")):
        path, volume = INTEGER_SCANS[name]
        img = nib.load(path)
        x = img.get_fdata()
        if volume is not None:
            x = x[..., volume]
        assert np.all(x == np.round(x)), name
        noisy = np.where(x != 0, x + 0.5 * rng.standard_normal(x.shape), 0.0)
        est = estimate(a.build, work, x, "gaussian")[0]
        est_noisy = estimate(a.build, work, noisy, "gaussian")[0]
        quad = np.hypot(est, 0.5) if est else None
        print(f"| {name} | {img.get_data_dtype()} | {'x'.join(map(str, x.shape))} "
              f"| {100 * np.mean(x == 0):.0f} % | {fmt(before_estimate(a, work, x, 'gaussian'))} "
              f"| {fmt(est)} | {fmt(before_estimate(a, work, noisy, 'gaussian'))} | {fmt(est_noisy)} "
              f"| {fmt(quad)} | {fmt(est_noisy / quad if est_noisy and quad else None)} |",
              flush=True)


def rounded(a, work):
    """A smooth template (ch2a-inside blurred) plus noise of 0.5 to 5 units,
    rounded: the level with the rounding's share is hypot(sigma, 1/sqrt(12))."""
    from scipy.ndimage import gaussian_filter
    clean = gaussian_filter(load_case("ch2a-inside")[0], 2.0)
    unit = np.random.default_rng(11).standard_normal(clean.shape)
    print("\n| level | with rounding | before | estimate | before/true | estimate/true |")
    print("|---|---|---|---|---|---|")
    for sigma in (0.5, 0.75, 1.0, 1.1, 1.2, 1.3, 1.4, 1.5, 1.6, 1.7, 1.8, 1.9, 2.0, 3.0, 5.0):
        x = np.round(clean + sigma * unit)
        truth = np.hypot(sigma, np.sqrt(1 / 12))
        b = before_estimate(a, work, x, "gaussian")
        e = estimate(a.build, work, x, "gaussian")[0]
        print(f"| {sigma:g} | {truth:.3f} | {fmt(b)} | {fmt(e)} | {fmt(b / truth if b else None)} "
              f"| {fmt(e / truth if e else None)} |", flush=True)


def textured(a, work):
    """Real scans with their air, Rician noise of p % of the high intensity
    added everywhere: the Rician estimate before and now, the Gaussian
    estimate of the same scan with Gaussian noise, and (unless --no-denoise)
    the head's PSNR with the estimate against the added level (head: clean
    above 10 % of the high intensity)."""
    print("\n| scan | noise | added | Gaussian (Gaussian noise) | Gaussian | before | estimate "
          "| est/added | Gaussian/added | PSNR added | PSNR before | PSNR est | cost before | cost est |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    levels = [float(p) for p in a.textured_levels.split(",")]
    for name in filter(None, a.textured.split(",")):
        load, crop = TEXTURED[name]
        clean = load()[crop].astype(np.float64)
        high = np.percentile(clean[clean > 0], 99)
        head = clean > 0.1 * high
        for li, p in enumerate(levels):
            sigma = p / 100 * high
            gauss = add_noise(clean, sigma, "gaussian", 2000 + li)
            rice = add_noise(clean, sigma, "rician", 2500 + li)
            g_g = estimate(a.build, work, gauss, "gaussian")[0]
            r_g = estimate(a.build, work, rice, "gaussian")[0]
            r_b = before_estimate(a, work, rice, "rician")
            r_e = estimate(a.build, work, rice, "rician")[0]
            row = [name, f"{p:g} %", f"{sigma:.3f}", fmt(g_g), fmt(r_g), fmt(r_b), fmt(r_e),
                   fmt(r_e / sigma), fmt(g_g / sigma)]
            if not a.no_denoise and p >= 5:
                pt = psnr(clean, denoise(a.build, work, rice, sigma, "rician")[0], head, high)
                pb = psnr(clean, denoise(a.build, work, rice, r_b, "rician")[0], head, high) \
                    if r_b else None
                pe = psnr(clean, denoise(a.build, work, rice, r_e, "rician")[0], head, high)
                row += [f"{pt:.2f}", fmt(pb, 2), f"{pe:.2f}", fmt(pt - pb if pb else None, 2),
                        f"{pt - pe:.2f}"]
            else:
                row += ["-"] * 5
            print("| " + " | ".join(row) + " |", flush=True)


def air(a, work):
    """Magnitudes of a uniform signal at SNR 0 (pure Rayleigh air) to 10,
    level 10: the Gaussian and the Rician estimate over the level."""
    rng = np.random.default_rng(1)
    sigma = 10.0
    print("\n| shape | SNR | Gaussian est. | Rician before | Rician now |")
    print("|---|---|---|---|---|")
    for shape in ((192, 192, 16), (64, 64, 64), (768, 768)):
        for snr in (0, 0.3, 0.5, 0.7, 1, 2, 3, 5, 10):
            x = np.hypot(snr * sigma + sigma * rng.standard_normal(shape),
                         sigma * rng.standard_normal(shape))
            g = estimate(a.build, work, x, "gaussian")[0]
            b = before_estimate(a, work, x, "rician")
            r = estimate(a.build, work, x, "rician")[0]
            print(f"| {'x'.join(map(str, shape))} | {snr:g} | {fmt(g / sigma)} "
                  f"| {fmt(b / sigma if b else None)} | {fmt(r / sigma)} |", flush=True)


def reference_level(x):
    """A level measured without the spatial detail: from the difference of
    the first two volumes where both are nonzero (MAD), or for a single
    volume from its four 20 x 20 corners of air (Rayleigh: E m^2 = 2 sigma^2)."""
    if x.shape[3] > 1:
        both = (x[..., 0] != 0) & (x[..., 1] != 0)
        d = (x[..., 0] - x[..., 1])[both] / np.sqrt(2.0)
        return np.median(np.abs(d - np.median(d))) / 0.6744897501960817, "volume difference"
    v = x[..., 0]
    corners = np.concatenate([v[:20, :20].ravel(), v[-20:, :20].ravel(),
                              v[:20, -20:].ravel(), v[-20:, -20:].ravel()])
    return np.sqrt(np.mean(corners ** 2) / 2), "air in the corners"


def real_series(a, work):
    print("\n| series | shape | zero bg | model | earlier (per volume) | estimate (per volume) "
          "| pooled | reference |")
    print("|---|---|---|---|---|---|---|---|")
    for path in (os.path.join(NIBABEL_DATA, "example4d.nii.gz"),
                 os.path.join(DIPY_DATA, "S0_10slices.nii.gz")):
        img = nib.load(path)
        x = img.get_fdata()
        if x.ndim == 3:
            x = x[..., None]
        for model in ("gaussian", "rician"):
            earlier = [earlier_estimate(x[..., t], model == "rician") for t in range(x.shape[3])]
            each = [estimate(a.build, work, x[..., t], model)[0] for t in range(x.shape[3])]
            pooled, _ = estimate(a.build, work, x, model)
            ref, how = reference_level(x)
            fmt = lambda v: "none" if v is None else f"{v:.2f}"
            print(f"| {os.path.basename(path)} | {'x'.join(map(str, x.shape))} "
                  f"| {100 * np.mean(x == 0):.0f} % | {model} "
                  f"| {', '.join(fmt(v) for v in earlier)} | {', '.join(fmt(v) for v in each)} "
                  f"| {fmt(pooled)} | {ref:.2f} ({how}) |", flush=True)


def cpu_seconds(cmd, check=True):
    """User + system CPU seconds of one run of cmd."""
    before = os.times()
    subprocess.run(cmd, check=check, capture_output=True)
    after = os.times()
    return (after.children_user - before.children_user) + \
        (after.children_system - before.children_system)


def timing(a, work):
    """CPU time of the estimate on the whole head ch2 (181 x 217 x 181, 7.1 M
    voxels), 5 % noise, this build and --before taking turns; the median of
    the runs, less that of reading the 57 MB file ("reading": the same
    program stopped by a missing mask file before it estimates)."""
    clean = nib.load(os.path.join(TEMPLATES, "ch2.nii.gz")).get_fdata()
    high = np.percentile(clean[clean > 0], 99)
    programs = [("estimate", os.path.join(a.build, "bench", "zarvo_estimate_level"))]
    if a.before:
        programs.insert(0, ("before", a.before))
    print("| model | reading CPU s | " + " | ".join(f"{n} CPU s" for n, _ in programs) +
          (" | before/estimate |" if a.before else " |"))
    print("|---" * (len(programs) + 2 + bool(a.before)) + "|", flush=True)
    for seed, model in enumerate(("gaussian", "rician")):
        raw = os.path.join(work, "t.f64")
        add_noise(clean, 0.05 * high, model, 100 + seed).ravel(order="F").tofile(raw)
        args = [raw] + [str(k) for k in clean.shape] + ["1", model]
        runs = {n: [] for n, _ in programs}
        reading = []
        for _ in range(a.timing):
            reading.append(cpu_seconds([programs[-1][1]] + args + [raw + ".none"], check=False))
            for n, prog in programs:
                runs[n].append(cpu_seconds([prog] + args))
        base = float(np.median(reading))
        med = [float(np.median(runs[n])) - base for n, _ in programs]
        print(f"| {model} | {base:.3f} | " + " | ".join(f"{t:.3f}" for t in med) +
              (f" | {med[0] / med[1]:.1f} |" if a.before else " |"), flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--levels", default="3,5,9")
    ap.add_argument("--models", default="gaussian,rician")
    ap.add_argument("--no-denoise", action="store_true")
    ap.add_argument("--denoise-levels", default="3,5,9", help="the levels denoised (of --levels)")
    ap.add_argument("--no-real", action="store_true")
    ap.add_argument("--before", help="an earlier build's zarvo_estimate_level, for comparison")
    ap.add_argument("--integer", default=",".join(INTEGER_SCANS))
    ap.add_argument("--rounded", action="store_true", help="the rounded template table")
    ap.add_argument("--air", action="store_true", help="the Rayleigh air / uniform low-SNR table")
    ap.add_argument("--textured", default=",".join(TEXTURED))
    ap.add_argument("--textured-levels", default="3,5,9,15")
    ap.add_argument("--timing", type=int, default=0, metavar="RUNS",
                    help="only the CPU time of the estimate on 7.1 M voxels, RUNS runs each")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="zarvo-level-") as work:
        if a.timing:
            return timing(a, work)
        if a.cases:
            synthetic(a, work)
        if not a.no_real:
            real_series(a, work)
        integer_scans(a, work)
        if a.rounded:
            rounded(a, work)
        if a.air:
            air(a, work)
        textured(a, work)


if __name__ == "__main__":
    sys.exit(main())
