// Forward variance-stabilising transform of Rician magnitudes and its exact
// unbiased inverse, for a given noise level sigma > 0.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/parts.h"
#include "vst/segments.h"
#include "vst/vst.h"

namespace zarvo::vst {

namespace {

// Last abscissa of the forward table (vst_z[70]), its square as a double
// product, and the transform's value there (vst_f[70]).
constexpr double forward_end = 22.0333443375355;
constexpr double forward_end_squared = 485.4682626964077;
constexpr double forward_end_value = 22.705242679602563;
// First and last entries of vst_expectation.
constexpr double expectation_first = 1.5367449014573138;
constexpr double expectation_last = 15.701256816041392;

}  // namespace

void forward_stabilization(const double* in, int count, double sigma, double* out, int threads) {
  double z[vst_table_size];
  double f[vst_table_size];
  for (int j = 0; j < vst_table_size; ++j) {
    z[j] = vst_z[j] * sigma;
    f[j] = vst_f[j];
  }
  const double a = sigma * forward_end;

  interp1(z, f, vst_table_size, in, out, count, nullptr, threads);
  if (count <= 0) return;

  // Beyond the table: sqrt(t^2 - 1/2) shifted to join the table's last point.
  in_parts(static_cast<std::size_t>(count), threads, std::size_t{1} << 16,
           [&](int, std::size_t begin, std::size_t end) {
             for (std::size_t i = begin; i < end; ++i) {
               if (in[i] > a) {
                 out[i] = std::sqrt(in[i] * in[i] / (sigma * sigma) - 0.5) -
                          std::sqrt(a * a / (sigma * sigma) - 0.5) + forward_end_value;
               }
             }
           });
}

namespace {

// The inverse's table for one noise level: the signal at each knot and the
// records of (expectation, signal).
struct InverseTable {
  double signal[snr_grid_size];
  IntervalRecords records;
  std::uint64_t level_bits = 0;
  bool built = false;

  void build_for(double sigma) {
    std::uint64_t bits;
    std::memcpy(&bits, &sigma, sizeof bits);
    if (built && bits == level_bits) return;
    for (int i = 0; i < snr_grid_size; ++i) signal[i] = snr_grid[i] * sigma;
    records.build(vst_expectation, signal, snr_grid_size);
    level_bits = bits;
    built = true;
  }
};

}  // namespace

void inverse_stabilization(const double* in, int count, double sigma, double* out) {
  // Every group goes through this table: its knots' buckets are prepared
  // once, fine enough (4096 over the range, whose closest knots are about
  // 3200ths of it apart) that each holds at most one knot. A run filters
  // its groups with one level (or a few), so each thread keeps the table
  // of the last level it met.
  static const KnotFinder finder = [] {
    KnotFinder f(4096);
    f.build(vst_expectation, snr_grid_size);
    return f;
  }();
  if (count <= 0) return;
  const double zero = 0 * sigma;
  // The forward transform's join constant sqrt(22.03...^2 - 1/2) and the
  // offset d of the large-signal expectation theta + 1/(4 theta) + d.
  const double k = std::sqrt((sigma * sigma) * forward_end_squared / (sigma * sigma) - 0.5);
  const double d = forward_end_value - k;

  // Below the table the signal is 0; beyond it the large-signal inverse
  // w^2 / sqrt(w^2 + 1/2), w = v - d. A group of background, or of bright
  // tissue only, needs nothing else.
  const bool interpolated = !all_at_ends(in, count, expectation_first, expectation_last);
  if (interpolated) {
    thread_local InverseTable table;
    table.build_for(sigma);
    interp1(vst_expectation, table.signal, snr_grid_size, in, out, count,
            finder.built() ? &finder : nullptr, 1, &table.records);
  }
  inverse_ends(in, count, expectation_first, expectation_last, zero, d, sigma, out, interpolated);
}

}  // namespace zarvo::vst
