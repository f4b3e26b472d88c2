// Runs the stages on small volumes in tests: DCT cube transforms, Haar group
// transforms and the geometry of a call.
#pragma once

#include <random>
#include <vector>

#include "zarvo/pipeline.h"
#include "zarvo/stages.h"

namespace zarvo::test {

// The shape of a volume (2-D when it has one slice) or, with more than one
// volume, of a series.
inline Shape shape_of(int rows, int cols, int slices, int volumes = 1) {
  Shape s;
  s.ndims = volumes > 1 ? 4 : (slices > 1 ? 3 : 2);
  s.rows = rows;
  s.cols = cols;
  s.slices = slices;
  s.volumes = volumes;
  return s;
}

struct StageParams {
  int cube_side = 4, largest_group = 8, cube_depth = 2, step = 2, search = 3;
  bool synchronous = false;
  double threshold = 2.7, match_threshold = 1e9;
};

// Owns the matrices a Transforms points into.
struct StageCall {
  stages::Geometry geometry;
  stages::Transforms transforms;
  std::vector<double> dct_slice, dct_depth;
  std::vector<std::vector<double>> haar;

  StageCall(int rows, int cols, int slices, const StageParams& p)
      : dct_slice(dct_matrix(p.cube_side)), dct_depth(dct_matrix(p.cube_depth)) {
    geometry.ndims = slices > 1 ? 3 : 2;
    geometry.dims[0] = rows;
    geometry.dims[1] = cols;
    geometry.dims[2] = slices;
    geometry.cube_side = p.cube_side;
    geometry.largest_group = p.largest_group;
    geometry.cube_depth = p.cube_depth;
    geometry.step = p.step;
    geometry.search_half_width = p.search;
    geometry.synchronous = p.synchronous;
    geometry.match_threshold = p.match_threshold;
    transforms.slice_forward = transforms.slice_inverse = dct_slice.data();
    transforms.depth_forward = dct_depth.data();
    for (int L = 1, i = 0; L <= p.largest_group; L *= 2, ++i) haar.push_back(haar_matrix(L));
    for (std::size_t i = 0; i < haar.size(); ++i)
      transforms.group_forward[i] = transforms.group_inverse[i] = haar[i].data();
  }
};

inline std::vector<double> random_volume(std::size_t n, unsigned seed, double mean = 1.0,
                                         double sd = 0.2) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(mean, sd);
  std::vector<double> v(n);
  for (auto& x : v) x = d(gen);
  return v;
}

}  // namespace zarvo::test
