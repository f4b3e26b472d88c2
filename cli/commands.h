// The `zarvo` subcommands, behind the command-line declaration in zarvo.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "zarvo/params.h"

namespace zarvo::cli {

struct DenoiseOptions {
  std::string input, output;
  std::string noise = "gaussian";
  std::string sigma;      // text as given: one level or one per volume, comma-separated;
                          // empty: estimate the level
  std::string sigma_scope = "series";  // an estimate for the whole series, or per "volume"
  std::string mask;       // NIfTI mask of the input's spatial shape (nonzero inside)
  std::string sigma_map;  // Rician only
  std::string noise_map;
  std::string report;    // QC page (HTML) to write; empty: none
  std::string residual;  // input minus output (NIfTI) to write; empty: none
  std::string datatype = "float32";
  Params params;          // the profile with the expert overrides applied
  bool basic_only = false, force = false, quiet = false, sidecar = true;
  std::string command_line;  // as typed, for the sidecar
  // The walk's threads once the work is known (reference cubes of one
  // volume); given by zarvo.cpp, the one place where the thread count is chosen.
  std::function<int(long reference_cubes)> use_threads;
  // Threads that may share the first touch of the input's memory, before
  // the work is known: the choice of use_threads without the work's limit.
  int read_threads = 1;
};

// Runs `zarvo denoise`; throws std::runtime_error with a one-line message.
void run_denoise(const DenoiseOptions& options);

struct DemoOptions {
  std::string folder = "zarvo-demo";
  bool quiet = false;
  int size = 0;  // 0: the default phantom size
  int threads = 1;
};

void run_demo(const DemoOptions& options);

// Parses a noise level given on the command line: a finite number > 0.
double parse_sigma(const std::string& text);

// Parses --sigma: one level, or several separated by commas (one per volume).
std::vector<double> parse_sigmas(const std::string& text);

// `text` as a shell would need it typed: unchanged when it holds only safe
// characters, else in single quotes.
std::string shell_quoted(const std::string& text);

// The sidecar of an output: its name with .json for .nii or .nii.gz.
std::string sidecar_name(const std::string& output);

}  // namespace zarvo::cli
