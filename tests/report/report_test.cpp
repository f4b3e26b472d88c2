// The QC report library: what it measures in the residual, where its slices
// come from, and what the page holds (self-contained, every picture decodable).
#include "report/report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "report/png.h"
#include "report/text.h"

namespace zr = zarvo::report;

namespace {

zarvo::Shape shape_of(int nx, int ny, int nz, int nt = 1) {
  zarvo::Shape s;
  s.ndims = nt > 1 ? 4 : 3;
  s.rows = nx;
  s.cols = ny;
  s.slices = nz;
  s.volumes = nt;
  return s;
}

// A smooth "image" and the same with Gaussian noise of `level` added.
struct Pair {
  std::vector<double> clean, noisy;
};
Pair noisy_pair(const zarvo::Shape& s, const std::vector<double>& levels, unsigned seed = 7) {
  Pair p;
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  const std::size_t n = s.volume_voxels();
  for (int t = 0; t < s.volumes; ++t)
    for (std::size_t i = 0; i < n; ++i) {
      const double v = 500 + 200 * std::sin(0.1 * static_cast<double>(i % 97));
      p.clean.push_back(v);
      p.noisy.push_back(v + levels[static_cast<std::size_t>(t)] * gauss(rng));
    }
  return p;
}

std::string unbase64(const std::string& text) {
  const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    buffer = buffer << 6 | static_cast<unsigned>(digits.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

// The pictures embedded in a page, decoded.
std::vector<zr::Picture> pictures(const std::string& page) {
  std::vector<zr::Picture> out;
  const std::regex img("src=\"data:image/png;base64,([A-Za-z0-9+/=]+)\"");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), img); it != std::sregex_iterator();
       ++it)
    out.push_back(zr::decode_png(unbase64((*it)[1].str())));
  return out;
}

zr::RunFacts facts_for(int volumes, double level, zarvo::SigmaSource source) {
  zr::RunFacts f;
  f.title = "sub-01_<T1w>.nii.gz";
  f.run.params = zarvo::default_params();
  for (int t = 0; t < volumes; ++t) {
    zarvo::VolumeReport v;
    v.sigma = level;
    v.source = source;
    f.run.volumes.push_back(v);
  }
  f.options = {{"noise", "gaussian"},
               {"command line", "zarvo denoise a.nii b.nii --report \"x&y\""}};
  f.seconds = 1.5;
  f.version = "9.9.9";
  return f;
}

}  // namespace

TEST(ReportText, Base64AndEscaping) {
  // RFC 4648's test vectors, every padding case.
  EXPECT_EQ(zr::base64(""), "");
  EXPECT_EQ(zr::base64("f"), "Zg==");
  EXPECT_EQ(zr::base64("fo"), "Zm8=");
  EXPECT_EQ(zr::base64("foo"), "Zm9v");
  EXPECT_EQ(zr::base64("foob"), "Zm9vYg==");
  EXPECT_EQ(zr::base64("foobar"), "Zm9vYmFy");
  const std::string bytes("\x00\xff\x80\x7f", 4);
  EXPECT_EQ(unbase64(zr::base64(bytes)), bytes);
  EXPECT_EQ(zr::escape_html("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
  EXPECT_EQ(zr::number(std::nan("")), "nan");
}

TEST(ReportPng, EncodesWhatDecodes) {
  zr::Picture p;
  p.width = 7;
  p.height = 3;
  for (int i = 0; i < 21; ++i) p.pixels.push_back(static_cast<std::uint8_t>(i * 12));
  const zr::Picture back = zr::decode_png(zr::encode_png(p));
  EXPECT_EQ(back.width, 7);
  EXPECT_EQ(back.height, 3);
  EXPECT_EQ(back.pixels, p.pixels);
  p.pixels.pop_back();
  EXPECT_THROW(zr::encode_png(p), std::invalid_argument);
  EXPECT_THROW(zr::decode_png("not a png"), std::runtime_error);
}

TEST(ReportCollector, MeasuresTheResidualInNoiseLevels) {
  const zarvo::Shape s = shape_of(24, 20, 16, 3);
  const std::vector<double> levels = {10, 20, 40};
  const Pair p = noisy_pair(s, levels);
  zr::Collector c(s);
  const std::size_t n = s.volume_voxels();
  for (int t = 2; t >= 0; --t)  // any order
    c.add(t, p.noisy.data() + n * t, p.clean.data() + n * t, levels[static_cast<std::size_t>(t)]);
  for (int t = 0; t < 3; ++t) {
    const double level = levels[static_cast<std::size_t>(t)];
    EXPECT_NEAR(c.stats(t).spread / level, 1.0, 0.05) << t;
    EXPECT_NEAR(c.stats(t).rms / level, 1.0, 0.05) << t;
    EXPECT_NEAR(c.stats(t).mean / level, 0.0, 0.05) << t;
    EXPECT_EQ(c.stats(t).voxels, n);
  }
  // Each volume in its own level: the pooled histogram is one standard
  // normal whatever the levels (about 68 % within one level).
  double total = c.below() + c.above(), within = 0;
  const std::vector<double>& h = c.histogram();
  for (std::size_t i = 0; i < h.size(); ++i) {
    total += h[i];
    const double centre = -zr::Collector::range + (i + 0.5) * zr::Collector::bin_width;
    if (std::fabs(centre) < 1) within += h[i];
  }
  EXPECT_EQ(total, static_cast<double>(3 * n));
  EXPECT_NEAR(within / total, 0.683, 0.02);
}

TEST(ReportCollector, MaskAndBadCalls) {
  const zarvo::Shape s = shape_of(8, 8, 4, 2);
  const std::size_t n = s.volume_voxels();
  std::vector<double> in(2 * n, 5.0), out(2 * n, 5.0);
  std::vector<unsigned char> mask(n, 0);
  for (std::size_t i = 0; i < n / 4; ++i) mask[i] = 1;
  for (std::size_t i = n / 4; i < n; ++i) in[i] = 1e6;  // outside: never counted
  zr::Collector c(s, mask.data());
  c.add(0, in.data(), out.data(), 1.0);
  EXPECT_EQ(c.stats(0).voxels, n / 4);
  EXPECT_EQ(c.stats(0).unchanged, n / 4);
  EXPECT_EQ(c.stats(0).rms, 0.0);
  EXPECT_THROW(c.add(0, in.data(), out.data(), 1.0), std::invalid_argument);
  EXPECT_THROW(c.add(2, in.data(), out.data(), 1.0), std::invalid_argument);
  EXPECT_THROW(c.add(-1, in.data(), out.data(), 1.0), std::invalid_argument);
  EXPECT_THROW(c.html(facts_for(2, 1.0, zarvo::SigmaSource::given)), std::logic_error);
  EXPECT_THROW(zr::Collector(shape_of(0, 8, 4)), std::invalid_argument);
  // The whole-array entry point wants one level per volume.
  EXPECT_THROW(
      zr::report_html(s, in.data(), out.data(), facts_for(1, 1.0, zarvo::SigmaSource::given)),
      std::invalid_argument);
}

TEST(ReportCollector, SlicesAreTheMiddleOnesOfTheMiddleVolume) {
  const int nx = 5, ny = 4, nz = 6, nt = 3;
  const zarvo::Shape s = shape_of(nx, ny, nz, nt);
  std::vector<double> in, out;
  for (int t = 0; t < nt; ++t)
    for (int z = 0; z < nz; ++z)
      for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
          in.push_back(1000.0 * t + 100.0 * z + 10.0 * y + x);
          out.push_back(0.5);
        }
  zr::Collector c(s);
  for (int t = 0; t < nt; ++t)
    c.add(t, in.data() + t * nx * ny * nz, out.data() + t * nx * ny * nz, 1);
  ASSERT_EQ(c.shown_volume(), 1);
  auto value = [](int t, int x, int y, int z) { return 1000.0 * t + 100.0 * z + 10.0 * y + x; };
  const zr::Collector::Slice& axial = c.slice(0, 0);
  ASSERT_EQ(axial.width, nx);
  ASSERT_EQ(axial.height, ny);
  // Top left is the first row at the last column (drawn bottom to top).
  EXPECT_EQ(axial.values[0], value(1, 0, ny - 1, nz / 2));
  EXPECT_EQ(axial.values[(ny - 1) * nx + nx - 1], value(1, nx - 1, 0, nz / 2));
  const zr::Collector::Slice& coronal = c.slice(1, 0);
  ASSERT_EQ(coronal.height, nz);
  EXPECT_EQ(coronal.values[1], value(1, 1, ny / 2, nz - 1));
  const zr::Collector::Slice& sagittal = c.slice(2, 0);
  ASSERT_EQ(sagittal.width, ny);
  EXPECT_EQ(sagittal.values[2], value(1, nx / 2, 2, nz - 1));
  EXPECT_EQ(c.slice(0, 1).values[3], 0.5);                                // output
  EXPECT_EQ(c.slice(2, 2).values[2], value(1, nx / 2, 2, nz - 1) - 0.5);  // residual
}

TEST(ReportPage, SelfContainedWithEveryPictureAndFact) {
  const zarvo::Shape s = shape_of(20, 16, 12);
  const Pair p = noisy_pair(s, {25});
  const std::string page = zr::report_html(s, p.noisy.data(), p.clean.data(),
                                           facts_for(1, 25, zarvo::SigmaSource::estimated));
  // Nothing fetched, nothing run.
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<link"), std::string::npos);
  EXPECT_EQ(page.find("url("), std::string::npos);
  const std::regex src("src=\"(?!data:)");
  EXPECT_FALSE(std::regex_search(page, src));
  EXPECT_NE(page.find("default-src 'none'"), std::string::npos);
  // Nine slices and the grey scale bar, each a PNG of the expected size.
  const std::vector<zr::Picture> pics = pictures(page);
  ASSERT_EQ(pics.size(), 10u);
  EXPECT_EQ(pics[0].width, 20);
  EXPECT_EQ(pics[0].height, 16);
  EXPECT_EQ(pics[2].width, 16);  // sagittal
  EXPECT_EQ(pics[2].height, 12);
  // The residual pictures are mid grey on average (residual about 0).
  double sum = 0;
  for (std::uint8_t g : pics[6].pixels) sum += g;
  EXPECT_NEAR(sum / pics[6].pixels.size(), 127.5, 10);
  // Text from the caller is escaped; the facts are there.
  EXPECT_NE(page.find("sub-01_&lt;T1w&gt;.nii.gz"), std::string::npos);
  EXPECT_EQ(page.find("<T1w>"), std::string::npos);
  EXPECT_NE(page.find("&quot;x&amp;y&quot;"), std::string::npos);
  EXPECT_NE(page.find("estimated from the volume"), std::string::npos);
  EXPECT_NE(page.find("zarvo 9.9.9"), std::string::npos);
  EXPECT_NE(page.find("aria-label=\"residual histogram"), std::string::npos);
  EXPECT_EQ(page.find("per volume\""), std::string::npos);  // no series plot for one volume
  EXPECT_EQ(page.find("exactly 0"), std::string::npos);     // noise everywhere
}

TEST(ReportPage, SeriesGetsItsPlotAndFlatImagesOneView) {
  const zarvo::Shape series = shape_of(12, 10, 8, 20);
  std::vector<double> levels(20);
  for (int t = 0; t < 20; ++t) levels[static_cast<std::size_t>(t)] = 10 + t;
  const Pair p = noisy_pair(series, levels);
  zr::RunFacts f = facts_for(20, 0, zarvo::SigmaSource::given);
  for (int t = 0; t < 20; ++t)
    f.run.volumes[static_cast<std::size_t>(t)].sigma = levels[static_cast<std::size_t>(t)];
  const std::string page = zr::report_html(series, p.noisy.data(), p.clean.data(), f);
  EXPECT_NE(page.find("aria-label=\"noise level and residual spread per volume\""),
            std::string::npos);
  EXPECT_NE(page.find("10 to 29"), std::string::npos);
  EXPECT_NE(page.find("<details>"), std::string::npos);  // the long table folds
  EXPECT_NE(page.find("of volume 11"), std::string::npos);

  const zarvo::Shape flat = shape_of(30, 20, 1);
  const Pair q = noisy_pair(flat, {5});
  const std::string image = zr::report_html(flat, q.noisy.data(), q.clean.data(),
                                            facts_for(1, 5, zarvo::SigmaSource::given));
  EXPECT_EQ(pictures(image).size(), 4u);  // axial only, and the scale bar
}

TEST(ReportPage, LevelZeroShowsTheResidualInItsOwnSpread) {
  const zarvo::Shape s = shape_of(10, 10, 6);
  const Pair p = noisy_pair(s, {3});
  const std::string page =
      zr::report_html(s, p.noisy.data(), p.clean.data(), facts_for(1, 0, zarvo::SigmaSource::map));
  EXPECT_NE(page.find("its own spread"), std::string::npos);
  EXPECT_EQ(page.find("exactly 0"), std::string::npos);
  EXPECT_NE(page.find("not measured (level 0)"), std::string::npos);
  const std::vector<zr::Picture> pics = pictures(page);
  ASSERT_EQ(pics.size(), 10u);
  int extremes = 0;
  for (std::uint8_t g : pics[6].pixels) extremes += g == 0 || g == 255;
  EXPECT_LT(extremes, static_cast<int>(pics[6].pixels.size()) / 10);  // not a sign map
}

TEST(ReportPage, SaysWhenTheSpikeAtZeroIsUnchangedVoxels) {
  const zarvo::Shape s = shape_of(16, 16, 8);
  Pair p = noisy_pair(s, {4});
  for (std::size_t i = 0; i < p.noisy.size() / 2; ++i) p.noisy[i] = p.clean[i];  // untouched half
  const std::string page = zr::report_html(s, p.noisy.data(), p.clean.data(),
                                           facts_for(1, 4, zarvo::SigmaSource::given));
  EXPECT_NE(page.find("; 50 % have a residual of exactly 0"), std::string::npos);
}
