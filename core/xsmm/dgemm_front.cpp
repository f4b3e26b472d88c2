// dgemm_ of the stand-alone build: libxsmm's JIT kernels for the small
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
// transposed into thread storage and multiplied as an untransposed one: the
// kernel then accumulates every element over the inner index in the same
// order as the system BLAS's kernel, which copies the factor the same way.

#include <libxsmm.h>

#include <cstddef>
#include <cstdint>

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

struct Shape {
  libxsmm_blasint m, n, k, lda, ldb, ldc;
  double alpha, beta;
  int flags;  // LIBXSMM_GEMM_FLAG_TRANS_B or none

  bool operator==(const Shape& o) const {
    return m == o.m && n == o.n && k == o.k && lda == o.lda && ldb == o.ldb && ldc == o.ldc &&
           alpha == o.alpha && beta == o.beta && flags == o.flags;
  }
};

struct Entry {
  Shape shape;
  libxsmm_dmmfunction kernel;  // null: libxsmm has none, use the system BLAS
  bool used = false;
};

constexpr std::size_t kTableSize = 64;  // a power of two

std::size_t slot_of(const Shape& s) {
  std::uint64_t h = static_cast<std::uint64_t>(s.m);
  h = h * 31 + static_cast<std::uint64_t>(s.n);
  h = h * 31 + static_cast<std::uint64_t>(s.k);
  h = h * 31 + static_cast<std::uint64_t>(s.lda);
  h = h * 31 + static_cast<std::uint64_t>(s.ldb);
  h = h * 31 + static_cast<std::uint64_t>(s.flags);
  return static_cast<std::size_t>(h ^ (h >> 17)) & (kTableSize - 1);
}

struct ThreadState {
  Entry table[kTableSize];
  double transposed[kMaxTransposed];
};

thread_local ThreadState state;

libxsmm_dmmfunction kernel_for(const Shape& s) {
  Entry& e = state.table[slot_of(s)];
  if (!e.used || !(e.shape == s)) {
    e.shape = s;
    e.kernel = libxsmm_dmmdispatch(s.m, s.n, s.k, &s.lda, &s.ldb, &s.ldc, &s.alpha, &s.beta,
                                   &s.flags, nullptr);
    e.used = true;
  }
  return e.kernel;
}

bool is_n(const char* t) { return *t == 'N' || *t == 'n'; }
bool is_t(const char* t) { return *t == 'T' || *t == 't' || *t == 'C' || *t == 'c'; }

}  // namespace

void __wrap_dgemm_(const char* transa, const char* transb, const libxsmm_blasint* m,
                   const libxsmm_blasint* n, const libxsmm_blasint* k, const double* alpha,
                   const double* a, const libxsmm_blasint* lda, const double* b,
                   const libxsmm_blasint* ldb, const double* beta, double* c,
                   const libxsmm_blasint* ldc, std::size_t transa_len, std::size_t transb_len) {
  const libxsmm_blasint M = *m, N = *n, K = *k;
  const bool a_plain = is_n(transa), a_transposed = is_t(transa);
  const bool b_plain = is_n(transb), b_transposed = is_t(transb);
  // Anything unusual (degenerate sizes, bad arguments, large products) is the
  // system BLAS's to handle or to report.
  const bool small = M > 0 && N > 0 && K > 0 &&
                     static_cast<long>(M) * N * K <= kMaxKernelWork &&
                     (a_plain || (a_transposed && static_cast<long>(M) * K <= kMaxTransposed)) &&
                     (b_plain || b_transposed) && *ldc >= M &&
                     *lda >= (a_plain ? M : K) && *ldb >= (b_plain ? K : N);
  if (small) {
    const double* a_used = a;
    libxsmm_blasint lda_used = *lda;
    if (a_transposed) {
      // A is K x M (leading dimension lda); op(A) = A' becomes M x K.
      double* t = state.transposed;
      for (libxsmm_blasint j = 0; j < K; ++j)
        for (libxsmm_blasint i = 0; i < M; ++i) t[i + M * j] = a[j + *lda * i];
      a_used = t;
      lda_used = M;
    }
    const Shape s{M, N, K, lda_used, *ldb, *ldc, *alpha, *beta,
                  b_transposed ? LIBXSMM_GEMM_FLAG_TRANS_B : LIBXSMM_GEMM_FLAG_NONE};
    if (const libxsmm_dmmfunction kernel = kernel_for(s)) {
      kernel(a_used, b, c);
      return;
    }
  }
  __real_dgemm_(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, transa_len,
                transb_len);
}
