// Denoiser parameters: the named profiles (read from the profile table that
// the Octave function reads too) and the values derived from them for one
// volume.
#pragma once

#include <string>
#include <vector>

namespace zarvo::cli {

enum class Noise { gaussian, rician };

// How an unknown noise level is estimated: by the plug-ins for every group,
// or once for the volume (estimate_noise_level) and then used as known.
enum class Estimate { group, volume };

struct Params {
  int cube = 4;      // cube side in rows and columns
  int depth = 4;     // cube depth in slices
  int step = 3;      // step between reference cubes
  int search = 5;    // half-width of the matching window
  int group1 = 16;   // largest group of the first stage
  int group2 = 32;   // largest group of the second stage
  double lambda = 2.7;
  double tau1 = 3.0;  // matching limit per voxel, in noise variances
  double tau2 = 1.0;
  double alpha = 1.0;
  bool soft = false;
  bool synchronous = false;
  Estimate estimate_gaussian = Estimate::group;
  Estimate estimate_rician = Estimate::volume;
  Estimate estimate(Noise n) const { return n == Noise::rician ? estimate_rician : estimate_gaussian; }
};

// "group" or "volume"; throws std::runtime_error otherwise.
Estimate parse_estimate(const std::string& text);

struct Profile {
  std::string name;
  Params params;
};

// Parses a profile table: '#' comments, then one profile per line with the
// columns name cube depth step search group1 group2 lambda tau1 tau2 alpha
// soft gauss rice. Throws std::runtime_error naming the line on a malformed table.
std::vector<Profile> parse_profiles(const std::string& table);

// The profiles built into the command (the first one is the default).
const std::vector<Profile>& profiles();
const Params& profile(const std::string& name);  // throws when unknown
std::string profile_names();                      // "default, fast"
// The profile table as built into the command.
const char* profile_table();

// Empty when the parameters are usable; otherwise what is wrong with them.
std::string check(const Params& p);

// The raw sum-of-squared-differences limit the plug-ins take: the per-voxel
// limit times the noise variance times the voxels of a cube. The Octave
// function computes it in the same order.
double tau_match(double per_voxel, double sigma, int cube, int depth);

}  // namespace zarvo::cli
