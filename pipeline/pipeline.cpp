// The two-stage pipeline over a series, on the engine's stages.
#include "zarvo/pipeline.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "core/memory.h"
#include "core/parts.h"
#include "lanes.h"
#include "noise_level.h"
#include "series_joint.h"
#include "stage_setup.h"
#include "vst/vst.h"
#include "zarvo/run_limits.h"
#include "zarvo/stages.h"

namespace zarvo {

namespace {

std::string text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace

ArrayView ArrayView::column_major(const double* data, const Shape& shape) {
  ArrayView v;
  v.data = data;
  v.type = ElementType::float64;
  v.shape = shape;
  v.strides = {1, shape.rows, static_cast<std::int64_t>(shape.rows) * shape.cols,
               static_cast<std::int64_t>(shape.volume_voxels())};
  return v;
}

ArrayView ArrayView::column_major(const float* data, const Shape& shape) {
  ArrayView v = column_major(static_cast<const double*>(nullptr), shape);
  v.data = data;
  v.type = ElementType::float32;
  return v;
}

double ArrayView::at(std::int64_t r, std::int64_t c, std::int64_t s, std::int64_t t) const {
  const std::int64_t i = r * strides[0] + c * strides[1] + s * strides[2] + t * strides[3];
  return type == ElementType::float64 ? static_cast<const double*>(data)[i]
                                      : static_cast<const float*>(data)[i];
}

void ArrayView::read_volume(int t, double* out) const {
  std::size_t i = 0;
  for (int s = 0; s < shape.slices; ++s)
    for (int c = 0; c < shape.cols; ++c)
      for (int r = 0; r < shape.rows; ++r) out[i++] = at(r, c, s, t);
}

SeriesInput series_input(const ArrayView& view) {
  return {view.shape, [view](int t, double* out) { view.read_volume(t, out); }};
}

double estimate_sigma(const double* volume, const Shape& s, Noise noise,
                      const unsigned char* mask) {
  return level::require_level(level::estimate_level(volume, s.rows, s.cols, s.slices, noise, mask),
                              "the volume");
}

std::vector<double> estimate_sigmas(const SeriesInput& input, Noise noise, SigmaScope scope,
                                    const unsigned char* mask, int threads) {
  const Shape& s = input.shape;
  if (scope == SigmaScope::voxel)
    throw Error("a level per voxel is a map: estimate_series_sigma_map, not estimate_sigmas");
  const bool pooling = scope == SigmaScope::series;
  // A series' level from the series as a whole: the spectra of small
  // patches across the volumes separate the noise from fine structure that
  // every volume shares, which the detail of each volume counts as noise
  // (three times the level on real EPI). Where that finds no level (too few
  // patches that carry noise, or a bad voxel, which the pass below names),
  // the detail pooled over the volumes.
  if (pooling && s.volumes > 1) {
    try {
      return {estimate_series_sigma(input, noise, mask, threads).sigma};
    } catch (const Error&) {
    }
  }
  // Consecutive volumes in parts, one part a thread; a part stops at its
  // first failure, so the first part that failed holds the first failure in
  // volume order, as one pass would meet it.
  struct Part {
    std::unique_ptr<level::LevelSampler> pooled;
    std::vector<double> levels;
    std::exception_ptr error;
  };
  std::vector<Part> parts(static_cast<std::size_t>(std::max(threads, 1)));
  std::mutex reading;
  const int used = in_parts(
      static_cast<std::size_t>(s.volumes), threads, 1,
      [&](int p, std::size_t begin, std::size_t end) {
        Part& part = parts[static_cast<std::size_t>(p)];
        try {
          std::vector<double> volume(s.volume_voxels());
          part.pooled = std::make_unique<level::LevelSampler>(s.rows, s.cols, s.slices, mask);
          for (int t = static_cast<int>(begin); t < static_cast<int>(end); ++t) {
            {
              std::lock_guard<std::mutex> lock(reading);
              input.read(t, volume.data());
            }
            check_finite(volume.data(), s, t);
            if (pooling) {
              part.pooled->add(volume.data());
            } else {
              const std::string what =
                  s.volumes > 1 ? "volume " + std::to_string(t + 1) : "the volume";
              part.levels.push_back(level::require_level(
                  level::estimate_level(volume.data(), s.rows, s.cols, s.slices, noise, mask),
                  what));
            }
          }
        } catch (...) {
          part.error = std::current_exception();
        }
      });
  std::vector<double> levels;
  for (int p = 0; p < used; ++p) {
    Part& part = parts[static_cast<std::size_t>(p)];
    if (part.error) std::rethrow_exception(part.error);
    if (pooling && p > 0) parts[0].pooled->merge(*part.pooled);
    levels.insert(levels.end(), part.levels.begin(), part.levels.end());
  }
  if (pooling)
    levels.assign(1, level::require_level(parts[0].pooled->estimate(noise),
                                          s.volumes > 1 ? "the series" : "the volume"));
  return levels;
}

void check(const Shape& s, const DenoiseOptions& o) {
  if (s.ndims < 2 || s.ndims > 4)
    throw InputError("has " + std::to_string(s.ndims) +
                     " dimensions; 2-D images, 3-D volumes and 4-D series are supported");
  if (s.rows < 1 || s.cols < 1 || s.slices < 1 || s.volumes < 1) throw InputError("is empty");
  if (s.rows > 65535 || s.cols > 65535 || s.slices > 65535)
    throw InputError("is larger than 65535 voxels along a spatial axis");
  if (s.volume_voxels() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw InputError("has too many voxels per volume (2^31 or more)");
  const std::string problem = check(o.params);
  if (!problem.empty()) throw Error(problem);
  if (!o.sigma.empty() && o.sigma.size() != 1 &&
      o.sigma.size() != static_cast<std::size_t>(s.volumes))
    throw Error("give one noise level, or one per volume (" + std::to_string(s.volumes) +
                "), not " + std::to_string(o.sigma.size()));
  for (double v : o.sigma)
    if (!(v > 0) || !std::isfinite(v))
      throw Error("the noise level must be a finite number > 0 (got " + text(v) +
                  "); omit it to estimate it");
  if (!o.mask.empty()) {
    const Shape& m = o.mask_shape;
    if (m.rows != s.rows || m.cols != s.cols || m.slices != s.slices || m.volumes != 1 ||
        o.mask.size() != s.volume_voxels())
      throw Error("the mask must have the input's spatial shape (" + std::to_string(s.rows) +
                  " x " + std::to_string(s.cols) + " x " + std::to_string(s.slices) + ")");
    bool any = false;
    for (unsigned char v : o.mask) any = any || v != 0;
    if (!any) throw Error("the mask holds no voxel (every value is 0)");
  }
  const bool joint = o.series == SeriesMode::joint && s.volumes > 1;
  if (o.sigma_scope == SigmaScope::voxel && o.sigma.empty() && !o.sigma_map) {
    if (s.volumes < 2)
      throw Error(
          "sigma_scope voxel estimates the level map from a series of 2 or more volumes; the "
          "input has one (estimate one level, or give sigma_map)");
    if (o.noise != Noise::rician && !joint)
      throw Error(
          "a noise level map needs the Rician noise model, or the joint series mode "
          "(sigma_scope voxel estimates one)");
  }
  if (o.sigma_map) {
    if (o.noise != Noise::rician && !joint)
      throw Error("a noise level map needs the Rician noise model, or the joint series mode");
    if (!o.sigma.empty()) throw Error("give either noise levels or a noise level map, not both");
    const Shape& m = o.sigma_map->shape;
    if (m.rows != s.rows || m.cols != s.cols || m.slices != s.slices ||
        (m.volumes != 1 && m.volumes != s.volumes))
      throw Error(
          "the noise level map must have the input's shape (one volume, or one per volume)");
  }
  if (const std::string p = data_problem(o, 0.0, 0.0); !p.empty()) throw Error(p);
}

double smallest_level(double largest) {
  return std::max(std::ldexp(std::fabs(largest), -1000), std::ldexp(1.0, -1021));
}

std::string data_problem(const DenoiseOptions& o, double lo, double hi) {
  const double largest = std::max(std::fabs(lo), std::fabs(hi));
  for (double v : o.sigma)
    if (v > 0 && v < smallest_level(largest))
      return "the noise level " + text(v) + " is too small for data " +
             (largest > 0 ? "as large as " + text(largest) : std::string("of any size")) +
             " (the smallest the arithmetic supports is " + text(smallest_level(largest)) + ")";
  if (o.noise == Noise::rician && hi <= 0 && lo < 0)
    return "holds no positive value (from " + text(lo) + " to " + text(hi) +
           "); Rician noise is for magnitude images, whose values are 0 or more";
  return {};
}

namespace {

// The buffers one volume is filtered in, and what it reports.
struct VolumeBuffers {
  Buffer<double> noisy, estimate, noise_map, level_map, stabilised, stabilised_hat;
  VolumeReport report;
};

// What filtering a volume needs that is the same for every volume.
struct SeriesRun {
  const SeriesInput& input;
  const DenoiseOptions& o;
  const Params& p;
  const stages::Transforms& transforms;
  const unsigned char* mask;
  const std::vector<double>& pooled;  // the level pooled over the series, if any
  bool map_estimated;                 // o.sigma_map was estimated from the series
  // The front end's read functions are called one at a time.
  std::mutex& reading;

  void read(const SeriesInput& from, int t, double* out) const {
    std::lock_guard<std::mutex> lock(reading);
    from.read(t, out);
  }

  // Volume t into b.estimate (and b.noise_map); its report into b.report.
  // Each walk runs in the context that `context` gives at its start.
  void filter(int t, VolumeBuffers& b, const std::function<RunContext()>& context,
              const PipelineEvents& events) const;

 private:
  // Volume t's level (read into b.noisy, and its map into b.level_map).
  VolumeReport volume_level(int t, VolumeBuffers& b) const;
  // The estimate back in the data's units, the noise map, and the input's
  // own values outside the mask.
  void finish(int t, VolumeBuffers& b, double unit, bool per_group_map) const;
};

VolumeReport SeriesRun::volume_level(int t, VolumeBuffers& b) const {
  const Shape& s = input.shape;
  Buffer<double>&noisy = b.noisy, &level_map = b.level_map;
  VolumeReport r;
  if (o.sigma_map) {
    read(*o.sigma_map, o.sigma_map->shape.volumes == 1 ? 0 : t, level_map.data());
    r.sigma = level::map_level(level_map.data(), level_map.size());
    r.source = map_estimated ? SigmaSource::estimated_map : SigmaSource::map;
  } else if (!o.sigma.empty()) {
    r.sigma = o.sigma[o.sigma.size() == 1 ? 0 : t];
    r.source = SigmaSource::given;
  } else {
    r.sigma =
        !pooled.empty()
            ? pooled[0]
            : level::require_level(
                  level::estimate_level(noisy.data(), s.rows, s.cols, s.slices, o.noise, mask),
                  s.volumes > 1 ? "volume " + std::to_string(t + 1) : "the volume");
    r.source = SigmaSource::estimated;
    r.per_group = p.estimate(o.noise) == Estimate::group;
  }
  return r;
}

void SeriesRun::finish(int t, VolumeBuffers& b, double unit, bool per_group_map) const {
  const std::size_t n = input.shape.volume_voxels();
  const VolumeReport& r = b.report;
  Buffer<double>&noisy = b.noisy, &estimate = b.estimate, &noise_map = b.noise_map;
  scale(estimate, unit);
  if (per_group_map) scale(noise_map, unit);
  if (o.noise_map && !r.per_group) {
    if (o.sigma_map)
      read(*o.sigma_map, o.sigma_map->shape.volumes == 1 ? 0 : t, noise_map.data());
    else
      noise_map.assign(n, r.sigma);
  }
  if (mask) {
    // Outside the mask the input's own values, read afresh (unscaled).
    read(input, t, noisy.data());
    for (std::size_t i = 0; i < n; ++i)
      if (!mask[i]) estimate[i] = noisy[i];
  }
}

void SeriesRun::filter(int t, VolumeBuffers& b, const std::function<RunContext()>& context,
                       const PipelineEvents& events) const {
  const Shape& s = input.shape;
  const bool rician = o.noise == Noise::rician;
  const int stage_count = o.basic_only ? 1 : 2;
  const std::size_t n = s.volume_voxels();
  Buffer<double>&noisy = b.noisy, &estimate = b.estimate, &noise_map = b.noise_map,
  &level_map = b.level_map;
  // Fresh buffers are cleared by every thread the walks will have.
  const int threads = walk_threads(context());
  resize_large(noisy, n, threads);
  resize_large(estimate, n, threads);
  if (o.noise_map) resize_large(noise_map, n, threads);
  if (o.sigma_map) resize_large(level_map, n, threads);

  read(input, t, noisy.data());
  check_finite(noisy.data(), s, t);

  // The level the matching limits are set from, and what the stages take
  // as the noise level (0: every group estimates its own).
  VolumeReport& r = b.report;
  r = volume_level(t, b);
  if (events.level) events.level(t, r);

  // The stages run in the unit of the level (see unit_of).
  const double unit = r.sigma > 0 ? unit_of(r.sigma) : 1.0;
  const double inverse = 1.0 / unit;
  scale(noisy, inverse);
  if (o.sigma_map) scale(level_map, inverse);
  const double level = r.sigma * inverse;
  const double known = r.per_group ? 0.0 : level;
  stages::RiceNoise rice_noise;
  if (o.sigma_map) {
    rice_noise.levels = level_map.data();
    rice_noise.count = static_cast<int>(n);
  } else {
    rice_noise.levels = &known;
    rice_noise.count = 1;
  }
  double* stage_map = r.per_group && o.noise_map ? noise_map.data() : nullptr;

  // First stage into `estimate`; the second matches on it and writes its
  // result over it once its walk is done.
  if (events.stage) events.stage(t, 0, stage_count, "hard thresholding");
  const stages::Geometry g1 = geometry(s, p, p.group1, p.tau1, level, mask);
  // Rician data with one level for every group: the volumes stabilised once,
  // voxel by voxel (the same transform as stabilising every group's cubes
  // again; an interpolation at a knot may differ in the last bit).
  const bool ahead = rician && !o.sigma_map && known > eps;
  if (ahead) {
    resize_large(b.stabilised, n, threads);
    vst::forward_stabilization(noisy.data(), static_cast<int>(n), known, b.stabilised.data(),
                               threads);
  }
  if (rician) {
    auto q = thresholding<stages::ThrRiceSettings>(p);
    q.noise = rice_noise;
    if (ahead) q.stabilised = b.stabilised.data();
    stages::run_thr_rice(g1, transforms, q, noisy.data(), estimate.data(), stage_map, context());
  } else {
    auto q = thresholding<stages::ThrSettings>(p);
    q.sigma = known;
    stages::run_thr(g1, transforms, q, noisy.data(), estimate.data(), stage_map, context());
  }
  if (!o.basic_only) {
    if (events.stage) events.stage(t, 1, stage_count, "Wiener");
    const stages::Geometry g2 = geometry(s, p, p.group2, p.tau2, level, mask);
    if (rician) {
      stages::WieRiceSettings q;
      q.noise = rice_noise;
      if (ahead) {
        resize_large(b.stabilised_hat, n, threads);
        vst::forward_stabilization(estimate.data(), static_cast<int>(n), known,
                                   b.stabilised_hat.data(), threads);
        q.stabilised = b.stabilised.data();
        q.stabilised_basic = b.stabilised_hat.data();
      }
      stages::run_wie_rice(g2, transforms, q, noisy.data(), estimate.data(), estimate.data(),
                           stage_map, context());
    } else {
      stages::WieSettings q;
      q.sigma = known;
      stages::run_wie(g2, transforms, q, noisy.data(), estimate.data(), estimate.data(), stage_map,
                      context());
    }
  }
  finish(t, b, unit, stage_map != nullptr);
}

}  // namespace

DenoiseReport denoise(const SeriesInput& input, const DenoiseOptions& o, const VolumeSink& sink,
                      const RunContext& given, const PipelineEvents& events) {
  const Shape& s = input.shape;
  check(s, o);
  DenoiseReport report;
  // Cubes no larger than the image (a 2-D image takes flat cubes), the
  // window no wider than the volume; the thread count, once the work is
  // known.
  const RunSetup setup(s, o.params, given, events);
  report.params = setup.params;
  const Params& p = setup.params;
  const RunContext& context = setup.context;
  const stages::Transforms& transforms = setup.transforms;
  check_memory(s, o, context.threads);
  const unsigned char* mask = o.mask.empty() ? nullptr : o.mask.data();

  // A level map estimated from the series (one more pass over the input,
  // reading only) takes the place of a given one from here on.
  const bool map_estimated = estimates_map(o);
  const std::vector<double> level_map = estimated_map(input, o, walk_threads(context));
  const WithMap with_map(o, s, level_map);
  const DenoiseOptions& used = with_map.options();
  if (o.series == SeriesMode::joint && s.volumes > 1) {
    denoise_joint(input, used, sink, context, events, report, map_estimated);
    return report;
  }

  // An estimated level pooled over the series is known before any volume is
  // filtered (one more pass over the input, reading only).
  const bool estimating = o.sigma.empty() && !o.sigma_map && !map_estimated;
  std::vector<double> pooled;
  if (estimating && o.sigma_scope == SigmaScope::series && s.volumes > 1) {
    pooled = estimate_sigmas(input, o.noise, SigmaScope::series, mask, walk_threads(context));
    report.pooled = true;
  }

  std::mutex reading;
  const SeriesRun run{input, used, p, transforms, mask, pooled, map_estimated, reading};
  auto deliver = [&](int t, VolumeBuffers& b) {
    report.volumes.push_back(b.report);
    sink(t, b.estimate.data(), o.noise_map ? b.noise_map.data() : nullptr);
  };

  const int lane_count = lanes::for_series(s.volumes, walk_threads(context), s.volume_voxels());
  if (lane_count == 1) {
    VolumeBuffers b;
    for (int t = 0; t < s.volumes; ++t) {
      run.filter(
          t, b, [&] { return context; }, events);
      deliver(t, b);
    }
    return report;
  }

  // Each lane tells its volume's events through the calling thread, in
  // volume order.
  std::vector<VolumeBuffers> slots(static_cast<std::size_t>(lane_count) + 1);
  lanes::Work work;
  work.run = [&](int t, int slot, const lanes::Lane& lane) {
    PipelineEvents told;
    if (events.level)
      told.level = [&](int v, const VolumeReport& r) {
        lane.post([&events, v, r] { events.level(v, r); });
      };
    if (events.stage)
      told.stage = [&](int v, int stage, int count, const char* name) {
        lane.post([&events, v, stage, count, name] { events.stage(v, stage, count, name); });
      };
    run.filter(
        t, slots[static_cast<std::size_t>(slot)], [&] { return lane.context(); }, told);
  };
  work.deliver = [&](int t, int slot) { deliver(t, slots[static_cast<std::size_t>(slot)]); };
  lanes::run(s.volumes, lane_count, lane_count + 1, context, work);
  return report;
}

}  // namespace zarvo
