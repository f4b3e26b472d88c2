// Piecewise-linear interpolation with linear extrapolation on both sides.
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
    for (int i = 0; i < m; ++i) {
      const double v = q[i];
      const int j = find_interval(x, n, v);
      out[i] = ((v - x[j - 1]) / (x[j] - x[j - 1])) * (y[j] - y[j - 1]) + y[j - 1];
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
