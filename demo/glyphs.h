// Text in pictures: a small bitmap font of 5 x 7 glyphs drawn into grey-scale
// pictures. The font lives in the code so that the command needs no font
// files and no text-rendering library; it has what labels need: upper-case
// letters (lower case is drawn as upper case), digits and a few symbols.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "picture.h"

namespace zarvo::cli {

constexpr int glyph_width = 5, glyph_height = 7;

// Whether `c` can be drawn.
bool has_glyph(char c);

// Width in pixels of `text` drawn at `scale`: each glyph is 5 x scale pixels
// wide, with a gap of scale pixels between glyphs.
int text_width(const std::string& text, int scale);

// Draws `text` with its top-left corner at (x, y), each font pixel as a
// scale x scale square of value `grey`. Only the glyphs' pixels are drawn
// (the background is left as it is); pixels outside the picture are skipped.
// Throws std::invalid_argument for a character without a glyph or a scale
// below 1.
void draw_text(Picture& picture, int x, int y, const std::string& text, int scale,
               std::uint8_t grey);

// Splits `text` at spaces into lines no wider than `max_width` pixels at
// `scale`, and at every newline. A word wider than that gets a line of its
// own; empty lines are dropped.
std::vector<std::string> wrap_text(const std::string& text, int max_width, int scale);

}  // namespace zarvo::cli
