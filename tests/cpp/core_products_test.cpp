// dgemm_ as the engine links it: small products through cached
// kernels (a transposed first factor copied), the rest through the system
// BLAS. Integer entries keep every product exact, so any kernel must match
// the triple loop bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "core/blas.h"

namespace {

struct Case {
  char ta, tb;
  int m, n, k, pad;  // pad: extra rows in every leading dimension
  double alpha, beta;
};

// Runs one product through dgemm_ and returns how many entries of C differ
// from the triple loop; the padding rows of C must stay untouched.
int mismatches(const Case& c, std::mt19937& rng) {
  const int ar = (c.ta == 'N' ? c.m : c.k) + c.pad, ac = c.ta == 'N' ? c.k : c.m;
  const int br = (c.tb == 'N' ? c.k : c.n) + c.pad, bc = c.tb == 'N' ? c.n : c.k;
  const int cr = c.m + c.pad;
  std::vector<double> A(static_cast<std::size_t>(ar) * ac), B(static_cast<std::size_t>(br) * bc),
      C(static_cast<std::size_t>(cr) * c.n);
  for (double& x : A) x = static_cast<int>(rng() % 15) - 7;
  for (double& x : B) x = static_cast<int>(rng() % 15) - 7;
  for (double& x : C) x = static_cast<int>(rng() % 15) - 7;
  std::vector<double> want = C;
  for (int i = 0; i < c.m; ++i)
    for (int j = 0; j < c.n; ++j) {
      double sum = 0.0;
      for (int l = 0; l < c.k; ++l)
        sum += (c.ta == 'N' ? A[i + ar * l] : A[l + ar * i]) *
               (c.tb == 'N' ? B[l + br * j] : B[j + br * l]);
      double& w = want[i + cr * static_cast<std::size_t>(j)];
      w = c.alpha * sum + (c.beta == 0.0 ? 0.0 : c.beta * w);
    }
  const zarvo::blas_int m = c.m, n = c.n, k = c.k, lda = ar, ldb = br, ldc = cr;
  ZARVO_DGEMM(&c.ta, &c.tb, &m, &n, &k, &c.alpha, A.data(), &lda, B.data(), &ldb, &c.beta, C.data(),
              &ldc, 1, 1);
  int bad = 0;
  for (std::size_t i = 0; i < C.size(); ++i) bad += C[i] != want[i];
  return bad;
}

// Shapes of the transforms (slices, depth, group products), shapes sharing a
// kernel-table slot, padded leading dimensions, alpha and beta other than 1
// and 0, and products too large for a kernel (the system BLAS's).
std::vector<Case> cases() {
  std::vector<Case> all;
  for (char ta : {'N', 'T'})
    for (char tb : {'N', 'T'})
      for (int s : {1, 2, 3, 4, 5, 8})
        for (const Case& base :
             {Case{ta, tb, s, s, s, 0, 1.0, 0.0}, Case{ta, tb, s * s, s, s, 0, 1.0, 0.0},
              Case{ta, tb, 64, 2 * s, 2 * s, 0, 1.0, 0.0},
              Case{ta, tb, s + 1, s + 2, s, 0, 1.0, 0.0}}) {
          // the same sizes again with padding, then with other scalars
          all.push_back(base);
          Case padded = base, scaled = base;
          padded.pad = 3;
          scaled.alpha = 2.0;
          scaled.beta = 0.5;
          all.push_back(padded);
          all.push_back(scaled);
        }
  for (char ta : {'N', 'T'}) {
    all.push_back({ta, 'T', 70, 70, 70, 0, 1.0, 0.0});  // beyond the kernels' size
    all.push_back({ta, 'N', 80, 2, 60, 1, 1.0, 1.0});   // transposed factor too big to copy
  }
  return all;
}

TEST(CoreProducts, EveryShapeAndTranspositionIsExact) {
  std::mt19937 rng(11);
  const std::vector<Case> all = cases();
  for (int round = 0; round < 3; ++round)  // later rounds find their kernels cached
    for (const Case& c : all)
      EXPECT_EQ(mismatches(c, rng), 0) << c.ta << c.tb << " " << c.m << "x" << c.n << "x" << c.k
                                       << " pad " << c.pad << " round " << round;
}

TEST(CoreProducts, ThreadsWithTheirOwnKernelsStayExact) {
  const std::vector<Case> all = cases();
  std::vector<int> bad(3, 0);
  std::vector<std::thread> pool;
  for (int t = 0; t < 3; ++t)
    pool.emplace_back([&, t] {
      std::mt19937 rng(100 + t);
      for (int round = 0; round < 20; ++round)
        for (std::size_t i = t; i < all.size(); i += 2) bad[t] += mismatches(all[i], rng);
    });
  for (auto& th : pool) th.join();
  EXPECT_EQ(bad, std::vector<int>(3, 0));
}

}  // namespace
