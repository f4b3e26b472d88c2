#include "picture.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "glyphs.h"
#include "io/files.h"

namespace zarvo::cli {

void write_png(const std::string& path, const Picture& p) {
  const std::string bytes = zarvo::report::encode_png(p);
  write_atomically(path, [&](const std::string& temp) {
    std::ofstream file(temp, std::ios::binary);
    if (!file) throw std::runtime_error("cannot create '" + path + "'");
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.flush();
    if (!file) throw std::runtime_error("writing '" + path + "' failed");
  });
}

Picture read_png(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read PNG '" + path + "'");
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return zarvo::report::decode_png(bytes.str(), "'" + path + "'");
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

Picture labelled_grid(const LabelledGrid& g, GridLayout* layout) {
  if (g.cells.empty() || g.columns < 1) throw std::invalid_argument("labelled_grid: no cells");
  const int s = g.text_scale, w = g.cells[0].width, h = g.cells[0].height;
  const int columns = g.columns, n = static_cast<int>(g.cells.size());
  const int grid_rows = (n + columns - 1) / columns;
  if (!g.column_labels.empty() && static_cast<int>(g.column_labels.size()) != columns)
    throw std::invalid_argument("labelled_grid: one label per column");
  if (!g.row_labels.empty() && static_cast<int>(g.row_labels.size()) != grid_rows)
    throw std::invalid_argument("labelled_grid: one label per row");
  for (const Picture& c : g.cells)
    if (c.width != w || c.height != h) throw std::invalid_argument("labelled_grid: sizes differ");
  if (s < 1) throw std::invalid_argument("labelled_grid: text scale must be at least 1");

  // Everything is placed first (text lines and cells), then drawn.
  const int margin = 4 * s, gap = 4, text_height = glyph_height * s, pitch = text_height + 3 * s;
  const int width = 2 * margin + columns * w + (columns - 1) * gap;
  GridLayout placed;
  int y = margin, bottom = 0;
  auto put_line = [&](const std::string& line, int x, int top) {
    const Box box{x, top, text_width(line, s), text_height};
    placed.lines.push_back({line, box});
    bottom = std::max(bottom, box.y + box.height);
  };
  auto put_block = [&](const std::string& text) {  // left-aligned, full width
    for (const std::string& line : wrap_text(text, width - 2 * margin, s)) {
      put_line(line, margin, y);
      y += pitch;
    }
  };
  put_block(g.title);
  if (!g.title.empty()) y += 2 * s;
  // Column labels: centred over their column, their last lines level.
  std::vector<std::vector<std::string>> headers;
  int header_lines = 0;
  for (const std::string& label : g.column_labels) {
    headers.push_back(wrap_text(label, w, s));
    header_lines = std::max(header_lines, static_cast<int>(headers.back().size()));
  }
  for (int c = 0; c < static_cast<int>(headers.size()); ++c) {
    const std::vector<std::string>& lines = headers[c];
    const int x0 = margin + c * (w + gap), n_lines = static_cast<int>(lines.size());
    for (int i = 0; i < n_lines; ++i)
      put_line(lines[i], x0 + std::max(0, (w - text_width(lines[i], s)) / 2),
               y + (header_lines - n_lines + i) * pitch);
  }
  y += header_lines * pitch + (header_lines > 0 ? 2 * s : 0);
  for (int r = 0; r < grid_rows; ++r) {
    if (!g.row_labels.empty()) put_block(g.row_labels[r]);
    for (int c = 0; c < columns && r * columns + c < n; ++c)
      placed.cells.push_back({margin + c * (w + gap), y, w, h});
    bottom = y + h;
    y += h + margin;
  }
  put_block(g.caption);

  Picture out;
  out.width = width;
  out.height = bottom + margin;
  out.pixels.assign(static_cast<std::size_t>(out.width) * out.height, 255);
  for (int t = 0; t < n; ++t) {
    const Box& b = placed.cells[t];
    for (int yy = 0; yy < h; ++yy)
      std::copy_n(g.cells[t].pixels.begin() + static_cast<std::ptrdiff_t>(yy) * w, w,
                  out.pixels.begin() + static_cast<std::ptrdiff_t>(b.y + yy) * out.width + b.x);
  }
  for (const GridLayout::Line& l : placed.lines) draw_text(out, l.box.x, l.box.y, l.text, s, 0);
  if (layout) *layout = std::move(placed);
  return out;
}

}  // namespace zarvo::cli
