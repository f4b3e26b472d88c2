#!/usr/bin/env bash
# Runs the small-product benchmarks against every BLAS that is installed:
# zarvo_bench_products (plain dgemm_ calls) with the reference BLAS, OpenBLAS
# and BLIS preloaded, and zarvo_bench_products_xsmm, where libxsmm takes over
# dgemm_ at link time and hands what it has no kernel for to the system BLAS,
# and zarvo_bench_products_front, the engine's own dgemm_.
#
#   bash bench/compare_blas.sh [BUILD_DIR] [extra benchmark flags]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
shift || true
lib=/usr/lib/x86_64-linux-gnu
exe="$build/bench/zarvo_bench_products"
[ -x "$exe" ] || { echo "compare_blas: $exe not built" >&2; exit 2; }
flags=(--benchmark_min_time=0.2 "$@")

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A libs=(
  [reference]="$lib/blas/libblas.so.3"
  [openblas]="$lib/openblas-pthread/libopenblas.so.0"
  [blis-serial]="$lib/blis-serial/libblis.so.4"
  [blis-pthread]="$lib/blis-pthread/libblis.so.4"
  [blis-openmp]="$lib/blis-openmp/libblis.so.4"
)
for name in reference openblas blis-serial blis-pthread blis-openmp; do
  so="${libs[$name]}"
  [ -e "$so" ] || continue
  echo "== $name ($so)"
  LD_PRELOAD="$so" "$exe" "${flags[@]}" 2>/dev/null | grep -E '^BM_'
done
if [ -x "$build/bench/zarvo_bench_products_xsmm" ]; then
  echo "== libxsmm (link-time wrapper over the system BLAS)"
  "$build/bench/zarvo_bench_products_xsmm" "${flags[@]}" 2>/dev/null | grep -E '^BM_'
fi
if [ -x "$build/bench/zarvo_bench_products_front" ]; then
  echo "== the engine's dgemm_ (libxsmm kernels, per-thread kernel table)"
  "$build/bench/zarvo_bench_products_front" "${flags[@]}" 2>/dev/null | grep -E '^BM_'
fi
