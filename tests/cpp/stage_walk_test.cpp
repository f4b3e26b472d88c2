// The threaded walk gives the single-threaded output bit for bit, reports its
// progress, and stops on cancellation; concurrent runs do not interfere.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "stage_helpers.h"
#include "stages/group_filters.h"
#include "stages/walker.h"

namespace zt = zarvo::test;
namespace zs = zarvo::stages;

namespace {

constexpr int rows = 14, cols = 13, slices = 7;
constexpr std::size_t voxels = rows * cols * slices;

struct Outputs {
  std::vector<double> estimate, noise_map;
};

// Runs one stage: kind 0 thr, 1 wie, 2 thr_rice, 3 wie_rice.
Outputs run(int kind, const zt::StageParams& p, const std::vector<double>& noisy,
            const std::vector<double>& basic, double sigma, const std::vector<double>& map,
            const zarvo::RunContext& context) {
  const zt::StageCall c(rows, cols, slices, p);
  Outputs o{std::vector<double>(voxels), std::vector<double>(voxels)};
  zs::RiceNoise rice;
  rice.levels = map.empty() ? &sigma : map.data();
  rice.count = map.empty() ? 1 : static_cast<int>(map.size());
  switch (kind) {
    case 0: {
      zs::ThrSettings s;
      s.threshold = p.threshold;
      s.sigma = sigma;
      zs::run_thr(c.geometry, c.transforms, s, noisy.data(), o.estimate.data(), o.noise_map.data(),
                  context);
      break;
    }
    case 1: {
      zs::WieSettings s;
      s.sigma = sigma;
      zs::run_wie(c.geometry, c.transforms, s, noisy.data(), basic.data(), o.estimate.data(),
                  o.noise_map.data(), context);
      break;
    }
    case 2: {
      zs::ThrRiceSettings s;
      s.threshold = p.threshold;
      s.noise = rice;
      zs::run_thr_rice(c.geometry, c.transforms, s, noisy.data(), o.estimate.data(),
                       o.noise_map.data(), context);
      break;
    }
    default: {
      zs::WieRiceSettings s;
      s.noise = rice;
      zs::run_wie_rice(c.geometry, c.transforms, s, noisy.data(), basic.data(), o.estimate.data(),
                       o.noise_map.data(), context);
    }
  }
  return o;
}

void expect_same_for_thread_counts(int kind, const zt::StageParams& p,
                                   const std::vector<double>& noisy,
                                   const std::vector<double>& basic, double sigma,
                                   const std::vector<double>& map = {}) {
  zarvo::RunContext one;
  const Outputs reference = run(kind, p, noisy, basic, sigma, map, one);
  for (int threads : {2, 3, 0}) {
    zarvo::RunContext many;
    many.threads = threads;
    const Outputs o = run(kind, p, noisy, basic, sigma, map, many);
    EXPECT_EQ(o.estimate, reference.estimate) << "stage " << kind << ", " << threads << " threads";
    EXPECT_EQ(o.noise_map, reference.noise_map)
        << "stage " << kind << ", " << threads << " threads";
  }
}

}  // namespace

TEST(ThreadedWalk, GaussianStagesMatchSingleThreadBitForBit) {
  zt::StageParams p;
  p.match_threshold = 0.5;
  const auto noisy = zt::random_volume(voxels, 11);
  const auto basic = zt::random_volume(voxels, 12, 1.0, 0.05);
  for (double sigma : {0.2, 0.0, -1.0}) {
    SCOPED_TRACE(sigma);
    expect_same_for_thread_counts(0, p, noisy, basic, sigma);
    expect_same_for_thread_counts(1, p, noisy, basic, sigma);
  }
  // Step 1: 660 reference cubes, several times the groups held ahead, so
  // that threads claim runs cut short by the ring as well as whole ones.
  p.step = 1;
  expect_same_for_thread_counts(0, p, noisy, basic, 0.2);
  expect_same_for_thread_counts(1, p, noisy, basic, -1.0);
}

TEST(ThreadedWalk, RicianStagesMatchSingleThreadBitForBit) {
  zt::StageParams p;
  p.match_threshold = 0.5;
  p.threshold = 2.0;
  const auto noisy = zt::random_volume(voxels, 21, 3.0, 1.0);
  const auto basic = zt::random_volume(voxels, 22, 3.0, 0.2);
  auto map = zt::random_volume(voxels, 23, 1.0, 0.1);
  map[5] = 0.0;  // a reference voxel without noise level
  for (int kind : {2, 3}) {
    expect_same_for_thread_counts(kind, p, noisy, basic, 0.0);       // adaptive
    expect_same_for_thread_counts(kind, p, noisy, basic, 0.0, map);  // a map
  }
}

TEST(ThreadedWalk, ConcurrentRunsDoNotInterfere) {
  zt::StageParams p;
  p.match_threshold = 0.5;
  const auto a = zt::random_volume(voxels, 31);
  const auto b = zt::random_volume(voxels, 32, 2.0, 0.5);
  zarvo::RunContext two;
  two.threads = 2;
  const Outputs ra = run(0, p, a, a, 0.2, {}, zarvo::RunContext{});
  const Outputs rb = run(2, p, b, b, 0.0, {}, zarvo::RunContext{});
  std::vector<Outputs> got(8);
  std::vector<std::thread> callers;
  for (int i = 0; i < 8; ++i)
    callers.emplace_back(
        [&, i] { got[i] = i % 2 ? run(2, p, b, b, 0.0, {}, two) : run(0, p, a, a, 0.2, {}, two); });
  for (auto& t : callers) t.join();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(got[i].estimate, (i % 2 ? rb : ra).estimate) << i;
}

TEST(WalkProgress, ReportsFromZeroToTheNumberOfReferenceCubes) {
  for (int threads : {1, 2}) {
    std::vector<long> done;
    long total = -1;
    zarvo::RunContext context;
    context.threads = threads;
    context.progress = [&](long d, long t) {
      done.push_back(d);
      total = t;
    };
    zt::StageParams p;  // cubes 4 x 4 x 2, step 2: bounds 11, 10, 6 give 6 * 6 * 4 positions
    run(0, p, zt::random_volume(voxels, 3), {}, 0.1, {}, context);
    EXPECT_EQ(total, 6 * 6 * 4);
    ASSERT_GE(done.size(), 2u);
    EXPECT_EQ(done.front(), 0);
    EXPECT_EQ(done.back(), total);
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
  }
}

TEST(WalkCancellation, StopsTheWalkOnEveryThreadCount) {
  for (int threads : {1, 3}) {
    std::atomic<bool> cancel{false};
    long last = 0;
    zarvo::RunContext context;
    context.threads = threads;
    context.cancel = &cancel;
    context.progress = [&](long done, long) {
      last = done;
      if (done > 0) cancel = true;
    };
    zt::StageParams p;
    p.step = 1;
    EXPECT_THROW(
        run(1, p, zt::random_volume(voxels, 4), zt::random_volume(voxels, 5), 0.1, {}, context),
        zarvo::Cancelled);
    EXPECT_GT(last, 0);
    EXPECT_LT(last, 11L * 10 * 6) << "the walk went on to its end";
  }
}

// The accumulators hold a moving band of slices, each normalised into the
// output once no later group can reach it; on a volume many bands deep the
// result is bit for bit the one of accumulators holding every slice.
TEST(BandedAccumulators, DeepVolumeMatchesWholeVolumeSums) {
  const int deep = 45;
  const std::size_t n = static_cast<std::size_t>(rows) * cols * deep;
  zt::StageParams p;  // half-width 3, depth 2: a band of 8 slices
  p.match_threshold = 0.4;
  const auto noisy = zt::random_volume(n, 41, 3.0, 0.6);
  const auto basic = zt::random_volume(n, 42, 3.0, 0.1);
  const zt::StageCall c(rows, cols, deep, p);
  const zs::Layout layout(c.geometry);
  for (int kind = 0; kind < 4; ++kind)
    for (double sigma : {0.4, 0.0})
      for (int threads : {1, 3}) {
        std::vector<double> got[2], map[2];
        for (int whole = 0; whole < 2; ++whole) {
          got[whole].assign(n, -1.0);
          map[whole].assign(n, -1.0);
          const bool adaptive = sigma == 0.0;
          zs::Accumulators acc = zs::allocate_accumulators(layout, adaptive, whole ? deep : 0);
          EXPECT_EQ(acc.band, whole ? deep : 8);
          zarvo::RunContext context;
          context.threads = threads;
          zs::RiceNoise rice{&sigma, 1};
          const zs::Output out{kind == 1 ? basic.data() : noisy.data(), got[whole].data(),
                               map[whole].data()};
          const zs::StageKind kinds[] = {zs::StageKind::thr, zs::StageKind::wie,
                                         zs::StageKind::thr_rice, zs::StageKind::wie_rice};
          zs::filter_and_aggregate(
              layout, kinds[kind], sigma,
              [&](int x, int y, int z, double& level, zs::Workspace& w, zs::GroupResult& r) {
                if (kind == 0) {
                  zs::ThrSettings s;
                  s.threshold = p.threshold;
                  s.sigma = sigma;
                  zs::filter_thr_group(layout, c.transforms, s, noisy.data(), x, y, z, level, w, r);
                } else if (kind == 1) {
                  zs::WieSettings s;
                  s.sigma = sigma;
                  zs::filter_wie_group(layout, c.transforms, s, noisy.data(), basic.data(), x, y, z,
                                       level, w, r);
                } else if (kind == 2) {
                  zs::ThrRiceSettings s;
                  s.threshold = p.threshold;
                  s.noise = rice;
                  zs::filter_thr_rice_group(layout, c.transforms, s, noisy.data(), x, y, z, w, r);
                } else {
                  zs::WieRiceSettings s;
                  s.noise = rice;
                  zs::filter_wie_rice_group(layout, c.transforms, s, noisy.data(), basic.data(), x,
                                            y, z, w, r);
                }
              },
              acc, out, context);
        }
        EXPECT_EQ(got[0], got[1]) << "stage " << kind << ", sigma " << sigma << ", " << threads;
        EXPECT_EQ(map[0], map[1]) << "stage " << kind << ", sigma " << sigma << ", " << threads;
        EXPECT_EQ(std::count(got[0].begin(), got[0].end(), -1.0), 0) << "voxels never written";
      }
}

// A search half-width far beyond the volume (up to the largest int) gives,
// for every stage, the output of a half-width just past the volume's extent
// (it once overflowed the window arithmetic and corrupted the heap).
TEST(WalkSearch, HugeHalfWidthGivesTheWholeVolumeWindow) {
  const auto noisy = zt::random_volume(voxels, 51);
  const auto basic = zt::random_volume(voxels, 52, 1.0, 0.05);
  zt::StageParams p;
  p.match_threshold = 0.5;
  for (int kind = 0; kind < 4; ++kind) {
    p.search = rows;
    const Outputs whole = run(kind, p, noisy, basic, 0.2, {}, {});
    for (int huge : {(1 << 30) - 1, 2147483647}) {
      p.search = huge;
      zarvo::RunContext two;
      two.threads = 2;
      const Outputs o = run(kind, p, noisy, basic, 0.2, {}, two);
      EXPECT_EQ(o.estimate, whole.estimate) << "stage " << kind << ", half-width " << huge;
      EXPECT_EQ(o.noise_map, whole.noise_map) << "stage " << kind << ", half-width " << huge;
    }
  }
}

// Steps below 1, down to the lowest int, walk every position as a step of 1
// does.
TEST(WalkSearch, StepsBelowOneWalkEveryPosition) {
  const auto noisy = zt::random_volume(voxels, 53);
  zt::StageParams p;
  p.match_threshold = 0.5;
  p.step = 1;
  const Outputs every = run(0, p, noisy, {}, 0.2, {}, {});
  for (int step : {0, -7, -2147483647 - 1}) {
    p.step = step;
    EXPECT_EQ(run(0, p, noisy, {}, 0.2, {}, {}).estimate, every.estimate) << "step " << step;
  }
}
