#!/usr/bin/env bash
# Installs what is needed, builds everything (libraries, MEX files, command,
# tests) and runs every test: C++ and Octave, then the C++ tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then fuzzes the NIfTI
# reading path for a bounded time (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVO_REQUIRE_MEX=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZARVO_SANITIZE=ON
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

# The NIfTI reading path under libFuzzer, ASan and UBSan, for a bounded time.
FUZZ_SECONDS=${FUZZ_SECONDS:-90} bash scripts/fuzz.sh
