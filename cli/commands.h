// The `zarvo` subcommands, behind the command-line declaration in zarvo.cpp.
#pragma once

#include <string>
#include <vector>

#include "io/denoise_file.h"
#include "zarvo/options.h"

namespace zarvo::cli {

// What `zarvo denoise` was given; everything else keeps the engine's and the
// I/O library's defaults.
struct DenoiseCommand {
  std::string input, output;
  std::string mask, sigma_map, noise_map, report, residual;  // files; empty: not given
  std::string datatype;                                      // empty: not given
  GivenOptions engine;                                       // the engine's options, by their names
  bool force = false, quiet = false, sidecar = true;
  std::string command_line;  // as typed, for the sidecar
};

// Runs `zarvo denoise`; throws std::runtime_error with a one-line message
// (OptionError for an option's value).
void run_denoise(const DenoiseCommand& command);

// Runs one file request with the command's progress display and notes.
void run_file(const FileRequest& request, const RunContext& context, bool quiet);

// What `zarvo bids` was given.
struct BidsCommand {
  std::string bids_dir, out_dir, level;
  std::vector<std::string> participants, datatypes;  // empty: all
  std::string desc = "denoised";
  bool report = true;    // a QC page beside every output, and an index of them
  std::string datatype;  // empty: not given
  GivenOptions engine;
  bool force = false, quiet = false;
  std::string command_line;
};

// Runs `zarvo bids`; returns the exit status (1 when a file failed; the
// others are still denoised). Throws for a problem with the whole dataset.
int run_bids(const BidsCommand& command);

struct DemoOptions {
  std::string folder = "zarvo-demo";
  bool quiet = false;
  int size = 0;  // 0: the default phantom size
  int threads = threads_not_given;
};

void run_demo(const DemoOptions& options);

// `text` as a shell would need it typed: unchanged when it holds only safe
// characters, else in single quotes.
std::string shell_quoted(const std::string& text);

// The command's spelling of an option: --sigma-scope for sigma_scope.
std::string dashed(const std::string& name);

// An engine message with the command's hint, when it has one.
std::string with_command_hint(const std::string& message);

}  // namespace zarvo::cli
