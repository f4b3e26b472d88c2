// The benchmark volume: a head-like phantom of the size of a 1 mm brain
// volume (181 x 217 x 181), with skin, grey and white matter, folded cortex
// and ventricles, made noisy with Gaussian or Rician noise. Deterministic, so
// the denoiser and the peers time the very same voxels.
#pragma once

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

namespace zarvo::bench {

struct Shape {
  int rows = 181, cols = 217, slices = 181;
  std::size_t voxels() const { return static_cast<std::size_t>(rows) * cols * slices; }
};

// Noise-free intensities (0 background, up to 100 in white matter),
// column-major with rows fastest.
inline std::vector<double> clean_phantom(const Shape& s) {
  std::vector<double> v(s.voxels(), 0.0);
  const double cr = 0.5 * (s.rows - 1), cc = 0.5 * (s.cols - 1), cs = 0.5 * (s.slices - 1);
  for (int k = 0; k < s.slices; ++k)
    for (int j = 0; j < s.cols; ++j)
      for (int i = 0; i < s.rows; ++i) {
        const double x = (i - cr) / (0.44 * s.rows), y = (j - cc) / (0.44 * s.cols),
                     z = (k - cs) / (0.44 * s.slices);
        const double r = std::sqrt(x * x + y * y + z * z);
        double value = 0.0;
        if (r < 1.0) value = 35.0;  // skin and skull
        if (r < 0.9) value = 20.0;  // cerebrospinal fluid
        // Folded cortex: a wavy grey-matter band around the white matter.
        const double fold = 0.04 * std::sin(9 * std::atan2(y, x)) * std::cos(7 * z);
        if (r < 0.86 + fold) value = 60.0 + 5.0 * std::sin(0.3 * i) * std::sin(0.2 * j);
        if (r < 0.72 + fold) value = 100.0 - 10.0 * z * z;
        const double vx = x / 0.12, vy = (std::abs(y) - 0.15) / 0.08, vz = z / 0.3;
        if (vx * vx + vy * vy + vz * vz < 1.0) value = 20.0;  // ventricles
        v[i + static_cast<std::size_t>(s.rows) * (j + static_cast<std::size_t>(s.cols) * k)] =
            value;
      }
  return v;
}

// Adds Gaussian noise of level sigma, or (rician) returns the magnitude of
// the signal with noise of level sigma in both channels.
inline std::vector<double> noisy_phantom(const Shape& s, double sigma, bool rician,
                                         unsigned seed = 1) {
  std::vector<double> v = clean_phantom(s);
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> n(0.0, sigma);
  for (double& x : v) {
    if (rician) {
      const double re = x + n(gen), im = n(gen);
      x = std::sqrt(re * re + im * im);
    } else {
      x += n(gen);
    }
  }
  return v;
}

}  // namespace zarvo::bench
