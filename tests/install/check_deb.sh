#!/usr/bin/env bash
# Builds the Debian package from a build folder (cpack -G DEB), unpacks it
# into a scratch root (dpkg -x) and uses what it installed as a user would,
# from the installed paths only: the command, the Octave function and the
# plug-ins' help, and the Python package with Debian's python3.
#
#   check_deb.sh BUILD_DIR [OCTAVE]
set -euo pipefail
build=$(cd "$1" && pwd)
octave=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/zarvo_*.deb)
echo "built $(basename "$deb")"

# What the package says about itself, and what it holds.
dpkg-deb -f "$deb" Package Version Architecture Depends
depends=$(dpkg-deb -f "$deb" Depends)
for needed in python3-numpy libnifti2 libpng libopenblas; do
  case "$depends" in *"$needed"*) ;; *) echo "FAIL: Depends lacks $needed: $depends"; exit 1 ;; esac
done
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
for f in /usr/bin/zarvo /usr/share/zarvo/profiles.txt \
         /usr/lib/zarvo/octave/zarvo_denoise.m /usr/lib/zarvo/octave/zarvo_stages_example.m \
         /usr/lib/zarvo/octave/zarvo_denoise_mex.mex \
         /usr/lib/zarvo/octave/zarvo_thr_mex.mex /usr/lib/zarvo/octave/zarvo_thr_mex.m \
         /usr/lib/zarvo/octave/zarvo_wie_mex.mex /usr/lib/zarvo/octave/zarvo_wie_mex.m \
         /usr/lib/zarvo/octave/zarvo_thr_rice_mex.mex /usr/lib/zarvo/octave/zarvo_thr_rice_mex.m \
         /usr/lib/zarvo/octave/zarvo_wie_rice_mex.mex /usr/lib/zarvo/octave/zarvo_wie_rice_mex.m \
         /usr/lib/python3/dist-packages/zarvo/__init__.py; do
  grep -qx "$f" "$work/contents" || { echo "FAIL: the package lacks $f"; exit 1; }
done
grep -q '^/usr/lib/python3/dist-packages/zarvo/_core\..*\.so$' "$work/contents" ||
  { echo "FAIL: the package lacks the Python module"; exit 1; }
if grep -v '^/usr/' "$work/contents" | grep -qv '^/$'; then
  echo "FAIL: files outside /usr:"; grep -v '^/usr/' "$work/contents"; exit 1
fi

root="$work/root"
dpkg -x "$deb" "$root"
usr="$root/usr"

# The command.
version=$("$usr/bin/zarvo" --version)
echo "$version"
[ "$version" = "zarvo $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
  { echo "FAIL: version '$version'"; exit 1; }
"$usr/bin/zarvo" demo "$work/demo" --size 16 --quiet
"$usr/bin/zarvo" denoise "$work/demo/gaussian_noisy.nii.gz" "$work/out.nii.gz" --quiet \
  --report "$work/out.html" --residual "$work/residual.nii.gz"
test -s "$work/out.nii.gz" && test -s "$work/out.html" && test -s "$work/residual.nii.gz"

# Octave: the installed function and plug-ins, with their help.
if [ -n "$octave" ]; then
  "$octave" --no-gui --norc --quiet --no-window-system --eval "
    addpath('$usr/lib/zarvo/octave');
    assert(strncmp(which('zarvo_denoise_mex'), '$usr/', numel('$usr/')), which('zarvo_denoise_mex'));
    assert(strncmp(which('zarvo_thr_mex'), '$usr/', numel('$usr/')));
    Y = 100 + 10 * randn(16, 16, 8);
    X = zarvo_denoise(Y, 'sigma', 10);
    assert(isequal(size(X), size(Y)) && std(X(:) - 100) < 5);
    assert(isequal(X, zarvo_stages_example(Y, 10)));
    assert(~isempty(strfind(evalc('help zarvo_wie_rice_mex'), 'sigma_oracle')));
    disp('installed Octave function and plug-ins: ok');"
fi

# Python: Debian's interpreter finds the package in the unpacked dist-packages
# (PYTHONPATH stands for the system folder it will be in).
PYTHONPATH="$usr/lib/python3/dist-packages" /usr/bin/python3 -c "
import numpy as np, zarvo
assert zarvo.__file__.startswith('$usr/'), zarvo.__file__
rng = np.random.default_rng(1)
y = 100 + 10 * rng.standard_normal((16, 16, 8))
x = zarvo.denoise(y, 10.0)
assert x.shape == y.shape and np.std(x - 100) < 5
print('installed Python package: ok,', zarvo.__version__)"
echo "Debian package: ok"
