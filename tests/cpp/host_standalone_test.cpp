// The stand-alone host: the call boundary, memory release, outputs and
// errors, as the plug-ins rely on them.
#include <gtest/gtest.h>

#include "host/standalone/call.h"

namespace sa = zarvo::standalone;

namespace {

void allocate_and_return(int nlhs, mxArray* plhs[], int, const mxArray* prhs[]) {
  for (int i = 0; i < 10; ++i) mxMalloc(1000);
  void* freed = mxMalloc(8);
  mxFree(freed);
  mxCreateDoubleMatrix(3, 3, mxREAL);  // created and never returned
  const double* in = mxGetPr(prhs[0]);
  mxArray* out = mxCreateDoubleMatrix(1, 2, mxREAL);
  mxGetPr(out)[0] = in[0] * 2;
  mxGetPr(out)[1] = double(nlhs);
  plhs[0] = out;
}

void allocate_and_fail(int, mxArray* plhs[], int, const mxArray*[]) {
  for (int i = 0; i < 10; ++i) mxMalloc(1000);
  plhs[0] = mxCreateDoubleMatrix(2, 2, mxREAL);
  mexErrMsgIdAndTxt("zarvo:test", "failed after %d blocks", 10);
}

void fail_without_id(int, mxArray*[], int, const mxArray*[]) { mexErrMsgTxt("plain message"); }

}  // namespace

TEST(StandaloneHost, ReturnsOutputsAndReleasesEveryBlock) {
  const std::size_t before = sa::live_blocks();
  sa::Array x = sa::make_scalar(21);
  sa::CallResult r = sa::call(allocate_and_return, {x.get()}, 1);
  ASSERT_TRUE(r.ok) << r.message;
  ASSERT_EQ(r.outputs.size(), 1u);
  EXPECT_EQ(sa::values(r.outputs[0].get()), (std::vector<double>{42, 1}));
  EXPECT_EQ(sa::live_blocks(), before);
  EXPECT_EQ(sa::values(x.get()), std::vector<double>{21});
}

TEST(StandaloneHost, ErrorExitDeliversMessageAndReleasesEverything) {
  const std::size_t before = sa::live_blocks();
  sa::CallResult r = sa::call(allocate_and_fail, {}, 2);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error_id, "zarvo:test");
  EXPECT_EQ(r.message, "failed after 10 blocks");
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(sa::live_blocks(), before);

  r = sa::call(fail_without_id, {}, 1);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error_id, "");
  EXPECT_EQ(r.message, "plain message");
}

TEST(StandaloneHost, ArraysKeepMexShapeRules) {
  sa::Array a = sa::make_array({4, 3, 1});
  EXPECT_EQ(mxGetNumberOfDimensions(a.get()), 2u) << "trailing singleton dropped";
  sa::Array b = sa::make_array({4, 3, 2}, std::vector<double>(24, 1.5));
  EXPECT_EQ(mxGetNumberOfDimensions(b.get()), 3u);
  EXPECT_EQ(mxGetNumberOfElements(b.get()), 24u);
  EXPECT_EQ(mxGetN(b.get()), 6u);
  EXPECT_THROW(sa::make_array({2, 2}, {1, 2, 3}), std::invalid_argument);
  sa::Array c = sa::make_cell({});
  EXPECT_TRUE(mxIsCell(c.get()));
  sa::Array s = sa::make_string("abc");
  EXPECT_TRUE(mxIsChar(s.get()));
  EXPECT_FALSE(mxIsDouble(s.get()));
  EXPECT_EQ(mxGetEps(), 0x1p-52);
}
