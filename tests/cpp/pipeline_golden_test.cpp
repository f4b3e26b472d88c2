// The engine's pipeline reproduces the committed reference outputs of the
// default two-stage denoiser bit for bit, on any number of threads.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "zarvo/pipeline.h"

namespace {

std::vector<double> read_f64(const std::string& name) {
  std::ifstream f(std::string(ZARVO_SOURCE_DIR) + "/tests/golden/" + name + ".f64",
                  std::ios::binary);
  std::vector<double> v;
  double x;
  while (f.read(reinterpret_cast<char*>(&x), sizeof x)) v.push_back(x);
  return v;
}

const zarvo::Shape shape{3, 20, 16, 10, 1};

}  // namespace

TEST(PipelineGolden, DefaultTwoStagesBothNoiseModels) {
  for (const char* model : {"gaussian", "rician"}) {
    const std::vector<double> noisy = read_f64(std::string("input_") + model);
    const std::vector<double> want = read_f64(std::string("pipeline_") + model);
    ASSERT_EQ(noisy.size(), shape.volume_voxels());
    ASSERT_EQ(want.size(), 2 * noisy.size());
    for (int threads : {1, 2}) {
      zarvo::DenoiseOptions o;
      o.noise = std::string(model) == "rician" ? zarvo::Noise::rician : zarvo::Noise::gaussian;
      o.noise_map = true;
      zarvo::RunContext context;
      context.threads = threads;
      std::vector<double> got;
      const zarvo::DenoiseReport r = zarvo::denoise(
          zarvo::series_input(zarvo::ArrayView::column_major(noisy.data(), shape)), o,
          [&](int, const double* e, const double* m) {
            got.assign(e, e + noisy.size());
            got.insert(got.end(), m, m + noisy.size());
          },
          context);
      EXPECT_EQ(got, want) << model << ", " << threads << " threads";
      ASSERT_EQ(r.volumes.size(), 1u);
      EXPECT_EQ(r.volumes[0].source, zarvo::SigmaSource::estimated);
    }
  }
}
