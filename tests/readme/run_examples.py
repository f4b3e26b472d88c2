#!/usr/bin/env python3
"""Runs the README's examples, so that a stale snippet fails the tests.

Every fenced block (```sh, ```python or ```octave) that follows a line
`<!-- example -->` runs, in the order of the README, in one scratch folder
that holds small inputs: `noisy.nii.gz` (a noisy 3-D head), `dwi.nii.gz`
with `dwi.bval` (a short noisy series) and `bids/` (a two-participant BIDS
dataset). The folder also links the checkout's `build/` and `octave/`, so
that the README's paths work as written. A block fails the run when it
exits non-zero; its output is shown then.

    run_examples.py README.md BUILD_DIR [PYTHON]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^```(\w+)\s*$")


def examples(readme):
    """(line, language, code) of every block marked as an example."""
    lines = open(readme, encoding="utf-8").read().splitlines()
    found, marked, i = [], False, 0
    while i < len(lines):
        line = lines[i].strip()
        m = FENCE.match(line)
        if m:
            start, body = i + 1, []
            i += 1
            while i < len(lines) and lines[i].strip() != "```":
                body.append(lines[i])
                i += 1
            if i == len(lines):
                sys.exit(f"{readme}:{start}: a code block is not closed")
            if marked:
                found.append((start, m.group(1), "\n".join(body) + "\n"))
            marked = False
        elif line == "<!-- example -->":
            marked = True
        elif line:
            marked = False
        i += 1
    return found


def make_inputs(folder, zarvo, python):
    """Small inputs the examples refer to, made with the built command."""
    subprocess.run([zarvo, "demo", os.path.join(folder, "demo"), "--size", "24", "--quiet"],
                   check=True)
    shutil.copy(os.path.join(folder, "demo", "rician_noisy.nii.gz"),
                os.path.join(folder, "noisy.nii.gz"))
    script = r"""
import json, os, sys
import nibabel as nib, numpy as np
folder = sys.argv[1]
head = nib.load(os.path.join(folder, "demo", "clean.nii.gz"))
clean = np.asarray(head.dataobj, dtype=np.float32)
rng = np.random.default_rng(7)
weights = np.array([1, 1, .6, .5, .7, .4, .55, .45])
series = clean[..., None] * weights + rng.normal(0, 0.05 * clean.max(), clean.shape + (8,))
img = nib.Nifti1Image(np.abs(series).astype(np.float32), head.affine)
nib.save(img, os.path.join(folder, "dwi.nii.gz"))
open(os.path.join(folder, "dwi.bval"), "w").write("0 0 1000 1000 1000 1000 1000 1000\n")
bids = os.path.join(folder, "bids")
os.makedirs(bids)
json.dump({"Name": "tiny", "BIDSVersion": "1.9.0"},
          open(os.path.join(bids, "dataset_description.json"), "w"))
for sub in ("01", "02"):
    anat = os.path.join(bids, f"sub-{sub}", "anat")
    os.makedirs(anat)
    noisy = clean + rng.normal(0, 0.05 * clean.max(), clean.shape)
    nib.save(nib.Nifti1Image(noisy.astype(np.float32), head.affine),
             os.path.join(anat, f"sub-{sub}_T1w.nii.gz"))
    json.dump({"MagneticFieldStrength": 3}, open(os.path.join(anat, f"sub-{sub}_T1w.json"), "w"))
"""
    subprocess.run([python, "-c", script, folder], check=True)


def main():
    readme, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    python = sys.argv[3] if len(sys.argv) > 3 else sys.executable
    root = os.path.dirname(readme)
    blocks = examples(readme)
    if not blocks:
        sys.exit(f"{readme}: no block marked <!-- example -->")
    zarvo = os.path.join(build, "cli", "zarvo")
    folder = tempfile.mkdtemp(prefix="zarvo-readme-")
    try:
        os.symlink(build, os.path.join(folder, "build"))
        os.symlink(os.path.join(root, "octave"), os.path.join(folder, "octave"))
        make_inputs(folder, zarvo, python)
        env = dict(os.environ)
        env["PATH"] = os.pathsep.join([os.path.dirname(zarvo), os.path.dirname(python),
                                       env.get("PATH", "")])
        run = {
            "sh": lambda code: ["bash", "-euo", "pipefail", "-c", code],
            "python": lambda code: [python, "-c", code],
            "octave": lambda code: ["octave-cli", "--no-gui", "--norc", "--quiet",
                                    "--no-window-system", "--eval", code],
        }
        failed = 0
        for line, language, code in blocks:
            if language not in run:
                sys.exit(f"{readme}:{line}: examples in {language} cannot be run")
            r = subprocess.run(run[language](code), cwd=folder, env=env, capture_output=True,
                               text=True, timeout=600)
            status = "ok" if r.returncode == 0 else f"FAILED (exit {r.returncode})"
            print(f"README.md:{line}: {language} example {status}")
            if r.returncode:
                failed += 1
                sys.stdout.write(r.stdout[-4000:] + r.stderr[-4000:])
        print(f"{len(blocks) - failed} passed, {failed} failed")
        sys.exit(1 if failed else 0)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
