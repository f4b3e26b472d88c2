#!/usr/bin/env bash
# Fuzzes the NIfTI reading path with libFuzzer under AddressSanitizer and
# UBSan for a bounded time (default 90 s; FUZZ_SECONDS), from a seed corpus
# generated here (tests/fuzz/make_seeds.cpp). Any input that crashes is
# copied to tests/fuzz/regressions/ (replayed by zarvo_cli_tests from then on)
# and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-90}
CC=clang-14 CXX=clang++-14 cmake -S tests/fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build-fuzz/zarvo_make_seeds "$work/seeds"
mkdir -p "$work/corpus" "$work/crashes"
status=0
TMPDIR="$work" ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1 \
  build-fuzz/zarvo_fuzz_read -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -malloc_limit_mb=1024 -artifact_prefix="$work/crashes/" -print_final_stats=1 \
  "$work/corpus" "$work/seeds" 2>"$work/log" || status=$?
grep -E "^#[0-9]+.*(DONE|cov:)" "$work/log" | tail -1 || true
grep -E "stat::number_of_executed_units|stat::new_units_added" "$work/log" || true
found=$(find "$work/crashes" -type f | wc -l)
if [ "$found" -gt 0 ] || [ "$status" -ne 0 ]; then
  tail -40 "$work/log"
  for f in "$work"/crashes/*; do
    [ -f "$f" ] && cp "$f" tests/fuzz/regressions/
  done
  echo "fuzz: $found crashing input(s) copied to tests/fuzz/regressions/" >&2
  exit 1
fi
echo "fuzz: no crash"
