#include "series_residual.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/parts.h"
#include "lapack.h"

namespace zarvo {
namespace {

struct Axis {
  int size, core, extent, cores;
  Axis(int n, int c, int e)
      : size(n), core(std::min(c, n)), extent(std::min(e, n)), cores((n + core - 1) / core) {}
  int core_begin(int i) const { return i * core; }
  int core_end(int i) const { return std::min(size, (i + 1) * core); }
  // The patch around core i, moved inside the volume at its borders.
  int patch_begin(int i) const {
    const int centre = (core_begin(i) + core_end(i)) / 2;
    return std::clamp(centre - extent / 2, 0, size - extent);
  }
};

constexpr double kMadScale = 0.6744897501960817;
// Residual levels below this (in unit noise) are rounding, not noise.
constexpr double kFloorLevel = 1e-4;

// Per-thread room: the patch (voxels x volumes), its Gram matrix and its
// eigenproblem (one spare double of LAPACK workspace, as the step has
// always run with).
struct Workspace {
  std::vector<double> a, gram, eigen;
  SymmetricEigen solver{true, 'U', 1};
};

// The Frobenius-optimal factor for a component whose singular value is y
// times the noise's sqrt(samples), for an aspect ratio beta = count /
// samples; 0 at or below the noise edge 1 + sqrt(beta).
double shrink_factor(double y, double beta) {
  if (!(y > 1 + std::sqrt(beta))) return 0;
  const double d = (y * y - beta - 1) * (y * y - beta - 1) - 4 * beta;
  return d > 0 ? std::sqrt(d) / (y * y) : 0;
}

}  // namespace

std::vector<double> residual_levels(const SeriesStore& residual, const unsigned char* mask) {
  std::vector<double> levels(static_cast<std::size_t>(residual.volumes()), 1.0);
  std::vector<float> a;
  for (int t = 0; t < residual.volumes(); ++t) {
    const float* r = residual.volume(t);
    a.clear();
    for (std::size_t i = 0; i < residual.voxels(); ++i)
      if (!mask || mask[i]) a.push_back(std::fabs(r[i]));
    if (a.empty()) continue;
    const auto mid = a.begin() + static_cast<std::ptrdiff_t>(a.size() / 2);
    std::nth_element(a.begin(), mid, a.end());
    const double level = *mid / kMadScale;
    // A volume the estimate passed through unchanged has no residual noise
    // to measure; it then takes nothing back.
    levels[static_cast<std::size_t>(t)] = level > kFloorLevel ? level : 0.0;
  }
  return levels;
}

namespace {

// The core of the step on one grid: every core's patch, its low-rank part
// added to the core's voxels.
void add_low_rank(const SeriesStore& residual, const std::vector<double>& levels,
                  SeriesStore& output, int rows, int cols, int slices, const unsigned char* mask,
                  const ResidualPatches& patches, int threads) {
  const int M = residual.volumes();
  const Axis ax[3] = {Axis(rows, patches.core, patches.extent),
                      Axis(cols, patches.core, patches.extent),
                      Axis(slices, patches.core, patches.extent)};
  const std::size_t R = static_cast<std::size_t>(rows),
                    RC = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  const std::size_t cores = static_cast<std::size_t>(ax[0].cores) * ax[1].cores * ax[2].cores;

  in_parts(cores, threads, 1, [&](int, std::size_t first, std::size_t last) {
    Workspace w;
    std::vector<std::size_t> patch, core;
    std::vector<int> core_rows;  // row of each core voxel in the patch
    for (std::size_t c = first; c < last; ++c) {
      const int i0 = static_cast<int>(c % ax[0].cores),
                i1 = static_cast<int>((c / ax[0].cores) % ax[1].cores),
                i2 = static_cast<int>(c / (static_cast<std::size_t>(ax[0].cores) * ax[1].cores));
      core.clear();
      core_rows.clear();
      patch.clear();
      const int b0 = ax[0].patch_begin(i0), b1 = ax[1].patch_begin(i1), b2 = ax[2].patch_begin(i2);
      for (int z = b2; z < b2 + ax[2].extent; ++z)
        for (int y = b1; y < b1 + ax[1].extent; ++y)
          for (int x = b0; x < b0 + ax[0].extent; ++x) {
            const std::size_t i = static_cast<std::size_t>(x) + R * y + RC * z;
            if (x >= ax[0].core_begin(i0) && x < ax[0].core_end(i0) && y >= ax[1].core_begin(i1) &&
                y < ax[1].core_end(i1) && z >= ax[2].core_begin(i2) && z < ax[2].core_end(i2) &&
                (!mask || mask[i])) {
              core.push_back(i);
              core_rows.push_back(static_cast<int>(patch.size()));
            }
            patch.push_back(i);
          }
      if (core.empty()) continue;
      const int N = static_cast<int>(patch.size());
      const std::size_t n = patch.size();
      w.a.resize(n * static_cast<std::size_t>(M));
      for (int t = 0; t < M; ++t) {
        const float* v = residual.volume(t);
        double* col = w.a.data() + n * static_cast<std::size_t>(t);
        const double level = levels[static_cast<std::size_t>(t)];
        const double scale = level > 0 ? 1.0 / level : 0.0;
        for (std::size_t j = 0; j < n; ++j) col[j] = scale * v[patch[j]];
      }
      const bool by_volumes = M <= N;
      const blas_int order = by_volumes ? M : N, depth = by_volumes ? N : M, lda = N;
      const int count = std::min(M, N), samples = std::max(M, N);
      w.gram.resize(static_cast<std::size_t>(order) * static_cast<std::size_t>(order));
      w.eigen.resize(static_cast<std::size_t>(order));
      const double one = 1, zero = 0;
      const char uplo = 'U', trans = by_volumes ? 'T' : 'N';
      dsyrk_(&uplo, &trans, &order, &depth, &one, w.a.data(), &lda, &zero, w.gram.data(), &order, 1,
             1);
      if (!w.solver.solve(w.gram.data(), order, w.eigen.data())) continue;
      // Divided by the levels, the residual's noise is at most white of
      // level 1 (less where the estimate kept part of it): the components
      // above that noise's edge are signal.
      const double beta = static_cast<double>(count) / samples;
      for (int k = 0; k < count; ++k) {
        const double lambda = std::max(0.0, w.eigen[static_cast<std::size_t>(order - 1 - k)]);
        const double factor = shrink_factor(std::sqrt(lambda / samples), beta);
        if (factor == 0) break;
        const double* u = w.gram.data() +
                          static_cast<std::size_t>(order - 1 - k) * static_cast<std::size_t>(order);
        if (by_volumes) {  // u over volumes: a coefficient per core voxel
          for (std::size_t j = 0; j < core.size(); ++j) {
            const std::size_t row = static_cast<std::size_t>(core_rows[j]);
            double coef = 0;
            for (int t = 0; t < M; ++t) coef += w.a[row + n * static_cast<std::size_t>(t)] * u[t];
            coef *= factor;
            for (int t = 0; t < M; ++t) {
              float& o = output.volume(t)[core[j]];
              o = static_cast<float>(o + levels[static_cast<std::size_t>(t)] * (coef * u[t]));
            }
          }
        } else {  // u over voxels: a coefficient per volume
          for (int t = 0; t < M; ++t) {
            const double* col = w.a.data() + n * static_cast<std::size_t>(t);
            double coef = 0;
            for (std::size_t j = 0; j < n; ++j) coef += col[j] * u[j];
            coef *= factor;
            for (std::size_t j = 0; j < core.size(); ++j) {
              float& o = output.volume(t)[core[j]];
              o = static_cast<float>(o + levels[static_cast<std::size_t>(t)] *
                                             (coef * u[static_cast<std::size_t>(core_rows[j])]));
            }
          }
        }
      }
    }
  });
}

}  // namespace

void restore_residual(const SeriesStore& residual, const std::vector<double>& levels,
                      SeriesStore& output, int rows, int cols, int slices,
                      const unsigned char* mask, const ResidualPatches& patches, int threads) {
  const int bin = std::max(patches.bin, 1);
  if (bin == 1) {
    add_low_rank(residual, levels, output, rows, cols, slices, mask, patches, threads);
    return;
  }
  // Sums over bins of the voxels inside the mask, divided by the root of
  // their count: white noise stays white at its level, a signal as smooth
  // as a bin gains that root in contrast to the noise.
  const int br = (rows + bin - 1) / bin, bc = (cols + bin - 1) / bin, bs = (slices + bin - 1) / bin;
  const std::size_t bins = static_cast<std::size_t>(br) * bc * bs, voxels = residual.voxels();
  std::vector<std::size_t> bin_of(voxels);
  std::vector<int> count(bins, 0);
  std::size_t i = 0;
  for (int z = 0; z < slices; ++z)
    for (int y = 0; y < cols; ++y)
      for (int x = 0; x < rows; ++x, ++i) {
        bin_of[i] = static_cast<std::size_t>(x / bin) +
                    static_cast<std::size_t>(br) * static_cast<std::size_t>(y / bin) +
                    static_cast<std::size_t>(br) * bc * static_cast<std::size_t>(z / bin);
        if (!mask || mask[i]) ++count[bin_of[i]];
      }
  std::vector<unsigned char> bin_mask(bins);
  std::vector<double> root(bins), sum(bins);
  for (std::size_t b = 0; b < bins; ++b) {
    bin_mask[b] = count[b] > 0;
    root[b] = std::sqrt(static_cast<double>(count[b]));
  }
  const int M = residual.volumes();
  SeriesStore binned(bins, M, threads), low(bins, M, threads);
  for (int t = 0; t < M; ++t) {
    std::fill(sum.begin(), sum.end(), 0.0);
    const float* r = residual.volume(t);
    for (std::size_t j = 0; j < voxels; ++j)
      if (!mask || mask[j]) sum[bin_of[j]] += r[j];
    float* to = binned.volume(t);
    for (std::size_t b = 0; b < bins; ++b)
      to[b] = count[b] ? static_cast<float>(sum[b] / root[b]) : 0.0f;
  }
  add_low_rank(binned, levels, low, br, bc, bs, bin_mask.data(), patches, threads);
  // Back on the voxels: the bins' means interpolated (trilinear between
  // the bins' centres, over the bins that hold voxels of the mask).
  struct Corner {
    std::size_t bin[8];
    double weight[8];
  };
  auto corner_of = [&](int x, int y, int z) {
    const int at[3] = {x, y, z}, size[3] = {br, bc, bs};
    int lo[3], hi[3];
    double w[3];
    for (int a = 0; a < 3; ++a) {
      const double u = std::clamp((at[a] - 0.5 * (bin - 1)) / bin, 0.0, size[a] - 1.0);
      lo[a] = static_cast<int>(u);
      hi[a] = std::min(lo[a] + 1, size[a] - 1);
      w[a] = u - lo[a];
    }
    Corner c;
    double total = 0;
    for (int k = 0; k < 8; ++k) {
      const int cx = k & 1 ? hi[0] : lo[0], cy = k & 2 ? hi[1] : lo[1], cz = k & 4 ? hi[2] : lo[2];
      c.bin[k] = static_cast<std::size_t>(cx) + static_cast<std::size_t>(br) * cy +
                 static_cast<std::size_t>(br) * bc * cz;
      c.weight[k] = (k & 1 ? w[0] : 1 - w[0]) * (k & 2 ? w[1] : 1 - w[1]) *
                    (k & 4 ? w[2] : 1 - w[2]) * (count[c.bin[k]] > 0 ? 1 : 0);
      total += c.weight[k];
    }
    for (int k = 0; k < 8; ++k) c.weight[k] = total > 0 ? c.weight[k] / total : 0;
    return c;
  };
  for (int t = 0; t < M; ++t) {
    float* l = low.volume(t);
    for (std::size_t b = 0; b < bins; ++b) l[b] = count[b] ? static_cast<float>(l[b] / root[b]) : 0;
  }
  std::size_t j = 0;
  for (int z = 0; z < slices; ++z)
    for (int y = 0; y < cols; ++y)
      for (int x = 0; x < rows; ++x, ++j) {
        if (mask && !mask[j]) continue;
        const Corner c = corner_of(x, y, z);
        for (int t = 0; t < M; ++t) {
          const float* l = low.volume(t);
          double v = 0;
          for (int k = 0; k < 8; ++k) v += c.weight[k] * l[c.bin[k]];
          float& o = output.volume(t)[j];
          o = static_cast<float>(o + v);
        }
      }
}

}  // namespace zarvo
