#include "report/png.h"

#include <png.h>

#include <csetjmp>
#include <stdexcept>

namespace zarvo::report {

namespace {

void append(png_structp png, png_bytep data, png_size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))
      ->append(reinterpret_cast<const char*>(data), length);
}

void no_flush(png_structp) {}

}  // namespace

std::string encode_png(const Picture& p) {
  if (p.width < 1 || p.height < 1 ||
      p.pixels.size() != static_cast<std::size_t>(p.width) * p.height)
    throw std::invalid_argument("encode_png: the picture's size and pixels disagree");
  std::string bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    throw std::runtime_error("libpng could not start");
  }
  // libpng reports errors by longjmp: nothing with a destructor may be
  // created between here and the end of the writing.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("encoding a PNG picture failed");
  }
  png_set_write_fn(png, &bytes, append, no_flush);
  png_set_IHDR(png, info, p.width, p.height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < p.height; ++y)
    png_write_row(png, p.pixels.data() + static_cast<std::size_t>(y) * p.width);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return bytes;
}

Picture decode_png(const std::string& bytes, const std::string& what) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
    throw std::runtime_error("cannot read " + what + " as PNG");
  image.format = PNG_FORMAT_GRAY;
  Picture p;
  p.width = static_cast<int>(image.width);
  p.height = static_cast<int>(image.height);
  p.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, p.pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    throw std::runtime_error("cannot decode " + what + " as PNG");
  }
  return p;
}

}  // namespace zarvo::report
