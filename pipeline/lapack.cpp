#include "lapack.h"

#include <mutex>

// OpenBLAS's own calls; weak, so that the engine links against any BLAS
// (without them the BLAS keeps its own threading).
extern "C" {
void openblas_set_num_threads(int count) __attribute__((weak));
int openblas_get_num_threads() __attribute__((weak));
}

namespace zarvo {
namespace {

std::mutex blas_setting;
int holders = 0;  // SingleBlasThread objects alive
int before = 0;   // the count the first of them found

}  // namespace

SingleBlasThread::SingleBlasThread() {
  if (!openblas_set_num_threads || !openblas_get_num_threads) return;
  std::lock_guard<std::mutex> lock(blas_setting);
  if (holders++ > 0) return;
  before = openblas_get_num_threads();
  if (before != 1) openblas_set_num_threads(1);
}

SingleBlasThread::~SingleBlasThread() {
  if (!openblas_set_num_threads || !openblas_get_num_threads) return;
  std::lock_guard<std::mutex> lock(blas_setting);
  if (--holders > 0) return;
  if (before > 1) openblas_set_num_threads(before);
}

int blas_threads() { return openblas_get_num_threads ? openblas_get_num_threads() : 0; }

}  // namespace zarvo
