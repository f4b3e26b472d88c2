// The command's building blocks: transform matrices, profile table, noise
// level estimate, NIfTI reading and writing, PNG, progress display.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "io/files.h"
#include "io/nifti_header.h"
#include "io/nifti_io.h"
#include "noise_level.h"
#include "phantom.h"
#include "picture.h"
#include "progress.h"
#include "zarvo/params.h"
#include "zarvo/pipeline.h"

namespace zc = zarvo::cli;
namespace zl = zarvo::level;

namespace {

// Largest deviation of M M^T from the identity.
double orthonormality_error(const std::vector<double>& m, int n) {
  double worst = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double dot = 0;
      for (int k = 0; k < n; ++k) dot += m[i + n * k] * m[j + n * k];
      worst = std::fmax(worst, std::fabs(dot - (i == j ? 1.0 : 0.0)));
    }
  return worst;
}

std::string temp_dir() {
  char name[] = "/tmp/zarvo-units-XXXXXX";
  const char* d = mkdtemp(name);
  if (!d) std::abort();
  return d;
}

}  // namespace

TEST(Transforms, DctAndHaarAreOrthonormalWithTheExpectedFirstRows) {
  for (int n : {1, 2, 3, 4, 5, 8}) {
    const auto t = zarvo::dct_matrix(n);
    EXPECT_LT(orthonormality_error(t, n), 1e-14) << "DCT " << n;
    for (int i = 0; i < n; ++i) EXPECT_NEAR(t[0 + n * i], 1 / std::sqrt(double(n)), 1e-15);
    // Row k of the DCT-II has k sign changes.
    for (int k = 0; k < n; ++k) {
      int changes = 0;
      for (int i = 1; i < n; ++i) changes += (t[k + n * i] > 0) != (t[k + n * (i - 1)] > 0);
      EXPECT_EQ(changes, k) << "DCT " << n << " row " << k;
    }
  }
  for (int n : {1, 2, 4, 8, 16, 32, 64}) {
    const auto h = zarvo::haar_matrix(n);
    EXPECT_LT(orthonormality_error(h, n), 1e-14) << "Haar " << n;
    for (int i = 0; i < n; ++i) EXPECT_NEAR(h[0 + n * i], 1 / std::sqrt(double(n)), 1e-15);
  }
  const auto h2 = zarvo::haar_matrix(2);
  EXPECT_DOUBLE_EQ(h2[1 + 2 * 0], 1 / std::sqrt(2.0));
  EXPECT_DOUBLE_EQ(h2[1 + 2 * 1], -1 / std::sqrt(2.0));
  EXPECT_THROW(zarvo::haar_matrix(12), zarvo::Error);
  // The finest Haar rows each touch two neighbouring cubes only.
  const auto h8 = zarvo::haar_matrix(8);
  for (int r = 4; r < 8; ++r) {
    int nonzero = 0;
    for (int c = 0; c < 8; ++c) nonzero += h8[r + 8 * c] != 0;
    EXPECT_EQ(nonzero, 2);
  }
}

TEST(Profiles, BuiltInTableAndParsing) {
  const auto& all = zarvo::profiles();
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all.front().name, "default");
  const zarvo::Params& fast = zarvo::profile("fast");
  const zarvo::Params& def = zarvo::profile("default");
  // The fast profile does less work per reference cube or visits fewer.
  EXPECT_TRUE(fast.search < def.search || fast.step > def.step || fast.group1 < def.group1);
  EXPECT_TRUE(zarvo::check(def).empty());
  try {
    zarvo::profile("nope");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("default, fast"), std::string::npos) << e.what();
  }

  const auto parsed = zarvo::parse_profiles(
      "# comment\n\n a 5 3 2 2 7 8 16 3.0 4.5 0.5 1.5 1 volume group # trailing comment\n");
  ASSERT_EQ(parsed.size(), 1u);
  const zarvo::Params& p = parsed[0].params;
  EXPECT_EQ(p.cube, 5);
  EXPECT_EQ(p.depth, 3);
  EXPECT_EQ(p.joint_depth, 2);
  EXPECT_EQ(p.step, 2);
  EXPECT_EQ(p.search, 7);
  EXPECT_EQ(p.group1, 8);
  EXPECT_EQ(p.group2, 16);
  EXPECT_DOUBLE_EQ(p.lambda, 3.0);
  EXPECT_DOUBLE_EQ(p.tau1, 4.5);
  EXPECT_DOUBLE_EQ(p.tau2, 0.5);
  EXPECT_DOUBLE_EQ(p.alpha, 1.5);
  EXPECT_TRUE(p.soft);
  EXPECT_EQ(p.estimate(zarvo::Noise::gaussian), zarvo::Estimate::volume);
  EXPECT_EQ(p.estimate(zarvo::Noise::rician), zarvo::Estimate::group);

  const std::string tail = " group volume\n";
  EXPECT_THROW(zarvo::parse_profiles("a 4 4 3 3 5 16 32 2.7 3 1 1 group volume\n"),
               std::runtime_error);
  EXPECT_THROW(zarvo::parse_profiles("a 4 4 3 3 5 16 32 2.7 3 1 1 0 group volume 9\n"),
               std::runtime_error);
  EXPECT_THROW(zarvo::parse_profiles("a 4 4 3 3 5 16 32 2.7 3 1 1 0 group both\n"),
               std::runtime_error);
  EXPECT_THROW(zarvo::parse_profiles("a 4 4 3 0 5 16 32 2.7 3 1 1 0" + tail), std::runtime_error);
  EXPECT_THROW(zarvo::parse_profiles("a 4 4 3 3 5 16 32 2.7 3 1 0 0" + tail), std::runtime_error);
  // The joint mode's depth is checked as the option depth would be.
  EXPECT_THROW(zarvo::parse_profiles("a 4 4 0 3 5 16 32 2.7 3 1 1 0" + tail), std::runtime_error);
  EXPECT_THROW(zarvo::parse_profiles("a 4 4 65 3 5 16 32 2.7 3 1 1 0" + tail), std::runtime_error);
  EXPECT_THROW(zarvo::parse_profiles("# nothing\n"), std::runtime_error);

  // The matching limit: per-voxel limit x variance x voxels of a cube.
  EXPECT_DOUBLE_EQ(zarvo::tau_match(3.0, 2.0, 4, 4), 3.0 * 4.0 * 64);
  EXPECT_DOUBLE_EQ(zarvo::tau_match(1.0, 10.0, 4, 1), 100.0 * 16);
}

TEST(NoiseLevel, EstimatesGaussianAndRicianLevelsOnAHead) {
  const zc::Volume clean = zc::brain_phantom(80, 96, 64);
  for (double sigma : {30.0, 60.0, 120.0}) {
    const zc::Volume g = zc::add_gaussian_noise(clean, sigma, 7);
    const double eg =
        zl::estimate_level(g.data.data(), g.rows, g.cols, g.slices, zarvo::Noise::gaussian).sigma;
    EXPECT_NEAR(eg / sigma, 1.0, 0.08) << "Gaussian " << sigma;
    const zc::Volume r = zc::add_rician_noise(clean, sigma, 8);
    const double er =
        zl::estimate_level(r.data.data(), r.rows, r.cols, r.slices, zarvo::Noise::rician).sigma;
    EXPECT_NEAR(er / sigma, 1.0, 0.1) << "Rician " << sigma;
    // Without the second pass the dark background pulls the level down.
    const double naive =
        zl::estimate_level(r.data.data(), r.rows, r.cols, r.slices, zarvo::Noise::gaussian).sigma;
    EXPECT_LT(naive, er) << sigma;
  }
  // A linear ramp has no diagonal detail; a single slice uses 2 x 2 blocks.
  std::vector<double> ramp(10 * 12 * 6);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = 3.0 * (i % 10) + 2.0 * ((i / 10) % 12);
  EXPECT_NEAR(zl::estimate_level(ramp.data(), 10, 12, 6, zarvo::Noise::gaussian).sigma, 0.0, 1e-12);
  zc::Normal n(3);
  std::vector<double> plane(200 * 200);
  for (double& x : plane) x = 5.0 * n();
  EXPECT_NEAR(zl::estimate_level(plane.data(), 200, 200, 1, zarvo::Noise::gaussian).sigma, 5.0,
              0.2);
  EXPECT_EQ(zl::estimate_level(plane.data(), 1, 200, 1, zarvo::Noise::gaussian).sigma, 0.0);
}

TEST(Nifti, ScalingIsAppliedOnReadAndIntegerOutputsFillTheirRange) {
  const std::string dir = temp_dir();
  // An int16 file with scl_slope 0.5 and scl_inter -3.
  const int64_t dims[8] = {3, 4, 3, 2, 1, 1, 1, 1};
  zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_INT16, 1));
  auto* raw = static_cast<std::int16_t*>(nim->data);
  for (int i = 0; i < 24; ++i) raw[i] = static_cast<std::int16_t>(10 * i - 50);
  nim->scl_slope = 0.5;
  nim->scl_inter = -3.0;
  const std::string in = dir + "/scaled.nii";
  ASSERT_EQ(nifti_set_filenames(nim.get(), in.c_str(), 0, 1), 0);
  nifti_image_write(nim.get());

  const zc::Image im = zc::read_image(in, "input");
  EXPECT_EQ(im.ndim, 3);
  EXPECT_EQ(im.shape(), "4x3x2");
  const std::vector<double> v = im.volume(0);
  for (int i = 0; i < 24; ++i) EXPECT_DOUBLE_EQ(v[i], 0.5 * (10 * i - 50) - 3.0);

  // Integer outputs: the range is spread over the type, within half a step.
  std::vector<double> values(24);
  for (int i = 0; i < 24; ++i) values[i] = 1000.0 * std::sin(i) + 0.123;
  for (auto type : {zc::DataType::int16, zc::DataType::uint8, zc::DataType::uint16}) {
    const std::string out = dir + "/int.nii.gz";
    zc::write_image(out, im, values, type);
    const zc::Image back = zc::read_image(out, "output");
    const double step = back.nim->scl_slope;
    ASSERT_GT(step, 0);
    const std::vector<double> w = back.volume(0);
    for (int i = 0; i < 24; ++i) EXPECT_NEAR(w[i], values[i], 0.5001 * step);
    std::remove(out.c_str());
  }
  EXPECT_THROW(zc::parse_datatype("float16"), std::runtime_error);
  std::remove(in.c_str());
  rmdir(dir.c_str());
}

TEST(Nifti, PartsEncodedAsTheyArriveAndWrittenFilesCheckedByteForByte) {
  std::vector<double> values(24);
  for (int i = 0; i < 24; ++i) values[i] = 300.0 * std::cos(i) - (i == 20 ? 900 : 0);
  for (auto type : {zc::DataType::float32, zc::DataType::int16, zc::DataType::uint8}) {
    zc::ImageEncoder whole(type, true, 24), parts(type, true, 24);
    whole.put(0, values.data(), 24);
    parts.put(12, values.data() + 12, 12);  // the later part first: it holds the minimum
    parts.put(0, values.data(), 12);
    const zc::Encoded a = whole.finish("whole"), b = parts.finish("parts");
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.slope, b.slope);
    EXPECT_EQ(a.inter, b.inter);
  }
  zc::ImageEncoder beyond(zc::DataType::float32, true, 2);
  const double huge[2] = {1.0, 1e39};
  beyond.put(0, huge, 2);
  try {
    beyond.finish("out.nii");
    ADD_FAILURE() << "float32 took 1e39";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("'out.nii': the values span 1 to 1e+39"),
              std::string::npos)
        << e.what();
  }

  // A written file compared with what was meant, plain and compressed.
  const std::string dir = temp_dir();
  const zc::Image like = [&] {
    const int64_t dims[8] = {3, 4, 3, 2, 1, 1, 1, 1};
    zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT32, 1));
    const std::string f = dir + "/like.nii";
    nifti_set_filenames(nim.get(), f.c_str(), 0, 1);
    nifti_image_write(nim.get());
    zc::Image im = zc::read_image(f, "like");
    std::remove(f.c_str());
    return im;
  }();
  for (const char* name : {"/f.nii", "/f.nii.gz"}) {
    const std::string f = dir + name;
    zc::write_image(f, like, values, zc::DataType::float32);
    zc::ImageEncoder meant(like, zc::DataType::float32);
    meant.put(0, values.data(), values.size());
    zc::Encoded e = meant.finish(f);
    zc::Header h;
    ASSERT_EQ(zc::read_header(f, h), "");
    EXPECT_TRUE(zc::data_equal(h, e.bytes.data(), e.bytes.size())) << name;
    EXPECT_FALSE(zc::data_equal(h, e.bytes.data(), e.bytes.size() - 4)) << name;
    e.bytes[50] ^= 1;
    EXPECT_FALSE(zc::data_equal(h, e.bytes.data(), e.bytes.size())) << name;
    std::remove(f.c_str());
  }
  EXPECT_EQ(rmdir(dir.c_str()), 0);
}

TEST(Files, WriteAtomicallyLeavesNothingBehindOnFailure) {
  const std::string dir = temp_dir();
  const std::string path = dir + "/out.nii";
  { std::ofstream(path) << "old"; }
  EXPECT_THROW(zc::write_atomically(path,
                                    [](const std::string& temp) {
                                      std::ofstream(temp) << "half";
                                      throw std::runtime_error("disk full");
                                    }),
               std::runtime_error);
  std::ifstream kept(path);
  std::string content;
  kept >> content;
  EXPECT_EQ(content, "old");
  zc::write_atomically(path, [](const std::string& temp) { std::ofstream(temp) << "new"; });
  std::ifstream replaced(path);
  replaced >> content;
  EXPECT_EQ(content, "new");
  std::remove(path.c_str());
  EXPECT_EQ(rmdir(dir.c_str()), 0) << "a temporary file was left in the folder";
}

TEST(Picture, PngRoundTripAndTiling) {
  const std::string dir = temp_dir();
  std::vector<double> vol(5 * 4 * 2);
  for (std::size_t i = 0; i < vol.size(); ++i) vol[i] = static_cast<double>(i);
  const zc::Picture a = zc::slice_picture(vol, 5, 4, 1, 20.0, 39.0, 2);
  EXPECT_EQ(a.width, 10);
  EXPECT_EQ(a.height, 8);
  // Top-left pixel: row 0, last column of slice 1 (voxel 20 + 15 = 35).
  EXPECT_EQ(a.pixels[0], static_cast<std::uint8_t>(std::round(255.0 * 15 / 19)));
  const zc::Picture t = zc::tile({a, a, a, a}, 3, 2);
  EXPECT_EQ(t.width, 3 * 10 + 2 * 2);
  EXPECT_EQ(t.height, 2 * 8 + 2);
  const std::string path = dir + "/t.png";
  zc::write_png(path, t);
  const zc::Picture back = zc::read_png(path);
  EXPECT_EQ(back.width, t.width);
  EXPECT_EQ(back.height, t.height);
  EXPECT_EQ(back.pixels, t.pixels);
  std::remove(path.c_str());
  rmdir(dir.c_str());
}

TEST(ProgressDisplay, SparseLinesWhenNotATerminal) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  {
    zc::Progress p(2, true, f);
    p.begin(0, "stage one");
    for (long i = 0; i <= 1000; ++i) p.update(i, 1000);
    p.begin(1, "stage two");
    for (long i = 0; i <= 1000; ++i) p.update(i, 1000);
    p.finish();
  }
  std::rewind(f);
  std::vector<std::string> lines;
  char buf[256];
  while (std::fgets(buf, sizeof buf, f)) lines.emplace_back(buf);
  std::fclose(f);
  ASSERT_GE(lines.size(), 10u);
  EXPECT_LE(lines.size(), 12u);
  EXPECT_NE(lines.front().find("[  0%] stage one"), std::string::npos) << lines.front();
  EXPECT_NE(lines.back().find("[100%] stage two"), std::string::npos) << lines.back();
  EXPECT_NE(lines[6].find("stage two"), std::string::npos) << lines[6];
  for (const auto& l : lines) EXPECT_NE(l.find("ETA"), std::string::npos);

  EXPECT_EQ(zc::format_duration(65), "1:05");
  EXPECT_EQ(zc::format_duration(3 * 3600 + 7), "3:00:07");
  EXPECT_EQ(zc::format_duration(-1), "--:--");
}
