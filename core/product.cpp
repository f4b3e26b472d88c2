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

// True when every product of `wide` gives each slice the bits `slice` gives
// it alone, on values of many magnitudes and signs: both are direct kernels
// and the wide one treats its columns as the narrow one does.
bool same_bits_as_slices(const std::vector<Product>& wide, const Product& slice, int nm1,
                         int nm3) {
  if (!slice.direct()) return false;
  const std::size_t square = static_cast<std::size_t>(nm1) * nm1;
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  const auto next = [&] {  // xorshift: values from 2^-30 to 2^30, either sign
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const double unit = static_cast<double>(state >> 11) / 9007199254740992.0;
    return std::ldexp(unit + 0.5, static_cast<int>(state % 61) - 30) * (state & 1024 ? -1 : 1);
  };
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
}

}  // namespace zarvo
