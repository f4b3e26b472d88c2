// Rician stages: each group is variance-stabilised for its own noise level,
// filtered as for unit Gaussian noise, and mapped back with the unbiased
// inverse of the stabilisation.
#include <cstring>

#include "shrinkage.h"
#include "stages.h"
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
double group_level(const Geometry& g, const RiceNoise& noise, const double* samples, int K,
                   int x, int y, int z, double* scratch) {
  if (noise.adaptive()) {
    double level = 0;
    vst::estimate_rician_parameters(samples, K, &level, scratch);
    return level;
  }
  return noise.at(get_linear_index(x, y, z, g.dims));
}

}  // namespace

void filter_thr_rice_group(const Geometry& g, const Transforms& t, const ThrRiceSettings& p,
                           const double* Bn, int x, int y, int z, Workspace& w, GroupResult& r) {
  const int L = find_group(g, Bn, x, y, z, w);
  const int off = g.group_offset(L);
  const int K = L * g.cube_len;
  double* raw = w.group_buf + off;
  double* stabilised = w.group_spectrum + off;
  load_group_matrices(t, L, w);
  const bool ready = stabilised_ahead(p.noise, p.stabilised);
  if (ready) {
    gather_group(g, w.positions, L, p.stabilised, stabilised);
  } else {
    gather_group(g, w.positions, L, Bn, raw);
  }

  double level = ready ? p.noise.levels[0]
                       : group_level(g, p.noise, raw, K, x, y, z, w.noise_scratch);
  double W = 1;
  bool thresholded = false;
  if (!(level > eps)) {
    level = eps;
  } else {
    thresholded = true;
    if (!ready) vst::forward_stabilization(raw, K, level, stabilised);
    forward_transformation(w.products, stabilised, raw, g.nm1, g.nm3, L, w.slice_tmp, w.cube_slices,
                           t.Tfor, t.Tfor3, w.group_fwd, stabilised);
    W = threshold_spectrum(stabilised, K, p.lambda4D, p.alpha, p.hard, 1.0);
    inverse_transformation(w.products, stabilised, raw, g.nm1, g.nm3, L, w.slice_buf, w.slice_tmp,
                           w.cube_buf, t.Tinv, t.Tfor3, w.group_inv, stabilised);
    vst::inverse_stabilization(stabilised, K, level, raw);
  }
  r.L = L;
  r.positions = w.positions;
  r.estimate = raw;
  r.sigma = level;
  r.W = W;
  r.add_to_noise_map = p.noise.adaptive() && thresholded;
}

void run_thr_rice(const Geometry& g, const Transforms& t, const ThrRiceSettings& p,
                  const double* Bn, double* y_hat, double* sigma_hat,
             const RunContext& context) {
  Accumulators acc = allocate_accumulators(g, p.noise.adaptive(), 0, walk_threads(context));
  filter_and_aggregate(
      g, StageKind::thr_rice, 0.0,
      [&](int x, int y, int z, double&, Workspace& w, GroupResult& r) {
        filter_thr_rice_group(g, t, p, Bn, x, y, z, w, r);
      },
      acc, Output{Bn, y_hat, sigma_hat}, context);
}

void filter_wie_rice_group(const Geometry& g, const Transforms& t, const WieRiceSettings& p,
                           const double* Bn, const double* Bn_hat, int x, int y, int z,
                           Workspace& w, GroupResult& r) {
  const int L = find_group(g, Bn_hat, x, y, z, w);
  const int off = g.group_offset(L);
  const int K = L * g.cube_len;
  double* noisy = w.group_buf + off;
  double* pilot = w.group_buf_hat + off;
  double* spectrum = w.group_spectrum + off;
  double* spectrum_hat = w.group_spectrum_hat + off;
  const bool ready = stabilised_ahead(p.noise, p.stabilised) && p.stabilised_hat;
  if (ready) {
    gather_group(g, w.positions, L, p.stabilised, spectrum);
    gather_group(g, w.positions, L, p.stabilised_hat, spectrum_hat);
  } else {
    gather_group(g, w.positions, L, Bn, noisy);
    gather_group(g, w.positions, L, Bn_hat, pilot);
  }
  load_group_matrices(t, L, w);

  double level = ready ? p.noise.levels[0]
                       : group_level(g, p.noise, noisy, K, x, y, z, w.noise_scratch);
  double W;
  bool filtered = false;
  if (!(level > eps)) {
    level = 1.0;
    std::memcpy(w.group_spectrum, w.group_buf,
                sizeof(double) * static_cast<std::size_t>(g.nm2) * g.cube_len);
    W = eps;
  } else {
    filtered = true;
    if (!ready) {
      vst::forward_stabilization(noisy, K, level, spectrum);
      vst::forward_stabilization(pilot, K, level, spectrum_hat);
    }
    forward_transformation(w.products, spectrum, noisy, g.nm1, g.nm3, L, w.slice_tmp, w.cube_slices,
                           t.Tfor, t.Tfor3, w.group_fwd, spectrum);
    forward_transformation(w.products, spectrum_hat, pilot, g.nm1, g.nm3, L, w.slice_tmp, w.cube_slices,
                           t.Tfor, t.Tfor3, w.group_fwd, spectrum_hat);
    const double S = wiener_shrink(spectrum, spectrum_hat, K, 1.0);
    inverse_transformation(w.products, spectrum, noisy, g.nm1, g.nm3, L, w.slice_buf, w.slice_tmp,
                           w.cube_buf, t.Tinv, t.Tfor3, w.group_inv, w.group_out + off);
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

void run_wie_rice(const Geometry& g, const Transforms& t, const WieRiceSettings& p,
                  const double* Bn, const double* Bn_hat, double* y_hat, double* sigma_hat,
             const RunContext& context) {
  Accumulators acc = allocate_accumulators(g, p.noise.adaptive(), 0, walk_threads(context));
  filter_and_aggregate(
      g, StageKind::wie_rice, 0.0,
      [&](int x, int y, int z, double&, Workspace& w, GroupResult& r) {
        filter_wie_rice_group(g, t, p, Bn, Bn_hat, x, y, z, w, r);
      },
      acc, Output{Bn, y_hat, sigma_hat}, context);
}

}  // namespace zarvo::stages
