// The SIMD and scalar paths of block matching give the same bits: every
// distance, hence every group, on random volumes with NaN voxels, ties,
// windows cut by the borders, synchronous search and single slices. Also the
// caller-supplied working storage: its stated size suffices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/distances.h"
#include "core/zarvo.h"
#include "every_target.h"
#include "hwy/targets.h"

namespace {

struct Volume {
  int ndims = 3;
  int dims[3] = {1, 1, 1};
  std::vector<double> v;
};

// Continuous values (rounding in every sum), a few levels (exact ties), and
// NaN voxels, as the trial asks.
Volume random_volume(std::mt19937& rng, int rows, int cols, int slices, bool ties,
                     double nan_rate) {
  Volume vol;
  vol.ndims = slices > 1 || rng() % 2 ? 3 : 2;
  vol.dims[0] = rows;
  vol.dims[1] = cols;
  vol.dims[2] = vol.ndims == 3 ? slices : 1;
  vol.v.resize(static_cast<std::size_t>(rows) * cols * vol.dims[2]);
  std::normal_distribution<double> normal(10.0, 3.0);
  std::uniform_int_distribution<int> level(0, 3);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (double& x : vol.v) {
    x = ties ? level(rng) * 0.1 : normal(rng);
    if (u(rng) < nan_rate) x = std::nan("");
  }
  return vol;
}

bool same_bits(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

struct Group {
  int L = -1;
  std::vector<std::uint16_t> positions;
  bool operator==(const Group& o) const {
    return L == o.L &&
           std::equal(positions.begin(), positions.begin() + 3 * L, o.positions.begin());
  }
};

struct Matching {
  int nm1, nm2, nm3, h, sync;
  double tau;
};

Group run(const Volume& vol, const Matching& s, int x, int y, int z, zarvo::MatchingPath path) {
  const int nd = zarvo::grouping_work_doubles(s.nm1, s.nm2, s.nm3, s.h);
  const int ni = zarvo::grouping_work_ints(s.nm1, s.nm2, s.nm3, s.h);
  // Guards after the stated sizes catch a size function that is too small.
  std::vector<double> work(nd + 8, -7.0);
  std::vector<int> ints(ni + 8, -7);
  Group g;
  g.positions.assign(3 * s.nm2, 0);
  zarvo::grouping(vol.v.data(), vol.ndims, vol.dims, s.nm1, s.nm2, s.nm3, s.h, s.sync, s.tau, x, y,
                  z, g.positions.data(), &g.L, work.data(), ints.data(), path);
  for (int i = nd; i < nd + 8; ++i) EXPECT_EQ(work[i], -7.0) << "double storage overrun";
  for (int i = ni; i < ni + 8; ++i) EXPECT_EQ(ints[i], -7) << "int storage overrun";
  return g;
}

TEST(CoreMatching, SimdAndScalarGiveTheSameGroups) {
  std::mt19937 rng(7);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int nm2s[] = {1, 2, 3, 8, 16, 32};
  int compared = 0, grown = 0;
  for (int trial = 0; trial < 400; ++trial) {
    // Up to 40 rows: windows of several row blocks and SIMD vectors, with
    // ragged ends.
    const Volume vol = random_volume(rng, pick(1, 40), pick(1, 24), pick(1, 9), pick(0, 2) == 0,
                                     pick(0, 3) == 0 ? 0.01 : 0.0);
    Matching s;
    s.nm1 = pick(1, std::min({vol.dims[0], vol.dims[1], 5}));
    s.nm3 = vol.ndims == 3 ? pick(1, std::min(vol.dims[2], 4)) : 1;
    s.nm2 = nm2s[pick(0, 5)];
    s.h = pick(-1, 20);
    s.sync = pick(0, 3) == 0;
    const double var = 9.0 * s.nm1 * s.nm1 * s.nm3;
    s.tau = pick(0, 4) == 0 ? INFINITY : pick(0, 8) * var * 0.5;
    for (int rep = 0; rep < 4; ++rep) {
      // References anywhere, the borders included.
      const int x = rep == 0 ? 1 : pick(1, vol.dims[1] - s.nm1 + 1);
      const int y = rep == 1 ? vol.dims[0] - s.nm1 + 1 : pick(1, vol.dims[0] - s.nm1 + 1);
      const int z = vol.ndims == 3 ? pick(1, vol.dims[2] - s.nm3 + 1) : 1;
      const Group a = run(vol, s, x, y, z, zarvo::MatchingPath::simd);
      const Group b = run(vol, s, x, y, z, zarvo::MatchingPath::scalar);
      ASSERT_EQ(a, b) << "trial " << trial << " rep " << rep;
      ++compared;
      grown += a.L > 1;
    }
  }
  EXPECT_GT(grown, compared / 4) << "too few trials formed groups";
}

// The group a plain search gives: every candidate of the window other than
// the reference, its distance summed in the matching's voxel order, kept
// when strictly below the threshold; the nm2 - 1 closest, earlier candidates
// (slices, then rows, then columns) first among equal distances; the
// reference and then these, as many as the largest power of two allows.
Group plain_search(const Volume& vol, const Matching& s, int x, int y, int z) {
  const int* d = vol.dims;
  auto at = [&](int cx, int cy, int cz) {
    return vol.v[(cy - 1) + d[0] * ((cx - 1) + static_cast<std::size_t>(d[1]) * (cz - 1))];
  };
  const int h = s.h;
  const int zl = s.sync || vol.ndims == 2 ? z : std::max(1, z - h);
  const int zh = s.sync || vol.ndims == 2 ? z : std::min(z + h, d[2] - s.nm3 + 1);
  struct Candidate {
    double dist;
    int x, y, z;
  };
  std::vector<Candidate> found;
  for (int cz = zl; cz <= zh; ++cz)
    for (int cy = std::max(1, y - h); cy <= std::min(y + h, d[0] - s.nm1 + 1); ++cy)
      for (int cx = std::max(1, x - h); cx <= std::min(x + h, d[1] - s.nm1 + 1); ++cx) {
        if (cx == x && cy == y && cz == z) continue;
        double sum = 0.0;
        for (int a = 0; a < s.nm1; ++a)
          for (int b = 0; b < s.nm1; ++b)
            for (int t = 0; t < s.nm3; ++t) {
              const double e = at(x + a, y + b, z + t) - at(cx + a, cy + b, cz + t);
              sum += e * e;
            }
        if (sum < s.tau) found.push_back({sum, cx, cy, cz});
      }
  std::stable_sort(found.begin(), found.end(),
                   [](const Candidate& a, const Candidate& b) { return a.dist < b.dist; });
  const int n = 1 + std::min<int>(static_cast<int>(found.size()), s.nm2 - 1);
  Group g;
  g.L = 1;
  while (2 * g.L <= n) g.L *= 2;
  g.positions = {static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
                 static_cast<std::uint16_t>(z)};
  for (int i = 0; i + 1 < g.L; ++i)
    g.positions.insert(g.positions.end(), {static_cast<std::uint16_t>(found[i].x),
                                           static_cast<std::uint16_t>(found[i].y),
                                           static_cast<std::uint16_t>(found[i].z)});
  return g;
}

// Whichever way the search examines its window (whole, or a block of rows at
// a time for wide windows) and however few candidates it offers to the list,
// it must end with the plain search's group: ties, NaN voxels, thresholds,
// borders and group sizes from 1 to 32.
TEST(CoreMatching, GroupsAreThoseOfAPlainSearch) {
  std::mt19937 rng(11);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int nm2s[] = {1, 2, 3, 8, 16, 32};
  int compared = 0, full = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const Volume vol = random_volume(rng, pick(4, 30), pick(4, 24), pick(1, 12), pick(0, 2) == 0,
                                     pick(0, 3) == 0 ? 0.01 : 0.0);
    Matching s;
    s.nm1 = pick(1, std::min({vol.dims[0], vol.dims[1], 4}));
    s.nm3 = vol.ndims == 3 ? pick(1, std::min(vol.dims[2], 3)) : 1;
    s.nm2 = nm2s[pick(0, 5)];
    s.h = pick(0, 3) == 0 ? pick(16, 20) : pick(0, 7);  // 16 and up: row blocks
    s.sync = pick(0, 4) == 0;
    const double var = 9.0 * s.nm1 * s.nm1 * s.nm3;
    s.tau = pick(0, 4) == 0 ? INFINITY : pick(1, 8) * var * 0.5;
    for (int rep = 0; rep < 3; ++rep) {
      const int x = pick(1, vol.dims[1] - s.nm1 + 1);
      const int y = pick(1, vol.dims[0] - s.nm1 + 1);
      const int z = vol.ndims == 3 ? pick(1, vol.dims[2] - s.nm3 + 1) : 1;
      const Group want = plain_search(vol, s, x, y, z);
      const Group got = run(vol, s, x, y, z, zarvo::MatchingPath::simd);
      ASSERT_EQ(got, want) << "trial " << trial << " rep " << rep << ": group of " << got.L
                           << " instead of " << want.L << ", h " << s.h << ", nm2 " << s.nm2;
      ++compared;
      full += want.L == s.nm2 && s.nm2 > 2;
    }
  }
  EXPECT_GT(full, compared / 8) << "too few trials filled their groups";
}

// The candidates a scan keeps: those at or below one bound and strictly
// below the other, in scan order, on every instruction set. Values tie with
// both bounds, and are NaN and infinite; lists end inside a vector.
TEST(CoreMatching, KeptCandidatesAreThoseBelowBothBounds) {
  on_every_target([] {
    std::mt19937 rng(5);
    const double values[] = {0, 1, 2, 3, 4, NAN, INFINITY, -INFINITY};
    for (int count = 0; count < 70; ++count) {
      for (const double at_most : {2.0, double(INFINITY)}) {
        for (const double below : {3.0, 2.0, double(INFINITY)}) {
          std::vector<double> v(static_cast<std::size_t>(count));
          for (double& e : v) e = values[rng() % 8];
          std::vector<int> want, got(v.size() + 1, -1);
          for (int i = 0; i < count; ++i)
            if (v[i] <= at_most && v[i] < below) want.push_back(i);
          const int kept = zarvo::detail::keep_below(v.data(), count, at_most, below, got.data());
          got.resize(static_cast<std::size_t>(kept));
          ASSERT_EQ(got, want) << count << " values, bounds " << at_most << " and " << below;
        }
      }
    }
  });
}

// Every distance of every candidate block, bit for bit, on every instruction
// set compiled in that this CPU runs: catches a lane that fuses the multiply
// and add or sums in another order even where the groups would not show it.
void expect_simd_distances_equal_scalar(unsigned seed);

TEST(CoreMatching, SimdDistancesEqualScalarBitForBit) {
  const std::vector<std::int64_t> targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  for (std::int64_t t : targets) {
    hwy::SetSupportedTargetsForTest(t);
    hwy::SupportedTargets();  // makes the dispatch choose t
    SCOPED_TRACE(zarvo::detail::simd_target_name());
    EXPECT_STREQ(zarvo::detail::simd_target_name(), hwy::TargetName(t));
    expect_simd_distances_equal_scalar(11);
  }
  hwy::SetSupportedTargetsForTest(0);
  hwy::SupportedTargets();
}

void expect_simd_distances_equal_scalar(unsigned seed) {
  std::mt19937 rng(seed);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int trial = 0; trial < 200; ++trial) {
    const Volume vol = random_volume(rng, pick(4, 45), pick(4, 20), pick(1, 8), false,
                                     trial % 4 == 0 ? 0.02 : 0.0);
    const int nm1 = pick(1, 4), nm3 = vol.ndims == 3 ? pick(1, std::min(vol.dims[2], 4)) : 1;
    const int X = vol.dims[1] - nm1 + 1, Y = vol.dims[0] - nm1 + 1;
    const int Z = vol.ndims == 3 ? vol.dims[2] - nm3 + 1 : 1;
    const int x = pick(1, X), y = pick(1, Y), z = pick(1, Z);
    std::vector<double> ref;
    std::vector<int> off;
    const int first = zarvo::get_linear_index(x, y, z, vol.dims);
    for (int a = 0; a < nm1; ++a)
      for (int b = 0; b < nm1; ++b)
        for (int s = 0; s < nm3; ++s) {
          off.push_back(zarvo::get_linear_index(x + a, y + b, z + s, vol.dims) - first);
          ref.push_back(vol.v[first + off.back()]);
        }
    zarvo::detail::CubeDistance k;
    k.volume = vol.v.data();
    k.voxels = static_cast<std::ptrdiff_t>(vol.v.size());
    k.rows = vol.dims[0];
    k.plane = static_cast<std::ptrdiff_t>(vol.dims[0]) * vol.dims[1];
    k.cube_len = static_cast<int>(ref.size());
    k.ref = ref.data();
    k.offsets = off.data();
    // A block reaching the last row, column and slice a cube can start at:
    // the SIMD lanes run past the end of the volume there.
    const bool at_end = trial % 3 == 0;
    const int y0 = pick(1, Y), x0 = at_end ? std::max(1, X - 3) : pick(1, X);
    const int cz = at_end ? Z : pick(1, Z);
    const int nrows = std::min(zarvo::detail::row_block, Y - y0 + 1), ncols = X - x0 + 1;
    std::vector<double> a(nrows * ncols, -1.0), b(nrows * ncols, -2.0);
    zarvo::detail::block_distances_simd(k, x0, ncols, y0, nrows, cz, a.data());
    zarvo::detail::block_distances_scalar(k, x0, ncols, y0, nrows, cz, b.data());
    for (int i = 0; i < nrows * ncols; ++i)
      ASSERT_TRUE(same_bits(a[i], b[i]))
          << "trial " << trial << " candidate " << i << ": " << a[i] << " vs " << b[i];
  }
}

}  // namespace

// A half-width far beyond the volume is the window of the whole volume: the
// same group as a half-width just past the volume's extent, on both paths,
// with bounded working storage (the window's size once overflowed int and
// long, and its bounds int).
TEST(CoreMatching, HugeHalfWidthIsTheWholeVolume) {
  std::mt19937 rng(23);
  const Volume vol = random_volume(rng, 12, 11, 9, false, 0.0);
  Matching s{3, 8, 2, 0, 0, INFINITY};
  for (int huge : {(1 << 30) - 1, 2147483647}) {
    s.h = huge;
    EXPECT_LE(zarvo::grouping_work_doubles(s.nm1, s.nm2, s.nm3, s.h), 1 << 22);
    EXPECT_LE(zarvo::grouping_work_ints(s.nm1, s.nm2, s.nm3, s.h), 1 << 22);
    for (const auto path : {zarvo::MatchingPath::simd, zarvo::MatchingPath::scalar})
      for (int x : {1, 5, 9})
        for (int z : {1, 8}) {
          s.h = huge;
          const Group wide = run(vol, s, x, 4, z, path);
          s.h = 12;
          const Group whole = run(vol, s, x, 4, z, path);
          EXPECT_EQ(wide, whole) << "half-width " << huge << " at " << x << ", 4, " << z;
          EXPECT_EQ(wide.L, 8);
        }
  }
  // Negative half-widths as low as int goes: the reference alone.
  s.h = -2147483647 - 1;
  const Group alone = run(vol, s, 3, 3, 3, zarvo::MatchingPath::simd);
  EXPECT_EQ(alone.L, 1);
}
