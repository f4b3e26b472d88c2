// The pipeline's options on real-world shapes and units: the result does
// not depend on the unit of the data, a mask keeps every voxel outside it
// exactly and filters only where it touches, cubes shrink to small images,
// and the options are checked before any work.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "stage_helpers.h"

namespace {

using zarvo::test::shape_of;

// A smooth phantom with an edge, plus noise of level sigma.
std::vector<double> phantom(const zarvo::Shape& s, double sigma, unsigned seed) {
  std::vector<double> v =
      zarvo::test::random_volume(s.volume_voxels() * s.volumes, seed, 0.0, sigma);
  std::size_t i = 0;
  for (int t = 0; t < s.volumes; ++t)
    for (int z = 0; z < s.slices; ++z)
      for (int y = 0; y < s.cols; ++y)
        for (int x = 0; x < s.rows; ++x, ++i)
          v[i] += 10.0 + (x > s.rows / 2 ? 5.0 : 0.0) + 0.2 * y + 0.1 * z;
  return v;
}

std::vector<double> run(const std::vector<double>& in, const zarvo::Shape& s,
                        const zarvo::DenoiseOptions& o, zarvo::DenoiseReport* report = nullptr) {
  std::vector<double> out;
  const zarvo::DenoiseReport r =
      zarvo::denoise(zarvo::series_input(zarvo::ArrayView::column_major(in.data(), s)), o,
                     [&](int, const double* e, const double*) {
                       out.insert(out.end(), e, e + s.volume_voxels());
                     });
  if (report) *report = r;
  return out;
}

}  // namespace

TEST(PipelineUnits, ScaledDataGiveTheScaledResult) {
  const zarvo::Shape s = shape_of(18, 16, 8);
  const std::vector<double> base = phantom(s, 1.0, 5);
  for (zarvo::Noise noise : {zarvo::Noise::gaussian, zarvo::Noise::rician}) {
    zarvo::DenoiseOptions o;
    o.noise = noise;
    o.sigma = {1.0};
    const std::vector<double> reference = run(base, s, o);
    double change = 0;  // the filtering does change the data
    for (std::size_t i = 0; i < base.size(); ++i)
      change = std::fmax(change, std::fabs(reference[i] - base[i]));
    ASSERT_GT(change, 0.1);
    for (double k : {1e-30, 1e-12, 3e-7, 1e6, 2.5e12, 1e30, 0x1p-90, 0x1p90}) {
      std::vector<double> scaled(base);
      for (double& v : scaled) v *= k;
      o.sigma = {k};
      const std::vector<double> got = run(scaled, s, o);
      int e = 0;
      const bool exact = std::frexp(k, &e) == 0.5;  // a power of two scales exactly
      double worst = 0;
      for (std::size_t i = 0; i < got.size(); ++i)
        worst = std::fmax(worst, std::fabs(got[i] / k - reference[i]) / std::fabs(reference[i]));
      if (exact)
        EXPECT_EQ(worst, 0.0) << "k = " << k;
      else
        EXPECT_LT(worst, 1e-9) << "k = " << k << (noise == zarvo::Noise::rician ? ", rician" : "");
    }
  }
}

TEST(PipelineMask, OutsideKeptExactlyInsideFilteredFewerCubesWalked) {
  const zarvo::Shape s = shape_of(24, 20, 10);
  const std::vector<double> noisy = phantom(s, 0.5, 9);
  zarvo::DenoiseOptions o;
  o.sigma = {0.5};
  o.mask.assign(s.volume_voxels(), 0);
  o.mask_shape = s;
  for (int z = 2; z < 7; ++z)
    for (int y = 3; y < 12; ++y)
      for (int x = 4; x < 15; ++x) o.mask[x + s.rows * (y + s.cols * z)] = 1;
  zarvo::DenoiseOptions unmasked = o;
  unmasked.mask.clear();
  long masked_cubes = 0, all_cubes = 0;
  zarvo::RunContext counting;
  std::vector<double> got;
  counting.progress = [&](long, long total) { masked_cubes = total; };
  zarvo::denoise(
      zarvo::series_input(zarvo::ArrayView::column_major(noisy.data(), s)), o,
      [&](int, const double* e, const double*) { got.assign(e, e + s.volume_voxels()); }, counting);
  counting.progress = [&](long, long total) { all_cubes = total; };
  zarvo::denoise(
      zarvo::series_input(zarvo::ArrayView::column_major(noisy.data(), s)), unmasked,
      [](int, const double*, const double*) {}, counting);
  int inside_changed = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!o.mask[i])
      ASSERT_EQ(got[i], noisy[i]) << "voxel " << i << " outside the mask";
    else
      inside_changed += got[i] != noisy[i];
  }
  EXPECT_EQ(inside_changed, 11 * 9 * 5);
  EXPECT_LT(masked_cubes, all_cubes / 2);
  EXPECT_GT(masked_cubes, 0);
}

TEST(PipelineShapes, CubesShrinkToSmallImagesAndBadOptionsAreRefused) {
  // A 3-voxel-wide image is filtered with 3-voxel cubes, not returned as is.
  const zarvo::Shape thin = shape_of(3, 30, 1);
  const std::vector<double> noisy = phantom(thin, 0.5, 2);
  zarvo::DenoiseOptions o;
  o.sigma = {0.5};
  zarvo::DenoiseReport r;
  const std::vector<double> got = run(noisy, thin, o, &r);
  EXPECT_EQ(r.params.cube, 3);
  EXPECT_EQ(r.params.depth, 1);
  EXPECT_NE(got, noisy);

  const zarvo::Shape s = shape_of(8, 8, 4, 3);
  const std::vector<double> series = phantom(s, 0.5, 3);
  auto refused = [&](zarvo::DenoiseOptions bad, const char* fragment) {
    try {
      run(series, s, bad);
      ADD_FAILURE() << "accepted: " << fragment;
    } catch (const zarvo::Error& e) {
      EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
  };
  zarvo::DenoiseOptions bad;
  bad.sigma = {1.0, 2.0};
  refused(bad, "one per volume (3)");
  bad.sigma = {-1.0};
  refused(bad, "> 0");
  bad.sigma = {};
  bad.mask.assign(10, 1);
  bad.mask_shape = shape_of(10, 1, 1);
  refused(bad, "spatial shape");
  bad.mask.assign(s.volume_voxels(), 0);
  bad.mask_shape = shape_of(8, 8, 4);
  refused(bad, "no voxel");
}
