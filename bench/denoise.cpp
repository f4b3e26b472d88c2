// Times the two-stage denoise of the benchmark phantom with one of the
// command's profiles (default: "default"), calling the plug-ins through the stand-alone host as the command
// does, and prints one line per stage and a summary line for
// bench/run_denoise.sh.
//
//   zarvo_bench_denoise [--noise gaussian|rician] [--threads N] [--sigma S]
//                       [--size R,C,S] [--profile NAME] [--write-volume FILE]
//                       [--write-estimate FILE]
//
// --write-volume writes the noisy phantom (float64, column-major) and exits,
// so that the peers can be timed on the same voxels. --write-estimate writes
// the final estimate the same way, to compare builds bit for bit.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/phantom.h"
#include "params.h"
#include "plugin_helpers.h"
#include "stages/walker.h"

namespace sa = zarvo::standalone;
namespace zt = zarvo::test;
using zarvo::bench::Shape;

namespace {

using Profile = zarvo::cli::Params;  // a profile of octave/zarvo_profiles.txt

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "zarvo_bench_denoise: %s\n", why);
  std::fprintf(stderr,
               "usage: zarvo_bench_denoise [--noise gaussian|rician] [--threads N] "
               "[--sigma S] [--size R,C,S] [--profile NAME] [--write-volume FILE] "
               "[--write-estimate FILE]\n");
  std::exit(2);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Raw matching limit, computed as the command computes it.
double tau(double per_voxel, double sigma, const Profile& p) {
  return zarvo::cli::tau_match(per_voxel, sigma, p.cube, p.depth);
}

// A plug-in call's inputs: borrowed volumes and owned parameters.
struct Call {
  std::vector<sa::Array> owned;
  std::vector<const mxArray*> in;
  void add(const mxArray* a) { in.push_back(a); }
  void add(sa::Array a) {
    in.push_back(a.get());
    owned.push_back(std::move(a));
  }
  void add(double v) { add(sa::make_scalar(v)); }
};

void add_transforms(Call& c, const Profile& p, int nm2) {
  for (int n : {p.cube, p.cube, p.depth, p.depth}) c.add(zt::square(zt::dct(n), n));
  c.add(zt::haar_cell(nm2));
  c.add(zt::haar_cell(nm2));
}

}  // namespace

int main(int argc, char** argv) {
  std::string noise = "gaussian", profile_name = "default", write_path, estimate_path;
  int threads = 1;
  double sigma = 5.0;
  Shape shape;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(("missing value after " + a).c_str());
      return argv[++i];
    };
    if (a == "--noise") {
      noise = value();
      if (noise != "gaussian" && noise != "rician") usage("noise is gaussian or rician");
    } else if (a == "--threads") {
      threads = std::atoi(value().c_str());
      if (threads < 1) usage("threads must be at least 1");
    } else if (a == "--sigma") {
      sigma = std::atof(value().c_str());
      if (!(sigma > 0)) usage("sigma must be positive");
    } else if (a == "--size") {
      if (std::sscanf(value().c_str(), "%d,%d,%d", &shape.rows, &shape.cols, &shape.slices) != 3 ||
          shape.rows < 4 || shape.cols < 4 || shape.slices < 4)
        usage("size is R,C,S with every size at least 4");
    } else if (a == "--profile") {
      profile_name = value();
    } else if (a == "--write-volume") {
      write_path = value();
    } else if (a == "--write-estimate") {
      estimate_path = value();
    } else {
      usage(("unknown argument " + a).c_str());
    }
  }
  const bool rician = noise == "rician";

  std::vector<double> voxels = zarvo::bench::noisy_phantom(shape, sigma, rician);
  if (!write_path.empty()) {
    std::ofstream out(write_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(voxels.data()),
              static_cast<std::streamsize>(voxels.size() * sizeof(double)));
    if (!out) usage(("cannot write " + write_path).c_str());
    return 0;
  }

  const std::vector<std::size_t> dims{std::size_t(shape.rows), std::size_t(shape.cols),
                                      std::size_t(shape.slices)};
  sa::Array Bn = sa::make_array(dims, voxels);
  std::vector<double>().swap(voxels);
  zarvo::stages::set_walk_threads(threads);

  Profile p;
  try {
    p = zarvo::cli::profile(profile_name);
  } catch (const std::exception& e) {
    usage(e.what());
  }
  Call first;
  first.add(Bn.get());
  for (double v : {double(p.step), double(p.cube), double(p.group1), double(p.depth), p.lambda,
                   tau(p.tau1, sigma, p), double(p.search), p.synchronous ? 1.0 : 0.0, sigma, p.alpha,
                   p.soft ? 0.0 : 1.0})
    first.add(v);
  add_transforms(first, p, p.group1);

  auto t0 = std::chrono::steady_clock::now();
  sa::CallResult basic =
      sa::call(rician ? zarvo_thr_rice_mex::mexFunction : zarvo_thr_mex::mexFunction, first.in, 1);
  const double t_first = seconds_since(t0);
  if (!basic.ok) usage(("first stage failed: " + basic.message).c_str());

  Call second;
  second.add(Bn.get());
  second.add(std::move(basic.outputs[0]));
  for (double v : {double(p.step), double(p.cube), double(p.group2), double(p.depth),
                   tau(p.tau2, sigma, p), double(p.search), p.synchronous ? 1.0 : 0.0, sigma})
    second.add(v);
  add_transforms(second, p, p.group2);

  t0 = std::chrono::steady_clock::now();
  sa::CallResult final_ =
      sa::call(rician ? zarvo_wie_rice_mex::mexFunction : zarvo_wie_mex::mexFunction, second.in, 1);
  const double t_second = seconds_since(t0);
  if (!final_.ok) usage(("second stage failed: " + final_.message).c_str());

  // A checksum of the estimate, so that runs with other thread counts or
  // paths can be compared at a glance.
  const double* e = mxGetPr(final_.outputs[0].get());
  double sum = 0;
  for (std::size_t i = 0; i < shape.voxels(); ++i) sum += e[i];

  if (!estimate_path.empty()) {
    std::ofstream out(estimate_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(e),
              static_cast<std::streamsize>(shape.voxels() * sizeof(double)));
    if (!out) usage(("cannot write " + estimate_path).c_str());
  }

  const double n = static_cast<double>(shape.voxels());
  std::printf("%s %dx%dx%d threads %d: first stage %.2f s, second stage %.2f s\n", noise.c_str(),
              shape.rows, shape.cols, shape.slices, threads, t_first, t_second);
  std::printf(
      "RESULT noise=%s threads=%d first=%.3f second=%.3f total=%.3f voxels_per_s=%.0f "
      "checksum=%.17g\n",
      noise.c_str(), threads, t_first, t_second, t_first + t_second, n / (t_first + t_second), sum);
  return 0;
}
