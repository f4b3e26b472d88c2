// Rician variance stabilisation: the constant tables (computed for unit
// noise), their interpolation, the forward stabilising transform, its exact
// unbiased inverse, and the estimation of the Rician noise level of a set of
// samples.
#pragma once

#include <cstddef>
#include <vector>

namespace zarvo::vst {

constexpr int snr_grid_size = 250;  // snr_grid, mean_std_ratio, vst_expectation
constexpr int vst_table_size = 71;  // vst_z, vst_f

// theta_i = 15 i / 249: the grid of the signal-to-noise parameter.
extern const double snr_grid[snr_grid_size];
// Mean over standard deviation of a Rician variable (sigma 1, signal theta_i).
extern const double mean_std_ratio[snr_grid_size];
// Abscissae and values of the forward stabilising transform for sigma 1.
extern const double vst_z[vst_table_size];
extern const double vst_f[vst_table_size];
// E[f(Z)] for Z Rician with sigma 1 and signal theta_i.
extern const double vst_expectation[snr_grid_size];

// Finds the interval of a query among a table's knots in a few steps from a
// bucket of the inner knots' range, for tables whose inner knots x[1 .. n-2]
// never decrease. Then v > x[j] is false from some j on and that boundary is
// the interval whichever way it is found: the bucket gives a nearby start,
// and the start is moved down while x[j-1] >= v and up while x[j] < v. With
// buckets narrower than the closest knots, one step at most is needed and
// none is a guess.
class KnotFinder {
 public:
  explicit KnotFinder(int buckets)
      : start_(static_cast<std::size_t>(buckets) + 2),
        split_(static_cast<std::size_t>(buckets) + 2) {}

  // False when the table does not qualify (fewer than 4 knots, inner knots
  // out of order, not finite, or all equal).
  bool build(const double* x, int n);
  bool built() const { return built_; }

  // segment[i] = find(x, q[i]) for every query.
  void find_all(const double* x, const double* q, int count, int* segment) const;

  // The buckets, for the SIMD search. Bucket b < buckets() covers part of
  // the inner knots' range (low() .. high(), buckets per unit: scale());
  // its query's interval is starts()[b], or one more above splits()[b]
  // (the start's knot). Two more buckets hold the queries outside that
  // range: below_bucket() (also a NaN) and above_bucket().
  const int* starts() const { return start_.data(); }
  const double* splits() const { return split_.data(); }
  int buckets() const { return static_cast<int>(start_.size()) - 2; }
  int below_bucket() const { return buckets(); }
  int above_bucket() const { return buckets() + 1; }
  int knots() const { return n_; }
  double low() const { return lo_; }
  double high() const { return hi_; }
  double scale() const { return scale_; }

  // The smallest j in 1 .. n-1 with v <= x[j], or n - 1 when there is none
  // (a NaN query: 1), for the knots x the finder was built on.
  int find(const double* x, double v) const {
    if (!(v > lo_)) return 1;  // also a NaN
    if (v > hi_) return n_ - 1;
    const double t = (v - lo_) * scale_;  // at least 0; may overflow to inf
    const int b = t < buckets() ? static_cast<int>(t) : buckets() - 1;
    int j = start_[b];
    j += split_[b] < v;         // at most one knot in a narrow bucket
    while (x[j - 1] >= v) --j;  // stops at j = 2: x[1] < v
    while (x[j] < v) ++j;       // stops at j = n - 2: x[n-2] >= v
    return j;
  }

 private:
  std::vector<int> start_;
  std::vector<double> split_;
  int n_ = 0;
  double lo_ = 0, hi_ = 0, scale_ = 0;
  bool built_ = false;
};

// A table's intervals side by side, so that a query's entries are one load:
// {x[j-1], x[j], y[j-1], y[j]} at 4 * j of plain(), for the fraction-first
// formula, and {x[j-1], x[j], y[j-1], slope} at 4 * j of walk(), slope =
// (y[j] - y[j-1]) / (x[j] - x[j-1]), for the walk's; j = 1 .. n-1.
class IntervalRecords {
 public:
  void build(const double* x, const double* y, int n);
  const double* plain() const { return plain_.data(); }
  const double* walk() const { return walk_.data(); }
  int knots() const { return n_; }

 private:
  std::vector<double> plain_, walk_;
  int n_ = 0;
};

// Piecewise-linear interpolation of the table (x, y) of n strictly increasing
// abscissae at the m queries q, extrapolating linearly beyond both ends. Long
// slowly varying query lists take a sequential path that walks the intervals.
// `prepared`, when given, is a finder built on x, and `records`, when given
// with it, the records of (x, y): for a table used many times.
// Long lists may be split between `threads` threads, to the same bits.
void interp1(const double* x, const double* y, int n, const double* q, double* out, int m,
             const KnotFinder* prepared = nullptr, int threads = 1,
             const IntervalRecords* records = nullptr);

// out[i] = stabilised value of the magnitude in[i] for noise level sigma > 0.
// in and out must not overlap. Long lists may be split between `threads`
// threads, to the same bits.
void forward_stabilization(const double* in, int count, double sigma, double* out, int threads = 1);

// out[i] = signal estimate for the stabilised value in[i]. in and out must
// not overlap.
void inverse_stabilization(const double* in, int count, double sigma, double* out);

// out[0] = Rician noise level estimated from the samples (0 when they have no
// spread), with caller storage of `count` doubles for the absolute deviations
// (nothing is allocated). count >= 1.
void estimate_rician_parameters(const double* samples, int count, double* out, double* scratch);

}  // namespace zarvo::vst
