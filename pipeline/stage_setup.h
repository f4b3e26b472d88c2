// What the volume-by-volume and the joint series filters share in setting
// up the stages: the transform matrices, the unit the stages run in, the
// geometry and thresholding settings from a profile, and the checks of a
// volume and of a level estimate.
#pragma once

#include <string>
#include <vector>

#include "core/memory.h"
#include "noise_level.h"
#include "zarvo/pipeline.h"
#include "zarvo/stages.h"

namespace zarvo {

// The transform matrices of one run: DCT for slices and depth, Haar for
// every power of two up to the larger group.
struct Matrices {
  std::vector<double> slice, depth;
  std::vector<std::vector<double>> haar;  // index: log2 of the order

  explicit Matrices(const Params& p);
  stages::Transforms transforms() const;
};

// The power of two nearest to the level (within a factor of sqrt(2)): the
// stages run on the data divided by it, so that their fixed thresholds (eps)
// see the same numbers whatever unit the data come in. Dividing by a power
// of two is exact, so where no threshold decides, nothing changes.
double unit_of(double level);

void scale(Buffer<double>& v, double factor);

// The geometry of a stage with the largest group `group` and the matching
// limit `per_voxel` (in noise variances) at noise level `level`.
stages::Geometry geometry(const Shape& s, const Params& p, int group, double per_voxel,
                          double level, const unsigned char* mask);

// The thresholding settings of a first stage, from the profile.
template <typename Settings>
Settings thresholding(const Params& p) {
  Settings q;
  q.threshold = p.lambda;
  q.alpha = p.alpha;
  q.soft = p.soft;
  return q;
}

// Every voxel finite; otherwise an InputError naming the first bad one.
void check_finite(const double* v, const Shape& s, int t);

}  // namespace zarvo
