// Times the two-stage denoise of the benchmark phantom with one of the
// command's profiles (default: "default") through the engine's pipeline, with
// the level given (no file I/O: the filtering alone), and prints one line per
// stage and a summary line for bench/run_denoise.sh.
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
#include "zarvo/pipeline.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  std::string noise = "gaussian", profile_name = "default", write_path, estimate_path;
  int threads = 1;
  double sigma = 5.0;
  zarvo::bench::Shape shape;
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

  zarvo::DenoiseOptions options;
  try {
    options.params = zarvo::profile(profile_name);
  } catch (const std::exception& e) {
    usage(e.what());
  }
  options.noise = rician ? zarvo::Noise::rician : zarvo::Noise::gaussian;
  options.sigma = {sigma};
  zarvo::Shape volume_shape;
  volume_shape.rows = shape.rows;
  volume_shape.cols = shape.cols;
  volume_shape.slices = shape.slices;
  zarvo::RunContext context;
  context.threads = threads;
  // Each stage's time, from the start of one stage to the next.
  double t_first = 0, t_second = 0;
  auto t0 = std::chrono::steady_clock::now();
  zarvo::PipelineEvents events;
  events.stage = [&](int, int stage, int, const char*) {
    if (stage == 1) {
      t_first = seconds_since(t0);
      t0 = std::chrono::steady_clock::now();
    }
  };
  std::vector<double> estimate;
  zarvo::denoise(
      zarvo::series_input(zarvo::ArrayView::column_major(voxels.data(), volume_shape)), options,
      [&](int, const double* e, const double*) {
        t_second = seconds_since(t0);
        estimate.assign(e, e + shape.voxels());
      },
      context, events);

  // A checksum of the estimate, so that runs with other thread counts or
  // paths can be compared at a glance.
  const double* e = estimate.data();
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
