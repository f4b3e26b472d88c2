#include "core/product.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/zarvo.h"

#if defined(ZARVO_XSMM_FRONT)
extern "C" void (*zarvo_product_kernel(int m, int n, int k,
                                       int b_transposed))(const double*, const double*, double*);
#endif

namespace zarvo {

Product::Product(int m, int n, int k, bool b_transposed)
    : m_(m), n_(n), k_(k), trans_b_(b_transposed ? 'T' : 'N') {
#if defined(ZARVO_XSMM_FRONT)
  kernel_ = zarvo_product_kernel(m, n, k, b_transposed ? 1 : 0);
#if defined(__x86_64__) || defined(__i386__)
  wide_registers_ = kernel_ && __builtin_cpu_supports("avx");
#endif
#endif
}

void Product::call_blas(const double* A, const double* B, double* C) const {
  mtimes(A, 'N', B, trans_b_, m_, n_, k_, C);
}

}  // namespace zarvo

namespace zarvo {
namespace {

// Values from 2^-30 to 2^30, either sign (xorshift).
class Random {
 public:
  double operator()() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    const double unit = static_cast<double>(state_ >> 11) / 9007199254740992.0;
    return std::ldexp(unit + 0.5, static_cast<int>(state_ % 61) - 30) * (state_ & 1024 ? -1 : 1);
  }

 private:
  std::uint64_t state_ = 0x9e3779b97f4a7c15ull;
};

// True when every product of `wide` gives each slice the bits `slice` gives
// it alone, on values of many magnitudes and signs: both are direct kernels
// and the wide one treats its columns as the narrow one does.
bool same_bits_as_slices(const std::vector<Product>& wide, const Product& slice, int nm1, int nm3) {
  if (!slice.direct()) return false;
  const std::size_t square = static_cast<std::size_t>(nm1) * nm1;
  Random next;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (!wide[i].direct()) return false;
    const std::size_t columns = static_cast<std::size_t>(nm1) * nm3 << i;
    std::vector<double> a(square), b(nm1 * columns), one(nm1 * columns), all(nm1 * columns);
    for (double& v : a) v = next();
    for (double& v : b) v = next();
    for (std::size_t c = 0; c < columns; c += static_cast<std::size_t>(nm1))
      slice(a.data(), b.data() + nm1 * c, one.data() + nm1 * c);
    wide[i](a.data(), b.data(), all.data());
    if (std::memcmp(one.data(), all.data(), sizeof(double) * all.size()) != 0) return false;
  }
  return true;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

// True when the cube kernels give the bits of the products of `p`, forward
// and inverse, on random 4 x 4 x nm3 cubes and matrices. One cube of each
// pair is zeros of both signs under a matrix row of negative entries, where
// a chain that starts with a plain product instead of a multiply-add onto
// +0 would leave a -0.
bool same_bits_as_products(const GroupProducts& p, const detail::CubeKernels& k, int nm3) {
  if (!(k.forward && k.inverse && p.slice.direct() && p.slice_bt.direct() && p.depth.direct() &&
        p.depth_bt.direct()))
    return false;
  const int L = p.group.size() >= 2 ? 2 : 1;
  const std::size_t cube = 16 * static_cast<std::size_t>(nm3), all = cube * L;
  std::vector<double> T(16), T3(static_cast<std::size_t>(nm3) * nm3), in(all), want(all), got(all),
      cubes(all), scratch(all), slice_buf(16), slice_tmp(16), cube_buf(cube);
  Random next;
  for (int round = 0; round < 3; ++round) {
    for (double& v : T) v = next();
    for (double& v : T3) v = next();
    for (int c = 0; c < 4; ++c) T[4 * c] = -std::fabs(T[4 * c]);
    for (std::size_t i = 0; i < all; ++i)
      in[i] = i >= cube ? (i & 1 ? -0.0 : 0.0) : (i % 7 == 3 ? 0.0 : next());

    products_forward_cubes(p, in.data(), want.data(), 4, nm3, L, slice_tmp.data(), cube_buf.data(),
                           T.data(), T3.data());
    k.forward(in.data(), L, T.data(), T3.data(), got.data());
    if (!same_bits(want, got)) return false;

    cubes = in;
    products_inverse_cubes(p, cubes.data(), scratch.data(), 4, nm3, L, slice_buf.data(),
                           slice_tmp.data(), cube_buf.data(), T.data(), T3.data(), want.data());
    k.inverse(in.data(), L, T.data(), T3.data(), got.data());
    if (!same_bits(want, got)) return false;
  }
  return true;
}

// True when skipping the zeros of a group matrix gives the bits of the full
// products, for every group size up to nm2 that may be planned: on random
// factors with zeros of both signs in A, and matrices of a nonzero diagonal
// (and, from order 4, one more nonzero entry per column).
bool same_bits_skipping_zeros(const GroupProducts& p, int cube_len) {
  Random next;
  for (std::size_t i = 1; i < p.group.size(); ++i) {
    const int L = 1 << i;
    detail::SparseColumns plan(L);
    std::vector<double> G(static_cast<std::size_t>(L) * L, 0.0);
    for (int c = 0; c < L; ++c) {
      G[c + L * c] = next();
      if (L >= 4) G[(c + 1) % L + L * c] = next();
    }
    plan.plan(G.data(), L, false);
    if (!plan.worthwhile()) break;  // larger orders are never planned
    if (!p.group[i].direct() || !p.group_bt[i].direct()) return false;
    const std::size_t n = static_cast<std::size_t>(cube_len) * L;
    std::vector<double> A(n), want(n), got(n);
    for (std::size_t e = 0; e < n; ++e) A[e] = e % 5 == 2 ? (e & 8 ? -0.0 : 0.0) : next();
    for (bool transposed : {false, true}) {
      plan.plan(G.data(), L, transposed);
      (transposed ? p.group_bt[i] : p.group[i])(A.data(), G.data(), want.data());
      if (!plan.multiply(A.data(), cube_len, got.data()) || !same_bits(want, got)) return false;
    }
  }
  return true;
}

}  // namespace

void GroupProducts::plan_group(int L, const double* forward, const double* inverse) {
  if (!skips_zeros) return;
  const std::size_t i = static_cast<std::size_t>(group_size_index(L));
  if (i >= group_sparse.size()) return;
  if (!group_bt_sparse[i].planned_for(forward)) group_bt_sparse[i].plan(forward, L, true);
  if (!group_sparse[i].planned_for(inverse)) group_sparse[i].plan(inverse, L, false);
}

namespace {

// C = A op(G) through the plan at index i where it was made for G and the
// sparse product succeeds, else through the full product.
void group_product(const std::vector<detail::SparseColumns>& plans,
                   const std::vector<Product>& full, std::size_t i, int cube_len, const double* A,
                   const double* G, double* C) {
  if (i < plans.size() && plans[i].planned_for(G) && plans[i].multiply(A, cube_len, C)) return;
  full[i](A, G, C);
}

}  // namespace

void GroupProducts::group_forward(int L, const double* A, const double* forward, double* C) const {
  group_product(group_bt_sparse, group_bt, static_cast<std::size_t>(group_size_index(L)), cube_len_,
                A, forward, C);
}

void GroupProducts::group_inverse(int L, const double* A, const double* inverse, double* C) const {
  group_product(group_sparse, group, static_cast<std::size_t>(group_size_index(L)), cube_len_, A,
                inverse, C);
}

GroupProducts::GroupProducts(int nm1, int nm3, int nm2)
    : slice(nm1, nm1, nm1, false),
      slice_bt(nm1, nm1, nm1, true),
      depth(nm1 * nm1, nm3, nm3, false),
      depth_bt(nm1 * nm1, nm3, nm3, true) {
  const int cube_len = nm1 * nm1 * nm3;
  for (long L = 1; L <= nm2; L *= 2) {
    group.emplace_back(cube_len, static_cast<int>(L), static_cast<int>(L), false);
    group_bt.emplace_back(cube_len, static_cast<int>(L), static_cast<int>(L), true);
  }
  std::vector<Product> wide;
  for (long L = 1; L <= nm2; L *= 2)
    wide.emplace_back(nm1, static_cast<int>(nm1 * nm3 * L), nm1, false);
  if (!wide.empty() && same_bits_as_slices(wide, slice, nm1, nm3)) slices = std::move(wide);
  const detail::CubeKernels kernels = detail::cube_kernels(nm3);
  if (nm1 == 4 && same_bits_as_products(*this, kernels, nm3)) {
    cube_forward = kernels.forward;
    cube_inverse = kernels.inverse;
  }
  cube_len_ = cube_len;
  if (same_bits_skipping_zeros(*this, cube_len)) {
    skips_zeros = true;
    for (long L = 1; L <= nm2; L *= 2) {
      group_sparse.emplace_back(static_cast<int>(L));
      group_bt_sparse.emplace_back(static_cast<int>(L));
    }
  }
}

}  // namespace zarvo
