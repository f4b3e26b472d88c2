// The inner loops of the joint series mode's filtering across components,
// in SIMD (Highway, compiled for several instruction sets and dispatched at
// run time). Each lane makes the sequence of operations the scalar loop
// makes, in the same order, so every result keeps its bits whatever the
// instruction set.
#pragma once

#include <cstddef>

namespace zarvo::across {

// A voxel's components are held this many at a time (the widest vector of
// doubles the kernels use): the band's sums and the padded axes take a
// multiple of it per voxel.
constexpr int component_block = 8;
inline int padded_components(int n) {
  return (n + component_block - 1) / component_block * component_block;
}

// A filtered group added into a band's sums, voxel by voxel: the voxel's
// components est[k] = sum over j of axes[j][k] * coords[j][i], each formed
// from 0 adding the terms in increasing j, then sums[k] += (float)(w_k *
// est[k]) and weights[voxel] += weight, where w_k = weight; with a window,
// from component `windowed_from` on w_k = weight * window[i % window_len]
// instead, and windowed[voxel] += that.
struct GroupAddition {
  const double* coords = nullptr;  // M x kept, column-major
  const double* axes = nullptr;    // kept axes of `stride` doubles, 0 past the components
  int M = 0, kept = 0, stride = 0;
  int run = 1;                      // voxels of a cube column (consecutive in `at`)
  const std::size_t* at = nullptr;  // each voxel's place in the band
  std::size_t plane = 0, rows = 0;  // of the band's slices
  int part = 0, parts = 1;          // only the voxels of columns x with x % parts == part
  double weight = 0;
  float* sums = nullptr;           // `stride` floats per place
  double* weights = nullptr;       // one per place
  const double* window = nullptr;  // null: no window
  int window_len = 1, windowed_from = 0;
  double* windowed = nullptr;  // the windowed weights, one per place
};
void add_group(const GroupAddition& a);

}  // namespace zarvo::across

namespace zarvo::across {

// to[k * M + i] = values[at[i] * stride + k] for the M voxels i and the
// components k < n (stride a multiple of component_block, at least n).
void gather_columns(const float* values, std::size_t stride, const std::size_t* at, int M, int n,
                    double* to);

}  // namespace zarvo::across
