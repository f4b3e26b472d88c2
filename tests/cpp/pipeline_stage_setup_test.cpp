// The setup every run of the stages shares (denoise() and each joint phase):
// the parameters fitted to the image, the thread choice and its note, the
// transforms pointing into the setup's own matrices; the options with an
// estimated level map; and a bad level map refused in either series mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "stage_setup.h"
#include "zarvo/joint_phases.h"
#include "zarvo/pipeline.h"

extern "C" void openblas_set_num_threads(int count) __attribute__((weak));

namespace {

zarvo::Shape shape_of(int rows, int cols, int slices, int volumes) {
  zarvo::Shape s;
  s.ndims = volumes > 1 ? 4 : slices > 1 ? 3 : 2;
  s.rows = rows;
  s.cols = cols;
  s.slices = slices;
  s.volumes = volumes;
  return s;
}

TEST(StageSetup, ParametersFittedAndTransformsIntoItsOwnMatrices) {
  const zarvo::Shape s = shape_of(3, 40, 1, 1);  // a slice narrower than a cube
  const zarvo::Params& asked = zarvo::default_params();
  const zarvo::RunSetup setup(s, asked, zarvo::RunContext(), {});
  EXPECT_EQ(setup.params.cube, 3);
  EXPECT_EQ(setup.params.depth, 1);
  EXPECT_EQ(setup.params.group1, asked.group1);
  EXPECT_EQ(setup.matrices.slice, zarvo::dct_matrix(3));
  EXPECT_EQ(setup.matrices.depth, zarvo::dct_matrix(1));
  EXPECT_EQ(setup.transforms.slice_forward, setup.matrices.slice.data());
  EXPECT_EQ(setup.transforms.slice_inverse, setup.matrices.slice.data());
  EXPECT_EQ(setup.transforms.depth_forward, setup.matrices.depth.data());
  const int largest = std::max(asked.group1, asked.group2);
  ASSERT_EQ(setup.matrices.haar.size(), static_cast<std::size_t>(std::log2(largest)) + 1);
  for (std::size_t i = 0; i < setup.matrices.haar.size(); ++i) {
    EXPECT_EQ(setup.matrices.haar[i], zarvo::haar_matrix(1 << i)) << i;
    EXPECT_EQ(setup.transforms.group_forward[i], setup.matrices.haar[i].data()) << i;
  }
}

// A volume of too few reference cubes for the threads asked: one thread,
// and the caller told why; not told when nobody asked for a count (every
// core).
TEST(StageSetup, ThreadsClampedToTheWorkWithANoteWhenAsked) {
  const zarvo::Shape s = shape_of(8, 8, 1, 1);
  std::vector<std::string> notes;
  zarvo::PipelineEvents events;
  events.note = [&](const std::string& text) { notes.push_back(text); };
  zarvo::RunContext asked;
  asked.threads = 2;
  const zarvo::RunSetup setup(s, zarvo::default_params(), asked, events);
  EXPECT_EQ(setup.context.threads, 1);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("using 1 thread"), std::string::npos) << notes[0];

  notes.clear();
  zarvo::RunContext every_core;
  every_core.threads = 0;
  const zarvo::RunSetup quiet(s, zarvo::default_params(), every_core, events);
  EXPECT_EQ(quiet.context.threads, 1);
  EXPECT_TRUE(notes.empty());
}

TEST(StageSetup, EstimatedMapTakesThePlaceOfAGivenOne) {
  const zarvo::Shape s = shape_of(4, 3, 2, 5);
  zarvo::DenoiseOptions o;
  o.noise = zarvo::Noise::rician;
  o.sigma_scope = zarvo::SigmaScope::voxel;
  o.mask.assign(s.volume_voxels(), 1);
  EXPECT_TRUE(zarvo::estimates_map(o));

  const zarvo::WithMap none(o, s, {});
  EXPECT_EQ(&none.options(), &o);

  std::vector<double> level_map(s.volume_voxels());
  for (std::size_t i = 0; i < level_map.size(); ++i) level_map[i] = 0.5 + i;
  const zarvo::WithMap with(o, s, level_map);
  const zarvo::DenoiseOptions& used = with.options();
  EXPECT_EQ(o.sigma_map, nullptr);  // the caller's options untouched
  ASSERT_NE(used.sigma_map, nullptr);
  EXPECT_EQ(used.noise, o.noise);
  EXPECT_EQ(used.mask, o.mask);
  const zarvo::Shape& m = used.sigma_map->shape;
  EXPECT_EQ(m.rows, s.rows);
  EXPECT_EQ(m.cols, s.cols);
  EXPECT_EQ(m.slices, s.slices);
  EXPECT_EQ(m.volumes, 1);
  std::vector<double> read(s.volume_voxels(), -1.0);
  used.sigma_map->read(0, read.data());
  EXPECT_EQ(read, level_map);

  // A level or a map given: nothing estimated.
  zarvo::DenoiseOptions given = o;
  given.sigma = {2.0};
  EXPECT_FALSE(zarvo::estimates_map(given));
  const zarvo::SeriesInput unread{s, [](int, double*) { FAIL() << "input read"; }};
  EXPECT_TRUE(zarvo::estimated_map(unread, given, 1).empty());
  given = o;
  given.sigma_map = with.options().sigma_map;
  EXPECT_FALSE(zarvo::estimates_map(given));
  given = o;
  given.sigma_scope = zarvo::SigmaScope::series;
  EXPECT_FALSE(zarvo::estimates_map(given));
}

// The front ends check a map file; the engine refuses a bad map itself, in
// both series modes, with the same words.
TEST(StageSetup, BadLevelMapRefusedInEitherSeriesMode) {
  const zarvo::Shape s = shape_of(12, 10, 6, 3);
  const std::size_t n = s.volume_voxels();
  std::vector<double> series(n * s.volumes);
  for (std::size_t i = 0; i < series.size(); ++i) series[i] = 10.0 + (i * 7919 % 13);
  const zarvo::SeriesInput input =
      zarvo::series_input(zarvo::ArrayView::column_major(series.data(), s));
  for (double bad : {-1.0, double(NAN)}) {
    std::vector<double> levels(n, 1.0);
    levels[n / 2] = bad;
    zarvo::Shape ms = s;
    ms.volumes = 1;
    const zarvo::SeriesInput map =
        zarvo::series_input(zarvo::ArrayView::column_major(levels.data(), ms));
    for (zarvo::SeriesMode mode : {zarvo::SeriesMode::volumes, zarvo::SeriesMode::joint}) {
      zarvo::DenoiseOptions o;
      o.noise = zarvo::Noise::rician;
      o.series = mode;
      o.sigma_map = &map;
      int delivered = 0;
      try {
        zarvo::denoise(input, o, [&](int, const double*, const double*) { ++delivered; });
        ADD_FAILURE() << "accepted " << bad;
      } catch (const zarvo::Error& e) {
        EXPECT_STREQ(e.what(), "the noise level map holds negative or non-finite levels");
      }
      EXPECT_EQ(delivered, 0);
    }
  }
}

// A front end that loads the BLAS with several threads (Python, Octave):
// the engine runs it on one (the command's bits), in both series modes and
// the joint phases, nested or not, and gives the caller's count back.
TEST(StageSetup, BlasOnOneThreadWhileTheEngineRuns) {
  if (!openblas_set_num_threads) GTEST_SKIP() << "the BLAS has no settable thread count";
  const int caller = zarvo::blas_threads();
  openblas_set_num_threads(2);
  if (zarvo::blas_threads() != 2) GTEST_SKIP() << "the BLAS keeps one thread";

  const zarvo::Shape s = shape_of(16, 14, 6, 4);
  std::vector<double> series(s.volume_voxels() * s.volumes);
  for (std::size_t i = 0; i < series.size(); ++i)
    series[i] = 20.0 + 5.0 * std::sin(0.1 * i) + (i * 7919 % 13) * 0.3;
  const zarvo::SeriesInput input =
      zarvo::series_input(zarvo::ArrayView::column_major(series.data(), s));
  std::vector<int> inside;
  zarvo::PipelineEvents events;
  events.level = [&](int, const zarvo::VolumeReport&) { inside.push_back(zarvo::blas_threads()); };
  for (zarvo::SeriesMode mode : {zarvo::SeriesMode::volumes, zarvo::SeriesMode::joint}) {
    zarvo::DenoiseOptions o;
    o.series = mode;
    o.sigma_scope = zarvo::SigmaScope::voxel;
    o.noise = zarvo::Noise::rician;
    zarvo::denoise(
        input, o, [](int, const double*, const double*) {}, zarvo::RunContext(), events);
    EXPECT_EQ(zarvo::blas_threads(), 2);
  }
  {
    const zarvo::SingleBlasThread outer;
    EXPECT_EQ(zarvo::blas_threads(), 1);
    { const zarvo::SingleBlasThread inner; }
    EXPECT_EQ(zarvo::blas_threads(), 1);  // the inner one leaves it to the outer
  }
  EXPECT_EQ(zarvo::blas_threads(), 2);
  zarvo::DenoiseOptions o;
  o.series = zarvo::SeriesMode::joint;
  std::vector<float> prepared(series.size()), filtered(series.size());
  zarvo::joint_prepare(input, o, prepared.data(), filtered.data(), zarvo::RunContext(), events);
  EXPECT_EQ(zarvo::blas_threads(), 2);
  zarvo::estimate_series_sigma_map(input, zarvo::Noise::gaussian, nullptr, 2);
  EXPECT_EQ(zarvo::blas_threads(), 2);

  EXPECT_EQ(inside.size(), 3u * s.volumes);
  for (int count : inside) EXPECT_EQ(count, 1);
  openblas_set_num_threads(caller);
}

}  // namespace
