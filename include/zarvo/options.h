// Every option of the denoiser, declared once: its one name, its kind and
// range, its help text, where its default comes from and which front ends
// show it. The command's options and help, the Octave function's checks and
// help, Python's keyword arguments and the nipype traits are all made from
// this table; apply_options() is the one place that turns the options a
// front end was given into the engine's DenoiseOptions and RunContext.
//
// Adding an expert parameter: a field of Params (with its value in the
// profile table, or a default beside the field), one line in the table
// (pipeline/options.cpp), and the code that uses it.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "zarvo/pipeline.h"

namespace zarvo {

enum class OptionKind {
  whole,   // a whole number in [min, max]
  real,    // a finite number in [min, max]
  flag,    // true or false
  choice,  // one of `choices`
  levels,  // noise levels: one number > 0, or one per volume
  data,    // an array of the input's spatial shape or a file (mask, level map)
  output,  // an output the front end writes (the noise map)
};

// Which front ends show an option (a front end converts data and outputs
// its own way: arrays in Octave and Python, files in the command).
enum FrontEnd : unsigned {
  command = 1u,  // the zarvo command: --sigma-scope for sigma_scope
  octave = 2u,   // zarvo_denoise(Y, 'sigma_scope', ...)
  python = 4u,   // zarvo.denoise(..., sigma_scope=...), zarvo.files
  nipype = 8u,   // the nipype interface's traits
  every_front_end = 15u,
};

struct OptionDecl {
  const char* name = "";  // the one spelling (the command writes _ as -)
  OptionKind kind = OptionKind::flag;
  const char* help = "";
  double min = 0, max = 0;           // whole, real
  std::vector<std::string> choices;  // choice (see option_choices)
  bool expert = false;               // overrides a value of the profile
  unsigned front_ends = every_front_end;
  // An expert parameter's field (estimate sets two and has none).
  int Params::*whole_field = nullptr;
  double Params::*real_field = nullptr;
  bool Params::*flag_field = nullptr;
};

// In the order the help lists them.
const std::vector<OptionDecl>& option_table();
// A choice's values (the profile names for profile).
std::vector<std::string> option_choices(const OptionDecl& option);
// Null when unknown.
const OptionDecl* find_option(const std::string& name);
// The default as a reader sees it: "gaussian", "4 (default profile)",
// "estimated", "every core"; from DenoiseOptions, RunContext and the
// default profile, never written out here.
std::string default_text(const OptionDecl& option);

// A value as a front end gives it: a number (a flag as 0 or 1), a text, or
// a list of numbers.
using OptionValue = std::variant<double, std::string, std::vector<double>>;

// A refusal of one option's value. what(): "NAME: PROBLEM"; a front end may
// show problem() under its own spelling of the name.
class OptionError : public Error {
 public:
  OptionError(std::string option, std::string problem);
  const std::string& option() const { return option_; }
  const std::string& problem() const { return problem_; }

 private:
  std::string option_, problem_;
};

// Parses an option's value from text (the command line, an environment):
// numbers, "true"/"false"/"1"/"0" for flags, a comma-separated list of
// levels. Throws OptionError.
OptionValue parse_option_text(const OptionDecl& option, const std::string& text);

// Checks one value against its declaration; throws OptionError.
void check_option(const OptionDecl& option, const OptionValue& value);

// The options a front end was given, by name; everything not given keeps
// the engine's default (the default profile's values, DenoiseOptions,
// RunContext). `profile` applies first, the rest in order. Data and output
// options (mask, sigma_map, noise_map) are the front end's to convert and
// are refused here. Throws OptionError (Error for an unknown profile).
using GivenOptions = std::vector<std::pair<std::string, OptionValue>>;
void apply_options(const GivenOptions& given, DenoiseOptions& options, RunContext& context);

// An expert option's value in `params` as the stages use it for `noise`
// (estimate: "group" or "volume"), for reports and sidecars.
OptionValue expert_value(const OptionDecl& option, const Params& params, Noise noise);

// The names of the engine's enumerations, as the options spell them.
const char* noise_name(Noise noise);
const char* estimate_name(Estimate estimate);
const char* sigma_scope_name(SigmaScope scope);
const char* series_name(SeriesMode mode);
const char* sigma_source_name(SigmaSource source);

}  // namespace zarvo
