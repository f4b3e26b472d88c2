// Products with a group matrix that skip its zeros (Highway, compiled for
// several instruction sets and dispatched at run time to the best the CPU
// has).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/sparse_products.cpp"
#include "core/sparse_products.h"

#include <cstddef>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace zarvo::detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

bool Multiply(const double* A, int rows, int L, const int* start, const int* inner,
              const double* factor, double* C) {
#if HWY_NATIVE_FMA
  const hn::CappedTag<double, 4> d;
  using V = hn::Vec<decltype(d)>;
  if (hn::Lanes(d) != 4 || rows % 4 != 0) return false;
  // The sum of every result: infinite or NaN when one of them is (or, very
  // rarely, when the sum alone overflows; the full product then runs too).
  V total = hn::Zero(d);
  const std::ptrdiff_t column = rows;
  for (int j = 0; j < L; ++j) {
    const int e0 = start[j], e1 = start[j + 1];
    double* c = C + column * j;
    int r = 0;
    for (; r + 32 <= rows; r += 32) {
      V s[8];
      for (int v = 0; v < 8; ++v) s[v] = hn::Zero(d);
      for (int e = e0; e < e1; ++e) {
        const double* a = A + column * inner[e] + r;
        const V b = hn::Set(d, factor[e]);
#pragma GCC unroll 8
        for (int v = 0; v < 8; ++v) s[v] = hn::MulAdd(hn::LoadU(d, a + 4 * v), b, s[v]);
      }
      for (int v = 0; v < 8; ++v) hn::StoreU(s[v], d, c + r + 4 * v);
      const V low = hn::Add(hn::Add(s[0], s[1]), hn::Add(s[2], s[3]));
      const V high = hn::Add(hn::Add(s[4], s[5]), hn::Add(s[6], s[7]));
      total = hn::Add(total, hn::Add(low, high));
    }
    for (; r < rows; r += 4) {
      V s = hn::Zero(d);
      for (int e = e0; e < e1; ++e)
        s = hn::MulAdd(hn::LoadU(d, A + column * inner[e] + r), hn::Set(d, factor[e]), s);
      hn::StoreU(s, d, c + r);
      total = hn::Add(total, s);
    }
  }
  return hn::AllTrue(d, hn::Eq(hn::Sub(total, total), hn::Zero(d)));
#else
  (void)A, (void)rows, (void)L, (void)start, (void)inner, (void)factor, (void)C;
  return false;
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace zarvo::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo::detail {

HWY_EXPORT(Multiply);

namespace {
// Orders planned; larger group matrices keep the full product.
constexpr int kLargest = 64;
}  // namespace

SparseColumns::SparseColumns(int L) {
  if (L < 1 || L > kLargest) return;
  start_.reserve(static_cast<std::size_t>(L) + 1);
  inner_.reserve(static_cast<std::size_t>(L) * L);
  factor_.reserve(static_cast<std::size_t>(L) * L);
}

void SparseColumns::plan(const double* G, int L, bool transposed) {
  matrix_ = G;
  order_ = L;
  worthwhile_ = false;
  start_.clear();
  inner_.clear();
  factor_.clear();
  if (!G || L < 1 || L > kLargest) return;
  bool used[kLargest] = {};
  for (int j = 0; j < L; ++j) {
    start_.push_back(static_cast<int>(inner_.size()));
    for (int k = 0; k < L; ++k) {
      const double b = transposed ? G[j + static_cast<std::ptrdiff_t>(L) * k]
                                  : G[k + static_cast<std::ptrdiff_t>(L) * j];
      if (b == 0.0) continue;  // NaN is kept
      inner_.push_back(k);
      factor_.push_back(b);
      used[k] = true;
    }
  }
  start_.push_back(static_cast<int>(inner_.size()));
  bool all_used = true;
  for (int k = 0; k < L; ++k) all_used = all_used && used[k];
  worthwhile_ = all_used && 2 * inner_.size() <= static_cast<std::size_t>(L) * L;
}

bool SparseColumns::multiply(const double* A, int rows, double* C) const {
  if (!worthwhile_) return false;
  return HWY_DYNAMIC_DISPATCH(Multiply)(A, rows, order_, start_.data(), inner_.data(),
                                        factor_.data(), C);
}

}  // namespace zarvo::detail
#endif
