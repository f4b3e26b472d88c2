#!/usr/bin/env bash
# Peak memory of `zarvo denoise` on a full-size volume (the benchmark phantom,
# 181 x 217 x 181, float32 NIfTI, level given), both noise models, two
# stages, measured with /usr/bin/time -v. Results in bench/README.md.
#
#   bash bench/memory.sh [BUILD_DIR] [ZARVO_COMMAND]
#
# ZARVO_COMMAND defaults to BUILD_DIR/cli/zarvo (another build's command can
# be measured on the same file). Needs /usr/bin/python3 with numpy and nibabel.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
zarvo="${2:-$build/cli/zarvo}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/bench/zarvo_bench_denoise" --write-volume "$work/noisy.f64" >/dev/null
/usr/bin/python3 - "$work" <<'PY'
import sys, numpy as np, nibabel as nib
work = sys.argv[1]
v = np.fromfile(f"{work}/noisy.f64").reshape((181, 217, 181), order="F")
nib.save(nib.Nifti1Image(v.astype(np.float32), np.eye(4)), f"{work}/noisy.nii")
PY
echo "| noise | threads | peak memory | time |"
echo "|---|---|---|---|"
for noise in gaussian rician; do
  for threads in 1 2; do
    /usr/bin/time -v "$zarvo" --threads "$threads" denoise "$work/noisy.nii" "$work/out.nii" \
      --noise "$noise" --sigma 5 --quiet --force 2>"$work/time.txt" >/dev/null
    peak=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$work/time.txt")
    wall=$(awk '/Elapsed \(wall clock\)/ {print $NF}' "$work/time.txt")
    echo "| $noise | $threads | $((peak / 1024)) MB | $wall |"
  done
done
