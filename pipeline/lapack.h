// The LAPACK routines the series code calls (the symmetric rank-k product and
// the divide-and-conquer symmetric eigensolver), with the BLAS integer width
// of core/blas.h; and the BLAS's own threads held at one while the engine
// runs.
#pragma once

#include <cstddef>

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

}  // namespace zarvo
