// zarvo_thr_rice_mex: the hard-thresholding stage for Rician noise.
//
//   [y_hat, sigma_hat] = zarvo_thr_rice_mex(Bn, Nstep, nm1, nm2, nm3,
//       lambda4D, tau_match, search_block_size, synchronous, sigma_oracle,
//       alpha, hard, Tfor, Tinv, Tfor3, Tinv3, Tfor_group, Tinv_group)
//
// sigma_oracle is a map of noise levels shaped like Bn (each group takes the
// level at its reference cube's first voxel), a single level for every group,
// or a single 0 for adaptive mode, where each group's level is estimated from
// its samples and the second output maps the mean estimate.
//
// An optional argument after the last one gives the number of threads of the
// walk (0 or absent: every core the process may use); the result does not
// depend on it.
#include "arguments.h"
#include "gateway.h"

namespace zarvo_thr_rice_mex {

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  using namespace zarvo::stages;
  const FirstStageArguments a =
      read_first_stage("zarvo_thr_rice_mex", nlhs, nrhs, prhs, NoiseArgument::levels);
  ThrRiceSettings settings;
  settings.threshold = a.lambda4D;
  settings.alpha = a.alpha;
  settings.soft = a.hard == 0;
  settings.noise = rice_noise(a.noise);
  produce_outputs(a.volume, nlhs, plhs, a.context,
                  [&](double* y_hat, double* sigma_hat, const zarvo::RunContext& context) {
                    run_thr_rice(a.geometry, a.transforms, settings, a.Bn, y_hat, sigma_hat,
                                 context);
                  });
}

}  // namespace zarvo_thr_rice_mex

ZARVO_EXPORT_MEX(zarvo_thr_rice_mex)
