// Gaussian hard-thresholding stage: grouping on the noisy volume,
// thresholding (hard or soft) with optional alpha-rooting, aggregation with
// weight 1 / (sigma^2 W).
#include "gaussian_transforms.h"
#include "group_filters.h"
#include "shrinkage.h"
#include "walker.h"

namespace zarvo::stages {

void filter_thr_group(const Layout& g, const Transforms& t, const ThrSettings& p,
                      const double* noisy, int x, int y, int z, double& sigma, Workspace& w,
                      GroupResult& r) {
  const int L = stage_group(g, p.groups, noisy, x, y, z, w);
  const int off = g.group_offset(L);
  load_group_matrices(t, L, w);
  gather_forward(g, t, noisy, nullptr, L, w);

  double* spectrum = w.group_spectrum + off;
  if (p.adaptive()) sigma = spectrum_noise(g, L, spectrum, w.noise_scratch);

  double W = 1;
  bool thresholded = false;
  if (!(sigma > eps)) {
    sigma = eps;
  } else {
    thresholded = true;
    W = threshold_spectrum(spectrum, L * g.cube_len, p.threshold * sigma, p.alpha, p.soft,
                           sigma * sigma);
  }
  const double* estimate = inverse_spectrum(g, t, L, w);

  r.L = L;
  r.positions = w.positions;
  r.estimate = estimate;
  r.sigma = sigma;
  r.W = W;
  r.add_to_noise_map = p.adaptive() && thresholded;
}

void run_thr(const Geometry& geometry, const Transforms& t, const ThrSettings& p,
             const double* noisy, double* estimate, double* noise_map, const RunContext& context) {
  const Layout g(geometry);
  check_table(g, p.groups);
  Accumulators acc = allocate_accumulators(g, p.adaptive(), 0, walk_threads(context));
  filter_and_aggregate(
      g, StageKind::thr, p.sigma,
      [&](int x, int y, int z, double& sigma, Workspace& w, GroupResult& r) {
        filter_thr_group(g, t, p, noisy, x, y, z, sigma, w, r);
      },
      acc, Output{noisy, estimate, noise_map}, context);
}

}  // namespace zarvo::stages
