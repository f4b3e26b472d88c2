#!/usr/bin/env bash
# Checks that the C++ sources keep the tree's style (.clang-format), or with
# --fix formats them. vst/tables.cpp is left out: the table generator writes
# it, and a test compares it with the generator's output.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' | grep -v '^vst/tables\.cpp$')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run --Werror "${files[@]}"
  echo "format: ${#files[@]} files keep the style"
fi
