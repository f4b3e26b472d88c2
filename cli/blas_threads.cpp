// The command starts no BLAS worker threads: our own walk threads do the
// parallel work, and a threaded BLAS (OpenBLAS starts its workers while the
// library loads, before main) can spin forever under an address-space limit,
// even for `zarvo --version`. The BLAS reads its thread count from the
// environment in its load-time constructor, before any code of ours runs, so
// the command (only the command: this file is linked into the executable,
// not into the libraries) answers those variables itself. One BLAS thread
// computes the same bits as several: each output element is the same sum in
// the same order whichever thread computes it.
#include <unistd.h>

#include <cstring>

extern "C" char* getenv(const char* name) {
  static const char* const single[] = {"OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS",
                                       "OMP_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS"};
  if (!name) return nullptr;
  for (const char* s : single)
    if (std::strcmp(name, s) == 0) return const_cast<char*>("1");
  const std::size_t n = std::strlen(name);
  if (n == 0 || std::strchr(name, '=')) return nullptr;
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, name, n) == 0 && (*e)[n] == '=') return *e + n + 1;
  return nullptr;
}
