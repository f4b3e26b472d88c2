// interp1: segment choice, extrapolation, and which evaluation order (plain
// fraction-first or sequential slope-first) a query list gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "every_target.h"
#include "vst/vst.h"

namespace {

using zarvo::vst::interp1;

const double nan = std::numeric_limits<double>::quiet_NaN();

// A table whose two evaluation orders round differently for some queries;
// the steep one also misses some of its own knots by rounding when a knot is
// reached from the segment before it.
struct Table {
  std::vector<double> x, y;
  explicit Table(int n, bool steep = false) {
    for (int j = 0; j < n; ++j) {
      x.push_back(0.3 + 0.7 * j);
      y.push_back(steep ? 0.1 * std::exp(1.35 * j) : 0.2 + 0.7 * j + 0.01 * j * j);
    }
  }
  int n() const { return static_cast<int>(x.size()); }
  int interval(double v) const {  // smallest j >= 1 with v <= x[j], else n - 1
    int j = 1;
    while (j < n() - 1 && !(v <= x[j])) ++j;
    return j;
  }
  double plain(int j, double v) const {
    return ((v - x[j - 1]) / (x[j] - x[j - 1])) * (y[j] - y[j - 1]) + y[j - 1];
  }
  double sequential(int j, double v) const {
    const double s = (y[j] - y[j - 1]) / (x[j] - x[j - 1]);
    return (v - x[j - 1]) * s + y[j - 1];
  }
  // `count` ascending queries at least `gap` apart, each one where the two
  // orders disagree.
  std::vector<double> telling_queries(int count, double gap = 0.0) const {
    std::vector<double> q;
    for (double v = x[0] + 0.0007; q.size() < static_cast<size_t>(count); v += 0.0113) {
      const int j = interval(v);
      if (plain(j, v) != sequential(j, v)) {
        q.push_back(v);
        v += gap;
      }
    }
    return q;
  }
};

std::vector<double> run(const Table& t, const std::vector<double>& q) {
  std::vector<double> out(q.size(), -12345.0);
  interp1(t.x.data(), t.y.data(), t.n(), q.data(), out.data(), static_cast<int>(q.size()));
  return out;
}

enum class Path { plain, sequential };

void expect_path(const Table& t, const std::vector<double>& q, Path path) {
  const std::vector<double> out = run(t, q);
  for (size_t i = 0; i < q.size(); ++i) {
    const int j = t.interval(q[i]);
    const double want = path == Path::plain ? t.plain(j, q[i]) : t.sequential(j, q[i]);
    EXPECT_EQ(out[i], want) << "query " << i << " = " << q[i];
  }
}

TEST(VstInterp1, PathSelectionByCountAndTableSize) {
  const Table t13(13), t14(14);
  ASSERT_FALSE(t13.telling_queries(7).empty());
  expect_path(t13, t13.telling_queries(6), Path::plain);       // m <= 6
  expect_path(t13, t13.telling_queries(7), Path::sequential);  // 7 > 13 / 2, ordered
  expect_path(t14, t14.telling_queries(7), Path::plain);       // 7 is not > 14 / 2
  expect_path(t14, t14.telling_queries(8), Path::sequential);
}

TEST(VstInterp1, PathSelectionByQueryOrder) {
  const Table t(13);
  const double h = t.x[1] - t.x[0];
  std::vector<double> q = t.telling_queries(8, h);

  // Descending, with steps larger than the first table step: plain.
  std::vector<double> descending(q.rbegin(), q.rend());
  ASSERT_GT(descending[0] - descending[1], h);
  expect_path(t, descending, Path::plain);

  // Ends out of order, but the first three queries move by less than the
  // first table step: sequential.
  const std::vector<double> c = t.telling_queries(8);
  std::vector<double> wobbly = {c[3], c[4], c[2], c[6], c[7], c[5], c[0], c[1]};
  ASSERT_LT(std::fabs(wobbly[1] - wobbly[0]), h);
  ASSERT_LT(std::fabs(wobbly[2] - wobbly[1]), h);
  ASSERT_LT(wobbly.back(), wobbly.front());
  expect_path(t, wobbly, Path::sequential);

  // Ordered ends need all three pairs: q[m-3] < q[2] breaks it (and the
  // first steps are too large for the table-step test).
  std::vector<double> broken = {q[0], q[2], q[6], q[7], q[3], q[4], q[5]};
  ASSERT_GT(broken[1] - broken[0], h);
  expect_path(t, broken, Path::plain);
}

TEST(VstInterp1, NanQueries) {
  const Table t(13);
  // A NaN among the first queries fails both tests: plain path.
  std::vector<double> q = t.telling_queries(7);
  q[0] = nan;
  std::vector<double> out = run(t, q);
  EXPECT_TRUE(std::isnan(out[0]));
  for (size_t i = 1; i < q.size(); ++i) EXPECT_EQ(out[i], t.plain(t.interval(q[i]), q[i]));

  // A NaN in the middle of a sequential walk gives NaN and does not disturb
  // the queries after it.
  q = t.telling_queries(9);
  q[4] = nan;
  out = run(t, q);
  for (size_t i = 0; i < q.size(); ++i) {
    if (i == 4) {
      EXPECT_TRUE(std::isnan(out[i]));
    } else {
      EXPECT_EQ(out[i], t.sequential(t.interval(q[i]), q[i])) << i;
    }
  }

  // Single query.
  double v = nan, r = 0;
  interp1(t.x.data(), t.y.data(), t.n(), &v, &r, 1);
  EXPECT_TRUE(std::isnan(r));
}

TEST(VstInterp1, ExtrapolatesAlongEndSegments) {
  // n = 2: one line through (1, 2) and (3, 6) on both sides.
  const double x[] = {1, 3}, y[] = {2, 6};
  const double q[] = {-1, 0, 1, 2, 3, 5, 101};
  double out[7];
  interp1(x, y, 2, q, out, 7);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(out[i], 2 * q[i]) << q[i];

  // Beyond a longer table: the first and last segments, no clamping.
  const double xs[] = {0, 1, 2, 4}, ys[] = {0, 10, 11, 21};
  const double qs[] = {-2, 8};
  double os[2];
  interp1(xs, ys, 4, qs, os, 2);
  EXPECT_EQ(os[0], -20);
  EXPECT_EQ(os[1], 41);
}

TEST(VstInterp1, KnotsAndEmptyQueryList) {
  const Table t(13, true);
  ASSERT_NE(t.plain(1, t.x[1]), t.y[1]);
  ASSERT_NE(t.sequential(1, t.x[1]), t.y[1]);
  ASSERT_NE(t.sequential(5, t.x[5]), t.y[5]);

  // Single queries at knots fall in the segment ending there.
  for (int j = 0; j < t.n(); ++j) {
    double v = t.x[j], r;
    interp1(t.x.data(), t.y.data(), t.n(), &v, &r, 1);
    const int jj = j == 0 ? 1 : j;
    EXPECT_EQ(r, t.plain(jj, v)) << j;
    EXPECT_NEAR(r, t.y[j], 1e-14) << j;
  }

  // A sequential walk that has entered interval 2 keeps it for x[1] and
  // returns y[1] exactly; a value just below x[1] goes back to interval 1
  // (bisection) and one at x[1] after that stays in interval 1.
  std::vector<double> q = {0.35, 1.2, t.x[1], std::nextafter(t.x[1], 0.0), t.x[1], 3, 4, 5};
  const std::vector<double> out = run(t, q);
  EXPECT_EQ(out[1], t.sequential(2, q[1]));
  EXPECT_EQ(out[2], t.y[1]);
  EXPECT_EQ(out[3], t.sequential(1, q[3]));
  EXPECT_EQ(out[4], t.sequential(1, q[4]));

  // Stepping back by one interval onto its first knot takes that interval:
  // exactly y[5], where the segment ending at x[5] rounds differently.
  const std::vector<double> back = run(t, {0.35, 1.2, 1.9, 2.6, 3.3, 4.0, 4.7, t.x[5], 6, 7, 8, 9});
  EXPECT_EQ(back[6], t.sequential(7, 4.7));
  EXPECT_EQ(back[7], t.y[5]);

  // m = 0 writes nothing.
  double untouched = 7;
  interp1(t.x.data(), t.y.data(), t.n(), q.data(), &untouched, 0);
  EXPECT_EQ(untouched, 7);
}

TEST(VstInterp1, SequentialWalkFindsTheRightSegment) {
  // A long random walk over the forward table, stepping forward, back, in
  // place and far, also past both ends: every result uses the segment of
  // its query with the slope-first order.
  const double* x = zarvo::vst::vst_z;
  const double* y = zarvo::vst::vst_f;
  const int n = zarvo::vst::vst_table_size;
  std::mt19937 gen(12345);
  std::uniform_real_distribution<double> step(-1.0, 1.5), far(-1.0, 25.0);
  std::vector<double> q;
  double v = 0.001;
  for (int i = 0; i < 2000; ++i) {
    v = (i % 97 == 50) ? far(gen) : v + step(gen) * (v > 2 ? 0.5 : 0.05);
    q.push_back(v);
  }
  q.back() = q.front() + 30;  // ordered ends: sequential path
  q[q.size() - 2] = q[1] + 30;
  q[q.size() - 3] = q[2] + 30;
  std::vector<double> out(q.size());
  interp1(x, y, n, q.data(), out.data(), static_cast<int>(q.size()));
  for (size_t i = 0; i < q.size(); ++i) {
    int j = 1;
    while (j < n - 1 && !(q[i] <= x[j])) ++j;
    const double s = (y[j] - y[j - 1]) / (x[j] - x[j - 1]);
    ASSERT_EQ(out[i], (q[i] - x[j - 1]) * s + y[j - 1]) << "query " << i << " = " << q[i];
  }
}

// Long query lists in no order over tables whose knots never decrease: the
// forward table scaled by levels from tiny (knots merge into equal
// subnormals) to huge, and random tables with repeated knots. Queries hit
// knots exactly, their neighbouring doubles, both outsides, infinities and
// NaN; each must use the first segment whose right knot is not below it,
// with the scalar formula's bits.
void check_long_unordered_lists() {
  std::mt19937 gen(2024);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<std::vector<double>> tables;
  for (double level : {1e-310, 1e-9, 0.37, 5.0, 1e12, 1e300}) {
    std::vector<double> x(zarvo::vst::vst_z, zarvo::vst::vst_z + zarvo::vst::vst_table_size);
    for (double& v : x) v *= level;
    tables.push_back(x);
  }
  for (int n : {4, 5, 17, 250}) {
    std::vector<double> x(n);
    double v = -3.0;
    for (double& k : x) k = v += (unit(gen) < 0.2 ? 0.0 : unit(gen));
    tables.push_back(x);
  }
  for (const std::vector<double>& x : tables) {
    const int n = static_cast<int>(x.size());
    std::vector<double> y(n);
    for (double& v : y) v = unit(gen) * 10 - 5;
    const double span = x[n - 1] - x[0];
    std::vector<double> q;
    while (q.size() < 603) {  // blocks of 256, then a part of a SIMD vector
      const double knot = x[gen() % n];
      switch (gen() % 6) {
        case 0:
          q.push_back(knot);
          break;
        case 1:
          q.push_back(std::nextafter(knot, -INFINITY));
          break;
        case 2:
          q.push_back(std::nextafter(knot, INFINITY));
          break;
        case 3:
          q.push_back(x[0] + (unit(gen) * 1.4 - 0.2) * span);
          break;
        case 4:
          q.push_back(gen() % 2 ? INFINITY : -INFINITY);
          break;
        default:
          q.push_back(gen() % 4 ? x[0] + unit(gen) * span
                                : std::numeric_limits<double>::quiet_NaN());
      }
    }
    q[0] = x[n - 1];  // last below first, far apart: not the sequential path
    q[1] = x[0];
    q.back() = x[0] - 1;
    std::vector<double> out(q.size());
    interp1(x.data(), y.data(), n, q.data(), out.data(), static_cast<int>(q.size()));
    for (size_t i = 0; i < q.size(); ++i) {
      const double v = q[i];
      int j = 1;
      while (!std::isnan(v) && j < n - 1 && !(v <= x[j])) ++j;
      const double want = ((v - x[j - 1]) / (x[j] - x[j - 1])) * (y[j] - y[j - 1]) + y[j - 1];
      ASSERT_TRUE(out[i] == want || (std::isnan(out[i]) && std::isnan(want)))
          << "table of " << n << " from " << x[0] << ", query " << i << " = " << v;
    }
  }
}

TEST(VstInterp1, LongUnorderedListsOverOrderedTablesFindEverySegment) {
  on_every_target(check_long_unordered_lists);  // every SIMD path
}

// A finder prepared once must give every query the interval (and so the
// bits) interp1 gives without it, on both paths: the block path, and the
// walk of ordered-looking lists, which on a knot keeps the interval it
// arrives from. Queries hit knots exactly, their neighbours, both outsides,
// infinities and NaN; coarse buckets make the finder step, fine ones not.
void check_prepared_finder() {
  using zarvo::vst::KnotFinder;
  std::mt19937 gen(77);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double* x = zarvo::vst::vst_expectation;
  const int n = zarvo::vst::snr_grid_size;
  std::vector<double> y(n);  // uneven, so that the two intervals of a knot round apart
  for (double& v : y) v = unit(gen) * 10 - 5;
  for (int buckets : {4096, 64, 3}) {
    KnotFinder finder(buckets);
    ASSERT_TRUE(finder.build(x, n));
    for (bool ordered : {false, true}) {
      std::vector<double> q;
      double walk = x[0];
      while (q.size() < 1111) {
        const double knot = x[gen() % n];
        if (ordered) {  // steps forward and back, often onto a knot
          walk += (unit(gen) - 0.4) * 0.05;
          const int k = static_cast<int>(gen() % n);
          q.push_back(gen() % 3 == 0 ? x[k] : gen() % 50 == 0 ? nan : walk);
          continue;
        }
        switch (gen() % 6) {
          case 0:
            q.push_back(knot);
            break;
          case 1:
            q.push_back(std::nextafter(knot, -INFINITY));
            break;
          case 2:
            q.push_back(std::nextafter(knot, INFINITY));
            break;
          case 3:
            q.push_back(x[0] + (unit(gen) * 1.4 - 0.2) * (x[n - 1] - x[0]));
            break;
          case 4:
            q.push_back(gen() % 2 ? INFINITY : -INFINITY);
            break;
          default:
            q.push_back(gen() % 4 ? x[gen() % n] + unit(gen) * 0.01 : nan);
        }
      }
      if (ordered) {  // ordered ends: the walk
        q[q.size() - 1] = q[0] + 30;
        q[q.size() - 2] = q[1] + 30;
        q[q.size() - 3] = q[2] + 30;
      } else {
        q[0] = x[n - 1];
        q[1] = x[0];
      }
      std::vector<double> plain(q.size()), prepared(q.size());
      const int m = static_cast<int>(q.size());
      interp1(x, y.data(), n, q.data(), plain.data(), m);
      interp1(x, y.data(), n, q.data(), prepared.data(), m, &finder);
      for (int i = 0; i < m; ++i)
        ASSERT_TRUE(prepared[i] == plain[i] || (std::isnan(prepared[i]) && std::isnan(plain[i])))
            << buckets << " buckets, " << (ordered ? "ordered" : "unordered") << " list, query "
            << i << " = " << q[i] << ": " << prepared[i] << " instead of " << plain[i];
    }
  }
}

TEST(VstInterp1, PreparedFinderKeepsEveryIntervalOfBothPaths) {
  on_every_target(check_prepared_finder);  // every SIMD path
}

}  // namespace

namespace {

// An ascending list over the table with, at the given places, a query just
// above knot k followed by a run of queries exactly on it: the walk reaches
// that knot from above and keeps the interval past it, which the knot alone
// does not tell.
std::vector<double> ascending_with_knot_runs(const Table& t, int m, const std::vector<int>& at) {
  const int n = static_cast<int>(t.x.size());
  const double lo = t.x[0] - 1.0, hi = t.x[n - 1] + 1.0;
  std::vector<double> q(static_cast<std::size_t>(m));
  for (int i = 0; i < m; ++i) q[i] = lo + (hi - lo) * i / m;
  for (int i = 97; i < m; i += 97) {  // knots met on the way up
    int k = 0;
    while (k + 1 < n && t.x[k + 1] <= q[i]) ++k;
    q[i] = t.x[k];
  }
  for (int b : at) {
    int k = 1;
    while (k + 2 < n && t.x[k + 1] <= q[b]) ++k;
    q[b - 5] = t.x[k] + 1e-3;
    for (int i = b - 4; i < b + 4; ++i) q[i] = t.x[k];
  }
  return q;
}

}  // namespace

TEST(VstInterp1, SplitBetweenThreadsGivesTheWholeListsBits) {
  // Parts start at multiples of m / parts (at least 64 Ki queries each);
  // runs of knot queries straddle those starts.
  const int m = 6 * 65536;
  std::vector<int> starts;
  for (int parts : {2, 3, 4, 6})
    for (int p = 1; p < parts; ++p) starts.push_back(m / parts * p);
  for (int p = 1; p < 6; ++p) starts.push_back((m + 5) / 6 * p);
  for (int p = 1; p < 3; ++p) starts.push_back((m + 2) / 3 * p);
  // Steep: the walk's slope-first and the blocks' fraction-first orders
  // round differently. Knots a few subnormals apart: no finder can be built
  // on them, so the walk takes its plain steps.
  Table tiny(600);
  for (double& v : tiny.x) v *= 1e-310;
  for (const Table& t : {Table(40, true), tiny}) {
    const std::vector<double> ordered = ascending_with_knot_runs(t, m, starts);
    std::vector<double> shuffled = ordered;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    const std::vector<const std::vector<double>*> lists{&ordered, &shuffled};
    for (const std::vector<double>* q : lists) {
      const int n = static_cast<int>(t.x.size());
      std::vector<double> whole(m), split(m);
      interp1(t.x.data(), t.y.data(), n, q->data(), whole.data(), m);
      for (int threads : {2, 3, 4, 6}) {
        std::fill(split.begin(), split.end(), -1.0);
        interp1(t.x.data(), t.y.data(), n, q->data(), split.data(), m, nullptr, threads);
        int differ = 0;
        for (int i = 0; i < m; ++i)
          differ += std::memcmp(&whole[i], &split[i], sizeof(double)) != 0;
        EXPECT_EQ(differ, 0) << n << " knots, " << (q == &ordered ? "ordered" : "shuffled") << ", "
                             << threads << " threads";
      }
    }
  }
}

TEST(VstInterp1, WalkKeepsItsIntervalAcrossANan) {
  // Queries climb the steep table; before some knots k a query just above
  // it (in interval k + 1) and a NaN come first. The walk keeps interval
  // k + 1 through the NaN and so evaluates the knot on the segment after
  // it, to y[k] exactly, where interval k itself misses y[k] by rounding.
  const Table t(40, true);
  const int n = t.n();
  std::vector<double> q;
  std::vector<int> knot_at;
  int misses = 0;
  for (int k = 2; k + 2 < n; ++k) {
    for (int i = 0; i < 5; ++i) q.push_back(t.x[k - 1] + 0.1 * (i + 1));
    q.push_back(t.x[k] + 1e-3);
    q.push_back(std::numeric_limits<double>::quiet_NaN());
    q.push_back(t.x[k]);
    knot_at.push_back(static_cast<int>(q.size()) - 1);
    misses += t.plain(k, t.x[k]) != t.y[k] || t.sequential(k, t.x[k]) != t.y[k];
  }
  ASSERT_GT(misses, 0);  // the test can tell the two intervals apart
  for (int k = 1; k <= 3; ++k) q[q.size() - k] = q[3 - k] + 1000;  // ordered ends: the walk
  std::vector<double> out(q.size());
  interp1(t.x.data(), t.y.data(), n, q.data(), out.data(), static_cast<int>(q.size()));
  for (std::size_t i = 0; i + 3 < knot_at.size(); ++i)
    EXPECT_EQ(out[knot_at[i]], t.y[i + 2]) << "knot " << i + 2;
}
