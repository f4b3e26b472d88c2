// Groups matched once and handed to the Gaussian stages: the table holds
// what the stages' own matching finds, for any number of threads; a stage
// given the groups its own matching would find gives its plain output bit
// for bit; a table matched on one volume filters another the same way on any
// number of threads; a table of another walk is refused.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "stage_helpers.h"
#include "stages/stage.h"

namespace zt = zarvo::test;
namespace zs = zarvo::stages;

namespace {

constexpr int rows = 15, cols = 13, slices = 9;
constexpr std::size_t voxels = rows * cols * slices;

// Cases whose walks differ: group sizes cut by the match threshold, a step
// that leaves a remainder, matching within slices, a mask.
struct Case {
  const char* name;
  zt::StageParams p;
  bool masked;
};

std::vector<Case> cases() {
  std::vector<Case> c(4);
  c[0].name = "threshold";
  c[0].p.match_threshold = 0.9;
  c[1].name = "step 3";
  c[1].p.step = 3;
  c[1].p.match_threshold = 2.0;
  c[2].name = "synchronous";
  c[2].p.synchronous = true;
  c[3].name = "mask";
  c[3].masked = true;
  c[3].p.match_threshold = 1.5;
  for (Case& k : c) k.p.largest_group = 16;
  return c;
}

// A volume with structure (a ramp and a step) and noise, so that groups
// differ from reference to reference.
std::vector<double> textured(unsigned seed, double sd) {
  std::vector<double> v = zt::random_volume(voxels, seed, 0.0, sd);
  for (std::size_t i = 0; i < voxels; ++i) {
    const int r = static_cast<int>(i % rows), s = static_cast<int>(i / (rows * cols));
    v[i] += 0.1 * r + (s > slices / 2 ? 1.0 : 0.0);
  }
  return v;
}

std::vector<unsigned char> half_mask() {
  std::vector<unsigned char> m(voxels, 0);
  for (std::size_t i = 0; i < voxels; ++i) m[i] = (i % rows) < rows / 2 && (i / rows) % cols > 3;
  return m;
}

zarvo::RunContext threads(int n) {
  zarvo::RunContext c;
  c.threads = n;
  return c;
}

std::vector<double> thr(const zt::StageCall& c, const zt::StageParams& p,
                        const std::vector<double>& noisy, const zs::GroupTable* groups,
                        const zarvo::RunContext& context) {
  zs::ThrSettings s;
  s.threshold = p.threshold;
  s.sigma = 0.3;
  s.groups = groups;
  std::vector<double> out(voxels);
  zs::run_thr(c.geometry, c.transforms, s, noisy.data(), out.data(), nullptr, context);
  return out;
}

std::vector<double> wie(const zt::StageCall& c, const std::vector<double>& noisy,
                        const std::vector<double>& basic, const zs::GroupTable* groups,
                        const zarvo::RunContext& context) {
  zs::WieSettings s;
  s.sigma = 0.3;
  s.groups = groups;
  std::vector<double> out(voxels);
  zs::run_wie(c.geometry, c.transforms, s, noisy.data(), basic.data(), out.data(), nullptr,
              context);
  return out;
}

TEST(GroupTable, HoldsTheGroupsTheStagesMatchForAnyThreadCount) {
  const std::vector<double> volume = textured(3, 0.3);
  const std::vector<unsigned char> mask = half_mask();
  for (const Case& k : cases()) {
    zt::StageCall c(rows, cols, slices, k.p);
    if (k.masked) c.geometry.mask = mask.data();
    const zs::Layout g(c.geometry);
    zs::Workspace w = zs::allocate_workspace(g, zs::StageKind::thr);
    std::vector<std::uint16_t> kept(3 * static_cast<std::size_t>(k.p.largest_group));
    for (int n : {1, 2, 3}) {
      const zs::GroupTable table = zs::match_groups(c.geometry, volume.data(), threads(n));
      long references = 0, partial = 0;
      zs::walk(g, [&](int x, int y, int z) {
        ++references;
        const int L = table.group(x, y, z, kept.data());
        const int own = zs::find_group(g, volume.data(), x, y, z, w);
        partial += own < k.p.largest_group;
        ASSERT_EQ(L, own) << k.name << ", " << n << " threads, at " << x << "," << y << "," << z;
        for (int i = 0; i < 3 * L; ++i) ASSERT_EQ(kept[i], w.positions[i]) << k.name;
      });
      EXPECT_GT(references, 10) << k.name;
      if (k.p.match_threshold < 1e9) {
        EXPECT_GT(partial, 0) << k.name << ": every group full";
      }
    }
    // Positions off the walk's grid hold no group.
    if (k.p.step > 1 && !k.masked) {
      const zs::GroupTable table = zs::match_groups(c.geometry, volume.data());
      EXPECT_EQ(table.group(2, 1, 1, kept.data()), 0) << k.name;
      EXPECT_EQ(table.group(0, 1, 1, kept.data()), 0) << k.name;
      EXPECT_EQ(table.group(1, 1, slices + 1, kept.data()), 0) << k.name;
    }
  }
}

TEST(GroupTable, MatchingStopsWhenTheRunIsCancelled) {
  const std::vector<double> volume = textured(3, 0.3);
  zt::StageCall c(rows, cols, slices, cases().front().p);
  const std::atomic<bool> stop{true};
  for (int n : {1, 2}) {
    zarvo::RunContext context = threads(n);
    context.cancel = &stop;
    EXPECT_THROW(zs::match_groups(c.geometry, volume.data(), context), zarvo::Cancelled) << n;
  }
}

TEST(GroupTable, StagesGivenTheirOwnGroupsGiveTheirPlainOutput) {
  const std::vector<double> noisy = textured(5, 0.3);
  const std::vector<unsigned char> mask = half_mask();
  for (const Case& k : cases()) {
    zt::StageCall c(rows, cols, slices, k.p);
    if (k.masked) c.geometry.mask = mask.data();
    for (int n : {1, 2}) {
      const std::vector<double> basic = thr(c, k.p, noisy, nullptr, threads(n));
      const zs::GroupTable hard = zs::match_groups(c.geometry, noisy.data(), threads(n));
      EXPECT_EQ(thr(c, k.p, noisy, &hard, threads(n)), basic) << k.name << ", " << n;
      const std::vector<double> final = wie(c, noisy, basic, nullptr, threads(n));
      const zs::GroupTable wiener = zs::match_groups(c.geometry, basic.data(), threads(n));
      EXPECT_EQ(wie(c, noisy, basic, &wiener, threads(n)), final) << k.name << ", " << n;
      // The groups of the noisy volume are not the basic estimate's: the
      // Wiener stage does use the table it is given.
      EXPECT_NE(wie(c, noisy, basic, &hard, threads(n)), final) << k.name << ", " << n;
    }
  }
}

TEST(GroupTable, SharedGroupsGiveTheSameBitsForAnyThreadCount) {
  // Groups matched on a clear guide, filtering a noisier image of the same
  // structure, as the component images of a series share them.
  const std::vector<double> guide = textured(7, 0.05), other = textured(8, 0.6);
  for (const Case& k : cases()) {
    zt::StageCall c(rows, cols, slices, k.p);
    const std::vector<unsigned char> mask = half_mask();
    if (k.masked) c.geometry.mask = mask.data();
    const zs::GroupTable hard1 = zs::match_groups(c.geometry, guide.data(), threads(1));
    const std::vector<double> basic = thr(c, k.p, other, &hard1, threads(1));
    const std::vector<double> final = wie(c, other, basic, &hard1, threads(1));
    EXPECT_NE(basic, thr(c, k.p, other, nullptr, threads(1))) << k.name << ": table not used";
    for (int n : {2, 3}) {
      const zs::GroupTable hard = zs::match_groups(c.geometry, guide.data(), threads(n));
      const std::vector<double> b = thr(c, k.p, other, &hard, threads(n));
      EXPECT_EQ(b, basic) << k.name << ", " << n << " threads";
      EXPECT_EQ(wie(c, other, b, &hard, threads(n)), final) << k.name << ", " << n << " threads";
    }
  }
}

TEST(GroupTable, ATableOfAnotherWalkIsRefused) {
  const zt::StageParams p;
  const std::vector<double> noisy = textured(9, 0.3);
  const zt::StageCall c(rows, cols, slices, p);
  const zs::GroupTable table = zs::match_groups(c.geometry, noisy.data());
  EXPECT_TRUE(table.fits(c.geometry));
  EXPECT_GT(table.bytes(), 0u);
  // Matching parameters other than the walk's may differ.
  zt::StageCall looser(rows, cols, slices, p);
  looser.geometry.match_threshold = 0.5;
  EXPECT_TRUE(table.fits(looser.geometry));
  EXPECT_NO_THROW(thr(looser, p, noisy, &table, threads(1)));

  std::vector<unsigned char> mask(voxels, 1);
  const auto refused = [&](const char* what, auto change) {
    zt::StageCall other(rows, cols, slices, p);
    change(other.geometry);
    EXPECT_FALSE(table.fits(other.geometry)) << what;
    EXPECT_THROW(thr(other, p, noisy, &table, threads(1)), zarvo::Error) << what;
    EXPECT_THROW(wie(other, noisy, noisy, &table, threads(2)), zarvo::Error) << what;
  };
  refused("step", [](zs::Geometry& g) { g.step = 3; });
  refused("group size", [](zs::Geometry& g) { g.largest_group = 4; });
  refused("cube side", [](zs::Geometry& g) { g.cube_side = 3; });
  refused("cube depth", [](zs::Geometry& g) { g.cube_depth = 1; });
  refused("synchronous", [](zs::Geometry& g) { g.synchronous = true; });
  refused("search", [](zs::Geometry& g) { g.search_half_width = 2; });
  refused("mask", [&](zs::Geometry& g) { g.mask = mask.data(); });
}

}  // namespace
