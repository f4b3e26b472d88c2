// Median by bisection and the MAD-based noise level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/zarvo.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kMax = std::numeric_limits<double>::max();

double med(const std::vector<double>& v) {
  return zarvo::median(v.data(), static_cast<int>(v.size()));
}
double mad(const std::vector<double>& v) {
  std::vector<double> scratch(v.size());
  return zarvo::noise_std_estimation(v.data(), static_cast<int>(v.size()), scratch.data());
}
double kth(std::vector<double> v) {  // the (count + 1) / 2-th smallest, by sorting
  std::sort(v.begin(), v.end());
  return v[(v.size() + 1) / 2 - 1];
}

TEST(CoreNoise, MedianTakesTheLowerMiddle) {
  EXPECT_EQ(med({4.5}), 4.5);
  EXPECT_EQ(med({2, 1}), 1);
  EXPECT_EQ(med({4, 3, 2, 1}), 2);
  EXPECT_EQ(med({2, 1, 2, 2}), 2);
  const double up = std::nextafter(1.0, 2.0);
  EXPECT_EQ(med({up, 1.0, 1.0, up}), 1.0);
}

TEST(CoreNoise, MedianAndMadMatchSortingOnRandomData) {
  std::mt19937 rng(42);
  std::normal_distribution<double> normal(0.0, 3.0);
  std::uniform_real_distribution<double> exponent(-300.0, 300.0);
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<double> v(1 + rng() % 64);
    for (double& x : v) {
      switch (trial % 4) {
        case 0:
          x = rng() % 6;
          break;  // many ties
        case 1:
          x = normal(rng);
          break;
        case 2:
          x = (rng() % 2 ? 1 : -1) * std::pow(10.0, exponent(rng));
          break;  // wide spread
        default:
          x = std::nextafter(1.0, rng() % 2 ? 0.0 : 2.0);
          break;  // last bit
      }
    }
    const std::vector<double> before = v;
    const double m = kth(v);
    ASSERT_EQ(med(v), m) << "trial " << trial;
    std::vector<double> dev;
    for (double x : v) dev.push_back(std::fabs(x - m));
    ASSERT_EQ(mad(v), kth(dev) * zarvo::mad_scale) << "trial " << trial;
    ASSERT_EQ(v, before) << "input changed";
  }
}

TEST(CoreNoise, MedianWithNotANumberAndInfinities) {
  EXPECT_TRUE(std::isnan(med({kNaN, 1, 2})));
  EXPECT_EQ(med({1, kNaN, 3}), 2);  // NaN counts as equal to the midpoint
  EXPECT_TRUE(std::isnan(med({-kInf, 1, kInf})));
  EXPECT_EQ(med({-kInf, 1, 2}), 1);
  EXPECT_EQ(med({kInf, 1e308, 1.7e308}), 1.7e308);
}

TEST(CoreNoise, MedianEndsWhenTheRangeSumOverflows) {
  EXPECT_EQ(med({1.7e308, 1.6e308}), 1.6e308);
  EXPECT_EQ(med({-1.7e308, -1.6e308}), -1.7e308);
  EXPECT_EQ(med({1e308, 1e308, -1e308}), 1e308);
  EXPECT_EQ(med({kMax, std::nextafter(kMax, 0.0)}), std::nextafter(kMax, 0.0));
  EXPECT_EQ(med({1.2e308, 1.3e308, 1.4e308, 1.5e308, 1.6e308}), 1.4e308);
  // Where the sum is finite the midpoint stays (lo + hi) * 0.5: halving first
  // would round 0 + 1 subnormal units to 1 instead of 1.5 to 2.
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(med({tiny, kNaN, 2 * tiny}), 2 * tiny);
}

TEST(CoreNoise, MadScaleAndDeviationsFromTheMedian) {
  EXPECT_EQ(mad({1, 2, 3, 4, 100}), 1.4826022386550903);
  EXPECT_EQ(zarvo::mad_scale, 12436969.0 / 8388608.0);
  EXPECT_EQ(mad({5.25}), 0.0);
  EXPECT_EQ(mad({0, 0, 0, 10}), 0.0);
  EXPECT_EQ(mad({-10, -11, -13}), zarvo::mad_scale);
}

}  // namespace
