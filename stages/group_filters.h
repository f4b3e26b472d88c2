// Per-group filtering of the four stages (the walks over the volume are in zarvo/stages.h).
// Each function filters the group of the reference cube (x, y, z) into a
// GroupResult that aggregation adds into the accumulators.
#pragma once

#include "stage.h"
#include "zarvo/stages.h"

namespace zarvo::stages {

// `sigma` is the noise level in force; it is carried from group to group:
// adaptive mode replaces it by each group's estimate, and a level not above
// eps becomes eps.
void filter_thr_group(const Layout& g, const Transforms& t, const ThrSettings& p,
                      const double* noisy, int x, int y, int z, double& sigma, Workspace& w,
                      GroupResult& r);

// Matches on the basic estimate basic. `sigma` carries over as in the first
// stage, except that a level not above eps becomes 1.0 (and that group is
// aggregated unshrunk with weight 1 / eps).
void filter_wie_group(const Layout& g, const Transforms& t, const WieSettings& p,
                      const double* noisy, const double* basic, int x, int y, int z, double& sigma,
                      Workspace& w, GroupResult& r);

void filter_thr_rice_group(const Layout& g, const Transforms& t, const ThrRiceSettings& p,
                           const double* noisy, int x, int y, int z, Workspace& w, GroupResult& r);

void filter_wie_rice_group(const Layout& g, const Transforms& t, const WieRiceSettings& p,
                           const double* noisy, const double* basic, int x, int y, int z,
                           Workspace& w, GroupResult& r);

}  // namespace zarvo::stages
