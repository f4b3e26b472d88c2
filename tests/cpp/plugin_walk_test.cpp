// The plug-ins through the stand-alone host: the threaded walk gives the
// single-threaded output bit for bit, and the walk reports its progress.
#include <gtest/gtest.h>

#include "plugin_helpers.h"
#include "stages/progress.h"
#include "stages/walker.h"

namespace zt = zarvo::test;
namespace sa = zarvo::standalone;

namespace {

struct Outputs {
  std::vector<double> estimate, noise_map;
};

Outputs run(sa::EntryPoint entry, const zt::Args& args, int threads) {
  zarvo::stages::set_walk_threads(threads);
  sa::CallResult r = sa::call(entry, args.inputs(), 2);
  zarvo::stages::set_walk_threads(1);
  EXPECT_TRUE(r.ok) << r.message;
  if (!r.ok) return {};
  return {sa::values(r.outputs[0].get()), sa::values(r.outputs[1].get())};
}

const std::vector<std::size_t> dims = {14, 13, 7};
const std::size_t voxels = 14 * 13 * 7;

void expect_same_for_thread_counts(sa::EntryPoint entry, const zt::Args& args) {
  const Outputs one = run(entry, args, 1);
  ASSERT_FALSE(one.estimate.empty());
  for (int threads : {2, 3}) {
    const Outputs many = run(entry, args, threads);
    EXPECT_EQ(many.estimate, one.estimate) << threads << " threads";
    EXPECT_EQ(many.noise_map, one.noise_map) << threads << " threads";
  }
}

}  // namespace

TEST(ThreadedWalk, GaussianStagesMatchSingleThreadBitForBit) {
  zt::Params p;
  p.tau = 0.5;
  const auto noisy = zt::random_volume(voxels, 11);
  const auto basic = zt::random_volume(voxels, 12, 1.0, 0.05);
  for (double sigma : {0.2, 0.0, -1.0}) {
    SCOPED_TRACE(sigma);
    expect_same_for_thread_counts(
        zarvo_thr_mex::mexFunction,
        zt::first_stage(sa::make_array(dims, noisy), sa::make_scalar(sigma), p));
    expect_same_for_thread_counts(
        zarvo_wie_mex::mexFunction,
        zt::second_stage(sa::make_array(dims, noisy), sa::make_array(dims, basic),
                         sa::make_scalar(sigma), p));
  }
}

TEST(ThreadedWalk, RicianStagesMatchSingleThreadBitForBit) {
  zt::Params p;
  p.tau = 0.5;
  p.lambda4D = 2.0;
  const auto noisy = zt::random_volume(voxels, 21, 3.0, 1.0);
  const auto basic = zt::random_volume(voxels, 22, 3.0, 0.2);
  auto map = zt::random_volume(voxels, 23, 1.0, 0.1);
  map[5] = 0.0;  // a reference voxel without noise level
  for (int adaptive = 0; adaptive < 2; ++adaptive) {
    auto noise = [&] {
      return adaptive ? sa::make_scalar(0.0) : sa::make_array(dims, map);
    };
    expect_same_for_thread_counts(
        zarvo_thr_rice_mex::mexFunction,
        zt::first_stage(sa::make_array(dims, noisy), noise(), p));
    expect_same_for_thread_counts(
        zarvo_wie_rice_mex::mexFunction,
        zt::second_stage(sa::make_array(dims, noisy), sa::make_array(dims, basic), noise(), p));
  }
}

TEST(WalkProgress, ReportsFromZeroToTheNumberOfReferenceCubes) {
  struct Seen {
    std::vector<long> done;
    long total = -1;
  } seen;
  zarvo::stages::set_progress_observer(
      [](void* ctx, long done, long total) {
        auto* s = static_cast<Seen*>(ctx);
        s->done.push_back(done);
        s->total = total;
      },
      &seen);
  zt::Params p;  // cubes 4 x 4 x 2, step 2: bounds 11, 10, 6 give 6 * 6 * 4 positions
  sa::CallResult r = sa::call(
      zarvo_thr_mex::mexFunction,
      zt::first_stage(sa::make_array(dims, zt::random_volume(voxels, 3)), sa::make_scalar(0.1), p)
          .inputs(),
      2);
  zarvo::stages::set_progress_observer(nullptr, nullptr);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(seen.total, 6 * 6 * 4);
  ASSERT_GE(seen.done.size(), 2u);
  EXPECT_EQ(seen.done.front(), 0);
  EXPECT_EQ(seen.done.back(), seen.total);
  EXPECT_TRUE(std::is_sorted(seen.done.begin(), seen.done.end()));
}
