// Text in pictures: the bitmap font, line wrapping and the labelled grid of
// the demo picture.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "glyphs.h"
#include "picture.h"

namespace zc = zarvo::cli;

namespace {

zc::Picture blank(int width, int height, std::uint8_t grey) {
  zc::Picture p;
  p.width = width;
  p.height = height;
  p.pixels.assign(static_cast<std::size_t>(width) * height, grey);
  return p;
}

std::uint8_t at(const zc::Picture& p, int x, int y) {
  return p.pixels[static_cast<std::size_t>(y) * p.width + x];
}

bool inside(const zc::Box& b, int x, int y) {
  return x >= b.x && x < b.x + b.width && y >= b.y && y < b.y + b.height;
}

bool overlap(const zc::Box& a, const zc::Box& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

const std::string characters = " ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,:;%-+=/()'!?<>_*#";

}  // namespace

TEST(Glyphs, DrawsScaledGlyphsAndNothingElse) {
  EXPECT_EQ(zc::text_width("", 2), 0);
  EXPECT_EQ(zc::text_width("A", 2), 10);
  EXPECT_EQ(zc::text_width("AB", 2), 22);
  EXPECT_EQ(zc::text_width("AB", 1), 11);

  // A dash at scale 2: the middle row of the glyph, 10 x 2 pixels.
  zc::Picture p = blank(20, 12, 200);
  zc::draw_text(p, 3, 1, "-", 2, 0);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x)
      EXPECT_EQ(at(p, x, y), (x >= 3 && x < 13 && y >= 7 && y < 9) ? 0 : 200) << x << "," << y;

  // "I" at scale 1: a bar of three on top and bottom, a stem in the middle.
  zc::Picture i = blank(5, 7, 255);
  zc::draw_text(i, 0, 0, "I", 1, 9);
  const char* expected[] = {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."};
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 5; ++x)
      EXPECT_EQ(at(i, x, y), expected[y][x] == '#' ? 9 : 255) << x << "," << y;

  // The second glyph starts one glyph and one gap further right.
  zc::Picture two = blank(11, 7, 255), one = blank(5, 7, 255);
  zc::draw_text(two, 0, 0, "-I", 1, 0);
  zc::draw_text(one, 0, 0, "I", 1, 0);
  for (int y = 0; y < 7; ++y) {
    EXPECT_EQ(at(two, 5, y), 255);
    for (int x = 0; x < 5; ++x) EXPECT_EQ(at(two, 6 + x, y), at(one, x, y)) << x << "," << y;
  }

  // Lower case is drawn as upper case.
  zc::Picture lower = blank(30, 10, 255), upper = blank(30, 10, 255);
  zc::draw_text(lower, 1, 1, "db", 2, 0);
  zc::draw_text(upper, 1, 1, "DB", 2, 0);
  EXPECT_EQ(lower.pixels, upper.pixels);
  EXPECT_NE(upper.pixels, blank(30, 10, 255).pixels);
}

TEST(Glyphs, ClipsAtTheEdgesAndRefusesUnknownCharacters) {
  // Drawn partly outside a small picture: the same pixels as the same text
  // drawn wholly inside a larger one.
  zc::Picture small = blank(6, 6, 255), large = blank(26, 26, 255);
  zc::draw_text(small, -3, -2, "#8", 2, 0);
  zc::draw_text(large, 7, 8, "#8", 2, 0);
  int dark = 0;
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) {
      EXPECT_EQ(at(small, x, y), at(large, x + 10, y + 10)) << x << "," << y;
      dark += at(small, x, y) == 0;
    }
  EXPECT_GT(dark, 0);
  zc::Picture far = blank(6, 6, 255);
  zc::draw_text(far, 100, -100, "ABC", 3, 0);
  EXPECT_EQ(far.pixels, blank(6, 6, 255).pixels);

  // A character without a glyph: refused, and nothing drawn.
  zc::Picture p = blank(40, 10, 255);
  EXPECT_FALSE(zc::has_glyph('~'));
  EXPECT_FALSE(zc::has_glyph('\n'));
  EXPECT_THROW(zc::draw_text(p, 0, 0, "AB~C", 1, 0), std::invalid_argument);
  EXPECT_EQ(p.pixels, blank(40, 10, 255).pixels);
  EXPECT_THROW(zc::draw_text(p, 0, 0, "A", 0, 0), std::invalid_argument);
}

TEST(Glyphs, EveryGlyphIsDistinctAndStaysInItsCell) {
  std::set<std::vector<std::uint8_t>> seen;
  for (char c : characters) {
    ASSERT_TRUE(zc::has_glyph(c)) << c;
    // A one-pixel frame around the glyph's cell stays untouched.
    zc::Picture p = blank(zc::glyph_width + 2, zc::glyph_height + 2, 255);
    zc::draw_text(p, 1, 1, std::string(1, c), 1, 0);
    int dark = 0;
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) {
        const bool frame = x == 0 || y == 0 || x == p.width - 1 || y == p.height - 1;
        if (frame) {
          EXPECT_EQ(at(p, x, y), 255) << "'" << c << "' at " << x << "," << y;
        }
        dark += at(p, x, y) == 0;
      }
    EXPECT_EQ(dark == 0, c == ' ') << "'" << c << "'";
    EXPECT_TRUE(seen.insert(p.pixels).second) << "'" << c << "' looks like another glyph";
  }
  for (char c = 'a'; c <= 'z'; ++c) EXPECT_TRUE(zc::has_glyph(c)) << c;
}

TEST(Glyphs, WrapsAtSpacesAndNewlines) {
  const std::string text = "RESIDUAL: MID-GREY IS 0, BLACK AND WHITE ARE -3 AND +3 SIGMA";
  const int width = 100;  // 8 glyphs at scale 2
  const std::vector<std::string> lines = zc::wrap_text(text, width, 2);
  ASSERT_GT(lines.size(), 4u);
  std::string joined;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    EXPECT_FALSE(l.empty());
    EXPECT_TRUE(zc::text_width(l, 2) <= width || l.find(' ') == std::string::npos) << l;
    if (i + 1 < lines.size()) {  // no room left for the next line's first word
      EXPECT_GT(zc::text_width(l + " " + lines[i + 1].substr(0, lines[i + 1].find(' ')), 2), width)
          << l;
    }
    joined += (i ? " " : "") + l;
  }
  EXPECT_EQ(joined, text);
  EXPECT_EQ(zc::wrap_text("RESIDUAL", 10, 2), std::vector<std::string>{"RESIDUAL"});
  EXPECT_EQ(zc::wrap_text("ONE  TWO\nTHREE\n\nFOUR ", 1000, 1),
            (std::vector<std::string>{"ONE TWO", "THREE", "FOUR"}));
  EXPECT_TRUE(zc::wrap_text("", 100, 1).empty());
  EXPECT_TRUE(zc::wrap_text("  \n ", 100, 1).empty());
}

TEST(Picture, LabelledGridPutsLabelsAroundTheImages) {
  // Six cells, 2 rows of 3, each with its own grey pattern (never black or
  // white, so text and background cannot be mistaken for them).
  zc::LabelledGrid g;
  g.columns = 3;
  const int w = 60, h = 40;
  for (int t = 0; t < 6; ++t) {
    zc::Picture c = blank(w, h, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        c.pixels[static_cast<std::size_t>(y) * w + x] =
            static_cast<std::uint8_t>(60 + 20 * t + (x + 2 * y) % 7);
    g.cells.push_back(c);
  }
  g.title = "GRID OF SIX";
  g.column_labels = {"C1", "C2", "RES\nX - Y"};
  g.row_labels = {"ROW 1: 26.0 DB", "ROW 2"};
  g.caption = "A CAPTION LONG ENOUGH TO WRAP";
  zc::GridLayout layout;
  const zc::Picture out = zc::labelled_grid(g, &layout);

  const int margin = 8, gap = 4;
  EXPECT_EQ(out.width, 2 * margin + 3 * w + 2 * gap);
  ASSERT_EQ(layout.cells.size(), 6u);
  for (int t = 0; t < 6; ++t) {
    const zc::Box& b = layout.cells[t];
    EXPECT_EQ(b.x, margin + (t % 3) * (w + gap)) << t;
    EXPECT_EQ(b.width, w);
    EXPECT_EQ(b.height, h);
    ASSERT_LE(b.y + h, out.height);
    if (t % 3) {
      EXPECT_EQ(b.y, layout.cells[t - 1].y);
    }
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        ASSERT_EQ(at(out, b.x + x, b.y + y), at(g.cells[t], x, y)) << t << ": " << x << "," << y;
  }

  std::vector<std::string> texts;
  for (const auto& l : layout.lines) texts.push_back(l.text);
  const std::vector<std::string> wrapped = zc::wrap_text(g.caption, out.width - 2 * margin, 2);
  ASSERT_GT(wrapped.size(), 1u);
  std::vector<std::string> expected = {"GRID OF SIX",    "C1",   "C2", "RES", "X - Y",
                                       "ROW 1: 26.0 DB", "ROW 2"};
  expected.insert(expected.end(), wrapped.begin(), wrapped.end());
  EXPECT_EQ(texts, expected);

  // Each line: inside the picture, clear of the cells and of the other lines,
  // and the pixels in its box are exactly its text.
  for (std::size_t i = 0; i < layout.lines.size(); ++i) {
    const zc::Box& b = layout.lines[i].box;
    EXPECT_GE(b.x, 0);
    EXPECT_GE(b.y, 0);
    ASSERT_LE(b.x + b.width, out.width) << layout.lines[i].text;
    ASSERT_LE(b.y + b.height, out.height) << layout.lines[i].text;
    EXPECT_EQ(b.width, zc::text_width(layout.lines[i].text, 2));
    EXPECT_EQ(b.height, 14);
    for (const zc::Box& c : layout.cells) EXPECT_FALSE(overlap(b, c)) << layout.lines[i].text;
    for (std::size_t j = 0; j < i; ++j)
      EXPECT_FALSE(overlap(b, layout.lines[j].box)) << layout.lines[i].text;
    zc::Picture alone = blank(b.width, b.height, 255);
    zc::draw_text(alone, 0, 0, layout.lines[i].text, 2, 0);
    for (int y = 0; y < b.height; ++y)
      for (int x = 0; x < b.width; ++x)
        ASSERT_EQ(at(out, b.x + x, b.y + y), at(alone, x, y)) << layout.lines[i].text;
  }
  // Everything else is white background.
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      bool covered = false;
      for (const zc::Box& c : layout.cells) covered = covered || inside(c, x, y);
      for (const auto& l : layout.lines) covered = covered || inside(l.box, x, y);
      if (!covered) {
        ASSERT_EQ(at(out, x, y), 255) << x << "," << y;
      }
    }

  // Where the labels are: the title on top; each column's label over its
  // column (the two lines of the third one ending level with the others),
  // under the title, over the first row's label; each row's label between
  // the row above and its own cells; the caption under the grid.
  const auto& L = layout.lines;
  const zc::Box &title = L[0].box, &row1 = L[5].box, &row2 = L[6].box;
  EXPECT_EQ(title.y, margin);
  for (int c = 0; c < 3; ++c) {
    const zc::Box& label = L[c == 2 ? 4 : 1 + c].box;
    const zc::Box& cell = layout.cells[c];
    EXPECT_GE(label.x, cell.x);
    EXPECT_LE(label.x + label.width, cell.x + cell.width);
    EXPECT_EQ(label.y, L[4].box.y);
    EXPECT_GT(label.y, title.y + title.height);
    EXPECT_LT(label.y + label.height, row1.y);
  }
  EXPECT_EQ(L[3].box.y + L[3].box.height + 6, L[4].box.y);  // RES over X - Y
  EXPECT_LT(row1.y + row1.height, layout.cells[0].y);
  EXPECT_GT(row2.y, layout.cells[0].y + h);
  EXPECT_LT(row2.y + row2.height, layout.cells[3].y);
  EXPECT_GT(L[7].box.y, layout.cells[3].y + h);
  EXPECT_EQ(out.height, L.back().box.y + L.back().box.height + margin);
}

TEST(Picture, LabelledGridWithoutWordsAndWithBadInput) {
  zc::LabelledGrid g;
  g.columns = 2;
  g.cells.assign(4, blank(10, 6, 90));
  zc::GridLayout layout;
  const zc::Picture out = zc::labelled_grid(g, &layout);
  // Empty labels take no room: margins, two rows of cells, a margin between.
  EXPECT_EQ(out.width, 8 + 10 + 4 + 10 + 8);
  EXPECT_EQ(out.height, 8 + 6 + 8 + 6 + 8);
  EXPECT_TRUE(layout.lines.empty());

  zc::LabelledGrid bad = g;
  bad.column_labels = {"ONE"};
  EXPECT_THROW(zc::labelled_grid(bad), std::invalid_argument);
  bad = g;
  bad.row_labels = {"A", "B", "C"};
  EXPECT_THROW(zc::labelled_grid(bad), std::invalid_argument);
  bad = g;
  bad.cells[3] = blank(10, 7, 90);
  EXPECT_THROW(zc::labelled_grid(bad), std::invalid_argument);
  bad = g;
  bad.cells.clear();
  EXPECT_THROW(zc::labelled_grid(bad), std::invalid_argument);
  bad = g;
  bad.title = "NO GLYPH FOR ~";
  EXPECT_THROW(zc::labelled_grid(bad), std::invalid_argument);
}
