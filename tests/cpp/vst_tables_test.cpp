// The constant tables: reference rows held exactly, the defining rules, strict
// monotonicity, and vst/tables.cpp being exactly what the generator writes.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "vst/generator/table_model.h"
#include "vst/vst.h"

namespace {

namespace vst = zarvo::vst;
namespace gen = zarvo::vst::tablegen;

const int reference_rows[] = {0, 1, 2, 5, 10, 25, 50, 75, 100, 150, 200, 248, 249};
const double reference_ratio[] = {1.9130606187813037, 1.9130624487034238, 1.9130896870053546,
                                  1.9141416060154164, 1.9278123251890684, 2.190548510837483,
                                  3.2920296269364018, 4.691404975130773,  6.151498118602219,
                                  9.119972083160622,  12.110787552082742, 14.990140496039078,
                                  15.050177674466308};
const double reference_expectation[] = {1.5367449014573138, 1.5381995937112816, 1.5425590267675737,
                                        1.5728964244642483, 1.678736188379644,  2.3232808382498145,
                                        3.794149854582944,  5.256900154391354,  6.750002338977773,
                                        9.74822044522291,   12.753380612372643, 15.641076110870975,
                                        15.701256816041392};
// snr_grid at the reference rows, as displayed to 15-16 digits.
const double reference_grid[] = {0.0,
                                 0.0602409638554217,
                                 0.1204819277108434,
                                 0.3012048192771084,
                                 0.6024096385542168,
                                 1.506024096385542,
                                 3.012048192771084,
                                 4.518072289156626,
                                 6.024096385542168,
                                 9.036144578313253,
                                 12.048192771084338,
                                 14.939759036144578,
                                 15.0};
const double reference_f[vst::vst_table_size] = {
    0.0,
    2.05899630355e-05,
    0.0002075338459696,
    0.000801788979967,
    0.0020918178924923,
    0.0044010886071938,
    0.0080816906562108,
    0.013510268528774,
    0.0210851894927476,
    0.0312244276702816,
    0.0443638750854679,
    0.0609559807633851,
    0.0814685429950303,
    0.1063836932526864,
    0.1361959608508299,
    0.171412147748133,
    0.2125464183429983,
    0.2601155544298028,
    0.3146304613002142,
    0.3765739047422726,
    0.4463681741244955,
    0.5243149493139646,
    0.6105184558765921,
    0.7047788413210141,
    0.8065024149658429,
    0.9146762154313144,
    1.0280886298187735,
    1.1460381349181454,
    1.2700449440793342,
    1.4073686299526589,
    1.5773616053008133,
    1.636555082685599,
    1.8217473015425887,
    2.1221213988796337,
    2.434343512124516,
    2.7281654982569754,
    2.9898970704928973,
    3.2230520329368924,
    3.442869983945222,
    3.667931581440848,
    3.9130082439478655,
    4.185959186736985,
    4.488436578429054,
    4.818399065586084,
    5.17234138655495,
    5.546651193833215,
    5.938617540372469,
    6.347289759955599,
    6.773724588743535,
    7.220174434083992,
    7.688831603188207,
    8.181017758471086,
    8.697173911708123,
    9.237392726319701,
    9.801955614305484,
    10.391493543026261,
    11.006796920008927,
    11.648632098587504,
    12.317666335695437,
    13.01450521791778,
    13.739750150802305,
    14.49412571732541,
    15.278484004357399,
    16.093453775018972,
    16.939337563027507,
    17.81680807327473,
    18.726743590067557,
    19.669844840385,
    20.646732446472587,
    21.658172532191102,
    22.705242679602563,
};

TEST(VstTables, ReferenceValuesHeldExactly) {
  for (int p = 0; p < 13; ++p) {
    const int i = reference_rows[p];
    EXPECT_EQ(vst::mean_std_ratio[i], reference_ratio[p]) << "row " << i;
    EXPECT_EQ(vst::vst_expectation[i], reference_expectation[p]) << "row " << i;
    EXPECT_NEAR(vst::snr_grid[i], reference_grid[p], 4e-16 * reference_grid[p]) << "row " << i;
  }
  for (int j = 0; j < vst::vst_table_size; ++j) EXPECT_EQ(vst::vst_f[j], reference_f[j]) << j;
}

TEST(VstTables, DefiningRules) {
  for (int i = 0; i < vst::snr_grid_size; ++i) EXPECT_EQ(vst::snr_grid[i], 15.0 * i / 249) << i;
  // vst_z: 22.0333443375355 (k/69)^(10/3), with sqrt(2) inserted after k = 30.
  for (int j = 0; j < vst::vst_table_size; ++j) {
    if (j == 31) {
      EXPECT_EQ(vst::vst_z[j], std::sqrt(2.0));
      continue;
    }
    const int k = j <= 30 ? j : j - 1;
    const double rule = 22.0333443375355 * std::pow(k / 69.0, 10.0 / 3.0);
    EXPECT_NEAR(vst::vst_z[j], rule, 1e-11 * rule) << j;
  }
  // The constants that the stabilisation code uses in place of entries.
  EXPECT_EQ(vst::vst_z[70] * vst::vst_z[70], 485.4682626964077);
  EXPECT_EQ(vst::vst_f[70], 22.705242679602563);
}

TEST(VstTables, StrictlyIncreasing) {
  const struct {
    const char* name;
    const double* t;
    int n;
  } tables[] = {{"snr_grid", vst::snr_grid, vst::snr_grid_size},
                {"mean_std_ratio", vst::mean_std_ratio, vst::snr_grid_size},
                {"vst_z", vst::vst_z, vst::vst_table_size},
                {"vst_f", vst::vst_f, vst::vst_table_size},
                {"vst_expectation", vst::vst_expectation, vst::snr_grid_size}};
  for (const auto& table : tables) {
    for (int i = 1; i < table.n; ++i) {
      EXPECT_LT(table.t[i - 1], table.t[i]) << table.name << " entries " << i - 1 << ", " << i;
    }
  }
}

TEST(VstTables, GeneratorReproducesCommittedSource) {
  gen::Tables t;
  gen::generate(&t);
  for (int i = 0; i < vst::snr_grid_size; ++i) {
    ASSERT_EQ(t.snr_grid[i], vst::snr_grid[i]) << i;
    ASSERT_EQ(t.mean_std_ratio[i], vst::mean_std_ratio[i]) << i;
    ASSERT_EQ(t.vst_expectation[i], vst::vst_expectation[i]) << i;
  }
  for (int j = 0; j < vst::vst_table_size; ++j) {
    ASSERT_EQ(t.vst_z[j], vst::vst_z[j]) << j;
    ASSERT_EQ(t.vst_f[j], vst::vst_f[j]) << j;
  }
  std::ifstream file(std::string(ZARVO_SOURCE_DIR) + "/vst/tables.cpp");
  ASSERT_TRUE(file.good());
  std::stringstream committed;
  committed << file.rdbuf();
  EXPECT_EQ(committed.str(), gen::render_source(t)) << "regenerate vst/tables.cpp";
}

TEST(VstTables, ComputationIsAccurate) {
  // Bessel functions against the standard library (unscaled where it can).
  for (double x : {0.0, 0.3, 2.0, 17.0, 29.5, 30.5, 56.25, 200.0}) {
    const double scale = std::exp(x);
    EXPECT_NEAR(static_cast<double>(gen::bessel_i0_scaled(x)) * scale, std::cyl_bessel_i(0.0, x),
                1e-14 * std::cyl_bessel_i(0.0, x))
        << x;
    EXPECT_NEAR(static_cast<double>(gen::bessel_i1_scaled(x)) * scale, std::cyl_bessel_i(1.0, x),
                1e-14 * std::cyl_bessel_i(1.0, x) + 1e-300)
        << x;
  }
  // Pure noise: Rayleigh mean sqrt(pi / 2), ratio sqrt(pi / (4 - pi)).
  const double pi = 3.14159265358979323846;
  EXPECT_NEAR(static_cast<double>(gen::rician_mean(0)), std::sqrt(pi / 2), 4e-16);
  EXPECT_NEAR(static_cast<double>(gen::rician_mean_std_ratio(0)), std::sqrt(pi / (4 - pi)), 1e-15);
  // The quadrature integrates the density to 1 and the mean to the Bessel
  // form, and a four times finer subdivision does not move E[f(Z)].
  for (double theta : {0.0, 0.7, 3.0, 8.5, 15.0}) {
    EXPECT_NEAR(static_cast<double>(gen::rician_expectation(theta, 0)), 1.0, 1e-16) << theta;
    EXPECT_NEAR(static_cast<double>(gen::rician_expectation(theta, 1) - gen::rician_mean(theta)),
                0.0, 1e-16)
        << theta;
    EXPECT_NEAR(static_cast<double>(gen::rician_expectation(theta, 2, 16) -
                                    gen::rician_expectation(theta, 2)),
                0.0, 1e-16)
        << theta;
  }
  // Large signals: E[f(Z)] is near theta + 1/(4 theta) + 0.6832477042056304.
  EXPECT_NEAR(static_cast<double>(gen::rician_expectation(15, 2)),
              15 + 1 / 60.0 + 0.6832477042056304, 2e-3);
}

TEST(VstTables, RowsBetweenReferencesStayCloseToTheDefinitions) {
  // Unlisted rows carry the interpolated deviation of the reference rows, so
  // they stay within the largest neighbouring deviation of the computed value.
  double ratio[vst::snr_grid_size], expectation[vst::snr_grid_size];
  gen::compute_raw(ratio, expectation);
  for (int i = 0; i < vst::snr_grid_size; ++i) {
    EXPECT_NEAR(vst::mean_std_ratio[i], ratio[i], i < 100 ? 2.3e-6 : 2e-12) << i;
    EXPECT_NEAR(vst::vst_expectation[i], expectation[i], i < 100 ? 8.3e-7 : 1.3e-9) << i;
  }
}

}  // namespace
