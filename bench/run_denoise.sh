#!/usr/bin/env bash
# Times the two-stage denoise of the benchmark phantom (default profile) and,
# when python3-dipy is installed, dipy's nlmeans on the same voxels, in one
# run, and prints a Markdown table with peak memory and the ratios.
#
#   bash bench/run_denoise.sh [BUILD_DIR]
#
# Environment: NOISE ("gaussian rician"), THREADS ("1 2": zarvo's walk
# threads), PEER_THREADS ("1 2": dipy's threads; empty skips dipy),
# SIZE (181,217,181), SIGMA (5), REPEAT (3).
#
# Every zarvo case runs REPEAT times, the thread counts interleaved, and the
# fastest run is reported with the slowest total beside it: on a shared
# virtual machine single runs vary by 20% or more. With 1 and 2 threads it
# also runs two one-thread processes at once (REPEAT times), the machine's
# own ceiling for two threads: what two cores give to two workers that share
# nothing. dipy runs once per case (minutes each).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
exe="$build/bench/zarvo_bench_denoise"
[ -x "$exe" ] || { echo "run_denoise: $exe not built" >&2; exit 2; }
NOISE="${NOISE:-gaussian rician}"
THREADS="${THREADS:-1 2}"
PEER_THREADS="${PEER_THREADS-1 2}"
SIZE="${SIZE:-181,217,181}"
SIGMA="${SIGMA:-5}"
REPEAT="${REPEAT:-3}"
IFS=, read -r rows cols slices <<<"$SIZE"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

have_dipy=0
if [ -n "$PEER_THREADS" ] && /usr/bin/python3 -c "import dipy.denoise.nlmeans" 2>/dev/null; then
  have_dipy=1
fi

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "blas: $(readlink -f /usr/lib/x86_64-linux-gnu/libblas.so.3 2>/dev/null || echo '?') (system)"
echo "zarvo: $(git -C "$here/.." rev-parse --short HEAD 2>/dev/null || echo '?'), volume ${rows}x${cols}x${slices}, sigma $SIGMA"
echo "date: $(date -u +%Y-%m-%dT%H:%MZ), load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# run LOG COMMAND...: runs under /usr/bin/time -v; prints "RESULT... peak_kb=N cpu=S".
run() {
  local log="$1"
  shift
  /usr/bin/time -v "$@" >"$log.out" 2>"$log.err" || { cat "$log.err" >&2; exit 1; }
  local peak cpu
  peak=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$log.err")
  cpu=$(awk -F: '/User time|System time/ {s += $2} END {printf "%.1f", s}' "$log.err")
  echo "$(grep '^RESULT' "$log.out") peak_kb=$peak cpu=$cpu"
}
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }

rows_out=()
for noise in $NOISE; do
  declare -A zarvo_total=() zarvo_row=() zarvo_worst=() dipy_total=()
  pair_best="" pair_worst=""
  zcase=(--noise "$noise" --size "$SIZE" --sigma "$SIGMA")
  for rep in $(seq "$REPEAT"); do
    for t in $THREADS; do
      r=$(run "$work/z-$noise-$t" "$exe" "${zcase[@]}" --threads "$t")
      total=$(field total "$r")
      if [ -z "${zarvo_total[$t]:-}" ] || awk -v a="$total" -v b="${zarvo_total[$t]}" 'BEGIN {exit !(a < b)}'; then
        zarvo_total[$t]=$total
        zarvo_row[$t]="| $noise | zarvo | $t | $(field first "$r") | $(field second "$r") | $total | $(field cpu "$r") | $(field voxels_per_s "$r") | $(( $(field peak_kb "$r") / 1024 )) |"
      fi
      if [ -z "${zarvo_worst[$t]:-}" ] || awk -v a="$total" -v b="${zarvo_worst[$t]}" 'BEGIN {exit !(a > b)}'; then
        zarvo_worst[$t]=$total
      fi
    done
    if [[ " $THREADS " == *" 1 "* && " $THREADS " == *" 2 "* ]]; then
      # Two one-thread processes at once; the pair takes as long as the later.
      "$exe" "${zcase[@]}" --threads 1 >"$work/pair-a" &
      "$exe" "${zcase[@]}" --threads 1 >"$work/pair-b" &
      wait
      pair=$(for f in "$work/pair-a" "$work/pair-b"; do field total "$(grep '^RESULT' "$f")"; done | sort -g | tail -1)
      if [ -z "$pair_best" ] || awk -v a="$pair" -v b="$pair_best" 'BEGIN {exit !(a < b)}'; then pair_best=$pair; fi
      if [ -z "$pair_worst" ] || awk -v a="$pair" -v b="$pair_worst" 'BEGIN {exit !(a > b)}'; then pair_worst=$pair; fi
    fi
  done
  for t in $THREADS; do
    rows_out+=("${zarvo_row[$t]} fastest of $REPEAT; slowest ${zarvo_worst[$t]} s |")
  done
  if [ "$have_dipy" = 1 ]; then
    "$exe" --noise "$noise" --size "$SIZE" --sigma "$SIGMA" --write-volume "$work/volume.f64"
    for t in $PEER_THREADS; do
      r=$(run "$work/d-$noise-$t" /usr/bin/python3 "$here/dipy_nlmeans.py" "$work/volume.f64" \
        "$rows" "$cols" "$slices" "$SIGMA" "$noise" "$t")
      dipy_total[$t]=$(field total "$r")
      rows_out+=("| $noise | dipy nlmeans | $t | | | $(field total "$r") | $(field cpu "$r") | $(field voxels_per_s "$r") | $(( $(field peak_kb "$r") / 1024 )) |")
    done
    rm -f "$work/volume.f64"
  fi
  for t in $THREADS; do
    if [ -n "${dipy_total[$t]:-}" ]; then
      rows_out+=("| $noise | ratio dipy / zarvo | $t | | | $(awk -v a="${dipy_total[$t]}" -v b="${zarvo_total[$t]}" 'BEGIN {printf "%.2fx", a / b}') | | | |")
    fi
  done
  if [ -n "${zarvo_total[1]:-}" ] && [ -n "${zarvo_total[2]:-}" ]; then
    rows_out+=("| $noise | zarvo 1 thread / 2 threads | | | | $(awk -v a="${zarvo_total[1]}" -v b="${zarvo_total[2]}" 'BEGIN {printf "%.2fx", a / b}') | | | |")
  fi
  if [ -n "$pair_best" ]; then
    rows_out+=("| $noise | zarvo, two 1-thread processes at once (later to finish) | 1+1 | | | $pair_best | | | | slowest of $REPEAT: $pair_worst s |")
    rows_out+=("| $noise | ceiling: 2 x 1 thread / the pair | | | | $(awk -v a="${zarvo_total[1]}" -v b="$pair_best" 'BEGIN {printf "%.2fx", 2 * a / b}') | | | |")
  fi
  unset zarvo_total zarvo_row zarvo_worst dipy_total
done

echo "| noise | program | threads | first stage s | second stage s | total s | CPU s | voxels/s | peak MB | notes |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows_out[@]}"
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
