// Gaussian Wiener stage: grouping on the basic estimate, Wiener shrinkage of
// the noisy spectrum with coefficients from the basic estimate's spectrum.
#include "gaussian_transforms.h"
#include "group_filters.h"
#include "shrinkage.h"
#include "walker.h"

namespace zarvo::stages {

void filter_wie_group(const Layout& g, const Transforms& t, const WieSettings& p,
                      const double* noisy, const double* basic, int x, int y, int z, double& sigma,
                      Workspace& w, GroupResult& r) {
  const int L = stage_group(g, p.groups, basic, x, y, z, w);
  const int off = g.group_offset(L);
  load_group_matrices(t, L, w);
  gather_forward(g, t, noisy, basic, L, w);

  double* spectrum = w.group_spectrum + off;
  if (p.adaptive()) sigma = spectrum_noise(g, L, spectrum, w.noise_scratch);

  const int K = L * g.cube_len;
  double W;
  if (!(sigma > eps)) {
    sigma = 1.0;
    W = eps;
  } else if (K >= 2) {
    const double S = wiener_shrink(spectrum, w.group_spectrum_hat + off, K, sigma * sigma);
    W = S == 0.0 ? eps : S;
  } else {
    W = eps;
  }
  const double* estimate = inverse_spectrum(g, t, L, w);

  r.L = L;
  r.positions = w.positions;
  r.estimate = estimate;
  r.sigma = sigma;
  r.W = W;
  r.add_to_noise_map = p.adaptive();
}

void run_wie(const Geometry& geometry, const Transforms& t, const WieSettings& p,
             const double* noisy, const double* basic, double* estimate, double* noise_map,
             const RunContext& context) {
  const Layout g(geometry);
  check_table(g, p.groups);
  Accumulators acc = allocate_accumulators(g, p.adaptive(), 0, walk_threads(context));
  filter_and_aggregate(
      g, StageKind::wie, p.sigma,
      [&](int x, int y, int z, double& sigma, Workspace& w, GroupResult& r) {
        filter_wie_group(g, t, p, noisy, basic, x, y, z, sigma, w, r);
      },
      acc, Output{basic, estimate, noise_map}, context);
}

}  // namespace zarvo::stages
