#include "volume_transform.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/parts.h"
#include "lapack.h"
#include "zarvo/run.h"

namespace zarvo {
namespace {

// Voxels per product: the vectors of a block (block x n doubles) stay in
// the cache while they are multiplied. A fixed size, so that every voxel's
// result comes from the same product whatever the number of threads.
constexpr std::size_t block = 1024;
// Blocks whose second moments are summed in one partial sum; the partial
// sums are added in order at the end.
constexpr std::size_t blocks_per_chunk = 64;

std::size_t blocks_of(std::size_t voxels) { return (voxels + block - 1) / block; }

// C = A^T A + beta C for A (rows x n, column-major, leading dimension rows).
void add_gram(const double* a, int rows, int n, double beta, double* c) {
  const blas_int m = n, k = rows, lda = rows > 0 ? rows : 1, ldc = n;
  const double one = 1.0;
  ZARVO_DGEMM("T", "N", &m, &m, &k, &one, a, &lda, a, &lda, &beta, c, &ldc, 1, 1);
}

// Every voxel's vector times the basis (B^T x) or the basis times it (B c).
void apply(SeriesStore& series, const VolumeBasis& basis, bool forward, int threads) {
  const int n = series.volumes();
  const std::size_t voxels = series.voxels();
  in_parts(blocks_of(voxels), threads, 1, [&](int, std::size_t first, std::size_t last) {
    std::vector<double> in(block * static_cast<std::size_t>(n)), out(in.size());
    for (std::size_t b = first; b < last; ++b) {
      const std::size_t begin = b * block, count = std::min(block, voxels - begin);
      for (int t = 0; t < n; ++t) {
        const float* v = series.volume(t) + begin;
        double* column = in.data() + static_cast<std::size_t>(t) * count;
        for (std::size_t i = 0; i < count; ++i) column[i] = v[i];
      }
      // Rows are voxels: out = in B (forward) or in B^T (inverse).
      const blas_int m = static_cast<blas_int>(count), nn = n, ld = static_cast<blas_int>(count);
      const double one = 1.0, zero = 0.0;
      ZARVO_DGEMM("N", forward ? "N" : "T", &m, &nn, &nn, &one, in.data(), &ld, basis.axes.data(),
                  &nn, &zero, out.data(), &ld, 1, 1);
      for (int t = 0; t < n; ++t) {
        float* v = series.volume(t) + begin;
        const double* column = out.data() + static_cast<std::size_t>(t) * count;
        for (std::size_t i = 0; i < count; ++i) v[i] = static_cast<float>(column[i]);
      }
    }
  });
}

// The eigenvalues (ascending, into w) and eigenvectors (the columns of a,
// in place) of the symmetric n x n matrix a (its lower triangle read).
void eigen(std::vector<double>& a, int n, std::vector<double>& w, const char* what) {
  SymmetricEigen solver(true, 'L');
  if (!solver.solve(a.data(), n, w.data()))
    throw Error(std::string(what) + " cannot be computed (LAPACK dsyevd)");
}

// Signed so that its largest entry is positive: the same axis whatever sign
// the eigensolver returned.
void sign_by_largest(const double* from, int n, double* to) {
  int largest = 0;
  for (int i = 1; i < n; ++i)
    if (std::fabs(from[i]) > std::fabs(from[largest])) largest = i;
  const double sign = from[largest] < 0 ? -1.0 : 1.0;
  for (int i = 0; i < n; ++i) to[i] = sign * from[i];
}

}  // namespace

SeriesStore::SeriesStore(std::size_t voxels, int volumes, int threads)
    : voxels_(voxels), volumes_(volumes) {
  resize_large(data_, voxels * static_cast<std::size_t>(volumes), threads);
  base_ = data_.data();
}

VolumeBasis principal_axes(const SeriesStore& series, const unsigned char* mask, int threads) {
  const int n = series.volumes();
  const std::size_t voxels = series.voxels(), nn = static_cast<std::size_t>(n) * n;
  const std::size_t blocks = blocks_of(voxels);
  const std::size_t chunks = (blocks + blocks_per_chunk - 1) / blocks_per_chunk;
  std::vector<double> partial(chunks * nn, 0.0);
  in_parts(chunks, threads, 1, [&](int, std::size_t first, std::size_t last) {
    std::vector<double> a(block * static_cast<std::size_t>(n));
    for (std::size_t c = first; c < last; ++c) {
      double* sum = partial.data() + c * nn;
      const std::size_t end_block = std::min(blocks, (c + 1) * blocks_per_chunk);
      for (std::size_t b = c * blocks_per_chunk; b < end_block; ++b) {
        const std::size_t begin = b * block, count = std::min(block, voxels - begin);
        int rows = 0;
        for (std::size_t i = 0; i < count; ++i)
          if (!mask || mask[begin + i]) ++rows;
        if (rows == 0) continue;
        for (int t = 0; t < n; ++t) {
          const float* v = series.volume(t) + begin;
          double* column = a.data() + static_cast<std::size_t>(t) * rows;
          int r = 0;
          for (std::size_t i = 0; i < count; ++i)
            if (!mask || mask[begin + i]) column[r++] = v[i];
        }
        add_gram(a.data(), rows, n, 1.0, sum);
      }
    }
  });
  std::vector<double> gram(nn, 0.0);
  for (std::size_t c = 0; c < chunks; ++c)
    for (std::size_t i = 0; i < nn; ++i) gram[i] += partial[c * nn + i];

  std::vector<double> w(static_cast<std::size_t>(n));
  eigen(gram, n, w, "the principal axes of the series");

  // Largest first; each axis signed so that its largest entry is positive
  // (the leading component then looks like the series' mean image).
  VolumeBasis basis;
  basis.n = n;
  basis.axes.resize(nn);
  basis.moments.resize(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    const double* from = gram.data() + static_cast<std::size_t>(n - 1 - k) * n;
    double* to = basis.axes.data() + static_cast<std::size_t>(k) * n;
    sign_by_largest(from, n, to);
    basis.moments[static_cast<std::size_t>(k)] = w[static_cast<std::size_t>(n - 1 - k)];
  }
  return basis;
}

int signal_axes(const std::vector<double>& mean_square, std::size_t samples) {
  if (mean_square.empty()) return 0;
  std::vector<double> sorted(mean_square);
  const auto mid = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
  std::nth_element(sorted.begin(), mid, sorted.end());
  const double ratio = std::sqrt(static_cast<double>(sorted.size()) /
                                 static_cast<double>(std::max<std::size_t>(samples, 1)));
  const double edge = *mid * (1 + ratio) * (1 + ratio);
  int kept = 1;
  while (kept < static_cast<int>(mean_square.size()) &&
         mean_square[static_cast<std::size_t>(kept)] > edge)
    ++kept;
  return kept;
}

bool slow_along_volumes(const VolumeBasis& basis, int kept) {
  const int n = basis.n;
  // A random unit vector's squared steps sum to 2 (n - 1) / n on average.
  const double random = 2.0 * (n - 1) / n;
  for (int k = 1; k < std::min(kept, n); ++k) {
    const double* a = basis.axes.data() + static_cast<std::size_t>(k) * n;
    double steps = 0;
    for (int i = 1; i < n; ++i) steps += (a[i] - a[i - 1]) * (a[i] - a[i - 1]);
    if (steps < 0.25 * random) return true;
  }
  return false;
}

void smooth_trailing_axes(VolumeBasis& basis, int kept) {
  const int n = basis.n, m = n - kept;
  if (kept < 0 || m <= 1) return;
  const std::size_t un = static_cast<std::size_t>(n), um = static_cast<std::size_t>(m);
  const double* q = basis.axes.data() + static_cast<std::size_t>(kept) * un;
  // D Q, D the second difference along the volumes with reflecting ends
  // (its eigenvectors are the cosine basis), then Q^T D Q.
  std::vector<double> dq(un * um);
  for (std::size_t j = 0; j < um; ++j) {
    const double* a = q + j * un;
    double* d = dq.data() + j * un;
    for (int i = 0; i < n; ++i) {
      const double before = i > 0 ? a[i] - a[i - 1] : 0.0;
      const double after = i + 1 < n ? a[i] - a[i + 1] : 0.0;
      d[i] = before + after;
    }
  }
  std::vector<double> restricted(um * um);
  for (std::size_t j = 0; j < um; ++j)
    for (std::size_t i = 0; i < um; ++i) {
      double dot = 0;
      for (std::size_t t = 0; t < un; ++t) dot += q[i * un + t] * dq[j * un + t];
      restricted[j * um + i] = dot;
    }
  std::vector<double> roughness(um);
  eigen(restricted, m, roughness, "the smooth axes of the series");

  // New axis j = Q c_j; its moment, as Q's axes are principal ones, the
  // sum of their moments weighted by c_j's squares.
  std::vector<double> axes(un * um), moments(um);
  std::vector<double> axis(un);
  for (std::size_t j = 0; j < um; ++j) {
    const double* c = restricted.data() + j * um;
    double moment = 0;
    std::fill(axis.begin(), axis.end(), 0.0);
    for (std::size_t i = 0; i < um; ++i) {
      moment += basis.moments[static_cast<std::size_t>(kept) + i] * c[i] * c[i];
      for (std::size_t t = 0; t < un; ++t) axis[t] += c[i] * q[i * un + t];
    }
    sign_by_largest(axis.data(), n, axes.data() + j * un);
    moments[j] = moment;
  }
  std::copy(axes.begin(), axes.end(), basis.axes.begin() + static_cast<std::ptrdiff_t>(kept * un));
  std::copy(moments.begin(), moments.end(), basis.moments.begin() + kept);
}

void to_components(SeriesStore& series, const VolumeBasis& basis, int threads) {
  apply(series, basis, true, threads);
}

void from_components(SeriesStore& series, const VolumeBasis& basis, int threads) {
  apply(series, basis, false, threads);
}

}  // namespace zarvo
