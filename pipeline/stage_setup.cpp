#include "stage_setup.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "zarvo/run_limits.h"

namespace zarvo {

Matrices::Matrices(const Params& p) : slice(dct_matrix(p.cube)), depth(dct_matrix(p.depth)) {
  const int largest = p.group1 > p.group2 ? p.group1 : p.group2;
  for (int L = 1; L <= largest; L *= 2) haar.push_back(haar_matrix(L));
}

stages::Transforms Matrices::transforms() const {
  stages::Transforms t;
  t.slice_forward = t.slice_inverse = slice.data();
  t.depth_forward = depth.data();
  for (std::size_t i = 0; i < haar.size(); ++i)
    t.group_forward[i] = t.group_inverse[i] = haar[i].data();
  return t;
}

RunSetup::RunSetup(const Shape& s, const Params& asked, const RunContext& given,
                   const PipelineEvents& events)
    : params(used_params(s, asked)), context(given), matrices(params) {
  prepare_engine();
  const ThreadChoice threads =
      choose_threads(given.threads, reference_cubes(s.rows, s.cols, s.slices, params));
  context.threads = threads.threads;
  if (!threads.note.empty() && events.note) events.note(threads.note);
  transforms = matrices.transforms();
}

bool estimates_map(const DenoiseOptions& o) {
  return o.sigma.empty() && !o.sigma_map && o.sigma_scope == SigmaScope::voxel;
}

std::vector<double> estimated_map(const SeriesInput& input, const DenoiseOptions& o, int threads) {
  if (!estimates_map(o)) return {};
  return estimate_series_sigma_map(input, o.noise, o.mask.empty() ? nullptr : o.mask.data(),
                                   threads);
}

WithMap::WithMap(const DenoiseOptions& o, const Shape& s, const std::vector<double>& level_map)
    : used_(&o) {
  if (level_map.empty()) return;
  map_.shape = s;
  map_.shape.volumes = 1;
  map_.read = [&level_map](int, double* out) {
    std::copy(level_map.begin(), level_map.end(), out);
  };
  with_ = o;
  with_.sigma_map = &map_;
  used_ = &with_;
}

double unit_of(double level) {
  int e = 0;
  const double m = std::frexp(level, &e);  // level = m 2^e, m in [0.5, 1)
  return std::ldexp(1.0, m < 0.70710678118654752 ? e - 1 : e);
}

void scale(Buffer<double>& v, double factor) {
  for (double& x : v) x *= factor;
}

stages::Geometry geometry(const Shape& s, const Params& p, int group, double per_voxel,
                          double level, const unsigned char* mask) {
  stages::Geometry g;
  g.ndims = s.slices > 1 ? 3 : 2;
  g.dims[0] = s.rows;
  g.dims[1] = s.cols;
  g.dims[2] = s.slices;
  g.cube_side = p.cube;
  g.largest_group = group;
  g.cube_depth = p.depth;
  g.step = p.step;
  g.search_half_width = p.search;
  g.synchronous = p.synchronous;
  g.match_threshold = tau_match(per_voxel, level, p.cube, p.depth);
  g.mask = mask;
  return g;
}

void check_finite(const double* v, const Shape& s, int t) {
  const std::size_t n = s.volume_voxels();
  std::size_t bad = 0, first = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i]) && bad++ == 0) first = i;
  if (!bad) return;
  const std::size_t x = first % s.rows, y = (first / s.rows) % s.cols,
                    z = first / (static_cast<std::size_t>(s.rows) * s.cols);
  std::string where = std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(z);
  if (s.volumes > 1) where += "," + std::to_string(t);
  throw InputError("holds " + std::to_string(bad) +
                   " NaN or infinite voxel(s) (the first at voxel " + where +
                   "); replace them before denoising");
}

}  // namespace zarvo
