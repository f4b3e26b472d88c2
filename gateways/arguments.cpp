#include "arguments.h"

#include <cstdio>

namespace zarvo::stages {

double scalar_argument(const mxArray* a, const char* name) {
  host::require_scalar(a, name);
  return mxGetScalar(a);
}

Geometry make_geometry(const host::Volume& v, int nm1, int nm2, int nm3, int Nstep,
                       int search_block_size, int synchronous, double tau_match) {
  Geometry g;
  g.ndims = v.ndims;
  for (int i = 0; i < 3; ++i) g.dims[i] = v.dims[i];
  g.cube_side = nm1;
  g.largest_group = nm2;
  g.cube_depth = nm3;
  // Steps below 1 all visit every position, and half-widths beyond the
  // largest dimension (65535) all reach the volume's borders: clamping gives
  // the same walk and windows while keeping the integer arithmetic of the
  // walk and the window bounds from overflowing.
  g.step = Nstep < 1 ? 1 : Nstep;
  g.search_half_width =
      search_block_size > 65535 ? 65535 : (search_block_size < -65536 ? -65536 : search_block_size);
  g.synchronous = synchronous != 0;
  g.match_threshold = tau_match;
  return g;
}

void check_transform_arguments(const mxArray* const prhs[], int first, int nm1, int nm2, int nm3) {
  static const char* const names[6] = {"Tfor",  "Tinv",       "Tfor3",
                                       "Tinv3", "Tfor_group", "Tinv_group"};
  char label[64];
  for (int i = 0; i < 6; ++i) {
    std::snprintf(label, sizeof label, "%d (%s)", first + i + 1, names[i]);
    if (i < 2)
      host::require_matrix(prhs[first + i], nm1, nm1, label);
    else if (i < 4)
      host::require_matrix(prhs[first + i], nm3, nm3, label);
    else
      host::require_group_matrices(prhs[first + i], nm2, label);
  }
}

Transforms make_transforms(const double* Tfor, const double* Tinv, const double* Tfor3,
                           const mxArray* Tfor_group, const mxArray* Tinv_group, int nm2) {
  Transforms t;
  t.slice_forward = Tfor;
  t.slice_inverse = Tinv;
  t.depth_forward = Tfor3;
  for (int L = 1, i = 0; L <= nm2 && i < max_group_sizes; L *= 2, ++i) {
    t.group_forward[i] = mxGetPr(mxGetCell(Tfor_group, mwIndex(L - 1)));
    t.group_inverse[i] = mxGetPr(mxGetCell(Tinv_group, mwIndex(L - 1)));
    if (L > nm2 / 2) break;
  }
  return t;
}

void check_depth(int nm3, const host::Volume& v) {
  if (nm3 > v.depth)
    mexErrMsgTxt("The depth of the cube must be less than or equal to the depth of the input.");
}

void check_noise_levels(const mxArray* a, const host::Volume& v, const char* name) {
  host::require_real_double(a, name);
  if (mxGetNumberOfElements(a) == 1) return;
  host::require_same_shape(a, v, name);
}

namespace {

void check_noise(const mxArray* a, const host::Volume& v, NoiseArgument kind) {
  if (kind == NoiseArgument::scalar)
    host::require_scalar(a, "10 (sigma)");
  else
    check_noise_levels(a, v, "10 (sigma_oracle)");
}

// Checks the buffer sizes and the six transform arguments from prhs[first],
// then reads the volume, the matrices, the geometry and the transforms; the
// depth check comes last.
// The walk's threads: the argument after the last one when given (0: every
// core), else the engine's default; the engine's policy clamps them. Results
// do not depend on it.
void read_threads(StageArguments& a, int nrhs, const mxArray* prhs[], int count) {
  char label[32];
  std::snprintf(label, sizeof label, "%d (threads)", count + 1);
  int requested = zarvo::threads_not_given;
  if (nrhs > count) {
    requested = host::truncated_scalar(prhs[count], label);
    if (requested < 0 || requested > zarvo::max_threads)
      mexErrMsgIdAndTxt("zarvo:threads", "Argument %s must be from 0 (every core) to %d.", label,
                        zarvo::max_threads);
  }
  static char problem[256];
  problem[0] = '\0';
  try {
    a.context.threads = zarvo::choose_threads(requested).threads;
  } catch (const zarvo::Error& e) {  // a bad $ZARVO_THREADS
    std::snprintf(problem, sizeof problem, "%s", e.what());
  }
  if (problem[0]) mexErrMsgIdAndTxt("zarvo:threads", "%s", problem);
}

void finish_reading(StageArguments& a, const mxArray* prhs[], int first) {
  host::require_buffer_sizes(a.nm1, a.nm2, a.nm3);
  check_transform_arguments(prhs, first, a.nm1, a.nm2, a.nm3);
  a.Bn = host::data(prhs[0]);
  a.Tfor = host::data(prhs[first]);
  a.Tinv = host::data(prhs[first + 1]);
  a.Tfor3 = host::data(prhs[first + 2]);
  a.Tinv3 = host::data(prhs[first + 3]);  // kept, not used: the depth inverse applies Tfor3'
  check_depth(a.nm3, a.volume);
  a.geometry = make_geometry(a.volume, a.nm1, a.nm2, a.nm3, a.Nstep, a.search_block_size,
                             a.synchronous, a.tau_match);
  a.transforms = make_transforms(a.Tfor, a.Tinv, a.Tfor3, prhs[first + 4], prhs[first + 5], a.nm2);
}

}  // namespace

FirstStageArguments read_first_stage(const char* plugin, int nlhs, int nrhs, const mxArray* prhs[],
                                     NoiseArgument noise) {
  host::check_arity(plugin, nlhs, nrhs, 18, true);
  FirstStageArguments a;
  a.volume = host::volume(prhs[0], "1 (Bn)");
  a.Nstep = host::truncated_scalar(prhs[1], "2 (Nstep)");
  a.nm1 = host::truncated_scalar(prhs[2], "3 (nm1)", true);
  a.nm2 = host::truncated_scalar(prhs[3], "4 (nm2)", true);
  a.nm3 = host::truncated_scalar(prhs[4], "5 (nm3)", true);
  a.lambda4D = scalar_argument(prhs[5], "6 (lambda4D)");
  a.tau_match = scalar_argument(prhs[6], "7 (tau_match)");
  a.search_block_size = host::truncated_scalar(prhs[7], "8 (search_block_size)");
  a.synchronous = host::truncated_scalar(prhs[8], "9 (synchronous)");
  check_noise(prhs[9], a.volume, noise);
  a.noise = prhs[9];
  a.alpha = scalar_argument(prhs[10], "11 (alpha)");
  a.hard = host::truncated_scalar(prhs[11], "12 (hard)");
  read_threads(a, nrhs, prhs, 18);
  finish_reading(a, prhs, 12);
  return a;
}

SecondStageArguments read_second_stage(const char* plugin, int nlhs, int nrhs,
                                       const mxArray* prhs[], NoiseArgument noise) {
  host::check_arity(plugin, nlhs, nrhs, 16, true);
  SecondStageArguments a;
  a.volume = host::volume(prhs[0], "1 (Bn)");
  host::require_same_shape(prhs[1], a.volume, "2 (Bn_hat)");
  a.Nstep = host::truncated_scalar(prhs[2], "3 (Nstep)");
  a.nm1 = host::truncated_scalar(prhs[3], "4 (nm1)", true);
  a.nm2 = host::truncated_scalar(prhs[4], "5 (nm2)", true);
  a.nm3 = host::truncated_scalar(prhs[5], "6 (nm3)", true);
  a.tau_match = scalar_argument(prhs[6], "7 (tau_match)");
  a.search_block_size = host::truncated_scalar(prhs[7], "8 (search_block_size)");
  a.synchronous = host::truncated_scalar(prhs[8], "9 (synchronous)");
  check_noise(prhs[9], a.volume, noise);
  a.noise = prhs[9];
  read_threads(a, nrhs, prhs, 16);
  finish_reading(a, prhs, 10);
  a.Bn_hat = host::data(prhs[1]);
  return a;
}

RiceNoise rice_noise(const mxArray* a) {
  RiceNoise n;
  n.levels = host::data(a);
  n.count = static_cast<int>(mxGetNumberOfElements(a));
  return n;
}

}  // namespace zarvo::stages
