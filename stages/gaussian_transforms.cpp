#include "gaussian_transforms.h"

namespace zarvo::stages {

void gather_forward(const Geometry& g, const Transforms& t, const double* volume,
                    const double* pilot, int L, Workspace& w) {
  const int off = g.group_offset(L);
  const GroupProducts& p = w.products;
  for (int k = 0; k < L; ++k) {
    const int xk = w.positions[3 * k], yk = w.positions[3 * k + 1], zk = w.positions[3 * k + 2];
    for (int s = 0; s < g.nm3; ++s) {
      gather_slice(g, volume, xk, yk, zk, s, w.slice_buf);
      if (pilot) gather_slice(g, pilot, xk, yk, zk, s, w.slice_buf_hat);
      // The slice's 2-D transform Tfor * S * Tfor'.
      p.slice(t.Tfor, w.slice_buf, w.slice_tmp);
      p.slice_bt(w.slice_tmp, t.Tfor, w.cube_slices + s * g.slice_len);
      if (pilot) {
        p.slice(t.Tfor, w.slice_buf_hat, w.slice_tmp);
        p.slice_bt(w.slice_tmp, t.Tfor, w.cube_slices_hat + s * g.slice_len);
      }
    }
    p.depth_bt(w.cube_slices, t.Tfor3, w.group_buf + off + k * g.cube_len);
    if (pilot) p.depth_bt(w.cube_slices_hat, t.Tfor3, w.group_buf_hat + off + k * g.cube_len);
  }
  const Product& group = p.group_bt[Transforms::size_index(L)];
  group(w.group_buf + off, w.group_fwd, w.group_spectrum + off);
  if (pilot) group(w.group_buf_hat + off, w.group_fwd, w.group_spectrum_hat + off);
}

void inverse_to_group_buf(const Geometry& g, const Transforms& t, int L, Workspace& w) {
  const int off = g.group_offset(L);
  inverse_transformation(w.products, w.group_spectrum + off, w.group_buf + off, g.nm1, g.nm3, L,
                         w.slice_buf, w.slice_tmp, w.cube_buf, t.Tinv, t.Tfor3, w.group_inv,
                         w.group_buf + off);
}

double spectrum_noise(const Geometry& g, int L, const double* spectrum, double* scratch) {
  if (L >= 2) return noise_std_estimation(spectrum + g.cube_len, (L - 1) * g.cube_len, scratch);
  return noise_std_estimation(spectrum, g.cube_len, scratch);
}

}  // namespace zarvo::stages
