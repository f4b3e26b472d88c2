#include "io/series_noise_map.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zarvo::cli {

SeriesNoiseMap::SeriesNoiseMap(std::size_t voxels, int threads) : voxels_(voxels) {
  resize_large(first_, voxels, threads);
  resize_large(squares_, voxels, threads);
}

void SeriesNoiseMap::add(const double* map) {
  if (volumes_ == 0)
    std::copy(map, map + voxels_, first_.begin());
  else if (agree_)
    agree_ = std::memcmp(map, first_.data(), voxels_ * sizeof(double)) == 0;
  for (std::size_t i = 0; i < voxels_; ++i) squares_[i] += map[i] * map[i];
  ++volumes_;
}

const double* SeriesNoiseMap::result() {
  if (agree_) return first_.data();
  result_.resize(voxels_);
  for (std::size_t i = 0; i < voxels_; ++i) result_[i] = std::sqrt(squares_[i] / volumes_);
  return result_.data();
}

std::string SeriesNoiseMap::summary() const {
  return agree_ ? "one 3-D volume: the level of every voxel, the same in every volume"
                : "one 3-D volume: the root mean square over the volumes of the level of every "
                  "voxel (the levels differ between volumes)";
}

}  // namespace zarvo::cli
