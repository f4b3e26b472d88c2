#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "commands.h"
#include "files.h"
#include "nifti_io.h"
#include "outputs.h"
#include "pipeline.h"
#include "progress.h"

namespace zarvo::cli {

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
  if (o.use_threads) o.use_threads(reference_cubes(input, o.params));

  const int stages = o.basic_only ? 1 : 2;
  Progress progress(input.nt * stages, !o.quiet);
  progress.observe_walks();

  std::vector<double> estimate(static_cast<std::size_t>(input.nim->nvox));
  std::vector<double> noise_map;
  if (!o.noise_map.empty()) noise_map.resize(estimate.size());
  std::vector<std::string> notes;
  for (int t = 0; t < input.nt; ++t) {
    Volume v;
    v.rows = input.nx;
    v.cols = input.ny;
    v.slices = input.nz;
    v.data = input.volume(t);
    Request q;
    q.noise = noise;
    q.sigma = sigma;
    q.params = o.params;
    q.basic_only = o.basic_only;
    std::vector<double> levels;
    if (!o.sigma_map.empty()) {
      levels = map_image.volume(map_image.nt == 1 ? 0 : t);
      q.sigma_map = &levels;
    }
    const std::string prefix =
        input.nt > 1 ? "volume " + std::to_string(t + 1) + "/" + std::to_string(input.nt) + ", " : "";
    Outcome r = denoise(v, q, [&](int stage, int count, const char* name) {
      progress.begin(t * count + stage, prefix + name);
    });
    if (r.estimated) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "%snoise level estimated as %.6g (image units)",
                    prefix.c_str(), r.matching_sigma);
      notes.push_back(buf);
    }
    if (r.depth < o.params.depth && t == 0) {
      notes.push_back("cube depth limited to " + std::to_string(r.depth) +
                      " (the number of slices)");
    }
    const std::size_t offset = v.voxels() * static_cast<std::size_t>(t);
    std::copy(r.estimate.begin(), r.estimate.end(), estimate.begin() + offset);
    if (!noise_map.empty())
      std::copy(r.noise_map.begin(), r.noise_map.end(), noise_map.begin() + offset);
  }
  progress.finish();

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
