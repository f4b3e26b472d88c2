// Grey-scale PNG pictures through libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zarvo::cli {

struct Picture {
  int width = 0, height = 0;
  std::vector<std::uint8_t> pixels;  // row-major, top row first
};

// Writes an 8-bit grey-scale PNG (through a temporary file, renamed into
// place). Throws std::runtime_error on failure.
void write_png(const std::string& path, const Picture& picture);

// Reads an 8-bit grey-scale PNG back (for tests).
Picture read_png(const std::string& path);

// Slice `k` of a volume as a picture: rows of the volume run left to right,
// columns bottom to top (radiological axial view of a RAS-ordered volume),
// values from `low` to `high` mapped to black..white, each voxel drawn as a
// zoom x zoom square.
Picture slice_picture(const std::vector<double>& volume, int rows, int cols, int k, double low,
                      double high, int zoom);

// Pictures side by side in a grid of `columns`, with a gap of `gap` pixels.
Picture tile(const std::vector<Picture>& pictures, int columns, int gap);

}  // namespace zarvo::cli
