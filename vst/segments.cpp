// SIMD evaluation of interp1's formula (Highway, dispatched at run time).
// The four table entries of each query are gathered; subtraction, division,
// multiplication and addition round the same in every lane as in scalar
// code, and nothing is fused, so the results are the scalar loop's bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vst/segments.cpp"
#include "vst/segments.h"

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

}  // namespace HWY_NAMESPACE
}  // namespace zarvo::vst
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo::vst {

HWY_EXPORT(EvaluateSegments);

void evaluate_segments(const double* x, const double* y, const double* q, const int* segment,
                       double* out, int count) {
  HWY_DYNAMIC_DISPATCH(EvaluateSegments)(x, y, q, segment, out, count);
}

}  // namespace zarvo::vst
#endif
