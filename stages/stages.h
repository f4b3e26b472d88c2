// The four stages: per-group filtering and the single-threaded walk that
// filters and aggregates every group in order. The plug-ins validate their
// arguments, fill a Geometry, Transforms and the stage's settings, and call
// the stage's run function.
#pragma once

#include "stage.h"

namespace zarvo::stages {

// ---- Gaussian hard-thresholding stage --------------------------------------

struct ThrSettings {
  double lambda4D = 2.7;
  double alpha = 1.0;  // 1: no sharpening
  int hard = 1;        // 0: soft thresholding
  double sigma = 0.0;  // exactly 0: adaptive mode
  bool adaptive() const { return sigma == 0.0; }
};

// Filters the group of the reference cube (x, y, z). `sigma` is the noise
// level in force; it is carried from group to group: adaptive mode replaces
// it by each group's estimate, and a level not above eps becomes eps.
void filter_thr_group(const Geometry& g, const Transforms& t, const ThrSettings& p,
                      const double* Bn, int x, int y, int z, double& sigma, Workspace& w,
                      GroupResult& r);

void run_thr(const Geometry& g, const Transforms& t, const ThrSettings& p, const double* Bn,
             double* y_hat, double* sigma_hat);

// ---- Gaussian Wiener stage --------------------------------------------------

struct WieSettings {
  double sigma = 0.0;  // exactly 0: adaptive mode
  bool adaptive() const { return sigma == 0.0; }
};

// Filters the group matched on the basic estimate Bn_hat. `sigma` carries
// over as in the first stage, except that a level not above eps becomes 1.0
// (and that group is aggregated unshrunk with weight 1 / eps).
void filter_wie_group(const Geometry& g, const Transforms& t, const WieSettings& p,
                      const double* Bn, const double* Bn_hat, int x, int y, int z,
                      double& sigma, Workspace& w, GroupResult& r);

void run_wie(const Geometry& g, const Transforms& t, const WieSettings& p, const double* Bn,
             const double* Bn_hat, double* y_hat, double* sigma_hat);

// ---- Rician stages ----------------------------------------------------------

// The noise level argument of the Rician stages: a single 0 (adaptive mode),
// a single level for every group, or a per-voxel map read at each reference
// cube's first voxel.
struct RiceNoise {
  const double* levels = nullptr;
  int count = 0;
  bool adaptive() const { return count == 1 && levels[0] == 0.0; }
  double at(int voxel) const { return count == 1 ? levels[0] : levels[voxel]; }
};

struct ThrRiceSettings {
  double lambda4D = 2.7;
  double alpha = 1.0;
  int hard = 1;
  RiceNoise noise;
};

void filter_thr_rice_group(const Geometry& g, const Transforms& t, const ThrRiceSettings& p,
                           const double* Bn, int x, int y, int z, Workspace& w, GroupResult& r);

void run_thr_rice(const Geometry& g, const Transforms& t, const ThrRiceSettings& p,
                  const double* Bn, double* y_hat, double* sigma_hat);

struct WieRiceSettings {
  RiceNoise noise;
};

void filter_wie_rice_group(const Geometry& g, const Transforms& t, const WieRiceSettings& p,
                           const double* Bn, const double* Bn_hat, int x, int y, int z,
                           Workspace& w, GroupResult& r);

void run_wie_rice(const Geometry& g, const Transforms& t, const WieRiceSettings& p,
                  const double* Bn, const double* Bn_hat, double* y_hat, double* sigma_hat);

}  // namespace zarvo::stages
