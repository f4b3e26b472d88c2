// What the volume-by-volume and the joint series filters share in setting
// up the stages: the transform matrices, the unit the stages run in, the
// geometry and thresholding settings from a profile, the setup of a run and
// of its estimated level map, and the checks of a volume and of a level
// estimate.
#pragma once

#include <string>
#include <vector>

#include "core/memory.h"
#include "lapack.h"
#include "noise_level.h"
#include "zarvo/pipeline.h"
#include "zarvo/run.h"
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

// What a run of the stages sets up first, for denoise() and for each joint
// phase alike: the parameters as used on the image, the engine ready, the
// thread count chosen for the work (its note told), the transform matrices.
// `transforms` points into `matrices`, so a setup is neither copied nor
// moved. The BLAS runs on the calling threads only while a setup lives.
struct RunSetup {
  SingleBlasThread blas;
  Params params;
  RunContext context;
  Matrices matrices;
  stages::Transforms transforms;

  RunSetup(const Shape& s, const Params& asked, const RunContext& given,
           const PipelineEvents& events);
  RunSetup(const RunSetup&) = delete;
  RunSetup& operator=(const RunSetup&) = delete;
};

// Whether the run estimates a level map from the series: a level per voxel
// asked for, and neither levels nor a map given.
bool estimates_map(const DenoiseOptions& o);

// The level map estimated from the series (one pass over the input, reading
// only) when the run estimates one, else none.
std::vector<double> estimated_map(const SeriesInput& input, const DenoiseOptions& o, int threads);

// The options with an estimated level map in place of a given one (one map
// for every volume): `o` itself when `level_map` is empty. The map is read
// from `level_map`, which outlives this; `options` points into this, so it
// is neither copied nor moved.
class WithMap {
 public:
  WithMap(const DenoiseOptions& o, const Shape& s, const std::vector<double>& level_map);
  WithMap(const WithMap&) = delete;
  WithMap& operator=(const WithMap&) = delete;
  const DenoiseOptions& options() const { return *used_; }

 private:
  SeriesInput map_;
  DenoiseOptions with_;
  const DenoiseOptions* used_;
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
