// Dense products through BLAS and the separable 4-D group transforms.
#include <cstddef>
#include <cstring>

#include "core/blas.h"
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

namespace {

inline void copy_values(double* dst, const double* src, std::size_t count) {
  std::memcpy(dst, src, count * sizeof(double));
}

}  // namespace

void forward_transformation(const double* group, double* cubes, int nm1, int nm3, int L,
                            double* slice_buf, double* slice_tmp, double* cube_buf,
                            double* cube_slices, const double* Tfor, const double* Tfor3,
                            const double* group_fwd, double* spectrum) {
  const std::size_t slice_size = static_cast<std::size_t>(nm1) * nm1;
  const std::size_t cube_size = slice_size * nm3;
  const int slice_rows = nm1 * nm1;

  // Every cube: 2-D transform of each slice, then along the depth. The input
  // is read completely here, before the spectrum is written, so the two may
  // share a block.
  for (int i = 0; i < L; ++i) {
    const double* cube_in = group + cube_size * i;
    for (int d = 0; d < nm3; ++d) {
      copy_values(slice_buf, cube_in + slice_size * d, slice_size);
      mtimes(Tfor, 'N', slice_buf, 'N', nm1, nm1, nm1, slice_tmp);
      mtimes(slice_tmp, 'N', Tfor, 'T', nm1, nm1, nm1, slice_buf);
      copy_values(cube_slices + slice_size * d, slice_buf, slice_size);
    }
    mtimes(cube_slices, 'N', Tfor3, 'T', slice_rows, nm3, nm3, cube_buf);
    copy_values(cubes + cube_size * i, cube_buf, cube_size);
  }

  // Along the group dimension, one column per cube.
  mtimes(cubes, 'N', group_fwd, 'T', slice_rows * nm3, L, L, spectrum);
}

void inverse_transformation(const double* spectrum, double* cubes, int nm1, int nm3, int L,
                            double* slice_buf, double* slice_tmp, double* cube_buf,
                            double* cube_slices, const double* Tinv, const double* depth,
                            const double* group_inv, double* group) {
  const std::size_t slice_size = static_cast<std::size_t>(nm1) * nm1;
  const std::size_t cube_size = slice_size * nm3;
  const int slice_rows = nm1 * nm1;

  // Undo the group dimension first; this reads the whole spectrum, so the
  // group may be written into the same block afterwards.
  mtimes(spectrum, 'N', group_inv, 'N', slice_rows * nm3, L, L, cubes);

  for (int i = 0; i < L; ++i) {
    copy_values(cube_slices, cubes + cube_size * i, cube_size);
    mtimes(cube_slices, 'N', depth, 'N', slice_rows, nm3, nm3, cube_buf);
    double* cube_out = group + cube_size * i;
    for (int d = 0; d < nm3; ++d) {
      copy_values(slice_buf, cube_buf + slice_size * d, slice_size);
      mtimes(Tinv, 'T', slice_buf, 'N', nm1, nm1, nm1, slice_tmp);
      mtimes(slice_tmp, 'N', Tinv, 'N', nm1, nm1, nm1, slice_buf);
      copy_values(cube_out + slice_size * d, slice_buf, slice_size);
    }
  }
}

}  // namespace zarvo
