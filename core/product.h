// A matrix product of one fixed shape, C = A * op(B) with every matrix
// contiguous and column-major (A m x k, C m x n, op(B) k x n), found once and
// then called many times. Without the cube kernels and the sparse group
// products below, a group's transforms are hundreds of products of a
// handful of shapes; this keeps what the engine's dgemm_ would find for each
// call (the same kernel, hence the same bits) and calls it directly.
#pragma once

#include <vector>

#include "core/cube_transforms.h"
#include "core/sparse_products.h"

namespace zarvo {

class Product {
 public:
  Product() = default;
  Product(int m, int n, int k, bool b_transposed);

  // False where the product goes through dgemm_ on every call.
  bool direct() const { return kernel_ != nullptr; }

  void operator()(const double* A, const double* B, double* C) const {
    if (kernel_) {
      kernel_(A, B, C);
#if defined(__x86_64__) || defined(__i386__)
      if (wide_registers_) __asm__ volatile("vzeroupper" ::: "memory");
#endif
      return;
    }
    call_blas(A, B, C);
  }

 private:
  using Kernel = void (*)(const double*, const double*, double*);
  void call_blas(const double* A, const double* B, double* C) const;

  Kernel kernel_ = nullptr;
  // The kernels leave the upper halves of the AVX registers dirty, and the
  // SSE code after them would pay a state transition on every instruction
  // on some processors; clearing them changes no value.
  bool wide_registers_ = false;
  int m_ = 0, n_ = 0, k_ = 0;
  char trans_b_ = 'N';
};

}  // namespace zarvo

namespace zarvo {

// The index of the group size L among the powers of two (the base-2
// logarithm of L, rounded up): where GroupProducts keeps what serves groups
// of L cubes, and where the stages' Transforms hold their group matrices.
inline int group_size_index(int L) {
  int i = 0;
  while ((1 << i) < L) ++i;
  return i;
}

// The products of the separable transforms of groups of cubes nm1 x nm1 x
// nm3, for every group size that is a power of two up to nm2.
struct GroupProducts {
  GroupProducts() = default;
  GroupProducts(int nm1, int nm3, int nm2);

  Product slice;     // nm1 x nm1 by nm1 x nm1
  Product slice_bt;  // the same, second factor transposed
  Product depth;     // (nm1 * nm1) x nm3 by nm3 x nm3
  Product depth_bt;
  std::vector<Product> group, group_bt;  // (cube length) x L by L x L, at log2(L)
  // A matrix nm1 x nm1 times every slice of a group of L cubes at once (the
  // slices side by side: nm1 x (nm1 * nm3 * L)), at log2(L); empty unless
  // such a product was found to give each slice the bits of `slice` (a
  // kernel that treats the columns alike, checked once on random values).
  std::vector<Product> slices;
  bool batched() const { return !slices.empty(); }
  // The slice and depth transforms of whole cubes in registers; null unless
  // they were found to give every coefficient the bits of the products
  // above (4 x 4 slices, checked once on random cubes).
  detail::CubeKernel cube_forward = nullptr;
  detail::CubeKernel cube_inverse = nullptr;

  // Where the group matrices' zeros are, at log2(L), once planned; used
  // only where skipping them was found to give the bits of `group` and
  // `group_bt` (checked once on random factors).
  std::vector<detail::SparseColumns> group_sparse, group_bt_sparse;
  bool skips_zeros = false;

  // Makes group_forward and group_inverse skip the zeros of these matrices
  // for groups of L, where that is worth it; nothing when they already do.
  // The matrices must not change while they are planned.
  void plan_group(int L, const double* forward, const double* inverse);
  // C = A forward' and C = A inverse, A and C (cube length) x L.
  void group_forward(int L, const double* A, const double* forward, double* C) const;
  void group_inverse(int L, const double* A, const double* inverse, double* C) const;

 private:
  int cube_len_ = 0;
};

// The slice and depth transforms of L cubes through the products of `p`,
// as forward_transformation and inverse_transformation make them when the
// cube kernels are not used. The inverse reads `cubes` and may overwrite
// them and `scratch` (L cubes) before it writes `group`.
void products_forward_cubes(const GroupProducts& p, const double* group, double* cubes, int nm1,
                            int nm3, int L, double* slice_tmp, double* cube_slices,
                            const double* Tfor, const double* Tfor3);
void products_inverse_cubes(const GroupProducts& p, double* cubes, double* scratch, int nm1,
                            int nm3, int L, double* slice_buf, double* slice_tmp, double* cube_buf,
                            const double* Tinv, const double* depth, double* group);

}  // namespace zarvo
