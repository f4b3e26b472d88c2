// A transform along the volume axis of a series, adapted to it: the
// principal axes of the voxels' vectors (the values one voxel takes across
// the volumes). An orthonormal transform keeps white noise white at the same
// level, and concentrates what the volumes share in a few component images.
#pragma once

#include <cstddef>
#include <vector>

#include "core/memory.h"

namespace zarvo {

// A series held in single precision, one volume after another: 4 bytes a
// voxel of the series. Its rounding (a relative 6e-8) is far below any
// noise the series is denoised for.
class SeriesStore {
 public:
  SeriesStore(std::size_t voxels, int volumes, int threads);
  // The caller's memory (voxels x volumes floats, kept alive by it) in
  // place of the store's own: a series shared by the processes of a run.
  SeriesStore(float* data, std::size_t voxels, int volumes)
      : voxels_(voxels), volumes_(volumes), base_(data) {}
  SeriesStore(SeriesStore&&) = default;  // a copy would point into the original
  float* volume(int t) { return base_ + static_cast<std::size_t>(t) * voxels_; }
  const float* volume(int t) const { return base_ + static_cast<std::size_t>(t) * voxels_; }
  std::size_t voxels() const { return voxels_; }
  int volumes() const { return volumes_; }

 private:
  std::size_t voxels_;
  int volumes_;
  Buffer<float> data_;
  float* base_ = nullptr;
};

// An orthonormal basis of the volume axis: column k of `axes` (n x n,
// column-major) is the axis along which the series' vectors have the k-th
// largest sum of squares, `moments[k]`.
struct VolumeBasis {
  int n = 0;
  std::vector<double> axes;
  std::vector<double> moments;
};

// The principal axes of the vectors of the voxels inside the mask (every
// voxel when it is null), uncentred: the mean image is the leading
// component rather than a separate term, and the transform stays exactly
// orthonormal. Up to `threads` threads; the basis does not depend on their
// number. Throws Error when the eigen-decomposition fails.
VolumeBasis principal_axes(const SeriesStore& series, const unsigned char* mask, int threads);

// How many of the principal axes, from the first, carry signal: their mean
// square per voxel (`mean_square[k]`, over `samples` voxels) stands above
// the largest that white noise gives, the bulk's median times
// (1 + sqrt(axes / samples))^2 (at least 1). The median rather than 1: the
// noise of the component images is not exactly at level 1 (an estimated
// level, stabilised Rician noise), and a weak signal just above it (a
// diffusion series' sixth to eighth axes) is better served by its own
// principal axis.
int signal_axes(const std::vector<double>& mean_square, std::size_t samples);

// Whether the order of the volumes means something the signal follows: one
// of the signal axes after the first (the mean image) varies slowly along
// the volume index, its squared steps between neighbouring volumes summing
// to under a quarter of a random direction's (a drift or slow fluctuation
// of a time series: 0.1 to 0.3 on an fMRI-like series; the axes of
// diffusion series with their shells interleaved: 1.6 to 3.6). A scheme
// acquired shell after shell has such an axis too. False with no signal
// axis besides the first.
bool slow_along_volumes(const VolumeBasis& basis, int kept);

// The axes after the first `kept` of `basis` (principal axes) replaced by
// another orthonormal basis of the space they span: its directions in order
// of smoothness along the volume index (the eigenvectors, smoothest first,
// of the second difference along the volumes restricted to that space; with
// `kept` 0 the cosine basis of the volume axis). Below the signal's leading
// axes the principal axes of noise are an arbitrary rotation of it, and a
// weak signal too small to raise its own axis is spread thin over all of
// them; slow ones (a block design, a drift) gather in a few smooth axes
// instead. White noise stays white at the same level. `moments` become the
// series' sums of squares along the new axes (no longer in decreasing
// order). Throws Error when the eigen-decomposition fails.
void smooth_trailing_axes(VolumeBasis& basis, int kept);

// Every voxel's vector x replaced by its components B^T x (forward) or
// rebuilt from them, B c (inverse). Up to `threads` threads, to the same
// bits whatever their number.
void to_components(SeriesStore& series, const VolumeBasis& basis, int threads);
void from_components(SeriesStore& series, const VolumeBasis& basis, int threads);

}  // namespace zarvo
