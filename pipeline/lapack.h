// The LAPACK routines the series code calls (the symmetric rank-k product and
// the divide-and-conquer symmetric eigensolver), with the BLAS integer width
// of core/blas.h.
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
