#!/usr/bin/env bash
# The whole command, side by side with its peers, in one run (the speed and
# memory targets of bench/README.md):
#   - `zarvo denoise` on the 181 x 217 x 181 benchmark phantom (float32 NIfTI,
#     level given), Gaussian and Rician, 1 and 2 threads: seconds and peak
#     memory, the Rician / Gaussian and 1 / 2 thread ratios;
#   - dipy's nlmeans on the same voxels with 2 threads (python3-dipy);
#   - a 4-D Rician series of 120 x 140 x 60 x 16 (volumes of the phantom,
#     attenuated like diffusion weightings): zarvo against MRtrix3's
#     dwidenoise (Debian mrtrix3) with the same threads;
#   - peak memory per voxel on a 320 x 370 x 316 volume (37 M voxels, fast
#     profile).
#
#   bash bench/run_command.sh [BUILD_DIR]     (SKIP="dipy large" skips parts)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
zarvo="$build/cli/zarvo"
SKIP="${SKIP:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "zarvo: $(git -C "$here/.." rev-parse --short HEAD 2>/dev/null || echo '?'), date $(date -u +%Y-%m-%dT%H:%MZ), load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# time_of LOG COMMAND...: runs under /usr/bin/time -v; prints "SECONDS PEAK_MB".
time_of() {
  local log="$1"
  shift
  /usr/bin/time -v "$@" >"$log.out" 2>"$log.err" || { tail -5 "$log.err" >&2; exit 1; }
  awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]}
              /Maximum resident set size/ {kb = $2}
              END {printf "%.2f %d\n", s, kb / 1024}' "$log.err"
}

"$build/bench/zarvo_bench_denoise" --write-volume "$work/gauss.f64" --noise gaussian >/dev/null
"$build/bench/zarvo_bench_denoise" --write-volume "$work/rice.f64" --noise rician >/dev/null
/usr/bin/python3 - "$work" <<'PY'
import sys, numpy as np, nibabel as nib
w = sys.argv[1]
for name in ("gauss", "rice"):
    v = np.fromfile(f"{w}/{name}.f64").reshape((181, 217, 181), order="F")
    nib.save(nib.Nifti1Image(v.astype(np.float32), np.eye(4)), f"{w}/{name}.nii")
# A diffusion-like Rician series: the clean phantom attenuated per volume.
rng = np.random.default_rng(5)
clean = np.abs(np.fromfile(f"{w}/gauss.f64").reshape((181, 217, 181), order="F"))[30:150, 40:180, 60:120]
b = np.concatenate([[0.0], np.linspace(0.3, 1.5, 15)])
series = np.stack([clean * np.exp(-bv * (0.5 + 0.5 * (clean / clean.max()))) for bv in b], axis=-1)
noisy = np.abs(series + 5 * rng.standard_normal(series.shape) + 5j * rng.standard_normal(series.shape))
nib.save(nib.Nifti1Image(noisy.astype(np.float32), np.eye(4)), f"{w}/series.nii")
PY

echo
echo "| case | program | threads | seconds | peak MB |"
echo "|---|---|---|---|---|"
declare -A t
for noise in gaussian rician; do
  in="$work/$([ "$noise" = gaussian ] && echo gauss || echo rice).nii"
  for threads in 1 2; do
    read -r s m < <(time_of "$work/z" "$zarvo" denoise "$in" "$work/out.nii" --noise "$noise" \
                     --sigma 5 --threads "$threads" --quiet --force --no-sidecar)
    t[$noise-$threads]=$s
    echo "| 181x217x181 $noise | zarvo denoise | $threads | $s | $m |"
  done
  if [[ " $SKIP " != *" dipy "* ]] && /usr/bin/python3 -c "import dipy" 2>/dev/null; then
    "$build/bench/zarvo_bench_denoise" --write-volume "$work/v.f64" --noise "$noise" >/dev/null
    read -r s m < <(time_of "$work/d" /usr/bin/python3 "$here/dipy_nlmeans.py" "$work/v.f64" 181 217 181 5 "$noise" 2)
    t[dipy-$noise]=$s
    echo "| 181x217x181 $noise | dipy nlmeans | 2 | $s | $m |"
  fi
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo "| ratios | Rician / Gaussian, 2 threads | | $(ratio "${t[rician-2]}" "${t[gaussian-2]}")x | |"
echo "| ratios | 1 thread / 2 threads, Gaussian; Rician | | $(ratio "${t[gaussian-1]}" "${t[gaussian-2]}")x; $(ratio "${t[rician-1]}" "${t[rician-2]}")x | |"
if [ -n "${t[dipy-gaussian]:-}" ]; then
  echo "| ratios | zarvo / dipy, 2 threads, Gaussian; Rician | | $(ratio "${t[gaussian-2]}" "${t[dipy-gaussian]}")x; $(ratio "${t[rician-2]}" "${t[dipy-rician]}")x | |"
fi

read -r s m < <(time_of "$work/s" "$zarvo" denoise "$work/series.nii" "$work/series_out.nii" \
                 --noise rician --threads 2 --quiet --force --no-sidecar)
echo "| 120x140x60x16 rician series | zarvo denoise (level pooled) | 2 | $s | $m |"
if command -v dwidenoise >/dev/null; then
  read -r s2 m2 < <(time_of "$work/w" dwidenoise "$work/series.nii" "$work/dw.nii" -nthreads 2 -force -quiet)
  echo "| 120x140x60x16 rician series | dwidenoise | 2 | $s2 | $m2 |"
  echo "| ratios | zarvo / dwidenoise | | $(ratio "$s" "$s2")x | |"
fi

if [[ " $SKIP " != *" large "* ]]; then
  /usr/bin/python3 - "$work" <<'PY'
import sys, numpy as np, nibabel as nib
rng = np.random.default_rng(2)
shape = (320, 370, 316)
i, j, k = np.ogrid[:shape[0], :shape[1], :shape[2]]
v = 100 * (((i - 160) / 140.0) ** 2 + ((j - 185) / 170.0) ** 2 + ((k - 158) / 140.0) ** 2 < 1)
v = (v + 20 * np.sin(i / 7.0) + 5 * rng.standard_normal(shape)).astype(np.float32)
nib.save(nib.Nifti1Image(v, np.eye(4)), sys.argv[1] + "/large.nii")
PY
  read -r s m < <(time_of "$work/l" "$zarvo" denoise "$work/large.nii" "$work/large_out.nii" \
                   --sigma 5 --profile fast --threads 2 --quiet --force --no-sidecar)
  echo "| 320x370x316 (37.4 M voxels), fast | zarvo denoise | 2 | $s | $m ($(awk -v m="$m" 'BEGIN {printf "%.1f", m * 1048576 / (320 * 370 * 316)}') bytes/voxel) |"
fi
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
