// What the four denoising stages share: the geometry of a call, the transform
// matrices, the per-voxel accumulators, the walk over reference cubes, the
// aggregation of a filtered group and the final normalisation.
//
// A stage filters one group at a time into a GroupResult (the filtered cubes
// and the group's weight); aggregation adds a result into the accumulators.
// Keeping the two apart lets the same per-group filtering serve the plug-ins,
// which aggregate each group as soon as it is filtered, and a threaded walk,
// which filters ahead and aggregates in the walk's own order.
#pragma once

#include <cstdint>
#include <vector>

#include "core/memory.h"
#include "core/product.h"
#include "core/zarvo.h"
#include "zarvo/stages.h"

namespace zarvo::stages {

// A call's geometry with the sizes the stages derive from it, and where a
// group lies in the group buffers.
struct Layout : Geometry {
  explicit Layout(const Geometry& g);
  int voxels = 0;
  int slice_len = 0, cube_len = 0;  // voxels of a cube's slice, of a cube
  // Largest first row, column and slice of a cube.
  int last_row = 0, last_column = 0, last_slice = 0;
  // Offset of a group of L cubes in the group buffers (the last L slots).
  int group_offset(int L) const { return (largest_group - L) * cube_len; }
};

// The per-voxel sums of a walk. They hold a band of `band` slices, used
// round-robin: a slice's sums are final once the walk's reference slice has
// moved past it by the matching window's reach, and are then normalised into
// the output and cleared for a later slice (see Output). A band as deep as
// the volume holds every slice. The accumulators own their storage; the
// pointers point into it.
struct Accumulators {
  int band = 1;               // slices held
  std::size_t plane_len = 0;  // voxels of one slice of the volume
  // Offset of 1-based slice z in the arrays below.
  std::size_t slice_offset(int z) const {
    return static_cast<std::size_t>((z - 1) % band) * plane_len;
  }
  double* numerator = nullptr;
  double* weights = nullptr;
  double* sigma_sum = nullptr;    // adaptive mode only
  double* sigma_count = nullptr;  // adaptive mode only
  Buffer<double> storage;
  // Aggregation scratch: where each slice of the current cube starts.
  std::vector<double*> cube_numerator, cube_weights;
};

// Scratch of one group's filtering, sized for the largest group. Buffers a
// stage does not use stay null. It owns its storage: it can be moved, not
// copied.
struct Workspace {
  Workspace() = default;
  Workspace(Workspace&&) = default;
  Workspace& operator=(Workspace&&) = default;
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  std::uint16_t* positions = nullptr;
  double* slice_buf = nullptr;
  double* slice_tmp = nullptr;
  double* cube_buf = nullptr;
  double* cube_slices = nullptr;
  double* group_spectrum = nullptr;
  double* group_buf = nullptr;
  double* group_spectrum_hat = nullptr;
  double* group_buf_hat = nullptr;
  double* group_out = nullptr;
  const double* group_forward = nullptr;  // the current group size's matrices
  const double* group_inverse = nullptr;
  double* match_work = nullptr;  // grouping's working storage
  int* match_ints = nullptr;
  double* noise_scratch = nullptr;  // noise estimation: one group's coefficients
  GroupProducts products;
  std::vector<double> doubles;
  std::vector<int> ints;
  std::vector<std::uint16_t> triples;
};

// Which buffers a stage needs.
enum class StageKind { thr, wie, thr_rice, wie_rice };

// Allocates a workspace for the stage.
Workspace allocate_workspace(const Layout& g, StageKind kind);

// Allocates zeroed accumulators for the band a walk needs (the matching
// window's reach on both sides of a reference slice, plus a cube's depth);
// the noise-map pair only in adaptive mode. A `band` other than 0 asks for
// that many slices instead (at least what the walk needs; the whole volume
// for a volume as deep). Up to `threads` threads clear them.
Accumulators allocate_accumulators(const Layout& g, bool adaptive, int band = 0, int threads = 1);

// The search half-width the walk uses: the geometry's, or the volume's
// largest extent when that is smaller (a wider window is the same window, and
// this keeps the matching buffers the size of the volume's windows).
int window_half_width(const Layout& g);

// Slices on either side of a reference cube's first slice that its group may
// reach: the search half-width, or none when matching is synchronous.
int matching_reach(const Layout& g);

// Where a walk writes its results: the estimate, the noise map (may
// be null) and the fallback values for voxels no group reached.
struct Output {
  const double* fallback = nullptr;
  double* estimate = nullptr;
  double* noise_map = nullptr;
};

// A filtered group: L cubes at positions (column, row, slice triples), their
// estimates in `estimate` (cube k at k * cube length), and the divisor of
// their aggregation weight 1 / (sigma * sigma * W).
struct GroupResult {
  int L = 0;
  const std::uint16_t* positions = nullptr;
  const double* estimate = nullptr;
  double sigma = 0;
  double W = 1;
  bool add_to_noise_map = false;  // adds sigma to the noise map (adaptive mode)
};

// Adds every voxel of every cube of the group into the accumulators.
void aggregate(const Layout& g, const GroupResult& r, Accumulators& acc);

// Gathers the L cubes at `positions` from `volume` into `to`: cube k at k *
// cube length, slice by slice, each slice column-major cube_side x cube_side.
void gather_group(const Layout& g, const std::uint16_t* positions, int L, const double* volume,
                  double* to);

// True when the cube at (x, y, z) holds a voxel of the geometry's mask (or
// when there is no mask).
bool touches_mask(const Layout& g, int x, int y, int z);

// Calls visit(x, y, z) for every reference cube, in the walk's order.
template <typename Visit>
void walk(const Layout& g, Visit&& visit) {
  if (!g.mask) {
    walk_grid(g.step, g.last_column, g.last_row, g.last_slice, visit);
    return;
  }
  walk_grid(g.step, g.last_column, g.last_row, g.last_slice, [&](int x, int y, int z) {
    if (touches_mask(g, x, y, z)) visit(x, y, z);
  });
}

// Number of reference cubes of the walk.
inline long reference_cubes(const Layout& g) {
  if (!g.mask) return get_reference_cubes_number(g.step, g.last_column, g.last_row, g.last_slice);
  long count = 0;
  walk(g, [&](int, int, int) { ++count; });
  return count;
}

// For every voxel of slices first..last (1-based), which the band holds:
// estimate[i] = numerator / weights where the weight exceeds eps, else
// fallback[i]; noise_map[i] (when not null) = mean of the summed levels in
// adaptive mode where the count exceeds eps, else 0. The slices' sums are
// then cleared for reuse.
void normalise(Accumulators& acc, const Output& out, int first, int last);

// Block matching of the reference cube (x, y, z) on `volume` into
// w.positions, with the workspace's storage; returns the group size.
int find_group(const Layout& g, const double* volume, int x, int y, int z, Workspace& w);

// The group of the reference cube (x, y, z) into w.positions: from the table
// when one is given, else matched on `volume`; returns the group size.
int stage_group(const Layout& g, const GroupTable* table, const double* volume, int x, int y, int z,
                Workspace& w);

// Throws Error when a table is given that was not matched for this walk.
void check_table(const Layout& g, const GroupTable* table);

// Points the workspace at the forward and inverse group matrices for L.
void load_group_matrices(const Transforms& t, int L, Workspace& w);

}  // namespace zarvo::stages
