// Products with a group matrix that skip its zero entries (the Haar
// matrices of the group transform are mostly zeros: 19 % of a 32 x 32 one is
// not). Each coefficient is the chain the product kernels make, fused
// multiply-adds over the inner index in increasing order from +0, without
// the terms whose factor is zero: such a term adds a zero to a sum that is
// never -0, and changes nothing unless the other factor is infinite or NaN.
// Internal to the core library.
#pragma once

#include <vector>

namespace zarvo::detail {

// Where the nonzero entries of op(G) are, column by column, for a square
// L x L matrix G (op(G) = G' when transposed).
class SparseColumns {
 public:
  SparseColumns() = default;
  // Room for a matrix of order L without allocating again.
  explicit SparseColumns(int L);

  // Remembers G (which must not change while it is planned) and where the
  // nonzero entries of op(G) are.
  void plan(const double* G, int L, bool transposed);

  // Whether this was planned for G.
  bool planned_for(const double* G) const { return matrix_ == G && matrix_ != nullptr; }
  // Whether skipping the zeros is worth it: at most half of the entries are
  // nonzero, and every column of A has a nonzero factor (so that an
  // infinite or NaN entry of A reaches the result, as in the full product).
  bool worthwhile() const { return worthwhile_; }

  // C = A op(G) for A rows x L (rows a multiple of 4), all column-major.
  // False when the running code path has no such kernel, or when the
  // result holds an infinite or NaN value; C must then be made by the full
  // product.
  bool multiply(const double* A, int rows, double* C) const;

 private:
  const double* matrix_ = nullptr;
  int order_ = 0;
  bool worthwhile_ = false;
  std::vector<int> start_;      // entries of output column j: start_[j] .. start_[j + 1] - 1
  std::vector<int> inner_;      // their inner index k, increasing
  std::vector<double> factor_;  // op(G)(k, j)
};

}  // namespace zarvo::detail
