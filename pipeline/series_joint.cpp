#include "series_joint.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>

#include "core/memory.h"
#include "core/parts.h"
#include "noise_level.h"
#include "series_lowrank.h"
#include "series_residual.h"
#include "stage_setup.h"
#include "volume_transform.h"
#include "vst/vst.h"
#include "zarvo/joint_phases.h"
#include "zarvo/run_limits.h"

namespace zarvo {
namespace {

// Elementwise work split between threads in fixed pieces, so that the bits
// never depend on the number of threads.
constexpr std::size_t piece = std::size_t{1} << 16;

template <typename Each>
void by_pieces(std::size_t n, int threads, Each&& each) {
  in_parts((n + piece - 1) / piece, threads, 1, [&](int, std::size_t first, std::size_t last) {
    for (std::size_t p = first; p < last; ++p) each(p * piece, std::min(n, (p + 1) * piece));
  });
}

// The noise level of every voxel of one volume: one for the whole volume,
// or a map (levels >= 0; 0: the voxel carries no noise).
struct VoxelLevels {
  double level = 0;
  const double* map = nullptr;
  double at(std::size_t i) const { return map ? map[i] : level; }
};

// Volume t of the series in units of its own noise level, voxel by voxel:
// divided by it (Gaussian noise) or stabilised at it (Rician noise: the
// stabilised values have unit noise whatever the signal, and the exact
// unbiased inverse takes them back), so that every voxel's noise is white
// with level 1 and stays so through the orthonormal transform along the
// volumes. The stabilisation at level s is the one at level 1 of the
// magnitude divided by s (its table's abscissae are those of level 1 times
// s): one table for every voxel, whatever its level, and one level or a
// constant map give the same bits. A voxel of level 0 enters as 0 (it keeps
// its value, see from_unit_noise).
void to_unit_noise(const double* volume, std::size_t n, Noise noise, const VoxelLevels& levels,
                   double* out, int threads) {
  by_pieces(n, threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const double s = levels.at(i);
      out[i] = s > 0 ? volume[i] / s : 0.0;
    }
  });
  if (noise != Noise::rician) return;
  Buffer<double> scaled;
  resize_large(scaled, n, threads);
  std::copy(out, out + n, scaled.begin());
  vst::forward_stabilization(scaled.data(), static_cast<int>(n), 1.0, out, threads);
  if (levels.map)
    by_pieces(n, threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i)
        if (!(levels.map[i] > 0)) out[i] = 0.0;
    });
}

// Back from unit noise: the volume's own values where the level is 0.
void from_unit_noise(const double* unit, std::size_t n, Noise noise, const VoxelLevels& levels,
                     const double* volume, double* out, int threads) {
  by_pieces(n, threads, [&](std::size_t begin, std::size_t end) {
    if (noise == Noise::rician)
      vst::inverse_stabilization(unit + begin, static_cast<int>(end - begin), 1.0, out + begin);
    else
      std::copy(unit + begin, unit + end, out + begin);
    for (std::size_t i = begin; i < end; ++i) {
      const double s = levels.at(i);
      out[i] = s > 0 ? out[i] * s : volume[i];
    }
  });
}

// The component images share their groups, matched once on the leading
// components together: the distance of two cubes is summed over the leading
// components' images (first the noisy ones, then their first stage's
// estimates for the second stage). The leading components hold the series'
// anatomy well above the noise; a component near or below the noise edge
// matched on its own would group cubes whose noise happens to look alike.
// Every group is as large as the stage allows (no match threshold): the
// guides' distances are not in the units of any one component's noise, and
// on simulated diffusion series (one shell, SNR 10 and 20) a threshold of
// four times the profile's one or none gave the lowest errors, with matching
// on the first component alone. Five leading components against one cut
// the DW error by 1 to 3 % and FA's by 2 %; three gave the same as five.
// Matching once instead of on every component took about half the CPU time.
constexpr int leading_components = 5;

}  // namespace

void to_unit_rms(double* image, std::size_t n) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += image[i] * image[i];
  const double mean_square = sum / static_cast<double>(n > 0 ? n : 1);
  if (!(mean_square > 0) || !std::isfinite(mean_square)) return;
  const double scale = std::pow(mean_square, -0.5);
  for (std::size_t i = 0; i < n; ++i) image[i] *= scale;
}

namespace {

// The local axes the Wiener stage keeps: those along which its pilot's mean
// square per voxel is above 0.2 of the noise's variance. Measured on a
// simulated one-shell diffusion series at SNR 20: 0.05 and 0.5 gave the
// same errors within 1.5 %, 0.01 (nearly every axis) 5 % more DW error and
// 20 % more CPU time, 1.0 5 % more FA error.
constexpr double wiener_pilot_floor = 0.2;

// How many of the leading components the groups' local axes are taken in:
// twice the series' signal rank (signal_axes), at least the components the
// groups are matched on. Past the signal rank the principal components hold
// noise, which the local axes then no longer pick up, and the local noise
// edge counts only the span, so weaker local structure within it stands out
// (what the dropped components hold locally comes back in the residual
// step). Measured on simulated diffusion series (SNR 10 and 20, one and two
// shells, ranks 9 to 15), against every component: b0 error 0.3 to 2 %
// lower, DW 0.6 to 3 %, FA 0.2 to 3 %, at 0.4 to 0.6 times the CPU time; the
// components past the span, filtered across on their own (in windows of 8
// or all together), kept no axis in any group (two shells, SNR 20). The
// rank itself as the span gave 1 % lower b0 errors, 1 % higher DW errors on
// one shell and the residual's anatomy at r = -0.0500 (SNR 10; -0.0497 at
// twice); below the rank the DW error rose by 2 to 9 %.
// A time series keeps every component: a weak slow signal (an activation)
// lies below the signal rank, spread over the smooth trailing axes; without
// them an fMRI-like series kept 5 % less of its activation's amplitude.
int local_span(int kept, int volumes, bool smooth) {
  if (smooth) return volumes;
  return std::min(volumes, std::max(2 * kept, leading_components));
}

// The Wiener stage's aggregation in the component images from the third on:
// each group's estimate weighted by a Kaiser window over its cube (beta 2:
// 0.44 at a side's ends, 0.92 inside, for 4 voxels), so that a voxel takes
// more from the groups holding it near their cubes' centre. The two leading
// components (the mean level, the anatomy) stay unwindowed. Measured on
// simulated diffusion series (SNR 10 and 20, one and two shells), against
// no window: FA error 1.1 to 1.4 % lower (what is left of the noise at the
// voxel's scale in isotropic tissue gives it anisotropy), DW 0.5 to 0.7 %,
// b0 within 0.01 % or lower, at the same CPU time; the residual's anatomy
// a little higher (r -0.0492 to -0.0498 on one shell at SNR 10). The
// window from the first component or from the second, in the first stage
// too, or of beta 3 took that r past -0.05; components 3 to 5 alone kept
// two thirds of the FA gain on two shells.
constexpr int wiener_window_from = 2;
constexpr double wiener_window_beta = 2.0;

// Whether the plan's basis orders its trailing axes by smoothness along the
// volumes (a time series).
bool time_series(const JointPlan& plan) {
  return plan.smooth_from < static_cast<int>(plan.volumes.size());
}

// The parameters the stages run with on a series: the cube depth of the
// joint mode (Params::joint_depth) unless it is a time series. Measured
// with cubes of 3 slices instead of 4 on simulated diffusion series (slices
// 3.2 mm thick, 2 mm in the plane; one and two shells, SNR 10 and 20):
// b0, DW and FA errors 0.2 to 1.4 % lower on every one, the residual's
// correlation with the anatomy lower, CPU time lower; on the same anatomy
// in 2 mm isotropic voxels about the same errors. On an fMRI-like series
// the error rose by 8 %, so a time series keeps `depth`.
Params stage_params(const Params& p, bool smooth) {
  Params q = p;
  if (!smooth) q.depth = q.joint_depth;
  return q;
}

// The geometry of a stage on shared groups: every match kept.
stages::Geometry shared_geometry(const Shape& shape, const Params& p, int group,
                                 const unsigned char* mask) {
  stages::Geometry g = geometry(shape, p, group, 0.0, 1.0, mask);
  g.match_threshold = std::numeric_limits<double>::infinity();
  return g;
}

// Every component image of `from` through both stages into `to`, each
// stage on groups of four dimensions (series_lowrank.h) matched on the
// leading components first. Filtering
// the groups across the components instead of each component image on its
// own cut the errors of a simulated one-shell diffusion series at SNR 20
// (DW 14 %, b0 4 %, FA 11 %; the first stage alone across: 6, 2 and 4 %),
// and of a two-shell one (DW 21 %, b0 4 %, FA 14 %); at SNR 10 too (DW 10
// and 21 %, FA 8 and 21 %). Keeping the axes below the noise edge (each
// thresholded instead of dropped) lost all of it (two shells, SNR 10). It costs CPU
// time (1.4 to 2.7 times on those series, 3.6 on a 120-volume fMRI-like
// one: every group's Gram matrix and eigenvectors) and, there, doubled the
// false positives of a weak activation. With `diffusion` false (a time
// series) the Wiener stage's guides keep their scale and its aggregation is
// unwindowed (wiener_window_from). The local axes are taken within the
// first `span` components (local_span).
void filter_components(const Shape& shape, const Params& p, const stages::Transforms& transforms,
                       const unsigned char* mask, bool basic_only, int span, bool diffusion,
                       const SeriesStore& from, SeriesStore& to, const RunContext& context,
                       const PipelineEvents& events) {
  const std::size_t n = shape.volume_voxels();
  const int threads = walk_threads(context);
  const int volumes = from.volumes();
  const int lead = std::min(volumes, leading_components);
  const int stage_count = basic_only ? 1 : 2;
  const auto tell = [&](int stage, const char* name) {
    if (events.stage)
      for (int k = 0; k < volumes; ++k) events.stage(k, stage, stage_count, name);
  };
  std::vector<Buffer<double>> guides(static_cast<std::size_t>(lead));
  std::vector<const double*> images(static_cast<std::size_t>(lead));
  const auto guide_from = [&](const SeriesStore& store, bool scaled) {
    for (int k = 0; k < lead; ++k) {
      Buffer<double>& guide = guides[static_cast<std::size_t>(k)];
      resize_large(guide, n, threads);
      std::copy(store.volume(k), store.volume(k) + n, guide.begin());
      if (scaled) to_unit_rms(guide.data(), n);
      images[static_cast<std::size_t>(k)] = guide.data();
    }
  };

  tell(0, "hard thresholding");
  const stages::Geometry g1 = shared_geometry(shape, p, p.group1, mask);
  guide_from(from, false);
  const stages::GroupTable hard_groups = stages::match_groups(g1, images.data(), lead, context);
  AcrossSettings hard;
  hard.threshold = p.lambda;
  hard.span = span;
  filter_across(g1, transforms, hard_groups, hard, from, nullptr, to, threads);
  if (basic_only) return;

  tell(1, "Wiener");
  const stages::Geometry g2 = shared_geometry(shape, p, p.group2, mask);
  // The first estimates are nearly free of noise: each leading component
  // gets an equal say in the match (to_unit_rms), save on a time series.
  guide_from(to, diffusion);
  const stages::GroupTable wiener_groups = stages::match_groups(g2, images.data(), lead, context);
  guides.clear();
  AcrossSettings wiener;
  wiener.pilot_floor = wiener_pilot_floor;
  wiener.span = span;
  if (diffusion) {
    wiener.window_from = wiener_window_from;
    wiener.window_beta = wiener_window_beta;
  }
  filter_across(g2, transforms, wiener_groups, wiener, from, &to, to, threads);
}

// Components per window of the residual step on smooth axes. Measured on
// an fMRI-like series (120 volumes, a 1.1 % block activation, SNR 30), the
// amplitude kept: 0.49 all together, 0.57 in windows of 2, 0.58 of 4, 0.61
// of 8, 0.60 of 16.
constexpr int smooth_residual_window = 8;

// The filtered components lose a weak activation's time course and some
// edges; what of it stands out of the residual locally comes back
// (series_residual.h). `residual` holds the input's components and is
// turned into the residual in place.
void take_back_residual(SeriesStore& residual, SeriesStore& estimate, const Shape& s,
                        const unsigned char* mask, bool smooth, int threads) {
  const std::size_t n = s.volume_voxels();
  for (int t = 0; t < s.volumes; ++t) {
    float* r = residual.volume(t);
    const float* e = estimate.volume(t);
    by_pieces(n, threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) r[i] -= e[i];
    });
  }
  const std::vector<double> levels = residual_levels(residual, mask);
  // Along smooth axes a slow signal lies in a few neighbouring components:
  // windows of them hold it against far less noise than all together.
  const int window = smooth ? smooth_residual_window : s.volumes;
  for (int first = 0; first < s.volumes; first += window) {
    const int count = std::min(window, s.volumes - first);
    const SeriesStore part(residual.volume(first), n, count);
    SeriesStore out(estimate.volume(first), n, count);
    const std::vector<double> part_levels(levels.begin() + first, levels.begin() + first + count);
    restore_residual(part, part_levels, out, s.rows, s.cols, s.slices, mask, ResidualPatches(),
                     threads);
  }
}

}  // namespace

std::vector<double> series_levels(const SeriesInput& input, const DenoiseOptions& o, int threads,
                                  DenoiseReport& report, bool map_estimated) {
  const int volumes = input.shape.volumes;
  std::vector<double> levels = o.sigma;
  SigmaSource source = SigmaSource::given;
  if (o.sigma_map) {
    // The map's median stands for the volume, as volume by volume.
    const SeriesInput& map = *o.sigma_map;
    std::vector<double> v(map.shape.volume_voxels());
    for (int t = 0; t < map.shape.volumes; ++t) {
      map.read(t, v.data());
      levels.push_back(level::map_level(v.data(), v.size()));
    }
    source = map_estimated ? SigmaSource::estimated_map : SigmaSource::map;
  } else if (levels.empty()) {
    levels = estimate_sigmas(input, o.noise, o.sigma_scope,
                             o.mask.empty() ? nullptr : o.mask.data(), threads);
    report.pooled = levels.size() == 1;
    source = SigmaSource::estimated;
  }
  if (levels.size() == 1) levels.assign(static_cast<std::size_t>(volumes), levels[0]);
  report.volumes.assign(static_cast<std::size_t>(volumes), VolumeReport());
  for (int t = 0; t < volumes; ++t) {
    report.volumes[static_cast<std::size_t>(t)].sigma = levels[static_cast<std::size_t>(t)];
    report.volumes[static_cast<std::size_t>(t)].source = source;
  }
  return levels;
}

namespace {

// Volume t's levels: its map (read once when one serves every volume), or
// its one level.
class SeriesLevels {
 public:
  SeriesLevels(const DenoiseOptions& o, const std::vector<VolumeReport>& volumes, std::size_t n,
               int threads)
      : o_(o), volumes_(volumes) {
    if (o.sigma_map) resize_large(map_, n, threads);
  }
  VoxelLevels of(int t) {
    VoxelLevels v;
    v.level = volumes_[static_cast<std::size_t>(t)].sigma;
    if (!o_.sigma_map) return v;
    const int m = o_.sigma_map->shape.volumes == 1 ? 0 : t;
    if (m != read_) o_.sigma_map->read(m, map_.data());
    read_ = m;
    v.map = map_.data();
    return v;
  }

 private:
  const DenoiseOptions& o_;
  const std::vector<VolumeReport>& volumes_;
  Buffer<double> map_;
  int read_ = -1;
};

// The series to unit noise and into its component images (in `prepared`),
// every one filtered into `filtered`; the levels and the basis into the
// plan (its level map is the caller's).
JointPlan prepare(const SeriesInput& input, const DenoiseOptions& o, bool map_estimated,
                  const Params& p, SeriesStore& prepared, SeriesStore& filtered,
                  const RunContext& context, const PipelineEvents& events) {
  const Shape& s = input.shape;
  const std::size_t n = s.volume_voxels();
  const int threads = walk_threads(context);
  const unsigned char* mask = o.mask.empty() ? nullptr : o.mask.data();

  DenoiseReport found;
  series_levels(input, o, threads, found, map_estimated);
  JointPlan plan;
  plan.volumes = std::move(found.volumes);
  plan.pooled = found.pooled;
  if (events.level)
    for (int t = 0; t < s.volumes; ++t) events.level(t, plan.volumes[static_cast<std::size_t>(t)]);

  SeriesLevels levels(o, plan.volumes, n, threads);
  Buffer<double> volume, unit;
  resize_large(volume, n, threads);
  resize_large(unit, n, threads);
  for (int t = 0; t < s.volumes; ++t) {
    input.read(t, volume.data());
    check_finite(volume.data(), s, t);
    to_unit_noise(volume.data(), n, o.noise, levels.of(t), unit.data(), threads);
    std::copy(unit.begin(), unit.end(), prepared.volume(t));
  }

  VolumeBasis basis = principal_axes(prepared, mask, threads);
  std::size_t inside = n;
  if (mask)
    inside = static_cast<std::size_t>(
        std::count_if(mask, mask + n, [](unsigned char m) { return m != 0; }));
  std::vector<double> mean_square(basis.moments);
  for (double& m : mean_square) m /= static_cast<double>(std::max<std::size_t>(inside, 1));
  // A time series: a weak slow signal below the noise's principal axes
  // (a small activation) gathers in a few smooth axes (volume_transform.h).
  const int kept = signal_axes(mean_square, inside);
  plan.smooth_from = s.volumes;
  if (slow_along_volumes(basis, kept)) {
    smooth_trailing_axes(basis, kept);
    plan.smooth_from = kept;
  }
  to_components(prepared, basis, threads);
  const bool smooth = time_series(plan);
  const int span = local_span(kept, s.volumes, smooth);
  // The transforms of the cubes the stages run with (their depth depends
  // on the series).
  const Params used = stage_params(p, smooth);
  const Matrices matrices(used);
  // A time series' leading components past the first hold weak slow
  // fluctuations: given an equal say in the match, they pulled apart the
  // groups a weak activation needs (a simulated one kept 0.29 of its
  // amplitude instead of 0.36), so there the guides keep their scale; its
  // Wiener stage aggregates unwindowed too (not measured on one).
  filter_components(s, used, matrices.transforms(), mask, o.basic_only, span, !smooth, prepared,
                    filtered, context, events);
  plan.axes = std::move(basis.axes);
  plan.moments = std::move(basis.moments);
  return plan;
}

// What the filtering left in the residual taken back (`prepared` turned
// into it), the filtered components back into volumes, each to the sink in
// the data's units.
DenoiseReport finish(const SeriesInput& input, const DenoiseOptions& o, const JointPlan& plan,
                     const Params& params, SeriesStore& prepared, SeriesStore& filtered,
                     const VolumeSink& sink, int threads) {
  const Shape& s = input.shape;
  const std::size_t n = s.volume_voxels();
  const unsigned char* mask = o.mask.empty() ? nullptr : o.mask.data();
  take_back_residual(prepared, filtered, s, mask, time_series(plan), threads);
  VolumeBasis basis;
  basis.n = s.volumes;
  basis.axes = plan.axes;
  basis.moments = plan.moments;
  from_components(filtered, basis, threads);

  SeriesLevels levels(o, plan.volumes, n, threads);
  Buffer<double> volume, unit, noisy, noise_map;
  resize_large(volume, n, threads);
  resize_large(unit, n, threads);
  resize_large(noisy, n, threads);
  for (int t = 0; t < s.volumes; ++t) {
    const float* v = filtered.volume(t);
    std::copy(v, v + n, unit.begin());
    const VoxelLevels at = levels.of(t);
    // The input afresh where the output keeps the input's own values: where
    // the level is 0 and outside the mask.
    if (mask || at.map) input.read(t, noisy.data());
    from_unit_noise(unit.data(), n, o.noise, at, noisy.data(), volume.data(), threads);
    if (mask)
      for (std::size_t i = 0; i < n; ++i)
        if (!mask[i]) volume[i] = noisy[i];
    if (o.noise_map) {
      if (at.map)
        noise_map.assign(at.map, at.map + n);
      else
        noise_map.assign(n, at.level);
    }
    sink(t, volume.data(), o.noise_map ? noise_map.data() : nullptr);
  }
  DenoiseReport report;
  report.params = joint_params(params, plan);
  report.pooled = plan.pooled;
  report.volumes = plan.volumes;
  report.notes = joint_notes(plan);
  return report;
}

// Refuses what the separate phases cannot have been given together.
void check_phase(const Shape& s, const DenoiseOptions& o, const JointPlan* plan) {
  check(s, o);
  if (o.series != SeriesMode::joint || s.volumes < 2)
    throw Error("the joint phases are for the joint series mode on two volumes or more");
  const std::size_t v = static_cast<std::size_t>(s.volumes);
  if (plan &&
      (plan->volumes.size() != v || plan->axes.size() != v * v || plan->moments.size() != v ||
       plan->smooth_from < 1 || plan->smooth_from > s.volumes ||
       !(plan->level_map.empty() || plan->level_map.size() == s.volume_voxels())))
    throw Error("the joint plan is not of this series (" + std::to_string(s.volumes) + " volumes)");
}

}  // namespace

void denoise_joint(const SeriesInput& input, const DenoiseOptions& o, const VolumeSink& sink,
                   const RunContext& context, const PipelineEvents& events, DenoiseReport& report,
                   bool map_estimated) {
  const Shape& s = input.shape;
  const std::size_t n = s.volume_voxels();
  const int threads = walk_threads(context);
  SeriesStore prepared(n, s.volumes, threads), filtered(n, s.volumes, threads);
  const JointPlan plan =
      prepare(input, o, map_estimated, report.params, prepared, filtered, context, events);
  const DenoiseReport found =
      finish(input, o, plan, report.params, prepared, filtered, sink, threads);
  report.params = found.params;
  report.volumes = found.volumes;
  report.pooled = found.pooled;
  report.notes = found.notes;
}

Params joint_params(const Params& params, const JointPlan& plan) {
  return stage_params(params, time_series(plan));
}

std::vector<std::string> joint_notes(const JointPlan& plan) {
  if (!time_series(plan)) return {};
  // Measured on simulated fMRI series (a block design, 1.1 % activation):
  // the joint mode kept 0.59 of its amplitude at SNR 30 and 0.25 at SNR 20,
  // volume by volume 1.05 and 0.87. The activation lies near the noise in
  // a few smooth components, where no filtering tried told it from noise at
  // the same frequency without letting that noise through too.
  return {
      "the volumes vary slowly along the series, as a time series' do: the joint series mode "
      "may attenuate a weak slow signal such as a task activation (to about half or less of "
      "its amplitude on simulated fMRI series); series mode 'volumes' keeps its amplitude"};
}

JointPlan joint_prepare(const SeriesInput& input, const DenoiseOptions& o, float* prepared,
                        float* filtered, const RunContext& given, const PipelineEvents& events) {
  const Shape& s = input.shape;
  check_phase(s, o, nullptr);
  const RunSetup setup(s, o.params, given, events);
  // A level map estimated from the series, as denoise() estimates it.
  const bool map_estimated = estimates_map(o);
  std::vector<double> level_map = estimated_map(input, o, walk_threads(setup.context));
  const WithMap used(o, s, level_map);
  SeriesStore in(prepared, s.volume_voxels(), s.volumes);
  SeriesStore out(filtered, s.volume_voxels(), s.volumes);
  JointPlan plan =
      prepare(input, used.options(), map_estimated, setup.params, in, out, setup.context, events);
  plan.level_map = std::move(level_map);
  return plan;
}

DenoiseReport joint_finish(const SeriesInput& input, const DenoiseOptions& o, const JointPlan& plan,
                           float* prepared, float* filtered, const VolumeSink& sink,
                           const RunContext& given) {
  const Shape& s = input.shape;
  check_phase(s, o, &plan);
  const RunSetup setup(s, o.params, given, {});
  const WithMap used(o, s, plan.level_map);
  SeriesStore in(prepared, s.volume_voxels(), s.volumes);
  SeriesStore out(filtered, s.volume_voxels(), s.volumes);
  return finish(input, used.options(), plan, setup.params, in, out, sink,
                walk_threads(setup.context));
}

}  // namespace zarvo
