// Prints the volume noise level the command would estimate, for
// bench/level/measure.py:
//   zarvo_estimate_level RAW ROWS COLS SLICES [VOLUMES] [gaussian|rician] [MASK]
// RAW holds float64 voxels (rows fastest, VOLUMES volumes one after another,
// pooled into one level); MASK, if given, one uint8 per voxel of a volume.
// Output: "ok SIGMA BLOCKS" or "none PROBLEM"; status 2 on bad arguments.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "noise_level.h"

namespace {

template <class T>
bool read_all(const char* path, std::vector<T>& out, std::size_t count) {
  std::ifstream f(path, std::ios::binary);
  out.resize(count);
  f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count * sizeof(T)));
  return f.gcount() == static_cast<std::streamsize>(count * sizeof(T)) && f.peek() == EOF;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 8) {
    std::fprintf(stderr, "usage: %s RAW ROWS COLS SLICES [VOLUMES] [gaussian|rician] [MASK]\n",
                 argv[0]);
    return 2;
  }
  const int rows = std::atoi(argv[2]), cols = std::atoi(argv[3]), slices = std::atoi(argv[4]);
  const int volumes = argc > 5 ? std::atoi(argv[5]) : 1;
  const std::string model = argc > 6 ? argv[6] : "gaussian";
  if (rows < 1 || cols < 1 || slices < 1 || volumes < 1 ||
      (model != "gaussian" && model != "rician")) {
    std::fprintf(stderr, "bad shape or noise model\n");
    return 2;
  }
  const std::size_t voxels = static_cast<std::size_t>(rows) * cols * slices;
  std::vector<double> data;
  std::vector<std::uint8_t> mask;
  if (!read_all(argv[1], data, voxels * volumes) ||
      (argc > 7 && !read_all(argv[7], mask, voxels))) {
    std::fprintf(stderr, "a file is missing or its size does not match the shape\n");
    return 2;
  }
  const auto noise = model == "rician" ? zarvo::Noise::rician : zarvo::Noise::gaussian;
  const zarvo::level::LevelEstimate e = zarvo::level::estimate_series_level(
      data.data(), rows, cols, slices, volumes, noise, mask.empty() ? nullptr : mask.data());
  if (e.ok)
    std::printf("ok %.17g %zu\n", e.sigma, e.blocks);
  else
    std::printf("none %s\n", e.problem.c_str());
  return 0;
}
