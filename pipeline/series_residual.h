// What the joint series mode took away that is not noise: the filtered
// component images lose weak, spatially sparse signal (a small activation's
// time course) and some of the anatomy's edges, and what they lose is left
// in the residual (input minus output). Locally that residual is noise plus
// a few coherent components; those that stand above the random-matrix noise
// edge of a small patch can be taken back.

#pragma once

#include <vector>

#include "volume_transform.h"

namespace zarvo {

// The patches: the residual summed over bins of `bin` voxels a side, then
// a cube of `extent` bins a side around each core of `core` bins a side
// (cores tile the volume; a patch at the border is moved inside it). Each
// core's output comes from its own patch alone, and is spread evenly over
// its bins' voxels.
struct ResidualPatches {
  int bin = 2;
  int extent = 3;
  int core = 1;
};

// The noise level of every volume of `residual` (input minus the joint
// estimate, in unit noise, along any orthonormal basis of the volume axis):
// the median absolute value over the mask, scaled to a Gaussian's level
// (robust to the sparse edges a residual may hold). Below 1 where the
// estimate kept part of the noise, as it does in the leading components;
// 0 for a volume without residual.
std::vector<double> residual_levels(const SeriesStore& residual, const unsigned char* mask);

// Adds to `output` the local low-rank part of `residual`, at the voxels
// inside `mask` (every voxel when null): each patch divided by the volumes'
// `levels` (a volume of level 0 is left out), its components above the
// noise edge of white noise of level 1 taken back with the shrinkage that
// minimises the squared error, and the levels put back. Up to `threads`
// threads, to the same bits whatever their number.
void restore_residual(const SeriesStore& residual, const std::vector<double>& levels,
                      SeriesStore& output, int rows, int cols, int slices,
                      const unsigned char* mask, const ResidualPatches& patches, int threads);

}  // namespace zarvo
