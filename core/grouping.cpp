// Block matching: the reference cube's closest cubes within a search window.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/zarvo.h"
#include "mex.h"

namespace zarvo {

namespace {

inline int low_end(int v, int h) { return v - h >= 1 ? v - h : 1; }
inline int min_int(int a, int b) { return a < b ? a : b; }

}  // namespace

void grouping(const double* volume, int ndims, const int* dims, int nm1, int nm2, int nm3,
              int search_block_size, int synchronous, double tau_match, int x, int y, int z,
              std::uint16_t* positions, int* group_size) {
  // Without an entry for the reference there is no group to report.
  if (nm2 < 1) {
    *group_size = 0;
    return;
  }

  // Match list: entry nm2 - 1 is the reference, entry 0 the worst kept match
  // (or an empty entry, distance +inf). Distances never increase from entry 0
  // towards the reference.
  const std::size_t entries = static_cast<std::size_t>(nm2);
  int* pos = static_cast<int*>(mxMalloc(3 * entries * sizeof(int)));
  double* dist = static_cast<double*>(mxMalloc(entries * sizeof(double)));
  const double inf = mxGetInf();
  for (int i = 0; i < nm2 - 1; ++i) dist[i] = inf;
  const int ref = nm2 - 1;
  pos[3 * ref + 0] = x;
  pos[3 * ref + 1] = y;
  pos[3 * ref + 2] = z;
  dist[ref] = 0.0;

  // Window centred on the reference, clipped separately at every border so
  // that every candidate cube lies inside the volume.
  const int h = search_block_size;
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

  // Slices outermost, columns innermost: this order breaks ties.
  for (int cz = z_lo; cz <= z_hi; ++cz) {
    for (int cy = y_lo; cy <= y_hi; ++cy) {
      for (int cx = x_lo; cx <= x_hi; ++cx) {
        if (cx == x && cy == y && cz == z) continue;

        // Full sum of squared differences, one addition at a time.
        double d = 0.0;
        for (int a = 0; a < nm1; ++a) {
          for (int b = 0; b < nm1; ++b) {
            for (int s = 0; s < nm3; ++s) {
              const double diff = volume[get_linear_index(x + a, y + b, z + s, dims)] -
                                  volume[get_linear_index(cx + a, cy + b, cz + s, dims)];
              d += diff * diff;
            }
          }
        }

        // Strict tests: a tie with the threshold or with the worst kept match
        // is refused, and NaN fails both.
        if (!(d < tau_match && d < dist[0])) continue;

        // Replace the worst entry and move the newcomer towards the
        // reference past every strictly worse match. The reference entry is
        // never touched, so an earlier match of equal distance stays ahead.
        dist[0] = d;
        pos[0] = cx;
        pos[1] = cy;
        pos[2] = cz;
        for (int p = 1; p <= nm2 - 2; ++p) {
          if (!(dist[p] > d)) break;
          const double td = dist[p - 1];
          dist[p - 1] = dist[p];
          dist[p] = td;
          for (int c = 0; c < 3; ++c) {
            const int tp = pos[3 * (p - 1) + c];
            pos[3 * (p - 1) + c] = pos[3 * p + c];
            pos[3 * p + c] = tp;
          }
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
  const int L = static_cast<int>(std::pow(2.0, std::floor(std::log(static_cast<double>(n)) /
                                                          0.6931471805599453)));

  for (int t = 0; t < L; ++t) {
    const int e = nm2 - 1 - t;
    positions[3 * t + 0] = static_cast<std::uint16_t>(pos[3 * e + 0]);
    positions[3 * t + 1] = static_cast<std::uint16_t>(pos[3 * e + 1]);
    positions[3 * t + 2] = static_cast<std::uint16_t>(pos[3 * e + 2]);
  }
  *group_size = L;

  mxFree(pos);
  mxFree(dist);
}

}  // namespace zarvo
