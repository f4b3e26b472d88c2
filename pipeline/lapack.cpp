#include "lapack.h"

#include <algorithm>
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

SymmetricEigen::SymmetricEigen(bool vectors, char uplo, blas_int spare_work)
    : jobz_(vectors ? 'V' : 'N'), uplo_(uplo), spare_(std::max<blas_int>(spare_work, 0)) {}

bool SymmetricEigen::sizes_for(double* a, blas_int order, double* values, Sizes& out) {
  const auto known = sizes_.find(order);
  if (known != sizes_.end()) {
    out = known->second;
    return true;
  }
  double work = 0;
  blas_int iwork = 0, info = 0;
  const blas_int query = -1;
  dsyevd_(&jobz_, &uplo_, &order, a, &order, values, &work, &query, &iwork, &query, &info, 1, 1);
  if (info != 0) return false;
  // LAPACK reports the length as a double; it is a whole number.
  out.work = std::max<blas_int>(static_cast<blas_int>(work), 1) + spare_;
  out.iwork = std::max<blas_int>(iwork, 1);
  sizes_.emplace(order, out);
  return true;
}

bool SymmetricEigen::solve(double* a, blas_int order, double* values) {
  if (order < 1) return order == 0;
  Sizes sizes;
  if (!sizes_for(a, order, values, sizes)) return false;
  if (work_.size() < static_cast<std::size_t>(sizes.work))
    work_.resize(static_cast<std::size_t>(sizes.work));
  if (iwork_.size() < static_cast<std::size_t>(sizes.iwork))
    iwork_.resize(static_cast<std::size_t>(sizes.iwork));
  blas_int info = 0;
  dsyevd_(&jobz_, &uplo_, &order, a, &order, values, work_.data(), &sizes.work, iwork_.data(),
          &sizes.iwork, &info, 1, 1);
  return info == 0;
}

}  // namespace zarvo
