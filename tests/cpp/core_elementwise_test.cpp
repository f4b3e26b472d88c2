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
#include "hwy/targets.h"

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
  for (std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    hwy::SupportedTargets();
    SCOPED_TRACE(hwy::TargetName(target));
    std::mt19937 rng(5);
    for (int n : {1, 3, 8, 17, 255, 1000}) {
      const std::vector<double> values = awkward_values(rng, n), pilot = awkward_values(rng, n);
      for (double divisor : {3.0, 1e-300, -0.7}) {
        std::vector<double> out(n);
        zarvo::divide_by(values.data(), n, divisor, out.data());
        for (int i = 0; i < n; ++i)
          ASSERT_TRUE(same_bits(out[i], values[i] / divisor)) << n << " " << i;
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
  }
  hwy::SetSupportedTargetsForTest(0);
  hwy::SupportedTargets();
}

}  // namespace
