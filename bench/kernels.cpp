// The per-group kernels of the denoiser on the benchmark phantom with the
// default profile: block matching of one reference cube, the transforms of
// one group, and the stabilisation of one group.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/phantom.h"
#include "core/distances.h"
#include "core/product.h"
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

constexpr int window = 2 * h + 1;  // candidates per row, column and slice

// The distances of every candidate of one full window (11 x 11 x 11 cubes
// of 4 x 4 x 4), the part of block matching that the SIMD path speeds up.
struct Reference {
  std::vector<double> ref;
  std::vector<int> off;
  zarvo::detail::CubeDistance k;
};

const std::vector<Reference>& references() {
  static const std::vector<Reference> all = [] {
    const Volume& vol = volume();
    std::vector<Reference> v(4);
    for (int i = 0; i < 4; ++i) {
      const int* r = refs[i];
      Reference& e = v[i];
      const int first = zarvo::get_linear_index(r[0], r[1], r[2], vol.dims);
      for (int a = 0; a < nm1; ++a)
        for (int b = 0; b < nm1; ++b)
          for (int s = 0; s < nm3; ++s) {
            e.off.push_back(zarvo::get_linear_index(r[0] + a, r[1] + b, r[2] + s, vol.dims) -
                            first);
            e.ref.push_back(vol.v[first + e.off.back()]);
          }
      e.k.volume = vol.v.data();
      e.k.voxels = static_cast<std::ptrdiff_t>(vol.v.size());
      e.k.rows = vol.dims[0];
      e.k.plane = static_cast<std::ptrdiff_t>(vol.dims[0]) * vol.dims[1];
      e.k.cube_len = nm1 * nm1 * nm3;
      e.k.ref = e.ref.data();
      e.k.offsets = e.off.data();
    }
    return v;
  }();
  return all;
}

void distances(benchmark::State& state, bool simd) {
  const std::vector<Reference>& all = references();
  std::vector<double> out(zarvo::detail::row_block * window);
  int i = 0;
  for (auto _ : state) {
    const int* r = refs[i & 3];
    const zarvo::detail::CubeDistance& k = all[i++ & 3].k;
    for (int z = r[2] - h; z <= r[2] + h; ++z) {
      if (simd)
        zarvo::detail::block_distances_simd(k, r[0] - h, window, r[1] - h, window, z, out.data());
      else
        zarvo::detail::block_distances_scalar(k, r[0] - h, window, r[1] - h, window, z, out.data());
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * window * window * window);
  state.SetLabel(simd ? zarvo::detail::simd_target_name() : "scalar");
}
void BM_distances_scalar(benchmark::State& s) { distances(s, false); }
void BM_distances_simd(benchmark::State& s) { distances(s, true); }
BENCHMARK(BM_distances_scalar);
BENCHMARK(BM_distances_simd);

// grouping of one reference cube with the first stage's limit, through
// either path.
void grouping(benchmark::State& state, zarvo::MatchingPath path) {
  const Volume& vol = volume();
  const int nm2 = static_cast<int>(state.range(0));
  const double tau = 3.0 * sigma * sigma * nm1 * nm1 * nm3;
  std::vector<std::uint16_t> positions(3 * nm2);
  std::vector<double> work(zarvo::grouping_work_doubles(nm1, nm2, nm3, h));
  std::vector<int> ints(zarvo::grouping_work_ints(nm1, nm2, nm3, h));
  int L = 0, i = 0;
  for (auto _ : state) {
    const int* r = refs[i++ & 3];
    zarvo::grouping(vol.v.data(), 3, vol.dims, nm1, nm2, nm3, h, 0, tau, r[0], r[1], r[2],
                    positions.data(), &L, work.data(), ints.data(), path);
    benchmark::DoNotOptimize(L);
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_grouping_scalar(benchmark::State& s) { grouping(s, zarvo::MatchingPath::scalar); }
void BM_grouping_simd(benchmark::State& s) { grouping(s, zarvo::MatchingPath::simd); }
BENCHMARK(BM_grouping_scalar)->Arg(16)->Arg(32);
BENCHMARK(BM_grouping_simd)->Arg(16)->Arg(32);

// Forward and inverse transform of one group of L cubes (DCT cubes, Haar
// group), as the Rician stages call them.
struct GroupBuffers {
  int L;
  std::vector<double> T, T3, G, data, cubes, slice, tmp, cube_buf, cube_slices;
  zarvo::GroupProducts products;
  explicit GroupBuffers(int L_)
      : L(L_),
        T(nm1 * nm1),
        T3(nm3 * nm3),
        G(static_cast<std::size_t>(L_) * L_),
        data(static_cast<std::size_t>(nm1) * nm1 * nm3 * L_),
        cubes(data.size()),
        slice(nm1 * nm1),
        tmp(nm1 * nm1),
        cube_buf(nm1 * nm1 * nm3),
        cube_slices(cube_buf.size()),
        products(nm1, nm3, L_) {
    for (std::size_t i = 0; i < T.size(); ++i) T[i] = 0.1 * static_cast<double>(i % 7) - 0.3;
    for (std::size_t i = 0; i < T3.size(); ++i) T3[i] = 0.1 * static_cast<double>(i % 5) - 0.2;
    for (std::size_t i = 0; i < G.size(); ++i) G[i] = 0.05 * static_cast<double>(i % 9) - 0.2;
    const Volume& vol = volume();
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = vol.v[i * 37 % vol.v.size()];
  }
  void forward() {
    zarvo::forward_transformation(products, data.data(), cubes.data(), nm1, nm3, L, tmp.data(),
                                  cube_slices.data(), T.data(), T3.data(), G.data(), data.data());
  }
  void inverse() {
    zarvo::inverse_transformation(products, data.data(), cubes.data(), nm1, nm3, L, slice.data(),
                                  tmp.data(), cube_buf.data(), T.data(), T3.data(), G.data(),
                                  data.data());
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

// The inverse alone, as the Rician stages apply it to every filtered group
// when the volume was stabilised ahead.
void BM_inverse_stabilisation(benchmark::State& state) {
  const Shape shape{64, 64, 64};
  static const std::vector<double> mag = zarvo::bench::noisy_phantom(shape, sigma, true);
  const int K = 16 * nm1 * nm1 * nm3;
  std::vector<double> in(mag.begin() + 30000, mag.begin() + 30000 + K), mid(K), out(K);
  zarvo::vst::forward_stabilization(in.data(), K, sigma, mid.data());
  for (auto _ : state) {
    zarvo::vst::inverse_stabilization(mid.data(), K, sigma, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * K);
}
BENCHMARK(BM_inverse_stabilisation);

// The Rician noise level of one group of 16 cubes (adaptive mode).
void BM_rician_estimation(benchmark::State& state) {
  const Shape shape{64, 64, 64};
  static const std::vector<double> mag = zarvo::bench::noisy_phantom(shape, sigma, true);
  const int K = 16 * nm1 * nm1 * nm3;
  double level = 0;
  std::vector<double> scratch(static_cast<std::size_t>(K));
  for (auto _ : state) {
    zarvo::vst::estimate_rician_parameters(mag.data() + 30000, K, &level, scratch.data());
    benchmark::DoNotOptimize(level);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_rician_estimation);

}  // namespace

BENCHMARK_MAIN();
