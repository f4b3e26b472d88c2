#include "stage.h"

#include <algorithm>
#include <cstring>

#include "core/memory.h"

namespace zarvo::stages {

Layout::Layout(const Geometry& g) : Geometry(g) {
  // Every step below 1 visits every position; 1 keeps the grid's counter
  // from overflowing at the lowest int.
  if (step < 1) step = 1;
  voxels = dims[0] * dims[1] * (ndims == 3 ? dims[2] : 1);
  slice_len = cube_side * cube_side;
  cube_len = slice_len * cube_depth;
  last_row = dims[0] - cube_side + 1;
  last_column = dims[1] - cube_side + 1;
  last_slice = ndims == 3 ? dims[2] - cube_depth + 1 : 1;
}

Workspace allocate_workspace(const Layout& g, StageKind kind) {
  const bool wiener = kind == StageKind::wie || kind == StageKind::wie_rice;
  const std::size_t slice = g.slice_len, cube = g.cube_len;
  const std::size_t group = static_cast<std::size_t>(g.largest_group) * cube;
  const std::size_t match = static_cast<std::size_t>(
      grouping_work_doubles(g.cube_side, g.largest_group, g.cube_depth, window_half_width(g)));
  // Every buffer the stage uses, and its size; the others stay null.
  struct Part {
    double** buffer;
    std::size_t size;
    bool used;
  };
  Workspace w;
  const Part parts[] = {
      {&w.slice_buf, slice, true},
      {&w.slice_tmp, slice, true},
      {&w.cube_buf, cube, true},
      {&w.cube_slices, cube, true},
      {&w.group_spectrum, group, true},
      {&w.group_buf, group, true},
      {&w.group_spectrum_hat, group, wiener},
      {&w.group_buf_hat, group, wiener},
      {&w.group_out, group, kind == StageKind::wie_rice},
      {&w.match_work, match, true},
      {&w.noise_scratch, group, true},
  };
  std::size_t total = 0;
  for (const Part& p : parts)
    if (p.used) total += p.size;
  w.doubles.resize(total);
  double* next = w.doubles.data();
  for (const Part& p : parts) {
    if (!p.used) continue;
    *p.buffer = next;
    next += p.size;
  }
  w.ints.resize(static_cast<std::size_t>(
      grouping_work_ints(g.cube_side, g.largest_group, g.cube_depth, window_half_width(g))));
  w.match_ints = w.ints.data();
  w.triples.resize(3 * static_cast<std::size_t>(g.largest_group));
  w.positions = w.triples.data();
  w.products = GroupProducts(g.cube_side, g.cube_depth, g.largest_group);
  return w;
}

int window_half_width(const Layout& g) {
  const int slices = g.ndims == 3 ? g.dims[2] : 1;
  const int largest = std::max({g.dims[0], g.dims[1], slices});
  return g.search_half_width > largest ? largest : g.search_half_width;
}

int matching_reach(const Layout& g) {
  const int h = window_half_width(g);
  if (g.synchronous || h < 0) return 0;
  return h;
}

Accumulators allocate_accumulators(const Layout& g, bool adaptive, int band, int threads) {
  Accumulators a;
  const int slices = g.ndims == 3 ? g.dims[2] : 1;
  long needed = 2L * matching_reach(g) + g.cube_depth;
  if (band > needed) needed = band;
  a.band = needed < slices ? static_cast<int>(needed) : slices;
  a.plane_len = static_cast<std::size_t>(g.dims[0]) * static_cast<std::size_t>(g.dims[1]);
  const std::size_t voxels = a.plane_len * static_cast<std::size_t>(a.band);
  resize_large(a.storage, (adaptive ? 4 : 2) * voxels, threads);
  double* next = a.storage.data();
  a.numerator = next;
  a.weights = next + voxels;
  next += 2 * voxels;
  if (adaptive) {
    a.sigma_sum = next;
    a.sigma_count = next + voxels;
    next += 2 * voxels;
  }
  a.cube_numerator.resize(static_cast<std::size_t>(g.cube_depth));
  a.cube_weights.resize(static_cast<std::size_t>(g.cube_depth));
  return a;
}

bool touches_mask(const Layout& g, int x, int y, int z) {
  if (!g.mask) return true;
  for (int s = 0; s < g.cube_depth; ++s)
    for (int l = 0; l < g.cube_side; ++l) {
      const unsigned char* column = g.mask + get_linear_index(x + l, y, z + s, g.dims);
      for (int m = 0; m < g.cube_side; ++m)
        if (column[m]) return true;
    }
  return false;
}

void gather_group(const Layout& g, const std::uint16_t* positions, int L, const double* volume,
                  double* to) {
  const std::ptrdiff_t plane = static_cast<std::ptrdiff_t>(g.dims[0]) * g.dims[1];
  for (int k = 0; k < L; ++k) {
    const int xk = positions[3 * k], yk = positions[3 * k + 1], zk = positions[3 * k + 2];
    gather_cube(volume + get_linear_index(xk, yk, zk, g.dims), g.cube_side, g.cube_depth, g.dims[0],
                plane, to + static_cast<std::size_t>(k) * g.cube_len);
  }
}

void aggregate(const Layout& g, const GroupResult& r, Accumulators& acc) {
  const double d = r.sigma * r.sigma * r.W;
  const double weight = 1.0 / d;  // the same quotient for every voxel
  double** numerator = acc.cube_numerator.data();
  double** weights = acc.cube_weights.data();
  for (int k = 0; k < r.L; ++k) {
    const int xk = r.positions[3 * k], yk = r.positions[3 * k + 1], zk = r.positions[3 * k + 2];
    const std::size_t first = static_cast<std::size_t>(get_linear_index(xk, yk, 1, g.dims));
    for (int s = 0; s < g.cube_depth; ++s) {
      numerator[s] = acc.numerator + acc.slice_offset(zk + s) + first;
      weights[s] = acc.weights + acc.slice_offset(zk + s) + first;
    }
    add_cube(r.estimate + static_cast<std::size_t>(k) * g.cube_len, g.cube_side, g.cube_depth, d,
             weight, numerator, weights, g.dims[0]);
    if (!r.add_to_noise_map) continue;
    for (int s = 0; s < g.cube_depth; ++s)
      for (int l = 0; l < g.cube_side; ++l) {
        const std::size_t v0 =
            acc.slice_offset(zk + s) + first + static_cast<std::size_t>(g.dims[0]) * l;
        for (int m = 0; m < g.cube_side; ++m) {
          acc.sigma_sum[v0 + m] += r.sigma;
          acc.sigma_count[v0 + m] += 1.0;
        }
      }
  }
}

void normalise(Accumulators& acc, const Output& out, int first, int last) {
  for (int z = first; z <= last; ++z) {
    const std::size_t band = acc.slice_offset(z);
    const std::size_t volume = static_cast<std::size_t>(z - 1) * acc.plane_len;
    double* numerator = acc.numerator + band;
    double* weights = acc.weights + band;
    for (std::size_t i = 0; i < acc.plane_len; ++i) {
      const std::size_t v = volume + i;
      out.estimate[v] = weights[i] > eps ? numerator[i] / weights[i] : out.fallback[v];
      if (!out.noise_map) continue;
      if (acc.sigma_count) {
        const double count = acc.sigma_count[band + i];
        out.noise_map[v] = count > eps ? acc.sigma_sum[band + i] / count : 0.0;
      } else {
        out.noise_map[v] = 0.0;
      }
    }
    std::fill(numerator, numerator + acc.plane_len, 0.0);
    std::fill(weights, weights + acc.plane_len, 0.0);
    if (acc.sigma_count) {
      std::fill(acc.sigma_sum + band, acc.sigma_sum + band + acc.plane_len, 0.0);
      std::fill(acc.sigma_count + band, acc.sigma_count + band + acc.plane_len, 0.0);
    }
  }
}

int find_group(const Layout& g, const double* volume, int x, int y, int z, Workspace& w) {
  int L = 0;
  grouping(volume, g.ndims, g.dims, g.cube_side, g.largest_group, g.cube_depth,
           window_half_width(g), g.synchronous, g.match_threshold, x, y, z, w.positions, &L,
           w.match_work, w.match_ints);
  return L;
}

void load_group_matrices(const Transforms& t, int L, Workspace& w) {
  const int i = group_size_index(L);
  w.group_forward = t.group_forward[i];
  w.group_inverse = t.group_inverse[i];
  w.products.plan_group(L, w.group_forward, w.group_inverse);
}

}  // namespace zarvo::stages
