// zarvo_wie_rice_mex: the Wiener stage for Rician noise.
//
//   [y_hat, sigma_hat] = zarvo_wie_rice_mex(Bn, Bn_hat, Nstep, nm1, nm2, nm3,
//       tau_match, search_block_size, synchronous, sigma_oracle,
//       Tfor, Tinv, Tfor3, Tinv3, Tfor_group, Tinv_group)
//
// sigma_oracle as for zarvo_thr_rice_mex: a map shaped like Bn, a single
// level, or a single 0 for adaptive mode.
//
// An optional argument after the last one gives the number of threads of the
// walk (0 or absent: every core the process may use); the result does not
// depend on it.
#include "arguments.h"
#include "gateway.h"

namespace zarvo_wie_rice_mex {

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  using namespace zarvo::stages;
  const SecondStageArguments a =
      read_second_stage("zarvo_wie_rice_mex", nlhs, nrhs, prhs, NoiseArgument::levels);
  WieRiceSettings settings;
  settings.noise = rice_noise(a.noise);
  produce_outputs(a.volume, nlhs, plhs, a.context,
                  [&](double* y_hat, double* sigma_hat, const zarvo::RunContext& context) {
                    run_wie_rice(a.geometry, a.transforms, settings, a.Bn, a.Bn_hat, y_hat,
                                 sigma_hat, context);
                  });
}

}  // namespace zarvo_wie_rice_mex

ZARVO_EXPORT_MEX(zarvo_wie_rice_mex)
