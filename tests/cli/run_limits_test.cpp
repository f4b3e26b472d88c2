// The limits that come from the image and the machine, as a user meets
// them: a run that would not fit in memory refused before the filtering,
// naming the option to lower, with nothing written; a search half-width
// beyond the volume noted as the whole volume.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "io/nifti_io.h"
#include "support.h"

namespace zc = zarvo::cli;
using zarvo::test::slurp;

namespace {

class RunLimits : public zarvo::test::TempFolder {
 protected:
  void image(int nx, int ny, int nz) const {
    int64_t dims[8] = {3, nx, ny, nz, 1, 1, 1, 1};
    zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT32, 1));
    for (int64_t i = 0; i < nim->nvox; ++i)
      static_cast<float*>(nim->data)[i] = static_cast<float>(100 + (i * 7919 % 101) * 0.2);
    nifti_set_filenames(nim.get(), path("in.nii").c_str(), 0, 1);
    nifti_image_write(nim.get());
  }
};

TEST_F(RunLimits, ARunThatWouldNotFitIsRefusedBeforeTheWorkNamingTheOption) {
  if (zarvo::test::kSanitized) GTEST_SKIP() << "a sanitized command cannot run under ulimit -v";
  image(64, 64, 32);
  const std::string in = path("in.nii"), out = path("out.nii");
  const auto r = zarvo("denoise '" + in + "' '" + out +
                           "' --sigma 5 --threads 1 --cube 32 --depth 16 --group1 1024 "
                           "--group2 1024",
                       "ulimit -v 700000;");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("zarvo: error: --group1: the run needs about"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ulimit -v"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Hard"), std::string::npos) << "refused after the work began: " << r.err;
  EXPECT_TRUE(slurp(out).empty());
  EXPECT_TRUE(slurp(path("out.json")).empty());
}

TEST_F(RunLimits, ASearchBeyondTheVolumeIsNotedAndGivesTheWholeVolumesBits) {
  image(20, 18, 6);
  const std::string in = path("in.nii");
  const auto wide = zarvo("denoise '" + in + "' '" + path("wide.nii") +
                          "' --sigma 5 --cube 4 --depth 2 --search 1024 --no-sidecar");
  ASSERT_EQ(wide.status, 0) << wide.err;
  EXPECT_NE(wide.err.find("search half-width limited to 20"), std::string::npos) << wide.err;
  const auto whole = zarvo("denoise '" + in + "' '" + path("whole.nii") +
                           "' --sigma 5 --cube 4 --depth 2 --search 20 --no-sidecar");
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(whole.err.find("limited"), std::string::npos) << whole.err;
  EXPECT_EQ(slurp(path("wide.nii")), slurp(path("whole.nii")));
}

}  // namespace
