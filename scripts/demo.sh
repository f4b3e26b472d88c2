#!/usr/bin/env bash
# Installs what is needed, builds the zarvo command and runs its built-in
# example: a synthetic brain-like phantom with Gaussian and Rician noise,
# denoised, written as NIfTI files and a PNG picture to demo-out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zarvo
build/cli/zarvo demo "${1:-demo-out}"
