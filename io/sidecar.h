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
  SeriesMode series = SeriesMode::volumes;
  std::string input;  // the input's path (made absolute)
  std::string mask;   // path (made absolute); empty: none
  bool basic_only = false;
  // Where the output came from, as BIDS `Sources`; empty: the input's
  // absolute path.
  std::vector<std::string> sources;
  // The source's own metadata, carried over: a JSON object's text (see
  // source_metadata); empty: none.
  std::string metadata;
  // The files the run commits with the sidecar, as written: what makes a
  // sidecar describe exactly these files (a reader compares the digest).
  struct Output {
    std::string role, file;  // file: the name as given
    long long bytes = 0;
    std::string crc32;
  };
  std::vector<Output> outputs;
  // How the noise map of a series stands for its volumes; empty: no such
  // map.
  std::string noise_map;
  // The b-values read beside the input; file empty: none.
  std::string bval_file;
  std::vector<double> bvals;
};

// The metadata an output carries over from its source: `given` (a JSON
// object's text, from a BIDS dataset's sidecars), else the fields of the
// input's own sidecar (its name with .json) when it has one. A sidecar of
// the input that is not a JSON object is left out, and `note` says so.
// Throws Error when `given` is not a JSON object.
std::string source_metadata(const std::string& given, const std::string& input, std::string& note);

// True when `text` is valid UTF-8 (JSON holds nothing else, so a name that
// is not cannot be recorded in a sidecar).
bool is_utf8(const std::string& text);

// The image whose sidecar would be the same file as `output`'s (the other
// of .nii and .nii.gz); empty for other endings.
std::string sidecar_sharer(const std::string& output);

// The sidecar's text (pretty-printed JSON, ending in a newline): the
// source's metadata first (BIDS fields such as RepetitionTime stay true of
// the denoised image), then what made it.
std::string sidecar_json(const SidecarFacts& facts, const DenoiseReport& report);

// "zarvo 0.1.0 sigma 12.5" (or "sigma 4.2-5.8" for a series): for the
// NIfTI descrip field (80 characters at most).
std::string description(const DenoiseReport& report);

// The sidecar of an output: its name with .json for .nii or .nii.gz.
std::string sidecar_name(const std::string& output);

// The version string of the engine.
const char* version();

}  // namespace zarvo::cli
