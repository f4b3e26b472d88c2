// The four denoising stages on plain arrays: hard thresholding and Wiener
// shrinkage, for additive Gaussian noise and for Rician noise (through
// variance stabilisation). Volumes are column-major doubles of dims[0] rows,
// dims[1] columns and dims[2] slices. Each stage walks the grid of reference
// cubes, filters the group of every one and aggregates the estimates.
//
// The stages trust their arguments; the caller guarantees:
// - every dimension between 1 and 65535 (cube positions are 16-bit), the
//   voxel count and the group buffers (largest_group x cube_side^2 x
//   cube_depth doubles) within 32-bit signed integers;
// - cube_side at most the rows and the columns, cube_depth at most the
//   slices (1 for a 2-D volume), both at least 1; largest_group a power of
//   two from 1 to 2^30;
// - the transform matrices of those sizes, and a group matrix for every power
//   of two up to largest_group;
// - every array of the volume's voxel count; the outputs overlap no input,
//   except that a Wiener stage's estimate may be its basic estimate (a slice
//   is written only once no later group reads it).
// Any step and any search half-width are safe: steps below 1 visit every
// position, and half-widths beyond the volume search the whole volume.
#pragma once

#include "zarvo/run.h"

namespace zarvo::stages {

// Largest number of distinct power-of-two group sizes (1 .. 2^30).
constexpr int max_group_sizes = 31;

struct Geometry {
  int ndims = 2;
  int dims[3] = {0, 0, 1};     // rows, columns, slices
  int cube_side = 0;           // rows and columns of a cube
  int cube_depth = 0;          // slices of a cube (1 for a 2-D volume)
  int largest_group = 0;       // most cubes in a group
  int step = 0;                // between reference cubes along every axis
  int search_half_width = 0;   // of the matching window, in voxels
  bool synchronous = false;    // match only within the reference's slices
  double match_threshold = 0;  // largest sum of squared differences of a match
  // When set (one byte per voxel, nonzero inside), only the reference cubes
  // that hold a voxel inside are filtered; voxels no group reaches keep the
  // fallback value. Null: every reference cube.
  const unsigned char* mask = nullptr;
};

// Transform matrices, column-major, read in place: the slice transform and
// its inverse (cube_side x cube_side), the depth transform (cube_depth x
// cube_depth; its transpose is the depth inverse), and the group transforms
// indexed by the base-2 logarithm of the group size.
struct Transforms {
  const double* slice_forward = nullptr;
  const double* slice_inverse = nullptr;
  const double* depth_forward = nullptr;
  const double* group_forward[max_group_sizes] = {};
  const double* group_inverse[max_group_sizes] = {};
};

// Every stage writes the estimate into `estimate` and the noise map into
// `noise_map` (may be null when not wanted): in adaptive mode the mean of the
// group levels that reached each voxel (0 where none did), otherwise zeros.

// ---- Gaussian hard-thresholding stage ---------------------------------------

struct ThrSettings {
  double threshold = 0;  // in noise standard deviations
  double alpha = 1.0;    // alpha-rooting exponent; 1: no sharpening
  bool soft = false;     // soft thresholding instead of hard
  double sigma = 0.0;    // exactly 0: adaptive mode (each group's own level)
  bool adaptive() const { return sigma == 0.0; }
};

void run_thr(const Geometry& g, const Transforms& t, const ThrSettings& p, const double* noisy,
             double* estimate, double* noise_map, const RunContext& context = {});

// ---- Gaussian Wiener stage ---------------------------------------------------

struct WieSettings {
  double sigma = 0.0;  // exactly 0: adaptive mode
  bool adaptive() const { return sigma == 0.0; }
};

// basic: the first stage's estimate, on which the groups are matched and
// from whose spectra the shrinkage factors come.
void run_wie(const Geometry& g, const Transforms& t, const WieSettings& p, const double* noisy,
             const double* basic, double* estimate, double* noise_map,
             const RunContext& context = {});

// ---- Rician stages -------------------------------------------------------------

// The noise level of the Rician stages: a single 0 (adaptive mode), a single
// level for every group, or a per-voxel map read at each reference cube's
// first voxel.
struct RiceNoise {
  const double* levels = nullptr;
  int count = 0;  // 1, or the volume's voxel count
  bool adaptive() const { return count == 1 && levels[0] == 0.0; }
  double at(int voxel) const { return count == 1 ? levels[0] : levels[voxel]; }
};

struct ThrRiceSettings {
  double threshold = 0;  // in noise standard deviations
  double alpha = 1.0;
  bool soft = false;
  RiceNoise noise;
  // Optional, with a single level above eps for every group: the noisy
  // volume already stabilised at that level (vst::forward_stabilization of
  // every voxel). The stabilisation is voxel by voxel, so gathering from it
  // is stabilising every group's cubes again, but for the last bit of a value
  // at a knot of the table, where the interpolation may take another path.
  const double* stabilised = nullptr;
};

void run_thr_rice(const Geometry& g, const Transforms& t, const ThrRiceSettings& p,
                  const double* noisy, double* estimate, double* noise_map,
                  const RunContext& context = {});

struct WieRiceSettings {
  RiceNoise noise;
  // Optional, as in the first stage: the noisy volume and the basic estimate
  // stabilised at the single level.
  const double* stabilised = nullptr;
  const double* stabilised_basic = nullptr;
};

void run_wie_rice(const Geometry& g, const Transforms& t, const WieRiceSettings& p,
                  const double* noisy, const double* basic, double* estimate, double* noise_map,
                  const RunContext& context = {});

}  // namespace zarvo::stages
