#!/usr/bin/env bash
# Installs what is needed, builds everything (libraries, MEX files, command,
# Python module, tests) and runs every test: C++, Octave and Python, then the
# C++ tests again under AddressSanitizer and UndefinedBehaviorSanitizer, then
# fuzzes the NIfTI reading path for a bounded time (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
bash scripts/check_format.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVO_REQUIRE_MEX=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The Debian package (cpack -G DEB), unpacked into a scratch root and used
# from there: the command, Octave and Python.
bash tests/install/check_deb.sh build "$(command -v octave-cli || true)"

# The Python package, installed as the README says (a venv over Debian's
# packages, pip offline, reusing the build above), and its tests. Debian's
# interpreter: another python3 first on PATH would not see Debian's packages.
/usr/bin/python3 -m venv --system-site-packages --clear build/venv
ZARVO_BUILD_DIR="$PWD/build" ZARVO_JOBS="$jobs" build/venv/bin/python3 -m pip install \
  --no-build-isolation --no-deps --no-index ./python
ZARVO_BIN="$PWD/build/cli/zarvo" build/venv/bin/python3 -m pytest -q -p no:cacheprovider python/tests

# The README's examples (blocks marked <!-- example -->), run as written on
# small inputs with the venv's zarvo, so that a stale snippet fails here.
build/venv/bin/python3 tests/readme/run_examples.py README.md build build/venv/bin/python3

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZARVO_SANITIZE=ON
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

# The NIfTI reading path under libFuzzer, ASan and UBSan, for a bounded time.
FUZZ_SECONDS=${FUZZ_SECONDS:-90} bash scripts/fuzz.sh
