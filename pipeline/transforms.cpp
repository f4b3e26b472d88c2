// The transform matrices: term by term, so that every front end passes the
// same bits.
#include <cmath>

#include "zarvo/pipeline.h"

namespace zarvo {

std::vector<double> dct_matrix(int n) {
  if (n < 1) throw Error("transform order must be at least 1");
  std::vector<double> t(static_cast<std::size_t>(n) * n);
  const double pi = 3.14159265358979323846;
  const double scale = std::sqrt(2.0 / n);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < n; ++k) {
      double v = scale * std::cos(pi * (2.0 * i + 1.0) * k / (2.0 * n));
      if (k == 0) v = v / std::sqrt(2.0);
      t[k + static_cast<std::size_t>(n) * i] = v;
    }
  return t;
}

std::vector<double> haar_matrix(int n) {
  if (n < 1 || (n & (n - 1)) != 0) throw Error("Haar order must be a power of two");
  std::vector<double> h{1.0};
  const double root2 = std::sqrt(2.0);
  for (int m = 1; m < n; m *= 2) {
    const int r = 2 * m;
    std::vector<double> next(static_cast<std::size_t>(r) * r, 0.0);
    for (int i = 0; i < m; ++i) {
      for (int j = 0; j < m; ++j) {  // top half: each entry of H_m twice
        const double v = h[i + static_cast<std::size_t>(m) * j] / root2;
        next[i + static_cast<std::size_t>(r) * (2 * j)] = v;
        next[i + static_cast<std::size_t>(r) * (2 * j + 1)] = v;
      }
      next[(m + i) + static_cast<std::size_t>(r) * (2 * i)] = 1.0 / root2;
      next[(m + i) + static_cast<std::size_t>(r) * (2 * i + 1)] = -1.0 / root2;
    }
    h.swap(next);
  }
  return h;
}

}  // namespace zarvo
