#include "zarvo/params.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "profile_table.h"  // generated from share/zarvo/profiles.txt
#include "zarvo/options.h"

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
    if (!(fields >> q.cube >> q.depth >> q.joint_depth >> q.step >> q.search >> q.group1 >>
          q.group2 >> q.lambda >> q.tau1 >> q.tau2 >> q.alpha >> soft >> gauss >> rice) ||
        (fields >> extra))
      throw Error("profile table line " + std::to_string(number) +
                  ": expected a name, 12 numbers and two estimation modes");
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
  for (const OptionDecl& o : option_table()) {
    if (!o.expert || std::string(o.name) == "estimate") continue;
    try {
      check_option(o, expert_value(o, p, Noise::gaussian));
    } catch (const OptionError& e) {
      return e.what();
    }
  }
  // The joint mode's depth as the option depth would take it.
  try {
    check_option(*find_option("depth"), static_cast<double>(p.joint_depth));
  } catch (const OptionError& e) {
    return std::string("joint ") + e.what();
  }
  return {};
}

long reference_cubes(int rows, int cols, int slices, const Params& p) {
  auto along = [&](int n, int side) {
    side = std::min(side, n);
    return static_cast<long>((n - side + p.step - 1) / std::max(1, p.step) + 1);
  };
  return along(rows, p.cube) * along(cols, p.cube) * along(slices, p.depth);
}

double tau_match(double per_voxel, double sigma, int cube, int depth) {
  const double voxels = static_cast<double>(cube) * cube * depth;
  return per_voxel * (sigma * sigma) * voxels;
}

}  // namespace zarvo
