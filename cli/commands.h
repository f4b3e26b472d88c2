// The `zarvo` subcommands, behind the command-line declaration in zarvo.cpp.
#pragma once

#include <functional>
#include <string>

#include "zarvo/params.h"

namespace zarvo::cli {

struct DenoiseOptions {
  std::string input, output;
  std::string noise = "gaussian";
  std::string sigma;      // text as given; empty: estimate the level
  std::string sigma_map;  // Rician only
  std::string noise_map;
  std::string datatype = "float32";
  Params params;          // the profile with the expert overrides applied
  bool basic_only = false, force = false, quiet = false;
  // The walk's threads once the work is known (reference cubes of one
  // volume); given by zarvo.cpp, the one place where the thread count is chosen.
  std::function<int(long reference_cubes)> use_threads;
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

}  // namespace zarvo::cli
