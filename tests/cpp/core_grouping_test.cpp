// Block matching against a brute-force reference on random volumes, plus the
// cases the random volumes do not reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/zarvo.h"

namespace {

using Triple = std::array<int, 3>;  // column, row, slice

struct Case {
  int ndims, dims[3];
  std::vector<double> v;
  int nm1 = 1, nm2 = 8, nm3 = 1, h = 3, sync = 0;
  double tau = std::numeric_limits<double>::infinity();
  Triple ref{1, 1, 1};
  std::vector<std::vector<double>> more{};  // channels after v
  double voxel(int c, int r, int s) const { return v[zarvo::get_linear_index(c, r, s, dims)]; }
};

// Runs grouping; also checks that nothing is written past the group.
// With channels after v, through grouping_channels (its extra storage
// guarded too).
std::vector<Triple> run(const Case& k) {
  std::vector<std::uint16_t> out(3 * k.nm2, 0xBEEF);
  int L = -1;
  std::vector<double> work(zarvo::grouping_work_doubles(k.nm1, k.nm2, k.nm3, k.h));
  std::vector<int> ints(zarvo::grouping_work_ints(k.nm1, k.nm2, k.nm3, k.h));
  if (k.more.empty()) {
    zarvo::grouping(k.v.data(), k.ndims, k.dims, k.nm1, k.nm2, k.nm3, k.h, k.sync, k.tau, k.ref[0],
                    k.ref[1], k.ref[2], out.data(), &L, work.data(), ints.data());
  } else {
    const int channels = 1 + static_cast<int>(k.more.size());
    std::vector<const double*> volumes{k.v.data()};
    for (const auto& m : k.more) volumes.push_back(m.data());
    const int extra = zarvo::grouping_channels_extra_doubles(k.nm1, k.nm3, k.h, channels);
    std::vector<double> storage(extra + 1, -7.0);
    zarvo::grouping_channels(volumes.data(), channels, k.ndims, k.dims, k.nm1, k.nm2, k.nm3, k.h,
                             k.sync, k.tau, k.ref[0], k.ref[1], k.ref[2], out.data(), &L,
                             work.data(), ints.data(), storage.data());
    EXPECT_EQ(storage[extra], -7.0);
  }
  std::vector<Triple> g;
  for (int t = 0; t < L; ++t) g.push_back({out[3 * t], out[3 * t + 1], out[3 * t + 2]});
  for (std::size_t i = 3 * L; i < out.size(); ++i) EXPECT_EQ(out[i], 0xBEEF);
  return g;
}

// Filters every position of the volume (scan order: slice, row, column) by
// the window rules, sorts by distance keeping scan order among ties, keeps
// those below tau, and takes the largest power of two of the group.
std::vector<Triple> brute_force(const Case& k) {
  struct Cand {
    double d;
    Triple p;
  };
  std::vector<Cand> kept;
  const int slices = k.ndims == 3 ? k.dims[2] : 1;
  for (int s = 1; s <= slices; ++s)
    for (int r = 1; r <= k.dims[0]; ++r)
      for (int c = 1; c <= k.dims[1]; ++c) {
        if (std::abs(c - k.ref[0]) > k.h || std::abs(r - k.ref[1]) > k.h) continue;
        if (c + k.nm1 - 1 > k.dims[1] || r + k.nm1 - 1 > k.dims[0]) continue;
        if (k.ndims == 3 && (std::abs(s - k.ref[2]) > k.h || s + k.nm3 - 1 > k.dims[2])) continue;
        if ((k.sync && s != k.ref[2]) || Triple{c, r, s} == k.ref) continue;
        double d = 0.0;  // exact: voxels are small multiples of 1/4
        for (std::size_t ch = 0; ch <= k.more.size(); ++ch) {
          const std::vector<double>& v = ch == 0 ? k.v : k.more[ch - 1];
          const auto at = [&](int cc, int rr, int ss) {
            return v[zarvo::get_linear_index(cc, rr, ss, k.dims)];
          };
          for (int ds = 0; ds < k.nm3; ++ds)
            for (int dr = 0; dr < k.nm1; ++dr)
              for (int dc = 0; dc < k.nm1; ++dc) {
                const double e =
                    at(k.ref[0] + dc, k.ref[1] + dr, k.ref[2] + ds) - at(c + dc, r + dr, s + ds);
                d += e * e;
              }
        }
        if (d < k.tau) kept.push_back({d, {c, r, s}});
      }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const Cand& a, const Cand& b) { return a.d < b.d; });
  const int n = 1 + std::min(static_cast<int>(kept.size()), k.nm2 - 1);
  int L = 1;
  while (2 * L <= n) L *= 2;
  std::vector<Triple> out{k.ref};
  for (int i = 0; i + 1 < L; ++i) out.push_back(kept[i].p);
  return out;
}

TEST(CoreGrouping, MatchesBruteForceOnRandomVolumes) {
  std::mt19937 rng(20240601);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int nm2s[] = {1, 2, 3, 4, 5, 7, 8, 12, 16, 33};
  for (int trial = 0; trial < 3000; ++trial) {
    const bool vol3 = pick(0, 2) != 0;  // flat volumes keep their slices in memory
    Case k{vol3 ? 3 : 2, {pick(1, 8), pick(1, 8), pick(1, 5)}, {}};
    k.v.resize(k.dims[0] * k.dims[1] * k.dims[2]);
    const int levels = pick(0, 6);  // few levels: many equal distances
    for (double& x : k.v) x = pick(0, levels) * 0.25;
    k.nm1 = pick(1, std::min({k.dims[0], k.dims[1], 3}));
    k.nm3 = vol3 ? pick(1, std::min(k.dims[2], 3)) : 1;
    k.nm2 = nm2s[pick(0, 9)];
    k.h = pick(-1, 4);
    k.sync = pick(0, 3) == 0;
    k.ref = {pick(1, k.dims[1] - k.nm1 + 1), pick(1, k.dims[0] - k.nm1 + 1),
             vol3 ? pick(1, k.dims[2] - k.nm3 + 1) : 1};
    const int mode = pick(0, 3);  // thresholds on and between attainable distances
    if (mode > 0) k.tau = mode == 1 ? 0.0 : pick(0, 40) * (mode == 2 ? 0.0625 : 0.5);
    ASSERT_EQ(run(k), brute_force(k)) << "trial " << trial;
    // Channels: the distance summed over them (with many levels, so that the
    // channels disagree and the sum picks other groups than the first alone).
    if (trial % 3 == 0) {
      const int channels = pick(2, 4);
      for (int c = 1; c < channels; ++c) {
        k.more.emplace_back(k.v.size());
        for (double& x : k.more.back()) x = pick(0, 12) * 0.25;
      }
      ASSERT_EQ(run(k), brute_force(k)) << "trial " << trial << ", " << channels << " channels";
    }
  }
}

TEST(CoreGrouping, ChannelsOfZerosLeaveTheGroupsOfTheFirst) {
  // A volume and blank channels: the first channel's groups exactly, and a
  // channel that disagrees changes them.
  std::mt19937 rng(7);
  Case k{3, {9, 8, 6}, {}};
  k.v.resize(9 * 8 * 6);
  for (double& x : k.v) x = std::uniform_int_distribution<int>(0, 40)(rng) * 0.25;
  k.nm1 = 2;
  k.nm3 = 2;
  k.nm2 = 8;
  k.ref = {3, 4, 2};
  const std::vector<Triple> alone = run(k);
  k.more.assign(2, std::vector<double>(k.v.size(), 0.0));
  EXPECT_EQ(run(k), alone);
  for (double& x : k.more[1]) x = std::uniform_int_distribution<int>(0, 40)(rng) * 0.25;
  EXPECT_NE(run(k), alone);
  EXPECT_EQ(run(k), brute_force(k));
}

TEST(CoreGrouping, NotANumberIsNeverMatched) {
  const double nan = std::nan("");
  Case k{2, {1, 4, 1}, {1, nan, 1, 1}};
  k.nm2 = 4;
  EXPECT_EQ(run(k), (std::vector<Triple>{{1, 1, 1}, {3, 1, 1}}));
  k.v = {nan, 1, 1, 1};
  EXPECT_EQ(run(k), (std::vector<Triple>{{1, 1, 1}}));
}

TEST(CoreGrouping, LargeGroupsArePowersOfTwo) {
  for (int n : {63, 64, 127, 128, 255, 256, 300}) {  // one row of equal voxels
    Case k{2, {1, n, 1}, std::vector<double>(n, 2.0)};
    k.nm2 = 400;
    k.h = n;
    const std::vector<Triple> g = run(k);
    int want = 1;
    while (2 * want <= n) want *= 2;
    ASSERT_EQ(static_cast<int>(g.size()), want) << n;
    EXPECT_EQ(g.back()[0], want);  // all ties: scan order
  }
}

}  // namespace
