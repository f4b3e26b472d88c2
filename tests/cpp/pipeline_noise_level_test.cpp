// The volume noise level: backgrounds of exact zeros and other constant runs,
// masks, magnitude backgrounds, units, the cases without a level, series.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/zarvo.h"
#include "noise_level.h"
#include "zarvo/pipeline.h"

namespace zc = zarvo::level;

namespace {

constexpr int R = 64, C = 64, S = 48;
constexpr std::size_t N = static_cast<std::size_t>(R) * C * S;

// Smooth, not linear, intensities around 100.
std::vector<double> anatomy(int rows = R, int cols = C, int slices = S) {
  std::vector<double> x;
  for (int z = 0; z < slices; ++z)
    for (int c = 0; c < cols; ++c)
      for (int r = 0; r < rows; ++r)
        x.push_back(100.0 + 30.0 * std::sin(r / 6.0) +
                    20.0 * std::cos(c / 9.0) * std::sin(z / 7.0));
  return x;
}

void add_gaussian(std::vector<double>& x, double sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> n(0.0, sigma);
  for (double& v : x) v += n(rng);
}

// Magnitude of complex Gaussian noise around the real signal.
void make_rician(std::vector<double>& x, double sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> n(0.0, sigma);
  for (double& v : x) v = std::hypot(v + n(rng), n(rng));
}

// Normalised distance of every voxel from the centre (ties broken).
std::vector<double> radii() {
  std::vector<double> rad;
  for (int z = 0; z < S; ++z)
    for (int c = 0; c < C; ++c)
      for (int r = 0; r < R; ++r) {
        const double a = (r - R / 2.0) / R, b = (c - C / 2.0) / C, d = (z - S / 2.0) / S;
        rad.push_back(std::sqrt(a * a + b * b + d * d) + 1e-12 * r);
      }
  return rad;
}

// The radius within which `inside` of the voxels lie.
double radius_holding(const std::vector<double>& rad, double inside) {
  std::vector<double> sorted = rad;
  const auto k = sorted.begin() + static_cast<std::ptrdiff_t>(inside * N);
  std::nth_element(sorted.begin(), k, sorted.end());
  return *k;
}

// A centred ellipsoid holding exactly `inside` of the voxels (1 = inside).
std::vector<std::uint8_t> ellipsoid(double inside) {
  const std::vector<double> rad = radii();
  const double edge = radius_holding(rad, inside);
  std::vector<std::uint8_t> m(N);
  for (std::size_t i = 0; i < N; ++i) m[i] = rad[i] < edge;
  return m;
}

void fill_outside(std::vector<double>& x, const std::vector<std::uint8_t>& m, double value) {
  for (std::size_t i = 0; i < x.size(); ++i)
    if (!m[i]) x[i] = value;
}

zc::LevelEstimate level(const std::vector<double>& x, zarvo::Noise noise = zarvo::Noise::gaussian,
                        const std::uint8_t* mask = nullptr) {
  return zc::estimate_level(x.data(), R, C, S, noise, mask);
}

double ratio(const zc::LevelEstimate& e, double truth) {
  EXPECT_TRUE(e.ok) << e.problem;
  return e.sigma / truth;
}

}  // namespace

TEST(PipelineNoiseLevel, ZeroBackgroundsOfThirtyToEightyPercent) {
  for (double zeros : {0.3, 0.55, 0.8}) {
    const std::vector<std::uint8_t> brain = ellipsoid(1.0 - zeros);
    std::vector<double> g = anatomy();
    add_gaussian(g, 5.0, 1);
    fill_outside(g, brain, 0.0);
    EXPECT_NEAR(ratio(level(g), 5.0), 1.0, 0.06) << zeros;

    std::vector<double> m = anatomy();
    make_rician(m, 5.0, 2);
    fill_outside(m, brain, 0.0);
    EXPECT_NEAR(ratio(level(m, zarvo::Noise::rician), 5.0), 1.0, 0.06) << zeros;
  }
  // Specks of the background's value inside (three zeros in a corner of
  // many blocks, as thresholding leaves them): a block holding one beside
  // tissue has a detail of the tissue's intensity.
  const std::vector<std::uint8_t> brain = ellipsoid(0.5);
  std::vector<double> specks = anatomy();
  add_gaussian(specks, 5.0, 36);
  fill_outside(specks, brain, 0.0);
  for (std::size_t i = 0; i < N; i += 10)  // some of the blocks' first voxels
    if (i % R % 2 == 0 && i / R % C % 2 == 0 && i / R / C % 2 == 0 && brain[i] && brain[i + R])
      specks[i] = specks[i + 1] = specks[i + R] = 0.0;
  EXPECT_NEAR(ratio(level(specks), 5.0), 1.0, 0.06);

  // One slice: 2 x 2 blocks, in-plane neighbours.
  std::vector<double> plane = anatomy(256, 256, 1);
  add_gaussian(plane, 3.0, 3);
  for (int c = 0; c < 256; ++c)
    for (int r = 0; r < 256; ++r)
      if (std::hypot(r - 128.0, c - 128.0) > 90) plane[r + 256 * c] = 0.0;
  const zc::LevelEstimate e = zc::estimate_level(plane.data(), 256, 256, 1, zarvo::Noise::gaussian);
  EXPECT_NEAR(ratio(e, 3.0), 1.0, 0.06);
}

// Constant stripes three voxels wide: a third of the blocks straddle noise and
// constant, and their detail holds half the noise variance.
TEST(PipelineNoiseLevel, ConstantRunsOfAnyValueAndTheirEdgesAreSkipped) {
  for (double fill : {0.0, 42.0, -1024.0}) {
    std::vector<double> x = anatomy();
    add_gaussian(x, 4.0, 4);
    for (std::size_t i = 0; i < N; ++i)
      if (i % R % 6 >= 3) x[i] = fill;
    const zc::LevelEstimate e = level(x);
    EXPECT_NEAR(ratio(e, 4.0), 1.0, 0.06) << fill;
    std::size_t clear = 0;  // blocks whose rows r, r + 1 both carry noise
    for (int r = 0; r < R; r += 2) clear += r % 6 < 2;
    EXPECT_EQ(e.blocks, clear * (C / 2) * (S / 2)) << "fill " << fill;
  }
}

// Integer data has equal neighbours everywhere; only runs of a fill value
// are noise-free.
TEST(PipelineNoiseLevel, RoundedDataKeepsItsEqualNeighbours) {
  std::vector<double> x = anatomy();
  add_gaussian(x, 2.0, 5);
  for (double& v : x) v = std::round(v);
  fill_outside(x, ellipsoid(0.5), 0.0);
  // Rounding adds a uniform error of variance 1/12.
  EXPECT_NEAR(ratio(level(x), std::sqrt(4.0 + 1.0 / 12)), 1.0, 0.06);
}

// The blocks whose eight voxels are all inside `m`.
static std::size_t blocks_inside(const std::vector<std::uint8_t>& m) {
  std::size_t n = 0;
  for (int z = 0; z < S; z += 2)
    for (int c = 0; c < C; c += 2)
      for (int r = 0; r < R; r += 2) {
        bool all = true;
        for (int k = 0; k < 8; ++k)
          all = all && m[(r + k % 2) + R * (c + k / 2 % 2) + std::size_t(R) * C * (z + k / 4)];
        n += all;
      }
  return n;
}

// 8-bit (intensities about 100) and 16-bit (about 2000) scans with a few
// units of noise, whole or with a masked background of 0 or of the minimum:
// the runs of equal values the rounding leaves inside are not background,
// and the level agrees with the same scan given half a unit of float noise.
TEST(PipelineNoiseLevel, IntegerScansWithLowNoise) {
  const std::vector<std::uint8_t> brain = ellipsoid(0.45), whole(N, 1);
  for (double scale : {1.0, 20.0})
    for (double sigma : {0.5, 1.0, 2.5})
      for (double fill : {0.0, -1024.0, std::nan("")}) {
        SCOPED_TRACE(testing::Message()
                     << "scale " << scale << ", level " << sigma << ", fill " << fill);
        std::vector<double> x = anatomy();
        for (double& v : x) v *= scale;
        add_gaussian(x, sigma, 30);
        for (double& v : x) v = std::round(v);
        const bool masked = !std::isnan(fill);
        if (masked) fill_outside(x, brain, fill);
        const zc::LevelEstimate e = level(x);
        EXPECT_NEAR(ratio(e, std::hypot(sigma, std::sqrt(1.0 / 12))), 1.0, 0.1);
        EXPECT_EQ(e.blocks, blocks_inside(masked ? brain : whole));

        std::vector<double> dithered = x, extra(N, 0.0);
        add_gaussian(extra, 0.5, 31);
        for (std::size_t i = 0; i < N; ++i)
          if (!masked || brain[i]) dithered[i] += extra[i];
        const double both = std::hypot(e.sigma, 0.5);
        EXPECT_NEAR(level(dithered).sigma / both, 1.0, 0.1);
      }
}

// The same noise at levels 0.5 to 5 units, rounded: the level rises with
// every step (no two levels give the same estimate, as the median of a
// detail on the integer lattice would) and is within 10 % of the level with
// the rounding's share from 1 unit up.
TEST(PipelineNoiseLevel, RoundedDataRisesSmoothlyWithTheLevel) {
  std::vector<double> unit(N, 0.0);
  add_gaussian(unit, 1.0, 32);
  const std::vector<double> clean = anatomy();
  double previous = 0;
  for (double sigma = 0.5; sigma <= 5.0; sigma += 0.125) {
    std::vector<double> x(N);
    for (std::size_t i = 0; i < N; ++i) x[i] = std::round(clean[i] + sigma * unit[i]);
    const zc::LevelEstimate e = level(x);
    const double truth = std::hypot(sigma, std::sqrt(1.0 / 12));
    EXPECT_NEAR(ratio(e, truth), 1.0, sigma >= 1 ? 0.1 : 0.15) << sigma;
    EXPECT_GT(e.sigma, previous) << sigma;
    previous = e.sigma;
  }
}

// Twice the anatomy plus white texture of standard deviation `texture`
// inside `head`, 0 (air) outside.
std::vector<double> textured_head(const std::vector<std::uint8_t>& head, double texture,
                                  unsigned seed) {
  std::vector<double> clean = anatomy(), fine(N, 0.0);
  add_gaussian(fine, 1.0, seed);
  for (std::size_t i = 0; i < N; ++i) clean[i] = head[i] ? 2.0 * clean[i] + texture * fine[i] : 0.0;
  return clean;
}

// Magnitude data whose bright part has texture of its own (fine structure
// the detail cannot tell from noise), around a Rayleigh background: the
// Rician level is as good as the Gaussian level of the same scan with
// Gaussian noise; a level from the bright blocks alone counts the texture.
TEST(PipelineNoiseLevel, RicianLevelOfATexturedScan) {
  const std::vector<std::uint8_t> head = ellipsoid(0.4);
  const double sigma = 8.0;
  const std::vector<double> clean = textured_head(head, 0.7 * sigma, 33);
  std::vector<double> gaussian = clean, rician = clean;
  add_gaussian(gaussian, sigma, 34);
  make_rician(rician, sigma, 35);
  const double g = ratio(level(gaussian), sigma);
  const double r = ratio(level(rician, zarvo::Noise::rician), sigma);
  EXPECT_LT(std::fabs(r - 1.0), std::fabs(g - 1.0) + 0.05) << "Gaussian " << g << ", Rician " << r;
  // The texture is there: inside the head alone the level is 20 % high.
  std::vector<std::uint8_t> inner(N, 0);
  for (std::size_t i = 0; i < N; ++i) inner[i] = head[i];
  EXPECT_GT(ratio(level(gaussian, zarvo::Noise::gaussian, inner.data()), sigma), 1.15);
}

TEST(PipelineNoiseLevel, OnlyBlocksInsideTheMaskCount) {
  // Level 2 in the lower half of the slices, 8 in the upper half.
  std::vector<double> x = anatomy(), upper = anatomy();
  add_gaussian(x, 2.0, 6);
  add_gaussian(upper, 8.0, 7);
  const std::size_t half = N / 2;
  std::copy(upper.begin() + half, upper.end(), x.begin() + half);
  std::vector<std::uint8_t> low(N, 0), high(N, 0);
  std::fill(low.begin(), low.begin() + half, 1);
  std::fill(high.begin() + half, high.end(), 7);  // any nonzero value is inside
  EXPECT_NEAR(ratio(level(x, zarvo::Noise::gaussian, low.data()), 2.0), 1.0, 0.05);
  EXPECT_NEAR(ratio(level(x, zarvo::Noise::gaussian, high.data()), 8.0), 1.0, 0.05);
  EXPECT_EQ(level(x, zarvo::Noise::gaussian, low.data()).blocks, N / 8 / 2);

  // A block half inside is not inside: a mask of single voxels holds no block.
  std::vector<std::uint8_t> sparse(N, 0);
  for (std::size_t i = 0; i < N; i += 2) sparse[i] = 1;
  EXPECT_FALSE(level(x, zarvo::Noise::gaussian, sparse.data()).ok);
  const std::vector<std::uint8_t> none(N, 0);
  EXPECT_FALSE(level(x, zarvo::Noise::gaussian, none.data()).ok);
}

// Magnitude data with a noise background: the Rayleigh background spreads
// less and must not pull the level down.
TEST(PipelineNoiseLevel, RicianNoiseBackground) {
  // A head of 40 % of the volume whose edge falls off over about four
  // voxels, as a blurred edge does (a sharp step is no local plane).
  const std::vector<double> rad = radii();
  const double edge = radius_holding(rad, 0.4);
  std::vector<double> x = anatomy();
  for (std::size_t i = 0; i < N; ++i)
    x[i] *= 2.0 * std::clamp((edge - rad[i]) * R / 4.0 + 0.5, 0.0, 1.0);
  make_rician(x, 10.0, 8);
  EXPECT_NEAR(ratio(level(x, zarvo::Noise::rician), 10.0), 1.0, 0.06);
  EXPECT_LT(ratio(level(x, zarvo::Noise::gaussian), 10.0), 0.9) << "no Rayleigh background left?";
}

TEST(PipelineNoiseLevel, LevelScalesWithTheData) {
  std::vector<double> x = anatomy();
  add_gaussian(x, 3.0, 9);
  fill_outside(x, ellipsoid(0.45), 0.0);
  std::vector<double> ramp(N);  // noise-free
  for (std::size_t i = 0; i < N; ++i) ramp[i] = 1.0 + 0.01 * (i % R) + 0.02 * (i / R % C);
  const zc::LevelEstimate unit = level(x);
  ASSERT_TRUE(unit.ok);
  for (double scale : {1e-30, 1e-9, 1e9, 1e30}) {
    std::vector<double> y = x, flat = ramp;
    for (double& v : y) v *= scale;
    for (double& v : flat) v *= scale;
    for (zarvo::Noise noise : {zarvo::Noise::gaussian, zarvo::Noise::rician}) {
      const zc::LevelEstimate e = level(y, noise);
      ASSERT_TRUE(e.ok) << scale << ": " << e.problem;
      EXPECT_NEAR(e.sigma / (level(x, noise).sigma * scale), 1.0, 1e-12) << scale;
      EXPECT_FALSE(level(flat, noise).ok) << scale;
    }
  }
}

TEST(PipelineNoiseLevel, SaysWhenThereIsNoLevel) {
  std::vector<double> x(N, 7.0);
  zc::LevelEstimate e = level(x);
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.sigma, 0.0);
  EXPECT_NE(e.problem.find("carry noise"), std::string::npos) << e.problem;
  EXPECT_FALSE(level(std::vector<double>(N, 0.0), zarvo::Noise::rician).ok);

  // Noise-free: smooth data whose detail is not 0 but tiny, exact or rounded
  // to float32; but not data with a level of a hundred-thousandth of its
  // intensity.
  std::vector<double> smooth = anatomy(), faint = smooth;
  for (std::size_t i = 0; i < N; ++i)
    smooth[i] += 1e-6 * double(i % R) * double(i / R % C) * double(i / R / C);
  std::vector<double> stored = smooth;
  for (double& v : stored) v = static_cast<float>(v);
  add_gaussian(faint, 1e-3, 10);
  for (const auto* v : {&smooth, &stored}) {
    e = level(*v);
    EXPECT_FALSE(e.ok);
    EXPECT_NE(e.problem.find("noise-free"), std::string::npos) << e.problem;
  }
  EXPECT_NEAR(ratio(level(faint), 1e-3), 1.0, 0.05);

  // Too small, too few blocks, too few rows.
  std::vector<double> small = anatomy(10, 10, 6);  // 75 blocks
  add_gaussian(small, 5.0, 11);
  e = zc::estimate_level(small.data(), 10, 10, 6, zarvo::Noise::gaussian);
  EXPECT_FALSE(e.ok);
  EXPECT_NE(e.problem.find("only 75 of its 75 blocks"), std::string::npos) << e.problem;
  EXPECT_FALSE(zc::estimate_level(small.data(), 1, 100, 6, zarvo::Noise::gaussian).ok);
  EXPECT_FALSE(zc::estimate_level(small.data(), 100, 0, 1, zarvo::Noise::gaussian).ok);

  // NaN and infinite voxels spoil only their blocks.
  std::vector<double> spoilt = anatomy();
  add_gaussian(spoilt, 5.0, 12);
  for (std::size_t i = 0; i < N; i += 97) spoilt[i] = i % 2 ? NAN : -INFINITY;
  EXPECT_NEAR(ratio(level(spoilt), 5.0), 1.0, 0.06);

  // The caller's error, and the old interface's 0.
  try {
    zc::require_level(level(x), "volume 3");
    ADD_FAILURE() << "no exception";
  } catch (const zarvo::Error& err) {
    const std::string m = err.what();
    EXPECT_EQ(m.rfind("the noise level cannot be estimated from volume 3 (", 0), 0u) << m;
    EXPECT_NE(m.find("give the noise level"), std::string::npos) << m;
  }
  EXPECT_EQ(zc::require_level(level(spoilt), "v"), level(spoilt).sigma);
}

TEST(PipelineNoiseLevel, PooledSeries) {
  // Three volumes: level 4, a volume of zeros (a dropped volume), level 4
  // again with a large zero background.
  std::vector<double> series;
  std::vector<double> a = anatomy(), b(N, 0.0), c = anatomy();
  add_gaussian(a, 4.0, 13);
  add_gaussian(c, 4.0, 14);
  fill_outside(c, ellipsoid(0.25), 0.0);
  for (const auto* v : {&a, &b, &c}) series.insert(series.end(), v->begin(), v->end());

  const zc::LevelEstimate pooled =
      zc::estimate_series_level(series.data(), R, C, S, 3, zarvo::Noise::gaussian);
  EXPECT_NEAR(ratio(pooled, 4.0), 1.0, 0.04);
  EXPECT_EQ(pooled.blocks, level(a).blocks + level(c).blocks);
  const zc::LevelEstimate listed =
      zc::estimate_series_level({a.data(), b.data(), c.data()}, R, C, S, zarvo::Noise::gaussian);
  EXPECT_EQ(listed.sigma, pooled.sigma);

  // One median over all blocks, not a mean of levels: levels 2 and 6 with
  // equal block counts pool to about the median of the mixture, below 4.
  std::vector<double> lo = anatomy(), hi = anatomy();
  add_gaussian(lo, 2.0, 15);
  add_gaussian(hi, 6.0, 16);
  const zc::LevelEstimate mixed =
      zc::estimate_series_level({lo.data(), hi.data()}, R, C, S, zarvo::Noise::gaussian);
  ASSERT_TRUE(mixed.ok);
  EXPECT_GT(mixed.sigma, 2.5);
  EXPECT_LT(mixed.sigma, 3.9);

  // Volumes with too few blocks each are enough together.
  const int r = 16, cc = 16, s = 6;  // 192 blocks, 96 inside the mask
  std::vector<std::uint8_t> left(static_cast<std::size_t>(r) * cc * s, 0);
  for (std::size_t i = 0; i < left.size(); ++i) left[i] = i % r < 8;
  std::vector<std::vector<double>> vols;
  std::vector<const double*> ptrs;
  for (unsigned t = 0; t < 8; ++t) {
    vols.push_back(anatomy(r, cc, s));
    add_gaussian(vols.back(), 3.0, 20 + t);
  }
  for (const auto& v : vols) ptrs.push_back(v.data());
  EXPECT_FALSE(zc::estimate_level(ptrs[0], r, cc, s, zarvo::Noise::gaussian, left.data()).ok);
  const zc::LevelEstimate together =
      zc::estimate_series_level(ptrs, r, cc, s, zarvo::Noise::gaussian, left.data());
  EXPECT_EQ(together.blocks, 8u * 96);
  EXPECT_NEAR(ratio(together, 3.0), 1.0, 0.15);
  EXPECT_FALSE(zc::estimate_series_level(a.data(), R, C, S, 0, zarvo::Noise::gaussian).ok);
}

TEST(PipelineNoiseLevel, SeriesLevelsDoNotDependOnThreads) {
  // Seven volumes of levels 2 to 8, split between up to 8 threads: the same
  // pooled and per-volume levels as one thread, the input read by one
  // thread at a time, and a bad voxel reported for the first bad volume.
  const int r = 24, c = 20, s = 10;
  std::vector<std::vector<double>> vols;
  for (unsigned t = 0; t < 7; ++t) {
    vols.push_back(anatomy(r, c, s));
    add_gaussian(vols.back(), 2.0 + t, 40 + t);
  }
  zarvo::Shape shape;
  shape.ndims = 4;
  shape.rows = r;
  shape.cols = c;
  shape.slices = s;
  shape.volumes = 7;
  std::atomic<int> reading{0};
  std::atomic<bool> overlapped{false};
  const zarvo::SeriesInput input{shape, [&](int t, double* out) {
                                   if (reading++ > 0) overlapped = true;
                                   std::copy(vols[t].begin(), vols[t].end(), out);
                                   --reading;
                                 }};
  using zarvo::SigmaScope;
  const auto pooled = zarvo::estimate_sigmas(input, zarvo::Noise::gaussian, SigmaScope::series);
  const auto each = zarvo::estimate_sigmas(input, zarvo::Noise::gaussian, SigmaScope::volume);
  ASSERT_EQ(pooled.size(), 1u);
  ASSERT_EQ(each.size(), 7u);
  EXPECT_GT(each[6], 3.0 * each[0]);  // levels 8 and 2: one per volume
  for (int threads : {2, 3, 8}) {
    SCOPED_TRACE(threads);
    EXPECT_EQ(
        zarvo::estimate_sigmas(input, zarvo::Noise::gaussian, SigmaScope::series, nullptr, threads),
        pooled);
    EXPECT_EQ(
        zarvo::estimate_sigmas(input, zarvo::Noise::gaussian, SigmaScope::volume, nullptr, threads),
        each);
  }
  EXPECT_FALSE(overlapped);

  vols[5][0] = std::nan("");
  vols[2][17] = INFINITY;  // voxel 17,0,0 of volume 2 (0-based)
  for (int threads : {1, 3, 8}) {
    try {
      zarvo::estimate_sigmas(input, zarvo::Noise::gaussian, SigmaScope::series, nullptr, threads);
      ADD_FAILURE() << "estimated";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find("(the first at voxel 17,0,0,2)"), std::string::npos)
          << threads << ": " << e.what();
    }
  }
}

// The volume level and the level map take the mean of the middle pair for an
// even count, on top of the engine's selection (the lower middle value).
TEST(PipelineNoiseLevel, MedianOfOddAndEvenCounts) {
  const std::vector<double> odd{5, 1, 3}, even{4, 1, 3, 2}, tied{2, 7, 2, 9}, pair{7, 7};
  EXPECT_EQ(zc::median(odd.data(), odd.size()), 3.0);
  EXPECT_EQ(zc::median(even.data(), even.size()), 2.5);
  EXPECT_EQ(zc::median(tied.data(), tied.size()), 4.5);
  EXPECT_EQ(zc::median(pair.data(), pair.size()), 7.0);
  EXPECT_EQ(zc::median(odd.data(), 0), 0.0);
  EXPECT_EQ(zarvo::median(even.data(), 4), 2.0);  // the plug-ins' lower middle
}

// The selection counts values by their leading bits: the middle pair must be
// the sorted one whatever the sign, ties, zeros of either sign, and values on
// either side of a bin's edge (powers of two, a value and its neighbours).
TEST(PipelineNoiseLevel, MedianIsTheMiddleOfTheSortedValues) {
  std::mt19937 rng(41);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_int_distribution<int> small(-3, 3);
  const auto sorted_median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
  };
  for (std::size_t n : {1, 2, 3, 4, 5, 8, 101, 1000, 200001}) {
    std::vector<std::vector<double>> sets(5);
    for (std::size_t i = 0; i < n; ++i) {
      sets[0].push_back(std::fabs(normal(rng)));  // details' magnitudes
      sets[1].push_back(normal(rng) * 1e3);       // both signs
      sets[2].push_back(small(rng) * 0.5);        // ties, -0 and +0
      sets[3].push_back(std::ldexp(1.0, small(rng)) * (1 + small(rng) * 1e-16));  // bin edges
      sets[4].push_back(i % 3 ? std::nextafter(1.0, i % 2 ? 2.0 : 0.0) : 1.0);
    }
    sets[2][0] = -0.0;
    for (const std::vector<double>& v : sets) {
      const double m = zc::median(v.data(), v.size());
      EXPECT_EQ(m, sorted_median(v)) << n;
      if (n % 2) {
        EXPECT_EQ(m, zarvo::median(v.data(), static_cast<int>(n))) << n;
      }
    }
  }
}

// A map stands for its median, with voxels of level 0 (no noise) counted;
// any negative, NaN or infinite level is refused whichever voxel holds it,
// before a median could hide it.
TEST(PipelineNoiseLevel, MapLevelIsTheMedianOfValidLevels) {
  const std::vector<double> map{0.0, 2.0, 0.0, 3.0, 5.0};
  EXPECT_EQ(zc::map_level(map.data(), map.size()), 2.0);
  EXPECT_EQ(zc::map_level(map.data(), 4), 1.0);
  for (double bad : {-1e-300, -0.5, double(NAN), double(INFINITY), -double(INFINITY)})
    for (std::size_t at : {0, 2, 4}) {
      std::vector<double> v = map;
      v[at] = bad;
      try {
        zc::map_level(v.data(), v.size());
        ADD_FAILURE() << bad << " at " << at << " accepted";
      } catch (const zarvo::Error& e) {
        EXPECT_STREQ(e.what(), "the noise level map holds negative or non-finite levels");
      }
    }
}

// A single slice, three quarters Rayleigh air, at 15 % noise: the air must
// count at its own spread (the Gaussian estimate is 30 % low here), which
// takes a neighbourhood mean with little noise left in it.
zc::LevelEstimate level_of_slice(const std::vector<double>& x, int side, zarvo::Noise noise) {
  return zc::estimate_level(x.data(), side, side, 1, noise);
}

TEST(PipelineNoiseLevel, RicianSliceMostlyAir) {
  constexpr int side = 384;
  std::vector<double> x = anatomy(side, side, 1);
  for (int c = 0; c < side; ++c)
    for (int r = 0; r < side; ++r) {
      const double rad = std::hypot(r - side / 2.0, c - side / 2.0) / side;
      x[r + side * static_cast<std::size_t>(c)] *= std::clamp((0.27 - rad) * side / 3.0, 0.0, 1.0);
    }
  const double sigma = 0.15 * 150.0;
  make_rician(x, sigma, 12);
  const zc::LevelEstimate e = level_of_slice(x, side, zarvo::Noise::rician);
  EXPECT_NEAR(ratio(e, sigma), 1.0, 0.06);
  EXPECT_LT(ratio(level_of_slice(x, side, zarvo::Noise::gaussian), sigma), 0.8);
}

// Pure Rayleigh air, and magnitudes of a uniform signal at low SNR: the noise
// left in a neighbourhood's mean must not pass for signal (the level was 3 to
// 5 % low in a volume of air, 8 % in a slice). A whole volume at SNR 0.5 to
// 1 is nearly as ill-posed as air and runs up to 9 % high.
TEST(PipelineNoiseLevel, RicianLevelInAirAndAtLowSnr) {
  const double sigma = 10.0;
  for (double snr : {0.0, 1.0, 2.0, 5.0}) {
    std::vector<double> v(N, snr * sigma);
    make_rician(v, sigma, 40 + static_cast<unsigned>(snr));
    const double tolerance = snr == 0.0 ? 0.02 : snr == 1.0 ? 0.07 : 0.03;
    EXPECT_NEAR(ratio(level(v, zarvo::Noise::rician), sigma), 1.0, tolerance)
        << "volume, SNR " << snr;
  }
  constexpr int side = 512;
  std::vector<double> air(static_cast<std::size_t>(side) * side, 0.0);
  make_rician(air, sigma, 45);
  EXPECT_NEAR(ratio(level_of_slice(air, side, zarvo::Noise::rician), sigma), 1.0, 0.03) << "slice";
}

// Texture indistinguishable from noise in the finest detail (white, of the
// level's size, inside a head of 25 %), around air. Its other details carry it
// too, so the blocks of weak texture (the air and nothing else) give the
// level, for either noise model.
TEST(PipelineNoiseLevel, WeakTextureBlocksGiveTheLevel) {
  const std::vector<std::uint8_t> head = ellipsoid(0.25);
  const double sigma = 8.0;
  const std::vector<double> clean = textured_head(head, sigma, 50);
  std::vector<double> gaussian = clean, rician = clean;
  add_gaussian(gaussian, sigma, 51);
  make_rician(rician, sigma, 52);
  EXPECT_NEAR(ratio(level(gaussian), sigma), 1.0, 0.03);
  EXPECT_NEAR(ratio(level(rician, zarvo::Noise::rician), sigma), 1.0, 0.03);
  // All blocks would give the texture with the noise: the head alone is 40 % high.
  EXPECT_GT(ratio(level(gaussian, zarvo::Noise::gaussian, head.data()), sigma), 1.3);
}

// Spatially correlated noise (each voxel the mean of two neighbours along the
// rows) holds less in the finest diagonal detail than in the others, so its
// weak-texture blocks are not told by their texture: every block counts, and
// the level is that of all blocks, not the half the quietest ones give.
TEST(PipelineNoiseLevel, CorrelatedNoiseKeepsEveryBlock) {
  const std::vector<std::uint8_t> head = ellipsoid(0.4);
  std::vector<double> white(N, 0.0), x = anatomy();
  add_gaussian(white, 8.0, 53);
  std::vector<double> texture(N, 0.0);
  add_gaussian(texture, 1.0, 54);
  for (std::size_t i = 0; i < N; ++i) {
    const double correlated = (white[i] + white[i % R + 1 < R ? i + 1 : i - 1]) / std::sqrt(2.0);
    x[i] = (head[i] ? 2.0 * x[i] + 8.0 * texture[i] : 0.0) + correlated;
  }
  std::vector<double> air(N, 0.0);
  for (std::size_t i = 0; i < N; ++i)
    air[i] = (white[i] + white[i % R + 1 < R ? i + 1 : i - 1]) / std::sqrt(2.0);
  const double all = level(x).sigma, quiet = level(air).sigma;
  // 1.29 (1.20 when the quietest blocks were chosen here too).
  EXPECT_GT(all, 1.25 * quiet) << all << " against " << quiet << " for the noise alone";
}
