// The joint series mode run phase by phase, as a front end spreading a
// series over processes runs it: the same bits as denoise(), whatever the
// threads of each phase; and the phases refuse what does not belong
// together.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "zarvo/joint_phases.h"
#include "zarvo/pipeline.h"

namespace {

zarvo::Shape series_shape() {
  zarvo::Shape s;
  s.ndims = 4;
  s.rows = 22;
  s.cols = 18;
  s.slices = 6;
  s.volumes = 8;  // more than the leading components
  return s;
}

// A smooth anatomy whose contrast changes from volume to volume, with
// Rician noise whose level grows along the rows (a level map finds it).
// `slow`: the contrast between volumes is a drift growing along the rows,
// as in a time series (its trailing axes are then ordered by smoothness).
std::vector<double> noisy_series(const zarvo::Shape& s, double sigma, bool slow = false) {
  std::mt19937 gen(7);
  std::normal_distribution<double> d(0.0, 1.0);
  std::vector<double> v(s.volume_voxels() * s.volumes);
  std::size_t i = 0;
  for (int t = 0; t < s.volumes; ++t)
    for (int z = 0; z < s.slices; ++z)
      for (int y = 0; y < s.cols; ++y)
        for (int x = 0; x < s.rows; ++x, ++i) {
          const double clean = (x > s.rows / 2 ? 16.0 : 10.0) * (1.0 - 0.08 * t) +
                               (slow ? 2.0 * std::sin(0.5 * y) + 8.0 * x / s.rows * t / s.volumes
                                     : 2.0 * std::sin(0.5 * y + t));
          const double level = sigma * (0.6 + x / static_cast<double>(s.rows));
          v[i] = std::hypot(clean + level * d(gen), level * d(gen));
        }
  return v;
}

zarvo::DenoiseOptions joint_options(const zarvo::Shape& s) {
  zarvo::DenoiseOptions o;
  o.noise = zarvo::Noise::rician;
  o.series = zarvo::SeriesMode::joint;
  o.noise_map = true;
  o.mask.assign(s.volume_voxels(), 1);
  for (std::size_t i = 0; i < o.mask.size(); i += 7) o.mask[i] = 0;
  o.mask_shape = s;
  o.mask_shape.volumes = 1;
  return o;
}

struct Collected {
  std::vector<double> out, noise_map;
  zarvo::VolumeSink sink() {
    return [this](int, const double* e, const double* m) {
      out.insert(out.end(), e, e + n);
      noise_map.insert(noise_map.end(), m, m + n);
    };
  }
  std::size_t n;
};

struct Case {
  const char* name;
  zarvo::DenoiseOptions options;
  bool slow = false;
};

TEST(JointPhases, PreparedAndFinishedApartGiveDenoisesBits) {
  const zarvo::Shape s = series_shape();
  const std::size_t n = s.volume_voxels();
  const std::vector<double> plain = noisy_series(s, 1.5), slow = noisy_series(s, 1.5, true);

  std::vector<Case> cases;
  cases.push_back({"rician, mask, levels estimated", joint_options(s)});
  cases.push_back({"gaussian, level map estimated", joint_options(s)});
  cases.back().options.noise = zarvo::Noise::gaussian;
  cases.back().options.mask.clear();
  cases.back().options.sigma_scope = zarvo::SigmaScope::voxel;
  cases.push_back({"basic only, level given", joint_options(s)});
  cases.back().options.basic_only = true;
  cases.back().options.sigma = {1.5};
  // A given map, one per volume, that varies in space and along the series.
  zarvo::Shape map_shape = s;
  std::vector<double> levels(n * static_cast<std::size_t>(s.volumes));
  for (std::size_t i = 0; i < levels.size(); ++i)
    levels[i] = 1.2 + 0.6 * static_cast<double>(i % static_cast<std::size_t>(s.rows)) / s.rows +
                0.05 * static_cast<double>(i / n);
  const zarvo::SeriesInput given_map =
      zarvo::series_input(zarvo::ArrayView::column_major(levels.data(), map_shape));
  cases.push_back({"rician, mask, level map given", joint_options(s)});
  cases.back().options.sigma_map = &given_map;
  cases.push_back({"time series, smooth trailing axes", joint_options(s), true});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const zarvo::DenoiseOptions& o = c.options;
    const zarvo::SeriesInput input =
        zarvo::series_input(zarvo::ArrayView::column_major((c.slow ? slow : plain).data(), s));
    Collected whole{{}, {}, n};
    const zarvo::DenoiseReport expected = zarvo::denoise(input, o, whole.sink());

    std::vector<int> levels_told, filtered_told;
    zarvo::PipelineEvents told;
    told.level = [&](int t, const zarvo::VolumeReport&) { levels_told.push_back(t); };
    told.stage = [&](int k, int stage, int, const char*) {
      if (stage == 0) filtered_told.push_back(k);
    };
    std::vector<float> prepared(n * s.volumes), filtered(n * s.volumes, std::nanf(""));
    zarvo::RunContext three;  // denoise() above ran on every core
    three.threads = 3;
    const zarvo::JointPlan plan =
        zarvo::joint_prepare(input, o, prepared.data(), filtered.data(), three, told);
    EXPECT_EQ(levels_told, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    // Every component is filtered when prepared: its groups are filtered
    // across all of them at once.
    EXPECT_EQ(filtered_told, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(plan.smooth_from < s.volumes, c.slow);
    EXPECT_EQ(plan.level_map.size(), o.sigma_scope == zarvo::SigmaScope::voxel ? n : 0u);
    for (float v : filtered) ASSERT_FALSE(std::isnan(v));

    Collected apart{{}, {}, n};
    const zarvo::DenoiseReport report =
        zarvo::joint_finish(input, o, plan, prepared.data(), filtered.data(), apart.sink());
    EXPECT_EQ(apart.out, whole.out);
    EXPECT_EQ(apart.noise_map, whole.noise_map);
    EXPECT_EQ(report.pooled, expected.pooled);
    // A time series is told that a weak slow signal may be attenuated, by
    // both ways of running; other series are told nothing.
    EXPECT_EQ(report.notes, expected.notes);
    EXPECT_EQ(zarvo::joint_notes(plan), expected.notes);
    ASSERT_EQ(expected.notes.size(), c.slow ? 1u : 0u);
    if (c.slow) {
      EXPECT_NE(expected.notes[0].find("'volumes'"), std::string::npos);
    }
    ASSERT_EQ(report.volumes.size(), expected.volumes.size());
    for (std::size_t t = 0; t < report.volumes.size(); ++t) {
      EXPECT_EQ(report.volumes[t].sigma, expected.volumes[t].sigma);
      EXPECT_EQ(report.volumes[t].source, expected.volumes[t].source);
    }
  }
}

TEST(JointPhases, RefuseWhatDoesNotBelongTogether) {
  const zarvo::Shape s = series_shape();
  const std::vector<double> noisy = noisy_series(s, 1.5);
  const zarvo::SeriesInput input =
      zarvo::series_input(zarvo::ArrayView::column_major(noisy.data(), s));
  zarvo::DenoiseOptions o = joint_options(s);
  o.sigma = {1.5};
  std::vector<float> prepared(s.volume_voxels() * s.volumes), filtered(prepared.size());
  const zarvo::JointPlan plan = zarvo::joint_prepare(input, o, prepared.data(), filtered.data());

  zarvo::JointPlan other = plan;
  for (int from : {0, s.volumes + 1}) {
    other = plan;
    other.smooth_from = from;
    EXPECT_THROW(zarvo::joint_finish(input, o, other, prepared.data(), filtered.data(), {}),
                 zarvo::Error)
        << from;
  }
  other = plan;
  other.volumes.pop_back();
  EXPECT_THROW(zarvo::joint_finish(input, o, other, prepared.data(), filtered.data(), {}),
               zarvo::Error);

  zarvo::DenoiseOptions by_volume = o;
  by_volume.series = zarvo::SeriesMode::volumes;
  EXPECT_THROW(zarvo::joint_prepare(input, by_volume, prepared.data(), filtered.data()),
               zarvo::Error);
  zarvo::Shape one = s;
  one.volumes = 1;
  const zarvo::SeriesInput single =
      zarvo::series_input(zarvo::ArrayView::column_major(noisy.data(), one));
  EXPECT_THROW(zarvo::joint_prepare(single, o, prepared.data(), filtered.data()), zarvo::Error);
}

}  // namespace
