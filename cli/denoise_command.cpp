#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "commands.h"
#include "files.h"
#include "nifti_io.h"
#include "outputs.h"
#include "progress.h"
#include "zarvo/pipeline.h"

namespace zarvo::cli {

namespace {

Shape shape_of(const Image& im) {
  Shape s;
  s.ndims = im.ndim;
  s.rows = im.nx;
  s.cols = im.ny;
  s.slices = im.nz;
  s.volumes = im.nt;
  return s;
}

}  // namespace

double parse_sigma(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end == text.c_str() || *end != '\0' || !std::isfinite(v))
    throw std::runtime_error("--sigma: '" + text + "' is not a number");
  if (!(v > 0))
    throw std::runtime_error("--sigma: the noise level must be > 0 (got " + text +
                             "); omit --sigma to estimate it");
  return v;
}

namespace {

// Reference cubes the walk visits in one volume (for the thread count).
long reference_cubes(const Image& in, const Params& p) {
  auto along = [&](int n, int side) {
    side = std::min(side, n);
    return static_cast<long>((n - side + p.step - 1) / std::max(1, p.step) + 1);
  };
  return along(in.nx, p.cube) * along(in.ny, p.cube) * along(in.nz, p.depth);
}

}  // namespace

void run_denoise(const DenoiseOptions& o) {
  const Noise noise = o.noise == "rician" ? Noise::rician : Noise::gaussian;
  const double sigma = o.sigma.empty() ? 0.0 : parse_sigma(o.sigma);
  const DataType type = parse_datatype(o.datatype);
  const std::string problem = check(o.params);
  if (!problem.empty()) throw std::runtime_error(problem);
  if (!o.sigma_map.empty() && noise != Noise::rician)
    throw std::runtime_error("--sigma-map needs --noise rician");

  // Every path problem is reported before the (possibly long) work starts.
  OutputSet outputs(o.force);
  outputs.add_input(o.input, "input");
  outputs.add_input(o.sigma_map, "noise level map");
  outputs.add_output(o.output, "output");
  outputs.add_output(o.noise_map, "noise map");
  outputs.check();
  Image input = read_image(o.input, "input");

  Image map_image;
  if (!o.sigma_map.empty()) {
    map_image = read_image(o.sigma_map, "noise level map");
    const bool spatial = map_image.nx == input.nx && map_image.ny == input.ny && map_image.nz == input.nz;
    if (!spatial || (map_image.nt != 1 && map_image.nt != input.nt))
      throw std::runtime_error("noise level map '" + o.sigma_map + "' is " + map_image.shape() +
                               " but the input is " + input.shape() +
                               "; it must match the input's shape (one volume, or one per volume)");
    for (int t = 0; t < map_image.nt; ++t)
      for (double s : map_image.volume(t))
        if (s < 0)
          throw std::runtime_error("noise level map '" + o.sigma_map + "' holds negative levels");
  }
  for (const std::string& f : input.files) outputs.add_input(f, "input");
  for (const std::string& f : map_image.files) outputs.add_input(f, "noise level map");
  outputs.check();  // again, with the data files of .hdr/.img pairs
  if (std::string p = output_range_problem(input.lo, input.hi, type, input); !p.empty())
    throw std::runtime_error("output '" + o.output + "': " + p);
  const int threads = o.use_threads ? o.use_threads(reference_cubes(input, o.params)) : 1;

  SeriesInput series{shape_of(input), [&input](int t, double* out) { input.read_volume(t, out); }};
  SeriesInput map_series;
  zarvo::DenoiseOptions options;
  options.noise = noise;
  options.params = o.params;
  if (sigma > 0) options.sigma = {sigma};
  if (!o.sigma_map.empty()) {
    map_series = {shape_of(map_image),
                  [&map_image](int t, double* out) { map_image.read_volume(t, out); }};
    options.sigma_map = &map_series;
  }
  options.basic_only = o.basic_only;
  options.noise_map = !o.noise_map.empty();

  const int stages = o.basic_only ? 1 : 2;
  Progress progress(input.nt * stages, !o.quiet);
  RunContext context;
  context.threads = threads;
  context.progress = [&progress](long done, long total) { progress.update(done, total); };
  PipelineEvents events;
  std::vector<std::string> notes;
  auto prefix = [&](int t) {
    return input.nt > 1 ? "volume " + std::to_string(t + 1) + "/" + std::to_string(input.nt) + ", "
                        : std::string();
  };
  events.stage = [&](int t, int stage, int count, const char* name) {
    progress.begin(t * count + stage, prefix(t) + name);
  };
  events.level = [&](int t, const VolumeReport& r) {
    if (r.source != SigmaSource::estimated) return;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%snoise level estimated as %.6g (image units)",
                  prefix(t).c_str(), r.sigma);
    notes.push_back(buf);
  };

  const std::size_t n = input.volume_voxels();
  std::vector<double> estimate(static_cast<std::size_t>(input.nim->nvox));
  std::vector<double> noise_map;
  if (options.noise_map) noise_map.resize(estimate.size());
  const DenoiseReport report = denoise(
      series, options,
      [&](int t, const double* e, const double* m) {
        const std::size_t offset = n * static_cast<std::size_t>(t);
        std::copy(e, e + n, estimate.begin() + offset);
        if (m) std::copy(m, m + n, noise_map.begin() + offset);
      },
      context, events);
  progress.finish();
  if (report.params.depth < o.params.depth)
    notes.push_back("cube depth limited to " + std::to_string(report.params.depth) +
                    " (the number of slices)");

  outputs.write(o.output, [&](const std::string& temp) {
    write_image_file(temp, o.output, input, estimate, type, "zarvo denoise");
  });
  if (!noise_map.empty())
    outputs.write(o.noise_map, [&](const std::string& temp) {
      write_image_file(temp, o.noise_map, input, noise_map, DataType::float32,
                       "zarvo noise level (std)");
    });
  outputs.commit();
  if (!o.quiet)
    for (const std::string& n : notes) std::fprintf(stderr, "zarvo: %s\n", n.c_str());
}

}  // namespace zarvo::cli
