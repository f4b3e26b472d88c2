#include "io/denoise_file.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "io/bval.h"
#include "io/files.h"
#include "io/geometry.h"
#include "io/outputs.h"
#include "io/report_outputs.h"
#include "io/series_noise_map.h"
#include "io/sidecar.h"
#include "zarvo/run_limits.h"

namespace zarvo::cli {

namespace {

// "noise level estimated volume by volume (20 volumes): min 4.1, median 4.6,
// max 5.8 (image units)".
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

// The level told as soon as it is known: an estimated map's median, or a
// level estimated for a single volume or for the whole series (levels
// estimated volume by volume are summed up after the run instead).
std::string level_note(const VolumeReport& first, int volumes, bool one_per_volume) {
  char buf[160];
  if (first.source == SigmaSource::estimated_map) {
    std::snprintf(buf, sizeof buf,
                  "noise level map estimated from the series, median %.6g (image units)",
                  first.sigma);
    return buf;
  }
  if (first.source != SigmaSource::estimated || (one_per_volume && volumes > 1)) return "";
  std::snprintf(buf, sizeof buf, "noise level estimated as %.6g (image units)%s", first.sigma,
                volumes > 1 ? ", one for the whole series" : "");
  return buf;
}

// What a run notes about its input before the work: the .bval beside it
// not taken, negative values under the Rician model.
void input_notes(const Image& input, Noise noise, const Bvals& bvals,
                 std::vector<std::string>& notes) {
  if (!bvals.problem.empty()) notes.push_back(bvals.problem + "; not recorded in the sidecar");
  if (noise == Noise::rician && input.lo < 0) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "the input holds negative values (the lowest is %.6g); magnitude data has "
                  "none, and the Rician model takes them as values near 0 (is the Gaussian "
                  "model meant?)",
                  input.lo);
    notes.push_back(text);
  }
}

// What a run notes after the work: the levels estimated volume by volume,
// the parameters the image's size limited.
void closing_notes(const DenoiseReport& run, int volumes, bool one_per_volume, const Shape& shape,
                   const Params& asked, std::vector<std::string>& notes) {
  if (volumes > 1 && one_per_volume && !run.volumes.empty() &&
      run.volumes.front().source == SigmaSource::estimated)
    notes.push_back(level_summary(run));
  for (const std::string& n : limit_notes(shape, asked)) notes.push_back(n);
}

}  // namespace

std::vector<std::string> all_notes(const FileResult& result) {
  std::vector<std::string> all = result.told;
  all.insert(all.end(), result.notes.begin(), result.notes.end());
  return all;
}

Image read_level_map(const std::string& path, const Image& input, bool allow_affine,
                     std::vector<std::string>& notes) {
  Image map = read_image(path, "noise level map");
  const bool spatial = map.nx == input.nx && map.ny == input.ny && map.nz == input.nz;
  if (!spatial || (map.nt != 1 && map.nt != input.nt))
    throw std::runtime_error("noise level map '" + path + "' is " + map.shape() +
                             " but the input is " + input.shape() +
                             "; it must match the input's shape (one volume, or one per volume)");
  for (int t = 0; t < map.nt; ++t)
    for (double s : map.volume(t))
      if (s < 0) throw std::runtime_error("noise level map '" + path + "' holds negative levels");
  if (std::string note = check_placement(input, map, "noise level map", path, allow_affine);
      !note.empty())
    notes.push_back(note);
  // Levels this small turn every voxel infinite; refused before the work.
  const double smallest = smallest_level(std::max(std::fabs(input.lo), std::fabs(input.hi)));
  for (int t = 0; t < map.nt; ++t)
    for (double s : map.volume(t))
      if (s > 0 && s < smallest) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "%g, too small for the input's values (the smallest level the arithmetic "
                      "supports for them is %g)",
                      s, smallest);
        throw std::runtime_error("noise level map '" + path + "' holds levels as small as " + text);
      }
  return map;
}

Image read_mask(const std::string& path, const Image& input, bool allow_affine,
                std::vector<unsigned char>& mask, std::vector<std::string>& notes) {
  Image im = read_image(path, "mask");
  if (im.nx != input.nx || im.ny != input.ny || im.nz != input.nz || im.nt != 1)
    throw std::runtime_error("mask '" + path + "' is " + im.shape() +
                             " but the input's volumes are " + std::to_string(input.nx) + "x" +
                             std::to_string(input.ny) + "x" + std::to_string(input.nz) +
                             "; it must be one volume of that shape");
  if (std::string note = check_placement(input, im, "mask", path, allow_affine); !note.empty())
    notes.push_back(note);
  const std::vector<double> values = im.volume(0);
  mask.resize(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) mask[i] = values[i] != 0;
  return im;
}

namespace {

// The files a run reads and writes, in the output set; checked before any
// reading, and again once the data files of .hdr/.img pairs are known.
void declare_paths(OutputSet& outputs, const FileRequest& r, const std::string& sidecar) {
  outputs.add_input(r.input, "input");
  outputs.add_input(r.sigma_map, "noise level map");
  outputs.add_output(r.output, "output");
  outputs.add_input(r.mask, "mask");
  outputs.add_output(r.noise_map, "noise map");
  ReportOutputs::declare(outputs, r);
  outputs.add_output(sidecar, "sidecar", false);
  if (!sidecar.empty()) {
    // OUT.nii and OUT.nii.gz would share OUT.json, which could then describe
    // the other file; the second is refused, even with force.
    const std::string sharer = sidecar_sharer(r.output);
    outputs.add_absent(sharer, "output '" + r.output + "' would share its sidecar '" + sidecar +
                                   "' with '" + sharer +
                                   "', which exists; choose another name, "
                                   "remove '" +
                                   sharer + "', or write no sidecar");
    // JSON holds only UTF-8; found out now rather than after the work.
    for (const std::string* text : {&r.command_line, &r.output, &r.noise_map, &r.mask})
      if (!is_utf8(*text))
        throw std::runtime_error(
            "a file name or the command line is not valid UTF-8, which "
            "the JSON sidecar cannot record; rename the file or write no "
            "sidecar");
  }
  outputs.check();
}

// The input, the level map and the mask, read and checked, and the options
// that point to them; the data files of .hdr/.img pairs join the output
// set's inputs.
struct Inputs {
  Image input, map, mask;
  SeriesInput map_series;
};

void read_inputs(const FileRequest& r, int threads, OutputSet& outputs, Inputs& in,
                 DenoiseOptions& options, std::vector<std::string>& notes) {
  in.input = read_image(r.input, "input", threads);
  if (!r.sigma_map.empty()) {
    in.map = read_level_map(r.sigma_map, in.input, options.allow_affine_mismatch, notes);
    const Image& map = in.map;
    in.map_series = {shape_of(map), [&map](int t, double* out) { map.read_volume(t, out); }};
    options.sigma_map = &in.map_series;
  }
  if (!r.mask.empty()) {
    in.mask = read_mask(r.mask, in.input, options.allow_affine_mismatch, options.mask, notes);
    options.mask_shape = shape_of(in.input);
    options.mask_shape.volumes = 1;
  }
  for (const std::string& f : in.mask.files) outputs.add_input(f, "mask");
  for (const std::string& f : in.input.files) outputs.add_input(f, "input");
  for (const std::string& f : in.map.files) outputs.add_input(f, "noise level map");
  outputs.check();
}

// What would only fail after the work, refused before it: a given level too
// small for the data, Rician noise on data with no positive value, and given
// levels or a map that the float32 noise map cannot hold.
void check_before_work(const FileRequest& r, const DenoiseOptions& options, const Inputs& in) {
  const Image& input = in.input;
  if (std::string p = data_problem(options, input.lo, input.hi); !p.empty())
    throw std::runtime_error("input '" + r.input + "': " + p);
  const std::vector<double>& sigmas = options.sigma;
  if (r.noise_map.empty() || (sigmas.empty() && r.sigma_map.empty())) return;
  const bool given = r.sigma_map.empty();
  const double lo = given ? *std::min_element(sigmas.begin(), sigmas.end()) : in.map.lo;
  const double hi = given ? *std::max_element(sigmas.begin(), sigmas.end()) : in.map.hi;
  if (std::string p = range_problem(lo, hi, DataType::float32, true); !p.empty())
    throw std::runtime_error("noise map '" + r.noise_map + "' is written as float32, and the " +
                             (given ? "given levels" : "levels of the map") +
                             " cannot be: " + p.substr(0, p.find("; --datatype")) +
                             " (the output's data type does not apply to the noise map)");
}

// The sidecar into the set, after every file it records.
void write_sidecar(const FileRequest& r, const FileResult& result, SidecarFacts& facts,
                   OutputSet& outputs) {
  if (result.sidecar.empty()) return;
  facts.command_line = r.command_line;
  facts.noise = r.options.noise;
  facts.series = r.options.series;
  facts.input = r.input;
  facts.mask = r.mask;
  facts.basic_only = r.options.basic_only;
  facts.sources = r.sources;
  facts.metadata = result.metadata;
  const std::string text = sidecar_json(facts, result.report);
  outputs.write(result.sidecar,
                [&](const std::string& temp) { write_text_file(temp, result.sidecar, text); });
}

// The size and checksum of a file written into the set, for the sidecar.
void record_output(const FileRequest& r, const std::string& role, const std::string& path,
                   const OutputSet& outputs, SidecarFacts& facts) {
  const OutputSet::Digest d = outputs.digest(path);
  const std::string file = folder_of(path) == folder_of(r.output) ? base_of(path) : path;
  facts.outputs.push_back({role, file, d.bytes, d.crc32});
}

// The output, the noise map and the sidecar, committed together.
void write_outputs(const FileRequest& r, const FileResult& result, const Image& input,
                   ImageEncoder& estimate, ImageEncoder* noise_map, SeriesNoiseMap* series_map,
                   const Bvals& bvals, ReportOutputs& qc,
                   std::chrono::steady_clock::time_point started, OutputSet& outputs,
                   const std::atomic<bool>* cancel) {
  const DenoiseReport& report = result.report;
  // Encoding a large output takes a while: a cancel is looked at between
  // the files (commit() looks at it up to the commit point).
  auto go_on = [&] {
    if (cancel && cancel->load()) throw Cancelled();
  };
  // The sidecar records each file's size and checksum: what tells a reader
  // that an image is the one the sidecar describes.
  SidecarFacts facts;
  auto written = [&](const std::string& role, const std::string& path) {
    if (!result.sidecar.empty()) record_output(r, role, path, outputs, facts);
  };
  go_on();
  outputs.write(r.output, [&](const std::string& temp) {
    write_image_file(temp, r.output, input, estimate, description(report));
  });
  written("output", r.output);
  if (noise_map) {
    go_on();
    if (series_map) noise_map->put(0, series_map->result(), input.volume_voxels());
    outputs.write(r.noise_map, [&](const std::string& temp) {
      if (series_map)
        write_volume_file(temp, r.noise_map, input, *noise_map, "zarvo noise level (std)");
      else
        write_image_file(temp, r.noise_map, input, *noise_map, "zarvo noise level (std)");
    });
    written("noise map", r.noise_map);
  }
  go_on();
  qc.write(outputs, report, started);
  if (!r.report.empty()) written("report", r.report);
  if (!r.residual.empty()) written("residual", r.residual);
  if (series_map) facts.noise_map = series_map->summary();
  if (bvals.problem.empty() && !bvals.file.empty()) {
    facts.bval_file = bvals.file;
    facts.bvals = bvals.values;
  }
  write_sidecar(r, result, facts, outputs);
  go_on();
  outputs.commit();
}

}  // namespace

FileResult denoise_file(const FileRequest& r, const RunContext& given, const FileEvents& events) {
  const auto started = std::chrono::steady_clock::now();
  if (!r.sigma_map.empty() && r.options.noise != Noise::rician &&
      r.options.series != SeriesMode::joint)
    throw Error("a noise level map needs the Rician noise model, or the joint series mode");
  const std::string problem = check(r.options.params);
  if (!problem.empty()) throw Error(problem);
  FileResult result;
  result.sidecar = r.sidecar ? sidecar_name(r.output) : "";
  // Every path problem is reported before the (possibly long) work starts.
  OutputSet outputs(r.force);
  outputs.set_cancel(given.cancel);
  declare_paths(outputs, r, result.sidecar);
  if (r.sidecar) {
    std::string note;
    result.metadata = source_metadata(r.metadata, r.input, note);
    if (!note.empty()) result.notes.push_back(note);
  }
  const int threads = walk_threads(given);
  DenoiseOptions options = r.options;
  options.noise_map = !r.noise_map.empty();
  Inputs in;
  read_inputs(r, threads, outputs, in, options, result.notes);
  const Image& input = in.input;
  if (std::string p = output_range_problem(input.lo, input.hi, r.datatype, input); !p.empty())
    throw std::runtime_error("output '" + r.output + "': " + p);
  check_before_work(r, options, in);
  // A diffusion series' b-values, for the sidecar only.
  const Bvals bvals = input.nt > 1 && r.sidecar ? read_bvals(r.input, input.nt) : Bvals{};
  input_notes(input, options.noise, bvals, result.notes);

  if (events.started) events.started(input, input.nt * (options.basic_only ? 1 : 2));
  RunContext context = given;
  if (events.progress) context.progress = events.progress;
  // Each volume is encoded as it arrives, while later ones are denoised.
  const std::size_t n = input.volume_voxels();
  ImageEncoder estimate(input, r.datatype, threads);
  // A series' noise map is one 3-D volume (see SeriesNoiseMap).
  std::unique_ptr<ImageEncoder> noise_map;
  std::unique_ptr<SeriesNoiseMap> series_map;
  if (options.noise_map && input.nt > 1) {
    series_map = std::make_unique<SeriesNoiseMap>(n, threads);
    // float32 has no scale factor: the header's version does not matter.
    noise_map = std::make_unique<ImageEncoder>(DataType::float32, true, n, threads);
  } else if (options.noise_map) {
    noise_map = std::make_unique<ImageEncoder>(input, DataType::float32, threads);
  }
  const SeriesInput series{shape_of(input),
                           [&input](int t, double* out) { input.read_volume(t, out); }};
  ReportOutputs qc(r, input, options.mask, threads);
  PipelineEvents pipeline = events.pipeline;
  auto tell = [&](const std::string& note) {
    result.told.push_back(note);
    if (events.pipeline.note) events.pipeline.note(note);
  };
  pipeline.note = tell;
  const bool one_per_volume = options.sigma_scope == SigmaScope::volume;
  pipeline.level = [&](int t, const VolumeReport& v) {
    qc.level(t, v.sigma);
    if (events.pipeline.level) events.pipeline.level(t, v);
    if (t > 0) return;
    if (std::string note = level_note(v, input.nt, one_per_volume); !note.empty()) tell(note);
  };
  result.report = denoise(
      series, options,
      [&](int t, const double* e, const double* m) {
        const std::size_t offset = n * static_cast<std::size_t>(t);
        estimate.put(offset, e, n);
        if (m && series_map)
          series_map->add(m);
        else if (m)
          noise_map->put(offset, m, n);
        qc.volume(t, e);
      },
      context, pipeline);
  for (const std::string& n : result.report.notes) tell(n);
  closing_notes(result.report, input.nt, one_per_volume, series.shape, options.params,
                result.notes);
  write_outputs(r, result, input, estimate, noise_map.get(), series_map.get(), bvals, qc, started,
                outputs, given.cancel);
  return result;
}

FileResult write_assembled(const FileRequest& r, const std::vector<double>& data,
                           const DenoiseReport& run, double seconds,
                           const std::vector<std::string>& told,
                           const std::vector<std::string>& read_notes) {
  FileResult result;
  result.report = run;
  result.sidecar = r.sidecar ? sidecar_name(r.output) : "";
  OutputSet outputs(r.force);
  declare_paths(outputs, r, result.sidecar);
  if (r.sidecar) {
    std::string note;
    result.metadata = source_metadata(r.metadata, r.input, note);
    if (!note.empty()) result.notes.push_back(note);
  }
  const Image input = read_image(r.input, "input");
  for (const std::string& f : input.files) outputs.add_input(f, "input");
  outputs.check();
  // The notes in the order a file run gives them.
  result.told = told;
  const bool one_per_volume = !run.pooled;
  if (!run.volumes.empty())
    if (std::string note = level_note(run.volumes.front(), input.nt, one_per_volume); !note.empty())
      result.told.push_back(note);
  result.told.insert(result.told.end(), run.notes.begin(), run.notes.end());
  result.notes.insert(result.notes.end(), read_notes.begin(), read_notes.end());
  const Bvals bvals = input.nt > 1 && r.sidecar ? read_bvals(r.input, input.nt) : Bvals{};
  input_notes(input, r.options.noise, bvals, result.notes);
  closing_notes(run, input.nt, one_per_volume, shape_of(input), r.options.params, result.notes);
  if (data.size() != static_cast<std::size_t>(input.nim->nvox))
    throw Error("the data has " + std::to_string(data.size()) + " voxels but '" + r.input +
                "' has " + std::to_string(input.nim->nvox));
  ImageEncoder encoded(input, r.datatype);
  encoded.put(0, data.data(), data.size());
  SidecarFacts facts;
  outputs.write(r.output, [&](const std::string& temp) {
    write_image_file(temp, r.output, input, encoded, description(run));
  });
  if (r.sidecar) record_output(r, "output", r.output, outputs, facts);
  if (!r.report.empty()) {
    const std::string page = report_page(r, input, data, run, seconds);
    outputs.write(r.report,
                  [&](const std::string& temp) { write_text_file(temp, r.report, page); });
    if (r.sidecar) record_output(r, "report", r.report, outputs, facts);
  }
  if (bvals.problem.empty() && !bvals.file.empty()) {
    facts.bval_file = bvals.file;
    facts.bvals = bvals.values;
  }
  write_sidecar(r, result, facts, outputs);
  outputs.commit();
  return result;
}

}  // namespace zarvo::cli
