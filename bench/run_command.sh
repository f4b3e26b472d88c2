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
# The machine is a shared virtual one whose speed drifts from minute to
# minute, so the cases compared in a ratio run in rounds, one run of each
# per round, REPEAT rounds (default 3), and the fastest run of each counts
# (the slowest is shown beside it); dipy, at two minutes a run, runs once.
#
#   bash bench/run_command.sh [BUILD_DIR]     (SKIP="dipy large" skips parts)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
zarvo="$build/cli/zarvo"
SKIP="${SKIP:-}"
REPEAT="${REPEAT:-3}"
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

# race NAME COMMAND [NAME COMMAND ...]: REPEAT rounds, each running every
# command once (so that the machine's drift falls on all of them alike);
# sets best[NAME] (fastest seconds), worst[NAME] and peak[NAME] (MB).
declare -A best worst peak
race() {
  local names=() commands=() s m i
  while [ $# -gt 0 ]; do names+=("$1"); commands+=("$2"); shift 2; done
  for _ in $(seq "$REPEAT"); do
    for i in "${!names[@]}"; do
      read -r s m < <(time_of "$work/race$i" bash -c "exec ${commands[$i]}")
      local n="${names[$i]}"
      if [ -z "${best[$n]:-}" ] || awk -v a="$s" -v b="${best[$n]}" 'BEGIN {exit !(a < b)}'; then best[$n]=$s; fi
      if [ -z "${worst[$n]:-}" ] || awk -v a="$s" -v b="${worst[$n]}" 'BEGIN {exit !(a > b)}'; then worst[$n]=$s; fi
      if [ "$m" -gt "${peak[$n]:-0}" ]; then peak[$n]=$m; fi
    done
  done
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
zarvo_on() {  # NOISE THREADS: the command line of one denoise of the volume
  local in="$work/$([ "$1" = gaussian ] && echo gauss || echo rice).nii"
  echo "$zarvo denoise $in $work/out-$1-$2.nii --noise $1 --sigma 5 --threads $2 --quiet --force --no-sidecar"
}
race g1 "$(zarvo_on gaussian 1)" r1 "$(zarvo_on rician 1)" g2 "$(zarvo_on gaussian 2)" \
     r2 "$(zarvo_on rician 2)"
row() { echo "| $1 | $2 | $3 | ${best[$4]} (slowest ${worst[$4]}) | ${peak[$4]} |"; }
row "181x217x181 gaussian" "zarvo denoise" 1 g1
row "181x217x181 gaussian" "zarvo denoise" 2 g2
row "181x217x181 rician" "zarvo denoise" 1 r1
row "181x217x181 rician" "zarvo denoise" 2 r2
declare -A dipy
if [[ " $SKIP " != *" dipy "* ]] && /usr/bin/python3 -c "import dipy" 2>/dev/null; then
  for noise in gaussian rician; do
    "$build/bench/zarvo_bench_denoise" --write-volume "$work/v.f64" --noise "$noise" >/dev/null
    read -r s m < <(time_of "$work/d" /usr/bin/python3 "$here/dipy_nlmeans.py" "$work/v.f64" 181 217 181 5 "$noise" 2)
    dipy[$noise]=$s
    echo "| 181x217x181 $noise | dipy nlmeans | 2 | $s | $m |"
  done
fi
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo "| ratios | Rician / Gaussian, 2 threads | | $(ratio "${best[r2]}" "${best[g2]}")x | |"
echo "| ratios | 1 thread / 2 threads, Gaussian; Rician | | $(ratio "${best[g1]}" "${best[g2]}")x; $(ratio "${best[r1]}" "${best[r2]}")x | |"
if [ -n "${dipy[gaussian]:-}" ]; then
  echo "| ratios | zarvo / dipy, 2 threads, Gaussian; Rician | | $(ratio "${best[g2]}" "${dipy[gaussian]}")x; $(ratio "${best[r2]}" "${dipy[rician]}")x | |"
fi

series="$zarvo denoise $work/series.nii $work/series_out.nii --noise rician --threads 2 --quiet --force --no-sidecar"
if command -v dwidenoise >/dev/null; then
  race s "$series" w "dwidenoise $work/series.nii $work/dw.nii -nthreads 2 -force -quiet"
  row "120x140x60x16 rician series" "zarvo denoise (level pooled)" 2 s
  row "120x140x60x16 rician series" "dwidenoise" 2 w
  echo "| ratios | zarvo / dwidenoise | | $(ratio "${best[s]}" "${best[w]}")x | |"
else
  race s "$series"
  row "120x140x60x16 rician series" "zarvo denoise (level pooled)" 2 s
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
