// The JSON sidecar written beside a denoised image: what made it, in the
// spirit of BIDS derivatives (version, command line, noise model, the level
// of every volume and where it came from, mask, parameters).
#pragma once

#include <string>
#include <vector>

#include "zarvo/pipeline.h"

namespace zarvo::cli {

struct SidecarFacts {
  std::string command_line;
  Noise noise = Noise::gaussian;
  std::string mask;  // path; empty: none
  bool basic_only = false;
  // The files the run commits with the sidecar, as written: what makes a
  // sidecar describe exactly these files (a reader compares the digest).
  struct Output {
    std::string role, file;  // file: the name as given
    long long bytes = 0;
    std::string crc32;
  };
  std::vector<Output> outputs;
};

// True when `text` is valid UTF-8 (JSON holds nothing else, so a name that
// is not cannot be recorded in a sidecar).
bool is_utf8(const std::string& text);

// The image whose sidecar would be the same file as `output`'s (the other
// of .nii and .nii.gz); empty for other endings.
std::string sidecar_sharer(const std::string& output);

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
