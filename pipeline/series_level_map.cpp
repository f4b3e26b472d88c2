#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "series_level.h"
#include "zarvo/run.h"

namespace zarvo::series_level {

namespace {

// Grid points without a level (negative) take the mean of their neighbours
// that have one, ring after ring outwards from the measured ones.
void fill_outwards(std::vector<double>& level, int n0, int n1, int n2) {
  auto at = [&](int i, int j, int k) {
    return static_cast<std::size_t>(i) +
           static_cast<std::size_t>(n0) *
               (static_cast<std::size_t>(j) +
                static_cast<std::size_t>(n1) * static_cast<std::size_t>(k));
  };
  for (bool changed = true; changed;) {
    changed = false;
    std::vector<double> next = level;
    for (int k = 0; k < n2; ++k)
      for (int j = 0; j < n1; ++j)
        for (int i = 0; i < n0; ++i) {
          if (level[at(i, j, k)] >= 0) continue;
          double sum = 0;
          int count = 0;
          for (int dk = -1; dk <= 1; ++dk)
            for (int dj = -1; dj <= 1; ++dj)
              for (int di = -1; di <= 1; ++di) {
                const int a = i + di, b = j + dj, c = k + dk;
                if (a < 0 || b < 0 || c < 0 || a >= n0 || b >= n1 || c >= n2) continue;
                const double v = level[at(a, b, c)];
                if (v >= 0) {
                  sum += v;
                  ++count;
                }
              }
          if (count) {
            next[at(i, j, k)] = sum / count;
            changed = true;
          }
        }
    level.swap(next);
  }
}

}  // namespace

std::vector<double> smooth_map(const Series& s, const PatchGrid& g,
                               const std::vector<PatchLevel>& patches) {
  const int n0 = static_cast<int>(g.starts[0].size()), n1 = static_cast<int>(g.starts[1].size()),
            n2 = static_cast<int>(g.starts[2].size());
  auto at = [&](int i, int j, int k) {
    return static_cast<std::size_t>(i) +
           static_cast<std::size_t>(n0) *
               (static_cast<std::size_t>(j) +
                static_cast<std::size_t>(n1) * static_cast<std::size_t>(k));
  };
  const std::size_t cells = patches.size();
  std::vector<double> value(cells, 0.0), weight(cells, 0.0);
  std::vector<double> near;
  for (int k = 0; k < n2; ++k)
    for (int j = 0; j < n1; ++j)
      for (int i = 0; i < n0; ++i) {
        if (!patches[at(i, j, k)].usable) continue;
        near.clear();
        for (int dk = -1; dk <= 1; ++dk)
          for (int dj = -1; dj <= 1; ++dj)
            for (int di = -1; di <= 1; ++di) {
              const int a = i + di, b = j + dj, c = k + dk;
              if (a < 0 || b < 0 || c < 0 || a >= n0 || b >= n1 || c >= n2) continue;
              const PatchLevel& p = patches[at(a, b, c)];
              if (p.usable) near.push_back(p.sigma);
            }
        value[at(i, j, k)] = median(near);
        weight[at(i, j, k)] = 1;
      }
  std::vector<double> usable;
  for (std::size_t c = 0; c < cells; ++c)
    if (weight[c] > 0) usable.push_back(value[c]);
  if (usable.empty())
    throw Error("the noise level map cannot be estimated: no patch of the series carries noise");

  // Gaussian weights over 0.7 grid steps, axis by axis, on value x weight and
  // on weight alike. The patch levels are precise (thousands of degrees of
  // freedom each) and the median has removed those that anatomy spoilt, so
  // wider weights would only flatten the peaks of the level.
  for (std::size_t c = 0; c < cells; ++c) value[c] *= weight[c];
  constexpr int radius = 2;
  std::array<double, 2 * radius + 1> kernel{};
  for (int d = -radius; d <= radius; ++d) kernel[d + radius] = std::exp(-d * d / (2 * 0.7 * 0.7));
  const int dims[3] = {n0, n1, n2};
  for (int axis = 0; axis < 3; ++axis) {
    std::vector<double> v2(cells, 0.0), w2(cells, 0.0);
    for (int k = 0; k < n2; ++k)
      for (int j = 0; j < n1; ++j)
        for (int i = 0; i < n0; ++i) {
          int idx[3] = {i, j, k};
          const int centre = idx[axis];
          double sv = 0, sw = 0;
          for (int d = -radius; d <= radius; ++d) {
            idx[axis] = centre + d;
            if (idx[axis] < 0 || idx[axis] >= dims[axis]) continue;
            const std::size_t c = at(idx[0], idx[1], idx[2]);
            sv += kernel[d + radius] * value[c];
            sw += kernel[d + radius] * weight[c];
          }
          v2[at(i, j, k)] = sv;
          w2[at(i, j, k)] = sw;
        }
    value.swap(v2);
    weight.swap(w2);
  }
  std::vector<double> level(cells);
  for (std::size_t c = 0; c < cells; ++c) level[c] = weight[c] > 1e-3 ? value[c] / weight[c] : -1;
  fill_outwards(level, n0, n1, n2);

  // Trilinear between patch centres, constant beyond the outer ones.
  struct Step {
    std::vector<int> index;
    std::vector<double> frac;
  };
  Step steps[3];
  for (int a = 0; a < 3; ++a) {
    const int size = s.size(a);
    const std::vector<int>& st = g.starts[static_cast<std::size_t>(a)];
    for (int x = 0; x < size; ++x) {
      const double pos = x - (g.extent[a] - 1) / 2.0;  // in patch-start units
      int i = 0;
      while (i + 1 < static_cast<int>(st.size()) && st[static_cast<std::size_t>(i) + 1] <= pos) ++i;
      double f = 0;
      if (i + 1 < static_cast<int>(st.size()) && pos > st[static_cast<std::size_t>(i)])
        f = (pos - st[static_cast<std::size_t>(i)]) /
            (st[static_cast<std::size_t>(i) + 1] - st[static_cast<std::size_t>(i)]);
      steps[a].index.push_back(i);
      steps[a].frac.push_back(f);
    }
  }
  std::vector<double> map(s.voxels());
  std::size_t out = 0;
  for (int z = 0; z < s.slices; ++z)
    for (int c = 0; c < s.cols; ++c)
      for (int r = 0; r < s.rows; ++r, ++out) {
        const int i = steps[0].index[static_cast<std::size_t>(r)],
                  j = steps[1].index[static_cast<std::size_t>(c)],
                  k = steps[2].index[static_cast<std::size_t>(z)];
        const double fi = steps[0].frac[static_cast<std::size_t>(r)],
                     fj = steps[1].frac[static_cast<std::size_t>(c)],
                     fk = steps[2].frac[static_cast<std::size_t>(z)];
        double sum = 0;
        for (int dk = 0; dk <= 1; ++dk)
          for (int dj = 0; dj <= 1; ++dj)
            for (int di = 0; di <= 1; ++di) {
              const double wgt = (di ? fi : 1 - fi) * (dj ? fj : 1 - fj) * (dk ? fk : 1 - fk);
              if (wgt == 0) continue;
              sum += wgt * level[at(i + di, j + dj, k + dk)];
            }
        map[out] = sum;
      }
  return map;
}

}  // namespace zarvo::series_level

namespace zarvo {

std::vector<double> estimate_series_sigma_map(const SeriesInput& input, Noise noise,
                                              const unsigned char* mask, int threads) {
  namespace sl = series_level;
  const sl::Series s = sl::load(input);
  const sl::PatchGrid grid = sl::patch_grid(s, sl::patch_stride(s, 2));
  std::vector<sl::PatchLevel> patches = sl::patch_levels(s, grid, noise, mask, threads);
  if (noise == Noise::rician) {
    // As for the single level: the levels of a magnitude background (pure
    // Rayleigh noise) run low, so the head's levels are carried out over it.
    std::vector<double> all;
    for (const sl::PatchLevel& p : patches)
      if (p.usable) all.push_back(p.sigma * p.sigma);
    const std::vector<unsigned char> fg =
        sl::foreground(s, mask, sl::kBackgroundMean * std::sqrt(sl::median(all)));
    std::vector<sl::PatchLevel> head = patches;
    std::size_t kept = 0;
    for (sl::PatchLevel& p : head) {
      const std::size_t centre =
          static_cast<std::size_t>(p.row) +
          static_cast<std::size_t>(s.rows) *
              (static_cast<std::size_t>(p.col) +
               static_cast<std::size_t>(s.cols) * static_cast<std::size_t>(p.slice));
      p.usable = p.usable && fg[centre];
      kept += p.usable;
    }
    if (kept >= sl::kMinPatches) patches.swap(head);
  }
  return sl::smooth_map(s, grid, patches);
}

}  // namespace zarvo
