#include "stage.h"

#include <cstring>

#include "mex.h"

namespace zarvo::stages {
namespace {

double* take(int count) {
  return static_cast<double*>(mxMalloc(sizeof(double) * static_cast<std::size_t>(count)));
}

double* take_zeroed(int count) {
  double* p = take(count);
  std::memset(p, 0, sizeof(double) * static_cast<std::size_t>(count));
  return p;
}

}  // namespace

void Geometry::derive() {
  voxels = dims[0] * dims[1] * (ndims == 3 ? dims[2] : 1);
  slice_len = nm1 * nm1;
  cube_len = slice_len * nm3;
  R = dims[0] - nm1 + 1;
  C = dims[1] - nm1 + 1;
  S = ndims == 3 ? dims[2] - nm3 + 1 : 1;
}

Workspace allocate_workspace(const Geometry& g, StageKind kind) {
  Workspace w;
  const int group_len = g.nm2 * g.cube_len;
  const bool wiener = kind == StageKind::wie || kind == StageKind::wie_rice;
  w.positions = static_cast<std::uint16_t*>(
      mxMalloc(sizeof(std::uint16_t) * 3 * static_cast<std::size_t>(g.nm2)));
  w.slice_buf = take(g.slice_len);
  w.slice_tmp = take(g.slice_len);
  w.cube_buf = take(g.cube_len);
  w.cube_slices = take(g.cube_len);
  if (kind == StageKind::wie) {
    w.slice_buf_hat = take(g.slice_len);
    w.cube_buf_hat = take(g.cube_len);
    w.cube_slices_hat = take(g.cube_len);
  }
  w.group_spectrum = take(group_len);
  w.group_buf = take(group_len);
  if (wiener) {
    w.group_spectrum_hat = take(group_len);
    w.group_buf_hat = take(group_len);
  }
  if (kind == StageKind::wie_rice) w.group_out = take(group_len);
  w.group_fwd = take(g.nm2 * g.nm2);
  w.group_inv = take(g.nm2 * g.nm2);
  w.match_work = take(grouping_work_doubles(g.nm1, g.nm2, g.nm3, g.search_block_size));
  w.match_ints = static_cast<int*>(mxMalloc(
      sizeof(int) * static_cast<std::size_t>(grouping_work_ints(g.nm1, g.nm2, g.nm3))));
  w.noise_scratch = take(group_len);
  return w;
}

Accumulators allocate_accumulators(const Geometry& g, bool adaptive) {
  Accumulators a;
  a.numerator = take_zeroed(g.voxels);
  a.weights = take_zeroed(g.voxels);
  a.quotients = take(g.nm2 * g.cube_len);
  if (adaptive) {
    a.sigma_sum = take_zeroed(g.voxels);
    a.sigma_count = take_zeroed(g.voxels);
  }
  return a;
}

void gather_slice(const Geometry& g, const double* volume, int x, int y, int z, int s,
                  double* slice) {
  for (int l = 0; l < g.nm1; ++l) {
    for (int m = 0; m < g.nm1; ++m) {
      slice[m + g.nm1 * l] = volume[get_linear_index(x + l, y + m, z + s, g.dims)];
    }
  }
}

void aggregate(const Geometry& g, const GroupResult& r, Accumulators& acc) {
  const double d = r.sigma * r.sigma * r.W;
  const double weight = 1.0 / d;  // the same quotient for every voxel
  double* __restrict numerator = acc.numerator;
  double* __restrict weights = acc.weights;
  // Every estimate over d first (in SIMD), then added voxel by voxel.
  divide_by(r.estimate, r.L * g.cube_len, d, acc.quotients);
  for (int k = 0; k < r.L; ++k) {
    const int xk = r.positions[3 * k], yk = r.positions[3 * k + 1], zk = r.positions[3 * k + 2];
    const double* cube = acc.quotients + static_cast<std::size_t>(k) * g.cube_len;
    for (int s = 0; s < g.nm3; ++s) {
      const double* slice = cube + s * g.slice_len;
      for (int l = 0; l < g.nm1; ++l) {
        // One column of the cube: nm1 voxels next to each other.
        const int v0 = get_linear_index(xk + l, yk, zk + s, g.dims);
        const double* __restrict e = slice + g.nm1 * l;
        for (int m = 0; m < g.nm1; ++m) {
          numerator[v0 + m] += e[m];
          weights[v0 + m] += weight;
        }
        if (r.add_to_noise_map) {
          for (int m = 0; m < g.nm1; ++m) {
            acc.sigma_sum[v0 + m] += r.sigma;
            acc.sigma_count[v0 + m] += 1.0;
          }
        }
      }
    }
  }
}

void normalise(const Geometry& g, const Accumulators& acc, const double* fallback, double* y_hat,
               double* noise_map) {
  for (int i = 0; i < g.voxels; ++i) {
    y_hat[i] = acc.weights[i] > mxGetEps() ? acc.numerator[i] / acc.weights[i] : fallback[i];
    if (acc.sigma_count) {
      noise_map[i] = acc.sigma_count[i] > mxGetEps() ? acc.sigma_sum[i] / acc.sigma_count[i] : 0.0;
    } else {
      noise_map[i] = 0.0;
    }
  }
}

int find_group(const Geometry& g, const double* volume, int x, int y, int z, Workspace& w) {
  int L = 0;
  grouping(volume, g.ndims, g.dims, g.nm1, g.nm2, g.nm3, g.search_block_size, g.synchronous,
           g.tau_match, x, y, z, w.positions, &L, w.match_work, w.match_ints);
  return L;
}

void load_group_matrices(const Transforms& t, int L, Workspace& w) {
  const int i = Transforms::size_index(L);
  const std::size_t bytes = sizeof(double) * static_cast<std::size_t>(L) * L;
  std::memcpy(w.group_fwd, t.group_fwd[i], bytes);
  std::memcpy(w.group_inv, t.group_inv[i], bytes);
}

}  // namespace zarvo::stages
