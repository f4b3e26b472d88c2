// Denoiser parameters: the named profiles of the one profile table
// (share/zarvo/profiles.txt, built into the engine) and the values derived
// from them for one volume. Every front end takes its defaults from here.
#pragma once

#include <string>
#include <vector>

#include "zarvo/run.h"

namespace zarvo {

enum class Noise { gaussian, rician };

// How an unknown noise level is estimated: by the plug-ins for every group,
// or once for the volume (estimate_sigma) and then used as known.
enum class Estimate { group, volume };

// The values of a profile. A value-initialised Params holds zeros: take the
// values from the table (default_params(), profile(name)); there are no
// defaults anywhere else.
struct Params {
  int cube = 0;   // cube side in rows and columns
  int depth = 0;  // cube depth in slices
  // Cube depth of the joint series mode on a series whose volumes do not
  // vary slowly (diffusion); a time series takes `depth`. The option depth
  // sets both.
  int joint_depth = 0;
  int step = 0;       // step between reference cubes
  int search = 0;     // half-width of the matching window
  int group1 = 0;     // largest group of the first stage
  int group2 = 0;     // largest group of the second stage
  double lambda = 0;  // hard threshold, in noise standard deviations
  double tau1 = 0;    // matching limit per voxel, in noise variances
  double tau2 = 0;
  double alpha = 0;  // alpha-rooting exponent; 1: none
  bool soft = false;
  bool synchronous = false;
  Estimate estimate_gaussian = Estimate::volume;
  Estimate estimate_rician = Estimate::volume;
  Estimate estimate(Noise n) const {
    return n == Noise::rician ? estimate_rician : estimate_gaussian;
  }
};

// "group" or "volume"; throws Error otherwise.
Estimate parse_estimate(const std::string& text);

struct Profile {
  std::string name;
  Params params;
};

// Parses a profile table: '#' comments, then one profile per line with the
// columns name cube depth step search group1 group2 lambda tau1 tau2 alpha
// soft gauss rice. Throws Error naming the line on a malformed table.
std::vector<Profile> parse_profiles(const std::string& table);

// The profiles built into the engine (the first one is the default).
const std::vector<Profile>& profiles();
const Params& profile(const std::string& name);  // throws Error when unknown
const Params& default_params();                  // the first profile
std::string profile_names();                     // "default, fast"
// The profile table as built into the engine.
const char* profile_table();

// Empty when the parameters are usable; otherwise what is wrong with them
// (each checked against its declaration in zarvo/options.h).
std::string check(const Params& p);

// Reference cubes of one walk over a volume of rows x cols x slices (the
// cube limited to the image), the work a thread count is weighed against.
long reference_cubes(int rows, int cols, int slices, const Params& p);

// The raw sum-of-squared-differences limit the plug-ins take: the per-voxel
// limit times the noise variance times the voxels of a cube.
double tau_match(double per_voxel, double sigma, int cube, int depth);

}  // namespace zarvo
