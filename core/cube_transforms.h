// The slice and depth transforms of cubes of 4 x 4 x depth voxels, whole
// cubes at a time in vector registers instead of a product call per slice.
// Every coefficient is the product kernels' own chain: fused multiply-adds
// over the inner index in increasing order, starting from +0. Whether that
// is the engine's product arithmetic is checked once on random cubes before
// these are used (GroupProducts). Internal to the core library.
#pragma once

namespace zarvo::detail {

// Deepest cubes with kernels.
constexpr int cube_kernels_max_depth = 8;

// in and out hold `count` cubes of 16 * depth values each (the depth is the
// kernel's own), slices of 4 x 4 column-major one after another; out may be
// in itself.
using CubeKernel = void (*)(const double* in, int count, const double* T, const double* T3,
                            double* out);

struct CubeKernels {
  // Each slice X to (T X) T', then each cube as a 16 x depth matrix of its
  // slices to C T3'. Null where the running code path has no fused
  // multiply-add on vectors of 4 doubles.
  CubeKernel forward = nullptr;
  // Each cube C to C T3, then each slice W to (T' W) T.
  CubeKernel inverse = nullptr;
};

// The kernels for cubes `depth` slices deep (both null above
// cube_kernels_max_depth), of the instruction set this CPU runs.
CubeKernels cube_kernels(int depth);

}  // namespace zarvo::detail
