// The JSON sidecar written beside a denoised image: what made it, in the
// spirit of BIDS derivatives (version, command line, noise model, the level
// of every volume and where it came from, mask, parameters).
#pragma once

#include <string>

#include "zarvo/pipeline.h"

namespace zarvo::cli {

struct SidecarFacts {
  std::string command_line;
  Noise noise = Noise::gaussian;
  std::string mask;  // path; empty: none
  bool basic_only = false;
};

// The sidecar's text (pretty-printed JSON, ending in a newline).
std::string sidecar_json(const SidecarFacts& facts, const DenoiseReport& report);

// "zarvo 0.1.0 sigma 12.5" (or "sigma 4.2-5.8" for a series): for the
// NIfTI descrip field (80 characters at most).
std::string description(const DenoiseReport& report);

// The sidecar of an output: its name with .json for .nii or .nii.gz.
std::string sidecar_name(const std::string& output);

// The version string of the engine.
const char* version();

}  // namespace zarvo::cli
