// Piecewise-linear interpolation with linear extrapolation on both sides.
#include <cmath>

#include "vst/segments.h"
#include "vst/vst.h"

namespace zarvo::vst {

namespace {

// The smallest j in 1 .. n-1 with v <= x[j], or n - 1 when there is none.
// A NaN query never compares greater and ends in interval 1.
int find_interval(const double* x, int n, double v) {
  int lo = 1;
  int hi = n - 1;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (v > x[mid]) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The same interval as find_interval, found in a few steps from a bucket of
// the inner knots' range, for tables whose inner knots x[1 .. n-2] never
// decrease. Then v > x[j] is false from some j on and that boundary is the
// interval whichever way it is found: the bucket gives a nearby start, and
// the start is moved down while x[j-1] >= v and up while x[j] < v.
class BucketFinder {
 public:
  // False when the table does not qualify (fewer than 4 knots, inner knots
  // out of order, not finite, or all equal); find_interval must then be used.
  bool build(const double* x, int n) {
    if (n < 4) return false;
    for (int j = 1; j + 1 < n - 1; ++j)
      if (!(x[j] <= x[j + 1])) return false;  // also false for a NaN
    lo_ = x[1];
    hi_ = x[n - 2];
    if (!(std::isfinite(lo_) && std::isfinite(hi_) && lo_ < hi_)) return false;
    scale_ = kBuckets / (hi_ - lo_);
    if (!std::isfinite(scale_)) return false;
    x_ = x;
    n_ = n;
    // start_[b]: the first inner knot at or above the bucket's lower edge,
    // but at least 2 (a query in a bucket lies above x[1]).
    int k = 1;
    for (int b = 0; b < kBuckets; ++b) {
      const double edge = lo_ + b / scale_;
      while (k < n - 2 && x[k] < edge) ++k;
      start_[b] = k < 2 ? 2 : k;
    }
    return true;
  }

  int find(double v) const {
    if (!(v > lo_)) return 1;  // also a NaN, as in find_interval
    if (v > hi_) return n_ - 1;
    const double t = (v - lo_) * scale_;  // at least 0; may overflow to inf
    const int b = t < kBuckets ? static_cast<int>(t) : kBuckets - 1;
    int j = start_[b];
    while (x_[j - 1] >= v) --j;  // stops at j = 2: x[1] < v
    while (x_[j] < v) ++j;       // stops at j = n - 2: x[n-2] >= v
    return j;
  }

 private:
  static constexpr int kBuckets = 512;
  const double* x_ = nullptr;
  int n_ = 0;
  double lo_ = 0, hi_ = 0, scale_ = 0;
  int start_[kBuckets];
};

double slope(const double* x, const double* y, int j) {
  return (y[j] - y[j - 1]) / (x[j] - x[j - 1]);
}

// Long query lists are walked interval by interval when they look ordered
// (the first and last three queries), or when their first three queries move
// by less than the first table step. Every comparison involving a NaN fails.
bool use_sequential_path(const double* x, int n, const double* q, int m) {
  if (m <= 6 || m <= n / 2) return false;
  if (q[m - 1] > q[0] && q[m - 2] >= q[1] && q[m - 3] >= q[2]) return true;
  const double h = x[1] - x[0];
  return h > q[1] - q[0] && h > q[0] - q[1] && h > q[2] - q[1] && h > q[1] - q[2];
}

}  // namespace

void interp1(const double* x, const double* y, int n, const double* q, double* out, int m) {
  if (m <= 0) return;

  if (!use_sequential_path(x, n, q, m)) {
    // Segments a block at a time (through buckets on long lists over
    // ordered tables: building them costs about as much as a hundred
    // searches), then the formula over the block in SIMD.
    BucketFinder buckets;
    const bool bucketed = m >= 128 && buckets.build(x, n);
    constexpr int block = 256;
    int segment[block];
    for (int start = 0; start < m; start += block) {
      const int count = m - start < block ? m - start : block;
      for (int i = 0; i < count; ++i)
        segment[i] = bucketed ? buckets.find(q[start + i]) : find_interval(x, n, q[start + i]);
      evaluate_segments(x, y, q + start, segment, out + start, count);
    }
    return;
  }

  int j = 1;
  double s = slope(x, y, 1);
  for (int i = 0; i < m; ++i) {
    const double v = q[i];
    if (j + 1 < n && x[j] < v && v <= x[j + 1]) {
      j = j + 1;
      s = slope(x, y, j);
    } else if (j >= 3 && v >= x[j - 2] && v < x[j - 1]) {
      j = j - 1;
      s = slope(x, y, j);
    } else if (!(x[j - 1] > v) && !(v > x[j])) {
      // Still in interval j (a NaN query stays here too).
    } else {
      j = find_interval(x, n, v);
      s = slope(x, y, j);
    }
    out[i] = (v - x[j - 1]) * s + y[j - 1];
  }
}

}  // namespace zarvo::vst
