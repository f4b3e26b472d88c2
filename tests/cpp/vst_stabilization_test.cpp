// Forward and inverse stabilisation: table part, closed forms beyond the
// table ends in their exact evaluation order, sigma scaling, long lists.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "every_target.h"
#include "vst/vst.h"

namespace {

namespace vst = zarvo::vst;

const double inf = std::numeric_limits<double>::infinity();
const double z_end = 22.0333443375355;
const double f_end = 22.705242679602563;
const double e_first = 1.5367449014573138;
const double e_last = 15.701256816041392;

std::vector<double> forward(const std::vector<double>& in, double sigma) {
  std::vector<double> out(in.size());
  vst::forward_stabilization(in.data(), static_cast<int>(in.size()), sigma, out.data());
  return out;
}

std::vector<double> inverse(const std::vector<double>& in, double sigma) {
  std::vector<double> out(in.size());
  vst::inverse_stabilization(in.data(), static_cast<int>(in.size()), sigma, out.data());
  return out;
}

// The closed forms, term by term in their evaluation order. sigma = 1.1 is a
// noise level at which folding sigma out of them changes the rounding.
double forward_tail(double z, double sigma) {
  const double a = sigma * z_end;
  return std::sqrt(z * z / (sigma * sigma) - 0.5) - std::sqrt(a * a / (sigma * sigma) - 0.5) +
         f_end;
}

double inverse_tail(double v, double sigma) {
  const double k = std::sqrt((sigma * sigma) * 485.4682626964077 / (sigma * sigma) - 0.5);
  const double w = v - (f_end - k);
  return (w * w) * sigma / std::sqrt(0.5 + w * w);
}

TEST(VstForward, UnitNoise) {
  const std::vector<double> in = {0, std::sqrt(2.0), z_end, 30, 100, -0.001};
  const std::vector<double> out = forward(in, 1);
  EXPECT_EQ(out[0], 0);
  EXPECT_DOUBLE_EQ(out[1], 1.636555082685599);
  EXPECT_DOUBLE_EQ(out[2], f_end);  // the table end itself is interpolated
  EXPECT_EQ(out[3], forward_tail(30, 1));
  EXPECT_NEAR(out[3], std::sqrt(899.5) + 0.6832477042056304, 1e-13);
  EXPECT_EQ(out[4], forward_tail(100, 1));
  EXPECT_NEAR(out[4], std::sqrt(9999.5) + 0.6832477042056304, 1e-13);
  // Below zero: the first segment through the origin.
  EXPECT_LT(out[5], 0);
  EXPECT_NEAR(out[5], -0.001 * (vst::vst_f[1] / vst::vst_z[1]), 1e-18);
}

TEST(VstForward, ClosedFormStartsJustAboveTheScaledEnd) {
  for (double sigma : {1.0, 1.1, 2.0}) {
    const double a = sigma * z_end;
    const std::vector<double> in = {a, std::nextafter(a, inf), 1.5 * a, 7 * a};
    const std::vector<double> out = forward(in, sigma);
    EXPECT_NEAR(out[0], f_end, 1e-14) << sigma;
    for (int i = 1; i < 4; ++i) EXPECT_EQ(out[i], forward_tail(in[i], sigma)) << sigma << " " << i;
    EXPECT_NEAR(out[1], out[0], 1e-13) << sigma;  // the branches join
  }
}

TEST(VstForward, ScalesWithSigma) {
  const std::vector<double> z = {-0.3, 0.01, 0.5, 1.4142135623730951, 3.3, 12.0, 21.9, 25, 80};
  std::vector<double> z2;
  for (double v : z) z2.push_back(2 * v);
  const std::vector<double> one = forward(z, 1), two = forward(z2, 2);
  for (size_t i = 0; i < z.size(); ++i) {
    EXPECT_NEAR(two[i], one[i], 4e-16 * std::fabs(one[i])) << z[i];
  }
}

TEST(VstForward, LongListsAreInterpolatedUpToTheScaledEnd) {
  // 200 ordered magnitudes, one of them exactly at the scaled end: the table
  // part is the interpolation on the scaled abscissae (its sequential path
  // here), the rest the closed form.
  for (double sigma : {1.0, 1.1, 3.7}) {
    const double a = sigma * z_end;
    std::vector<double> in;
    for (int i = 0; i < 200; ++i) in.push_back(sigma * (-1 + 0.17 * i));
    in[140] = a;
    double z[vst::vst_table_size];
    for (int j = 0; j < vst::vst_table_size; ++j) z[j] = vst::vst_z[j] * sigma;
    std::vector<double> interpolated(in.size());
    vst::interp1(z, vst::vst_f, vst::vst_table_size, in.data(), interpolated.data(), 200);
    const std::vector<double> out = forward(in, sigma);
    for (size_t i = 0; i < in.size(); ++i) {
      const double want = in[i] > a ? forward_tail(in[i], sigma) : interpolated[i];
      EXPECT_EQ(out[i], want) << sigma << " " << i;
      EXPECT_NEAR(out[i], forward({in[i]}, sigma)[0], 1e-14) << sigma << " " << i;
    }
  }
}

TEST(VstInverse, UnitNoise) {
  const std::vector<double> in = {
      -5, 0, e_first, vst::vst_expectation[100], e_last, std::nextafter(e_last, inf)};
  const std::vector<double> out = inverse(in, 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(out[i], 0) << in[i];
    EXPECT_FALSE(std::signbit(out[i])) << in[i];
  }
  EXPECT_DOUBLE_EQ(out[3], vst::snr_grid[100]);
  EXPECT_DOUBLE_EQ(out[4], 15.0);  // the table end is interpolated
  EXPECT_EQ(out[5], inverse_tail(in[5], 1));
  EXPECT_NEAR(out[5], 15.0014, 1e-4);  // the small step at the table end
  // Just above the lower end the table takes over from zero.
  EXPECT_GT(inverse({std::nextafter(e_first, inf)}, 1)[0], 0);
}

TEST(VstInverse, ClosedFormAndScaling) {
  const double sigma = 1.1;
  const std::vector<double> in = {-1, 1.2, 3.794149854582944, 9, 15.7, 20, 40};
  const std::vector<double> out = inverse(in, sigma), unit = inverse(in, 1);
  EXPECT_EQ(out[5], inverse_tail(20, sigma));
  EXPECT_NEAR(out[5], 19.3168 * 19.3168 / std::sqrt(19.3168 * 19.3168 + 0.5) * sigma, 1e-4);
  EXPECT_EQ(out[6], inverse_tail(40, sigma));
  EXPECT_DOUBLE_EQ(out[2], vst::snr_grid[50] * sigma);
  for (size_t i = 0; i < in.size(); ++i) {
    EXPECT_NEAR(out[i], sigma * unit[i], 1e-14 * (1 + unit[i])) << in[i];
  }
}

TEST(VstInverse, LongListsMatchSingleValues) {
  std::vector<double> in;
  for (int i = 0; i < 300; ++i) in.push_back(1.0 + 0.061 * i);  // 1 .. 19.2
  const std::vector<double> all = inverse(in, 2.5);
  for (size_t i = 0; i < in.size(); ++i) {
    const double single = inverse({in[i]}, 2.5)[0];
    if (in[i] <= e_first || in[i] > e_last) {
      EXPECT_EQ(all[i], single) << i;
    } else {
      EXPECT_NEAR(all[i], single, 1e-13) << i;
    }
  }
}

// Group after group, at levels that change between calls, the inverse must
// be interp1 over the scaled table followed by the ends, to the bit: on
// lists in no order and on ordered-looking ones (which interp1 walks), with
// queries on knots, beside them, beyond both ends, infinite and NaN; and on
// lists only beyond the ends (background, bright tissue), with and without
// one NaN. The reference interpolates over a copy of the table, so it finds
// its intervals another way.
void check_inverse_against_interp1() {
  const int n = vst::snr_grid_size;
  const std::vector<double> x(vst::vst_expectation, vst::vst_expectation + n);
  std::mt19937 gen(31);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double sigma : {2.5, 0.7, 2.5, 1e-3, 40.0, 0.7}) {
    for (int kind = 0; kind < 4; ++kind) {
      const bool ordered = kind == 1, ends = kind >= 2;
      std::vector<double> q;
      double walk = 1.0;
      while (q.size() < 1031) {
        const double knot = x[gen() % n];
        if (ends) {
          const double v = gen() % 2 ? e_first * (2 * unit(gen) - 1) : e_last + 10 * unit(gen);
          q.push_back(gen() % 50 == 0 ? (gen() % 2 ? inf : -inf) : gen() % 9 == 0 ? e_first : v);
          continue;
        }
        if (ordered) {
          walk += (unit(gen) - 0.3) * 0.08;
          q.push_back(gen() % 4 == 0 ? knot : gen() % 60 == 0 ? nan : walk);
          continue;
        }
        switch (gen() % 6) {
          case 0:
            q.push_back(knot);
            break;
          case 1:
            q.push_back(std::nextafter(knot, gen() % 2 ? inf : -inf));
            break;
          case 2:
            q.push_back(unit(gen) * 20 - 1);
            break;
          case 3:
            q.push_back(gen() % 3 ? nan : gen() % 2 ? inf : -inf);
            break;
          default:
            q.push_back(x[gen() % n] + unit(gen) * 0.01);
        }
      }
      if (ends) {
        if (kind == 3) q[gen() % q.size()] = nan;
      } else if (ordered) {
        for (int k = 1; k <= 3; ++k) q[q.size() - k] = q[3 - k] + 30;
      } else {
        q[0] = 9;
        q[1] = 2;
      }
      std::vector<double> signal(n), want(q.size());
      for (int i = 0; i < n; ++i) signal[i] = vst::snr_grid[i] * sigma;
      const int m = static_cast<int>(q.size());
      vst::interp1(x.data(), signal.data(), n, q.data(), want.data(), m);
      for (int i = 0; i < m; ++i) {
        if (q[i] <= e_first) want[i] = 0 * sigma;
        if (q[i] > e_last) want[i] = inverse_tail(q[i], sigma);
      }
      const std::vector<double> got = inverse(q, sigma);
      for (int i = 0; i < m; ++i)
        ASSERT_TRUE(got[i] == want[i] || (std::isnan(got[i]) && std::isnan(want[i])))
            << "level " << sigma << ", list of kind " << kind << ", query " << i << " = " << q[i]
            << ": " << got[i] << " instead of " << want[i];
    }
  }
}

TEST(VstInverse, EveryGroupIsInterp1ThenTheEnds) {
  on_every_target(check_inverse_against_interp1);  // every SIMD path
}

TEST(VstStabilization, EmptyAndNan) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double in = 5, out = -7;
  vst::forward_stabilization(&in, 0, 1, &out);
  vst::inverse_stabilization(&in, 0, 1, &out);
  EXPECT_EQ(out, -7);
  EXPECT_TRUE(std::isnan(forward({nan}, 1.5)[0]));
  EXPECT_TRUE(std::isnan(inverse({nan}, 1.5)[0]));
}

}  // namespace
