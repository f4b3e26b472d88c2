// Block matching: the reference cube's closest cubes within a search window.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/distances.h"
#include "core/zarvo.h"

namespace zarvo {

namespace {

inline int low_end(int v, int h) { return v - h >= 1 ? v - h : 1; }
inline int min_int(int a, int b) { return a < b ? a : b; }

}  // namespace

// The widest search half-width that means anything: a window this wide
// already reaches every border of the largest volume the stages take (65535
// voxels an axis, as positions are 16-bit), so a wider one is the same
// window. Clamping to it keeps the window's bounds within int and its
// buffers bounded whatever half-width a caller passes.
constexpr int widest_half_width = 65535;

int clamped_half_width(int search_block_size) {
  if (search_block_size > widest_half_width) return widest_half_width;
  // Below -(widest + 1) every window is as empty as at that value.
  if (search_block_size < -widest_half_width - 1) return -widest_half_width - 1;
  return search_block_size;
}

// Windows of up to this many candidates have all their distances formed
// before any is examined (see grouping); larger ones a block of rows at a
// time.
constexpr long max_whole_window = 32768;

// Candidates a distance buffer holds: the whole window, or a block of rows.
int distance_slots(int search_block_size) {
  const int h = clamped_half_width(search_block_size);
  const std::int64_t width = h >= 0 ? 2 * static_cast<std::int64_t>(h) + 1 : 0;
  const std::int64_t window = width * width * width;
  const long block = detail::row_block * width;
  return static_cast<int>(window <= max_whole_window && window > block ? window : block);
}

int grouping_work_doubles(int nm1, int nm2, int nm3, int search_block_size) {
  // The match list, the reference cube, the distances and their runs'
  // minima (four runs per place of the list).
  return 5 * (nm2 > 0 ? nm2 : 0) + nm1 * nm1 * nm3 + distance_slots(search_block_size);
}

int grouping_work_ints(int nm1, int nm2, int nm3, int search_block_size) {
  return 3 * (nm2 > 0 ? nm2 : 0) + nm1 * nm1 * nm3 + distance_slots(search_block_size);
}

void grouping(const double* volume, int ndims, const int* dims, int nm1, int nm2, int nm3,
              int search_block_size, int synchronous, double tau_match, int x, int y, int z,
              std::uint16_t* positions, int* group_size, double* work, int* work_ints,
              MatchingPath path) {
  // Without an entry for the reference there is no group to report.
  if (nm2 < 1) {
    *group_size = 0;
    return;
  }
  const int cube_len = nm1 * nm1 * nm3;
  const int h = clamped_half_width(search_block_size);

  // Match list: entry nm2 - 1 is the reference, entry 0 the worst kept match
  // (or an empty entry, distance +inf). Distances never increase from entry 0
  // towards the reference.
  double* dist = work;
  int* pos = work_ints;
  const double inf = std::numeric_limits<double>::infinity();
  for (int i = 0; i < nm2 - 1; ++i) dist[i] = inf;
  const int ref = nm2 - 1;
  pos[3 * ref + 0] = x;
  pos[3 * ref + 1] = y;
  pos[3 * ref + 2] = z;
  dist[ref] = 0.0;

  // Window centred on the reference, clipped separately at every border so
  // that every candidate cube lies inside the volume.
  const int x_lo = low_end(x, h);
  const int x_hi = min_int(x + h, dims[1] - nm1 + 1);
  const int y_lo = low_end(y, h);
  const int y_hi = min_int(y + h, dims[0] - nm1 + 1);
  int z_lo = 1;
  int z_hi = 1;
  if (ndims == 3) {
    z_lo = low_end(z, h);
    z_hi = min_int(z + h, dims[2] - nm3 + 1);
  }
  if (synchronous != 0) {
    z_lo = z;
    z_hi = z;
  }

  // The reference voxels and their offsets from a cube's first voxel, in the
  // order the distance adds them: column offset outermost, then row offset,
  // slice offset innermost.
  detail::CubeDistance k;
  k.volume = volume;
  k.rows = dims[0];
  k.plane = static_cast<std::ptrdiff_t>(dims[0]) * dims[1];
  k.voxels = k.plane * (ndims == 3 ? dims[2] : 1);
  k.cube_len = cube_len;
  double* ref_values = work + nm2;
  int* offsets = work_ints + 3 * nm2;
  const int first = get_linear_index(x, y, z, dims);
  for (int a = 0, t = 0; a < nm1; ++a) {
    for (int b = 0; b < nm1; ++b) {
      for (int s = 0; s < nm3; ++s, ++t) {
        offsets[t] = get_linear_index(x + a, y + b, z + s, dims) - first;
        ref_values[t] = volume[first + offsets[t]];
      }
    }
  }
  k.ref = ref_values;
  k.offsets = offsets;
  double* block = ref_values + cube_len;
  int* candidates = offsets + cube_len;  // indices into `block`
  const int slots = distance_slots(h);

  // Offers candidate (cx, cy, cz) at distance d to the match list.
  const auto offer = [&](double d, int cx, int cy, int cz) {
    // Strict tests: a tie with the threshold or with the worst kept match is
    // refused, and NaN fails both.
    if (!(d < tau_match && d < dist[0])) return;

    // Replace the worst entry and move the newcomer towards the reference
    // past every strictly worse match, that is, drop entry 0 and shift the
    // strictly worse entries 1 .. q down by one (what swapping the newcomer
    // past them one at a time gives). The reference entry is never touched,
    // so an earlier match of equal distance stays ahead.
    // Entries 1 .. nm2 - 2 never increase, so the strictly worse ones are a
    // leading run of them, found by halving without branches.
    int q = 0;
    if (nm2 > 2) {
      const double* base = dist + 1;
      for (int n = nm2 - 2; n > 1; n -= n / 2) base = base[n / 2] > d ? base + n / 2 : base;
      q = static_cast<int>(base - (dist + 1)) + (*base > d);
    }
    for (int m = 0; m < q; ++m) {
      dist[m] = dist[m + 1];
      pos[3 * m + 0] = pos[3 * m + 3];
      pos[3 * m + 1] = pos[3 * m + 4];
      pos[3 * m + 2] = pos[3 * m + 5];
    }
    dist[q] = d;
    pos[3 * q + 0] = cx;
    pos[3 * q + 1] = cy;
    pos[3 * q + 2] = cz;
  };
  const auto distances = [&](int x0, int ncols, int y0, int nrows, int cz, double* out) {
    if (path == MatchingPath::simd) {
      detail::block_distances_simd(k, x0, ncols, y0, nrows, cz, out);
    } else {
      detail::block_distances_scalar(k, x0, ncols, y0, nrows, cz, out);
    }
  };

  // Slices outermost, columns innermost: this order breaks ties. The
  // distances are formed first (the whole sum, with no early exit), then
  // examined in scan order. The list ends as the nm2 - 1 smallest distances
  // below the threshold, earlier candidates first among equal ones, whatever
  // candidates that cannot be among them are left out; the scans below only
  // choose which to leave out.
  const int ncols = x_hi - x_lo + 1;
  const int nrows_all = y_hi - y_lo + 1;
  const long window = static_cast<long>(ncols > 0 ? ncols : 0) * (nrows_all > 0 ? nrows_all : 0) *
                      (z_hi - z_lo + 1);
  if (window > 0 && window <= slots) {
    // The whole window at once. Dealt into four times as many interleaved
    // runs as the list has places (nm2 - 1), the runs' minima bound the
    // list's worst: at least `places` candidates lie at or below the
    // places-th smallest minimum, so no candidate above it can be kept.
    // Only those at or below it (typically about twice the places) are
    // offered, in scan order.
    const int plane = nrows_all * ncols;
    for (int cz = z_lo; cz <= z_hi; ++cz)
      for (int y0 = y_lo; y0 <= y_hi; y0 += detail::row_block)
        distances(x_lo, ncols, y0, min_int(detail::row_block, y_hi - y0 + 1), cz,
                  block + (cz - z_lo) * plane + (y0 - y_lo) * ncols);
    block[(z - z_lo) * plane + (y - y_lo) * ncols + (x - x_lo)] = inf;  // never the reference
    const int places = nm2 - 1;
    double bound = inf;
    if (places > 0 && window >= places) {
      const int runs = static_cast<int>(window < 4L * places ? window : 4L * places);
      double* low = block + slots;  // each run's minimum (NaN never is one)
      for (int run = 0; run < runs; ++run) low[run] = inf;
      long i = 0;
      for (; i + runs <= window; i += runs)
        for (int run = 0; run < runs; ++run)
          low[run] = block[i + run] < low[run] ? block[i + run] : low[run];
      for (int run = 0; i < window; ++i, ++run)
        low[run] = block[i] < low[run] ? block[i] : low[run];
      std::nth_element(low, low + places - 1, low + runs);
      bound = low[places - 1];
    }
    const int kept = detail::keep_below(block, static_cast<int>(window), bound, tau_match, candidates);
    // The candidates come in scan order: their rows are found by walking
    // forward, not by dividing.
    int iz = 0, r = 0, row_start = 0;
    for (int j = 0; j < kept; ++j) {
      const int i = candidates[j];
      while (i >= row_start + ncols) {
        row_start += ncols;
        if (++r == nrows_all) {
          r = 0;
          ++iz;
        }
      }
      offer(block[i], x_lo + (i - row_start), y_lo + r, z_lo + iz);
    }
  } else {
    // A block of rows at a time. The worst kept distance only falls during
    // the scan, so a candidate not below both bounds now can never be kept:
    // one branch-free pass lists the few that may be, in scan order.
    for (int cz = z_lo; cz <= z_hi && ncols > 0; ++cz) {
      for (int y0 = y_lo; y0 <= y_hi; y0 += detail::row_block) {
        const int nrows = min_int(detail::row_block, y_hi - y0 + 1);
        distances(x_lo, ncols, y0, nrows, cz, block);
        const double bound = tau_match < dist[0] ? tau_match : dist[0];
        const int count = nrows * ncols;
        const int kept = detail::keep_below(block, count, inf, bound, candidates);
        for (int j = 0; j < kept; ++j) {
          const int i = candidates[j];
          const int r = i / ncols, c = i - r * ncols;
          const int cy = y0 + r;
          const int cx = x_lo + c;
          if (cx == x && cy == y && cz == z) continue;
          offer(block[i], cx, cy, cz);
        }
      }
    }
  }

  // Filled entries, counted from the reference down to the first empty one.
  int n = 0;
  for (int i = nm2 - 1; i >= 0; --i) {
    if (dist[i] == inf) break;
    n += 1;
  }

  // Largest power of two not above n.
  const int L = static_cast<int>(
      std::pow(2.0, std::floor(std::log(static_cast<double>(n)) / 0.6931471805599453)));

  for (int t = 0; t < L; ++t) {
    const int e = nm2 - 1 - t;
    positions[3 * t + 0] = static_cast<std::uint16_t>(pos[3 * e + 0]);
    positions[3 * t + 1] = static_cast<std::uint16_t>(pos[3 * e + 1]);
    positions[3 * t + 2] = static_cast<std::uint16_t>(pos[3 * e + 2]);
  }
  *group_size = L;
}

void grouping(const double* volume, int ndims, const int* dims, int nm1, int nm2, int nm3,
              int search_block_size, int synchronous, double tau_match, int x, int y, int z,
              std::uint16_t* positions, int* group_size) {
  if (nm2 < 1) {
    *group_size = 0;
    return;
  }
  // The working storage of one call, released before this returns.
  std::vector<int> work_ints(static_cast<std::size_t>(grouping_work_ints(nm1, nm2, nm3, search_block_size)));
  std::vector<double> work(
      static_cast<std::size_t>(grouping_work_doubles(nm1, nm2, nm3, search_block_size)));
  grouping(volume, ndims, dims, nm1, nm2, nm3, search_block_size, synchronous, tau_match, x, y, z,
           positions, group_size, work.data(), work_ints.data(), MatchingPath::simd);
}

}  // namespace zarvo
