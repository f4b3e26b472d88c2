#include "core/product.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/zarvo.h"

#if defined(ZARVO_XSMM_FRONT)
extern "C" void (*zarvo_product_kernel(int m, int n, int k, int b_transposed))(const double*,
                                                                                const double*,
                                                                                double*);
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
bool same_bits_as_slices(const std::vector<Product>& wide, const Product& slice, int nm1,
                         int nm3) {
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
  std::vector<double> T(16), T3(static_cast<std::size_t>(nm3) * nm3), in(all), want(all),
      got(all), cubes(all), scratch(all), slice_buf(16), slice_tmp(16), cube_buf(cube);
  Random next;
  for (int round = 0; round < 3; ++round) {
    for (double& v : T) v = next();
    for (double& v : T3) v = next();
    for (int c = 0; c < 4; ++c) T[4 * c] = -std::fabs(T[4 * c]);
    for (std::size_t i = 0; i < all; ++i)
      in[i] = i >= cube ? (i & 1 ? -0.0 : 0.0) : (i % 7 == 3 ? 0.0 : next());

    products_forward_cubes(p, in.data(), want.data(), 4, nm3, L, slice_tmp.data(),
                           cube_buf.data(), T.data(), T3.data());
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

}  // namespace

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
}

}  // namespace zarvo
