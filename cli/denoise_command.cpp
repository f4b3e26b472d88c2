#include <cstdio>
#include <memory>
#include <stdexcept>

#include "commands.h"
#include "io/files.h"
#include "progress.h"

namespace zarvo::cli {

std::string shell_quoted(const std::string& text) {
  const bool plain =
      !text.empty() &&
      text.find_first_not_of(
          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=/.,:@%") ==
          std::string::npos;
  if (plain) return text;
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string dashed(const std::string& name) {
  std::string s = "--" + name;
  for (char& c : s) c = c == '_' ? '-' : c;
  return s;
}

std::string with_command_hint(const std::string& message) {
  if (message.find("give the noise level") != std::string::npos) return message + " with --sigma";
  return message;
}

void run_denoise(const DenoiseCommand& c) {
  FileRequest r;
  RunContext context;
  apply_options(c.engine, r.options, context);
  r.input = c.input;
  r.output = c.output;
  r.mask = c.mask;
  r.sigma_map = c.sigma_map;
  r.noise_map = c.noise_map;
  r.report = c.report;
  r.residual = c.residual;
  if (!c.datatype.empty()) r.datatype = parse_datatype(c.datatype);
  r.force = c.force;
  r.sidecar = c.sidecar;
  r.command_line = c.command_line;
  if (!r.sigma_map.empty() && r.options.noise != Noise::rician &&
      r.options.series != SeriesMode::joint)
    throw std::runtime_error("--sigma-map needs --noise rician (or --series joint)");
  run_file(r, context, c.quiet);
}

void run_file(const FileRequest& r, const RunContext& context, bool quiet) {
  std::unique_ptr<Progress> progress;
  int volumes = 1;
  FileEvents events;
  events.started = [&](const Image& input, int units) {
    volumes = input.nt;
    progress = std::make_unique<Progress>(units, !quiet);
  };
  events.progress = [&](long done, long total) { progress->update(done, total); };
  auto note = [&](const std::string& text) {
    if (!quiet) progress->note(text);
  };
  // The joint series mode filters component images, not volumes.
  const char* unit = r.options.series == SeriesMode::joint ? "component " : "volume ";
  auto prefix = [&](int t) {
    return volumes > 1 ? unit + std::to_string(t + 1) + "/" + std::to_string(volumes) + ", "
                       : std::string();
  };
  // Every stage event starts the next unit: the events come in the order the
  // run takes the stages, which in the joint series mode is not component
  // by component (the leading components take their first stage together,
  // then their second), so that the count never goes back.
  int begun = 0;
  events.pipeline.stage = [&](int t, int, int, const char* name) {
    progress->begin(begun++, prefix(t) + name);
  };
  // The engine's notes, and the level as soon as it is known.
  events.pipeline.note = note;
  // Ctrl-C stops the run where it is, and the output set then keeps the
  // old files (see stop_flag).
  RunContext stoppable = context;
  if (!stoppable.cancel) stoppable.cancel = stop_flag();
  const FileResult result = denoise_file(r, stoppable, events);
  if (progress) progress->finish();
  if (!quiet)
    for (const std::string& n : result.notes) std::fprintf(stderr, "zarvo: %s\n", n.c_str());
}

}  // namespace zarvo::cli
