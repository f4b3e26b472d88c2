// Thresholding and Wiener shrinkage rules of the stages.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "stages/shrinkage.h"

using zarvo::stages::threshold_spectrum;
using zarvo::stages::wiener_shrink;

TEST(Thresholding, HardKeepsOnlyCoefficientsStrictlyAboveThreshold) {
  std::vector<double> c = {5.0, 2.0, -2.0, 2.0000001, -3.0, 0.0, 1.0};
  const double W = threshold_spectrum(c.data(), int(c.size()), 2.0, 1.0, false, 4.0);
  EXPECT_EQ(c, (std::vector<double>{5.0, 0.0, 0.0, 2.0000001, -3.0, 0.0, 0.0}));
  EXPECT_EQ(W, 6.0) << "with alpha 1 every coefficient but the DC adds 1";
}

TEST(Thresholding, SoftShrinksTowardZeroAndKeepsZeros) {
  std::vector<double> c = {-1.0, 3.5, -3.5, 2.0, 0.0, -0.0};
  const double W = threshold_spectrum(c.data(), int(c.size()), 2.0, 1.0, true, 1.0);
  EXPECT_EQ(c, (std::vector<double>{-1.0, 1.5, -1.5, 0.0, 0.0, 0.0}));
  EXPECT_EQ(W, 5.0);
  // A negative threshold keeps every coefficient but an exact zero stays 0.
  std::vector<double> z = {1.0, 0.0, 1.0};
  threshold_spectrum(z.data(), 3, -0.5, 1.0, true, 1.0);
  EXPECT_EQ(z, (std::vector<double>{1.0, 0.0, 1.5}));
}

TEST(Thresholding, AlphaRootingSharpensAgainstTheDcAndWeighsEachTerm) {
  const double dc = -4.0, alpha = 2.0, thr = 1.0, scale = 0.25;
  std::vector<double> c = {dc, 2.0, -9.0, 0.5};
  const double W = threshold_spectrum(c.data(), 4, thr, alpha, false, scale);
  auto root = [&](double y) {
    return (y > 0 ? 1.0 : -1.0) * std::fabs(dc) * std::pow(std::fabs(y / dc), 1.0 / alpha);
  };
  auto term = [&](double a) {
    return scale *
           ((1.0 - 1.0 / alpha) * std::pow(std::fabs(dc), -2.0 / alpha) * std::pow(a, 2.0 / alpha) +
            (1.0 / (alpha * alpha)) * std::pow(std::fabs(dc), 2.0 - 2.0 / alpha) *
                std::pow(a, 2.0 / alpha - 2.0));
  };
  EXPECT_EQ(c[0], dc) << "the DC keeps its value";
  EXPECT_EQ(c[1], root(2.0));
  EXPECT_EQ(c[2], root(-9.0));
  EXPECT_EQ(c[3], 0.0);
  double expected = 0;
  expected += term(std::fabs(root(2.0)));
  expected += term(std::fabs(root(-9.0)));
  expected += 1;  // the removed coefficient
  expected += term(thr);
  EXPECT_EQ(W, expected);
}

TEST(Thresholding, ZeroDcOrSingleCoefficientRules) {
  std::vector<double> c = {0.0, 3.0, 0.1};
  EXPECT_EQ(threshold_spectrum(c.data(), 3, 1.0, 2.0, false, 1.0), 2.0) << "no rooting at DC 0";
  EXPECT_EQ(c[1], 3.0);
  double one = 7.0;
  EXPECT_EQ(threshold_spectrum(&one, 1, 1.0, 1.0, 1, 1.0), 1.0);
  EXPECT_EQ(one, 7.0);
  double zero_dc = 0.0;
  EXPECT_EQ(threshold_spectrum(&zero_dc, 1, 1.0, 2.0, 1, 1.0), 1.0) << "0 becomes 1";
  double dc = 4.0;
  const double W = threshold_spectrum(&dc, 1, 1.0, 2.0, 1, 1.0);
  EXPECT_EQ(W, 0.5 * std::pow(4.0, -1.0) * 1.0 + 0.25 * std::pow(4.0, 1.0) * 1.0);
}

TEST(Wiener, FactorsFromThePilotAndTheirSquaredSum) {
  const double sigma = 0.5;
  std::vector<double> pilot = {100.0, 0.5, -0.5, 0.0, 1e6};
  std::vector<double> c = {3.0, 2.0, 2.0, 2.0, 2.0};
  const double S = wiener_shrink(c.data(), pilot.data(), 5, sigma * sigma);
  EXPECT_EQ(c[0], 3.0) << "the DC is never shrunk";
  EXPECT_EQ(c[1], 1.0);
  EXPECT_EQ(c[2], 1.0);
  EXPECT_EQ(c[3], 0.0);
  EXPECT_NEAR(c[4], 2.0, 1e-12);
  const double w4 = 1e12 / (0.25 + 1e12);
  EXPECT_EQ(S, 0.25 + 0.25 + 0.0 + w4 * w4);
}
