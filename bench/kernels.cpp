// The per-group kernels of the denoiser on the benchmark phantom with the
// default profile: block matching of one reference cube, the transforms of
// one group, and the stabilisation of one group.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/phantom.h"
#include "core/zarvo.h"
#include "vst/vst.h"

namespace {

using zarvo::bench::Shape;

constexpr int nm1 = 4, nm3 = 4, h = 5;
constexpr double sigma = 5.0;

struct Volume {
  Shape shape{64, 64, 64};
  int dims[3] = {64, 64, 64};
  std::vector<double> v = zarvo::bench::noisy_phantom(shape, sigma, false);
};

const Volume& volume() {
  static const Volume vol;
  return vol;
}

// Reference cubes inside the head, where the window is full.
constexpr int refs[][3] = {{30, 30, 30}, {20, 40, 33}, {41, 22, 28}, {33, 35, 19}};

// grouping of one reference cube with the first stage's limit and group size.
void BM_grouping(benchmark::State& state) {
  const Volume& vol = volume();
  const int nm2 = static_cast<int>(state.range(0));
  const double tau = 3.0 * sigma * sigma * nm1 * nm1 * nm3;
  std::vector<std::uint16_t> positions(3 * nm2);
  int L = 0, i = 0;
  for (auto _ : state) {
    const int* r = refs[i++ & 3];
    zarvo::grouping(vol.v.data(), 3, vol.dims, nm1, nm2, nm3, h, 0, tau, r[0], r[1], r[2],
                    positions.data(), &L);
    benchmark::DoNotOptimize(L);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["candidates/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 1330,
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_grouping)->Arg(16)->Arg(32);

// Forward and inverse transform of one group of L cubes (DCT cubes, Haar
// group), as the Rician stages call them.
struct GroupBuffers {
  int L;
  std::vector<double> T, T3, G, data, cubes, slice, tmp, cube_buf, cube_slices;
  explicit GroupBuffers(int L_)
      : L(L_), T(nm1 * nm1), T3(nm3 * nm3), G(static_cast<std::size_t>(L_) * L_),
        data(static_cast<std::size_t>(nm1) * nm1 * nm3 * L_), cubes(data.size()),
        slice(nm1 * nm1), tmp(nm1 * nm1), cube_buf(nm1 * nm1 * nm3), cube_slices(cube_buf.size()) {
    for (std::size_t i = 0; i < T.size(); ++i) T[i] = 0.1 * static_cast<double>(i % 7) - 0.3;
    for (std::size_t i = 0; i < T3.size(); ++i) T3[i] = 0.1 * static_cast<double>(i % 5) - 0.2;
    for (std::size_t i = 0; i < G.size(); ++i) G[i] = 0.05 * static_cast<double>(i % 9) - 0.2;
    const Volume& vol = volume();
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = vol.v[i * 37 % vol.v.size()];
  }
  void forward() {
    zarvo::forward_transformation(data.data(), cubes.data(), nm1, nm3, L, slice.data(),
                                  tmp.data(), cube_buf.data(), cube_slices.data(), T.data(),
                                  T3.data(), G.data(), data.data());
  }
  void inverse() {
    zarvo::inverse_transformation(data.data(), cubes.data(), nm1, nm3, L, slice.data(),
                                  tmp.data(), cube_buf.data(), cube_slices.data(), T.data(),
                                  T3.data(), G.data(), data.data());
  }
};

void BM_forward_transformation(benchmark::State& state) {
  GroupBuffers b(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    b.forward();
    benchmark::DoNotOptimize(b.data.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_forward_transformation)->Arg(16)->Arg(32);

void BM_inverse_transformation(benchmark::State& state) {
  GroupBuffers b(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    b.inverse();
    benchmark::DoNotOptimize(b.data.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_inverse_transformation)->Arg(16)->Arg(32);

// Forward and inverse stabilisation of one group of 16 cubes of Rician
// magnitudes.
void BM_stabilisation(benchmark::State& state) {
  const Shape shape{64, 64, 64};
  static const std::vector<double> mag = zarvo::bench::noisy_phantom(shape, sigma, true);
  const int K = 16 * nm1 * nm1 * nm3;
  std::vector<double> in(mag.begin() + 30000, mag.begin() + 30000 + K), mid(K), out(K);
  for (auto _ : state) {
    zarvo::vst::forward_stabilization(in.data(), K, sigma, mid.data());
    zarvo::vst::inverse_stabilization(mid.data(), K, sigma, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_stabilisation);

// The Rician noise level of one group of 16 cubes (adaptive mode).
void BM_rician_estimation(benchmark::State& state) {
  const Shape shape{64, 64, 64};
  static const std::vector<double> mag = zarvo::bench::noisy_phantom(shape, sigma, true);
  const int K = 16 * nm1 * nm1 * nm3;
  double level = 0;
  for (auto _ : state) {
    zarvo::vst::estimate_rician_parameters(mag.data() + 30000, K, &level);
    benchmark::DoNotOptimize(level);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_rician_estimation);

}  // namespace

BENCHMARK_MAIN();
