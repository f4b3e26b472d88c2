// Argument reading shared by the four plug-ins, on top of the host layer's
// checks: the transform matrices, the geometry of a call, the depth check and
// the optional thread count after the last argument.
#pragma once

#include <atomic>

#include "host/host.h"
#include "interrupt.h"
#include "zarvo/stages.h"

namespace zarvo::stages {

using zarvo::RunContext;

// A checked real scalar, as a double.
double scalar_argument(const mxArray* a, const char* name);

// Geometry of a call on volume v.
Geometry make_geometry(const host::Volume& v, int nm1, int nm2, int nm3, int Nstep,
                       int search_block_size, int synchronous, double tau_match);

// Checks the six transform arguments prhs[first .. first + 5] (Tfor, Tinv,
// Tfor3, Tinv3, Tfor_group, Tinv_group) against the cube and group sizes.
void check_transform_arguments(const mxArray* const prhs[], int first, int nm1, int nm2, int nm3);

// The transforms of checked arguments: Tfor, Tinv and Tfor3 in place, and
// the group matrices of every power-of-two size up to nm2 from the two cells.
Transforms make_transforms(const double* Tfor, const double* Tinv, const double* Tfor3,
                           const mxArray* Tfor_group, const mxArray* Tinv_group, int nm2);

// Ends the call with the depth message when the cube is deeper than the volume.
void check_depth(int nm3, const host::Volume& v);

// Checks the Rician noise argument: one element, or a real double map of the
// volume's dimensions.
void check_noise_levels(const mxArray* a, const host::Volume& v, const char* name);

// What both kinds of stage read: the shared parameters, the noise argument,
// the transform matrices and the call's geometry.
struct StageArguments {
  host::Volume volume;
  const double* Bn = nullptr;
  int Nstep = 0, nm1 = 0, nm2 = 0, nm3 = 0;
  double tau_match = 0;
  int search_block_size = 0, synchronous = 0;
  const mxArray* noise = nullptr;  // sigma, or the Rician levels
  const double *Tfor = nullptr, *Tinv = nullptr, *Tfor3 = nullptr, *Tinv3 = nullptr;
  Geometry geometry;
  Transforms transforms;
  zarvo::RunContext context;  // threads: the optional last argument, else every core
};

// The arguments of a first (thresholding) stage, checked and read by fixed
// position: Bn, Nstep, nm1, nm2, nm3, lambda4D, tau_match,
// search_block_size, synchronous, the noise level, alpha, hard, Tfor, Tinv,
// Tfor3, Tinv3, Tfor_group, Tinv_group.
struct FirstStageArguments : StageArguments {
  double lambda4D = 0;
  double alpha = 1;
  int hard = 1;
};

// The arguments of a second (Wiener) stage: Bn, Bn_hat, Nstep, nm1, nm2,
// nm3, tau_match, search_block_size, synchronous, the noise level, Tfor,
// Tinv, Tfor3, Tinv3, Tfor_group, Tinv_group.
struct SecondStageArguments : StageArguments {
  const double* Bn_hat = nullptr;
};

// How the noise argument is checked: a Gaussian stage takes a scalar sigma,
// a Rician stage one level or a map of the volume's shape.
enum class NoiseArgument { scalar, levels };

// Check every argument before anything is read, then read them; the last
// check is the depth of the cube against the volume's.
FirstStageArguments read_first_stage(const char* plugin, int nlhs, int nrhs, const mxArray* prhs[],
                                     NoiseArgument noise);
SecondStageArguments read_second_stage(const char* plugin, int nlhs, int nrhs,
                                       const mxArray* prhs[], NoiseArgument noise);

// The Rician noise levels of a checked noise argument.
RiceNoise rice_noise(const mxArray* a);

// Creates the two outputs shaped like the volume, runs `stage` on their data
// with a copy of `context` whose cancel flag Ctrl-C sets, and hands them to
// the host; an interrupted stage ends the call with "interrupted".
template <typename Stage>
void produce_outputs(const host::Volume& v, int nlhs, mxArray* plhs[],
                     const zarvo::RunContext& context, Stage&& stage) {
  mxArray* estimate = host::create_like(v);
  mxArray* noise_map = host::create_like(v);
  bool interrupted = false;
  {
    std::atomic<bool> cancel{false};
    zarvo::RunContext watched = context;
    watched.cancel = &cancel;
    try {
      const zarvo::gateway::InterruptWatch watch(cancel);
      stage(mxGetPr(estimate), mxGetPr(noise_map), watched);
    } catch (const zarvo::Cancelled&) {
      interrupted = true;
    }
  }
  if (interrupted) {
    mxDestroyArray(estimate);
    mxDestroyArray(noise_map);
    mexErrMsgIdAndTxt("zarvo:interrupted", "interrupted");
  }
  host::set_outputs(nlhs, plhs, estimate, noise_map);
}

}  // namespace zarvo::stages
