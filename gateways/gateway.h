// What every plug-in source shares: the host layer, and the macro that makes
// its namespaced entry point the MEX file's mexFunction. In the stand-alone
// build the four plug-ins are linked into one program and keep their entry
// points in their own namespaces (declared in plugins.h).
#pragma once

#include "host/host.h"

#if defined(ZARVO_STANDALONE)
#define ZARVO_EXPORT_MEX(plugin)
#else
#define ZARVO_EXPORT_MEX(plugin)                                                       \
  void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {     \
    plugin::mexFunction(nlhs, plhs, nrhs, prhs);                                     \
  }
#endif
