// The SIMD loops of the filtering across components (across_kernels.h), on
// every instruction set this CPU runs: each gives, value for value, the bits
// of the plain loop it stands for (the gathered columns, every sum of a
// group's estimate), leaves what it must not touch alone (the columns past
// the components, the voxels of the other parts), and handles sizes that
// are no multiple of its vectors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "across_kernels.h"
#include "every_target.h"

namespace {

using zarvo::across::padded_components;

// Values of many magnitudes and both signs, zeros of both signs among them.
double draw(std::mt19937& gen) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> e(-40, 40);
  const int kind = static_cast<int>(gen() % 16);
  if (kind == 0) return 0.0;
  if (kind == 1) return -0.0;
  return std::ldexp(u(gen), e(gen));
}

bool same_bits(const void* a, const void* b, std::size_t bytes) {
  return std::memcmp(a, b, bytes) == 0;
}

TEST(AcrossKernels, GatherGivesEveryComponentOfEveryVoxelAsADoubleAndNoMore) {
  std::mt19937 gen(7);
  for (int n : {1, 3, 4, 5, 8, 22, 35}) {
    for (int M : {1, 7, 8, 13, 64, 200}) {
      const std::size_t stride = static_cast<std::size_t>(padded_components(n));
      const std::size_t places = 3 * static_cast<std::size_t>(M) + 5;
      std::vector<float> values(places * stride);
      for (float& v : values) v = static_cast<float>(draw(gen));
      std::vector<std::size_t> at(static_cast<std::size_t>(M));
      for (std::size_t& a : at) a = gen() % places;
      // Room for the columns of the padding too: they must stay as they were.
      std::vector<double> want(static_cast<std::size_t>(M) * (n + 4), 12345.0);
      for (int k = 0; k < n; ++k)
        for (int i = 0; i < M; ++i)
          want[static_cast<std::size_t>(k) * M + i] = values[at[i] * stride + k];
      on_every_target([&] {
        std::vector<double> got(want.size(), 12345.0);
        zarvo::across::gather_columns(values.data(), stride, at.data(), M, n, got.data());
        EXPECT_TRUE(same_bits(got.data(), want.data(), got.size() * sizeof(double)))
            << "n " << n << " M " << M;
      });
    }
  }
}

// A band of `slices` slices of rows x columns voxels and `n` components, a
// group of cubes of side `side` placed in it at random.
struct Case {
  int n, kept, side, cubes, parts;
  std::size_t rows = 12, columns = 10, slices = 6;
};

TEST(AcrossKernels, AddingAGroupGivesThePlainLoopsSumsOnItsOwnPartOnly) {
  std::mt19937 gen(11);
  const Case cases[] = {{22, 11, 4, 8, 2}, {5, 0, 4, 2, 1}, {3, 3, 3, 5, 3},
                        {35, 9, 2, 4, 2},  {8, 8, 4, 1, 1}, {17, 1, 5, 3, 2}};
  for (const Case& c : cases) {
    const int stride = padded_components(c.n);
    const std::size_t plane = c.rows * c.columns, places = plane * c.slices;
    const int M = c.cubes * c.side * c.side;
    // Runs of `side` voxels down a column, as a group's cube columns lie.
    std::vector<std::size_t> at;
    for (int r = 0; r < M / c.side; ++r) {
      const std::size_t row = gen() % (c.rows - c.side + 1);
      const std::size_t first = (gen() % (c.slices * c.columns)) * c.rows + row;
      for (int m = 0; m < c.side; ++m) at.push_back(first + m);
    }
    std::vector<double> coords(static_cast<std::size_t>(M) * c.kept);
    std::vector<double> axes(static_cast<std::size_t>(stride) * c.kept, 0.0);
    for (double& v : coords) v = draw(gen);
    for (int j = 0; j < c.kept; ++j)
      for (int k = 0; k < c.n; ++k) axes[static_cast<std::size_t>(j) * stride + k] = draw(gen);
    std::vector<float> sums0(places * stride);
    std::vector<double> weights0(places);
    for (float& v : sums0) v = static_cast<float>(draw(gen));
    for (double& v : weights0) v = std::fabs(draw(gen));
    const double weight = 0.37;
    // A window over a cube's voxels, positive as a Kaiser window is.
    const int window_len = c.side * c.side;
    std::vector<double> window(static_cast<std::size_t>(window_len));
    for (double& v : window) v = 0.25 + std::fabs(draw(gen)) / (1.0 + std::fabs(draw(gen)));
    std::vector<double> windowed0(places);
    for (double& v : windowed0) v = std::fabs(draw(gen));

    // No window, one from the third component (inside the first vector),
    // one from the tenth (past it).
    for (int from : {-1, 2, 9})
      for (int part = 0; part < c.parts; ++part) {
        // The plain loop, voxel after voxel (a voxel may come twice).
        std::vector<float> want = sums0;
        std::vector<double> want_weights = weights0, want_windowed = windowed0;
        for (int i = 0; i < M; ++i) {
          const std::size_t x = (at[i] % plane) / c.rows;
          if (static_cast<int>(x % c.parts) != part) continue;
          const double w = weight * window[static_cast<std::size_t>(i % window_len)];
          for (int k = 0; k < c.n; ++k) {
            double est = 0.0;
            for (int j = 0; j < c.kept; ++j)
              est += axes[static_cast<std::size_t>(j) * stride + k] * coords[j * M + i];
            float& s = want[at[i] * stride + k];
            s += static_cast<float>((from >= 0 && k >= from ? w : weight) * est);
          }
          want_weights[at[i]] += weight;
          if (from >= 0) want_windowed[at[i]] += w;
        }
        on_every_target([&] {
          std::vector<float> sums = sums0;
          std::vector<double> weights = weights0, windowed = windowed0;
          zarvo::across::GroupAddition a;
          a.coords = coords.data();
          a.axes = axes.data();
          a.M = M;
          a.kept = c.kept;
          a.stride = stride;
          a.run = c.side;
          a.at = at.data();
          a.plane = plane;
          a.rows = c.rows;
          a.part = part;
          a.parts = c.parts;
          a.weight = weight;
          a.sums = sums.data();
          a.weights = weights.data();
          if (from >= 0) {
            a.window = window.data();
            a.window_len = window_len;
            a.windowed_from = from;
            a.windowed = windowed.data();
          }
          zarvo::across::add_group(a);
          // The components only: the padding is the kernel's own.
          for (std::size_t p = 0; p < places; ++p)
            ASSERT_TRUE(same_bits(&sums[p * stride], &want[p * stride], c.n * sizeof(float)))
                << "n " << c.n << " kept " << c.kept << " part " << part << " place " << p
                << " window from " << from;
          EXPECT_TRUE(same_bits(weights.data(), want_weights.data(), places * sizeof(double)));
          EXPECT_TRUE(same_bits(windowed.data(), want_windowed.data(), places * sizeof(double)));
        });
      }
  }
}

TEST(AcrossKernels, NothingKeptStillAddsAPositiveZero) {
  // 0 added to -0 gives +0: a voxel reached by a group of no kept axis
  // changes its sign bit, as the plain loop does.
  const int stride = padded_components(3);
  std::vector<float> sums(static_cast<std::size_t>(stride), -0.0f);
  std::vector<double> weights(1, 0.0);
  const std::size_t at = 0;
  zarvo::across::GroupAddition a;
  a.M = 1;
  a.kept = 0;
  a.stride = stride;
  a.run = 1;
  a.at = &at;
  a.plane = 1;
  a.rows = 1;
  a.weight = 2.0;
  a.sums = sums.data();
  a.weights = weights.data();
  on_every_target([&] {
    std::fill(sums.begin(), sums.end(), -0.0f);
    weights[0] = 0.0;
    zarvo::across::add_group(a);
    for (int k = 0; k < 3; ++k) EXPECT_FALSE(std::signbit(sums[k]));
    EXPECT_EQ(weights[0], 2.0);
  });
}

}  // namespace
