#include "noise_level.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "core/memory.h"
#include "core/zarvo.h"
#include "vst/vst.h"

namespace zarvo::level {

// The details and means of the blocks that carry noise, and how many voxels
// each mean is taken over (the noise left in it).
struct Samples {
  std::vector<double> detail, mean, texture;
  std::vector<std::uint16_t> voxels;
  std::size_t total = 0;
};

namespace {

constexpr double kMadScale = 0.6744897501960817;
// Below this many blocks the level's relative spread (1.17 / sqrt(blocks))
// exceeds 12 %.
constexpr std::size_t kMinBlocks = 100;
// The Rician correction for each block's spread needs this many blocks;
// fewer keep the first level (its median already spreads by 4 %).
constexpr std::size_t kMinSpreadBlocks = 1000;
// A mean's excess over the air's that its own noise could explain, in sds
// of that noise (see rician_level).
constexpr double kMeanNoise = 1.5;
// Blocks whose texture is at most this many times the median count as weak
// texture (see weak_level).
constexpr double kWeakTexture = 1.5;
// White noise gives the weak-texture blocks a texture of about the level
// squared (0.98 to 1.06 on textured scans with added noise, up to 1.19 where
// the anatomy still leaks in); correlated noise holds more in the other
// details than in the diagonal one (1.27 on a real 4 x 4 x 5 mm scan as
// stored, 1.53 on a b0 volume, 5.8 on an EPI series), and choosing blocks
// by them would halve its level. Above this ratio every block counts.
constexpr double kWhiteTexture = 1.2;
// A detail below this fraction of the intensity is rounding, not noise
// (float32 storage alone leaves about 3e-8).
constexpr double kNoiseFreeRatio = 1e-6;

// The 2 x 2 x 2 blocks of a volume, or 2 x 2 of a single slice. The voxel
// offsets are in the order the detail's signs alternate.
struct Blocks {
  int rows, cols, slices;
  std::size_t R, RC;
  bool volumetric;
  int count;  // voxels per block
  std::array<std::size_t, 8> offset;
  std::array<double, 8> sign;
  double norm;

  Blocks(int r, int c, int s)
      : rows(r),
        cols(c),
        slices(s),
        R(r),
        RC(static_cast<std::size_t>(r) * c),
        volumetric(s >= 2),
        count(volumetric ? 8 : 4),
        offset{0, 1, R, R + 1, RC, RC + 1, RC + R, RC + R + 1},
        sign{1, -1, -1, 1, -1, 1, 1, -1},
        norm(volumetric ? std::sqrt(8.0) : 2.0) {}

  std::size_t voxels() const { return RC * slices; }
  std::size_t total() const {
    return static_cast<std::size_t>(rows / 2) * (cols / 2) * (volumetric ? slices / 2 : slices);
  }
  // Calls f(index of the block's first voxel) for every block.
  template <class F>
  void each(F f) const {
    const int zsteps = volumetric ? slices / 2 : slices, zstride = volumetric ? 2 : 1;
    for (int zb = 0; zb < zsteps; ++zb)
      for (int c = 0; c + 1 < cols; c += 2)
        for (int r = 0; r + 1 < rows; r += 2)
          f(r + R * c + RC * static_cast<std::size_t>(zstride * zb));
  }
};

// A run this small is no background, whatever its shape.
constexpr std::size_t kMinRun = 64;
// The share of a run's voxels that must lie in a 3 x 3 square of equal
// values. The equal values of rounded noise form porous runs: at a level of
// half a unit on an exactly uniform region (the worst case) about half of
// their voxels lie in such squares, at 0.4 units 84 %.
constexpr double kSolidShare = 0.9;

// Voxels in solid runs of one exact value, as masking or zero-filling leave
// them (see estimate_level): 1 in the result.
std::vector<std::uint8_t> flat_voxels(const Blocks& b, const double* x) {
  enum : std::uint8_t { none = 0, in_square = 1, seen = 2, done = 4 };
  std::vector<std::uint8_t> state(b.voxels(), none);
  // Which voxels lie in a 3 x 3 square of equal values in some axis plane
  // (sheets one voxel thick included).
  const std::size_t stride[3] = {1, b.R, b.RC};
  const int extent[3] = {b.rows, b.cols, b.slices};
  for (int u = 0; u < 3; ++u)
    for (int v = u + 1; v < 3; ++v) {
      if (extent[u] < 3 || extent[v] < 3) continue;
      std::array<std::size_t, 9> square;
      for (int k = 0; k < 9; ++k) square[k] = (k % 3) * stride[u] + (k / 3) * stride[v];
      for (int z = 0; z < b.slices; ++z)
        for (int c = 0; c < b.cols; ++c)
          for (int r = 0; r < b.rows; ++r) {
            const int at[3] = {r, c, z};
            if (at[u] + 3 > extent[u] || at[v] + 3 > extent[v]) continue;
            const std::size_t i = r + b.R * c + b.RC * static_cast<std::size_t>(z);
            bool equal = true;
            for (int k = 1; k < 9 && equal; ++k) equal = x[i + square[k]] == x[i];
            if (equal)
              for (std::size_t o : square) state[i + o] |= in_square;
          }
    }

  // Every face-connected run that holds such a square, walked twice: to
  // measure it, then to mark it.
  std::vector<std::size_t> stack;
  const auto walk = [&](std::size_t start, std::uint8_t from, std::uint8_t mark, auto&& visit) {
    const double v = x[start];
    stack.assign(1, start);
    state[start] = static_cast<std::uint8_t>((state[start] & ~from) | mark);
    while (!stack.empty()) {
      const std::size_t i = stack.back();
      stack.pop_back();
      visit(i);
      const int r = static_cast<int>(i % b.R), c = static_cast<int>(i / b.R % b.cols);
      const int z = static_cast<int>(i / b.RC);
      const std::size_t next[6] = {r > 0 ? i - 1 : i,    r + 1 < b.rows ? i + 1 : i,
                                   c > 0 ? i - b.R : i,  c + 1 < b.cols ? i + b.R : i,
                                   z > 0 ? i - b.RC : i, z + 1 < b.slices ? i + b.RC : i};
      for (std::size_t j : next)
        if (j != i && !(state[j] & mark) && (from == 0 || (state[j] & from)) && x[j] == v) {
          state[j] = static_cast<std::uint8_t>((state[j] & ~from) | mark);
          stack.push_back(j);
        }
    }
  };
  std::vector<std::uint8_t> flat(b.voxels(), 0);
  std::vector<double> fill;  // the values of the backgrounds
  for (std::size_t i = 0; i < b.voxels(); ++i) {
    if (!(state[i] & in_square) || (state[i] & (seen | done))) continue;
    std::size_t size = 0, solid = 0;
    walk(i, 0, seen, [&](std::size_t j) {
      ++size;
      solid += state[j] & in_square;
    });
    const bool background = size >= kMinRun && solid >= kSolidShare * size;
    walk(i, seen, done, [&](std::size_t j) { flat[j] = background; });
    if (background) fill.push_back(x[i]);
  }

  // Small or thin runs of a background's value (specks of the mask, gaps
  // between its pieces) are background too: a block holding one beside
  // tissue has a detail of the tissue's intensity.
  std::sort(fill.begin(), fill.end());
  fill.erase(std::unique(fill.begin(), fill.end()), fill.end());
  if (fill.empty()) return flat;
  std::size_t i = 0;
  for (int z = 0; z < b.slices; ++z)
    for (int c = 0; c < b.cols; ++c)
      for (int r = 0; r < b.rows; ++r, ++i) {
        const double v = x[i];
        if (flat[i] || !std::binary_search(fill.begin(), fill.end(), v)) continue;
        flat[i] = (r > 0 && x[i - 1] == v) || (r + 1 < b.rows && x[i + 1] == v) ||
                  (c > 0 && x[i - b.R] == v) || (c + 1 < b.cols && x[i + b.R] == v) ||
                  (z > 0 && x[i - b.RC] == v) || (z + 1 < b.slices && x[i + b.RC] == v);
      }
  return flat;
}

// Room for `more` elements, on huge pages where the system gives them: the
// samples of a series run to millions, and growing them a page at a time
// costs more than collecting them.
void make_room(std::vector<double>& v, std::size_t more) {
  if (v.size() + more > v.capacity()) reserve_large(v, std::max(v.size() + more, 2 * v.capacity()));
}

// The detail of every usable block of one volume, and the mean of the usable
// blocks among the 3 x 3 x 3 around it: the signal level its magnitude's
// spread depends on, measured on 27 times the voxels of one block (216), so
// that noise in a dark background does not pass for signal. A slice takes the
// 5 x 5 blocks around (100 voxels): 3 x 3 of them (36 voxels) left enough
// noise in the mean to count Rayleigh air at too large a spread.
void collect(const Blocks& b, const double* x, const std::uint8_t* mask, Samples& s) {
  const std::vector<std::uint8_t> flat = flat_voxels(b, x);
  const std::size_t total = b.total();
  const int bx = b.rows / 2, by = b.cols / 2, bz = static_cast<int>(total / bx / by);
  std::vector<double> detail(total), mean(total), energy(total);
  std::vector<std::uint8_t> usable(total, 0);
  // The block's other details (the signs of one or two axes; in a slice,
  // of one), whose mean square measures the texture around a block.
  const int others = b.volumetric ? 6 : 2;
  static constexpr int axis_sign[3][8] = {
      {1, -1, 1, -1, 1, -1, 1, -1}, {1, 1, -1, -1, 1, 1, -1, -1}, {1, 1, 1, 1, -1, -1, -1, -1}};
  std::size_t at = 0;
  b.each([&](std::size_t i) {
    const std::size_t here = at++;
    double d = 0.0, m = 0.0;
    double o[6] = {0, 0, 0, 0, 0, 0};
    for (int k = 0; k < b.count; ++k) {
      const std::size_t j = i + b.offset[k];
      if (flat[j] || (mask && !mask[j])) return;
      const double v = x[j];
      d += b.sign[k] * v;
      m += v;
      const int sx = axis_sign[0][k], sy = axis_sign[1][k], sz = axis_sign[2][k];
      o[0] += sx * v;
      o[1] += sy * v;
      if (b.volumetric) {
        o[2] += sz * v;
        o[3] += sx * sy * v;
        o[4] += sx * sz * v;
        o[5] += sy * sz * v;
      }
    }
    d /= b.norm;
    m /= b.count;
    double e = 0.0;
    for (int k = 0; k < others; ++k) e += (o[k] / b.norm) * (o[k] / b.norm);
    e /= others;
    if (!std::isfinite(d) || !std::isfinite(m) || !std::isfinite(e)) return;
    detail[here] = d;
    mean[here] = m;
    energy[here] = e;
    usable[here] = 1;
  });
  s.total += total;
  make_room(s.detail, total);
  make_room(s.mean, total);
  make_room(s.texture, total);
  if (s.voxels.size() + total > s.voxels.capacity())
    s.voxels.reserve(std::max(s.voxels.size() + total, 2 * s.voxels.capacity()));
  const int reach = b.volumetric ? 1 : 0, across = b.volumetric ? 1 : 2;
  for (int z = 0; z < bz; ++z)
    for (int c = 0; c < by; ++c)
      for (int r = 0; r < bx; ++r) {
        const std::size_t here = r + bx * (c + by * static_cast<std::size_t>(z));
        if (!usable[here]) continue;
        double sum = 0.0, rough = 0.0;
        int count = 0;
        for (int zz = std::max(z - reach, 0); zz <= std::min(z + reach, bz - 1); ++zz)
          for (int cc = std::max(c - across, 0); cc <= std::min(c + across, by - 1); ++cc)
            for (int rr = std::max(r - across, 0); rr <= std::min(r + across, bx - 1); ++rr) {
              const std::size_t k = rr + bx * (cc + by * static_cast<std::size_t>(zz));
              if (usable[k]) {
                sum += mean[k];
                rough += energy[k];
                ++count;
              }
            }
        s.detail.push_back(detail[here]);
        s.mean.push_back(sum / count);
        s.texture.push_back(rough / count);
        s.voxels.push_back(static_cast<std::uint16_t>(count * b.count));
      }
}

// A fixed place in [0, 1) for a block, from its detail and mean (not from its
// position among the samples, so the order volumes are added in does not
// matter).
double place(double detail, double mean) {
  std::uint64_t a, b;
  std::memcpy(&a, &detail, sizeof a);
  std::memcpy(&b, &mean, sizeof b);
  std::uint64_t h = a ^ (b * 0x9E3779B97F4A7C15ull) ^ 0xD1B54A32D192ED03ull;
  h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;  // splitmix64's finaliser
  h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
  h ^= h >> 31;
  return static_cast<double>(h >> 11) * 0x1.0p-53;
}

// The spacing of the lattice the magnitudes lie on (integer data, or
// integers times a scale), or 0 when they lie on none: the smallest
// magnitude that is not rounding error, when all but 1 % of the magnitudes
// are within 2 % of a multiple of it (float32 storage of scaled integers
// leaves errors of that order; continuous data has about 4 % that close).
double lattice(const double* a, std::size_t n) {
  double top = 0;
  for (std::size_t i = 0; i < n; ++i) top = std::max(top, a[i]);
  double step = top;
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] > 1e-9 * top && a[i] < step) step = a[i];
  if (!(step > 0)) return 0;
  std::size_t off = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double k = a[i] / step;
    off += std::fabs(k - std::round(k)) > 0.02;
  }
  return off <= n / 100 ? step : 0;
}

// The magnitudes of the details, each on a lattice spread over its cell: a
// multiple k > 0 of the step over [k - 1/2, k + 1/2) steps, 0 over
// [0, 1/2), the |d| the rounding came from.
void magnitudes(const Samples& s, Buffer<double>& out) {
  const std::size_t n = s.detail.size();
  reserve_large(out, n);
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = std::fabs(s.detail[i]);
  const double step = lattice(out.data(), n);
  if (step == 0) return;
  for (std::size_t i = 0; i < n; ++i) {
    const double k = std::round(out[i] / step), u = place(s.detail[i], s.mean[i]);
    out[i] = step * (k > 0 ? k - 0.5 + u : 0.5 * u);
  }
}

// A key for every finite double whose unsigned order is the values' order
// (-0 and +0 share one).
inline std::uint64_t order_key(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  if (v == 0) return std::uint64_t{1} << 63;
  return bits >> 63 ? ~bits : bits | std::uint64_t{1} << 63;
}

// The k-th and (k + 1)-th smallest of v[0 .. n) (0-based, k + 1 < n, or the
// k-th twice for k + 1 == n), exactly the values a sort would put there.
// The samples run to millions and the Rician level takes a median every
// round: one pass counts the values by the top 16 bits of their key, a
// second gathers the one or two bins that hold ranks k and k + 1 (a few
// per cent of the values), and only those are partitioned.
std::pair<double, double> select_pair(const double* v, std::size_t n, std::size_t k,
                                      std::vector<double>& bin) {
  constexpr int shift = 48;
  std::vector<std::size_t> count(std::size_t{1} << (64 - shift), 0);
  for (std::size_t i = 0; i < n; ++i) ++count[order_key(v[i]) >> shift];
  std::size_t below = 0, lo = 0;
  while (below + count[lo] <= k) below += count[lo++];
  std::size_t hi = lo;
  if (k + 1 < n && below + count[lo] == k + 1)
    while (count[++hi] == 0) {
    }
  bin.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t b = order_key(v[i]) >> shift;
    if (b == lo || b == hi) bin.push_back(v[i]);
  }
  const auto at = bin.begin() + static_cast<std::ptrdiff_t>(k - below);
  std::nth_element(bin.begin(), at, bin.end());
  const double kth = *at;
  if (k + 1 >= n) return {kth, kth};
  return {kth, *std::min_element(at + 1, bin.end())};
}

// The median of finite values (the mean of the two middle ones for an even
// count), as level::median gives it.
double middle(const double* v, std::size_t n, std::vector<double>& bin) {
  if (n == 0) return 0.0;
  const auto [lower, upper] = select_pair(v, n, (n - 1) / 2, bin);
  return n % 2 ? lower : (lower + upper) / 2.0;
}

}  // namespace

double median(const double* v, std::size_t n) {
  std::vector<double> bin;
  return middle(v, n, bin);
}

double map_level(const double* map, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!(map[i] >= 0) || !std::isfinite(map[i]))
      throw Error("the noise level map holds negative or non-finite levels");
  return median(map, n);
}

namespace {

// xi(theta) = Var(M) / sigma^2 of a magnitude M against E[M] / sigma, from
// the stabilisation's table of E[M] / sd(M): with r = E/sd and
// E[M^2] = (2 + theta^2) sigma^2, E = r sqrt((2 + theta^2) / (1 + r^2)).
struct Spread {
  std::array<double, vst::snr_grid_size> mean, xi;
  // Where the search for a ratio starts: the first entry above each of
  // `cells` equal steps of the table's range (the Rician level looks up
  // every block in every round).
  static constexpr int cells = 1024;
  std::array<int, cells + 1> first;
  double cell_scale;
  Spread() {
    for (int i = 0; i < vst::snr_grid_size; ++i) {
      const double t2 = vst::snr_grid[i] * vst::snr_grid[i], r = vst::mean_std_ratio[i];
      mean[i] = r * std::sqrt((2 + t2) / (1 + r * r));
      xi[i] = (2 + t2) - mean[i] * mean[i];
    }
    cell_scale = cells / (mean.back() - mean.front());
    for (int c = 0, j = 0; c <= cells; ++c) {
      while (j < vst::snr_grid_size && cell(mean[j]) <= c) ++j;
      first[c] = j;
    }
  }
  int cell(double ratio) const {
    return std::min(static_cast<int>((ratio - mean.front()) * cell_scale), cells);
  }
  // Below the mean of pure noise (sqrt(pi/2)) theta is 0; beyond the table
  // (theta 15) xi is within 0.3 % of 1.
  double operator()(double ratio) const {
    if (!(ratio > mean.front())) return xi.front();
    if (ratio >= mean.back()) return xi.back();
    // Every entry of an earlier cell is <= ratio; so is none of a later one.
    const int c = cell(ratio);
    std::size_t j = c > 0 ? first[c - 1] : 0;
    while (mean[j] <= ratio) ++j;
    const double w = (ratio - mean[j - 1]) / (mean[j] - mean[j - 1]);
    return xi[j - 1] + w * (xi[j] - xi[j - 1]);
  }
};

// The level over the blocks of weak texture: those whose texture (the mean
// square of their neighbourhood's other details, over the same spread as
// their detail) is at most kWeakTexture times its median. Under noise alone
// those details are independent of the diagonal one, so choosing blocks by
// them does not bias its median; fine anatomy fills them all. At least half
// the blocks are kept. `ratio`, if given, receives the kept blocks' median
// texture over the level squared: about 1 where the noise is white (not a
// number for a level of 0).
double weak_level(const double* a, const double* w, std::size_t n, std::vector<double>& kept,
                  std::vector<double>& scratch, double* ratio = nullptr) {
  const double limit = kWeakTexture * middle(w, n, scratch);
  kept.clear();
  for (std::size_t i = 0; i < n; ++i)
    if (w[i] <= limit) kept.push_back(a[i]);
  const double level = middle(kept.data(), kept.size(), scratch) / kMadScale;
  if (ratio) {
    kept.clear();
    for (std::size_t i = 0; i < n; ++i)
      if (w[i] <= limit) kept.push_back(w[i]);
    *ratio = middle(kept.data(), kept.size(), scratch) / (level * level);
  }
  return level;
}

double all_level(const double* a, std::size_t n, std::vector<double>& scratch) {
  return middle(a, n, scratch) / kMadScale;
}

// The Rician level: details over their magnitude's spread at the level of
// the previous round, until the level changes by less than 0.1 % (a tenth
// of the median's own spread on a million blocks; four or five rounds, at
// most 20).
//
// A neighbourhood mean holds noise of its own (sd sqrt(xi / voxels) in units
// of the level, 0.045 over 216 voxels of air). In air its true ratio is the
// smallest there is, so that noise can only raise the spread: above it
// counts as signal, below it is clipped. And near pure noise a lower level
// with a little signal has the same mean and spread as the true one, so
// the rounds do not pull back: the level settled 3 to 5 % (a volume) and
// 8 % (a slice) low in pure Rayleigh air. So the part of a mean's excess over the
// air's that its noise could explain, kMeanNoise sds in quadrature, is
// taken away: air counts as air, and a clear excess keeps nearly all of it.
// (A whole volume of one signal at SNR 0.5 to 1, as ill-posed as air, comes
// out up to 9 % high for it.) With `weak`, each round's median is over the
// blocks of weak texture, their texture over the same spread.
double rician_level(const Samples& s, const Buffer<double>& a, double first, bool weak,
                    std::vector<double>& scratch) {
  static const Spread spread;
  const double air = spread.mean.front(), air_xi = spread.xi.front();
  const std::size_t n = a.size();
  Buffer<double> scaled, texture;
  reserve_large(scaled, n);
  scaled.resize(n);
  if (weak) {
    reserve_large(texture, n);
    texture.resize(n);
  }
  std::vector<double> kept;
  double level = first;
  for (int round = 0; round < 20; ++round) {
    for (std::size_t i = 0; i < n; ++i) {
      const double excess = s.mean[i] / level - air;
      const double noise2 = kMeanNoise * kMeanNoise * air_xi / s.voxels[i];
      const double ratio =
          excess * excess > noise2 && excess > 0 ? air + std::sqrt(excess * excess - noise2) : air;
      const double xi = spread(ratio);
      scaled[i] = a[i] / std::sqrt(xi);
      if (weak) texture[i] = s.texture[i] / xi;
    }
    const double next = weak ? weak_level(scaled.data(), texture.data(), n, kept, scratch)
                             : all_level(scaled.data(), n, scratch);
    const bool settled = std::fabs(next - level) <= 1e-3 * level;
    level = next;
    if (settled) break;
  }
  return level;
}

LevelEstimate from_samples(const Samples& s, Noise noise) {
  LevelEstimate e;
  const std::size_t n = s.detail.size();
  if (n < kMinBlocks) {
    e.problem = "only " + std::to_string(n) + " of its " + std::to_string(s.total) +
                " blocks of voxels carry noise, at least " + std::to_string(kMinBlocks) +
                " are needed; the others are constant, masked out or in an exactly uniform "
                "background";
    return e;
  }
  Buffer<double> a;
  std::vector<double> scratch, kept;
  magnitudes(s, a);
  const double all = all_level(a.data(), n, scratch);
  std::vector<double> high_mean(n);
  for (std::size_t i = 0; i < n; ++i) high_mean[i] = std::fabs(s.mean[i]);
  const auto high = high_mean.begin() + static_cast<std::ptrdiff_t>(n * 9 / 10);
  std::nth_element(high_mean.begin(), high, high_mean.end());
  if (!(all > kNoiseFreeRatio * *high)) {
    e.problem = "it looks noise-free: its finest detail is below a millionth of its intensity";
    return e;
  }
  double ratio = 0;
  const double weak = weak_level(a.data(), s.texture.data(), n, kept, scratch, &ratio);
  const bool select = ratio <= kWhiteTexture;
  const double first = select ? weak : all;
  e.ok = true;
  e.sigma = noise == Noise::rician && n >= kMinSpreadBlocks
                ? rician_level(s, a, first, select, scratch)
                : first;
  e.blocks = n;
  return e;
}

}  // namespace

LevelEstimate estimate_series_level(const std::vector<const double*>& volumes, int rows, int cols,
                                    int slices, Noise noise, const std::uint8_t* mask) {
  LevelEstimate none;
  if (volumes.empty()) {
    none.problem = "there is no volume";
    return none;
  }
  if (rows < 2 || cols < 2 || slices < 1) {
    none.problem = "it has fewer than 2 rows or columns";
    return none;
  }
  const Blocks b(rows, cols, slices);
  Samples s;
  for (const double* x : volumes) collect(b, x, mask, s);
  return from_samples(s, noise);
}

LevelEstimate estimate_series_level(const double* series, int rows, int cols, int slices,
                                    int volumes, Noise noise, const std::uint8_t* mask) {
  std::vector<const double*> each;
  const std::size_t voxels = static_cast<std::size_t>(rows > 0 ? rows : 0) * (cols > 0 ? cols : 0) *
                             (slices > 0 ? slices : 0);
  for (int t = 0; t < volumes; ++t) each.push_back(series + voxels * t);
  return estimate_series_level(each, rows, cols, slices, noise, mask);
}

LevelSampler::LevelSampler(int rows, int cols, int slices, const std::uint8_t* mask)
    : rows_(rows), cols_(cols), slices_(slices), mask_(mask), samples_(new Samples) {}

LevelSampler::~LevelSampler() = default;

void LevelSampler::add(const double* volume) {
  ++volumes_;
  if (rows_ < 2 || cols_ < 2 || slices_ < 1) return;
  collect(Blocks(rows_, cols_, slices_), volume, mask_, *samples_);
}

void LevelSampler::merge(LevelSampler& other) {
  volumes_ += other.volumes_;
  Samples& s = *samples_;
  Samples& o = *other.samples_;
  s.total += o.total;
  make_room(s.detail, o.detail.size());
  make_room(s.mean, o.mean.size());
  s.detail.insert(s.detail.end(), o.detail.begin(), o.detail.end());
  s.mean.insert(s.mean.end(), o.mean.begin(), o.mean.end());
  s.texture.insert(s.texture.end(), o.texture.begin(), o.texture.end());
  s.voxels.insert(s.voxels.end(), o.voxels.begin(), o.voxels.end());
  other.volumes_ = 0;
  o = Samples();
}

LevelEstimate LevelSampler::estimate(Noise noise) const {
  LevelEstimate none;
  if (volumes_ == 0) {
    none.problem = "there is no volume";
    return none;
  }
  if (rows_ < 2 || cols_ < 2 || slices_ < 1) {
    none.problem = "it has fewer than 2 rows or columns";
    return none;
  }
  return from_samples(*samples_, noise);
}

LevelEstimate estimate_level(const double* volume, int rows, int cols, int slices, Noise noise,
                             const std::uint8_t* mask) {
  return estimate_series_level({volume}, rows, cols, slices, noise, mask);
}

double require_level(const LevelEstimate& estimate, const std::string& what) {
  if (estimate.ok) return estimate.sigma;
  throw Error("the noise level cannot be estimated from " + what + " (" + estimate.problem +
              "); give the noise level");
}

}  // namespace zarvo::level
