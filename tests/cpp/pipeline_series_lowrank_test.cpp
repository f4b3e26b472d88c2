// Groups filtered across the component images (series_lowrank.h): pure
// noise at unit level stays near zero, a series of low rank comes back
// close to its truth, also with more components than voxels in a group;
// the same bits on any number of threads, and the Wiener stage written
// over its own pilot gives the bits of a separate output; a span of the
// leading components filtered as if alone, the rest dropped where reached;
// the Wiener stage's window over the cube: its shape, the images before it
// untouched, the images from it on normalised by their own weights.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "series_lowrank.h"
#include "stage_helpers.h"
#include "zarvo/stages.h"

namespace {

using zarvo::SeriesStore;
using zarvo::test::StageCall;
using zarvo::test::StageParams;

struct Series {
  int rows, cols, slices, volumes;
  std::size_t voxels() const { return static_cast<std::size_t>(rows) * cols * slices; }
};

// Rank-2 component images (an anatomy with an edge, and a contrast on one
// side of it, mixed differently in each component) times `amplitude`, plus
// white noise of unit level.
std::vector<float> low_rank(const Series& s, double amplitude, unsigned seed,
                            std::vector<float>* truth = nullptr) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(0.0, 1.0);
  std::vector<float> v(s.voxels() * s.volumes);
  if (truth) truth->assign(v.size(), 0.0f);
  std::size_t i = 0;
  for (int t = 0; t < s.volumes; ++t)
    for (int z = 0; z < s.slices; ++z)
      for (int y = 0; y < s.cols; ++y)
        for (int x = 0; x < s.rows; ++x, ++i) {
          const double anatomy = 1.0 + 0.3 * std::sin(0.5 * y) + 0.1 * z;
          const double contrast = x > s.rows / 2 ? 1.0 : -0.5;
          const double clean =
              amplitude * (std::cos(0.3 * t) * anatomy + std::sin(0.7 * t) * contrast);
          if (truth) (*truth)[i] = static_cast<float>(clean);
          v[i] = static_cast<float>(clean + d(gen));
        }
  return v;
}

SeriesStore store_of(const std::vector<float>& v, const Series& s) {
  SeriesStore store(s.voxels(), s.volumes, 1);
  std::copy(v.begin(), v.end(), store.volume(0));
  return store;
}

std::vector<float> values(const SeriesStore& store) {
  return std::vector<float>(store.volume(0), store.volume(0) + store.voxels() * store.volumes());
}

double rms(const std::vector<float>& a, const std::vector<float>* b = nullptr) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double e = a[i] - (b ? (*b)[i] : 0.0f);
    sum += e * e;
  }
  return std::sqrt(sum / static_cast<double>(a.size()));
}

// Both stages on `noisy`: the first across on groups matched on component
// 0, the second over the first's output in place when `in_place`.
struct Filtered {
  std::vector<float> basic, final;
};

Filtered filter_both(const std::vector<float>& noisy, const Series& s, const StageParams& p,
                     int threads, bool in_place = true, const unsigned char* mask = nullptr,
                     int span = 0, int window_from = -1, double window_beta = 2.0) {
  StageCall call(s.rows, s.cols, s.slices, p);
  call.geometry.mask = mask;
  const SeriesStore from = store_of(noisy, s);
  std::vector<double> guide(noisy.begin(), noisy.begin() + static_cast<std::ptrdiff_t>(s.voxels()));
  const zarvo::stages::GroupTable groups =
      zarvo::stages::match_groups(call.geometry, guide.data(), zarvo::RunContext{});
  zarvo::AcrossSettings hard;
  hard.threshold = p.threshold;
  hard.span = span;
  SeriesStore basic(s.voxels(), s.volumes, 1);
  zarvo::filter_across(call.geometry, call.transforms, groups, hard, from, nullptr, basic, threads);
  Filtered r;
  r.basic = values(basic);
  zarvo::AcrossSettings wiener;
  wiener.span = span;
  wiener.window_from = window_from;
  wiener.window_beta = window_beta;
  if (in_place) {
    zarvo::filter_across(call.geometry, call.transforms, groups, wiener, from, &basic, basic,
                         threads);
    r.final = values(basic);
  } else {
    SeriesStore out(s.voxels(), s.volumes, 1);
    zarvo::filter_across(call.geometry, call.transforms, groups, wiener, from, &basic, out,
                         threads);
    r.final = values(out);
  }
  return r;
}

}  // namespace

TEST(SeriesAcross, NoiseEdgeBoundsTheEigenvaluesOfNoise) {
  EXPECT_DOUBLE_EQ(zarvo::noise_edge(16, 9), 49.0);
  EXPECT_DOUBLE_EQ(zarvo::noise_edge(4, 100), 144.0);  // more columns than rows
}

TEST(SeriesAcross, UnitNoiseStaysNearZeroAndLowRankComesBack) {
  const Series s{24, 20, 8, 12};
  StageParams p;
  p.threshold = 3.0;
  // Pure noise: hardly an axis of any group stands above the noise edge.
  const std::vector<float> noise = low_rank(s, 0.0, 3);
  const Filtered n = filter_both(noise, s, p, 1);
  EXPECT_GT(rms(noise), 0.95);
  EXPECT_LT(rms(n.basic), 0.06);
  EXPECT_LT(rms(n.final), 0.08);

  std::vector<float> truth;
  const std::vector<float> noisy = low_rank(s, 4.0, 4, &truth);
  const Filtered r = filter_both(noisy, s, p, 1);
  EXPECT_LT(rms(r.basic, &truth), 0.35 * rms(noisy, &truth));
  EXPECT_LT(rms(r.final, &truth), rms(r.basic, &truth));
}

TEST(SeriesAcross, MoreComponentsThanVoxelsInAGroup) {
  // Groups of at most 4 cubes of 2 x 2 x 1 voxels: 16 rows against 40
  // components, a Gram matrix of rank 16 at most.
  const Series s{14, 12, 3, 40};
  StageParams p;
  p.cube_side = 2;
  p.cube_depth = 1;
  p.largest_group = 4;
  p.step = 1;
  p.search = 2;
  p.threshold = 3.0;
  std::vector<float> truth;
  const std::vector<float> noisy = low_rank(s, 3.0, 5, &truth);
  const Filtered r = filter_both(noisy, s, p, 2);
  for (float v : r.final) ASSERT_TRUE(std::isfinite(v));
  EXPECT_LT(rms(r.final, &truth), 0.4 * rms(noisy, &truth));
  const Filtered noise = filter_both(low_rank(s, 0.0, 6), s, p, 1);
  EXPECT_LT(rms(noise.final), 0.1);
}

TEST(SeriesAcross, SameBitsOnAnyThreadCountAndInPlace) {
  // Slices enough for the band of sums to be used round-robin, batches
  // of groups split between threads.
  const Series s{30, 26, 14, 9};
  StageParams p;
  p.threshold = 3.0;
  const std::vector<float> noisy = low_rank(s, 3.0, 7);
  const Filtered one = filter_both(noisy, s, p, 1);
  for (int threads : {2, 3}) {
    const Filtered many = filter_both(noisy, s, p, threads);
    EXPECT_EQ(many.basic, one.basic) << threads << " threads";
    EXPECT_EQ(many.final, one.final) << threads << " threads";
  }
  EXPECT_EQ(filter_both(noisy, s, p, 2, false).final, one.final);
}

TEST(SeriesAcross, MaskedSlabsFarApartFilterTheirOwnSlices) {
  // Two masked slabs further apart than the band of slices the walk holds
  // (2 x search + cube depth = 8): the second slab's groups must read its
  // own slices, not what the band held for the first.
  const Series s{24, 20, 30, 8};
  StageParams p;
  p.threshold = 3.0;
  std::vector<float> truth;
  const std::vector<float> noisy = low_rank(s, 4.0, 11, &truth);
  const std::size_t plane = static_cast<std::size_t>(s.rows) * s.cols;
  std::vector<unsigned char> mask(s.voxels(), 0);
  for (int z : {1, 2, 24, 25})
    std::fill(mask.begin() + static_cast<std::ptrdiff_t>(z * plane),
              mask.begin() + static_cast<std::ptrdiff_t>((z + 1) * plane), 1);
  const Filtered one = filter_both(noisy, s, p, 1, true, mask.data());
  // Error per slab against the truth, and whether slice 12 (no cube
  // reaches it) kept the input's values.
  const auto slab_error = [&](const std::vector<float>& v, int first, int last) {
    double e = 0, n = 0;
    for (int t = 0; t < s.volumes; ++t)
      for (int z = first; z <= last; ++z)
        for (std::size_t i = 0; i < plane; ++i) {
          const std::size_t at = (static_cast<std::size_t>(t) * s.slices + z) * plane + i;
          e += (v[at] - truth[at]) * (v[at] - truth[at]);
          n += 1;
        }
    return std::sqrt(e / n);
  };
  for (int first : {1, 24}) {
    const double before = slab_error(noisy, first, first + 1);
    EXPECT_LT(slab_error(one.basic, first, first + 1), 0.5 * before) << "slab at " << first;
    EXPECT_LT(slab_error(one.final, first, first + 1), 0.5 * before) << "slab at " << first;
  }
  for (int t = 0; t < s.volumes; ++t) {
    const std::size_t at = (static_cast<std::size_t>(t) * s.slices + 12) * plane;
    EXPECT_TRUE(std::equal(noisy.begin() + static_cast<std::ptrdiff_t>(at),
                           noisy.begin() + static_cast<std::ptrdiff_t>(at + plane),
                           one.final.begin() + static_cast<std::ptrdiff_t>(at)))
        << "volume " << t;
  }
  const Filtered two = filter_both(noisy, s, p, 2, true, mask.data());
  EXPECT_EQ(two.basic, one.basic);
  EXPECT_EQ(two.final, one.final);
}

TEST(SeriesAcross, SpanFiltersItsComponentsAsIfAloneAndDropsTheRest) {
  // Masked slabs (as above): slice 12 is reached by no group.
  const Series s{24, 20, 30, 8};
  StageParams p;
  p.threshold = 3.0;
  const std::vector<float> noisy = low_rank(s, 4.0, 13);
  const std::size_t plane = static_cast<std::size_t>(s.rows) * s.cols;
  std::vector<unsigned char> mask(s.voxels(), 0);
  for (int z : {1, 2, 24, 25})
    std::fill(mask.begin() + static_cast<std::ptrdiff_t>(z * plane),
              mask.begin() + static_cast<std::ptrdiff_t>((z + 1) * plane), 1);
  const int span = 3;
  const Filtered spanned = filter_both(noisy, s, p, 2, true, mask.data(), span);
  // The first `span` components alone, as a series of their own.
  const Series lead{s.rows, s.cols, s.slices, span};
  const std::vector<float> first(noisy.begin(),
                                 noisy.begin() + static_cast<std::ptrdiff_t>(lead.voxels() * span));
  const Filtered alone = filter_both(first, lead, p, 1, true, mask.data());
  // The span's components are those bits; the rest are 0 where a group
  // reached and the input where none did.
  EXPECT_TRUE(std::equal(alone.basic.begin(), alone.basic.end(), spanned.basic.begin()));
  EXPECT_TRUE(std::equal(alone.final.begin(), alone.final.end(), spanned.final.begin()));
  for (const std::vector<float>* v : {&spanned.basic, &spanned.final})
    for (int t = span; t < s.volumes; ++t) {
      const std::size_t volume = static_cast<std::size_t>(t) * s.voxels();
      for (int z : {1, 2})
        for (std::size_t i = 0; i < plane; ++i)
          ASSERT_EQ((*v)[volume + z * plane + i], 0.0f) << "volume " << t << " slice " << z;
      for (std::size_t i = 0; i < plane; ++i)
        ASSERT_EQ((*v)[volume + 12 * plane + i], noisy[volume + 12 * plane + i]) << "volume " << t;
    }
  // A span beyond the components (a series of two volumes): all of them.
  const Series two{24, 20, 6, 2};
  const std::vector<float> pair = low_rank(two, 4.0, 17);
  const Filtered wide = filter_both(pair, two, p, 1, true, nullptr, 10);
  const Filtered all = filter_both(pair, two, p, 1);
  EXPECT_EQ(wide.basic, all.basic);
  EXPECT_EQ(wide.final, all.final);
}

TEST(SeriesAcross, KaiserWindowOverTheCube) {
  // Along a side of 4 at beta 2: I0(2 sqrt(1 - x^2)) / I0(2) at x = -1,
  // -1/3, 1/3, 1.
  const double end = 1.0 / std::cyl_bessel_i(0.0, 2.0);
  const double inner = std::cyl_bessel_i(0.0, 2.0 * std::sqrt(8.0 / 9.0)) * end;
  const std::vector<double> w = zarvo::kaiser_window(4, 2, 2.0);
  ASSERT_EQ(w.size(), 32u);
  const auto at = [&](int m, int l, int d) {
    return w[static_cast<std::size_t>(d * 16 + l * 4 + m)];
  };
  EXPECT_NEAR(at(0, 0, 0), end * end * end, 1e-15);
  EXPECT_NEAR(at(1, 2, 1), inner * inner * end, 1e-15);  // depth 2: both slices at its ends
  EXPECT_NEAR(at(3, 1, 0), end * inner * end, 1e-15);
  for (int m = 0; m < 4; ++m)
    for (int l = 0; l < 4; ++l) EXPECT_DOUBLE_EQ(at(m, l, 0), at(3 - m, 3 - l, 1));
  // Beta 0 and a side of one voxel: no window.
  for (double v : zarvo::kaiser_window(3, 3, 0.0)) EXPECT_EQ(v, 1.0);
  for (double v : zarvo::kaiser_window(1, 1, 5.0)) EXPECT_EQ(v, 1.0);
}

TEST(SeriesAcross, WindowLeavesTheImagesBeforeItAndWeighsTheRest) {
  const Series s{30, 26, 14, 6};
  StageParams p;
  p.threshold = 3.0;
  std::vector<float> truth;
  const std::vector<float> noisy = low_rank(s, 4.0, 19, &truth);
  const int from = 2;
  const Filtered plain = filter_both(noisy, s, p, 1);
  const Filtered windowed = filter_both(noisy, s, p, 1, true, nullptr, 0, from);
  const std::size_t before = static_cast<std::size_t>(from) * s.voxels();
  // The first stage has no window; the Wiener stage's images before `from`
  // keep their bits, those from it on change but stay as close to the truth.
  EXPECT_EQ(windowed.basic, plain.basic);
  EXPECT_TRUE(std::equal(plain.final.begin(),
                         plain.final.begin() + static_cast<std::ptrdiff_t>(before),
                         windowed.final.begin()));
  const std::vector<float> rest_plain(plain.final.begin() + static_cast<std::ptrdiff_t>(before),
                                      plain.final.end());
  const std::vector<float> rest_windowed(
      windowed.final.begin() + static_cast<std::ptrdiff_t>(before), windowed.final.end());
  const std::vector<float> rest_truth(truth.begin() + static_cast<std::ptrdiff_t>(before),
                                      truth.end());
  EXPECT_NE(rest_windowed, rest_plain);
  EXPECT_LT(rms(rest_windowed, &rest_truth), 1.1 * rms(rest_plain, &rest_truth));
  // Beta 0 is no window at all; a window from beyond the components is none.
  EXPECT_EQ(filter_both(noisy, s, p, 1, true, nullptr, 0, from, 0.0).final, plain.final);
  EXPECT_EQ(filter_both(noisy, s, p, 1, true, nullptr, 0, s.volumes + 3).final, plain.final);
  // The same bits on any number of threads, and over its own pilot or not.
  EXPECT_EQ(filter_both(noisy, s, p, 3, true, nullptr, 0, from).final, windowed.final);
  EXPECT_EQ(filter_both(noisy, s, p, 2, false, nullptr, 0, from).final, windowed.final);
}

TEST(SeriesAcross, WindowedImagesAreDividedByTheWindowedWeights) {
  // A noise-free series far above the noise (every Wiener factor near 1):
  // each group returns its cubes nearly as they are, so the windowed
  // average of the estimates is the image itself only if the windowed sums
  // are divided by the windowed weights, in every component.
  const Series s{24, 20, 10, 5};
  StageParams p;
  p.threshold = 3.0;
  std::vector<float> truth;
  low_rank(s, 400.0, 23, &truth);
  const Filtered r = filter_both(truth, s, p, 2, true, nullptr, 0, 1, 4.0);
  for (int t = 0; t < s.volumes; ++t) {
    double error = 0, size = 0;
    for (std::size_t i = 0; i < s.voxels(); ++i) {
      const std::size_t at = static_cast<std::size_t>(t) * s.voxels() + i;
      error = std::max(error, static_cast<double>(std::fabs(r.final[at] - truth[at])));
      size = std::max(size, static_cast<double>(std::fabs(truth[at])));
    }
    EXPECT_LT(error, 0.01 * size) << "component " << t;
  }
}
