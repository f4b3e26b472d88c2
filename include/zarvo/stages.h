// The four denoising stages on plain arrays: hard thresholding and Wiener
// shrinkage, for additive Gaussian noise and for Rician noise (through
// variance stabilisation). Volumes are column-major doubles of dims[0] rows,
// dims[1] columns and dims[2] slices. Each stage walks the grid of reference
// cubes, filters the group of every one and aggregates the estimates.
//
// The stages check nothing: callers (the MEX plug-ins, the pipeline) check
// their arguments and meet the limits noted here (every dimension at most
// 65535, voxel counts and working sizes within 32-bit integers, cubes no
// larger than the volume, the group matrices of every power of two up to the
// largest group).
#pragma once

#include "zarvo/run.h"

namespace zarvo::stages {

// Largest number of distinct power-of-two group sizes (1 .. 2^30).
constexpr int max_group_sizes = 31;

struct Geometry {
  int ndims = 2;
  int dims[3] = {0, 0, 1};  // rows, columns, slices
  int voxels = 0;
  int nm1 = 0, nm2 = 0, nm3 = 0;  // cube side, largest group, cube depth
  int slice_len = 0, cube_len = 0;
  int R = 0, C = 0, S = 0;  // largest first row, column, slice of a cube
  int Nstep = 0;            // step between reference cubes
  int search_block_size = 0;  // half-width of the matching window
  int synchronous = 0;        // 1: match only within the reference's slices
  double tau_match = 0;       // largest sum of squared differences of a match
  // When set (one byte per voxel, nonzero inside), only the reference cubes
  // that hold a voxel inside are filtered; voxels no group reaches keep the
  // fallback value. Null: every reference cube.
  const unsigned char* mask = nullptr;

  // Fills the derived sizes from dims, ndims and the cube sizes.
  void derive();
  // Offset of a group of L cubes in the group buffers (the last L slots).
  int group_offset(int L) const { return (nm2 - L) * cube_len; }
};

// Transform matrices, column-major, read in place: Tfor and Tinv (nm1 x
// nm1), Tfor3 (nm3 x nm3; its transpose is the depth inverse), and the group
// matrices indexed by the base-2 logarithm of the group size.
struct Transforms {
  const double* Tfor = nullptr;
  const double* Tinv = nullptr;
  const double* Tfor3 = nullptr;
  const double* group_fwd[max_group_sizes] = {};
  const double* group_inv[max_group_sizes] = {};
};

// Every stage writes the estimate into y_hat and the noise map into
// sigma_hat (may be null when not wanted): in adaptive mode the mean of the
// group levels that reached each voxel (0 where none did), otherwise zeros.

// ---- Gaussian hard-thresholding stage ---------------------------------------

struct ThrSettings {
  double lambda4D = 0;  // threshold, in noise standard deviations
  double alpha = 1.0;   // alpha-rooting exponent; 1: no sharpening
  int hard = 1;         // 0: soft thresholding
  double sigma = 0.0;   // exactly 0: adaptive mode (each group's own level)
  bool adaptive() const { return sigma == 0.0; }
};

void run_thr(const Geometry& g, const Transforms& t, const ThrSettings& p, const double* Bn,
             double* y_hat, double* sigma_hat, const RunContext& context = {});

// ---- Gaussian Wiener stage ---------------------------------------------------

struct WieSettings {
  double sigma = 0.0;  // exactly 0: adaptive mode
  bool adaptive() const { return sigma == 0.0; }
};

// Bn_hat: the basic estimate, on which the groups are matched.
void run_wie(const Geometry& g, const Transforms& t, const WieSettings& p, const double* Bn,
             const double* Bn_hat, double* y_hat, double* sigma_hat,
             const RunContext& context = {});

// ---- Rician stages -------------------------------------------------------------

// The noise level of the Rician stages: a single 0 (adaptive mode), a single
// level for every group, or a per-voxel map read at each reference cube's
// first voxel.
struct RiceNoise {
  const double* levels = nullptr;
  int count = 0;
  bool adaptive() const { return count == 1 && levels[0] == 0.0; }
  double at(int voxel) const { return count == 1 ? levels[0] : levels[voxel]; }
};

struct ThrRiceSettings {
  double lambda4D = 0;
  double alpha = 1.0;
  int hard = 1;
  RiceNoise noise;
  // Optional, with a single level above eps for every group: the noisy
  // volume already stabilised at that level (vst::forward_stabilization of
  // every voxel). The stabilisation is voxel by voxel, so gathering from it
  // is stabilising every group's cubes again, but for the last bit of a value
  // at a knot of the table, where the interpolation may take another path.
  const double* stabilised = nullptr;
};

void run_thr_rice(const Geometry& g, const Transforms& t, const ThrRiceSettings& p,
                  const double* Bn, double* y_hat, double* sigma_hat,
                  const RunContext& context = {});

struct WieRiceSettings {
  RiceNoise noise;
  // Optional, as in the first stage: the noisy volume and the basic estimate
  // stabilised at the single level.
  const double* stabilised = nullptr;
  const double* stabilised_hat = nullptr;
};

void run_wie_rice(const Geometry& g, const Transforms& t, const WieRiceSettings& p,
                  const double* Bn, const double* Bn_hat, double* y_hat, double* sigma_hat,
                  const RunContext& context = {});

}  // namespace zarvo::stages
