// The two-stage denoiser on one volume: transform matrices, matching limits
// and the calls of the four plug-ins through the stand-alone host.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "params.h"

namespace zarvo::cli {

struct Volume {
  int rows = 0, cols = 0, slices = 1;
  std::vector<double> data;  // column-major, rows fastest
  std::size_t voxels() const { return static_cast<std::size_t>(rows) * cols * slices; }
};

struct Request {
  Noise noise = Noise::gaussian;
  double sigma = 0.0;                        // > 0: known level; 0: estimate it
  const std::vector<double>* sigma_map = nullptr;  // Rician only: level per voxel
  Params params;
  bool basic_only = false;
};

struct Outcome {
  std::vector<double> estimate;
  // The noise standard deviation the last stage used at every voxel: the
  // given or volume-estimated level or the map, or with per-group
  // estimation the mean of the group estimates that reached the voxel (0
  // where none did). Not a residual.
  std::vector<double> noise_map;
  double matching_sigma = 0.0;  // the level the matching limits were set from
  bool estimated = false;       // matching_sigma came from estimate_noise_level
  int depth = 0;                // the cube depth used (limited by the slices)
};

// Called before each plug-in call with its 0-based index, the number of
// calls and a short name ("hard thresholding", "Wiener").
using StageHook = std::function<void(int stage, int stages, const char* name)>;

// Throws std::runtime_error with the plug-in's message when a call fails.
Outcome denoise(const Volume& noisy, const Request& request, const StageHook& hook = {});

}  // namespace zarvo::cli
