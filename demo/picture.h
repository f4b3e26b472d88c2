// Grey-scale PNG picture files (encoded by the report library), and the
// demo's drawing of slices and labelled grids.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/png.h"

namespace zarvo::cli {

using Picture = zarvo::report::Picture;

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

// A grid of pictures with words around it, black on white: a title, a label
// over each column, a label over each row and a caption under the grid. Text
// wider than the picture (the column's width for column labels) is wrapped at
// spaces, and a newline starts a new line. Empty strings take no room.
struct LabelledGrid {
  std::string title;
  std::vector<std::string> column_labels;  // one per column, or none
  std::vector<std::string> row_labels;     // one per row of the grid, or none
  std::vector<Picture> cells;              // row by row, all of one size
  int columns = 1;
  std::string caption;
  int text_scale = 2;  // font pixels are text_scale x text_scale squares
};

struct Box {
  int x = 0, y = 0, width = 0, height = 0;
};

// Where labelled_grid put things: each cell (in the order given) and each
// line of text with the box its glyphs are drawn in.
struct GridLayout {
  std::vector<Box> cells;
  struct Line {
    std::string text;
    Box box;
  };
  std::vector<Line> lines;
};

// Draws the grid; fills `layout` when given. Throws std::invalid_argument
// when the cells differ in size or the label counts do not fit the grid.
Picture labelled_grid(const LabelledGrid& grid, GridLayout* layout = nullptr);

}  // namespace zarvo::cli
