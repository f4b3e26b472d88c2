#include "noise_level.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace zarvo::cli {

double median(std::vector<double>& v) {
  if (v.empty()) return 0.0;
  const std::size_t n = v.size(), mid = n / 2;
  std::nth_element(v.begin(), v.begin() + mid, v.end());
  const double upper = v[mid];
  if (n % 2) return upper;
  const double lower = *std::max_element(v.begin(), v.begin() + mid);
  return (lower + upper) / 2.0;
}

double estimate_noise_level(const double* x, int rows, int cols, int slices, Noise noise) {
  const double mad_scale = 0.6744897501960817;
  if (rows < 2 || cols < 2) return 0.0;
  const std::size_t R = rows, RC = static_cast<std::size_t>(rows) * cols;
  const bool volumetric = slices >= 2;
  const int zsteps = volumetric ? slices / 2 : slices;
  std::vector<double> detail, mean;
  const std::size_t blocks = static_cast<std::size_t>(rows / 2) * (cols / 2) * zsteps;
  detail.reserve(blocks);
  mean.reserve(blocks);
  for (int zb = 0; zb < zsteps; ++zb)
    for (int c = 0; c + 1 < cols; c += 2)
      for (int r = 0; r + 1 < rows; r += 2) {
        if (volumetric) {
          const double* p = x + r + R * c + RC * (2 * static_cast<std::size_t>(zb));
          const double a000 = p[0], a100 = p[1], a010 = p[R], a110 = p[R + 1];
          const double a001 = p[RC], a101 = p[RC + 1], a011 = p[RC + R], a111 = p[RC + R + 1];
          detail.push_back(
              (a000 - a100 - a010 + a110 - a001 + a101 + a011 - a111) / std::sqrt(8.0));
          mean.push_back((a000 + a100 + a010 + a110 + a001 + a101 + a011 + a111) / 8.0);
        } else {
          const double* p = x + r + R * c + RC * static_cast<std::size_t>(zb);
          const double a00 = p[0], a10 = p[1], a01 = p[R], a11 = p[R + 1];
          detail.push_back((a00 - a10 - a01 + a11) / 2.0);
          mean.push_back((a00 + a10 + a01 + a11) / 4.0);
        }
      }
  std::vector<double> magnitude(detail.size());
  for (std::size_t i = 0; i < detail.size(); ++i) magnitude[i] = std::fabs(detail[i]);
  const double first = median(magnitude) / mad_scale;
  if (noise != Noise::rician) return first;

  std::vector<double> bright;
  for (std::size_t i = 0; i < detail.size(); ++i)
    if (mean[i] > 3.0 * first) bright.push_back(std::fabs(detail[i]));
  if (bright.size() < 1000) return first;
  return median(bright) / mad_scale;
}

}  // namespace zarvo::cli
