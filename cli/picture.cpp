#include "picture.h"

#include <png.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "files.h"

namespace zarvo::cli {

namespace {

struct File {
  std::FILE* f;
  ~File() {
    if (f) std::fclose(f);
  }
};

}  // namespace

void write_png(const std::string& path, const Picture& p) {
  if (p.width < 1 || p.height < 1 ||
      p.pixels.size() != static_cast<std::size_t>(p.width) * p.height)
    throw std::invalid_argument("write_png: bad picture");
  write_atomically(path, [&](const std::string& temp) {
    File file{std::fopen(temp.c_str(), "wb")};
    if (!file.f) throw std::runtime_error("cannot create '" + path + "'");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
      png_destroy_write_struct(&png, nullptr);
      throw std::runtime_error("libpng could not start");
    }
    if (setjmp(png_jmpbuf(png))) {
      png_destroy_write_struct(&png, &info);
      throw std::runtime_error("writing '" + path + "' failed");
    }
    png_init_io(png, file.f);
    png_set_IHDR(png, info, p.width, p.height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < p.height; ++y)
      png_write_row(png, p.pixels.data() + static_cast<std::size_t>(y) * p.width);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.f) != 0 || std::ferror(file.f))
      throw std::runtime_error("writing '" + path + "' failed");
  });
}

Picture read_png(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str()))
    throw std::runtime_error("cannot read PNG '" + path + "'");
  image.format = PNG_FORMAT_GRAY;
  Picture p;
  p.width = static_cast<int>(image.width);
  p.height = static_cast<int>(image.height);
  p.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, p.pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    throw std::runtime_error("cannot decode PNG '" + path + "'");
  }
  return p;
}

Picture slice_picture(const std::vector<double>& v, int rows, int cols, int k, double low,
                      double high, int zoom) {
  Picture p;
  p.width = rows * zoom;
  p.height = cols * zoom;
  p.pixels.resize(static_cast<std::size_t>(p.width) * p.height);
  const double span = high > low ? high - low : 1.0;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      const int i = x / zoom, j = cols - 1 - y / zoom;
      const double value =
          v[i + static_cast<std::size_t>(rows) * (j + static_cast<std::size_t>(cols) * k)];
      double g = std::round(255.0 * (value - low) / span);
      g = g < 0 ? 0 : (g > 255 ? 255 : g);
      p.pixels[static_cast<std::size_t>(y) * p.width + x] = static_cast<std::uint8_t>(g);
    }
  return p;
}

Picture tile(const std::vector<Picture>& pictures, int columns, int gap) {
  if (pictures.empty() || columns < 1) throw std::invalid_argument("tile: nothing to tile");
  const int w = pictures[0].width, h = pictures[0].height;
  const int n = static_cast<int>(pictures.size()), grid_rows = (n + columns - 1) / columns;
  Picture out;
  out.width = columns * w + (columns - 1) * gap;
  out.height = grid_rows * h + (grid_rows - 1) * gap;
  out.pixels.assign(static_cast<std::size_t>(out.width) * out.height, 255);
  for (int t = 0; t < n; ++t) {
    const Picture& p = pictures[t];
    if (p.width != w || p.height != h) throw std::invalid_argument("tile: sizes differ");
    const int x0 = (t % columns) * (w + gap), y0 = (t / columns) * (h + gap);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        out.pixels[static_cast<std::size_t>(y0 + y) * out.width + x0 + x] =
            p.pixels[static_cast<std::size_t>(y) * w + x];
  }
  return out;
}

}  // namespace zarvo::cli
