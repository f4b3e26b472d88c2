#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses the installed copy as a
# user would: the command from the shell, the Octave function with one addpath.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
"$prefix/bin/zarvo" --version
"$prefix/bin/zarvo" demo "$prefix/demo" --size 16 --quiet
test -s "$prefix/demo/gaussian_denoised.nii.gz"
test -s "$prefix/share/zarvo/profiles.txt"
if [ -n "${2:-}" ]; then
  "$2" --no-gui --norc --quiet --no-window-system --eval "
    addpath('$prefix/lib/zarvo/octave');
    Y = 100 + 10 * randn(16, 16, 8);
    X = zarvo_denoise(Y, 'sigma', 10);
    assert(isequal(X, zarvo_stages_example(Y, 10)));
    disp('installed Octave function: ok');"
fi
echo "installed copy: ok"
