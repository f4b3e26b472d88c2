// The SIMD elementwise loops give the scalar loops' bits on every
// instruction set compiled in that this CPU runs, for counts that leave
// vector tails, and for zeros, infinities, NaN and subnormal values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/zarvo.h"
#include "every_target.h"

namespace {

bool same_bits(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<double> awkward_values(std::mt19937& rng, int n) {
  const double specials[] = {0.0,
                             -0.0,
                             1e-310,
                             -3e-320,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::nan(""),
                             1e300};
  std::normal_distribution<double> normal(0.0, 5.0);
  std::vector<double> v(n);
  for (int i = 0; i < n; ++i) v[i] = rng() % 7 == 0 ? specials[rng() % 8] : normal(rng);
  return v;
}

TEST(CoreElementwise, SimdLoopsGiveTheScalarBits) {
  on_every_target([] {
    std::mt19937 rng(5);
    for (int n : {1, 3, 8, 17, 255, 1000}) {
      const std::vector<double> values = awkward_values(rng, n), pilot = awkward_values(rng, n);
      for (double threshold : {0.0, 2.5, 1e-310}) {
        std::vector<double> kept = values;
        zarvo::hard_threshold(kept.data(), n, threshold);
        for (int i = 0; i < n; ++i)
          ASSERT_TRUE(same_bits(kept[i], std::fabs(values[i]) > threshold ? values[i] : 0.0))
              << n << " " << i;
      }
      for (double variance : {25.0, 1e-30}) {
        std::vector<double> spectrum = values, factors(n);
        zarvo::wiener_factors(spectrum.data(), pilot.data(), n, variance, factors.data());
        for (int i = 0; i < n; ++i) {
          const double bb = pilot[i] * pilot[i];
          const double w = bb / (variance + bb);
          ASSERT_TRUE(same_bits(factors[i], w)) << n << " " << i;
          ASSERT_TRUE(same_bits(spectrum[i], values[i] * w)) << n << " " << i;
        }
      }
    }
  });
}

// Aggregation and gathering of cubes whose columns are not vectors long
// (sides 1 to 6): every voxel gets the scalar quotient and sum, and every
// voxel outside the cube is left alone.
TEST(CoreElementwise, CubeLoopsGiveTheScalarBits) {
  on_every_target([] {
    std::mt19937 rng(9);
    for (int nm1 = 1; nm1 <= 6; ++nm1) {
      const int nm3 = 1 + nm1 % 3, rows = nm1 + 3, columns = nm1 + 2;
      const std::ptrdiff_t plane = static_cast<std::ptrdiff_t>(rows) * columns;
      const std::vector<double> estimate = awkward_values(rng, nm1 * nm1 * nm3);
      const std::vector<double> volume = awkward_values(rng, static_cast<int>(plane) * nm3);
      for (double divisor : {3.0, 1e-300, -0.7}) {
        std::vector<double> num = volume, wts = volume;
        std::vector<double*> num_slices, wts_slices;
        for (int s = 0; s < nm3; ++s) {
          num_slices.push_back(num.data() + plane * s + 1);
          wts_slices.push_back(wts.data() + plane * s + 1);
        }
        zarvo::add_cube(estimate.data(), nm1, nm3, divisor, 0.25, num_slices.data(),
                        wts_slices.data(), rows);
        std::vector<double> want_num = volume, want_wts = volume;
        for (int s = 0; s < nm3; ++s)
          for (int l = 0; l < nm1; ++l)
            for (int m = 0; m < nm1; ++m) {
              const std::size_t v = plane * s + 1 + rows * l + m;
              want_num[v] += estimate[m + nm1 * (l + nm1 * s)] / divisor;
              want_wts[v] += 0.25;
            }
        for (std::size_t i = 0; i < volume.size(); ++i) {
          ASSERT_TRUE(same_bits(num[i], want_num[i])) << nm1 << " " << i;
          ASSERT_TRUE(same_bits(wts[i], want_wts[i])) << nm1 << " " << i;
        }
      }
      std::vector<double> cube(nm1 * nm1 * nm3, -1.0);
      zarvo::gather_cube(volume.data() + 1, nm1, nm3, rows, plane, cube.data());
      for (int s = 0; s < nm3; ++s)
        for (int l = 0; l < nm1; ++l)
          for (int m = 0; m < nm1; ++m)
            ASSERT_TRUE(
                same_bits(cube[m + nm1 * (l + nm1 * s)], volume[plane * s + 1 + rows * l + m]))
                << nm1 << " " << s << " " << l << " " << m;
    }
  });
}

}  // namespace
