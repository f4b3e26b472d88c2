#include "gaussian_transforms.h"

namespace zarvo::stages {

void gather_forward(const Layout& g, const Transforms& t, const double* volume, const double* pilot,
                    int L, Workspace& w) {
  const int off = g.group_offset(L);
  // Each group is gathered into its spectrum's block and transformed there
  // (group_buf receives the cubes' slice and depth transforms).
  gather_group(g, w.positions, L, volume, w.group_spectrum + off);
  forward_transformation(w.products, w.group_spectrum + off, w.group_buf + off, g.cube_side,
                         g.cube_depth, L, w.slice_tmp, w.cube_slices, t.slice_forward,
                         t.depth_forward, w.group_forward, w.group_spectrum + off);
  if (!pilot) return;
  gather_group(g, w.positions, L, pilot, w.group_spectrum_hat + off);
  forward_transformation(w.products, w.group_spectrum_hat + off, w.group_buf_hat + off, g.cube_side,
                         g.cube_depth, L, w.slice_tmp, w.cube_slices, t.slice_forward,
                         t.depth_forward, w.group_forward, w.group_spectrum_hat + off);
}

double* inverse_spectrum(const Layout& g, const Transforms& t, int L, Workspace& w) {
  const int off = g.group_offset(L);
  double* spectrum = w.group_spectrum + off;
  inverse_transformation(w.products, spectrum, w.group_buf + off, g.cube_side, g.cube_depth, L,
                         w.slice_buf, w.slice_tmp, w.cube_buf, t.slice_inverse, t.depth_forward,
                         w.group_inverse, spectrum);
  return spectrum;
}

double spectrum_noise(const Layout& g, int L, const double* spectrum, double* scratch) {
  if (L >= 2) return noise_std_estimation(spectrum + g.cube_len, (L - 1) * g.cube_len, scratch);
  return noise_std_estimation(spectrum, g.cube_len, scratch);
}

}  // namespace zarvo::stages
