// The shared symmetric eigensolver: right answers, and the same bits as a
// direct LAPACK call with the workspace length each caller has always used,
// whatever orders the same solver met before.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "lapack.h"

namespace {

using zarvo::blas_int;
using zarvo::SymmetricEigen;

std::vector<double> random_symmetric(int n, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal;
  std::vector<double> a(static_cast<std::size_t>(n) * n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) a[i + n * j] = a[j + n * i] = normal(random);
  return a;
}

struct Solved {
  std::vector<double> matrix, values;
};

// dsyevd called as the solver's callers used to call it themselves.
Solved direct(std::vector<double> a, int n, char jobz, char uplo, blas_int spare) {
  std::vector<double> w(static_cast<std::size_t>(n));
  const blas_int order = n, query = -1;
  double work_size = 0;
  blas_int iwork_size = 0, info = 0;
  dsyevd_(&jobz, &uplo, &order, a.data(), &order, w.data(), &work_size, &query, &iwork_size, &query,
          &info, 1, 1);
  blas_int lwork = static_cast<blas_int>(work_size) + spare, liwork = iwork_size;
  std::vector<double> work(static_cast<std::size_t>(lwork));
  std::vector<blas_int> iwork(static_cast<std::size_t>(liwork));
  dsyevd_(&jobz, &uplo, &order, a.data(), &order, w.data(), work.data(), &lwork, iwork.data(),
          &liwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  return {a, w};
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(SymmetricEigen, DecomposesTheMatrixWithAscendingValuesAndOrthonormalVectors) {
  for (const char uplo : {'L', 'U'}) {
    const int n = 9;
    const std::vector<double> a = random_symmetric(n, 3);
    std::vector<double> v = a, w(n);
    SymmetricEigen solver(true, uplo);
    ASSERT_TRUE(solver.solve(v.data(), n, w.data()));
    for (int k = 1; k < n; ++k) EXPECT_LE(w[k - 1], w[k]);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        double rebuilt = 0, dot = 0;
        for (int k = 0; k < n; ++k) {
          rebuilt += v[i + n * k] * w[k] * v[j + n * k];
          dot += v[k + n * i] * v[k + n * j];
        }
        EXPECT_NEAR(rebuilt, a[i + n * j], 1e-12) << uplo << " " << i << "," << j;
        EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-12);
      }
    // Values only: the same spectrum.
    std::vector<double> only = a, w_only(n);
    SymmetricEigen values(false, uplo);
    ASSERT_TRUE(values.solve(only.data(), n, w_only.data()));
    for (int k = 0; k < n; ++k) EXPECT_NEAR(w_only[k], w[k], 1e-12);
  }
}

// Orders 66 and 77 are where one double more of workspace changes LAPACK's
// blocking, and with it the last bits (Debian 12's OpenBLAS); 80 first, so that the workspace the
// solver holds is longer than what the smaller orders asked for.
TEST(SymmetricEigen, KeepsTheBitsOfADirectCallWithTheCallersWorkspace) {
  for (const blas_int spare : {0, 1})
    for (const bool vectors : {true, false})
      for (const char uplo : {'L', 'U'}) {
        SymmetricEigen solver(vectors, uplo, spare);
        for (const int n : {80, 66, 77, 5, 66, 1}) {
          const std::vector<double> a = random_symmetric(n, static_cast<unsigned>(n));
          const Solved want = direct(a, n, vectors ? 'V' : 'N', uplo, spare);
          Solved got{a, std::vector<double>(static_cast<std::size_t>(n))};
          ASSERT_TRUE(solver.solve(got.matrix.data(), n, got.values.data()));
          EXPECT_TRUE(same_bits(got.values, want.values))
              << "order " << n << " spare " << spare << " uplo " << uplo;
          if (vectors) {
            EXPECT_TRUE(same_bits(got.matrix, want.matrix))
                << "order " << n << " spare " << spare << " uplo " << uplo;
          }
        }
      }
}

}  // namespace
