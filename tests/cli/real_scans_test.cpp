// The command on files shaped like real scans, run as a user would: a
// skull-stripped volume with an exact zero background, a mask, a constant
// image, singleton dimensions, the sidecar, and the progress line's width.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "io/nifti_io.h"
#include "io/sidecar.h"
#include "progress.h"
#include "support.h"

namespace zc = zarvo::cli;
using zarvo::test::slurp;

namespace {

class RealScans : public zarvo::test::TempFolder {
 protected:
  // Runs the command; returns its status, standard error in `err`.
  int zarvo(const std::string& args, std::string* err = nullptr) const {
    const zarvo::test::Outcome r = TempFolder::zarvo(args);
    if (err) *err = r.err;
    return r.status;
  }

  void write(const std::string& file, std::vector<int64_t> shape, const std::vector<double>& v) {
    int64_t dims[8] = {static_cast<int64_t>(shape.size()), 1, 1, 1, 1, 1, 1, 1};
    for (std::size_t i = 0; i < shape.size(); ++i) dims[i + 1] = shape[i];
    zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT32, 1));
    ASSERT_TRUE(nim);
    for (std::size_t i = 0; i < static_cast<std::size_t>(nim->nvox); ++i)
      static_cast<float*>(nim->data)[i] = static_cast<float>(v[i % v.size()]);
    nifti_set_filenames(nim.get(), file.c_str(), 0, 1);
    nifti_image_write(nim.get());
  }
};

// A brain-like ellipsoid with structure, Gaussian noise of level `sigma`
// inside it and an exact zero outside (as skull stripping leaves it).
struct Stripped {
  int nx = 40, ny = 44, nz = 30;
  std::vector<double> clean, noisy, inside;
  explicit Stripped(double sigma) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, sigma);
    for (int k = 0; k < nz; ++k)
      for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
          const double r = std::pow(i - 20.0, 2) / 300 + std::pow(j - 22.0, 2) / 380 +
                           std::pow(k - 15.0, 2) / 160;
          const bool in = r < 1;
          const double c = in ? 100 + 30 * std::sin(i / 4.0) + (j > 22 ? 20 : 0) : 0.0;
          clean.push_back(c);
          noisy.push_back(in ? c + noise(rng) : 0.0);
          inside.push_back(in ? 1.0 : 0.0);
        }
  }
  double rmse(const std::vector<double>& v) const {
    double s = 0, n = 0;
    for (std::size_t i = 0; i < v.size(); ++i)
      if (inside[i]) s += (v[i] - clean[i]) * (v[i] - clean[i]), n += 1;
    return std::sqrt(s / n);
  }
};

}  // namespace

TEST_F(RealScans, ZeroBackgroundLevelIsEstimatedAndMaskKeepsTheOutside) {
  const Stripped s(5.0);  // about a third of the volume is brain
  write(path("t1.nii"), {s.nx, s.ny, s.nz}, s.noisy);
  write(path("brain.nii"), {s.nx, s.ny, s.nz}, s.inside);
  std::string err;
  ASSERT_EQ(zarvo("denoise " + path("t1.nii") + " " + path("out.nii"), &err), 0) << err;
  const nlohmann::json side = nlohmann::json::parse(slurp(path("out.json")));
  const double level = side["noise_sigma"][0];
  EXPECT_NEAR(level, 5.0, 0.4) << "a zero background must not pull the level to 0";
  EXPECT_LT(s.rmse(zc::read_image(path("out.nii"), "o").volume(0)), 0.6 * s.rmse(s.noisy));
  EXPECT_EQ(side["mask"], nullptr);

  ASSERT_EQ(zarvo("denoise " + path("t1.nii") + " " + path("masked.nii") + " --mask " +
                      path("brain.nii") + " --quiet",
                  &err),
            0)
      << err;
  const std::vector<double> masked = zc::read_image(path("masked.nii"), "m").volume(0);
  int outside_changed = 0;
  for (std::size_t i = 0; i < masked.size(); ++i)
    if (!s.inside[i])
      outside_changed += masked[i] != static_cast<double>(static_cast<float>(s.noisy[i]));
  EXPECT_EQ(outside_changed, 0);
  EXPECT_LT(s.rmse(masked), 0.6 * s.rmse(s.noisy));
  EXPECT_EQ(nlohmann::json::parse(slurp(path("masked.json")))["mask"], path("brain.nii"));

  // A mask of another shape is refused before any work.
  write(path("small.nii"), {10, 10, 10}, {1.0});
  EXPECT_NE(
      zarvo("denoise " + path("t1.nii") + " " + path("bad.nii") + " --mask " + path("small.nii"),
            &err),
      0);
  EXPECT_NE(err.find("it must be one volume of that shape"), std::string::npos) << err;
}

TEST_F(RealScans, NoLevelInAConstantImageAndShapesKeptExactly) {
  write(path("flat.nii"), {20, 20, 10}, {7.0});
  std::string err;
  EXPECT_EQ(zarvo("denoise " + path("flat.nii") + " " + path("flat_out.nii"), &err), 1);
  EXPECT_NE(err.find("cannot be estimated"), std::string::npos) << err;
  EXPECT_NE(err.find("--sigma"), std::string::npos) << err;
  EXPECT_EQ(access(path("flat_out.nii").c_str(), F_OK), -1) << "no output after an error";
  EXPECT_EQ(access(path("flat_out.json").c_str(), F_OK), -1) << "no sidecar after an error";

  std::vector<double> values;
  std::mt19937 rng(3);
  std::normal_distribution<double> n(100.0, 5.0);
  for (int i = 0; i < 20 * 20 * 12; ++i) values.push_back(n(rng));
  struct Case {
    std::vector<int64_t> shape;
    const char* expected;
  } cases[] = {{{20, 20, 12, 1}, "20x20x12x1"}, {{20, 20, 1}, "20x20x1"}, {{3, 40, 12}, "3x40x12"}};
  for (const Case& c : cases) {
    write(path("in.nii"), c.shape, values);
    ASSERT_EQ(zarvo("denoise " + path("in.nii") + " " + path("shape.nii") +
                        " --force --no-sidecar --sigma 5",
                    &err),
              0)
        << err;
    const zc::Image out = zc::read_image(path("shape.nii"), "s");
    EXPECT_EQ(static_cast<int>(c.shape.size()), out.ndim) << c.expected;
    EXPECT_EQ(out.shape(), c.expected);
    EXPECT_EQ(access(path("shape.json").c_str(), F_OK), -1) << "--no-sidecar";
  }
  // A 3-voxel-wide image is filtered with cubes of its width, and says so.
  EXPECT_NE(err.find("cube side limited to 3"), std::string::npos) << err;
  EXPECT_NE(zc::read_image(path("shape.nii"), "s").volume(0),
            zc::read_image(path("in.nii"), "i").volume(0));
}

TEST(ProgressLine, FitsTheTerminalWidth) {
  const std::string label = "volume 12/300, hard thresholding of a long series name";
  for (int columns : {200, 80, 60, 40, 20, 8}) {
    const std::string line = zc::progress_line(45, 0.45, label, "1:05", "12:00:03", columns);
    EXPECT_LE(static_cast<int>(line.size()), columns - 1) << columns << ": " << line;
    if (columns > 14) {
      EXPECT_EQ(line.rfind("zarvo: [ 45%]", 0), 0u) << line;
    }
  }
  EXPECT_NE(zc::progress_line(45, 0.45, label, "1:05", "2:00", 200).find(label), std::string::npos);
  EXPECT_EQ(zc::sidecar_name("/a/b.nii.gz"), "/a/b.json");
  EXPECT_EQ(zc::sidecar_name("b.nii"), "b.json");
}
