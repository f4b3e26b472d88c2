// The residual step of the joint series mode: a local low-rank signal comes
// back and pure noise brings nothing, the levels whiten and are put back, the
// mask bounds the change, and the bits do not depend on the threads.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "series_residual.h"

namespace {

constexpr int R = 24, C = 24, S = 12, M = 40;
constexpr std::size_t V = std::size_t(R) * C * S;

// White noise of level 1 plus a block time course of `amplitude` in a ball
// of radius 5 voxels (an activation's shape); `inside` marks the ball.
zarvo::SeriesStore planted(double amplitude, unsigned seed, std::vector<bool>* inside = nullptr) {
  zarvo::SeriesStore s(V, M, 1);
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(0.0, 1.0);
  if (inside) inside->assign(V, false);
  for (int t = 0; t < M; ++t)
    for (std::size_t i = 0; i < V; ++i) {
      const int x = int(i % R) - 12, y = int(i / R % C) - 12, z = int(i / (R * C)) - 6;
      const bool ball = x * x + y * y + z * z <= 25;
      if (inside) (*inside)[i] = ball;
      s.volume(t)[i] = float((ball ? amplitude * ((t / 5) % 2 ? 1 : -1) : 0.0) + d(gen));
    }
  return s;
}

zarvo::SeriesStore restored(const zarvo::SeriesStore& residual, std::vector<double> levels,
                            int threads, const unsigned char* mask = nullptr, int rows = R,
                            int cols = C, int slices = S) {
  zarvo::SeriesStore out(residual.voxels(), residual.volumes(), 1);  // zeroed
  zarvo::restore_residual(residual, levels, out, rows, cols, slices, mask, zarvo::ResidualPatches(),
                          threads);
  return out;
}

TEST(SeriesResidual, LocalLowRankSignalComesBackPureNoiseBringsNothing) {
  std::vector<bool> ball;
  const std::vector<double> ones(M, 1.0);
  const zarvo::SeriesStore out = restored(planted(1.0, 7, &ball), ones, 2);
  double error = 0, kept = 0, outside = 0;
  std::size_t in = 0;
  for (int t = 0; t < M; ++t)
    for (std::size_t i = 0; i < V; ++i) {
      const double o = out.volume(t)[i], s = (t / 5) % 2 ? 1.0 : -1.0;
      if (ball[i]) {
        error += (o - s) * (o - s), kept += o * s, ++in;
      } else {
        outside += o * o;
      }
    }
  EXPECT_LT(std::sqrt(error / in), 0.5);  // the input's noise had level 1
  EXPECT_GT(kept / in, 0.7);              // the amplitude kept, not shrunk away
  EXPECT_LT(outside / (double(V) * M - in), 0.05);

  const zarvo::SeriesStore noise = restored(planted(0.0, 11), ones, 2);
  double energy = 0;
  for (int t = 0; t < M; ++t)
    for (std::size_t i = 0; i < V; ++i) energy += double(noise.volume(t)[i]) * noise.volume(t)[i];
  EXPECT_LT(energy / (double(V) * M), 0.01);
}

TEST(SeriesResidual, LevelsWhitenAndArePutBackMaskBoundsTheChange) {
  zarvo::SeriesStore residual = planted(0.6, 5);
  for (std::size_t i = 0; i < V; ++i) {
    residual.volume(0)[i] *= 0.25f;  // the estimate kept part of its noise
    residual.volume(1)[i] = 0.0f;    // passed through unchanged
  }
  std::vector<unsigned char> mask(V, 0);
  for (std::size_t i = 0; i < V; i += 2) mask[i] = 1;
  const std::vector<double> levels = zarvo::residual_levels(residual, mask.data());
  EXPECT_NEAR(levels[0], 0.25, 0.02);
  EXPECT_EQ(levels[1], 0.0);
  for (int t = 2; t < M; ++t) EXPECT_NEAR(levels[std::size_t(t)], 1.0, 0.08);

  const zarvo::SeriesStore out = restored(residual, levels, 2, mask.data());
  double energy0 = 0, energy2 = 0;
  for (std::size_t i = 0; i < V; ++i) {
    for (int t = 0; t < M; ++t) {
      if (mask[i] && t != 1) continue;
      ASSERT_EQ(out.volume(t)[i], 0.0f) << "volume " << t << " voxel " << i;
    }
    energy0 += double(out.volume(0)[i]) * out.volume(0)[i];
    energy2 += double(out.volume(2)[i]) * out.volume(2)[i];
  }
  // Volume 0's share comes back at its own scale: 0.25^2 of an unscaled one's.
  EXPECT_GT(energy2, 0.0);
  EXPECT_NEAR(energy0 / energy2, 0.0625, 0.03);
}

TEST(SeriesResidual, SameBitsOnAnyThreadCountAndVolumesSmallerThanAPatch) {
  const std::vector<double> ones(M, 1.0);
  const zarvo::SeriesStore one = restored(planted(1.0, 3), ones, 1);
  for (int threads : {2, 3}) {
    const zarvo::SeriesStore more = restored(planted(1.0, 3), ones, threads);
    for (int t = 0; t < M; ++t)
      for (std::size_t i = 0; i < V; ++i)
        ASSERT_EQ(one.volume(t)[i], more.volume(t)[i]) << threads << " threads, voxel " << i;
  }
  zarvo::SeriesStore tiny(12, 6, 1);
  for (int t = 0; t < 6; ++t)
    for (int i = 0; i < 12; ++i) tiny.volume(t)[i] = float(std::sin(3.0 * i + t));
  const zarvo::SeriesStore out = restored(tiny, std::vector<double>(6, 1.0), 2, nullptr, 4, 3, 1);
  for (int t = 0; t < 6; ++t)
    for (int i = 0; i < 12; ++i) EXPECT_TRUE(std::isfinite(out.volume(t)[i]));
}

}  // namespace
