// Block-matching distances, scalar and SIMD (Highway, compiled for several
// instruction sets and dispatched at run time to the best the CPU has).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/distances.cpp"
#include "core/distances.h"

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace zarvo::detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Four columns of candidates, one row per lane, the first candidate of
// column j starting at col[j]. Each lane adds its squared differences in the
// order of the offsets, exactly as the scalar loop does; no multiply-add is
// fused (the library is built with -ffp-contract=off).
template <class D>
HWY_INLINE void four_columns(D d, const CubeDistance& k, const double* const col[4],
                             double* HWY_RESTRICT sums) {
  using V = hn::Vec<D>;
  V s0 = hn::Zero(d), s1 = hn::Zero(d), s2 = hn::Zero(d), s3 = hn::Zero(d);
  const double* const c0 = col[0];
  const double* const c1 = col[1];
  const double* const c2 = col[2];
  const double* const c3 = col[3];
  for (int t = 0; t < k.cube_len; ++t) {
    const V r = hn::Set(d, k.ref[t]);
    const std::ptrdiff_t o = k.offsets[t];
    const V e0 = hn::Sub(r, hn::LoadU(d, c0 + o));
    const V e1 = hn::Sub(r, hn::LoadU(d, c1 + o));
    const V e2 = hn::Sub(r, hn::LoadU(d, c2 + o));
    const V e3 = hn::Sub(r, hn::LoadU(d, c3 + o));
    s0 = hn::Add(s0, hn::Mul(e0, e0));
    s1 = hn::Add(s1, hn::Mul(e1, e1));
    s2 = hn::Add(s2, hn::Mul(e2, e2));
    s3 = hn::Add(s3, hn::Mul(e3, e3));
  }
  const std::size_t n = hn::Lanes(d);
  hn::StoreU(s0, d, sums);
  hn::StoreU(s1, d, sums + n);
  hn::StoreU(s2, d, sums + 2 * n);
  hn::StoreU(s3, d, sums + 3 * n);
}

void BlockDistances(const CubeDistance& k, int x0, int ncols, int y0, int nrows, int z,
                    double* out) {
  const hn::CappedTag<double, row_block> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  HWY_ALIGN double sums[4 * row_block];
  const std::ptrdiff_t last = k.offsets[k.cube_len - 1];  // the largest offset
  for (int r0 = 0; r0 < nrows; r0 += lanes) {
    const int valid = nrows - r0 < lanes ? nrows - r0 : lanes;
    const double* top =
        k.volume + (y0 + r0 - 1) + k.rows * static_cast<std::ptrdiff_t>(x0 - 1) + k.plane * (z - 1);
    for (int c = 0; c < ncols; c += 4) {
      const int here = ncols - c < 4 ? ncols - c : 4;
      // Short groups repeat their last column; the repeats are dropped.
      const double* col[4];
      for (int j = 0; j < 4; ++j)
        col[j] = top + k.rows * static_cast<std::ptrdiff_t>(c + (j < here ? j : here - 1));
      // Lanes past the window read further rows of the volume; near its end
      // they would read past it, so those few candidates go one by one.
      if (col[3] - k.volume + last + lanes > k.voxels) {
        for (int j = 0; j < here; ++j)
          block_distances_scalar(k, x0 + c + j, 1, y0 + r0, valid, z, sums + j * lanes);
        for (int j = 0; j < here; ++j)
          for (int r = 0; r < valid; ++r) out[(r0 + r) * ncols + c + j] = sums[j * lanes + r];
        continue;
      }
      four_columns(d, k, col, sums);
      for (int j = 0; j < here; ++j)
        for (int r = 0; r < valid; ++r) out[(r0 + r) * ncols + c + j] = sums[j * lanes + r];
    }
  }
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace zarvo::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo::detail {

HWY_EXPORT(BlockDistances);
HWY_EXPORT(TargetName);

void block_distances_scalar(const CubeDistance& k, int x0, int ncols, int y0, int nrows, int z,
                            double* out) {
  for (int r = 0; r < nrows; ++r) {
    for (int c = 0; c < ncols; ++c) {
      const double* p = k.volume + (y0 + r - 1) + k.rows * static_cast<std::ptrdiff_t>(x0 + c - 1) +
                        k.plane * (z - 1);
      double d = 0.0;
      for (int t = 0; t < k.cube_len; ++t) {
        const double diff = k.ref[t] - p[k.offsets[t]];
        d += diff * diff;
      }
      out[r * ncols + c] = d;
    }
  }
}

void block_distances_simd(const CubeDistance& k, int x0, int ncols, int y0, int nrows, int z,
                          double* out) {
  HWY_DYNAMIC_DISPATCH(BlockDistances)(k, x0, ncols, y0, nrows, z, out);
}

const char* simd_target_name() { return HWY_DYNAMIC_DISPATCH(TargetName)(); }

}  // namespace zarvo::detail
#endif
