// A synthetic T1-weighted head for the demo and the tests: scalp, skull,
// cerebrospinal fluid, a folded cortex over white matter, ventricles and deep
// grey nuclei, with partial-volume edges, a smooth bias field and a faint
// tissue texture. Intensities are in arbitrary scanner-like units (white
// matter about 1000).
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "zarvo/pipeline.h"

namespace zarvo::cli {

// A volume of the demo: column-major doubles, rows fastest.
struct Volume {
  int rows = 0, cols = 0, slices = 1;
  std::vector<double> data;
  std::size_t voxels() const { return static_cast<std::size_t>(rows) * cols * slices; }
  Shape shape() const {
    Shape s;
    s.ndims = slices > 1 ? 3 : 2;
    s.rows = rows;
    s.cols = cols;
    s.slices = slices;
    return s;
  }
};

Volume brain_phantom(int rows, int cols, int slices);

// Reproducible normal deviates (Box-Muller on a 64-bit Mersenne twister,
// the same sequence on every platform).
class Normal {
 public:
  explicit Normal(std::uint64_t seed);
  double operator()();

 private:
  std::mt19937_64 engine_;  // its output sequence is fixed by the standard
  double spare_ = 0;
  bool has_spare_ = false;
};

// Gaussian noise of standard deviation sigma added to every voxel.
Volume add_gaussian_noise(const Volume& clean, double sigma, std::uint64_t seed);
// Magnitude of the signal plus complex Gaussian noise (sigma per channel).
Volume add_rician_noise(const Volume& clean, double sigma, std::uint64_t seed);

// Peak signal-to-noise ratio in dB over the voxels where mask is non-zero
// (all voxels when mask is empty), peak = the largest value of `reference`.
double psnr(const std::vector<double>& reference, const std::vector<double>& test,
            const std::vector<std::uint8_t>& mask = {});

}  // namespace zarvo::cli
