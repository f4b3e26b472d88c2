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

// Every voxel's vector x replaced by its components B^T x (forward) or
// rebuilt from them, B c (inverse). Up to `threads` threads, to the same
// bits whatever their number.
void to_components(SeriesStore& series, const VolumeBasis& basis, int threads);
void from_components(SeriesStore& series, const VolumeBasis& basis, int threads);

}  // namespace zarvo
