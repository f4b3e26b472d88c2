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

constexpr double inf = std::numeric_limits<double>::infinity();

inline int min_int(int a, int b) { return a < b ? a : b; }

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
// before any is examined (see scan_whole_window); larger ones a block of
// rows at a time.
constexpr std::int64_t max_whole_window = 32768;

// Candidates a distance buffer holds: the whole window, or a block of rows.
int distance_slots(int search_block_size) {
  const int h = clamped_half_width(search_block_size);
  const std::int64_t width = h >= 0 ? 2 * static_cast<std::int64_t>(h) + 1 : 0;
  const std::int64_t window = width * width * width;
  const std::int64_t block = detail::row_block * width;
  return static_cast<int>(window <= max_whole_window && window > block ? window : block);
}

// The first voxels of the candidate cubes: a window centred on the
// reference, clipped separately at every border so that every candidate
// cube lies inside the volume (empty along an axis when hi < lo).
struct Window {
  int x_lo, x_hi, y_lo, y_hi, z_lo, z_hi;
  int columns() const { return x_hi - x_lo + 1; }
  int rows() const { return y_hi - y_lo + 1; }
  // Candidates in the window (0 when it is empty).
  long size() const {
    return static_cast<long>(columns() > 0 ? columns() : 0) * (rows() > 0 ? rows() : 0) *
           (z_hi - z_lo + 1);
  }
};

Window search_window(int ndims, const int* dims, int nm1, int nm3, int h, int synchronous, int x,
                     int y, int z) {
  // |h| <= 65536 and every coordinate <= 65535: no sum leaves int.
  const auto low = [h](int v) { return v - h >= 1 ? v - h : 1; };
  Window w;
  w.x_lo = low(x);
  w.x_hi = min_int(x + h, dims[1] - nm1 + 1);
  w.y_lo = low(y);
  w.y_hi = min_int(y + h, dims[0] - nm1 + 1);
  w.z_lo = 1;
  w.z_hi = 1;
  if (ndims == 3) {
    w.z_lo = low(z);
    w.z_hi = min_int(z + h, dims[2] - nm3 + 1);
  }
  if (synchronous != 0) {
    w.z_lo = z;
    w.z_hi = z;
  }
  return w;
}

// The best matches found so far. Entry nm2 - 1 is the reference, entry 0 the
// worst kept match (or an empty entry, distance +inf). Distances never
// increase from entry 0 towards the reference.
class MatchList {
 public:
  MatchList(double* dist, int* pos, int nm2, double tau_match, int x, int y, int z)
      : dist_(dist), pos_(pos), nm2_(nm2), tau_(tau_match) {
    for (int i = 0; i < nm2 - 1; ++i) dist_[i] = inf;
    const int ref = nm2 - 1;
    pos_[3 * ref + 0] = x;
    pos_[3 * ref + 1] = y;
    pos_[3 * ref + 2] = z;
    dist_[ref] = 0.0;
  }

  // Below this a candidate may still be kept.
  double bound() const { return tau_ < dist_[0] ? tau_ : dist_[0]; }

  // Offers candidate (cx, cy, cz) at distance d.
  void offer(double d, int cx, int cy, int cz) {
    // Strict tests: a tie with the threshold or with the worst kept match is
    // refused, and NaN fails both.
    if (!(d < tau_ && d < dist_[0])) return;

    // Replace the worst entry and move the newcomer towards the reference
    // past every strictly worse match, that is, drop entry 0 and shift the
    // strictly worse entries 1 .. q down by one (what swapping the newcomer
    // past them one at a time gives). The reference entry is never touched,
    // so an earlier match of equal distance stays ahead.
    // Entries 1 .. nm2 - 2 never increase, so the strictly worse ones are a
    // leading run of them, found by halving without branches.
    int q = 0;
    if (nm2_ > 2) {
      const double* base = dist_ + 1;
      for (int n = nm2_ - 2; n > 1; n -= n / 2) base = base[n / 2] > d ? base + n / 2 : base;
      q = static_cast<int>(base - (dist_ + 1)) + (*base > d);
    }
    for (int m = 0; m < q; ++m) {
      dist_[m] = dist_[m + 1];
      pos_[3 * m + 0] = pos_[3 * m + 3];
      pos_[3 * m + 1] = pos_[3 * m + 4];
      pos_[3 * m + 2] = pos_[3 * m + 5];
    }
    dist_[q] = d;
    pos_[3 * q + 0] = cx;
    pos_[3 * q + 1] = cy;
    pos_[3 * q + 2] = cz;
  }

  // Writes the reference and the best matches, the largest power of two of
  // the filled entries, into `positions`; returns their number.
  int write_group(std::uint16_t* positions) const {
    // Filled entries, counted from the reference down to the first empty one.
    int n = 0;
    for (int i = nm2_ - 1; i >= 0; --i) {
      if (dist_[i] == inf) break;
      n += 1;
    }
    // Largest power of two not above n.
    const int L = static_cast<int>(
        std::pow(2.0, std::floor(std::log(static_cast<double>(n)) / 0.6931471805599453)));
    for (int t = 0; t < L; ++t) {
      const int e = nm2_ - 1 - t;
      positions[3 * t + 0] = static_cast<std::uint16_t>(pos_[3 * e + 0]);
      positions[3 * t + 1] = static_cast<std::uint16_t>(pos_[3 * e + 1]);
      positions[3 * t + 2] = static_cast<std::uint16_t>(pos_[3 * e + 2]);
    }
    return L;
  }

 private:
  double* dist_;
  int* pos_;
  int nm2_;
  double tau_;
};

// The distances of a block of candidates to the reference cube, on the
// chosen path; with more channels, the sum over them, channel by channel.
struct Distances {
  detail::CubeDistance k;
  MatchingPath path;
  const detail::CubeDistance* more = nullptr;  // channels after the first
  int more_count = 0;
  double* scratch = nullptr;  // a block of distances of one channel
  void one(const detail::CubeDistance& c, int x0, int ncols, int y0, int nrows, int cz,
           double* out) const {
    if (path == MatchingPath::simd) {
      detail::block_distances_simd(c, x0, ncols, y0, nrows, cz, out);
    } else {
      detail::block_distances_scalar(c, x0, ncols, y0, nrows, cz, out);
    }
  }
  void operator()(int x0, int ncols, int y0, int nrows, int cz, double* out) const {
    one(k, x0, ncols, y0, nrows, cz, out);
    const int count = nrows * ncols;
    for (int c = 0; c < more_count; ++c) {
      one(more[c], x0, ncols, y0, nrows, cz, scratch);
      for (int i = 0; i < count; ++i) out[i] += scratch[i];
    }
  }
};

// Sets up the distances of candidates to the reference cube at (x, y, z):
// the reference voxels (into ref_values) and their offsets from a cube's
// first voxel (into offsets), in the order the distance adds them: column
// offset outermost, then row offset, slice offset innermost.
Distances reference_distances(const double* volume, int ndims, const int* dims, int nm1, int nm3,
                              int x, int y, int z, double* ref_values, int* offsets,
                              MatchingPath path) {
  Distances d;
  d.path = path;
  detail::CubeDistance& k = d.k;
  k.volume = volume;
  k.rows = dims[0];
  k.plane = static_cast<std::ptrdiff_t>(dims[0]) * dims[1];
  k.voxels = k.plane * (ndims == 3 ? dims[2] : 1);
  k.cube_len = nm1 * nm1 * nm3;
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
  return d;
}

// The whole window at once (it fits the distance buffer `block` of `slots`
// places, with the runs' minima after them). Dealt into four times as many
// interleaved runs as the list has places (nm2 - 1), the runs' minima bound
// the list's worst: at least `places` candidates lie at or below the
// places-th smallest minimum, so no candidate above it can be kept. Only
// those at or below it (typically about twice the places) are offered, in
// scan order.
void scan_whole_window(const Window& win, const Distances& distances, int nm2, double tau_match,
                       int x, int y, int z, double* block, int slots, int* candidates,
                       MatchList& list) {
  const int ncols = win.columns(), nrows_all = win.rows();
  const long window = win.size();
  const int plane = nrows_all * ncols;
  for (int cz = win.z_lo; cz <= win.z_hi; ++cz)
    for (int y0 = win.y_lo; y0 <= win.y_hi; y0 += detail::row_block)
      distances(win.x_lo, ncols, y0, min_int(detail::row_block, win.y_hi - y0 + 1), cz,
                block + (cz - win.z_lo) * plane + (y0 - win.y_lo) * ncols);
  // Never the reference.
  block[(z - win.z_lo) * plane + (y - win.y_lo) * ncols + (x - win.x_lo)] = inf;
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
    for (int run = 0; i < window; ++i, ++run) low[run] = block[i] < low[run] ? block[i] : low[run];
    std::nth_element(low, low + places - 1, low + runs);
    bound = low[places - 1];
  }
  const int kept =
      detail::keep_below(block, static_cast<int>(window), bound, tau_match, candidates);
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
    list.offer(block[i], win.x_lo + (i - row_start), win.y_lo + r, win.z_lo + iz);
  }
}

// A block of rows at a time. The worst kept distance only falls during the
// scan, so a candidate not below both bounds now can never be kept: one
// branch-free pass lists the few that may be, in scan order.
void scan_row_blocks(const Window& win, const Distances& distances, int x, int y, int z,
                     double* block, int* candidates, MatchList& list) {
  const int ncols = win.columns();
  for (int cz = win.z_lo; cz <= win.z_hi && ncols > 0; ++cz) {
    for (int y0 = win.y_lo; y0 <= win.y_hi; y0 += detail::row_block) {
      const int nrows = min_int(detail::row_block, win.y_hi - y0 + 1);
      distances(win.x_lo, ncols, y0, nrows, cz, block);
      const int count = nrows * ncols;
      const int kept = detail::keep_below(block, count, inf, list.bound(), candidates);
      for (int j = 0; j < kept; ++j) {
        const int i = candidates[j];
        const int r = i / ncols, c = i - r * ncols;
        const int cy = y0 + r;
        const int cx = win.x_lo + c;
        if (cx == x && cy == y && cz == z) continue;
        list.offer(block[i], cx, cy, cz);
      }
    }
  }
}

}  // namespace

int grouping_work_doubles(int nm1, int nm2, int nm3, int search_block_size) {
  // The match list, the reference cube, the distances and their runs'
  // minima (four runs per place of the list).
  return 5 * (nm2 > 0 ? nm2 : 0) + nm1 * nm1 * nm3 + distance_slots(search_block_size);
}

int grouping_work_ints(int nm1, int nm2, int nm3, int search_block_size) {
  return 3 * (nm2 > 0 ? nm2 : 0) + nm1 * nm1 * nm3 + distance_slots(search_block_size);
}

namespace {

// Grouping on `channels` volumes; `more` holds room for the channels after
// the first, `extra` their reference voxels and a block of distances.
void group_on(const double* const* volumes, int channels, int ndims, const int* dims, int nm1,
              int nm2, int nm3, int search_block_size, int synchronous, double tau_match, int x,
              int y, int z, std::uint16_t* positions, int* group_size, double* work, int* work_ints,
              double* extra, detail::CubeDistance* more, MatchingPath path) {
  // Without an entry for the reference there is no group to report.
  if (nm2 < 1) {
    *group_size = 0;
    return;
  }
  const int h = clamped_half_width(search_block_size);
  // The working storage: the match list's distances and positions, the
  // reference cube and its offsets, then the distance buffer and the
  // candidates' indices into it.
  MatchList list(work, work_ints, nm2, tau_match, x, y, z);
  double* ref_values = work + nm2;
  int* offsets = work_ints + 3 * nm2;
  Distances distances =
      reference_distances(volumes[0], ndims, dims, nm1, nm3, x, y, z, ref_values, offsets, path);
  double* block = ref_values + nm1 * nm1 * nm3;
  int* candidates = offsets + nm1 * nm1 * nm3;
  const int slots = distance_slots(h);
  if (channels > 1) {
    const int cube_len = nm1 * nm1 * nm3;
    for (int c = 1; c < channels; ++c) {
      more[c - 1] =
          reference_distances(volumes[c], ndims, dims, nm1, nm3, x, y, z,
                              extra + static_cast<std::size_t>(c - 1) * cube_len, offsets, path)
              .k;
    }
    distances.more = more;
    distances.more_count = channels - 1;
    distances.scratch = extra + static_cast<std::size_t>(channels - 1) * cube_len;
  }

  // Slices outermost, columns innermost: this order breaks ties. The
  // distances are formed first (the whole sum, with no early exit), then
  // examined in scan order. The list ends as the nm2 - 1 smallest distances
  // below the threshold, earlier candidates first among equal ones, whatever
  // candidates that cannot be among them are left out; the scans only choose
  // which to leave out.
  const Window win = search_window(ndims, dims, nm1, nm3, h, synchronous, x, y, z);
  const long window = win.size();
  if (window > 0 && window <= slots) {
    scan_whole_window(win, distances, nm2, tau_match, x, y, z, block, slots, candidates, list);
  } else {
    scan_row_blocks(win, distances, x, y, z, block, candidates, list);
  }
  *group_size = list.write_group(positions);
}

}  // namespace

void grouping(const double* volume, int ndims, const int* dims, int nm1, int nm2, int nm3,
              int search_block_size, int synchronous, double tau_match, int x, int y, int z,
              std::uint16_t* positions, int* group_size, double* work, int* work_ints,
              MatchingPath path) {
  group_on(&volume, 1, ndims, dims, nm1, nm2, nm3, search_block_size, synchronous, tau_match, x, y,
           z, positions, group_size, work, work_ints, nullptr, nullptr, path);
}

int grouping_channels_extra_doubles(int nm1, int nm3, int search_block_size, int channels) {
  if (channels <= 1) return 0;
  return (channels - 1) * nm1 * nm1 * nm3 + distance_slots(search_block_size);
}

void grouping_channels(const double* const* volumes, int channels, int ndims, const int* dims,
                       int nm1, int nm2, int nm3, int search_block_size, int synchronous,
                       double tau_match, int x, int y, int z, std::uint16_t* positions,
                       int* group_size, double* work, int* work_ints, double* extra,
                       MatchingPath path) {
  std::vector<detail::CubeDistance> more(static_cast<std::size_t>(channels > 1 ? channels - 1 : 0));
  group_on(volumes, channels, ndims, dims, nm1, nm2, nm3, search_block_size, synchronous, tau_match,
           x, y, z, positions, group_size, work, work_ints, extra, more.data(), path);
}

}  // namespace zarvo
