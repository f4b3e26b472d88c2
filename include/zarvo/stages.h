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

#include <cstdint>
#include <vector>

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

// ---- Groups matched once, filtered on other volumes ------------------------------

// The group of every reference cube of a walk, as a matching pass found it
// on one volume. A Gaussian stage given a table takes its groups from it
// instead of matching, so that images of the same anatomy (the component
// images of a series) can share the groups matched on the clearest of them.
// Given the groups its own matching would find, a stage gives its plain
// output bit for bit.
class GroupTable {
 public:
  GroupTable() = default;
  // The cubes of the reference cube (x, y, z) (1-based), reference first,
  // into `positions` (room for largest_group triples); returns their number,
  // 0 for a position off the walk (or outside the mask).
  int group(int x, int y, int z, std::uint16_t* positions) const;
  // True when the table was matched for a walk of this geometry (the same
  // volume size, cubes, step, mask, largest group and reach of the search
  // window across slices; the volume and the match threshold may differ).
  bool fits(const Geometry& g) const;
  // Bytes held.
  std::size_t bytes() const;

 private:
  friend GroupTable match_groups(const Geometry&, const double* const*, int, const RunContext&);
  int dims[3] = {0, 0, 0};
  int cube_side = 0, cube_depth = 0, step = 0, largest_group = 0, reach = 0;
  const unsigned char* mask = nullptr;
  // Ordinal on the walk's grid of every coordinate along columns, rows and
  // slices (index coordinate - 1), -1 off the grid.
  std::vector<int> column_ordinal, row_ordinal, slice_ordinal;
  int grid[3] = {0, 0, 0};               // grid positions along columns, rows, slices
  std::vector<int> sizes;                // per grid position, 0: not matched
  std::vector<std::uint16_t> positions;  // largest_group triples per grid position
};

// Matches the group of every reference cube of the walk of `g` on `volume`,
// as the stages do, on the context's threads (the table is the same for any
// number). Size: the walk's reference cubes x largest_group x 6 bytes.
GroupTable match_groups(const Geometry& g, const double* volume, const RunContext& context = {});

// The same on `channels` volumes of the geometry's size: the distance of two
// cubes is the sum over the volumes of their sums of squared differences.
GroupTable match_groups(const Geometry& g, const double* const* volumes, int channels,
                        const RunContext& context = {});

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
  // Optional: the groups to filter (matched for this geometry), in place of
  // matching on the noisy volume. A table that does not fit throws Error.
  const GroupTable* groups = nullptr;
};

void run_thr(const Geometry& g, const Transforms& t, const ThrSettings& p, const double* noisy,
             double* estimate, double* noise_map, const RunContext& context = {});

// ---- Gaussian Wiener stage ---------------------------------------------------

struct WieSettings {
  double sigma = 0.0;  // exactly 0: adaptive mode
  bool adaptive() const { return sigma == 0.0; }
  // Optional, as in the first stage: the groups in place of matching on the
  // basic estimate.
  const GroupTable* groups = nullptr;
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
