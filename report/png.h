// Grey-scale pictures and their PNG encoding (libpng), in memory: the report
// embeds them in its page, the command's demo writes them to files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zarvo::report {

struct Picture {
  int width = 0, height = 0;
  std::vector<std::uint8_t> pixels;  // row-major, top row first
};

// The picture as the bytes of an 8-bit grey-scale PNG file. Throws
// std::invalid_argument for a picture whose size and pixels disagree,
// std::runtime_error when libpng fails.
std::string encode_png(const Picture& picture);

// Decodes PNG bytes (any colour type) to 8-bit grey. Throws
// std::runtime_error naming `what` when they are not a PNG.
Picture decode_png(const std::string& bytes, const std::string& what = "PNG data");

}  // namespace zarvo::report
