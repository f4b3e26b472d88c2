// Elementwise loops of the stages, in SIMD (Highway, dispatched at run time).
// Every lane makes the scalar operations in the scalar order, and IEEE
// division and multiplication round the same in every lane, so the results
// are the scalar loops' bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/elementwise.cpp"
#include <cmath>
#include <cstddef>

#include "core/zarvo.h"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace zarvo {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

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

void HardThreshold(double* HWY_RESTRICT values, int count, double threshold) {
  const hn::ScalableTag<double> d;
  const int n = static_cast<int>(hn::Lanes(d));
  const auto t = hn::Set(d, threshold);
  int i = 0;
  for (; i + n <= count; i += n) {
    const auto v = hn::LoadU(d, values + i);
    hn::StoreU(hn::IfThenElseZero(hn::Gt(hn::Abs(v), t), v), d, values + i);
  }
  for (; i < count; ++i) values[i] = std::fabs(values[i]) > threshold ? values[i] : 0.0;
}

// Adds a cube's estimates over `divisor` into the numerator and `weight`
// into the weights, a column of nm1 voxels at a time.
void AddCube(const double* HWY_RESTRICT values, int nm1, int nm3, double divisor, double weight,
             double* const* numerator, double* const* weights, std::ptrdiff_t column_stride) {
  const hn::CappedTag<double, 4> d;
  const int n = static_cast<int>(hn::Lanes(d));
  const auto dv = hn::Set(d, divisor);
  const auto wv = hn::Set(d, weight);
  for (int s = 0; s < nm3; ++s) {
    for (int l = 0; l < nm1; ++l) {
      double* HWY_RESTRICT num = numerator[s] + column_stride * l;
      double* HWY_RESTRICT wts = weights[s] + column_stride * l;
      const double* HWY_RESTRICT e = values + nm1 * (l + nm1 * s);
      int m = 0;
      for (; m + n <= nm1; m += n) {
        hn::StoreU(hn::Add(hn::LoadU(d, num + m), hn::Div(hn::LoadU(d, e + m), dv)), d, num + m);
        hn::StoreU(hn::Add(hn::LoadU(d, wts + m), wv), d, wts + m);
      }
      for (; m < nm1; ++m) {
        num[m] += e[m] / divisor;
        wts[m] += weight;
      }
    }
  }
}

void GatherCube(const double* HWY_RESTRICT first, int nm1, int nm3, std::ptrdiff_t column_stride,
                std::ptrdiff_t slice_stride, double* HWY_RESTRICT out) {
  const hn::CappedTag<double, 4> d;
  const int n = static_cast<int>(hn::Lanes(d));
  // A column of one vector (the usual cube side) without an inner loop: the
  // compiler turns a copy loop into a call of memcpy, which costs more than
  // the copy of a few doubles.
  if (nm1 == n) {
    for (int s = 0; s < nm3; ++s)
      for (int l = 0; l < nm1; ++l, out += nm1)
        hn::StoreU(hn::LoadU(d, first + slice_stride * s + column_stride * l), d, out);
    return;
  }
  for (int s = 0; s < nm3; ++s) {
    for (int l = 0; l < nm1; ++l, out += nm1) {
      const double* HWY_RESTRICT column = first + slice_stride * s + column_stride * l;
      int m = 0;
      for (; m + n <= nm1; m += n) hn::StoreU(hn::LoadU(d, column + m), d, out + m);
      for (; m < nm1; ++m) out[m] = column[m];
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace zarvo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo {

HWY_EXPORT(WienerFactors);
HWY_EXPORT(HardThreshold);
HWY_EXPORT(AddCube);
HWY_EXPORT(GatherCube);

void gather_cube(const double* first, int nm1, int nm3, std::ptrdiff_t column_stride,
                 std::ptrdiff_t slice_stride, double* out) {
  HWY_DYNAMIC_DISPATCH(GatherCube)(first, nm1, nm3, column_stride, slice_stride, out);
}

void hard_threshold(double* values, int count, double threshold) {
  HWY_DYNAMIC_DISPATCH(HardThreshold)(values, count, threshold);
}

void add_cube(const double* values, int nm1, int nm3, double divisor, double weight,
              double* const* numerator, double* const* weights, std::ptrdiff_t column_stride) {
  HWY_DYNAMIC_DISPATCH(AddCube)
  (values, nm1, nm3, divisor, weight, numerator, weights, column_stride);
}

void wiener_factors(double* spectrum, const double* pilot, int count, double noise_variance,
                    double* factors) {
  HWY_DYNAMIC_DISPATCH(WienerFactors)(spectrum, pilot, count, noise_variance, factors);
}

}  // namespace zarvo
#endif
