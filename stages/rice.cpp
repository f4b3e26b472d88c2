// Rician stages: each group is variance-stabilised for its own noise level,
// filtered as for unit Gaussian noise, and mapped back with the unbiased
// inverse of the stabilisation.
#include <cstring>

#include "group_filters.h"
#include "shrinkage.h"
#include "vst/vst.h"
#include "walker.h"

namespace zarvo::stages {
namespace {

// True when the groups may be gathered from volumes stabilised ahead: one
// level for every group, above eps (where every group is stabilised).
bool stabilised_ahead(const RiceNoise& noise, const double* stabilised) {
  return stabilised && noise.count == 1 && noise.levels[0] > eps;
}

// The group's noise level: estimated from its noisy samples in adaptive
// mode, otherwise the level given for the reference cube's first voxel.
double group_level(const Layout& g, const RiceNoise& noise, const double* samples, int K, int x,
                   int y, int z, double* scratch) {
  if (noise.adaptive()) {
    double level = 0;
    vst::estimate_rician_parameters(samples, K, &level, scratch);
    return level;
  }
  return noise.at(get_linear_index(x, y, z, g.dims));
}

}  // namespace

void filter_thr_rice_group(const Layout& g, const Transforms& t, const ThrRiceSettings& p,
                           const double* noisy, int x, int y, int z, Workspace& w, GroupResult& r) {
  const int L = find_group(g, noisy, x, y, z, w);
  const int off = g.group_offset(L);
  const int K = L * g.cube_len;
  double* raw = w.group_buf + off;
  double* stabilised = w.group_spectrum + off;
  load_group_matrices(t, L, w);
  const bool ready = stabilised_ahead(p.noise, p.stabilised);
  if (ready) {
    gather_group(g, w.positions, L, p.stabilised, stabilised);
  } else {
    gather_group(g, w.positions, L, noisy, raw);
  }

  double level =
      ready ? p.noise.levels[0] : group_level(g, p.noise, raw, K, x, y, z, w.noise_scratch);
  double W = 1;
  bool thresholded = false;
  if (!(level > eps)) {
    level = eps;
  } else {
    thresholded = true;
    if (!ready) vst::forward_stabilization(raw, K, level, stabilised);
    forward_transformation(w.products, stabilised, raw, g.cube_side, g.cube_depth, L, w.slice_tmp,
                           w.cube_slices, t.slice_forward, t.depth_forward, w.group_forward,
                           stabilised);
    W = threshold_spectrum(stabilised, K, p.threshold, p.alpha, p.soft, 1.0);
    inverse_transformation(w.products, stabilised, raw, g.cube_side, g.cube_depth, L, w.slice_buf,
                           w.slice_tmp, w.cube_buf, t.slice_inverse, t.depth_forward,
                           w.group_inverse, stabilised);
    vst::inverse_stabilization(stabilised, K, level, raw);
  }
  r.L = L;
  r.positions = w.positions;
  r.estimate = raw;
  r.sigma = level;
  r.W = W;
  r.add_to_noise_map = p.noise.adaptive() && thresholded;
}

void run_thr_rice(const Geometry& geometry, const Transforms& t, const ThrRiceSettings& p,
                  const double* noisy, double* estimate, double* noise_map,
                  const RunContext& context) {
  const Layout g(geometry);
  Accumulators acc = allocate_accumulators(g, p.noise.adaptive(), 0, walk_threads(context));
  filter_and_aggregate(
      g, StageKind::thr_rice, 0.0,
      [&](int x, int y, int z, double&, Workspace& w, GroupResult& r) {
        filter_thr_rice_group(g, t, p, noisy, x, y, z, w, r);
      },
      acc, Output{noisy, estimate, noise_map}, context);
}

void filter_wie_rice_group(const Layout& g, const Transforms& t, const WieRiceSettings& p,
                           const double* noisy, const double* basic, int x, int y, int z,
                           Workspace& w, GroupResult& r) {
  const int L = find_group(g, basic, x, y, z, w);
  const int off = g.group_offset(L);
  const int K = L * g.cube_len;
  double* cubes = w.group_buf + off;
  double* pilot = w.group_buf_hat + off;
  double* spectrum = w.group_spectrum + off;
  double* spectrum_hat = w.group_spectrum_hat + off;
  const bool ready = stabilised_ahead(p.noise, p.stabilised) && p.stabilised_basic;
  if (ready) {
    gather_group(g, w.positions, L, p.stabilised, spectrum);
    gather_group(g, w.positions, L, p.stabilised_basic, spectrum_hat);
  } else {
    gather_group(g, w.positions, L, noisy, cubes);
    gather_group(g, w.positions, L, basic, pilot);
  }
  load_group_matrices(t, L, w);

  double level =
      ready ? p.noise.levels[0] : group_level(g, p.noise, cubes, K, x, y, z, w.noise_scratch);
  double W;
  bool filtered = false;
  if (!(level > eps)) {
    level = 1.0;
    std::memcpy(w.group_spectrum, w.group_buf,
                sizeof(double) * static_cast<std::size_t>(g.largest_group) * g.cube_len);
    W = eps;
  } else {
    filtered = true;
    if (!ready) {
      vst::forward_stabilization(cubes, K, level, spectrum);
      vst::forward_stabilization(pilot, K, level, spectrum_hat);
    }
    forward_transformation(w.products, spectrum, cubes, g.cube_side, g.cube_depth, L, w.slice_tmp,
                           w.cube_slices, t.slice_forward, t.depth_forward, w.group_forward,
                           spectrum);
    forward_transformation(w.products, spectrum_hat, pilot, g.cube_side, g.cube_depth, L,
                           w.slice_tmp, w.cube_slices, t.slice_forward, t.depth_forward,
                           w.group_forward, spectrum_hat);
    const double S = wiener_shrink(spectrum, spectrum_hat, K, 1.0);
    inverse_transformation(w.products, spectrum, cubes, g.cube_side, g.cube_depth, L, w.slice_buf,
                           w.slice_tmp, w.cube_buf, t.slice_inverse, t.depth_forward,
                           w.group_inverse, w.group_out + off);
    vst::inverse_stabilization(w.group_out + off, K, level, spectrum);
    W = (S == 0.0 || K == 1) ? eps : S;
  }
  r.L = L;
  r.positions = w.positions;
  r.estimate = spectrum;
  r.sigma = level;
  r.W = W;
  r.add_to_noise_map = p.noise.adaptive() && filtered;
}

void run_wie_rice(const Geometry& geometry, const Transforms& t, const WieRiceSettings& p,
                  const double* noisy, const double* basic, double* estimate, double* noise_map,
                  const RunContext& context) {
  const Layout g(geometry);
  Accumulators acc = allocate_accumulators(g, p.noise.adaptive(), 0, walk_threads(context));
  filter_and_aggregate(
      g, StageKind::wie_rice, 0.0,
      [&](int x, int y, int z, double&, Workspace& w, GroupResult& r) {
        filter_wie_rice_group(g, t, p, noisy, basic, x, y, z, w, r);
      },
      acc, Output{noisy, estimate, noise_map}, context);
}

}  // namespace zarvo::stages
