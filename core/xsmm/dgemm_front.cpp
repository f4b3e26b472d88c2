// dgemm_ of the engine (every front end): libxsmm's JIT kernels for the small
// products of the transforms, the system BLAS for everything else.
//
// The link maps every dgemm_ call of the program here (-Wl,--wrap=dgemm_);
// __real_dgemm_ is the system BLAS. The products of one group are hundreds
// of calls of order 4 to 64, so what a call costs is its overhead: finding
// the kernel. Each thread therefore keeps the kernels it has used in a small
// table of its own, looked up without locks or shared writes; libxsmm's
// registry is asked once per shape and thread.
//
// A product with the first factor transposed has no libxsmm kernel. Such a
// factor is small here (the inverse 2-D transform's matrix), so it is
// transposed into thread storage and multiplied as an untransposed one. The
// system BLAS packs such a factor into the same layout before its kernel
// runs; on the products of the default profile both give the same bits
// (bench/README.md), which keeps the command's results those of the MEX
// files.

#include <libxsmm.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" {

void __real_dgemm_(const char* transa, const char* transb, const libxsmm_blasint* m,
                   const libxsmm_blasint* n, const libxsmm_blasint* k, const double* alpha,
                   const double* a, const libxsmm_blasint* lda, const double* b,
                   const libxsmm_blasint* ldb, const double* beta, double* c,
                   const libxsmm_blasint* ldc, std::size_t transa_len, std::size_t transb_len);

void __wrap_dgemm_(const char* transa, const char* transb, const libxsmm_blasint* m,
                   const libxsmm_blasint* n, const libxsmm_blasint* k, const double* alpha,
                   const double* a, const libxsmm_blasint* lda, const double* b,
                   const libxsmm_blasint* ldb, const double* beta, double* c,
                   const libxsmm_blasint* ldc, std::size_t transa_len, std::size_t transb_len);
}

namespace {

// Products up to this many multiply-adds get a kernel; larger ones are not
// dominated by the call and go to the system BLAS.
constexpr long kMaxKernelWork = 64L * 64 * 64;
// A transposed first factor is copied when it has at most this many entries.
constexpr long kMaxTransposed = 64L * 64;
// Sizes and leading dimensions of the products with a kernel fit 16 bits.
constexpr libxsmm_blasint kMaxDim = 0xffff;

// What selects a kernel, packed so that a lookup compares four words: the
// sizes and the transposition of B, the leading dimensions, and the bits of
// alpha and beta.
struct Shape {
  std::uint64_t sizes, leading, alpha, beta;
  bool operator==(const Shape& o) const {
    return ((sizes ^ o.sizes) | (leading ^ o.leading) | (alpha ^ o.alpha) | (beta ^ o.beta)) == 0;
  }
};

// An entry never filled holds the zero shape, which no product has (its
// sizes are at least 1).
struct Entry {
  Shape shape;
  libxsmm_dmmfunction kernel;  // null: libxsmm has none, use the system BLAS
};

constexpr std::size_t kTableSize = 64;  // a power of two

struct ThreadState {
  Entry table[kTableSize];
  double transposed[kMaxTransposed];
};

thread_local ThreadState state;

// The kernels use AVX registers and return with their upper halves dirty.
// Our own code is compiled for SSE, and on some Intel processors every SSE
// instruction that follows then pays a state transition (measured on a Xeon
// with AVX-512: a 4 x 4 x 4 product took 290 ns instead of 10 ns). Clearing
// the upper halves after each kernel, as compilers do at the end of every
// AVX function, avoids it; it changes no value.
const bool wide_registers = __builtin_cpu_supports("avx");

inline void leave_wide_registers() {
  if (wide_registers) __asm__ volatile("vzeroupper" ::: "memory");
}

std::uint64_t bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// Looks the kernel up in this thread's table, asking libxsmm on a miss.
libxsmm_dmmfunction kernel_for(libxsmm_blasint m, libxsmm_blasint n, libxsmm_blasint k,
                               libxsmm_blasint lda, libxsmm_blasint ldb, libxsmm_blasint ldc,
                               double alpha, double beta, int flags) {
  const Shape s{static_cast<std::uint64_t>(m) | static_cast<std::uint64_t>(n) << 16 |
                    static_cast<std::uint64_t>(k) << 32 | static_cast<std::uint64_t>(flags) << 48,
                static_cast<std::uint64_t>(lda) | static_cast<std::uint64_t>(ldb) << 16 |
                    static_cast<std::uint64_t>(ldc) << 32,
                bits(alpha), bits(beta)};
  const std::uint64_t h = (s.sizes ^ s.leading * 0x9e3779b97f4a7c15ull) * 0xff51afd7ed558ccdull;
  Entry& e = state.table[h >> 58];  // the top 6 bits: one of 64 entries
  if (e.shape == s) return e.kernel;
  e.shape = s;
  e.kernel = libxsmm_dmmdispatch(m, n, k, &lda, &ldb, &ldc, &alpha, &beta, &flags, nullptr);
  return e.kernel;
}

// op(A) = A' with A K x M (leading dimension lda), into thread storage as an
// M x K matrix.
const double* transposed(const double* a, libxsmm_blasint lda, libxsmm_blasint M,
                         libxsmm_blasint K) {
  double* t = state.transposed;
  for (libxsmm_blasint j = 0; j < K; ++j)
    for (libxsmm_blasint i = 0; i < M; ++i) t[i + M * j] = a[j + lda * i];
  return t;
}

bool is_n(const char* t) { return *t == 'N' || *t == 'n'; }
bool is_t(const char* t) { return *t == 'T' || *t == 't' || *t == 'C' || *t == 'c'; }

// Whether a product goes to a kernel: anything unusual (degenerate sizes,
// bad arguments, large products) is the system BLAS's to handle or to report.
bool small_product(bool a_plain, bool a_transposed, bool b_plain, bool b_transposed,
                   libxsmm_blasint M, libxsmm_blasint N, libxsmm_blasint K, libxsmm_blasint lda,
                   libxsmm_blasint ldb, libxsmm_blasint ldc) {
  return M > 0 && N > 0 && K > 0 && M <= kMaxDim && N <= kMaxDim && K <= kMaxDim &&
         static_cast<long>(M) * N * K <= kMaxKernelWork &&
         (a_plain || (a_transposed && static_cast<long>(M) * K <= kMaxTransposed)) &&
         (b_plain || b_transposed) && ldc >= M && ldc <= kMaxDim && lda >= (a_plain ? M : K) &&
         lda <= kMaxDim && ldb >= (b_plain ? K : N) && ldb <= kMaxDim;
}

}  // namespace

void __wrap_dgemm_(const char* transa, const char* transb, const libxsmm_blasint* m,
                   const libxsmm_blasint* n, const libxsmm_blasint* k, const double* alpha,
                   const double* a, const libxsmm_blasint* lda, const double* b,
                   const libxsmm_blasint* ldb, const double* beta, double* c,
                   const libxsmm_blasint* ldc, std::size_t transa_len, std::size_t transb_len) {
  const libxsmm_blasint M = *m, N = *n, K = *k;
  const bool a_plain = is_n(transa), a_transposed = is_t(transa);
  const bool b_plain = is_n(transb), b_transposed = is_t(transb);
  if (small_product(a_plain, a_transposed, b_plain, b_transposed, M, N, K, *lda, *ldb, *ldc)) {
    const libxsmm_dmmfunction kernel =
        kernel_for(M, N, K, a_plain ? *lda : M, *ldb, *ldc, *alpha, *beta,
                   b_transposed ? LIBXSMM_GEMM_FLAG_TRANS_B : LIBXSMM_GEMM_FLAG_NONE);
    if (kernel) {
      kernel(a_plain ? a : transposed(a, *lda, M, K), b, c);
      leave_wide_registers();
      return;
    }
  }
  __real_dgemm_(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, transa_len,
                transb_len);
}

// The kernel the call above would use for C = A * op(B) with alpha 1, beta 0
// and contiguous matrices, or null where it would call the system BLAS. The
// engine's transforms keep it and call it directly, which gives the same bits
// without finding the kernel again for each of a group's hundreds of
// products.
extern "C" libxsmm_dmmfunction zarvo_product_kernel(int m, int n, int k, int b_transposed) {
  const libxsmm_blasint ldb = b_transposed ? n : k;
  if (!small_product(true, false, !b_transposed, b_transposed != 0, m, n, k, m, ldb, m))
    return nullptr;
  const double alpha = 1.0, beta = 0.0;
  const int flags = b_transposed ? LIBXSMM_GEMM_FLAG_TRANS_B : LIBXSMM_GEMM_FLAG_NONE;
  const libxsmm_blasint lda = m, ldc = m;
  return libxsmm_dmmdispatch(m, n, k, &lda, &ldb, &ldc, &alpha, &beta, &flags, nullptr);
}
