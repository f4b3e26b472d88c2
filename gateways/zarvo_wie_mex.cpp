// zarvo_wie_mex: the Wiener stage for additive Gaussian noise.
//
//   [y_hat, sigma_hat] = zarvo_wie_mex(Bn, Bn_hat, Nstep, nm1, nm2, nm3,
//       tau_match, search_block_size, synchronous, sigma,
//       Tfor, Tinv, Tfor3, Tinv3, Tfor_group, Tinv_group)
//
// Filters the noisy volume Bn again, matching cubes on the basic estimate
// Bn_hat and shrinking with Wiener coefficients from its spectrum. With sigma
// 0 (adaptive mode) the second output maps the mean estimated noise level.
//
// An optional argument after the last one gives the number of threads of the
// walk (0 or absent: every core the process may use); the result does not
// depend on it.
#include "arguments.h"
#include "gateway.h"

namespace zarvo_wie_mex {

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  using namespace zarvo::stages;
  const SecondStageArguments a =
      read_second_stage("zarvo_wie_mex", nlhs, nrhs, prhs, NoiseArgument::scalar);
  WieSettings settings;
  settings.sigma = mxGetScalar(a.noise);
  produce_outputs(a.volume, nlhs, plhs, a.context,
                  [&](double* y_hat, double* sigma_hat, const zarvo::RunContext& context) {
                    run_wie(a.geometry, a.transforms, settings, a.Bn, a.Bn_hat, y_hat, sigma_hat,
                            context);
                  });
}

}  // namespace zarvo_wie_mex

ZARVO_EXPORT_MEX(zarvo_wie_mex)
