// The built `zarvo` command, run as a user runs it: round trips, series,
// noise maps, overwriting, every bad input, and the demo.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "io/nifti_io.h"
#include "phantom.h"
#include "picture.h"
#include "support.h"

namespace zc = zarvo::cli;
using zarvo::test::Outcome;
using zarvo::test::slurp;

namespace {

class Command : public zarvo::test::TempFolder {
 protected:
  // The names in the folder, sorted (to find leftovers).
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  // Writes a NIfTI file with a rotated affine, anisotropic voxels and
  // distinct qform and sform codes.
  void write(const std::string& file, std::vector<int64_t> shape, int datatype,
             const std::vector<double>& values, double slope = 0.0, double inter = 0.0) const {
    int64_t dims[8] = {static_cast<int64_t>(shape.size()), 1, 1, 1, 1, 1, 1, 1};
    for (std::size_t i = 0; i < shape.size(); ++i) dims[i + 1] = shape[i];
    zc::NiftiPtr nim(nifti_make_new_nim(dims, datatype, 1));
    ASSERT_TRUE(nim);
    const std::size_t n = static_cast<std::size_t>(nim->nvox);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = values[i % values.size()];
      switch (datatype) {
        case DT_FLOAT32:
          static_cast<float*>(nim->data)[i] = static_cast<float>(v);
          break;
        case DT_FLOAT64:
          static_cast<double*>(nim->data)[i] = v;
          break;
        case DT_INT16:
          static_cast<int16_t*>(nim->data)[i] = static_cast<int16_t>(v);
          break;
        default:
          break;  // complex and RGB stay zero
      }
    }
    nim->pixdim[1] = nim->dx = 0.9;
    nim->pixdim[2] = nim->dy = 1.1;
    nim->pixdim[3] = nim->dz = 2.0;
    nim->xyz_units = NIFTI_UNITS_MM;
    nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    nim->sform_code = NIFTI_XFORM_MNI_152;
    nim->quatern_b = 0.1;
    nim->quatern_c = -0.2;
    nim->quatern_d = 0.05;
    nim->qoffset_x = -40;
    nim->qoffset_y = 12.5;
    nim->qoffset_z = 3;
    nim->qfac = -1;
    nim->qto_xyz = nifti_quatern_to_dmat44(0.1, -0.2, 0.05, -40, 12.5, 3, 0.9, 1.1, 2.0, -1);
    nim->sto_xyz = nim->qto_xyz;
    nim->sto_xyz.m[0][3] += 1.5;  // a different sform
    nim->scl_slope = slope;
    nim->scl_inter = inter;
    std::strcpy(nim->descrip, "zarvo test input");
    ASSERT_EQ(nifti_set_filenames(nim.get(), file.c_str(), 0, 1), 0);
    nifti_image_write(nim.get());
  }

  std::vector<double> noisy_values(int n, double sigma, unsigned seed = 1) const {
    const zc::Volume clean = zc::brain_phantom(24, 20, 10);
    zc::Normal g(seed);
    std::vector<double> v(n);
    for (int i = 0; i < n; ++i) v[i] = clean.data[i % clean.data.size()] + sigma * g();
    return v;
  }

  // Expects a failed run with one line on stderr holding `fragment`, and no
  // file in the folder beyond `before`.
  void expect_refused(const std::string& args, const std::string& fragment,
                      const std::vector<std::string>& before) const {
    const Outcome r = zarvo(args);
    EXPECT_NE(r.status, 0) << args;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << args << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("zarvo: error: ", 0), 0u) << r.err;
    EXPECT_EQ(files(), before) << args;
  }
};

void expect_same_geometry(const nifti_image* a, const nifti_image* b) {
  for (int i = 0; i < 8; ++i) EXPECT_EQ(a->dim[i], b->dim[i]) << "dim " << i;
  for (int i = 1; i < 4; ++i) EXPECT_FLOAT_EQ(a->pixdim[i], b->pixdim[i]) << "pixdim " << i;
  EXPECT_EQ(a->qform_code, b->qform_code);
  EXPECT_EQ(a->sform_code, b->sform_code);
  EXPECT_EQ(a->xyz_units, b->xyz_units);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      EXPECT_NEAR(a->qto_xyz.m[r][c], b->qto_xyz.m[r][c], 1e-6) << "qform " << r << c;
      EXPECT_NEAR(a->sto_xyz.m[r][c], b->sto_xyz.m[r][c], 1e-6) << "sform " << r << c;
    }
}

}  // namespace

TEST_F(Command, RoundTripKeepsGeometryAndNeverTouchesTheInput) {
  // int16 input with scaling: the output is float32 in the scaled units.
  const std::vector<double> clean = zc::brain_phantom(24, 20, 10).data;
  std::vector<double> raw(clean.size());
  zc::Normal g(4);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = std::round((clean[i] + 50 * g()) / 2.0);
  write(path("in.nii.gz"), {24, 20, 10}, DT_INT16, raw, 2.0, 0.0);
  const std::string before = slurp(path("in.nii.gz"));

  const Outcome r = zarvo("denoise " + path("in.nii.gz") + " " + path("out.nii.gz") +
                          " --sigma 50 --noise-map " + path("map.nii"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(path("in.nii.gz")), before);

  const zc::Image in = zc::read_image(path("in.nii.gz"), "input");
  const zc::Image out = zc::read_image(path("out.nii.gz"), "output");
  expect_same_geometry(in.nim.get(), out.nim.get());
  EXPECT_EQ(out.nim->datatype, DT_FLOAT32);
  EXPECT_EQ(out.version, 1);
  const std::vector<double> noisy = in.volume(0), est = out.volume(0);
  double err_noisy = 0, err_est = 0;
  for (std::size_t i = 0; i < clean.size(); ++i) {
    err_noisy += (noisy[i] - clean[i]) * (noisy[i] - clean[i]);
    err_est += (est[i] - clean[i]) * (est[i] - clean[i]);
  }
  EXPECT_LT(err_est, 0.5 * err_noisy);  // the scaled values were denoised

  // A given level: the noise map holds it everywhere.
  const zc::Image map = zc::read_image(path("map.nii"), "map");
  expect_same_geometry(in.nim.get(), map.nim.get());
  for (double s : map.volume(0)) ASSERT_FLOAT_EQ(s, 50.0);

  // Estimated level: the map holds the estimate (near the truth), and the
  // note names it.
  const Outcome e = zarvo("denoise " + path("in.nii.gz") + " " + path("est.nii") + " --noise-map " +
                          path("map2.nii.gz"));
  ASSERT_EQ(e.status, 0) << e.err;
  EXPECT_NE(e.err.find("noise level estimated as"), std::string::npos) << e.err;
  EXPECT_NE(e.err.find("[100%]"), std::string::npos) << e.err;
  const std::vector<double> m2 = zc::read_image(path("map2.nii.gz"), "map").volume(0);
  std::vector<double> inside;
  for (std::size_t i = 0; i < m2.size(); ++i)
    if (clean[i] > 500) inside.push_back(m2[i]);
  std::sort(inside.begin(), inside.end());
  EXPECT_NEAR(inside[inside.size() / 2], 50.0, 12.0);

  // --quiet: nothing on stderr; --datatype float64 and NIfTI-2 input kept.
  const Outcome q = zarvo("denoise " + path("in.nii.gz") + " " + path("q.nii") +
                          " --quiet --datatype float64 --profile fast");
  ASSERT_EQ(q.status, 0) << q.err;
  EXPECT_EQ(q.err, "");
  EXPECT_EQ(zc::read_image(path("q.nii"), "q").nim->datatype, DT_FLOAT64);
}

TEST_F(Command, NiftiTwoInputGivesNiftiTwoOutput) {
  const std::vector<double> v = noisy_values(24 * 20 * 10, 30);
  write(path("one.nii"), {24, 20, 10}, DT_FLOAT32, v);
  zc::Image one = zc::read_image(path("one.nii"), "x");
  one.version = 2;
  zc::write_image(path("two.nii"), one, one.volume(0), zc::DataType::float32);
  const Outcome r = zarvo("denoise " + path("two.nii") + " " + path("out.nii") + " --quiet");
  ASSERT_EQ(r.status, 0) << r.err;
  const zc::Image out = zc::read_image(path("out.nii"), "out");
  EXPECT_EQ(zc::read_image(path("two.nii"), "in").version, 2);
  EXPECT_EQ(out.version, 2);
  std::int32_t header_size = 0;
  std::memcpy(&header_size, slurp(path("out.nii")).data(), 4);
  EXPECT_EQ(header_size, 540);
  expect_same_geometry(one.nim.get(), out.nim.get());
}

TEST_F(Command, SeriesAreDenoisedVolumeByVolume) {
  const int n = 24 * 20 * 10;
  const std::vector<double> a = noisy_values(n, 40, 1), b = noisy_values(n, 80, 2);
  std::vector<double> both(a);
  both.insert(both.end(), b.begin(), b.end());
  write(path("series.nii"), {24, 20, 10, 2}, DT_FLOAT32, both);
  write(path("a.nii"), {24, 20, 10}, DT_FLOAT32, a);
  write(path("b.nii"), {24, 20, 10}, DT_FLOAT32, b);
  for (const char* f : {"series", "a", "b"})
    ASSERT_EQ(zarvo(std::string("denoise ") + path(f) + ".nii " + path(f) +
                    "_out.nii --quiet --sigma-scope volume")
                  .status,
              0);
  const zc::Image s = zc::read_image(path("series_out.nii"), "s");
  EXPECT_EQ(s.ndim, 4);
  EXPECT_EQ(s.shape(), "24x20x10x2");
  expect_same_geometry(zc::read_image(path("series.nii"), "in").nim.get(), s.nim.get());
  // With levels per volume each volume equals the denoising of that volume
  // alone, its own noise level estimated.
  EXPECT_EQ(s.volume(0), zc::read_image(path("a_out.nii"), "a").volume(0));
  EXPECT_EQ(s.volume(1), zc::read_image(path("b_out.nii"), "b").volume(0));
  EXPECT_NE(s.volume(0), s.volume(1));

  // By default one level for the whole series, pooled over its volumes: the
  // sidecar gives it, and each volume is that volume alone with that level.
  const Outcome pooled = zarvo("denoise " + path("series.nii") + " " + path("pooled.nii"));
  ASSERT_EQ(pooled.status, 0) << pooled.err;
  EXPECT_NE(pooled.err.find("noise level estimated as"), std::string::npos) << pooled.err;
  EXPECT_NE(pooled.err.find("one for the whole series"), std::string::npos) << pooled.err;
  const nlohmann::json side = nlohmann::json::parse(slurp(path("pooled.json")));
  ASSERT_EQ(side["noise_sigma"].size(), 2u);
  const double level = side["noise_sigma"][0];
  EXPECT_EQ(side["noise_sigma"][1], level);
  EXPECT_EQ(side["sigma_source"], "estimated");
  EXPECT_EQ(side["sigma_scope"], "series");
  char given[64];
  std::snprintf(given, sizeof given, "%.17g", level);
  ASSERT_EQ(
      zarvo("denoise " + path("a.nii") + " " + path("a_given.nii") + " --quiet --sigma " + given)
          .status,
      0);
  EXPECT_EQ(zc::read_image(path("pooled.nii"), "p").volume(0),
            zc::read_image(path("a_given.nii"), "a").volume(0));

  // One level per volume, given: the sidecar keeps them, a wrong count is refused.
  ASSERT_EQ(zarvo("denoise " + path("series.nii") + " " + path("two.nii") + " --quiet --sigma 3,7")
                .status,
            0);
  EXPECT_EQ(nlohmann::json::parse(slurp(path("two.json")))["noise_sigma"],
            nlohmann::json({3.0, 7.0}));
  const Outcome three =
      zarvo("denoise " + path("series.nii") + " " + path("three.nii") + " --sigma 3,7,9");
  EXPECT_NE(three.status, 0);
  EXPECT_NE(three.err.find("one per volume (2)"), std::string::npos) << three.err;
}

TEST_F(Command, JointSeriesCountsComponentsAndSaysSoInTheSidecar) {
  const int n = 24 * 20 * 10;
  std::vector<double> series;
  for (unsigned t = 0; t < 4; ++t) {
    const std::vector<double> v = noisy_values(n, 30, 10 + t);
    series.insert(series.end(), v.begin(), v.end());
  }
  write(path("series.nii"), {24, 20, 10, 4}, DT_FLOAT32, series);
  const Outcome joint =
      zarvo("denoise " + path("series.nii") + " " + path("joint.nii") + " --series joint");
  ASSERT_EQ(joint.status, 0) << joint.err;
  EXPECT_NE(joint.err.find("component 4/4"), std::string::npos) << joint.err;
  EXPECT_EQ(joint.err.find("volume 1/4"), std::string::npos) << joint.err;
  const nlohmann::json side = nlohmann::json::parse(slurp(path("joint.json")));
  EXPECT_EQ(side["series_mode"], "joint");
  EXPECT_EQ(side["noise_sigma"].size(), 4u);
  EXPECT_EQ(zc::read_image(path("joint.nii"), "j").shape(), "24x20x10x4");
}

// The progress lines' percentages (standard error not a terminal: a line
// at every tenth) never go back, whichever order the stages run in.
TEST_F(Command, ProgressNeverGoesBackInEitherSeriesMode) {
  const int n = 20 * 18 * 8;
  std::vector<double> series;
  for (unsigned t = 0; t < 7; ++t) {
    const std::vector<double> v = noisy_values(n, 30, 20 + t);
    series.insert(series.end(), v.begin(), v.end());
  }
  write(path("seven.nii"), {20, 18, 8, 7}, DT_FLOAT32, series);
  for (const char* mode : {"joint", "volumes"}) {
    const Outcome run =
        zarvo("denoise " + path("seven.nii") + " " + path(std::string(mode) + ".nii") +
              " --series " + mode + " --threads 2");
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<int> percents;
    std::vector<std::string> labels;
    std::istringstream lines(run.err);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("zarvo: [", 0) == 0) {
        percents.push_back(std::stoi(line.substr(8, 3)));
        labels.push_back(line);
      }
    ASSERT_GE(percents.size(), 8u) << mode << "\n" << run.err;
    EXPECT_EQ(percents.back(), 100) << mode;
    for (std::size_t i = 1; i < percents.size(); ++i)
      EXPECT_GE(percents[i], percents[i - 1])
          << mode << ": " << labels[i - 1] << " then " << labels[i];
  }
}

TEST_F(Command, SeriesNoiseMapIsOneVolumeAndTheLevelMapIsEstimatedOnRequest) {
  const int n = 24 * 20 * 10;
  std::vector<double> series;
  for (unsigned t = 0; t < 6; ++t) {
    const std::vector<double> v = noisy_values(n, 30, 20 + t);
    series.insert(series.end(), v.begin(), v.end());
  }
  write(path("series.nii"), {24, 20, 10, 6}, DT_FLOAT32, series);
  const zc::Image input = zc::read_image(path("series.nii"), "in");
  {
    std::ofstream bval(path("series.bval"));
    bval << "0 1000 995 5 2000 1000\n";
  }

  // The map estimated from the series, jointly: the noise map is that map,
  // one 3-D volume of the input's geometry, and the sidecar says so.
  const Outcome est = zarvo("denoise " + path("series.nii") + " " + path("est.nii") +
                            " --series joint --sigma-scope voxel --noise-map " + path("map.nii"));
  ASSERT_EQ(est.status, 0) << est.err;
  EXPECT_NE(est.err.find("noise level map estimated from the series"), std::string::npos)
      << est.err;
  const zc::Image map = zc::read_image(path("map.nii"), "map");
  EXPECT_EQ(map.shape(), "24x20x10");
  EXPECT_EQ(map.ndim, 3);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(map.nim->dim[i], input.nim->dim[i]);
  EXPECT_NEAR(map.nim->qto_xyz.m[0][3], input.nim->qto_xyz.m[0][3], 1e-6);
  EXPECT_NEAR(map.nim->sto_xyz.m[0][3], input.nim->sto_xyz.m[0][3], 1e-6);
  for (double v : map.volume(0)) ASSERT_NEAR(v, 30, 9);  // the level is 30 everywhere
  const nlohmann::json side = nlohmann::json::parse(slurp(path("est.json")));
  EXPECT_EQ(side["sigma_source"], "estimated map");
  EXPECT_EQ(side["sigma_scope"], "voxel");
  EXPECT_NE(side["noise_map"].get<std::string>().find("the same in every volume"),
            std::string::npos);
  // The b-values beside the input are recorded, not used.
  EXPECT_EQ(side["bval"]["b0_volumes"], 2);
  EXPECT_EQ(side["bval"]["shells"], nlohmann::json({1000.0, 2000.0}));

  // The map given back as a map: the same output up to the map's float32
  // rounding (a Gaussian map is taken jointly, refused volume by volume).
  ASSERT_EQ(zarvo("denoise " + path("series.nii") + " " + path("given.nii") +
                  " --quiet --series joint --sigma-map " + path("map.nii"))
                .status,
            0);
  const std::vector<double> given = zc::read_image(path("given.nii"), "g").volume(5),
                            first = zc::read_image(path("est.nii"), "e").volume(5);
  ASSERT_EQ(given.size(), first.size());
  for (std::size_t i = 0; i < given.size(); ++i) ASSERT_NEAR(given[i], first[i], 1e-3) << i;
  const Outcome apart = zarvo("denoise " + path("series.nii") + " " + path("apart.nii") +
                              " --sigma-map " + path("map.nii"));
  EXPECT_NE(apart.status, 0);
  EXPECT_NE(apart.err.find("needs --noise rician"), std::string::npos) << apart.err;

  // Levels that differ by volume: their root mean square, and the sidecar
  // says so. A .bval that does not fit the series is told and left out.
  {
    std::ofstream bval(path("series.bval"));
    bval << "0 1000 1000\n";
  }
  const Outcome two =
      zarvo("denoise " + path("series.nii") + " " + path("two.nii") +
            " --basic-only --sigma 10,20,10,20,10,20 --noise-map " + path("rms.nii"));
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_NE(two.err.find("3 b-values for a series of 6 volumes"), std::string::npos) << two.err;
  EXPECT_FALSE(nlohmann::json::parse(slurp(path("two.json"))).contains("bval"));
  const zc::Image rms = zc::read_image(path("rms.nii"), "rms");
  EXPECT_EQ(rms.shape(), "24x20x10");
  for (double v : rms.volume(0)) ASSERT_NEAR(v, std::sqrt(250.0), 1e-4);
  EXPECT_NE(nlohmann::json::parse(slurp(path("two.json")))["noise_map"].get<std::string>().find(
                "root mean square"),
            std::string::npos);
}

TEST_F(Command, TwoDimensionalImagesAndThinVolumes) {
  write(path("flat.nii"), {40, 36}, DT_FLOAT32, noisy_values(40 * 36, 30));
  Outcome r = zarvo("denoise " + path("flat.nii") + " " + path("flat_out.nii") + " --sigma 30");
  ASSERT_EQ(r.status, 0) << r.err;
  const zc::Image flat = zc::read_image(path("flat_out.nii"), "flat");
  EXPECT_EQ(flat.ndim, 2);
  EXPECT_EQ(flat.nim->dim[0], 2);
  // Two slices with a depth-4 profile: the depth is limited, and said so.
  write(path("thin.nii"), {24, 20, 2}, DT_FLOAT32, noisy_values(24 * 20 * 2, 30));
  r = zarvo("denoise " + path("thin.nii") + " " + path("thin_out.nii"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("cube depth limited to 2"), std::string::npos) << r.err;
}

TEST_F(Command, ExistingOutputsNeedForce) {
  write(path("in.nii"), {24, 20, 10}, DT_FLOAT32, noisy_values(4800, 30));
  { std::ofstream(path("out.nii")) << "precious"; }
  const std::vector<std::string> before = files();
  expect_refused("denoise " + path("in.nii") + " " + path("out.nii"), "exists (use --force",
                 before);
  EXPECT_EQ(slurp(path("out.nii")), "precious");
  expect_refused(
      "denoise " + path("in.nii") + " " + path("new.nii") + " --noise-map " + path("out.nii"),
      "noise map '" + path("out.nii") + "' exists", before);
  const Outcome r = zarvo("denoise " + path("in.nii") + " " + path("out.nii") + " --force --quiet");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(zc::read_image(path("out.nii"), "out").shape(), "24x20x10");
}

TEST_F(Command, InputScanSplitBetweenThreadsFindsTheFirstBadVoxelAndTheRange) {
  // Volumes of 2.1 M voxels: scanned in parts by up to three threads. The
  // second volume's bad voxels lie in different parts; the first in
  // voxel order is the one named, whatever part finds it.
  const std::vector<int64_t> shape{160, 128, 104, 2};
  const std::size_t n = 160 * 128 * 104;
  std::vector<double> v(2 * n);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i % 1000) - 300.0;
  v[n + n / 2 + 5] = -5000.0;  // the range's low end, in a later part
  v[n - 1] = 7000.0;           // its high end, the first volume's last voxel
  write(path("fine.nii"), shape, DT_FLOAT32, v);
  v[n + n - 2] = std::nan("");
  v[n + 1000] = INFINITY;
  write(path("bad.nii"), shape, DT_FLOAT32, v);
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    const zc::Image im = zc::read_image(path("fine.nii"), "input", threads);
    EXPECT_EQ(im.lo, -5000.0);
    EXPECT_EQ(im.hi, 7000.0);
    try {
      zc::read_image(path("bad.nii"), "input", threads);
      ADD_FAILURE() << "read";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(
                    "holds 2 NaN or infinite voxel(s) (the first at voxel 40,6,0,1)"),
                std::string::npos)
          << e.what();
    }
  }
}

TEST_F(Command, BadInputsEndWithOneLineAndNoFile) {
  const std::vector<double> v = noisy_values(4800, 30);
  write(path("good.nii"), {24, 20, 10}, DT_FLOAT32, v);
  write(path("good.nii.gz"), {24, 20, 10}, DT_FLOAT32, v);
  write(path("complex.nii"), {24, 20, 10}, DT_COMPLEX64, v);
  write(path("rgb.nii"), {24, 20, 10}, DT_RGB24, v);
  std::vector<double> nan = v, inf = v;
  nan[123] = std::nan("");
  inf[7] = -INFINITY;
  write(path("nan.nii"), {24, 20, 10}, DT_FLOAT32, nan);
  write(path("inf.nii"), {24, 20, 10}, DT_FLOAT64, inf);
  write(path("small_map.nii"), {24, 20, 9}, DT_FLOAT32, {30.0});
  write(path("neg_map.nii"), {24, 20, 10}, DT_FLOAT32, {30.0, -1.0});
  {
    std::ofstream(path("text.nii")) << "this is not an image\n";
    const std::string gz = slurp(path("good.nii.gz"));
    std::ofstream(path("cut.nii.gz"), std::ios::binary) << gz.substr(0, gz.size() / 2);
    const std::string plain = slurp(path("good.nii"));
    std::ofstream(path("cut.nii"), std::ios::binary) << plain.substr(0, plain.size() - 100);
  }
  const std::vector<std::string> before = files();
  const std::string out = " " + path("out.nii");
  const std::string in = path("good.nii");

  expect_refused("denoise " + path("missing.nii") + out, "No such file", before);
  expect_refused("denoise " + path("text.nii") + out, "is not a NIfTI file", before);
  expect_refused("denoise " + path("cut.nii.gz") + out, "truncated", before);
  expect_refused("denoise " + path("cut.nii") + out, "truncated", before);
  expect_refused("denoise " + path("complex.nii") + out, "complex data", before);
  expect_refused("denoise " + path("rgb.nii") + out, "RGB", before);
  expect_refused("denoise " + path("nan.nii") + out, "NaN or infinite", before);
  expect_refused("denoise " + path("inf.nii") + out,
                 "1 NaN or infinite voxel(s) (the first at voxel 7,0,0)", before);
  expect_refused("denoise " + in + out + " --noise rician --sigma-map " + path("small_map.nii"),
                 "is 24x20x9 but the input is 24x20x10", before);
  expect_refused("denoise " + in + out + " --noise rician --sigma-map " + path("neg_map.nii"),
                 "negative", before);
  expect_refused("denoise " + in + out + " --sigma-map " + in, "needs --noise rician", before);
  expect_refused("denoise " + in + out + " --sigma -2",
                 "--sigma: the noise level must be a finite number > 0", before);
  expect_refused("denoise " + in + out + " --sigma 0", "must be a finite number > 0", before);
  expect_refused("denoise " + in + out + " --sigma abc", "'abc' is not a number", before);
  expect_refused("denoise " + in + " " + path("nowhere/out.nii"), "does not exist", before);
  expect_refused("denoise " + in + " " + in, "is the input file", before);
  expect_refused("denoise " + in + " " + dir_ + "/../" + dir_.substr(5) + "/good.nii --force",
                 "is the input file", before);
  expect_refused("denoise " + in + " " + path("out.txt"), "must end in .nii or .nii.gz", before);
  expect_refused("denoise " + in + out + " --noise poisson", "--noise", before);
  expect_refused("denoise " + in + out + " --profile slowest", "--profile", before);
  expect_refused("denoise " + in + out + " --step 0", "--step: must be from 1 to 1024 (got 0)",
                 before);
  expect_refused("denoise " + in + out + " --datatype float16", "unknown data type", before);
  expect_refused("denoise " + in + out + " --noise-map " + path("out.nii"), "different files",
                 before);
  expect_refused("denoise " + in, "OUTPUT is required", before);
}

TEST_F(Command, OptionsComeFromTheEnginesDeclaration) {
  write(path("in.nii"), {24, 20, 10}, DT_FLOAT32, noisy_values(4800, 30));
  const std::string in = path("in.nii") + " ", before_run = "--quiet --sigma 30 ";
  const std::vector<std::string> before = files();
  // Bounded where declared: usage errors (status 2) naming the option.
  for (auto [args, message] :
       {std::pair{"--search 1073741823", "--search: must be from 0 to 1024 (got 1073741823)"},
        {"--search 1e8", "--search: must be from 0 to 1024 (got 100000000)"},
        {"--group2 4096", "--group2: must be from 1 to 1024 (got 4096)"},
        {"--cube 2.5", "--cube: 2.5 is not a whole number"},
        {"--threads 5000", "--threads: must be from 0 to 4096 (got 5000)"},
        {"--series all", "--series: 'all' is neither volumes nor joint"},
        {"--sigma ''", "--sigma: an empty noise level; omit the option to estimate the level"}}) {
    const Outcome r = zarvo("denoise " + in + path("o.nii ") + "--quiet " + args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.err, std::string("zarvo: error: ") + message + " (see zarvo --help)\n") << r.err;
  }
  EXPECT_EQ(files(), before);
  // Flags both ways: --no-soft undoes --soft, the last one wins.
  ASSERT_EQ(zarvo("denoise " + in + path("plain.nii ") + before_run).status, 0);
  ASSERT_EQ(zarvo("denoise " + in + path("soft.nii ") + before_run + "--soft").status, 0);
  ASSERT_EQ(zarvo("denoise " + in + path("undone.nii ") + before_run + "--soft --no-soft").status,
            0);
  auto voxels = [&](const char* f) { return zc::read_image(path(f), f).volume(0); };
  EXPECT_EQ(voxels("undone.nii"), voxels("plain.nii"));
  EXPECT_NE(voxels("soft.nii"), voxels("plain.nii"));
  EXPECT_NE(slurp(path("soft.json")).find("\"soft\": true"), std::string::npos);
  // The help shows every option with the engine's default.
  const Outcome help = zarvo("denoise --help");
  for (const char* shown : {"--no-soft", "--no-synchronous", "--series", "--sigma-scope",
                            "[default: gaussian]", "[default: 5 (default profile)]"})
    EXPECT_NE(help.out.find(shown), std::string::npos) << shown << "\n" << help.out;
}

TEST_F(Command, DemoWritesVolumesPictureAndImprovesPsnr) {
  const Outcome r = zarvo("demo " + path("demo") + " --size 32");
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* f : {"clean.nii.gz", "gaussian_noisy.nii.gz", "gaussian_denoised.nii.gz",
                        "rician_noisy.nii.gz", "rician_denoised.nii.gz"})
    EXPECT_EQ(zc::read_image(path("demo/") + f, f).shape(), "40x48x32") << f;
  // The picture: 4 columns of 40 x 48 voxels drawn 6 x 6 (240 pixels wide at
  // least), 4-pixel gaps, 8-pixel margins; two rows under a title, column
  // labels and row labels, a caption under them.
  const zc::Picture p = zc::read_png(path("demo/demo.png"));
  const int w = 40 * 6, h = 48 * 6;
  ASSERT_EQ(p.width, 8 + 4 * w + 3 * 4 + 8);
  ASSERT_GT(p.height, 2 * h + 6 * 14);
  auto pixel = [&](int x, int y) { return p.pixels[static_cast<std::size_t>(y) * p.width + x]; };
  int title_ink = 0;
  for (int y = 0; y < 8 + 14; ++y)
    for (int x = 0; x < p.width; ++x) {
      if (y < 8) {
        ASSERT_EQ(pixel(x, y), 255) << x << "," << y;
      }
      title_ink += pixel(x, y) == 0;
    }
  EXPECT_GT(title_ink, 200);
  // The first row of images: the first pixel row below which the clean
  // slice's dark corner goes on longer than any line of text.
  int top = -1;
  for (int y = 8; y + 30 < p.height && top < 0; ++y) {
    bool image = true;
    for (int d = 0; d < 30 && image; ++d) image = pixel(9, y + d) < 255;
    if (image) top = y;
  }
  ASSERT_GT(top, 8 + 3 * 14) << "no room for the labels over the images";
  EXPECT_EQ(pixel(9, top - 1), 255);
  // The Gaussian residual is noise around mid-grey, spread over the grey
  // range (not clipped to black or white).
  double sum = 0, squares = 0;
  for (int y = top; y < top + h; ++y)
    for (int x = 8 + 3 * (w + 4); x < 8 + 3 * (w + 4) + w; ++x) {
      sum += pixel(x, y);
      squares += static_cast<double>(pixel(x, y)) * pixel(x, y);
    }
  const double mean = sum / (w * h), spread = std::sqrt(squares / (w * h) - mean * mean);
  EXPECT_NEAR(mean, 127.5, 8.0);
  EXPECT_GT(spread, 20.0);
  EXPECT_LT(spread, 70.0);
  // Both lines report a denoised PSNR above the noisy one.
  for (const char* model : {"gaussian", "rician"}) {
    const auto at = r.out.find(std::string("\n") + model);
    ASSERT_NE(at, std::string::npos) << r.out;
    double sigma = 0, before = 0, after = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at + 1 + std::strlen(model), "%lf %lf dB %lf dB", &sigma,
                          &before, &after),
              3)
        << r.out;
    EXPECT_GT(after, before + 2.0) << model << "\n" << r.out;
  }
}
