// The fuzzing target, shared by the libFuzzer harness (fuzz_read.cpp) and the
// regression test that replays tests/fuzz/regressions/ (tests/cli/).
//
// An input is one byte choosing the layout, then the file(s):
//   0: a single file named .nii      1: a single file named .nii.gz
//   2: a .hdr/.img pair: two bytes (little-endian) give the header's length,
//      then the header, then the image file
//   3: the same pair named .hdr.gz/.img.gz
// The whole reading path runs on it: our header checks, the NIfTI library's
// header conversion, the data, the finiteness check.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "io/nifti_io.h"

namespace zarvo::fuzz {

inline void put(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

// Returns 1 when the image was read, 0 when it was refused.
inline int read_one(const std::uint8_t* data, std::size_t size, const std::string& folder) {
  if (size < 1) return 0;
  const int layout = data[0] % 4;
  ++data;
  --size;
  const std::string stem = folder + "/fuzz" + std::to_string(getpid());
  std::string path;
  std::string files[2];
  if (layout < 2) {
    path = stem + (layout == 0 ? ".nii" : ".nii.gz");
    put(path, data, size);
    files[0] = path;
  } else {
    if (size < 2) return 0;
    std::size_t head = data[0] | static_cast<std::size_t>(data[1]) << 8;
    data += 2;
    size -= 2;
    if (head > size) head = size;
    const char* gz = layout == 3 ? ".gz" : "";
    path = stem + ".hdr" + gz;
    files[0] = path;
    files[1] = stem + ".img" + gz;
    put(files[0], data, head);
    put(files[1], data + head, size - head);
  }
  int ok = 0;
  try {
    zarvo::cli::Image im = zarvo::cli::read_image(path, "input");
    ok = im.volume_voxels() > 0;
  } catch (const std::exception&) {
  }
  for (const std::string& f : files)
    if (!f.empty()) unlink(f.c_str());
  return ok;
}

}  // namespace zarvo::fuzz
