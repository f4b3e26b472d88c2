#include "zarvo/run_limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "across_kernels.h"
#include "core/zarvo.h"
#include "lanes.h"
#include "zarvo/options.h"

namespace zarvo {

namespace {

int largest_extent(const Shape& s) { return std::max({s.rows, s.cols, s.slices}); }

// Positions of a cube of `side` along an axis of `n` voxels that a window
// of half-width `h` reaches.
long positions(int n, int side, int h) {
  const long inside = static_cast<long>(n) - std::min(side, n) + 1;
  return std::min(inside, 2L * h + 1);
}

std::string amount(double bytes) {
  char text[40];
  if (bytes >= 1e9)
    std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
  else
    std::snprintf(text, sizeof text, "%.0f MB", std::ceil(bytes / 1e6));
  return text;
}

// A number from a "Key: value kB" file such as /proc/meminfo; negative when
// absent.
double meminfo_bytes(const char* key) {
  std::ifstream in("/proc/meminfo");
  std::string name;
  double value = 0;
  std::string unit;
  while (in >> name >> value) {
    std::getline(in, unit);
    if (name == std::string(key) + ":") return value * 1024.0;
  }
  return -1;
}

// What the cgroup (v2) the process runs in still allows; negative when
// unlimited or not known.
double cgroup_left() {
  std::ifstream max("/sys/fs/cgroup/memory.max"), current("/sys/fs/cgroup/memory.current");
  std::string limit;
  double used = 0;
  if (!(max >> limit) || limit == "max" || !(current >> used)) return -1;
  return std::max(0.0, std::stod(limit) - used);
}

double address_space_left() {
  rlimit lim{};
  if (getrlimit(RLIMIT_AS, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return -1;
  std::ifstream statm("/proc/self/statm");
  double pages = 0;
  statm >> pages;
  return std::max(0.0, static_cast<double>(lim.rlim_cur) - pages * sysconf(_SC_PAGESIZE));
}

}  // namespace

long window_cubes(const Shape& s, const Params& asked) {
  const Params p = used_params(s, asked);
  return positions(s.rows, p.cube, p.search) * positions(s.cols, p.cube, p.search) *
         positions(s.slices, p.depth, p.search);
}

Params used_params(const Shape& s, const Params& asked) {
  Params p = asked;
  if (p.depth > s.slices) p.depth = s.slices;
  if (p.joint_depth > s.slices) p.joint_depth = s.slices;
  if (p.cube > s.rows) p.cube = s.rows;
  if (p.cube > s.cols) p.cube = s.cols;
  if (p.search > largest_extent(s)) p.search = largest_extent(s);
  return p;
}

std::vector<std::string> limit_notes(const Shape& s, const Params& asked) {
  const Params used = used_params(s, asked);
  std::vector<std::string> notes;
  if (used.depth < asked.depth)
    notes.push_back("cube depth limited to " + std::to_string(used.depth) +
                    " (the number of slices)");
  if (used.cube < asked.cube)
    notes.push_back("cube side limited to " + std::to_string(used.cube) + " (the image's size)");
  if (used.search < asked.search)
    notes.push_back("search half-width limited to " + std::to_string(used.search) +
                    " (the image's largest extent: the window is the whole volume)");
  const long cubes = window_cubes(s, asked);
  for (const auto& [name, group] : {std::pair{"group1", asked.group1}, {"group2", asked.group2}})
    if (group > cubes)
      notes.push_back(std::string(name) + " " + std::to_string(group) + " is more than the " +
                      std::to_string(cubes) +
                      " cubes a matching window of this image holds; groups stay at most " +
                      std::to_string(cubes));
  return notes;
}

double memory_needed(const Shape& s, const DenoiseOptions& o, int threads) {
  const Params p = used_params(s, o.params);
  threads = std::max(1, threads);
  const double voxels = static_cast<double>(s.volume_voxels());
  const double cube = static_cast<double>(p.cube) * p.cube * p.depth;
  const int group = std::max(p.group1, p.group2);
  // Every thread: the group's transforms and copies (at most seven buffers
  // of a group in the Wiener stage, two more in the walk's slot), its cube
  // buffers, and the matching distances of the window.
  const double per_thread = 8.0 * (9.0 * group * cube + 4.0 * cube +
                                   grouping_work_doubles(p.cube, group, p.depth, p.search)) +
                            4.0 * grouping_work_ints(p.cube, group, p.depth, p.search);
  // Every volume in flight: the noisy and the denoised volume, the noise
  // map, and the Rician run's stabilised copies and level map.
  const bool rician = o.noise == Noise::rician;
  const double per_volume = 8.0 * voxels * (2 + (o.noise_map ? 1 : 0) + (rician ? 3 : 0));
  // Every lane's aggregation band: numerators and weights (and the levels
  // of groups that estimate their own), across the window's reach.
  const double band = std::min<double>(s.slices, 2.0 * p.search + p.depth);
  const double per_lane = 8.0 * 4.0 * s.rows * s.cols * band;
  const bool joint = o.series == SeriesMode::joint && s.volumes > 1;
  const int lanes = joint ? 1 : lanes::for_series(s.volumes, threads, s.volume_voxels());
  // The joint mode holds the series twice in single precision (the
  // components being filtered, and the input's for the residual), plus the
  // leading component images and the shared groups (about 91 bytes a voxel
  // of a volume), and across the aggregation band every component's sums
  // and its values in the input and in the pilot held voxel by voxel (at
  // most every component: groups filtered across the components, single
  // precision, each voxel's padded to whole vectors), and each thread's
  // batch of filtered groups (at most 2048 groups' voxels x kept axes, plus
  // its group's copies; series_lowrank.cpp).
  const double held = across::padded_components(s.volumes);
  const double series = joint ? 2.0 * 4.0 * voxels * s.volumes + 91.0 * voxels +
                                    3.0 * 4.0 * held * s.rows * s.cols * band +
                                    threads * 8.0 * group * cube * (2048.0 + 2.0 * s.volumes)
                              : 0.0;
  return threads * per_thread + (lanes + 1) * per_volume + lanes * per_lane + series;
}

double memory_available(std::string& source) {
  double best = -1;
  auto consider = [&](double bytes, const char* name) {
    if (bytes >= 0 && (best < 0 || bytes < best)) {
      best = bytes;
      source = name;
    }
  };
  consider(meminfo_bytes("MemAvailable"), "MemAvailable");
  consider(cgroup_left(), "the cgroup's memory limit");
  consider(address_space_left(), "the address-space limit, ulimit -v");
  return best;
}

void check_memory(const Shape& s, const DenoiseOptions& o, int threads) {
  std::string source;
  const double available = memory_available(source);
  const double needed = memory_needed(s, o, threads);
  if (available < 0 || needed <= available) return;
  // The option to lower: the first of these whose lowering alone makes
  // the run fit (groups larger than the window holds come first: they only
  // cost), else the one that saves the most.
  struct Lowered {
    const char* name;
    DenoiseOptions options;
    int threads;
  };
  std::vector<Lowered> choices;
  DenoiseOptions fewer = o;
  fewer.params.group1 = fewer.params.group2 = 1;
  const char* group = o.params.group1 >= o.params.group2 ? "group1" : "group2";
  const bool pointless = std::max(o.params.group1, o.params.group2) > window_cubes(s, o.params);
  if (pointless) choices.push_back({group, fewer, threads});
  if (threads > 1) choices.push_back({"threads", o, 1});
  if (!pointless) choices.push_back({group, fewer, threads});
  DenoiseOptions narrower = o;
  narrower.params.search = 0;
  choices.push_back({"search", narrower, threads});
  DenoiseOptions smaller = o;
  smaller.params.cube = smaller.params.depth = 1;
  choices.push_back({"cube", smaller, threads});
  DenoiseOptions apart = o;
  apart.series = SeriesMode::volumes;
  choices.push_back({"series", apart, threads});
  std::pair<double, const char*> best{0.0, nullptr};
  for (const Lowered& c : choices) {
    const double saved = needed - memory_needed(s, c.options, c.threads);
    if (needed - saved <= available && saved > 0) {
      best = {saved, c.name};
      break;
    }
    if (saved > best.first) best = {saved, c.name};
  }
  const std::string text = "the run needs about " + amount(needed) + " of memory but " +
                           amount(available) + " is available (" + source + ")";
  if (!best.second) throw Error(text + "; the image is too large for this machine's memory");
  const std::string name = best.second;
  const std::string how = name == "series"   ? "filter the volumes apart"
                          : name == "group1" ? "lower it, or group1 and group2 both"
                          : name == "group2" ? "lower it, or group1 and group2 both"
                                             : "lower it";
  throw OptionError(name, text + "; " + how + " (that saves up to " + amount(best.first) + ")");
}

}  // namespace zarvo
