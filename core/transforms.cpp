// Dense products through BLAS and the separable 4-D group transforms.
#include <cstddef>
#include <cstring>

#include "core/blas.h"
#include "core/product.h"
#include "core/zarvo.h"

namespace zarvo {

void mtimes(const double* A, char transA, const double* B, char transB, int m, int n, int k,
            double* C) {
  const blas_int bm = m;
  const blas_int bn = n;
  const blas_int bk = k;
  const blas_int lda = transA == 'N' ? bm : bk;
  const blas_int ldb = transB == 'N' ? bk : bn;
  const blas_int ldc = bm;
  const double alpha = 1.0;
  const double beta = 0.0;
  ZARVO_DGEMM(&transA, &transB, &bm, &bn, &bk, &alpha, A, &lda, B, &ldb, &beta, C, &ldc, 1, 1);
}

void transpose(const double* A, int n, double* At) {
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) At[i + n * j] = A[j + n * i];
}

void products_forward_cubes(const GroupProducts& p, const double* group, double* cubes, int nm1,
                            int nm3, int L, double* slice_tmp, double* cube_slices,
                            const double* Tfor, const double* Tfor3) {
  const std::size_t slice_size = static_cast<std::size_t>(nm1) * nm1;
  const std::size_t cube_size = slice_size * nm3;
  if (p.batched()) {
    // Tfor times every slice of the group in one product, into `cubes`; then
    // each slice times Tfor' and each cube along the depth, back into its
    // place in `cubes`.
    p.slices[group_size_index(L)](Tfor, group, cubes);
    for (int i = 0; i < L; ++i) {
      double* cube = cubes + cube_size * i;
      for (int d = 0; d < nm3; ++d)
        p.slice_bt(cube + slice_size * d, Tfor, cube_slices + slice_size * d);
      p.depth_bt(cube_slices, Tfor3, cube);
    }
    return;
  }
  for (int i = 0; i < L; ++i) {
    const double* cube_in = group + cube_size * i;
    for (int d = 0; d < nm3; ++d) {
      // The slice is copied first: read straight from the group, just
      // gathered, the product stalls (measured: about 9 % of a Rician run).
      double* slice = cube_slices + slice_size * d;
      std::memcpy(slice, cube_in + slice_size * d, slice_size * sizeof(double));
      p.slice(Tfor, slice, slice_tmp);
      p.slice_bt(slice_tmp, Tfor, slice);
    }
    p.depth_bt(cube_slices, Tfor3, cubes + cube_size * i);
  }
}

void products_inverse_cubes(const GroupProducts& p, double* cubes, double* scratch, int nm1,
                            int nm3, int L, double* slice_buf, double* slice_tmp, double* cube_buf,
                            const double* Tinv, const double* depth, double* group) {
  const std::size_t slice_size = static_cast<std::size_t>(nm1) * nm1;
  const std::size_t cube_size = slice_size * nm3;

  // Tinv' * S is Tinv transposed once times S; dgemm_ does the same with a
  // first factor it is told to transpose, so this keeps its bits.
  const bool own_transpose = p.slice.direct();
  if (own_transpose) transpose(Tinv, nm1, slice_buf);
  if (p.batched() && group != cubes) {
    // Every cube along the depth into the scratch block, Tinv' times every
    // slice of the group in one product, into `cubes`, then each slice
    // times Tinv into `group`.
    for (int i = 0; i < L; ++i) p.depth(cubes + cube_size * i, depth, scratch + cube_size * i);
    p.slices[group_size_index(L)](slice_buf, scratch, cubes);
    const std::size_t slices = static_cast<std::size_t>(nm3) * L;
    for (std::size_t d = 0; d < slices; ++d)
      p.slice(cubes + slice_size * d, Tinv, group + slice_size * d);
    return;
  }
  for (int i = 0; i < L; ++i) {
    p.depth(cubes + cube_size * i, depth, cube_buf);
    double* cube_out = group + cube_size * i;
    for (int d = 0; d < nm3; ++d) {
      if (own_transpose) {
        p.slice(slice_buf, cube_buf + slice_size * d, slice_tmp);
      } else {
        mtimes(Tinv, 'T', cube_buf + slice_size * d, 'N', nm1, nm1, nm1, slice_tmp);
      }
      p.slice(slice_tmp, Tinv, cube_out + slice_size * d);
    }
  }
}

void forward_transformation(const GroupProducts& p, const double* group, double* cubes, int nm1,
                            int nm3, int L, double* slice_tmp, double* cube_slices,
                            const double* Tfor, const double* Tfor3, const double* group_fwd,
                            double* spectrum) {
  // Every cube: 2-D transform of each slice, then along the depth. The input
  // is read completely here, before the spectrum is written, so the two may
  // share a block.
  if (p.cube_forward) {
    p.cube_forward(group, L, Tfor, Tfor3, cubes);
  } else {
    products_forward_cubes(p, group, cubes, nm1, nm3, L, slice_tmp, cube_slices, Tfor, Tfor3);
  }

  // Along the group dimension, one column per cube.
  p.group_forward(L, cubes, group_fwd, spectrum);
}

void inverse_transformation(const GroupProducts& p, double* spectrum, double* cubes, int nm1,
                            int nm3, int L, double* slice_buf, double* slice_tmp, double* cube_buf,
                            const double* Tinv, const double* depth, const double* group_inv,
                            double* group) {
  // Undo the group dimension first; this reads the whole spectrum, so the
  // group may be written into the same block afterwards.
  p.group_inverse(L, spectrum, group_inv, cubes);
  if (p.cube_inverse) {
    p.cube_inverse(cubes, L, Tinv, depth, group);
  } else {
    products_inverse_cubes(p, cubes, spectrum, nm1, nm3, L, slice_buf, slice_tmp, cube_buf, Tinv,
                           depth, group);
  }
}

}  // namespace zarvo
