// Entry points of the four plug-ins in the stand-alone build, for
// zarvo::standalone::call.
#pragma once

#include "mex.h"

#define ZARVO_DECLARE_PLUGIN(plugin) \
  namespace plugin {                 \
  void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]); \
  }

ZARVO_DECLARE_PLUGIN(zarvo_thr_mex)
ZARVO_DECLARE_PLUGIN(zarvo_wie_mex)
ZARVO_DECLARE_PLUGIN(zarvo_thr_rice_mex)
ZARVO_DECLARE_PLUGIN(zarvo_wie_rice_mex)

#undef ZARVO_DECLARE_PLUGIN
