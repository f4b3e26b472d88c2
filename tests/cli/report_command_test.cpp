// `zarvo denoise --report FILE.html --residual FILE`, run as a user runs it:
// the residual is input minus output with the output's header, the page
// tells the run's level, and either every output is written or none.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "io/nifti_io.h"
#include "support.h"

namespace zc = zarvo::cli;
using zarvo::test::Outcome;
using zarvo::test::slurp;

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Report : public zarvo::test::TempFolder {
 protected:
  // A float32 series of `volumes` volumes: smooth structure plus Gaussian
  // noise of `level`, with anisotropic voxels and a rotated affine.
  void write_input(const std::string& file, int volumes, double level = 20) const {
    int64_t dims[8] = {volumes > 1 ? 4 : 3, 28, 24, 12, volumes, 1, 1, 1};
    zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT32, 1));
    ASSERT_TRUE(nim);
    std::mt19937 rng(11);
    std::normal_distribution<double> gauss(0, level);
    float* v = static_cast<float*>(nim->data);
    for (int64_t i = 0; i < nim->nvox; ++i) {
      const int64_t x = i % 28, y = i / 28 % 24;
      v[i] = static_cast<float>((x > 6 && x < 20 && y > 5 && y < 18 ? 800 : 300) + gauss(rng));
    }
    nim->pixdim[1] = nim->dx = 0.9;
    nim->pixdim[2] = nim->dy = 1.1;
    nim->pixdim[3] = nim->dz = 2.0;
    nim->qform_code = nim->sform_code = NIFTI_XFORM_SCANNER_ANAT;
    nim->qto_xyz = nifti_quatern_to_dmat44(0.1, -0.2, 0.05, -40, 12.5, 3, 0.9, 1.1, 2.0, 1);
    nim->sto_xyz = nim->qto_xyz;
    ASSERT_EQ(nifti_set_filenames(nim.get(), file.c_str(), 0, 1), 0);
    nifti_image_write(nim.get());
  }

  // The denoise run that writes every output, and the files it wrote.
  Outcome run_all(const std::string& extra = "") const {
    return zarvo("denoise " + path("in.nii") + " " + path("out.nii") + " --report " +
                 path("qc.html") + " --residual " + path("res.nii.gz") + " --quiet " + extra);
  }
};

}  // namespace

TEST_F(Report, ResidualIsInputMinusOutputWithTheOutputsHeader) {
  write_input(path("in.nii"), 1);
  const Outcome r = run_all();
  ASSERT_EQ(r.status, 0) << r.err;
  const zc::Image in = zc::read_image(path("in.nii"), "input");
  const zc::Image out = zc::read_image(path("out.nii"), "output");
  const zc::Image res = zc::read_image(path("res.nii.gz"), "residual");
  ASSERT_EQ(res.shape(), out.shape());
  EXPECT_EQ(res.nim->datatype, DT_FLOAT32);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(res.nim->sto_xyz.m[i][j], out.nim->sto_xyz.m[i][j]);
  EXPECT_EQ(res.nim->qform_code, out.nim->qform_code);
  EXPECT_EQ(res.nim->dz, out.nim->dz);
  const std::vector<double> a = in.volume(0), b = out.volume(0), d = res.volume(0);
  double energy = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_NEAR(d[i], a[i] - b[i], 1e-4 * (1 + std::fabs(a[i]))) << i;
    energy += d[i] * d[i];
  }
  // Denoising removed something about the size of the noise (level 20).
  EXPECT_NEAR(std::sqrt(energy / a.size()), 20, 6);
}

TEST_F(Report, PageTellsTheLevelTheSidecarTells) {
  write_input(path("in.nii"), 1);
  const Outcome r = run_all();
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string page = slurp(path("qc.html"));
  const nlohmann::json sidecar = nlohmann::json::parse(slurp(path("out.json")));
  char level[40];
  std::snprintf(level, sizeof level, "%.6g", sidecar["noise_sigma"][0].get<double>());
  EXPECT_NE(page.find(std::string(level) + " (image units), estimated from the volume"),
            std::string::npos)
      << level;
  EXPECT_NE(page.find("zarvo report: in.nii"), std::string::npos);
  EXPECT_EQ(count(page, "src=\"data:image/png;base64,"), 10);
  EXPECT_EQ(count(page, "src="), 10);
  EXPECT_NE(page.find("--residual"), std::string::npos);  // the command line, as typed
  // The residual spread is shown in noise levels and is plausible.
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(page, m, std::regex("residual spread</td><td>([0-9.]+) noise levels")));
  EXPECT_GT(std::stod(m[1]), 0.5);
  EXPECT_LT(std::stod(m[1]), 1.2);
}

TEST_F(Report, SeriesPageHasOneRowAndPointPerVolume) {
  write_input(path("in.nii"), 5);
  const Outcome r = run_all("--sigma 18,19,20,21,22");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string page = slurp(path("qc.html"));
  EXPECT_NE(page.find("18 to 22 (image units), given by the user"), std::string::npos);
  EXPECT_NE(page.find("noise level and residual spread per volume"), std::string::npos);
  EXPECT_EQ(count(page, "<td>given</td>"), 5);
  EXPECT_EQ(count(page, "<circle"), 10);  // level and spread of five volumes
  EXPECT_EQ(zc::read_image(path("res.nii.gz"), "residual").nt, 5);
}

TEST_F(Report, MaskedVoxelsHaveNoResidual) {
  write_input(path("in.nii"), 1);
  int64_t dims[8] = {3, 28, 24, 12, 1, 1, 1, 1};
  zc::NiftiPtr mask(nifti_make_new_nim(dims, DT_UINT8, 1));
  for (int64_t i = 0; i < mask->nvox; ++i) static_cast<unsigned char*>(mask->data)[i] = i % 28 < 14;
  ASSERT_EQ(nifti_set_filenames(mask.get(), path("mask.nii").c_str(), 0, 1), 0);
  nifti_image_write(mask.get());
  const Outcome r = run_all("--mask " + path("mask.nii"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<double> d = zc::read_image(path("res.nii.gz"), "residual").volume(0);
  double inside = 0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (i % 28 >= 14)
      ASSERT_EQ(d[i], 0.0) << i;
    else
      inside += std::fabs(d[i]);
  }
  EXPECT_GT(inside, 0);
  EXPECT_NE(slurp(path("qc.html")).find("residual measured inside the mask"), std::string::npos);
}

TEST_F(Report, EveryOutputOrNone) {
  write_input(path("in.nii"), 1);
  zarvo::test::spit(path("qc.html"), "an earlier report");
  // An existing report stops the run before any output is written.
  Outcome r = run_all();
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("qc.html"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(path("out.nii")));
  EXPECT_FALSE(exists(path("res.nii.gz")));
  EXPECT_FALSE(exists(path("out.json")));
  EXPECT_EQ(slurp(path("qc.html")), "an earlier report");
  // So does an existing residual; --force replaces them all.
  std::remove(path("qc.html").c_str());
  zarvo::test::spit(path("res.nii.gz"), "old");
  r = run_all();
  EXPECT_NE(r.status, 0);
  EXPECT_FALSE(exists(path("out.nii")));
  EXPECT_FALSE(exists(path("qc.html")));
  r = run_all("--force");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(slurp(path("qc.html")).find("<!DOCTYPE html>"), std::string::npos);
  EXPECT_EQ(zc::read_image(path("res.nii.gz"), "residual").shape(), "28x24x12");
}

TEST_F(Report, BadNamesAreRefusedBeforeTheWork) {
  write_input(path("in.nii"), 1);
  const std::string base = "denoise " + path("in.nii") + " " + path("out.nii") + " --quiet ";
  const std::string before = slurp(path("in.nii"));
  for (const std::string& args :
       {base + "--report " + path("in.nii"),           // the input
        base + "--residual " + path("in.nii"),         // the input
        base + "--residual " + path("res.txt"),        // not NIfTI
        base + "--report " + path("missing/qc.html"),  // no such folder
        base + "--report " + path("out.nii"),          // another output
        base + "--report " + path("x.html") + " --residual " + path("x.html")}) {
    const Outcome r = zarvo(args);
    EXPECT_NE(r.status, 0) << args;
    EXPECT_FALSE(r.err.empty()) << args;
    EXPECT_FALSE(exists(path("out.nii"))) << args;
    EXPECT_FALSE(exists(path("x.html"))) << args;
  }
  EXPECT_EQ(slurp(path("in.nii")), before);
}
