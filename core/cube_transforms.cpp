// Slice and depth transforms of whole 4 x 4 x depth cubes in registers
// (Highway, compiled for several instruction sets and dispatched at run time
// to the best the CPU has).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/cube_transforms.cpp"
#include "core/cube_transforms.h"

#include <cstddef>
#include <utility>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace zarvo::detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D4 = hn::CappedTag<double, 4>;  // one column of a slice
using V4 = hn::Vec<D4>;

// sum over k of a[k] * b[k], chained as the product kernels chain it.
HWY_INLINE V4 Chain4(D4 d, const V4* a, const double* b) {
  V4 acc = hn::Zero(d);
  for (int k = 0; k < 4; ++k) acc = hn::MulAdd(a[k], hn::Set(d, b[k]), acc);
  return acc;
}

// The four columns of one depth slice of a cube of kDepth slices (slices of
// 16 values at `slices`): the sum over s of slice s times b[s], chained as
// the product kernels chain it.
template <int kDepth>
HWY_INLINE void DepthChain(D4 d, const double* slices, const double* b, V4* acc) {
  for (int v = 0; v < 4; ++v) acc[v] = hn::Zero(d);
  for (int s = 0; s < kDepth; ++s)
    for (int v = 0; v < 4; ++v)
      acc[v] = hn::MulAdd(hn::Load(d, slices + 16 * s + 4 * v), hn::Set(d, b[s]), acc[v]);
}

// M' of a square n x n matrix, into t.
HWY_INLINE void Transposed(const double* M, int n, double* t) {
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) t[r + n * c] = M[c + n * r];
}

// The depths are compile-time constants so that the chains of every
// coefficient are unrolled and interleaved: one chain alone waits on each
// multiply-add's latency.
template <int kDepth>
void Forward(const double* in, int count, const double* T, const double* T3, double* out) {
  const D4 d;
  V4 t[4];  // the columns of T
  for (int k = 0; k < 4; ++k) t[k] = hn::LoadU(d, T + 4 * k);
  HWY_ALIGN double tt[16];          // row c of T at tt + 4c
  double t3t[kDepth * kDepth];      // row e of T3 at t3t + kDepth * e
  HWY_ALIGN double z[16 * kDepth];  // the slices' 2-D transforms
  Transposed(T, 4, tt);
  Transposed(T3, kDepth, t3t);
  constexpr std::ptrdiff_t n = 16 * kDepth;
  for (int i = 0; i < count; ++i) {
    // Every slice is read before the cube is written: out may be in.
    const double* cube = in + n * i;
    for (int s = 0; s < kDepth; ++s) {
      V4 y[4];  // T X, by columns
      for (int c = 0; c < 4; ++c) y[c] = Chain4(d, t, cube + 16 * s + 4 * c);
      // (T X) T': column c is the sum over k of y[k] T(c, k).
      for (int c = 0; c < 4; ++c) hn::Store(Chain4(d, y, tt + 4 * c), d, z + 16 * s + 4 * c);
    }
    double* o = out + n * i;
    for (int e = 0; e < kDepth; ++e) {
      V4 acc[4];
      DepthChain<kDepth>(d, z, t3t + kDepth * e, acc);
      for (int v = 0; v < 4; ++v) hn::StoreU(acc[v], d, o + 16 * e + 4 * v);
    }
  }
}

template <int kDepth>
void Inverse(const double* in, int count, const double* T, const double* T3, double* out) {
  const D4 d;
  HWY_ALIGN double tt[16];
  Transposed(T, 4, tt);
  V4 rows[4];  // the columns of T', the rows of T
  for (int k = 0; k < 4; ++k) rows[k] = hn::Load(d, tt + 4 * k);
  HWY_ALIGN double c[16 * kDepth];  // the cube, read whole first: out may be in
  HWY_ALIGN double w[16];           // one slice of C T3
  constexpr std::ptrdiff_t n = 16 * kDepth;
  for (int i = 0; i < count; ++i) {
    for (std::ptrdiff_t j = 0; j < n; j += 4) hn::Store(hn::LoadU(d, in + n * i + j), d, c + j);
    double* o = out + n * i;
    for (int e = 0; e < kDepth; ++e) {
      V4 acc[4];
      DepthChain<kDepth>(d, c, T3 + kDepth * e, acc);  // column e of T3
      for (int v = 0; v < 4; ++v) hn::Store(acc[v], d, w + 4 * v);
      V4 u[4];  // T' W, by columns
      for (int col = 0; col < 4; ++col) u[col] = Chain4(d, rows, w + 4 * col);
      for (int col = 0; col < 4; ++col)
        hn::StoreU(Chain4(d, u, T + 4 * col), d, o + 16 * e + 4 * col);
    }
  }
}

template <int... kDepths>
CubeKernel ForDepth(int depth, bool forward, std::integer_sequence<int, kDepths...>) {
  CubeKernel k = nullptr;
  ((depth == kDepths + 1 ? (k = forward ? &Forward<kDepths + 1> : &Inverse<kDepths + 1>) : k), ...);
  return k;
}

CubeKernels Kernels(int depth) {
  CubeKernels k;
#if HWY_NATIVE_FMA
  // Vectors of exactly one slice column, with fused multiply-adds.
  if (hn::Lanes(D4()) == 4) {
    const auto depths = std::make_integer_sequence<int, cube_kernels_max_depth>();
    k.forward = ForDepth(depth, true, depths);
    k.inverse = ForDepth(depth, false, depths);
  }
#else
  (void)depth;
#endif
  return k;
}

}  // namespace HWY_NAMESPACE
}  // namespace zarvo::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo::detail {

HWY_EXPORT(Kernels);

CubeKernels cube_kernels(int depth) { return HWY_DYNAMIC_DISPATCH(Kernels)(depth); }

}  // namespace zarvo::detail
#endif
