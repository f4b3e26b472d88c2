#!/usr/bin/env bash
# Installs the Debian packages zarvo needs to build and test (as root, on a
# fresh Debian 12 machine). Does nothing when it is not root or has no apt.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libgtest-dev libbenchmark-dev
  libopenblas-dev liblapack-dev
  octave liboctave-dev
  libnifti2-dev libcli11-dev libpng-dev zlib1g-dev libhwy-dev libxsmm-dev nlohmann-json3-dev
  clang-14 libclang-rt-14-dev clang-format
  chromium
  python3-dev python3-pybind11 pybind11-dev python3-numpy python3-nibabel python3-nipype
  python3-distributed python3-pytest python3-pip python3-venv python3-setuptools python3-wheel
)
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi
