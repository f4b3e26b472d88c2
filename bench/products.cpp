// The matrix products of the group transforms, exactly as the stages form
// them through mtimes (default profile: 4 x 4 x 4 cubes, groups of up to 32),
// and the whole forward and inverse transform of one group. The same program
// runs against every BLAS (see compare_blas.sh), so the numbers compare the
// libraries on the products that matter here.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "core/product.h"
#include "core/zarvo.h"

namespace {

std::vector<double> random_values(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(0.0, 1.0);
  std::vector<double> v(n);
  for (double& x : v) x = d(gen);
  return v;
}

// C (m x n) = op(A) op(B) with inner size k.
void product(benchmark::State& state, char ta, char tb, int m, int n, int k) {
  const auto A = random_values(static_cast<std::size_t>(m) * k, 1);
  const auto B = random_values(static_cast<std::size_t>(k) * n, 2);
  std::vector<double> C(static_cast<std::size_t>(m) * n);
  for (auto _ : state) {
    zarvo::mtimes(A.data(), ta, B.data(), tb, m, n, k, C.data());
    benchmark::DoNotOptimize(C.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// Slice steps: Tfor S, P Tfor' (forward), Tinv' S, Q Tinv (inverse).
void BM_slice_NN(benchmark::State& s) { product(s, 'N', 'N', 4, 4, 4); }
void BM_slice_NT(benchmark::State& s) { product(s, 'N', 'T', 4, 4, 4); }
void BM_slice_TN(benchmark::State& s) { product(s, 'T', 'N', 4, 4, 4); }
// Depth step of one cube: 16 x 4 by 4 x 4.
void BM_depth_NT(benchmark::State& s) { product(s, 'N', 'T', 16, 4, 4); }
void BM_depth_NN(benchmark::State& s) { product(s, 'N', 'N', 16, 4, 4); }
// Group step: 64 x L by L x L.
void BM_group_NT(benchmark::State& s) {
  const int L = static_cast<int>(s.range(0));
  product(s, 'N', 'T', 64, L, L);
}
void BM_group_NN(benchmark::State& s) {
  const int L = static_cast<int>(s.range(0));
  product(s, 'N', 'N', 64, L, L);
}

BENCHMARK(BM_slice_NN);
BENCHMARK(BM_slice_NT);
BENCHMARK(BM_slice_TN);
BENCHMARK(BM_depth_NT);
BENCHMARK(BM_depth_NN);
BENCHMARK(BM_group_NT)->RangeMultiplier(2)->Range(2, 32);
BENCHMARK(BM_group_NN)->RangeMultiplier(2)->Range(2, 32);

// Forward then inverse transform of one group of L cubes of 4 x 4 x 4: the
// products of one group of the Rician stages, and the same products as the
// Gaussian stages form.
void BM_group_round_trip(benchmark::State& state) {
  const int nm1 = 4, nm3 = 4, L = static_cast<int>(state.range(0));
  const std::size_t cube = nm1 * nm1 * nm3, group = cube * L;
  const auto T = random_values(nm1 * nm1, 3), T3 = random_values(nm3 * nm3, 4);
  const auto G = random_values(static_cast<std::size_t>(L) * L, 5);
  auto data = random_values(group, 6);
  std::vector<double> cubes(group), slice(nm1 * nm1), tmp(nm1 * nm1), cube_buf(cube),
      cube_slices(cube);
  const zarvo::GroupProducts products(nm1, nm3, L);
  for (auto _ : state) {
    zarvo::forward_transformation(products, data.data(), cubes.data(), nm1, nm3, L, tmp.data(),
                                  cube_slices.data(), T.data(), T3.data(), G.data(), data.data());
    zarvo::inverse_transformation(products, data.data(), cubes.data(), nm1, nm3, L, slice.data(),
                                  tmp.data(), cube_buf.data(), T.data(), T3.data(), G.data(),
                                  data.data());
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_group_round_trip)->Arg(16)->Arg(32);

}  // namespace

BENCHMARK_MAIN();
