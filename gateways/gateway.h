// What every plug-in source shares: the host layer, and the macro that makes
// its namespaced entry point the MEX file's mexFunction.
#pragma once

#include "host/host.h"

#define ZARVO_EXPORT_MEX(plugin)                                                 \
  void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) { \
    plugin::mexFunction(nlhs, plhs, nrhs, prhs);                                 \
  }
