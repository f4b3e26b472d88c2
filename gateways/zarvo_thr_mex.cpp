// zarvo_thr_mex: the hard-thresholding stage for additive Gaussian noise.
//
//   [y_hat, sigma_hat] = zarvo_thr_mex(Bn, Nstep, nm1, nm2, nm3, lambda4D,
//       tau_match, search_block_size, synchronous, sigma, alpha, hard,
//       Tfor, Tinv, Tfor3, Tinv3, Tfor_group, Tinv_group)
//
// Produces the basic estimate of the noisy volume Bn and, when sigma is 0
// (adaptive mode), a map of the mean noise level estimated over the groups
// that reached each voxel (zeros otherwise).
//
// An optional argument after the last one gives the number of threads of the
// walk (0 or absent: every core the process may use); the result does not
// depend on it.
#include "arguments.h"
#include "gateway.h"

namespace zarvo_thr_mex {

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  using namespace zarvo::stages;
  const FirstStageArguments a =
      read_first_stage("zarvo_thr_mex", nlhs, nrhs, prhs, NoiseArgument::scalar);
  ThrSettings settings;
  settings.threshold = a.lambda4D;
  settings.alpha = a.alpha;
  settings.soft = a.hard == 0;
  settings.sigma = mxGetScalar(a.noise);
  produce_outputs(a.volume, nlhs, plhs, a.context,
                  [&](double* y_hat, double* sigma_hat, const zarvo::RunContext& context) {
                    run_thr(a.geometry, a.transforms, settings, a.Bn, y_hat, sigma_hat, context);
                  });
}

}  // namespace zarvo_thr_mex

ZARVO_EXPORT_MEX(zarvo_thr_mex)
