#include "zarvo/params.h"

#include <cmath>
#include <cstdio>
#include <sstream>

#include "profile_table.h"  // generated from share/zarvo/profiles.txt

namespace zarvo {

std::vector<Profile> parse_profiles(const std::string& table) {
  std::vector<Profile> out;
  std::istringstream lines(table);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const auto hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream fields(line);
    Profile p;
    if (!(fields >> p.name)) continue;  // blank or comment
    Params& q = p.params;
    int soft = 0;
    std::string gauss, rice, extra;
    if (!(fields >> q.cube >> q.depth >> q.step >> q.search >> q.group1 >> q.group2 >>
          q.lambda >> q.tau1 >> q.tau2 >> q.alpha >> soft >> gauss >> rice) ||
        (fields >> extra))
      throw Error("profile table line " + std::to_string(number) +
                               ": expected a name, 11 numbers and two estimation modes");
    q.soft = soft != 0;
    try {
      q.estimate_gaussian = parse_estimate(gauss);
      q.estimate_rician = parse_estimate(rice);
    } catch (const Error& e) {
      throw Error("profile table line " + std::to_string(number) + ": " + e.what());
    }
    const std::string problem = check(q);
    if (!problem.empty())
      throw Error("profile table line " + std::to_string(number) + ": " + problem);
    out.push_back(p);
  }
  if (out.empty()) throw Error("profile table holds no profile");
  return out;
}

const char* profile_table() { return kProfileTable; }

Estimate parse_estimate(const std::string& text) {
  if (text == "group") return Estimate::group;
  if (text == "volume") return Estimate::volume;
  throw Error("estimation mode '" + text + "' is neither group nor volume");
}

const std::vector<Profile>& profiles() {
  static const std::vector<Profile> table = parse_profiles(kProfileTable);
  return table;
}

const Params& default_params() { return profiles().front().params; }

const Params& profile(const std::string& name) {
  for (const Profile& p : profiles())
    if (p.name == name) return p.params;
  throw Error("unknown profile '" + name + "' (known: " + profile_names() + ")");
}

std::string profile_names() {
  std::string s;
  for (const Profile& p : profiles()) s += (s.empty() ? "" : ", ") + p.name;
  return s;
}

std::string check(const Params& p) {
  if (p.cube < 1) return "the cube side must be at least 1";
  if (p.depth < 1) return "the cube depth must be at least 1";
  if (p.step < 1) return "the step must be at least 1";
  if (p.search < 0) return "the search half-width must not be negative";
  if (p.group1 < 1 || p.group2 < 1) return "group sizes must be at least 1";
  if (p.group1 > 1024 || p.group2 > 1024) return "group sizes above 1024 are not supported";
  if (p.cube > 64 || p.depth > 64) return "cubes above 64 voxels a side are not supported";
  if (!(p.lambda >= 0) || !std::isfinite(p.lambda)) return "lambda must be a finite number >= 0";
  if (!(p.tau1 >= 0) || !(p.tau2 >= 0) || !std::isfinite(p.tau1) || !std::isfinite(p.tau2))
    return "matching limits must be finite numbers >= 0";
  if (!(p.alpha > 0) || !std::isfinite(p.alpha)) return "alpha must be a finite number > 0";
  return {};
}

const std::vector<std::string>& parameter_names() {
  static const std::vector<std::string> names{"cube",  "depth", "step", "search", "group1",
                                              "group2", "lambda", "tau1", "tau2", "alpha",
                                              "soft",  "synchronous", "estimate"};
  return names;
}

void set_parameter(Params& p, const std::string& name, double value) {
  int* whole = name == "cube"     ? &p.cube
               : name == "depth"  ? &p.depth
               : name == "step"   ? &p.step
               : name == "search" ? &p.search
               : name == "group1" ? &p.group1
               : name == "group2" ? &p.group2
                                  : nullptr;
  double* real = name == "lambda" ? &p.lambda
                 : name == "tau1" ? &p.tau1
                 : name == "tau2" ? &p.tau2
                 : name == "alpha" ? &p.alpha
                                   : nullptr;
  bool* flag = name == "soft" ? &p.soft : name == "synchronous" ? &p.synchronous : nullptr;
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  if (whole) {
    if (!(value == std::floor(value)) || std::fabs(value) > 1e9)
      throw Error(name + " must be a whole number (got " + text + ")");
    *whole = static_cast<int>(value);
  } else if (real) {
    *real = value;
  } else if (flag) {
    if (value != 0 && value != 1) throw Error(name + " must be true or false (got " + text + ")");
    *flag = value != 0;
  } else if (name == "estimate") {
    throw Error("estimate must be \"group\" or \"volume\"");
  } else {
    throw Error("unknown parameter '" + name + "'");
  }
}

void set_parameter(Params& p, const std::string& name, const std::string& value) {
  if (name != "estimate") throw Error(name + " must be a number, not '" + value + "'");
  p.estimate_gaussian = p.estimate_rician = parse_estimate(value);
}

double tau_match(double per_voxel, double sigma, int cube, int depth) {
  const double voxels = static_cast<double>(cube) * cube * depth;
  return per_voxel * (sigma * sigma) * voxels;
}

}  // namespace zarvo
