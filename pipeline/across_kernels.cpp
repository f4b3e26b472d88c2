#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "pipeline/across_kernels.cpp"
#include "pipeline/across_kernels.h"

#include "hwy/cache_control.h"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace zarvo::across {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Components k0 .. k0 + kVectors x lanes - 1 of voxel i added into `sum`.
template <int kVectors, class D>
HWY_INLINE void add_block(D d, const GroupAddition& a, int i, int k0, double windowed, float* sum) {
  using V = hn::Vec<D>;
  const hn::Rebind<float, D> df;
  const int lanes = static_cast<int>(hn::Lanes(d));
  V est[kVectors];
  for (int v = 0; v < kVectors; ++v) est[v] = hn::Zero(d);
  const double* coord = a.coords + i;
  const double* axis = a.axes + k0;
  for (int j = 0; j < a.kept; ++j, coord += a.M, axis += a.stride) {
    const V c = hn::Set(d, *coord);
    for (int v = 0; v < kVectors; ++v)
      est[v] = hn::Add(est[v], hn::Mul(hn::LoadU(d, axis + v * lanes), c));
  }
  const V w = hn::Set(d, a.weight), ww = hn::Set(d, windowed);
  const V from = hn::Set(d, static_cast<double>(a.windowed_from));
  for (int v = 0; v < kVectors; ++v) {
    float* s = sum + k0 + v * lanes;
    // Each lane's weight: the window's from component windowed_from on.
    const V k = hn::Iota(d, static_cast<double>(k0 + v * lanes));
    const V wk = hn::IfThenElse(hn::Lt(k, from), w, ww);
    hn::StoreU(hn::Add(hn::LoadU(df, s), hn::DemoteTo(df, hn::Mul(wk, est[v]))), df, s);
  }
}

void AddGroup(const GroupAddition& a) {
  const hn::CappedTag<double, component_block> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const int vectors = a.stride / lanes;
  for (int first = 0; first < a.M; first += a.run) {
    const std::size_t x = (a.at[first] % a.plane) / a.rows;
    if (static_cast<int>(x % static_cast<std::size_t>(a.parts)) != a.part) continue;
    for (int i = first; i < first + a.run; ++i) {
      const std::size_t at = a.at[i];
      float* sum = a.sums + at * static_cast<std::size_t>(a.stride);
      // Without a window every component takes the group's weight.
      const double windowed = a.window ? a.weight * a.window[i % a.window_len] : a.weight;
      int v = 0;
      for (; v + 4 <= vectors; v += 4) add_block<4>(d, a, i, v * lanes, windowed, sum);
      switch (vectors - v) {
        case 3:
          add_block<3>(d, a, i, v * lanes, windowed, sum);
          break;
        case 2:
          add_block<2>(d, a, i, v * lanes, windowed, sum);
          break;
        case 1:
          add_block<1>(d, a, i, v * lanes, windowed, sum);
          break;
        default:
          break;
      }
      a.weights[at] += a.weight;
      if (a.windowed) a.windowed[at] += windowed;
    }
  }
}

#if HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
// The 4 x 4 block of floats rows[0..3][k..k+3] turned: out[j] holds
// component k + j of the four rows.
HWY_INLINE void turn4(const float* const* rows, int k, hn::Vec128<float>* out) {
  const hn::Full128<float> d4;
  const hn::Full128<double> d2;
  const auto a = hn::LoadU(d4, rows[0] + k), b = hn::LoadU(d4, rows[1] + k);
  const auto c = hn::LoadU(d4, rows[2] + k), e = hn::LoadU(d4, rows[3] + k);
  // (a0 b0 a1 b1), (a2 b2 a3 b3) and the same of c, e; then their halves
  // paired: (a0 b0 c0 e0), (a1 b1 c1 e1), ...
  const auto ab_lo = hn::BitCast(d2, hn::InterleaveLower(d4, a, b));
  const auto ab_hi = hn::BitCast(d2, hn::InterleaveUpper(d4, a, b));
  const auto ce_lo = hn::BitCast(d2, hn::InterleaveLower(d4, c, e));
  const auto ce_hi = hn::BitCast(d2, hn::InterleaveUpper(d4, c, e));
  out[0] = hn::BitCast(d4, hn::InterleaveLower(d2, ab_lo, ce_lo));
  out[1] = hn::BitCast(d4, hn::InterleaveUpper(d2, ab_lo, ce_lo));
  out[2] = hn::BitCast(d4, hn::InterleaveLower(d2, ab_hi, ce_hi));
  out[3] = hn::BitCast(d4, hn::InterleaveUpper(d2, ab_hi, ce_hi));
}

// Eight floats (lo, then hi) widened to doubles and stored at p.
HWY_INLINE void store_widened(hn::Vec128<float> lo, hn::Vec128<float> hi, double* p) {
#if HWY_TARGET <= HWY_AVX3
  const hn::Full512<double> d;
  const hn::Full256<float> d8;
  hn::StoreU(hn::PromoteTo(d, hn::Combine(d8, hi, lo)), d, p);
#elif HWY_TARGET <= HWY_AVX2
  const hn::Full256<double> d;
  hn::StoreU(hn::PromoteTo(d, lo), d, p);
  hn::StoreU(hn::PromoteTo(d, hi), d, p + 4);
#else
  const hn::Full128<double> d;
  const hn::Full64<float> half;
  hn::StoreU(hn::PromoteTo(d, hn::LowerHalf(lo)), d, p);
  hn::StoreU(hn::PromoteTo(d, hn::UpperHalf(half, lo)), d, p + 2);
  hn::StoreU(hn::PromoteTo(d, hn::LowerHalf(hi)), d, p + 4);
  hn::StoreU(hn::PromoteTo(d, hn::UpperHalf(half, hi)), d, p + 6);
#endif
}
#endif

void GatherColumns(const float* values, std::size_t stride, const std::size_t* at, int M, int n,
                   double* to) {
  int i = 0;
#if HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
  // Eight voxels' four components at a time, turned in registers, so that
  // each column gets a whole cache line (the columns lie M doubles apart,
  // often a power of two: fewer, wider writes keep them from evicting one
  // another). The components past n are the padding; their columns are
  // not stored.
  const std::size_t m = static_cast<std::size_t>(M);
  for (; i + 8 <= M; i += 8) {
    const float* rows[8];
    for (int r = 0; r < 8; ++r) rows[r] = values + at[i + r] * stride;
    // The voxels two steps on, asked for early: they lie in far places.
    if (i + 24 <= M)
      for (int r = 16; r < 24; ++r) {
        const float* v = values + at[i + r] * stride;
        hwy::Prefetch(v);
        hwy::Prefetch(v + stride - 1);
      }
    double* column = to + i;
    for (int k = 0; k < n; k += 4, column += 4 * m) {
      hn::Vec128<float> lo[4], hi[4];
      turn4(rows, k, lo);
      turn4(rows + 4, k, hi);
      const int here = n - k < 4 ? n - k : 4;
      for (int j = 0; j < here; ++j) store_widened(lo[j], hi[j], column + j * m);
    }
  }
#endif
  for (; i < M; ++i) {
    const float* v = values + at[i] * stride;
    for (int k = 0; k < n; ++k) to[static_cast<std::size_t>(k) * M + i] = v[k];
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace zarvo::across
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo::across {

HWY_EXPORT(AddGroup);
HWY_EXPORT(GatherColumns);

void add_group(const GroupAddition& a) { HWY_DYNAMIC_DISPATCH(AddGroup)(a); }

void gather_columns(const float* values, std::size_t stride, const std::size_t* at, int M, int n,
                    double* to) {
  HWY_DYNAMIC_DISPATCH(GatherColumns)(values, stride, at, M, n, to);
}

}  // namespace zarvo::across
#endif
