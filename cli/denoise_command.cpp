#include <sched.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "commands.h"
#include "files.h"
#include "nifti_io.h"
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

int choose_threads(int requested) {
  if (requested > 0) return requested;
  if (const char* env = std::getenv("ZARVO_THREADS")) {
    const int n = std::atoi(env);
    if (n > 0) return n;
  }
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
  const unsigned n = std::thread::hardware_concurrency();
  return n ? static_cast<int>(n) : 1;
}

void run_denoise(const DenoiseOptions& o) {
  const Noise noise = o.noise == "rician" ? Noise::rician : Noise::gaussian;
  const double sigma = o.sigma.empty() ? 0.0 : parse_sigma(o.sigma);
  const DataType type = parse_datatype(o.datatype);
  const std::string problem = check(o.params);
  if (!problem.empty()) throw std::runtime_error(problem);
  if (!o.sigma_map.empty() && noise != Noise::rician)
    throw std::runtime_error("--sigma-map needs --noise rician");

  // Every path problem is reported before the (possibly long) work starts.
  if (!is_nifti_output_name(o.output))
    throw std::runtime_error("output '" + o.output + "' must end in .nii or .nii.gz");
  if (o.output == o.input) throw std::runtime_error("output '" + o.output + "' is the input file; choose another name");
  Image input = read_image(o.input, "input");
  check_output(o.output, o.input, o.force, "output");
  if (!o.sigma_map.empty() && same_file(o.output, o.sigma_map))
    throw std::runtime_error("output '" + o.output + "' is the noise level map; choose another name");
  if (!o.noise_map.empty()) {
    if (!is_nifti_output_name(o.noise_map))
      throw std::runtime_error("noise map '" + o.noise_map + "' must end in .nii or .nii.gz");
    if (o.noise_map == o.output || same_file(o.noise_map, o.output))
      throw std::runtime_error("the noise map and the output must be different files");
    check_output(o.noise_map, o.input, o.force, "noise map");
    if (!o.sigma_map.empty() && same_file(o.noise_map, o.sigma_map))
      throw std::runtime_error("noise map '" + o.noise_map + "' is the noise level map; choose another name");
  }

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

  write_image(o.output, input, estimate, type, "zarvo denoise");
  if (!noise_map.empty())
    write_image(o.noise_map, input, noise_map, DataType::float32, "zarvo noise level (std)");
  if (!o.quiet)
    for (const std::string& n : notes) std::fprintf(stderr, "zarvo: %s\n", n.c_str());
}

}  // namespace zarvo::cli
