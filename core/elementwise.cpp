// Elementwise loops of the stages, in SIMD (Highway, dispatched at run time).
// Every lane makes the scalar operations in the scalar order, and IEEE
// division and multiplication round the same in every lane, so the results
// are the scalar loops' bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/elementwise.cpp"
#include "core/zarvo.h"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace zarvo {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void DivideBy(const double* HWY_RESTRICT values, int count, double divisor,
              double* HWY_RESTRICT out) {
  const hn::ScalableTag<double> d;
  const int n = static_cast<int>(hn::Lanes(d));
  const auto v = hn::Set(d, divisor);
  int i = 0;
  for (; i + n <= count; i += n) hn::StoreU(hn::Div(hn::LoadU(d, values + i), v), d, out + i);
  for (; i < count; ++i) out[i] = values[i] / divisor;
}

void WienerFactors(double* HWY_RESTRICT spectrum, const double* HWY_RESTRICT pilot, int count,
                   double noise_variance, double* HWY_RESTRICT factors) {
  const hn::ScalableTag<double> d;
  const int n = static_cast<int>(hn::Lanes(d));
  const auto nv = hn::Set(d, noise_variance);
  int i = 0;
  for (; i + n <= count; i += n) {
    const auto b = hn::LoadU(d, pilot + i);
    const auto bb = hn::Mul(b, b);
    const auto w = hn::Div(bb, hn::Add(nv, bb));
    hn::StoreU(w, d, factors + i);
    hn::StoreU(hn::Mul(hn::LoadU(d, spectrum + i), w), d, spectrum + i);
  }
  for (; i < count; ++i) {
    const double bb = pilot[i] * pilot[i];
    factors[i] = bb / (noise_variance + bb);
    spectrum[i] *= factors[i];
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace zarvo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo {

HWY_EXPORT(DivideBy);
HWY_EXPORT(WienerFactors);

void divide_by(const double* values, int count, double divisor, double* out) {
  HWY_DYNAMIC_DISPATCH(DivideBy)(values, count, divisor, out);
}

void wiener_factors(double* spectrum, const double* pilot, int count, double noise_variance,
                    double* factors) {
  HWY_DYNAMIC_DISPATCH(WienerFactors)(spectrum, pilot, count, noise_variance, factors);
}

}  // namespace zarvo
#endif
