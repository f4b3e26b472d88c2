// Matrix products through BLAS and the separable group transforms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/product.h"
#include "core/zarvo.h"
#include "every_target.h"

namespace {

using Mat = std::vector<double>;  // column-major

TEST(CoreTransforms, MtimesAllTranspositionsOnRectangularFactors) {
  const int m = 3, n = 4, k = 5;
  std::mt19937 rng(7);
  for (char ta : {'N', 'T', 't'})
    for (char tb : {'N', 'T', 't'}) {
      Mat A(m * k), B(k * n), C(m * n, NAN);  // the old content of C must not matter
      for (double& x : A) x = static_cast<int>(rng() % 19) - 9;  // integers: exact products
      for (double& x : B) x = static_cast<int>(rng() % 19) - 9;
      zarvo::mtimes(A.data(), ta, B.data(), tb, m, n, k, C.data());
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) {
          double want = 0.0;
          for (int l = 0; l < k; ++l)
            want += (ta == 'N' ? A[i + m * l] : A[l + k * i]) *
                    (tb == 'N' ? B[l + k * j] : B[j + n * l]);
          EXPECT_EQ(C[i + m * j], want) << ta << tb << " (" << i << ", " << j << ")";
        }
    }
}

struct Sizes {
  int nm1, nm3, L;
  int cube() const { return nm1 * nm1 * nm3; }
  int at(int a, int b, int d, int i) const { return a + nm1 * b + nm1 * nm1 * d + cube() * i; }
};
struct Mats {
  Mat T, T3, G;
};

// Runs the forward or inverse transform with NaN-filled scratch; `side`
// receives the second parameter's block. `out` may be `in` itself (the
// inverse uses its input as scratch: it runs on a copy unless `out` is `in`),
// or the side block (`out` null).
void transform(bool fwd, const Sizes& s, const double* in, const Mats& m, double* out, Mat* side) {
  Mat slice(s.nm1 * s.nm1, NAN), tmp = slice, cube(s.cube(), NAN), cube_slices = cube;
  side->assign(s.cube() * s.L, NAN);
  if (!out) out = side->data();
  const zarvo::GroupProducts p(s.nm1, s.nm3, s.L);
  if (fwd) {
    zarvo::forward_transformation(p, in, side->data(), s.nm1, s.nm3, s.L, tmp.data(),
                                  cube_slices.data(), m.T.data(), m.T3.data(), m.G.data(), out);
  } else {
    Mat copy(in, in + s.cube() * s.L);
    double* spectrum = in == out ? out : copy.data();
    zarvo::inverse_transformation(p, spectrum, side->data(), s.nm1, s.nm3, s.L, slice.data(),
                                  tmp.data(), cube.data(), m.T.data(), m.T3.data(), m.G.data(),
                                  out);
  }
}

// out(u, v, w, g) = sum T(u, a) T(v, b) T3(w, d) G(g, i) in(a, b, d, i), or with
// every matrix transposed.
Mat separable(const Sizes& s, const Mat& in, const Mats& m, bool transposed) {
  auto el = [&](const Mat& M, int n, int r, int c) {
    return transposed ? M[c + n * r] : M[r + n * c];
  };
  Mat out(in.size());
  for (int u = 0; u < s.nm1; ++u)
    for (int v = 0; v < s.nm1; ++v)
      for (int w = 0; w < s.nm3; ++w)
        for (int g = 0; g < s.L; ++g) {
          double sum = 0.0;
          for (int a = 0; a < s.nm1; ++a)
            for (int b = 0; b < s.nm1; ++b)
              for (int d = 0; d < s.nm3; ++d)
                for (int i = 0; i < s.L; ++i)
                  sum += el(m.T, s.nm1, u, a) * el(m.T, s.nm1, v, b) * el(m.T3, s.nm3, w, d) *
                         el(m.G, s.L, g, i) * in[s.at(a, b, d, i)];
          out[s.at(u, v, w, g)] = sum;
        }
  return out;
}

Mat identity(int n) {
  Mat I(n * n, 0.0);
  for (int i = 0; i < n; ++i) I[i + n * i] = 1.0;
  return I;
}

// Orthonormal DCT-II of order n, basis vectors in the rows.
Mat dct(int n) {
  Mat T(n * n);
  for (int u = 0; u < n; ++u)
    for (int a = 0; a < n; ++a)
      T[u + n * a] = std::sqrt((u ? 2.0 : 1.0) / n) * std::cos(M_PI * (2 * a + 1) * u / (2.0 * n));
  return T;
}

Mat random(std::mt19937& rng, int count) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Mat M(count);
  for (double& x : M) x = u(rng);
  return M;
}

void expect_near(const Mat& got, const Mat& want, const char* what) {
  for (std::size_t i = 0; i < want.size(); ++i)
    ASSERT_NEAR(got[i], want[i], 1e-12) << what << " " << i;
}

const Sizes kSizes[] = {{1, 1, 1}, {2, 1, 1}, {1, 3, 2}, {3, 2, 4}, {4, 3, 2}, {2, 2, 8}};

TEST(CoreTransforms, CoefficientsAndSideBlocks) {
  std::mt19937 rng(11);  // random non-symmetric matrices expose any swapped index
  for (const Sizes& s : kSizes) {
    const Mat group = random(rng, s.cube() * s.L);
    const Mats m{random(rng, s.nm1 * s.nm1), random(rng, s.nm3 * s.nm3), random(rng, s.L * s.L)};
    Mat out(group.size()), side;
    transform(true, s, group.data(), m, out.data(), &side);
    expect_near(out, separable(s, group, m, false), "forward");
    expect_near(side, separable(s, group, {m.T, m.T3, identity(s.L)}, false), "forward side");
    transform(false, s, group.data(), m, out.data(), &side);
    expect_near(out, separable(s, group, m, true), "inverse");

    // In place, and the inverse into its side block (which takes the slices
    // one product at a time): bit for bit the result of separate blocks.
    for (bool fwd : {true, false}) {
      Mat in_place = group, side2;
      transform(fwd, s, group.data(), m, out.data(), &side);
      transform(fwd, s, in_place.data(), m, in_place.data(), &side2);
      EXPECT_EQ(in_place, out) << (fwd ? "forward" : "inverse") << " in place";
    }
    Mat into_side;
    transform(false, s, group.data(), m, nullptr, &into_side);
    EXPECT_EQ(into_side, out) << "inverse into its side block";
  }
}

TEST(CoreTransforms, OrthonormalRoundTrip) {
  std::mt19937 rng(5);
  for (const Sizes& s : kSizes) {
    const Mat group = random(rng, s.cube() * s.L);
    const Mats m{dct(s.nm1), dct(s.nm3), dct(s.L)};  // the inverse uses the same matrices
    Mat spectrum(group.size()), back(group.size()), side;
    transform(true, s, group.data(), m, spectrum.data(), &side);
    transform(false, s, spectrum.data(), m, back.data(), &side);
    expect_near(back, group, "round trip");
    double sum = 0.0;
    for (double x : group) sum += x;
    EXPECT_NEAR(spectrum[0], sum / std::sqrt(static_cast<double>(group.size())), 1e-12);  // DC
  }
}

// Where the CPU has them, the whole-cube kernels replace the per-slice
// products of 4 x 4 slices, and give their bits: on values of every
// magnitude, zeros of both signs and whole zero cubes, at every depth they
// take and on every instruction set.
TEST(CoreTransforms, CubeKernelsGiveTheProductsBits) {
  on_every_target([] {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-40, 40);
    const auto value = [&](int i) {
      if (i % 11 == 5) return i % 2 ? -0.0 : 0.0;
      return std::ldexp(unit(rng), exponent(rng));
    };
    for (int depth = 1; depth <= zarvo::detail::cube_kernels_max_depth; ++depth) {
      SCOPED_TRACE(depth);
      const Sizes s{4, depth, 8};
      zarvo::GroupProducts fused(4, depth, s.L);
      const bool available = zarvo::detail::cube_kernels(depth).forward != nullptr;
      if (fused.slice.direct() && available) {
        ASSERT_NE(fused.cube_forward, nullptr);
        ASSERT_NE(fused.cube_inverse, nullptr);
      }
      if (!fused.cube_forward) continue;
      zarvo::GroupProducts products = fused;
      products.cube_forward = products.cube_inverse = nullptr;

      Mat group(s.cube() * s.L), T(16), T3(depth * depth);
      for (std::size_t i = 0; i < group.size(); ++i)
        group[i] = i < static_cast<std::size_t>(s.cube()) ? 0.0 : value(static_cast<int>(i));
      for (int i = 0; i < 16; ++i) T[i] = value(i + 1);
      for (int i = 0; i < depth * depth; ++i) T3[i] = value(i + 1);
      for (bool fwd : {true, false}) {
        Mat want(group.size()), got(group.size());
        std::vector<Mat> scratch(2, Mat(s.cube() * s.L, NAN));
        Mat slice(16, NAN), tmp(16, NAN), cube(s.cube(), NAN), cube_slices(s.cube(), NAN);
        const Mat G = identity(s.L);
        for (int pass = 0; pass < 2; ++pass) {
          const zarvo::GroupProducts& p = pass == 0 ? products : fused;
          Mat& out = pass == 0 ? want : got;
          Mat in = group;
          if (fwd) {
            zarvo::forward_transformation(p, in.data(), scratch[pass].data(), 4, depth, s.L,
                                          tmp.data(), cube_slices.data(), T.data(), T3.data(),
                                          G.data(), out.data());
          } else {
            zarvo::inverse_transformation(p, in.data(), scratch[pass].data(), 4, depth, s.L,
                                          slice.data(), tmp.data(), cube.data(), T.data(),
                                          T3.data(), G.data(), out.data());
          }
        }
        EXPECT_EQ(0, std::memcmp(want.data(), got.data(), sizeof(double) * want.size()))
            << (fwd ? "forward" : "inverse");
      }
    }
  });
}

// Orthonormal Haar matrix of order n (a power of two), basis vectors in the
// rows: mostly zeros from order 8.
Mat haar(int n) {
  Mat h{1.0};
  for (int m = 1; m < n; m *= 2) {
    const int r = 2 * m;
    Mat next(r * r, 0.0);
    for (int i = 0; i < m; ++i) {
      for (int j = 0; j < m; ++j)
        next[i + r * (2 * j)] = next[i + r * (2 * j + 1)] = h[i + m * j] / std::sqrt(2.0);
      next[(m + i) + r * (2 * i)] = 1.0 / std::sqrt(2.0);
      next[(m + i) + r * (2 * i + 1)] = -1.0 / std::sqrt(2.0);
    }
    h.swap(next);
  }
  return h;
}

// The group products skip the zeros of a sparse matrix and give the full
// products' bits, also where an infinite or NaN coefficient meets a zero;
// dense matrices, and one whose zeros hide a whole coefficient of the
// group, keep the full products.
TEST(CoreTransforms, GroupProductsSkipZerosWithTheFullProductsBits) {
  on_every_target([] {
    const int cube = 64, largest = 32;
    zarvo::GroupProducts p(4, 4, largest);
    if (p.group[1].direct() && zarvo::detail::cube_kernels(4).forward) {
      ASSERT_TRUE(p.skips_zeros);
    }
    std::mt19937 rng(9);
    for (int L = 2; L <= largest; L *= 2) {
      SCOPED_TRACE(L);
      const int i = zarvo::group_size_index(L);
      Mat hidden = haar(L);  // the last coefficient reaches nothing, either way
      for (int j = 0; j < L; ++j) hidden[j + L * (L - 1)] = hidden[L - 1 + L * j] = 0.0;
      const Mat matrices[] = {haar(L), dct(L), hidden};
      for (int which = 0; which < 3; ++which) {
        const Mat& G = matrices[which];
        p.plan_group(L, G.data(), G.data());
        if (p.skips_zeros) {
          EXPECT_EQ(which == 0 && L >= 8, p.group_bt_sparse[i].worthwhile()) << which;
          EXPECT_EQ(which == 0 && L >= 8, p.group_sparse[i].worthwhile()) << which;
        }
        for (double special : {1.0, HUGE_VAL, std::nan("")}) {
          Mat A = random(rng, cube * L);
          for (int e = 3; e < cube * L; e += 7) A[e] = e % 2 ? -0.0 : 0.0;
          A[cube * (L - 1) + 5] *= special;  // in the hidden coefficient's column
          Mat want(A.size()), got(A.size());
          p.group_bt[i](A.data(), G.data(), want.data());
          p.group_forward(L, A.data(), G.data(), got.data());
          EXPECT_EQ(0, std::memcmp(want.data(), got.data(), sizeof(double) * A.size()))
              << "forward, matrix " << which << ", " << special;
          p.group[i](A.data(), G.data(), want.data());
          p.group_inverse(L, A.data(), G.data(), got.data());
          EXPECT_EQ(0, std::memcmp(want.data(), got.data(), sizeof(double) * A.size()))
              << "inverse, matrix " << which << ", " << special;
        }
      }
    }
  });
}

}  // namespace
