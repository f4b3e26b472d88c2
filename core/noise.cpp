// Robust location and spread: median by bisection and the MAD noise level.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/zarvo.h"

namespace zarvo {

namespace {

// Midpoint of the bisection interval. lo + hi can overflow for two finite
// values near the top of the range; halving first keeps the midpoint finite
// and inside [lo, hi] there. Everywhere else the plain sum is used, so the
// result does not change where the sum is finite.
inline double midpoint(double lo, double hi) {
  const double sum = lo + hi;
  if (!std::isfinite(sum) && std::isfinite(lo) && std::isfinite(hi)) return lo * 0.5 + hi * 0.5;
  return sum * 0.5;
}

}  // namespace

double median(const double* values, int count) {
  // Value range; an unordered element (NaN) never replaces lo or hi.
  double lo = values[0];
  double hi = values[0];
  for (int i = 1; i < count; ++i) {
    const double v = values[i];
    if (v > hi) hi = v;
    if (v < lo) lo = v;
  }

  const int k = (count + 1) / 2;
  for (;;) {
    const double mid = midpoint(lo, hi);
    int below = 0;
    int above = 0;
    int equal = 0;
    double below_max = lo;
    double above_min = hi;
    for (int i = 0; i < count; ++i) {
      const double v = values[i];
      if (mid > v) {
        below += 1;
        if (v > below_max) below_max = v;
      } else if (v > mid) {
        above += 1;
        if (v < above_min) above_min = v;
      } else {
        equal += 1;  // equal to mid, or unordered
      }
    }

    if (below <= k && above <= k) {
      if (below >= k) return below_max;
      if (below + equal >= k) return mid;
      return above_min;
    }

    // The k-th value lies on the heavier side; drop the other side.
    if (above < below) {
      hi = below_max;
    } else {
      lo = above_min;
    }
  }
}

double noise_std_estimation(const double* values, int count, double* deviations) {
  const double m = median(values, count);
  for (int i = 0; i < count; ++i) deviations[i] = absolute_value(values[i] - m);
  const double mad = median(deviations, count);
  return mad * mad_scale;
}

}  // namespace zarvo
