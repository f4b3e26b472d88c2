// Issue 25 through the command, as a user runs it: nothing lost with
// --force, sidecars that describe their own output, and every input that
// would hang the run or fail it after the work refused before it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "io/nifti_io.h"
#include "support.h"
#include "zarvo/pipeline.h"

namespace zc = zarvo::cli;
using zarvo::test::Outcome;
using zarvo::test::slurp;
using zarvo::test::spit;

namespace {

class Safety : public zarvo::test::TempFolder {
 protected:
  // A float32 volume with a scanner affine of 2 mm voxels, moved by `shift`
  // mm along x.
  void image(const std::string& file, const std::vector<double>& values, double shift = 0,
             int nx = 16, int ny = 14, int nz = 6) const {
    int64_t dims[8] = {3, nx, ny, nz, 1, 1, 1, 1};
    zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT32, 1));
    for (int64_t i = 0; i < nim->nvox; ++i)
      static_cast<float*>(nim->data)[i] = static_cast<float>(values[i % values.size()]);
    nim->pixdim[1] = nim->pixdim[2] = nim->pixdim[3] = nim->dx = nim->dy = nim->dz = 2;
    nim->sform_code = NIFTI_XFORM_SCANNER_ANAT;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) nim->sto_xyz.m[r][c] = r == c ? (r < 3 ? 2 : 1) : 0;
    nim->sto_xyz.m[0][3] = -16 + shift;
    ASSERT_EQ(nifti_set_filenames(nim.get(), file.c_str(), 0, 1), 0);
    nifti_image_write(nim.get());
  }

  std::vector<double> ramp(double scale = 1, double offset = 100) const {
    std::vector<double> v(16 * 14 * 6);
    for (std::size_t i = 0; i < v.size(); ++i)
      v[i] = scale * (offset + static_cast<double>(i * 37 % 101) + 20 * std::sin(0.3 * i));
    return v;
  }

  std::vector<std::string> files(const std::string& folder = "") const {
    std::vector<std::string> names;
    DIR* d = opendir(folder.empty() ? dir_.c_str() : folder.c_str());
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  // A refusal with one line naming `fragment`, and no file written.
  void refused(const std::string& args, const std::string& fragment, int status = 1) const {
    const std::vector<std::string> before = files();
    const Outcome r = zarvo(args);
    EXPECT_EQ(r.status, status) << args << "\n" << r.err;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << args << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(files(), before) << args;
  }

  std::string crc32(const std::string& file) const {
    const std::string bytes = slurp(file);
    char hex[9];
    std::snprintf(
        hex, sizeof hex, "%08lx",
        ::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
    return hex;
  }
};

}  // namespace

TEST_F(Safety, ForceKeepsTheOldFilesWhenTheirBackupLinkIsRefusedAndALaterRenameFails) {
  // As another user: the old output belongs to root (protected_hardlinks
  // refuses a link to it), the old noise map sits in root's sticky folder
  // (the rename over it is refused). Today the output is replaced without a
  // backup, then removed by the rollback: neither old nor new remains.
  std::ifstream protection("/proc/sys/fs/protected_hardlinks");
  int protected_links = 0;
  protection >> protected_links;
  if (geteuid() != 0 || protected_links != 1 || std::system("command -v setpriv >/dev/null") != 0)
    GTEST_SKIP() << "needs root, setpriv and fs.protected_hardlinks = 1 (CI has them)";
  chmod(dir_.c_str(), 0755);
  image(path("in.nii"), ramp());
  mkdir(path("open").c_str(), 0777);
  chmod(path("open").c_str(), 0777);
  mkdir(path("sticky").c_str(), 0777);
  chmod(path("sticky").c_str(), 01777);
  spit(path("open/out.nii"), "root's old output");
  spit(path("sticky/map.nii"), "root's old noise map");
  chmod(path("open/out.nii").c_str(), 0644);
  chmod(path("sticky/map.nii").c_str(), 0644);
  const Outcome r =
      zarvo("denoise " + path("in.nii") + " " + path("open/out.nii") + " --noise-map " +
                path("sticky/map.nii") + " --force --quiet --no-sidecar --sigma 5 --profile fast",
            "setpriv --reuid=65534 --regid=65534 --clear-groups");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("cannot put noise map"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(path("open/out.nii")), "root's old output");
  EXPECT_EQ(slurp(path("sticky/map.nii")), "root's old noise map");
  EXPECT_EQ(files(path("open")), std::vector<std::string>{"out.nii"});
  EXPECT_EQ(files(path("sticky")), std::vector<std::string>{"map.nii"});
}

TEST_F(Safety, ASidecarDescribesItsOwnOutputAndIsNeverShared) {
  image(path("in.nii"), ramp());
  Outcome r = zarvo("denoise " + path("in.nii") + " " + path("a.nii") +
                    " --quiet --profile fast "
                    "--sigma 5 --noise-map " +
                    path("map.nii"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string json = slurp(path("a.json"));
  for (const std::string f : {"a.nii", "map.nii"}) {
    EXPECT_NE(json.find("\"file\": \"" + f + "\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"crc32\": \"" + crc32(path(f)) + "\""), std::string::npos) << f;
  }
  // a.nii.gz would take a.json from a.nii: refused, even with --force.
  refused("denoise " + path("in.nii") + " " + path("a.nii.gz") + " --quiet", "a.json' exists");
  refused("denoise " + path("in.nii") + " " + path("a.nii.gz") + " --quiet --force",
          "would share its sidecar '" + path("a.json") + "' with '" + path("a.nii") + "'");
  r = zarvo("denoise " + path("in.nii") + " " + path("a.nii.gz") +
            " --quiet --no-sidecar "
            "--profile fast --sigma 5");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(path("a.json")), json) << "a.nii's sidecar is left as it was";
}

TEST_F(Safety, InputsThatWouldHangAreRefusedBeforeOpening) {
  image(path("in.nii"), ramp());
  ASSERT_EQ(mkfifo(path("fifo.nii").c_str(), 0600), 0);
  refused("denoise " + path("fifo.nii") + " " + path("out.nii"), "is not a regular file");
  refused("denoise " + path("in.nii") + " " + path("out.nii") + " --mask " + path("fifo.nii"),
          "mask '" + path("fifo.nii") + "' is not a regular file");
  refused("denoise " + path("in.nii") + " " + path("out.nii") + " --noise rician --sigma-map " +
              path("fifo.nii"),
          "is not a regular file");
  refused("denoise /dev/zero " + path("out.nii"), "is not a regular file");
  // A pair whose data file is a FIFO.
  const std::string one = slurp(path("in.nii"));
  std::string header = one.substr(0, 348);
  std::memcpy(&header[344], "ni1\0", 4);
  const float offset = 0;
  std::memcpy(&header[108], &offset, 4);
  spit(path("pair.hdr"), header);
  ASSERT_EQ(mkfifo(path("pair.img").c_str(), 0600), 0);
  refused("denoise " + path("pair.hdr") + " " + path("out.nii"),
          "cannot open its data file '" + path("pair.img") + "' (not a regular file)");
}

TEST_F(Safety, WhatWouldFailAfterTheWorkIsRefusedBeforeIt) {
  image(path("in.nii"), ramp());
  // A name the JSON sidecar cannot hold: refused up front (today the JSON
  // library throws once the work is done), accepted without a sidecar.
  const std::string odd = path("odd\xff.nii");
  spit(odd, slurp(path("in.nii")));
  refused("denoise '" + odd + "' " + path("out.nii"), "is not valid UTF-8");
  Outcome r = zarvo("denoise '" + odd + "' " + path("out.nii") +
                    " --no-sidecar --quiet --sigma 5 "
                    "--profile fast");
  EXPECT_EQ(r.status, 0) << r.err;
  std::remove(path("out.nii").c_str());
  // A level too small for the data: today float64 output is every voxel
  // infinite, float32 fails after the work.
  const double smallest = zarvo::smallest_level(zc::read_image(path("in.nii"), "x").hi);
  refused(
      "denoise " + path("in.nii") + " " + path("out.nii") + " --sigma 1e-307 --datatype float64",
      "is too small for data as large as");
  refused("denoise " + path("in.nii") + " " + path("out.nii") + " --sigma 1e-305", "is too small");
  char just[40];
  std::snprintf(just, sizeof just, "%.17g", smallest * 1.0001);
  r = zarvo("denoise " + path("in.nii") + " " + path("out.nii") +
            " --quiet --datatype float64 "
            "--no-sidecar --profile fast --sigma " +
            just);
  ASSERT_EQ(r.status, 0) << r.err;
  const zc::Image out = zc::read_image(path("out.nii"), "out");  // refuses non-finite voxels
  EXPECT_EQ(out.shape(), "16x14x6");
  std::remove(path("out.nii").c_str());
  // All-negative magnitudes: today an all-zero output and exit 0.
  image(path("negative.nii"), ramp(-1));
  refused("denoise " + path("negative.nii") + " " + path("out.nii") + " --noise rician",
          "holds no positive value");
  // A level map beyond float32 with a noise map: today it fails after the
  // work, advising a --datatype that does not apply to maps.
  {
    int64_t dims[8] = {3, 16, 14, 6, 1, 1, 1, 1};
    zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT64, 1));
    for (int64_t i = 0; i < nim->nvox; ++i) static_cast<double*>(nim->data)[i] = 1e39;
    ASSERT_EQ(nifti_set_filenames(nim.get(), path("vast.nii").c_str(), 0, 1), 0);
    nifti_image_write(nim.get());
  }
  refused("denoise " + path("in.nii") + " " + path("out.nii") + " --noise rician --sigma-map " +
              path("vast.nii") + " --noise-map " + path("map.nii") + " --datatype float64",
          "data type does not apply to the noise map");
  // A level map too small for the data: today every voxel infinite, exit 0.
  {
    int64_t dims[8] = {3, 16, 14, 6, 1, 1, 1, 1};
    zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT64, 1));
    for (int64_t i = 0; i < nim->nvox; ++i) static_cast<double*>(nim->data)[i] = i % 2 ? 1e-307 : 0;
    ASSERT_EQ(nifti_set_filenames(nim.get(), path("faint.nii").c_str(), 0, 1), 0);
    nifti_image_write(nim.get());
  }
  refused("denoise " + path("in.nii") + " " + path("out.nii") + " --noise rician --sigma-map " +
              path("faint.nii") + " --datatype float64",
          "holds levels as small as 1e-307, too small");
  // An empty --sigma is not "estimate".
  refused("denoise " + path("in.nii") + " " + path("out.nii") + " --sigma ''",
          "an empty noise level", 2);
}

TEST_F(Safety, MasksAndMapsMustLieOnTheInputsGrid) {
  image(path("in.nii"), ramp());
  image(path("mask.nii"), {1.0});
  image(path("shifted-mask.nii"), {1.0}, 2.0);
  image(path("map.nii"), {5.0});
  image(path("shifted-map.nii"), {5.0}, 0.5);
  image(path("rounded-mask.nii"), {1.0}, 1e-6);  // float rounding of another tool
  refused(
      "denoise " + path("in.nii") + " " + path("out.nii") + " --mask " + path("shifted-mask.nii"),
      "mask '" + path("shifted-mask.nii") + "' lies elsewhere than the input");
  refused("denoise " + path("in.nii") + " " + path("out.nii") + " --noise rician --sigma-map " +
              path("shifted-map.nii"),
          "differ by up to 0.5 mm");
  for (const std::string& args :
       {"--mask " + path("mask.nii"), "--mask " + path("rounded-mask.nii"),
        "--noise rician --sigma-map " + path("map.nii")}) {
    const Outcome r = zarvo("denoise " + path("in.nii") + " " + path("out.nii") +
                            " --quiet "
                            "--profile fast --force --no-sidecar " +
                            args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
  }
}

TEST(SmallestLevel, FollowsTheDataAndNeverGoesBelowAnInvertibleUnit) {
  EXPECT_EQ(zarvo::smallest_level(std::ldexp(1.0, 10)), std::ldexp(1.0, -990));
  EXPECT_EQ(zarvo::smallest_level(0), std::ldexp(1.0, -1021));
  EXPECT_EQ(zarvo::smallest_level(-std::ldexp(1.0, 1000)), 1.0);
  zarvo::DenoiseOptions o;
  o.sigma = {1e-300};
  EXPECT_NE(zarvo::data_problem(o, 0, 1e3), "");
  EXPECT_EQ(zarvo::data_problem(o, 0, 1e-3), "");
  o.sigma = {1e-310};  // below any unit: refused by the engine's own check
  zarvo::Shape shape;
  shape.rows = shape.cols = shape.slices = 8;
  EXPECT_THROW(zarvo::check(shape, o), zarvo::Error);
  o.sigma.clear();
  o.noise = zarvo::Noise::rician;
  EXPECT_NE(zarvo::data_problem(o, -5, -1), "");
  EXPECT_EQ(zarvo::data_problem(o, 0, 0), "");
  EXPECT_EQ(zarvo::data_problem(o, -5, 1), "");
}
