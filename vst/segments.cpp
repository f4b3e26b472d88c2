// SIMD evaluation of interp1's formula (Highway, dispatched at run time).
// The four table entries of each query are gathered; subtraction, division,
// multiplication and addition round the same in every lane as in scalar
// code, and nothing is fused, so the results are the scalar loop's bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vst/segments.cpp"
#include "vst/segments.h"

#include <cmath>
#include <cstdint>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace zarvo::vst {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void EvaluateSegments(const double* HWY_RESTRICT x, const double* HWY_RESTRICT y,
                      const double* HWY_RESTRICT q, const int* HWY_RESTRICT segment,
                      double* HWY_RESTRICT out, int count) {
  const hn::ScalableTag<double> d;
  const hn::RebindToSigned<decltype(d)> di;  // 64-bit indices
  const hn::Rebind<std::int32_t, decltype(d)> d32;
  const int n = static_cast<int>(hn::Lanes(d));
  const auto one = hn::Set(di, 1);
  int i = 0;
  for (; i + n <= count; i += n) {
    const auto right = hn::PromoteTo(di, hn::LoadU(d32, segment + i));
    const auto left = hn::Sub(right, one);
    const auto x0 = hn::GatherIndex(d, x, left);
    const auto x1 = hn::GatherIndex(d, x, right);
    const auto y0 = hn::GatherIndex(d, y, left);
    const auto y1 = hn::GatherIndex(d, y, right);
    const auto v = hn::LoadU(d, q + i);
    const auto r = hn::Add(hn::Mul(hn::Div(hn::Sub(v, x0), hn::Sub(x1, x0)), hn::Sub(y1, y0)), y0);
    hn::StoreU(r, d, out + i);
  }
  for (; i < count; ++i) {
    const int j = segment[i];
    out[i] = ((q[i] - x[j - 1]) / (x[j] - x[j - 1])) * (y[j] - y[j - 1]) + y[j - 1];
  }
}

void FindSegments(const double* HWY_RESTRICT x, const KnotFinder& finder,
                  const double* HWY_RESTRICT q, int* HWY_RESTRICT segment, int count) {
  const int* HWY_RESTRICT start = finder.starts().data();
  const int buckets = static_cast<int>(finder.starts().size()), n = finder.knots();
  const double lo = finder.low(), hi = finder.high(), scale = finder.scale();
  const hn::ScalableTag<double> d;
  const hn::RebindToSigned<decltype(d)> di;
  const hn::Rebind<std::int32_t, decltype(d)> d32;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const auto vlo = hn::Set(d, lo), vhi = hn::Set(d, hi), vscale = hn::Set(d, scale);
  const auto zero = hn::Zero(d), last_bucket = hn::Set(d, buckets - 1.0);
  const auto one = hn::Set(di, 1), first = hn::Set(di, 1), past = hn::Set(di, n - 1);
  int i = 0;
  for (; i + lanes <= count; i += lanes) {
    const auto v = hn::LoadU(d, q + i);
    const auto inner = hn::And(hn::Gt(v, vlo), hn::Le(v, vhi));
    const auto ends = hn::IfThenElse(hn::RebindMask(di, hn::Gt(v, vhi)), past, first);
    if (hn::AllFalse(d, inner)) {  // every query past an end of the table
      hn::StoreU(hn::DemoteTo(d32, hn::ConvertTo(d, ends)), d32, segment + i);
      continue;
    }
    // The bucket, from a position that is finite and in range in every lane
    // (truncated, as the scalar cast: it is at least 0).
    const auto t = hn::Min(hn::IfThenElse(inner, hn::Mul(hn::Sub(v, vlo), vscale), zero),
                           last_bucket);
    const auto j0 = hn::PromoteTo(di, hn::GatherIndex(d32, start, hn::DemoteTo(d32, t)));
    // One step up where x[j0] < v; then x[j - 1] < v <= x[j] holds when the
    // one knot not yet compared agrees: x[j] after a step, x[j0 - 1] without.
    const auto up = hn::Lt(hn::GatherIndex(d, x, j0), v);
    const auto up_i = hn::RebindMask(di, up);
    auto j = hn::IfThenElse(up_i, hn::Add(j0, one), j0);
    const auto other = hn::GatherIndex(d, x, hn::IfThenElse(up_i, j, hn::Sub(j0, one)));
    const auto ok = hn::Or(hn::And(up, hn::Le(v, other)), hn::AndNot(up, hn::Lt(other, v)));
    if (!hn::AllTrue(d, hn::Or(ok, hn::Not(inner)))) {
      // A start more than one knot away: these queries one by one.
      for (int k = i; k < i + lanes; ++k)
        segment[k] = finder.find(x, q[k]);
      continue;
    }
    j = hn::IfThenElse(hn::RebindMask(di, inner), j, ends);
    hn::StoreU(hn::DemoteTo(d32, hn::ConvertTo(d, j)), d32, segment + i);
  }
  for (; i < count; ++i) segment[i] = finder.find(x, q[i]);
}

void InverseEnds(const double* HWY_RESTRICT in, int count, double first, double last,
                 double zero, double offset, double sigma, double* HWY_RESTRICT out) {
  const hn::ScalableTag<double> d;
  const int n = static_cast<int>(hn::Lanes(d));
  const auto lo = hn::Set(d, first), hi = hn::Set(d, last), z = hn::Set(d, zero);
  const auto off = hn::Set(d, offset), sg = hn::Set(d, sigma), half = hn::Set(d, 0.5);
  int i = 0;
  for (; i + n <= count; i += n) {
    const auto v = hn::LoadU(d, in + i);
    auto r = hn::LoadU(d, out + i);
    const auto above = hn::Gt(v, hi);
    if (!hn::AllFalse(d, above)) {  // the square root and division only where needed
      const auto w = hn::Sub(v, off);
      const auto ww = hn::Mul(w, w);
      r = hn::IfThenElse(above, hn::Div(hn::Mul(ww, sg), hn::Sqrt(hn::Add(half, ww))), r);
    }
    r = hn::IfThenElse(hn::Le(v, lo), z, r);
    hn::StoreU(r, d, out + i);
  }
  for (; i < count; ++i) {
    const double v = in[i];
    if (v <= first) {
      out[i] = zero;
    } else if (v > last) {
      const double w = v - offset;
      out[i] = (w * w) * sigma / std::sqrt(0.5 + w * w);
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace zarvo::vst
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo::vst {

HWY_EXPORT(EvaluateSegments);
HWY_EXPORT(InverseEnds);
HWY_EXPORT(FindSegments);

void find_segments(const double* x, const KnotFinder& finder, const double* q, int* segment,
                   int count) {
  HWY_DYNAMIC_DISPATCH(FindSegments)(x, finder, q, segment, count);
}

void inverse_ends(const double* in, int count, double first, double last, double zero,
                  double offset, double sigma, double* out) {
  HWY_DYNAMIC_DISPATCH(InverseEnds)(in, count, first, last, zero, offset, sigma, out);
}

void evaluate_segments(const double* x, const double* y, const double* q, const int* segment,
                       double* out, int count) {
  HWY_DYNAMIC_DISPATCH(EvaluateSegments)(x, y, q, segment, out, count);
}

}  // namespace zarvo::vst
#endif
