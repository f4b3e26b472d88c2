// Distances of block matching: the sums of squared differences between the
// reference cube and a block of candidate cubes, computed either one
// candidate at a time (scalar) or several candidates at once, one per SIMD
// lane (rows next to each other, which lie next to each other in memory).
// Each lane makes the scalar sequence of operations - a subtraction, a
// multiplication and an addition per voxel, in the same voxel order - so
// both paths give the same bits. Internal to the core library (and its
// benchmarks).
#pragma once

#include <cstddef>

namespace zarvo::detail {

// Rows of candidates whose distances are formed together: the distance
// buffer of one call holds this many rows of a window slice.
constexpr int row_block = 16;

// What stays fixed over one grouping call.
struct CubeDistance {
  const double* volume = nullptr;
  std::ptrdiff_t voxels = 0;     // elements of the volume: loads stay below
  int rows = 0;                  // dims[0], the distance between columns
  std::ptrdiff_t plane = 0;      // dims[0] * dims[1], the distance between slices
  int cube_len = 0;              // nm1 * nm1 * nm3
  const double* ref = nullptr;   // reference voxels in the order of addition
  const int* offsets = nullptr;  // their offsets from the cube's first voxel
};

// Distances of the candidates with first voxel at rows y0 .. y0 + nrows - 1
// (nrows <= row_block), columns x0 .. x0 + ncols - 1 and slice z (1-based),
// into out[r * ncols + c] for row y0 + r and column x0 + c. Every candidate
// must lie inside the volume.
void block_distances_scalar(const CubeDistance& k, int x0, int ncols, int y0, int nrows, int z,
                            double* out);
void block_distances_simd(const CubeDistance& k, int x0, int ncols, int y0, int nrows, int z,
                          double* out);

// The indices i of the values v[i] <= at_most and < below (never a NaN), in
// increasing order, into index[] (room for `count`); returns their count.
// Few are kept: the values are looked at a vector at a time.
int keep_below(const double* v, int count, double at_most, double below, int* index);

// Name of the SIMD instruction set the dispatch chose (for the benchmarks).
const char* simd_target_name();

}  // namespace zarvo::detail
