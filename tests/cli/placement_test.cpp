// Masks whose header places them elsewhere than the input, through the
// command as a user runs it: refused by default, taken voxel for voxel with
// --allow-affine-mismatch (and a note naming the difference), and header
// rounding never mistaken for a mismatch. (Level maps take the same path:
// the Python tests run them.)
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "io/nifti_io.h"
#include "support.h"

namespace zc = zarvo::cli;
using zarvo::test::Outcome;
using zarvo::test::slurp;

namespace {

constexpr int nx = 16, ny = 14, nz = 6;

// How a file states its place: the sform, or only the qform (rebuilt from a
// float32 quaternion on reading), in NIfTI-1 (float32 affine) or NIfTI-2.
enum class Header { sform1, sform2, qform1 };

class Placement : public zarvo::test::TempFolder {
 protected:
  // A float32 volume whose voxel-to-world affine is `m` (rows x, y, z):
  // `fill` everywhere, a mask of the lower half of x for -1, a ramp for 0.
  void write(const std::string& file, double fill, const double (&m)[3][4],
             Header header = Header::sform1) const {
    int64_t dims[8] = {3, nx, ny, nz, 1, 1, 1, 1};
    zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT32, 1));
    for (int64_t i = 0; i < nim->nvox; ++i)
      static_cast<float*>(nim->data)[i] =
          fill < 0    ? (i % nx < nx / 2 ? 1.0f : 0.0f)
          : fill != 0 ? static_cast<float>(fill)
                      : static_cast<float>(100 + i * 37 % 101 + 20 * std::sin(0.3 * i));
    nifti_dmat44 a{};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) a.m[r][c] = m[r][c];
    a.m[3][3] = 1;
    if (header == Header::qform1) {
      nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
      nim->sform_code = 0;
      nifti_dmat44_to_quatern(a, &nim->quatern_b, &nim->quatern_c, &nim->quatern_d, &nim->qoffset_x,
                              &nim->qoffset_y, &nim->qoffset_z, &nim->dx, &nim->dy, &nim->dz,
                              &nim->qfac);
      nim->pixdim[0] = nim->qfac;
      nim->pixdim[1] = nim->dx, nim->pixdim[2] = nim->dy, nim->pixdim[3] = nim->dz;
    } else {
      nim->sform_code = NIFTI_XFORM_SCANNER_ANAT;
      nim->qform_code = 0;
      nim->sto_xyz = a;
    }
    if (header == Header::sform2) nim->nifti_type = NIFTI_FTYPE_NIFTI2_1;
    ASSERT_EQ(nifti_set_filenames(nim.get(), file.c_str(), 0, 1), 0);
    nifti_image_write(nim.get());
  }

  Outcome denoise(const std::string& out, const std::string& args) const {
    return zarvo("denoise " + path("in.nii") + " " + path(out) +
                 " --profile fast --no-sidecar --sigma 5 " + args);
  }
};

// 2 mm voxels, rotated by 30 degrees about z, placed as a scanner would.
void scanner(double (&m)[3][4], double shift = 0) {
  const double c = 2 * std::cos(0.5236), s = 2 * std::sin(0.5236);
  const double rows[3][4] = {{c, -s, 0, -101.7 + shift}, {s, c, 0, 88.25}, {0, 0, 2, -43.4}};
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k) m[r][k] = rows[r][k];
}

TEST_F(Placement, AMismatchIsRefusedUnlessAllowedThenTakenVoxelForVoxelWithANote) {
  double here[3][4], there[3][4];
  scanner(here);
  scanner(there, 3.0);
  write(path("in.nii"), 0, here);
  write(path("mask.nii"), -1, here);
  write(path("moved-mask.nii"), -1, there);

  const Outcome refused = denoise("out.nii", "--mask " + path("moved-mask.nii"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("lies elsewhere than the input"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("--allow-affine-mismatch"), std::string::npos) << refused.err;
  EXPECT_EQ(slurp(path("out.nii")), "");

  // Allowed: the same output as a mask placed like the input, and a note.
  ASSERT_EQ(denoise("placed.nii", "--quiet --mask " + path("mask.nii")).status, 0);
  ASSERT_EQ(denoise("whole.nii", "--quiet").status, 0);
  ASSERT_NE(slurp(path("whole.nii")), slurp(path("placed.nii")));  // the mask matters
  const Outcome taken =
      denoise("taken.nii", "--allow-affine-mismatch --mask " + path("moved-mask.nii"));
  ASSERT_EQ(taken.status, 0) << taken.err;
  EXPECT_NE(taken.err.find("mask '" + path("moved-mask.nii") +
                           "' is taken voxel for voxel although its voxel-to-world affine "
                           "differs from the input's by up to 3 mm"),
            std::string::npos)
      << taken.err;
  EXPECT_EQ(slurp(path("taken.nii")), slurp(path("placed.nii")));
}

TEST_F(Placement, HeaderRoundingIsNoMismatch) {
  // NIfTI-2 keeps the affine in double: the input far from the origin with
  // small voxels, a mask 1e-5 mm away (a float32 rounding of the offset).
  const double fine[3][4] = {{0.05, 0, 0, 150.3}, {0, 0.05, 0, -150}, {0, 0, 0.05, 80}};
  const double rounded[3][4] = {{0.05, 0, 0, 150.30001}, {0, 0.05, 0, -150}, {0, 0, 0.05, 80}};
  const double off[3][4] = {{0.05, 0, 0, 150.301}, {0, 0.05, 0, -150}, {0, 0, 0.05, 80}};
  write(path("in.nii"), 0, fine, Header::sform2);
  write(path("rounded.nii"), 1, rounded, Header::sform2);
  write(path("single.nii"), 1, fine, Header::sform1);
  write(path("off.nii"), 1, off, Header::sform2);
  for (const char* mask : {"rounded.nii", "single.nii"}) {
    const Outcome r = denoise("out.nii", "--force --mask " + path(mask));
    EXPECT_EQ(r.status, 0) << mask << "\n" << r.err;
    EXPECT_EQ(r.err.find("voxel for voxel"), std::string::npos) << r.err;
  }
  // A fiftieth of a voxel is a mismatch, small as it is in mm.
  EXPECT_EQ(denoise("off-out.nii", "--mask " + path("off.nii")).status, 1);

  // An sform against a qform rebuilt from its quaternion: the same place.
  double here[3][4];
  scanner(here);
  write(path("in.nii"), 0, here);
  write(path("qform-mask.nii"), 1, here, Header::qform1);
  const Outcome q = denoise("q.nii", "--mask " + path("qform-mask.nii"));
  EXPECT_EQ(q.status, 0) << q.err;
  EXPECT_EQ(q.err.find("voxel for voxel"), std::string::npos) << q.err;
}

}  // namespace
