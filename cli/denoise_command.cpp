#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "commands.h"
#include "io/files.h"
#include "io/geometry.h"
#include "io/nifti_io.h"
#include "io/outputs.h"
#include "progress.h"
#include "io/sidecar.h"
#include "zarvo/pipeline.h"

namespace zarvo::cli {

namespace {

// "noise level estimated volume by volume: min 4.1, median 4.6, max 5.8
// (image units)".
std::string level_summary(const DenoiseReport& r) {
  std::vector<double> v;
  for (const VolumeReport& x : r.volumes) v.push_back(x.sigma);
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  const double median = n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
  char buf[200];
  std::snprintf(buf, sizeof buf,
                "noise level estimated volume by volume (%zu volumes): min %.6g, median %.6g, "
                "max %.6g (image units)",
                n, v.front(), median, v.back());
  return buf;
}

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

std::vector<double> parse_sigmas(const std::string& text) {
  std::vector<double> levels;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    levels.push_back(parse_sigma(text.substr(start, comma - start)));
    if (comma == std::string::npos) return levels;
    start = comma + 1;
  }
}

std::string sidecar_name(const std::string& output) { return sidecar_of(output); }

std::string shell_quoted(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=/.,:@%") == std::string::npos;
  if (plain) return text;
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

namespace {

// Writes `text` to `file` (a new temporary), checking that every byte went.
void write_text_file(const std::string& file, const std::string& shown, const std::string& text) {
  std::FILE* f = std::fopen(file.c_str(), "w");
  const bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) throw std::runtime_error("writing '" + shown + "' failed");
  if (!ok) throw std::runtime_error("writing '" + shown + "' failed (disk full, or the folder not writable?)");
}

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
  const std::vector<double> sigmas = o.sigma.empty() ? std::vector<double>{} : parse_sigmas(o.sigma);
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
  outputs.add_input(o.mask, "mask");
  outputs.add_output(o.noise_map, "noise map");
  const std::string sidecar = o.sidecar ? sidecar_name(o.output) : "";
  outputs.add_output(sidecar, "sidecar", false);
  if (!sidecar.empty()) {
    const std::string sharer = sidecar_sharer(o.output);
    outputs.add_absent(sharer, "output '" + o.output + "' would share its sidecar '" + sidecar +
                                   "' with '" + sharer + "', which exists; choose another name, "
                                   "remove '" + sharer + "', or give --no-sidecar");
    if (!is_utf8(o.command_line))
      throw std::runtime_error("a name on the command line is not valid UTF-8, which the JSON "
                               "sidecar cannot record; rename the file or give --no-sidecar");
  }
  outputs.check();
  Image input = read_image(o.input, "input", o.read_threads);

  Image map_image;
  if (!o.sigma_map.empty()) {
    map_image = read_image(o.sigma_map, "noise level map");
    const bool spatial = map_image.nx == input.nx && map_image.ny == input.ny && map_image.nz == input.nz;
    if (!spatial || (map_image.nt != 1 && map_image.nt != input.nt))
      throw std::runtime_error("noise level map '" + o.sigma_map + "' is " + map_image.shape() +
                               " but the input is " + input.shape() +
                               "; it must match the input's shape (one volume, or one per volume)");
    if (std::string p = geometry_problem(input, map_image); !p.empty())
      throw std::runtime_error("noise level map '" + o.sigma_map + "' " + p);
    const double smallest = smallest_level(std::max(std::fabs(input.lo), std::fabs(input.hi)));
    for (int t = 0; t < map_image.nt; ++t)
      for (double s : map_image.volume(t)) {
        if (s < 0)
          throw std::runtime_error("noise level map '" + o.sigma_map + "' holds negative levels");
        if (s > 0 && s < smallest) {
          char text[160];
          std::snprintf(text, sizeof text, "%g, too small for the input's values (the smallest "
                        "level the arithmetic supports for them is %g)", s, smallest);
          throw std::runtime_error("noise level map '" + o.sigma_map + "' holds levels as small as " + text);
        }
      }
  }
  Image mask_image;
  std::vector<unsigned char> mask;
  if (!o.mask.empty()) {
    mask_image = read_image(o.mask, "mask");
    if (mask_image.nx != input.nx || mask_image.ny != input.ny || mask_image.nz != input.nz ||
        mask_image.nt != 1)
      throw std::runtime_error("mask '" + o.mask + "' is " + mask_image.shape() +
                               " but the input's volumes are " + std::to_string(input.nx) + "x" +
                               std::to_string(input.ny) + "x" + std::to_string(input.nz) +
                               "; it must be one volume of that shape");
    if (std::string p = geometry_problem(input, mask_image); !p.empty())
      throw std::runtime_error("mask '" + o.mask + "' " + p);
    const std::vector<double> values = mask_image.volume(0);
    mask.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) mask[i] = values[i] != 0;
  }
  for (const std::string& f : mask_image.files) outputs.add_input(f, "mask");
  for (const std::string& f : input.files) outputs.add_input(f, "input");
  for (const std::string& f : map_image.files) outputs.add_input(f, "noise level map");
  outputs.check();  // again, with the data files of .hdr/.img pairs
  if (std::string p = output_range_problem(input.lo, input.hi, type, input); !p.empty())
    throw std::runtime_error("output '" + o.output + "': " + p);
  {
    zarvo::DenoiseOptions given;
    given.noise = noise;
    given.sigma = sigmas;
    if (std::string p = zarvo::data_problem(given, input.lo, input.hi); !p.empty())
      throw std::runtime_error("input '" + o.input + "': " + p);
  }
  if (!o.noise_map.empty() && (!sigmas.empty() || !o.sigma_map.empty())) {
    // The noise map holds the given levels or the map's, as float32.
    const double lo = o.sigma_map.empty() ? *std::min_element(sigmas.begin(), sigmas.end()) : map_image.lo;
    const double hi = o.sigma_map.empty() ? *std::max_element(sigmas.begin(), sigmas.end()) : map_image.hi;
    if (std::string p = range_problem(lo, hi, DataType::float32, true); !p.empty())
      throw std::runtime_error("noise map '" + o.noise_map + "' is written as float32, and the " +
                               (o.sigma_map.empty() ? "given levels" : "levels of the map") +
                               " cannot be: " + p.substr(0, p.find("; --datatype")) +
                               " (--datatype does not apply to the noise map)");
  }
  const int threads = o.use_threads ? o.use_threads(reference_cubes(input, o.params)) : 1;

  SeriesInput series{shape_of(input), [&input](int t, double* out) { input.read_volume(t, out); }};
  SeriesInput map_series;
  zarvo::DenoiseOptions options;
  options.noise = noise;
  options.params = o.params;
  options.sigma = sigmas;
  options.sigma_scope = o.sigma_scope == "volume" ? SigmaScope::volume : SigmaScope::series;
  if (!mask.empty()) {
    options.mask = std::move(mask);
    options.mask_shape = shape_of(input);
    options.mask_shape.volumes = 1;
  }
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
  auto note = [&](const std::string& text) {
    if (!o.quiet) progress.note(text);
  };
  auto prefix = [&](int t) {
    return input.nt > 1 ? "volume " + std::to_string(t + 1) + "/" + std::to_string(input.nt) + ", "
                        : std::string();
  };
  events.stage = [&](int t, int stage, int count, const char* name) {
    progress.begin(t * count + stage, prefix(t) + name);
  };
  // The level is told as soon as it is known, before the volume is filtered:
  // once for a single volume or a level pooled over the series, in a summary
  // at the end for levels estimated volume by volume.
  const bool per_volume = input.nt > 1 && options.sigma.empty() && !options.sigma_map &&
                          options.sigma_scope == SigmaScope::volume;
  events.level = [&](int t, const VolumeReport& r) {
    if (r.source != SigmaSource::estimated || per_volume || t > 0) return;
    char buf[160];
    std::snprintf(buf, sizeof buf, "noise level estimated as %.6g (image units)%s", r.sigma,
                  input.nt > 1 ? ", one for the whole series" : "");
    note(buf);
  };

  // Each volume is encoded as it arrives, while later ones are denoised.
  const std::size_t n = input.volume_voxels();
  ImageEncoder estimate(input, type, threads);
  std::unique_ptr<ImageEncoder> noise_map;
  if (options.noise_map)
    noise_map = std::make_unique<ImageEncoder>(input, DataType::float32, threads);
  const DenoiseReport report = denoise(
      series, options,
      [&](int t, const double* e, const double* m) {
        const std::size_t offset = n * static_cast<std::size_t>(t);
        estimate.put(offset, e, n);
        if (m) noise_map->put(offset, m, n);
      },
      context, events);
  progress.finish();
  if (per_volume) notes.push_back(level_summary(report));
  if (report.params.depth < o.params.depth)
    notes.push_back("cube depth limited to " + std::to_string(report.params.depth) +
                    " (the number of slices)");
  if (report.params.cube < o.params.cube)
    notes.push_back("cube side limited to " + std::to_string(report.params.cube) +
                    " (the image's size)");

  SidecarFacts facts;
  auto written = [&](const std::string& role, const std::string& path) {
    const OutputSet::Digest d = outputs.digest(path);
    const std::string file = folder_of(path) == folder_of(o.output) ? base_of(path) : path;
    facts.outputs.push_back({role, file, d.bytes, d.crc32});
  };
  outputs.write(o.output, [&](const std::string& temp) {
    write_image_file(temp, o.output, input, estimate, description(report));
  });
  if (!sidecar.empty()) written("output", o.output);
  if (noise_map) {
    outputs.write(o.noise_map, [&](const std::string& temp) {
      write_image_file(temp, o.noise_map, input, *noise_map, "zarvo noise level (std)");
    });
    if (!sidecar.empty()) written("noise map", o.noise_map);
  }
  if (!sidecar.empty()) {
    facts.command_line = o.command_line;
    facts.noise = noise;
    facts.mask = o.mask;
    facts.basic_only = o.basic_only;
    const std::string text = sidecar_json(facts, report);
    outputs.write(sidecar, [&](const std::string& temp) { write_text_file(temp, sidecar, text); });
  }
  outputs.commit();
  if (!o.quiet)
    for (const std::string& n : notes) std::fprintf(stderr, "zarvo: %s\n", n.c_str());
}

}  // namespace zarvo::cli
