// The LAPACK routines the series code calls (the symmetric rank-k product and
// the divide-and-conquer symmetric eigensolver), with the BLAS integer width
// of core/blas.h; and the BLAS's own threads held at one while the engine
// runs.
#pragma once

#include <cstddef>
#include <map>
#include <vector>

#include "core/blas.h"

extern "C" {
void dsyrk_(const char* uplo, const char* trans, const zarvo::blas_int* n, const zarvo::blas_int* k,
            const double* alpha, const double* a, const zarvo::blas_int* lda, const double* beta,
            double* c, const zarvo::blas_int* ldc, std::size_t uplo_len, std::size_t trans_len);
void dsyevd_(const char* jobz, const char* uplo, const zarvo::blas_int* n, double* a,
             const zarvo::blas_int* lda, double* w, double* work, const zarvo::blas_int* lwork,
             zarvo::blas_int* iwork, const zarvo::blas_int* liwork, zarvo::blas_int* info,
             std::size_t jobz_len, std::size_t uplo_len);
}

namespace zarvo {

// While one lives, the BLAS computes on the calling thread only (where the
// BLAS lets its thread count be set: OpenBLAS); the count it had comes back
// when the last one ends, so nested and concurrent runs share one setting.
// The engine's own threads do the parallel work: a threaded BLAS inside them
// took 75 % more CPU time on the joint series mode (its many small products
// and eigenproblems; a diffusion series of 35 volumes through Python), and
// its results differed from one thread's in the last bits, so a front end
// that loads the BLAS with several threads (Python, Octave) did not get the
// command's bits (the command starts the BLAS with one thread).
class SingleBlasThread {
 public:
  SingleBlasThread();
  ~SingleBlasThread();
  SingleBlasThread(const SingleBlasThread&) = delete;
  SingleBlasThread& operator=(const SingleBlasThread&) = delete;
};

// The BLAS's thread count now, or 0 where the BLAS does not tell it.
int blas_threads();

// The symmetric eigensolver (dsyevd) with its own workspace: LAPACK's
// workspace sizes are asked once per matrix order, and the workspace grows
// to the largest order met and is then reused, so that a loop over many
// small eigenproblems does not allocate. One per thread.
//
// The workspace length handed to LAPACK is part of the result: it sets the
// block size of the eigenvectors' back-transformation where the optimal one
// does not fit, and one double more changes the last bits (orders 66 and 77
// with OpenBLAS 0.3.21). So every problem of a given order gets the length
// LAPACK asked for plus `spare_work`, never the length of a larger buffer.
class SymmetricEigen {
 public:
  // vectors: eigenvectors wanted too; uplo: the triangle read ('U' or 'L').
  explicit SymmetricEigen(bool vectors, char uplo = 'L', blas_int spare_work = 0);

  // The eigenvalues of the order x order matrix a (column-major, leading
  // dimension order) into values, ascending; with vectors, a's column k is
  // overwritten by the eigenvector of values[k]. False where LAPACK fails.
  bool solve(double* a, blas_int order, double* values);

 private:
  struct Sizes {
    blas_int work, iwork;
  };
  bool sizes_for(double* a, blas_int order, double* values, Sizes& out);

  char jobz_, uplo_;
  blas_int spare_;
  std::map<blas_int, Sizes> sizes_;
  std::vector<double> work_;
  std::vector<blas_int> iwork_;
};

}  // namespace zarvo
