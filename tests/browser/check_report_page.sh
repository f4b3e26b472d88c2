#!/usr/bin/env bash
# The QC page in a real browser: Debian's chromium, headless, renders the
# report of a volume and of a series; the screenshots must show the slices
# and plots (not blank) and the browser's console must stay silent (no
# script errors, nothing the page tried to fetch). Exits 77 (skipped) only
# when chromium is missing or cannot start here.
#
#   check_report_page.sh ZARVO_BIN [KEEP_DIR]
set -euo pipefail
zarvo=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! command -v chromium >/dev/null; then
  echo "SKIPPED: chromium is not installed (Debian: apt-get install chromium)"
  exit 77
fi

# render PAGE SHOT HEIGHT: screenshot and console output (stderr) of a page.
render() {
  local profile
  profile=$(mktemp -d "$work/profile.XXXXXX")
  timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --enable-logging=stderr --v=0 \
    --screenshot="$2" --window-size=1200,"$3" "file://$1" >"$2.log" 2>&1
}

# Chromium's console lines ("INFO:CONSOLE") report script errors and blocked
# fetches; a page without script and without references has none.
console_errors() { grep -E ':CONSOLE|Uncaught' "$1.log" || true; }

cat >"$work/probe.html" <<'HTML'
<!DOCTYPE html><html><head><meta http-equiv="Content-Security-Policy"
content="default-src 'none'; img-src data:; style-src 'unsafe-inline'"></head>
<body><p>probe</p><img src="probe-missing.png"></body></html>
HTML
if ! render "$work/probe.html" "$work/probe.png" 600 || [ ! -s "$work/probe.png" ]; then
  echo "SKIPPED: chromium cannot start here:"
  tail -5 "$work/probe.png.log" || true
  exit 77
fi
# The probe refers to a file the policy forbids: the console must say so, or
# this check could not see the same fault in the report.
if [ -z "$(console_errors "$work/probe.png")" ]; then
  echo "FAIL: chromium's console did not report the probe's blocked image; cannot check pages"
  exit 1
fi

"$zarvo" demo "$work/demo" --size 32 --quiet
"$zarvo" denoise "$work/demo/rician_noisy.nii.gz" "$work/volume.nii.gz" --noise rician \
  --report "$work/volume.html" --quiet
# A series of four volumes of different levels, made from the demo's volume.
/usr/bin/python3 - "$work" <<'PY'
import sys
import nibabel as nib
import numpy as np
work = sys.argv[1]
clean = nib.load(f"{work}/demo/clean.nii.gz")
rng = np.random.default_rng(3)
data = np.stack([clean.get_fdata() + s * rng.standard_normal(clean.shape)
                 for s in (20.0, 30.0, 40.0, 50.0)], axis=-1).astype(np.float32)
nib.save(nib.Nifti1Image(data, clean.affine), f"{work}/series.nii.gz")
PY
"$zarvo" denoise "$work/series.nii.gz" "$work/series_out.nii.gz" --sigma-scope volume \
  --report "$work/series.html" --quiet

status=0
for page in volume:2000 series:3400; do
  name=${page%%:*}
  render "$work/$name.html" "$work/$name.png" "${page##*:}"
  errors=$(console_errors "$work/$name.png")
  if [ -n "$errors" ]; then
    echo "FAIL: $name.html: console errors:"
    echo "$errors"
    status=1
  fi
  /usr/bin/python3 "$here/png_stats.py" "$work/$name.png" 0.10 0.02 50 || status=1
done
if [ -n "${2:-}" ]; then cp "$work"/*.html "$work"/*.png "$2"/; fi
[ "$status" -eq 0 ] && echo "report pages render in chromium: ok"
exit "$status"
