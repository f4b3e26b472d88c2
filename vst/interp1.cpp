// Piecewise-linear interpolation with linear extrapolation on both sides.
#include <cmath>
#include <optional>

#include "core/parts.h"
#include "vst/segments.h"
#include "vst/vst.h"

namespace zarvo::vst {

namespace {

// The smallest j in 1 .. n-1 with v <= x[j], or n - 1 when there is none.
// A NaN query never compares greater and ends in interval 1.
int find_interval(const double* x, int n, double v) {
  int lo = 1;
  int hi = n - 1;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (v > x[mid]) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

double slope(const double* x, const double* y, int j) {
  return (y[j] - y[j - 1]) / (x[j] - x[j - 1]);
}

// Long query lists are walked interval by interval when they look ordered
// (the first and last three queries), or when their first three queries move
// by less than the first table step. Every comparison involving a NaN fails.
bool use_sequential_path(const double* x, int n, const double* q, int m) {
  if (m <= 6 || m <= n / 2) return false;
  if (q[m - 1] > q[0] && q[m - 2] >= q[1] && q[m - 3] >= q[2]) return true;
  const double h = x[1] - x[0];
  return h > q[1] - q[0] && h > q[0] - q[1] && h > q[2] - q[1] && h > q[1] - q[2];
}

}  // namespace

bool KnotFinder::build(const double* x, int n) {
  if (n < 4) return false;
  for (int j = 1; j + 1 < n - 1; ++j)
    if (!(x[j] <= x[j + 1])) return false;  // also false for a NaN
  lo_ = x[1];
  hi_ = x[n - 2];
  if (!(std::isfinite(lo_) && std::isfinite(hi_) && lo_ < hi_)) return false;
  const int buckets = this->buckets();
  scale_ = buckets / (hi_ - lo_);
  if (!std::isfinite(scale_)) return false;
  n_ = n;
  // start_[b]: the first inner knot at or above the bucket's lower edge,
  // but at least 2 (a query in a bucket lies above x[1]).
  int k = 1;
  for (int b = 0; b < buckets; ++b) {
    const double edge = lo_ + b / scale_;
    while (k < n - 2 && x[k] < edge) ++k;
    start_[b] = k < 2 ? 2 : k;
    split_[b] = x[start_[b]];
  }
  // Nothing is above an infinite split: these buckets' intervals are fixed.
  start_[below_bucket()] = 1;
  split_[below_bucket()] = HUGE_VAL;
  start_[above_bucket()] = n - 1;
  split_[above_bucket()] = HUGE_VAL;
  built_ = true;
  return true;
}

namespace {

// One step of the sequential walk: the interval of query v given the
// previous query's interval j. Neighbouring intervals are tried first; a
// query on a knot keeps the interval it reaches that knot from, and a NaN
// query keeps the previous interval.
int walk_to(const double* x, int n, int j, double v, const KnotFinder* finder) {
  if (j + 1 < n && x[j] < v && v <= x[j + 1]) return j + 1;
  if (j >= 3 && v >= x[j - 2] && v < x[j - 1]) return j - 1;
  if (!(x[j - 1] > v) && !(v > x[j])) return j;
  return finder ? finder->find(x, v) : find_interval(x, n, v);
}

}  // namespace

void IntervalRecords::build(const double* x, const double* y, int n) {
  n_ = n;
  plain_.assign(4 * static_cast<std::size_t>(n), 0.0);
  walk_.assign(4 * static_cast<std::size_t>(n), 0.0);
  for (int j = 1; j < n; ++j) {
    double* r = &plain_[4 * static_cast<std::size_t>(j)];
    double* w = &walk_[4 * static_cast<std::size_t>(j)];
    r[0] = w[0] = x[j - 1];
    r[1] = w[1] = x[j];
    r[2] = w[2] = y[j - 1];
    r[3] = y[j];
    w[3] = slope(x, y, j);
  }
}

void KnotFinder::find_all(const double* x, const double* q, int count, int* segment) const {
  find_segments(x, *this, q, segment, count);
}

namespace {

// How a list is interpolated: chosen once for the whole list, so that any
// part of it gives the bits the whole list would.
enum class Path { blocks, prepared_walk, walk };

struct Plan {
  Path path = Path::blocks;
  const KnotFinder* finder = nullptr;
  const IntervalRecords* records = nullptr;  // with the finder only
};

Plan plan_for(const double* x, int n, const double* q, int m, const KnotFinder* finder,
              const IntervalRecords* records) {
  Plan p;
  p.finder = finder;
  p.records = finder ? records : nullptr;
  if (!use_sequential_path(x, n, q, m)) return p;
  p.path = finder ? Path::prepared_walk : Path::walk;
  return p;
}

// One step of the branch-free walk: the finder's interval c of query v,
// except on a knot (or for a NaN), where the walk's own step decides.
int prepared_step(const double* x, int n, int j, double v, int c, const KnotFinder* finder) {
  return v == x[c] || v != v ? walk_to(x, n, j, v, finder) : c;
}

// The interval a walk holds after query v, given the one it held before.
int step(const double* x, int n, int j, double v, const Plan& p) {
  if (p.path == Path::prepared_walk)
    return prepared_step(x, n, j, v, p.finder->find(x, v), p.finder);
  return walk_to(x, n, j, v, p.finder);
}

// The interval a walk over the whole list holds when it reaches query
// `begin`. Away from the knots a query's interval is its own, whatever came
// before: so the walk is replayed only from the last such query.
int interval_before(const double* x, int n, const double* q, int begin, const Plan& p) {
  int from = begin - 1, j = 1;
  for (; from >= 0; --from) {
    const double v = q[from];
    const int c = p.finder ? p.finder->find(x, v) : find_interval(x, n, v);
    if (v == v && v != x[c]) {
      j = c;
      break;
    }
  }
  for (int i = from < 0 ? 0 : from + 1; i < begin; ++i) j = step(x, n, j, q[i], p);
  return j;
}

// Queries begin .. end - 1 of the list, the walk holding interval j before
// `begin`.
void interpolate(const double* x, const double* y, int n, const double* q, double* out, int begin,
                 int end, const Plan& p, int j) {
  constexpr int block = 256;
  int segment[block];
  if (p.path == Path::blocks && p.records) {
    interpolate_records(x, *p.finder, p.records->plain(), q + begin, out + begin, end - begin);
    return;
  }
  if (p.path == Path::blocks) {
    // Segments a block at a time, then the formula over the block in SIMD.
    for (int start = begin; start < end; start += block) {
      const int count = end - start < block ? end - start : block;
      if (p.finder) {
        p.finder->find_all(x, q + start, count, segment);
      } else {
        for (int i = 0; i < count; ++i) segment[i] = find_interval(x, n, q[start + i]);
      }
      evaluate_segments(x, y, q + start, segment, out + start, count);
    }
    return;
  }

  if (p.path == Path::prepared_walk) {
    // The walk without its branches: away from the knots every step of the
    // walk lands in the interval the finder gives. So every query is
    // evaluated there, in SIMD, with the walk's own slopes; then the walk's
    // steps are taken where they may differ, on a knot or at a NaN, from
    // the interval it held before.
    int hits[block];
    const double* w = p.records->walk();
    for (int start = begin; start < end; start += block) {
      const int count = end - start < block ? end - start : block;
      const int nhits = walk_block(x, *p.finder, w, q + start, out + start, segment, hits, count);
      int last_hit = -1, hit_interval = j;
      for (int h = 0; h < nhits; ++h) {
        const int i = hits[h];
        const double v = q[start + i];
        const int before = i == 0 ? j : last_hit == i - 1 ? hit_interval : segment[i - 1];
        hit_interval = walk_to(x, n, before, v, p.finder);
        const double* r = w + 4 * hit_interval;
        out[start + i] = (v - r[0]) * r[3] + r[2];
        last_hit = i;
      }
      j = last_hit == count - 1 ? hit_interval : segment[count - 1];
    }
    return;
  }

  double s = slope(x, y, j);
  for (int i = begin; i < end; ++i) {
    const double v = q[i];
    const int next = walk_to(x, n, j, v, p.finder);
    if (next != j) {
      j = next;
      s = slope(x, y, j);
    }
    out[i] = (v - x[j - 1]) * s + y[j - 1];
  }
}

}  // namespace

void interp1(const double* x, const double* y, int n, const double* q, double* out, int m,
             const KnotFinder* prepared, int threads, const IntervalRecords* records) {
  if (m <= 0) return;

  // Long lists over ordered tables go through knot buckets, on either path:
  // building them costs about as much as a hundred searches, so a table
  // used again and again is prepared once by the caller.
  std::optional<KnotFinder> own;
  if (!prepared && m >= 128) {
    own.emplace(512);
    if (own->build(x, n)) prepared = &*own;
  }
  Plan plan = plan_for(x, n, q, m, prepared, records);
  // Records spare each query its gathers: on the block path they pay for
  // themselves once there are more queries than knots; the walk has more.
  std::optional<IntervalRecords> own_records;
  if (plan.finder && !plan.records &&
      (plan.path == Path::prepared_walk || (plan.path == Path::blocks && m >= n))) {
    own_records.emplace();
    own_records->build(x, y, n);
    plan.records = &*own_records;
  }
  // Parts of at least 64 Ki queries, each starting from the interval the
  // walk would hold there.
  in_parts(static_cast<std::size_t>(m), threads, std::size_t{1} << 16,
           [&](int, std::size_t begin, std::size_t end) {
             const int b = static_cast<int>(begin), e = static_cast<int>(end);
             const int j =
                 plan.path == Path::blocks || b == 0 ? 1 : interval_before(x, n, q, b, plan);
             interpolate(x, y, n, q, out, b, e, plan, j);
           });
}

}  // namespace zarvo::vst
