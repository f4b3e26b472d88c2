#include "core/product.h"

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
}

}  // namespace zarvo
