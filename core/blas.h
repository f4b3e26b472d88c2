// The one place that fixes how BLAS is called: the integer width of the
// linked library (Debian's BLAS libraries take 32-bit integers; an ILP64
// BLAS, such as the one a MATLAB host loads, takes 64-bit ones) and the
// symbol name of the matrix product.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zarvo {

#if defined(ZARVO_BLAS_ILP64)
using blas_int = std::int64_t;
#else
using blas_int = std::int32_t;
#endif

}  // namespace zarvo

#if defined(_WIN32)
#define ZARVO_DGEMM dgemm
#else
#define ZARVO_DGEMM dgemm_
#endif

extern "C" void ZARVO_DGEMM(const char* transa, const char* transb, const zarvo::blas_int* m,
                            const zarvo::blas_int* n, const zarvo::blas_int* k, const double* alpha,
                            const double* a, const zarvo::blas_int* lda, const double* b,
                            const zarvo::blas_int* ldb, const double* beta, double* c,
                            const zarvo::blas_int* ldc, std::size_t transa_len,
                            std::size_t transb_len);
