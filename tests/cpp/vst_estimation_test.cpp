// Rician noise level from the median and the scaled MAD of the samples.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/zarvo.h"
#include "vst/vst.h"

namespace {

namespace vst = zarvo::vst;

const double ratio_first = 1.9130606187813037;
const double ratio_last = 15.050177674466308;

double estimate(const std::vector<double>& samples) {
  double out[2] = {-1, -1};
  std::vector<double> scratch(samples.size(), -1.0);
  vst::estimate_rician_parameters(samples.data(), static_cast<int>(samples.size()), out,
                                  scratch.data());
  EXPECT_EQ(out[1], -1) << "only out[0] is written";
  return out[0];
}

// Samples {m - 1, m, m + 1}: median m, robust deviation s = mad_scale, so
// the ratio is m / mad_scale.
std::vector<double> with_median(double m) {
  std::vector<double> samples = {m - 1, m, m + 1};
  EXPECT_EQ(zarvo::median(samples.data(), 3), m);
  double scratch[3];
  EXPECT_EQ(zarvo::noise_std_estimation(samples.data(), 3, scratch), zarvo::mad_scale);
  return samples;
}

double second_moment_sigma(double m, double theta) {
  const double s = zarvo::mad_scale;
  return std::sqrt((m * m + s * s) / (theta * theta + 2));
}

TEST(VstEstimation, NoSpreadGivesZero) {
  EXPECT_EQ(estimate({4, 4, 4, 4}), 0);
  EXPECT_EQ(estimate({3}), 0);
  EXPECT_EQ(estimate({0, 0, 0}), 0);      // r = 0 / 0
  EXPECT_EQ(estimate({5, 5, 5, 9}), 0);   // r = 5 / 0
  EXPECT_EQ(estimate({0, 0, 0, 10}), 0);  // MAD 0 despite the outlier
}

TEST(VstEstimation, InsideTheTable) {
  // r = mean_std_ratio[100] gives theta = snr_grid[100].
  const double m = vst::mean_std_ratio[100] * zarvo::mad_scale;
  ASSERT_EQ(m / zarvo::mad_scale, vst::mean_std_ratio[100]);
  const double sigma = estimate(with_median(m));
  EXPECT_DOUBLE_EQ(sigma, second_moment_sigma(m, vst::snr_grid[100]));
  const double r = vst::mean_std_ratio[100], theta = 6.024096385542168;
  EXPECT_NEAR(sigma / zarvo::mad_scale, std::sqrt((r * r + 1) / (theta * theta + 2)), 1e-12);
  EXPECT_NEAR(sigma / zarvo::mad_scale, 1.0072, 1e-4);

  // The last table entry is still interpolated (theta = 15).
  const double m_end = ratio_last * zarvo::mad_scale;
  ASSERT_EQ(m_end / zarvo::mad_scale, ratio_last);
  EXPECT_DOUBLE_EQ(estimate(with_median(m_end)), second_moment_sigma(m_end, 15));
}

TEST(VstEstimation, AboveTheTable) {
  // r = 100: theta = r - 0.75 / r = 99.9925, sigma / s = 1.000025.
  const double m = 100 * zarvo::mad_scale;
  const double r = m / zarvo::mad_scale;
  const double sigma = estimate(with_median(m));
  EXPECT_DOUBLE_EQ(sigma, second_moment_sigma(m, r - 0.75 / r));
  EXPECT_NEAR(sigma / zarvo::mad_scale, std::sqrt(10001 / (99.9925 * 99.9925 + 2)), 1e-9);

  // Just above the last entry the continuation takes over (theta 15.0003).
  double m_up = ratio_last * zarvo::mad_scale;
  while (!(m_up / zarvo::mad_scale > ratio_last)) m_up = std::nextafter(m_up, 100.0);
  const double r_up = m_up / zarvo::mad_scale;
  const double up = estimate(with_median(m_up));
  EXPECT_DOUBLE_EQ(up, second_moment_sigma(m_up, r_up - 0.75 / r_up));
  EXPECT_LT(up, second_moment_sigma(m_up, 15) * (1 - 1e-5));
}

TEST(VstEstimation, BelowTheTableIsPureNoise) {
  // theta = 0: sigma = sqrt((m^2 + s^2) / 2), also for a negative median and
  // at the first table entry itself.
  const double s = zarvo::mad_scale;
  EXPECT_DOUBLE_EQ(estimate({1, 2, 3}), std::sqrt((4 + s * s) / 2));
  EXPECT_DOUBLE_EQ(estimate({-3, -2, -1}), std::sqrt((4 + s * s) / 2));
  const double m = ratio_first * s;
  ASSERT_EQ(m / s, ratio_first);
  EXPECT_DOUBLE_EQ(estimate(with_median(m)), second_moment_sigma(m, 0));
  // Pure Rician noise has a ratio near 1.77, where extrapolating the first
  // segment would give a large negative theta.
  for (double r : {1.77, 1.9, 1.913}) {
    const double m_below = r * s;
    EXPECT_DOUBLE_EQ(estimate(with_median(m_below)), second_moment_sigma(m_below, 0)) << r;
  }
}

TEST(VstEstimation, RecoversTheNoiseOfRicianSamples) {
  std::mt19937_64 gen(2024);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (double theta : {3.0, 10.0, 40.0}) {
    const double sigma = 2.5;
    std::vector<double> samples;
    for (int i = 0; i < 20001; ++i) {
      samples.push_back(std::hypot(sigma * theta + sigma * normal(gen), sigma * normal(gen)));
    }
    EXPECT_NEAR(estimate(samples), sigma, 0.04 * sigma) << theta;
    // The samples are only read.
    const std::vector<double> before = samples;
    estimate(samples);
    EXPECT_EQ(samples, before);
  }
}

}  // namespace
