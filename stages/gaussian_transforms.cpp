#include "gaussian_transforms.h"

#include <cstring>

namespace zarvo::stages {
namespace {

void copy(const double* from, int count, double* to) {
  std::memcpy(to, from, sizeof(double) * static_cast<std::size_t>(count));
}

// Slice transform of `slice` in place (through `tmp`): Tfor * S * Tfor'.
void forward_slice(const Geometry& g, const Transforms& t, double* slice, double* tmp) {
  mtimes(t.Tfor, 'N', slice, 'N', g.nm1, g.nm1, g.nm1, tmp);
  mtimes(tmp, 'N', t.Tfor, 'T', g.nm1, g.nm1, g.nm1, slice);
}

}  // namespace

void gather_forward(const Geometry& g, const Transforms& t, const double* volume,
                    const double* pilot, int L, Workspace& w) {
  const int off = g.group_offset(L);
  for (int k = 0; k < L; ++k) {
    const int xk = w.positions[3 * k], yk = w.positions[3 * k + 1], zk = w.positions[3 * k + 2];
    for (int s = 0; s < g.nm3; ++s) {
      if (pilot) {
        for (int l = 0; l < g.nm1; ++l) {
          for (int m = 0; m < g.nm1; ++m) {
            const int v = get_linear_index(xk + l, yk + m, zk + s, g.dims);
            w.slice_buf[m + g.nm1 * l] = volume[v];
            w.slice_buf_hat[m + g.nm1 * l] = pilot[v];
          }
        }
      } else {
        gather_slice(g, volume, xk, yk, zk, s, w.slice_buf);
      }
      forward_slice(g, t, w.slice_buf, w.slice_tmp);
      if (pilot) forward_slice(g, t, w.slice_buf_hat, w.slice_tmp);
      copy(w.slice_buf, g.slice_len, w.cube_slices + s * g.slice_len);
      if (pilot) copy(w.slice_buf_hat, g.slice_len, w.cube_slices_hat + s * g.slice_len);
    }
    mtimes(w.cube_slices, 'N', t.Tfor3, 'T', g.slice_len, g.nm3, g.nm3, w.cube_buf);
    if (pilot) mtimes(w.cube_slices_hat, 'N', t.Tfor3, 'T', g.slice_len, g.nm3, g.nm3, w.cube_buf_hat);
    copy(w.cube_buf, g.cube_len, w.group_buf + off + k * g.cube_len);
    if (pilot) copy(w.cube_buf_hat, g.cube_len, w.group_buf_hat + off + k * g.cube_len);
  }
  mtimes(w.group_buf + off, 'N', w.group_fwd, 'T', g.cube_len, L, L, w.group_spectrum + off);
  if (pilot)
    mtimes(w.group_buf_hat + off, 'N', w.group_fwd, 'T', g.cube_len, L, L,
           w.group_spectrum_hat + off);
}

void inverse_to_group_buf(const Geometry& g, const Transforms& t, int L, Workspace& w) {
  const int off = g.group_offset(L);
  mtimes(w.group_spectrum + off, 'N', w.group_inv, 'N', g.cube_len, L, L, w.group_buf + off);
  for (int k = 0; k < L; ++k) {
    double* cube = w.group_buf + off + k * g.cube_len;
    copy(cube, g.cube_len, w.cube_slices);
    mtimes(w.cube_slices, 'N', t.Tfor3, 'N', g.slice_len, g.nm3, g.nm3, w.cube_buf);
    for (int s = 0; s < g.nm3; ++s) {
      copy(w.cube_buf + s * g.slice_len, g.slice_len, w.slice_buf);
      mtimes(t.Tinv, 'T', w.slice_buf, 'N', g.nm1, g.nm1, g.nm1, w.slice_tmp);
      mtimes(w.slice_tmp, 'N', t.Tinv, 'N', g.nm1, g.nm1, g.nm1, w.slice_buf);
      copy(w.slice_buf, g.slice_len, cube + s * g.slice_len);
    }
  }
}

double spectrum_noise(const Geometry& g, int L, const double* spectrum, double* scratch) {
  if (L >= 2) return noise_std_estimation(spectrum + g.cube_len, (L - 1) * g.cube_len, scratch);
  return noise_std_estimation(spectrum, g.cube_len, scratch);
}

}  // namespace zarvo::stages
