#include "zarvo/options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zarvo {

namespace {

OptionDecl plain(const char* name, OptionKind kind, const char* help,
                 unsigned front_ends = every_front_end) {
  OptionDecl o;
  o.name = name;
  o.kind = kind;
  o.help = help;
  o.front_ends = front_ends;
  return o;
}

OptionDecl choice(const char* name, const char* help, std::vector<std::string> choices,
                  bool expert = false) {
  OptionDecl o = plain(name, OptionKind::choice, help);
  o.choices = std::move(choices);
  o.expert = expert;
  return o;
}

OptionDecl whole(const char* name, double min, double max, const char* help) {
  OptionDecl o = plain(name, OptionKind::whole, help);
  o.min = min;
  o.max = max;
  return o;
}

OptionDecl whole_param(const char* name, int Params::*field, double min, double max,
                       const char* help) {
  OptionDecl o = whole(name, min, max, help);
  o.expert = true;
  o.whole_field = field;
  return o;
}

OptionDecl real_param(const char* name, double Params::*field, double min, double max,
                      const char* help) {
  OptionDecl o = plain(name, OptionKind::real, help);
  o.min = min;
  o.max = max;
  o.expert = true;
  o.real_field = field;
  return o;
}

OptionDecl flag_param(const char* name, bool Params::*field, const char* help) {
  OptionDecl o = plain(name, OptionKind::flag, help);
  o.max = 1;
  o.expert = true;
  o.flag_field = field;
  return o;
}

std::vector<OptionDecl> make_table() {
  using K = OptionKind;
  std::vector<OptionDecl> t = {
      choice("noise", "noise model: gaussian, or rician for magnitude MRI", {"gaussian", "rician"}),
      plain("sigma", K::levels,
            "noise standard deviation in the image's own units: one value, or one per volume "
            "of a series; not given: estimated (see sigma_scope, estimate)"),
      choice("sigma_scope",
             "an estimated level of a 4-D series: one for the whole series (pooled over its "
             "volumes), one per volume, or one per voxel (a smooth map estimated from the "
             "series, for noise that varies in space as with parallel imaging; used as a given "
             "sigma_map is)",
             {"series", "volume", "voxel"}),
      choice("series",
             "how a 4-D series is filtered: volume by volume, or jointly (a transform along the "
             "volumes adapted to the series, then the stages on its component images)",
             {"volumes", "joint"}),
      plain("mask", K::data,
            "mask of the input's spatial shape (nonzero = inside): the level is estimated "
            "inside it, only cubes touching it are filtered, and every voxel outside keeps the "
            "input's value"),
      plain("sigma_map", K::data,
            "the noise level at every voxel, the input's shape (one volume for a whole series, "
            "or one per volume): Rician noise, or either model in series mode joint"),
      plain("allow_affine_mismatch", K::flag,
            "accept a mask or level map file of the input's grid shape whose voxel-to-world "
            "affine differs from the input's, taken voxel for voxel with a note naming the "
            "largest difference (without it such a file is refused); affines whose entries "
            "differ by at most 1e-4 of a voxel side or 1e-6 of the entry (float32 rounding, "
            "an sform against a qform) are the same and need no option",
            command | python | nipype),
      plain("noise_map", K::output,
            "also write the noise level (standard deviation) the last stage used at every "
            "voxel: the given or estimated level, the given or estimated map, or with estimate "
            "group the mean of the group estimates (not a residual); for a 4-D series one 3-D "
            "volume, the level every volume shares, or where the volumes' levels differ their "
            "root mean square",
            command),
      plain("report", K::output,
            "also write a QC report: one self-contained HTML page with the middle slices of "
            "input, output and residual, the residual's histogram against the expected noise, "
            "the levels and the parameters",
            command),
      plain("residual", K::output,
            "also write the residual, input minus output (float32, the output's header)", command),
      choice("profile", "parameter profile (zarvo profiles prints the table)", {}),
      plain("basic_only", K::flag, "stop after the first (hard-thresholding) stage"),
      whole("threads", 0, max_threads,
            "threads of the walk over reference cubes: 0 = every core this process may use; "
            "clamped to what the machine and the volume can use; results do not depend on it"),
      whole_param("cube", &Params::cube, 1, 64, "cube side in rows and columns (voxels)"),
      whole_param("depth", &Params::depth, 1, 64,
                  "cube depth in slices (limited to the number of slices); also of the joint "
                  "series mode, which takes the profile's jdepth unless this is given (a time "
                  "series takes depth)"),
      whole_param("step", &Params::step, 1, 1024, "step between reference cubes"),
      whole_param("search", &Params::search, 0, 1024,
                  "half-width of the block-matching window (voxels)"),
      whole_param("group1", &Params::group1, 1, 1024, "largest group, first stage"),
      whole_param("group2", &Params::group2, 1, 1024, "largest group, second stage"),
      real_param("lambda", &Params::lambda, 0, 1e6, "hard threshold, in noise standard deviations"),
      real_param("tau1", &Params::tau1, 0, 1e6,
                 "matching limit of the first stage: mean squared difference per voxel, in "
                 "noise variances"),
      real_param("tau2", &Params::tau2, 0, 1e6, "matching limit of the second stage, likewise"),
      real_param("alpha", &Params::alpha, 1e-3, 1e3, "alpha-rooting exponent, 1 = no sharpening"),
      flag_param("soft", &Params::soft, "soft thresholding instead of hard"),
      flag_param("synchronous", &Params::synchronous,
                 "match cubes only within the reference cube's own slices"),
      choice("estimate",
             "how an unknown level is estimated: group (each group's own estimate) or volume "
             "(one estimate for the whole volume, used as known)",
             {"group", "volume"}, true),
  };
  return t;
}

std::string number_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
  char buf[40];
  if (v == std::floor(v) && std::fabs(v) < 1e15) {
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
  }
  for (int digits = 1; digits <= 17; ++digits) {  // the shortest text that reads back
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

std::string choices_text(const std::vector<std::string>& c, const char* last) {
  std::string s;
  for (std::size_t i = 0; i < c.size(); ++i)
    s += (i == 0 ? "" : i + 1 == c.size() ? last : ", ") + c[i];
  return s;
}

double number_of(const OptionDecl& o, const OptionValue& v) {
  if (const double* d = std::get_if<double>(&v)) return *d;
  if (const std::string* t = std::get_if<std::string>(&v))
    throw OptionError(o.name, "'" + *t + "' is not a number");
  throw OptionError(o.name, "give one number, not a list");
}

// Empty is not "estimate": a script whose variable came out empty must not
// silently get an estimated level.
const char* const empty_levels = "an empty noise level; omit the option to estimate the level";

void check_levels(const OptionDecl& o, const OptionValue& v) {
  if (const std::string* t = std::get_if<std::string>(&v))
    throw OptionError(o.name, t->empty() ? empty_levels : "'" + *t + "' is not a number");
  const std::vector<double> levels = std::holds_alternative<double>(v)
                                         ? std::vector<double>{std::get<double>(v)}
                                         : std::get<std::vector<double>>(v);
  if (levels.empty()) throw OptionError(o.name, "give at least one noise level");
  for (double x : levels)
    if (!(x > 0) || !std::isfinite(x))
      throw OptionError(o.name, "the noise level must be a finite number > 0 (got " +
                                    number_text(x) + "); omit it to estimate it");
}

}  // namespace

OptionError::OptionError(std::string option, std::string problem)
    : Error(option + ": " + problem), option_(std::move(option)), problem_(std::move(problem)) {}

const std::vector<OptionDecl>& option_table() {
  static const std::vector<OptionDecl> table = make_table();
  return table;
}

const OptionDecl* find_option(const std::string& name) {
  for (const OptionDecl& o : option_table())
    if (name == o.name) return &o;
  return nullptr;
}

std::vector<std::string> option_choices(const OptionDecl& o) {
  if (std::string(o.name) != "profile") return o.choices;
  std::vector<std::string> names;  // the profile table is parsed after the options' table
  for (const Profile& p : profiles()) names.push_back(p.name);
  return names;
}

const char* noise_name(Noise n) { return n == Noise::rician ? "rician" : "gaussian"; }
const char* estimate_name(Estimate e) { return e == Estimate::group ? "group" : "volume"; }
const char* sigma_scope_name(SigmaScope s) {
  return s == SigmaScope::volume ? "volume" : s == SigmaScope::voxel ? "voxel" : "series";
}
const char* series_name(SeriesMode m) { return m == SeriesMode::joint ? "joint" : "volumes"; }
const char* sigma_source_name(SigmaSource s) {
  return s == SigmaSource::given           ? "given"
         : s == SigmaSource::estimated     ? "estimated"
         : s == SigmaSource::estimated_map ? "estimated map"
                                           : "map";
}

std::string default_text(const OptionDecl& o) {
  const DenoiseOptions d;
  const std::string name = o.name;
  if (o.expert) {
    if (name == "estimate")
      return std::string(estimate_name(d.params.estimate_gaussian)) + " for Gaussian, " +
             estimate_name(d.params.estimate_rician) + " for Rician noise (default profile)";
    const OptionValue v = expert_value(o, d.params, d.noise);
    return (o.kind == OptionKind::flag ? (std::get<double>(v) != 0 ? "true" : "false")
                                       : number_text(std::get<double>(v))) +
           std::string(" (default profile)");
  }
  if (name == "noise") return noise_name(d.noise);
  if (name == "sigma") return "estimated";
  if (name == "sigma_scope") return sigma_scope_name(d.sigma_scope);
  if (name == "series") return series_name(d.series);
  if (name == "profile") return profiles().front().name;
  if (name == "basic_only") return d.basic_only ? "true" : "false";
  if (name == "allow_affine_mismatch") return d.allow_affine_mismatch ? "true" : "false";
  if (name == "threads")
    return RunContext().threads == threads_not_given ? "$ZARVO_THREADS, else every core"
                                                     : std::to_string(RunContext().threads);
  return "none";
}

OptionValue parse_option_text(const OptionDecl& o, const std::string& text) {
  auto number = [&](const std::string& t) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(t.c_str(), &end);
    if (t.empty() || end == t.c_str() || *end != '\0' || !std::isfinite(v))
      throw OptionError(o.name, "'" + t + "' is not a number");
    return v;
  };
  switch (o.kind) {
    case OptionKind::whole:
    case OptionKind::real:
      return number(text);
    case OptionKind::flag:
      if (text == "true" || text == "1") return 1.0;
      if (text == "false" || text == "0") return 0.0;
      throw OptionError(o.name, "'" + text + "' is neither true nor false");
    case OptionKind::levels: {
      if (text.empty()) throw OptionError(o.name, empty_levels);
      std::vector<double> levels;
      std::size_t start = 0;
      while (true) {
        const std::size_t comma = text.find(',', start);
        levels.push_back(number(text.substr(start, comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      return levels;
    }
    default:
      return text;
  }
}

void check_option(const OptionDecl& o, const OptionValue& v) {
  const std::string name = o.name;
  switch (o.kind) {
    case OptionKind::whole: {
      const double x = number_of(o, v);
      if (!(x == std::floor(x)) || !std::isfinite(x))
        throw OptionError(name, number_text(x) + " is not a whole number");
      if (x < o.min || x > o.max)
        throw OptionError(name, "must be from " + number_text(o.min) + " to " + number_text(o.max) +
                                    " (got " + number_text(x) + ")");
      return;
    }
    case OptionKind::real: {
      const double x = number_of(o, v);
      if (!std::isfinite(x) || x < o.min || x > o.max)
        throw OptionError(name, "must be a number from " + number_text(o.min) + " to " +
                                    number_text(o.max) + " (got " + number_text(x) + ")");
      return;
    }
    case OptionKind::flag: {
      const double* x = std::get_if<double>(&v);
      if (!x || (*x != 0 && *x != 1)) throw OptionError(name, "must be true or false");
      return;
    }
    case OptionKind::choice: {
      const std::string* t = std::get_if<std::string>(&v);
      if (name == "profile") {
        if (!t) throw OptionError(name, "must be a profile name");
        try {
          profile(*t);
        } catch (const OptionError&) {
          throw;
        } catch (const Error& e) {  // names the known ones
          throw OptionError(name, e.what());
        }
        return;
      }
      bool known = false;
      for (const std::string& c : o.choices) known = known || (t && *t == c);
      if (known) return;
      if (!t) throw OptionError(name, "must be " + choices_text(o.choices, " or "));
      const bool two = o.choices.size() == 2;
      throw OptionError(name, "'" + *t + "' is " + (two ? "neither " : "none of ") +
                                  choices_text(o.choices, two ? " nor " : " or "));
    }
    case OptionKind::levels:
      check_levels(o, v);
      return;
    default:
      throw OptionError(name, "is given as data by the front end, not as a value");
  }
}

OptionValue expert_value(const OptionDecl& o, const Params& p, Noise noise) {
  const std::string name = o.name;
  if (name == "estimate") return std::string(estimate_name(p.estimate(noise)));
  if (o.whole_field) return static_cast<double>(p.*o.whole_field);
  if (o.real_field) return p.*o.real_field;
  if (o.flag_field) return p.*o.flag_field ? 1.0 : 0.0;
  throw Error("internal: '" + name + "' is not an expert parameter");
}

void apply_options(const GivenOptions& given, DenoiseOptions& d, RunContext& context) {
  for (const auto& [name, value] : given)
    if (name == "profile") {
      check_option(*find_option(name), value);
      d.params = profile(std::get<std::string>(value));
    }
  for (const auto& [name, value] : given) {
    const OptionDecl* o = find_option(name);
    if (!o) throw OptionError(name, "unknown option");
    check_option(*o, value);
    const std::string* text = std::get_if<std::string>(&value);
    if (name == "profile") continue;
    if (name == "noise")
      d.noise = *text == "rician" ? Noise::rician : Noise::gaussian;
    else if (name == "sigma")
      d.sigma = std::holds_alternative<double>(value) ? std::vector<double>{std::get<double>(value)}
                                                      : std::get<std::vector<double>>(value);
    else if (name == "sigma_scope")
      d.sigma_scope = *text == "volume"  ? SigmaScope::volume
                      : *text == "voxel" ? SigmaScope::voxel
                                         : SigmaScope::series;
    else if (name == "series")
      d.series = *text == "joint" ? SeriesMode::joint : SeriesMode::volumes;
    else if (name == "basic_only")
      d.basic_only = std::get<double>(value) != 0;
    else if (name == "allow_affine_mismatch")
      d.allow_affine_mismatch = std::get<double>(value) != 0;
    else if (name == "threads")
      context.threads = static_cast<int>(std::get<double>(value));
    else if (name == "estimate")
      d.params.estimate_gaussian = d.params.estimate_rician = parse_estimate(*text);
    else {
      if (o->whole_field)
        d.params.*o->whole_field = static_cast<int>(std::get<double>(value));
      else if (o->real_field)
        d.params.*o->real_field = std::get<double>(value);
      else if (o->flag_field)
        d.params.*o->flag_field = std::get<double>(value) != 0;
      else
        throw OptionError(name, "internal: no place in the engine's options");
      // A depth given is the depth of every mode.
      if (o->whole_field == &Params::depth) d.params.joint_depth = d.params.depth;
    }
  }
}

}  // namespace zarvo
