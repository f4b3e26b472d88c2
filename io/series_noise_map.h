// The noise map of a series as one 3-D volume, the way diffusion tools
// write theirs: the level of every voxel. The volumes' maps come one at a
// time; where every volume has the same map (one level or one level map for
// the series, the usual case) that map is the result exactly, otherwise
// (levels per volume, per-group estimates) the root mean square over the
// volumes, the level of the series' average noise power.
#pragma once

#include <cstddef>
#include <string>

#include "core/memory.h"

namespace zarvo::cli {

class SeriesNoiseMap {
 public:
  SeriesNoiseMap(std::size_t voxels, int threads);
  // The map of the next volume, in volume order.
  void add(const double* map);
  // The 3-D map (voxels values), valid until the next add().
  const double* result();
  bool volumes_agree() const { return agree_; }
  // For the sidecar: how the 3-D map stands for the volumes.
  std::string summary() const;

 private:
  std::size_t voxels_;
  int volumes_ = 0;
  bool agree_ = true;
  Buffer<double> first_, squares_, result_;
};

}  // namespace zarvo::cli
