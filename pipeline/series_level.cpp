#include "series_level.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <string>

#include "core/parts.h"
#include "lapack.h"
#include "zarvo/run.h"

namespace zarvo::series_level {

namespace {

constexpr double kMadScale = 0.6744897501960817;
constexpr double kPi = 3.14159265358979323846;
// Patches of 5 x 5 x 5 voxels hold a few anatomical components; past this
// many volumes the eigenproblem of such a patch costs more than the level
// needs, and 3 x 3 x 3 patches still leave many more volumes than voxels.
constexpr int kLargeSeries = 80;
// Flops the patches of one estimate may take (about a second on one core).
constexpr double kPatchBudget = 3e9;
// A level below this fraction of the intensity is rounding, not noise (the
// floats alone leave about 6e-8).
constexpr double kNoiseFree = 1e-6;
// Fewer foreground voxels than this and no pair is compared.
constexpr std::size_t kMinVoxels = 100;
// Volume pairs screened on a small sample, the most alike measured on the
// whole foreground.
constexpr std::size_t kScreenVoxels = 2000, kSampleVoxels = 200000;
constexpr std::size_t kRefinedPairs = 4;
constexpr int kPairWindow = 32;  // long series: pairs at most this far apart
// Magnitude pairs compare only voxels above this many times the level, where
// the magnitude's spread is within 2 % of the level's.
constexpr double kRicianFloor = 5;
// Volumes whose foreground sums to at least this fraction of the brightest
// volume's may repeat it.
constexpr double kRepeatBrightness = 0.8;

}  // namespace

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  const std::size_t h = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(h), v.end());
  const double upper = v[h];
  if (v.size() % 2) return upper;
  const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(h));
  return 0.5 * (lower + upper);
}

namespace {

// The Rician moments on a grid of amplitudes; past its end the magnitude is
// Gaussian to within 1e-3 of the variance. Also the variance factor as a
// function of the mean magnitude, on a grid of means, for the patches'
// fixed point (one lookup per voxel and volume).
struct RicianTable {
  static constexpr double step = 0.01, end = 30.0;
  std::vector<double> mean, xi, xi_of_mean;
  RicianTable() {
    const int n = static_cast<int>(end / step) + 1;
    for (int i = 0; i < n; ++i) {
      const double t = i * step, x = t * t / 4;
      // exp(-x) I(x) stays finite where I alone would not.
      const double ex = std::exp(-x);
      const double m = std::sqrt(kPi / 2) * ((1 + t * t / 2) * ex * std::cyl_bessel_i(0.0, x) +
                                             t * t / 2 * ex * std::cyl_bessel_i(1.0, x));
      mean.push_back(m);
      xi.push_back(std::clamp(2 + t * t - m * m, 2 - kPi / 2, 1.0));
    }
    for (int i = 0; i < n; ++i) xi_of_mean.push_back(at(xi, amplitude(i * step)));
  }
  static const RicianTable& get() {
    static const RicianTable table;
    return table;
  }
  double at(const std::vector<double>& f, double u) const {
    u /= step;
    const std::size_t i = static_cast<std::size_t>(u);
    if (i + 1 >= f.size()) return f.back();
    const double w = u - static_cast<double>(i);
    return (1 - w) * f[i] + w * f[i + 1];
  }
  double amplitude(double m) const {
    if (!(m > mean.front())) return 0;
    if (m >= mean.back()) return std::sqrt(std::max(0.0, m * m - 1));
    const auto it = std::upper_bound(mean.begin(), mean.end(), m);
    const std::size_t i = static_cast<std::size_t>(it - mean.begin()) - 1;
    const double w = (m - mean[i]) / (mean[i + 1] - mean[i]);
    return (static_cast<double>(i) + w) * step;
  }
};

// Per-thread room for one patch's matrices and its eigenproblem (one
// spare double of LAPACK workspace, as the levels have always been
// measured with).
struct Workspace {
  std::vector<double> a, gram, eigen, projections, means, low;
  SymmetricEigen solver;
  explicit Workspace(Noise noise) : solver(noise == Noise::rician, 'U', 1) {}
};

bool inside(const unsigned char* mask, std::size_t i) { return !mask || mask[i] != 0; }

struct Geometry {
  std::size_t R, RC;
  explicit Geometry(const Series& s)
      : R(static_cast<std::size_t>(s.rows)),
        RC(static_cast<std::size_t>(s.rows) * static_cast<std::size_t>(s.cols)) {}
  std::size_t at(int r, int c, int z) const {
    return static_cast<std::size_t>(r) + R * static_cast<std::size_t>(c) +
           RC * static_cast<std::size_t>(z);
  }
};

// Voxels that are 0 in every volume.
std::vector<unsigned char> empty_voxels(const Series& s) {
  std::vector<unsigned char> empty(s.voxels(), 1);
  for (int t = 0; t < s.volumes; ++t) {
    const float* v = s.volume(t);
    for (std::size_t i = 0; i < s.voxels(); ++i)
      if (v[i] != 0.0f) empty[i] = 0;
  }
  return empty;
}

// One patch: gathers it centred volume by volume (as columns), finds its
// spectrum, and for magnitude data turns the residual variance into the
// underlying level.
PatchLevel measure(const Series& s, const PatchGrid& g, int i0, int i1, int i2, Noise noise,
                   const unsigned char* mask, const std::vector<unsigned char>& empty,
                   Workspace& w) {
  const Geometry geo(s);
  PatchLevel p;
  const int r0 = g.starts[0][static_cast<std::size_t>(i0)],
            c0 = g.starts[1][static_cast<std::size_t>(i1)],
            z0 = g.starts[2][static_cast<std::size_t>(i2)];
  p.row = r0 + g.extent[0] / 2;
  p.col = c0 + g.extent[1] / 2;
  p.slice = z0 + g.extent[2] / 2;
  if (!inside(mask, geo.at(p.row, p.col, p.slice))) return p;

  std::vector<std::size_t> voxels;
  for (int z = z0; z < z0 + g.extent[2]; ++z)
    for (int c = c0; c < c0 + g.extent[1]; ++c)
      for (int r = r0; r < r0 + g.extent[0]; ++r) {
        const std::size_t i = geo.at(r, c, z);
        if (empty[i]) return p;
        voxels.push_back(i);
      }
  const int N = static_cast<int>(voxels.size()), M = s.volumes;
  const std::size_t n = voxels.size();
  w.a.resize(n * static_cast<std::size_t>(M));
  w.means.assign(static_cast<std::size_t>(M), 0.0);
  double power = 0;
  for (int t = 0; t < M; ++t) {
    const float* v = s.volume(t);
    double* col = w.a.data() + n * static_cast<std::size_t>(t);
    double sum = 0;
    for (std::size_t j = 0; j < n; ++j) {
      sum += col[j] = v[voxels[j]];
      power += col[j] * col[j];
    }
    const double mean = sum / static_cast<double>(n);
    for (std::size_t j = 0; j < n; ++j) col[j] -= mean;
    w.means[static_cast<std::size_t>(t)] = mean;
  }

  // Centring takes one degree of freedom from the voxels. The Gram matrix of
  // the smaller side: volumes x volumes, or voxels x voxels.
  const bool by_volumes = M <= N - 1;
  const blas_int order = by_volumes ? M : N, depth = by_volumes ? N : M;
  const blas_int lda = N;
  const int count = std::min(M, N - 1), samples = std::max(M, N - 1);
  const bool rician = noise == Noise::rician;
  w.gram.resize(static_cast<std::size_t>(order) * static_cast<std::size_t>(order));
  w.eigen.resize(static_cast<std::size_t>(order));
  const double one = 1, zero = 0;
  const char uplo = 'U', trans = by_volumes ? 'T' : 'N';
  dsyrk_(&uplo, &trans, &order, &depth, &one, w.a.data(), &lda, &zero, w.gram.data(), &order, 1, 1);
  if (!w.solver.solve(w.gram.data(), order, w.eigen.data())) return p;

  std::vector<double> largest(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k)
    largest[static_cast<std::size_t>(k)] =
        std::max(0.0, w.eigen[static_cast<std::size_t>(order - 1 - k)]);
  const Spectrum sp = noise_spectrum(largest.data(), count, samples);
  power /= static_cast<double>(n) * M;
  if (!(sp.variance > kNoiseFree * kNoiseFree * power)) return p;
  p.signal = sp.signal;
  p.usable = true;
  if (!rician) {
    p.sigma = std::sqrt(sp.variance);
    return p;
  }

  // The patch's low-rank part: its means plus its projection on the signal
  // components.
  std::vector<double>& low = w.low;
  low.resize(n * static_cast<std::size_t>(M));
  for (int t = 0; t < M; ++t)
    for (std::size_t j = 0; j < n; ++j)
      low[j + n * static_cast<std::size_t>(t)] = w.means[static_cast<std::size_t>(t)];
  for (int k = 0; k < sp.signal; ++k) {
    const double* u =
        w.gram.data() + static_cast<std::size_t>(order - 1 - k) * static_cast<std::size_t>(order);
    if (by_volumes) {  // u over volumes: coefficient per voxel
      w.projections.assign(n, 0.0);
      for (int t = 0; t < M; ++t)
        for (std::size_t j = 0; j < n; ++j)
          w.projections[j] += w.a[j + n * static_cast<std::size_t>(t)] * u[t];
      for (int t = 0; t < M; ++t)
        for (std::size_t j = 0; j < n; ++j)
          low[j + n * static_cast<std::size_t>(t)] += w.projections[j] * u[t];
    } else {  // u over voxels: coefficient per volume
      for (int t = 0; t < M; ++t) {
        const double* col = w.a.data() + n * static_cast<std::size_t>(t);
        double c = 0;
        for (std::size_t j = 0; j < n; ++j) c += col[j] * u[j];
        for (std::size_t j = 0; j < n; ++j) low[j + n * static_cast<std::size_t>(t)] += c * u[j];
      }
    }
  }
  p.sigma = rician_level(sp.variance, low);
  return p;
}

}  // namespace

Series load(const SeriesInput& input) {
  const Shape& sh = input.shape;
  if (sh.volumes < 2)
    throw Error("a series noise level needs at least 2 volumes (the input has " +
                std::to_string(sh.volumes) + ")");
  Series s;
  s.rows = sh.rows;
  s.cols = sh.cols;
  s.slices = sh.slices;
  s.volumes = sh.volumes;
  s.values.resize(s.voxels() * static_cast<std::size_t>(s.volumes));
  std::vector<double> volume(s.voxels());
  for (int t = 0; t < s.volumes; ++t) {
    input.read(t, volume.data());
    float* out = s.values.data() + s.voxels() * static_cast<std::size_t>(t);
    for (std::size_t i = 0; i < volume.size(); ++i) {
      if (!std::isfinite(volume[i]))
        throw InputError("holds a NaN or infinite voxel in volume " + std::to_string(t + 1) +
                         "; replace it before estimating the noise level");
      out[i] = static_cast<float>(volume[i]);
    }
  }
  return s;
}

Spectrum noise_spectrum(const double* eigenvalues, int count, int samples) {
  Spectrum out;
  if (count < 1 || samples < 1) return out;
  // Suffix sums, so that every candidate's mean costs one division.
  std::vector<double> tail(static_cast<std::size_t>(count) + 1, 0.0);
  for (int k = count - 1; k >= 0; --k)
    tail[static_cast<std::size_t>(k)] = tail[static_cast<std::size_t>(k) + 1] + eigenvalues[k];
  const double smallest = eigenvalues[count - 1];
  for (int p = 0; p < count; ++p) {
    // Past p signal components the residue is white noise in a
    // (count - p) x (samples - p) matrix: its eigenvalues sum to
    // sigma^2 (count - p) (samples - p) and spread over
    // 4 sigma^2 sqrt((count - p) (samples - p)).
    const double rest = count - p, dof = std::max(samples - p, 1);
    const double variance = tail[static_cast<std::size_t>(p)] / (rest * dof);
    if (eigenvalues[p] - smallest <= 4 * std::sqrt(rest * dof) * variance) {
      out.variance = variance;
      out.signal = p;
      return out;
    }
  }
  out.variance = smallest / std::max(samples - count + 1, 1);
  out.signal = count - 1;
  return out;
}

double rician_variance_factor(double theta) {
  const RicianTable& t = RicianTable::get();
  return t.at(t.xi, std::abs(theta));
}

double rician_mean(double theta) {
  const RicianTable& t = RicianTable::get();
  const double a = std::abs(theta);
  if (a >= RicianTable::end) return std::sqrt(a * a + 1);
  return t.at(t.mean, a);
}

double rician_amplitude(double mean) { return RicianTable::get().amplitude(mean); }

double rician_level(double variance, const std::vector<double>& means) {
  if (!(variance > 0) || means.empty()) return std::sqrt(std::max(variance, 0.0));
  // variance = sigma^2 * mean(xi(theta)), with theta from means / sigma: the
  // root of g(sigma) = F(sigma) - sigma, F(sigma) = sqrt(variance /
  // mean(xi)), between sqrt(variance) and sqrt(variance / xi(0)); secant
  // steps, a plain F step wherever the secant would leave that bracket.
  const RicianTable& table = RicianTable::get();
  const double low = std::sqrt(variance), high = std::sqrt(variance / (2 - kPi / 2));
  auto F = [&](double sigma) {
    double sum = 0;
    const double inverse = 1 / sigma;
    for (double m : means) sum += table.at(table.xi_of_mean, std::max(0.0, m * inverse));
    return std::sqrt(variance / (sum / static_cast<double>(means.size())));
  };
  double a = low, ga = F(a) - a;
  double b = a + ga, gb = 0;
  for (int iteration = 0; iteration < 30; ++iteration) {
    if (std::abs(b - a) <= 1e-6 * b) break;
    gb = F(b) - b;
    double next = b + gb;  // the plain step
    if (gb != ga) {
      const double secant = b - gb * (b - a) / (gb - ga);
      if (secant >= low && secant <= high) next = secant;
    }
    a = b;
    ga = gb;
    b = std::clamp(next, low, high);
  }
  return b;
}

PatchGrid patch_grid(const Series& s, int stride) {
  PatchGrid g;
  const int k = s.volumes < kLargeSeries ? 5 : 3;
  for (int a = 0; a < 3; ++a) g.extent[a] = std::min(k, s.size(a));
  // Thin volumes (a few slices): wider in plane, for enough voxels per patch.
  while (g.extent[0] * g.extent[1] * g.extent[2] < k * k * k &&
         (g.extent[0] < s.rows || g.extent[1] < s.cols)) {
    g.extent[0] = std::min(g.extent[0] + 2, s.rows);
    g.extent[1] = std::min(g.extent[1] + 2, s.cols);
  }
  stride = std::max(stride, 1);
  for (int a = 0; a < 3; ++a) {
    const int last = s.size(a) - g.extent[a];
    for (int p = 0; p <= last; p += stride) g.starts[a].push_back(p);
    if (g.starts[a].back() != last) g.starts[a].push_back(last);
  }
  return g;
}

int patch_stride(const Series& s, int finest) {
  const PatchGrid g = patch_grid(s, 1);
  const double N = g.extent[0] * g.extent[1] * g.extent[2];
  const double m = std::min<double>(s.volumes, N - 1), n = std::max<double>(s.volumes, N - 1);
  const double cost = m * m * n + 10 * m * m * m + 2 * N * s.volumes;
  const int largest = std::max({s.rows, s.cols, s.slices});
  for (int stride = std::max(finest, 1);; ++stride) {
    double patches = 1;
    for (int a = 0; a < 3; ++a) patches *= (s.size(a) - g.extent[a]) / stride + 2;
    if (patches * cost <= kPatchBudget || stride >= largest) return stride;
  }
}

std::vector<PatchLevel> patch_levels(const Series& s, const PatchGrid& g, Noise noise,
                                     const unsigned char* mask, int threads) {
  const std::size_t n0 = g.starts[0].size(), n1 = g.starts[1].size(), n2 = g.starts[2].size();
  const std::size_t total = n0 * n1 * n2;
  std::vector<PatchLevel> out(total);
  const std::vector<unsigned char> empty = empty_voxels(s);
  std::vector<std::exception_ptr> errors(static_cast<std::size_t>(std::max(threads, 1)));
  const SingleBlasThread single;  // each patch's small eigenproblem on its own thread
  in_parts(total, threads, 16, [&](int part, std::size_t begin, std::size_t end) {
    try {
      Workspace w(noise);
      for (std::size_t i = begin; i < end; ++i)
        out[i] = measure(s, g, static_cast<int>(i % n0), static_cast<int>((i / n0) % n1),
                         static_cast<int>(i / (n0 * n1)), noise, mask, empty, w);
    } catch (...) {
      errors[static_cast<std::size_t>(part)] = std::current_exception();
    }
  });
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
  return out;
}

std::vector<unsigned char> foreground(const Series& s, const unsigned char* mask, double floor) {
  const std::size_t V = s.voxels();
  std::vector<double> mean(V, 0.0);
  for (int t = 0; t < s.volumes; ++t) {
    const float* v = s.volume(t);
    for (std::size_t i = 0; i < V; ++i) mean[i] += v[i];
  }
  const std::vector<unsigned char> empty = empty_voxels(s);
  std::vector<double> candidates;
  for (std::size_t i = 0; i < V; ++i) {
    mean[i] /= s.volumes;
    if (inside(mask, i) && !empty[i]) candidates.push_back(mean[i]);
  }
  std::vector<unsigned char> fg(V, 0);
  if (candidates.empty()) return fg;
  const std::size_t k = static_cast<std::size_t>(0.98 * static_cast<double>(candidates.size() - 1));
  std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k),
                   candidates.end());
  const double threshold = std::max(0.2 * candidates[k], floor);
  for (std::size_t i = 0; i < V; ++i) fg[i] = inside(mask, i) && !empty[i] && mean[i] > threshold;
  return fg;
}

namespace {

// The level of the difference of volumes a and b over the given voxels
// where their mean exceeds `floor` (the mean of two equal Gaussian noises is
// independent of their difference, so the choice does not bias it): b scaled to a by least squares
// (slow intensity drifts), then the median absolute deviation. 0 when too few voxels count.
double pair_level(const Series& s, int a, int b, const std::vector<std::size_t>& voxels,
                  double floor, std::size_t fewest, std::vector<double>& d) {
  const float *x = s.volume(a), *y = s.volume(b);
  double xy = 0, yy = 0;
  std::size_t used = 0;
  for (std::size_t i : voxels) {
    if (!(x[i] + y[i] > 2 * floor)) continue;
    xy += static_cast<double>(x[i]) * y[i];
    yy += static_cast<double>(y[i]) * y[i];
    ++used;
  }
  if (used < fewest) return 0;
  const double scale = yy > 0 ? xy / yy : 1.0;
  d.clear();
  for (std::size_t i : voxels)
    if (x[i] + y[i] > 2 * floor) d.push_back(x[i] - scale * y[i]);
  const double centre = median(d);
  for (double& v : d) v = std::abs(v - centre);
  return median(d) / kMadScale / std::sqrt(1 + scale * scale);
}

std::vector<std::size_t> every_kth(const std::vector<std::size_t>& v, std::size_t at_most) {
  const std::size_t step = std::max<std::size_t>(1, (v.size() + at_most - 1) / at_most);
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < v.size(); i += step) out.push_back(v[i]);
  return out;
}

}  // namespace

double difference_level(const Series& s, const std::vector<unsigned char>& fg, double floor) {
  std::vector<std::size_t> all;
  for (std::size_t i = 0; i < fg.size(); ++i)
    if (fg[i]) all.push_back(i);
  if (all.size() < kMinVoxels || s.volumes < 2) return 0;
  // Pairs are chosen on one half of the voxels and measured on the other,
  // so that the choice of the lowest does not bias the level low.
  std::vector<std::size_t> halves[2];
  for (std::size_t k = 0; k < all.size(); ++k) halves[k % 2].push_back(all[k]);
  const std::vector<std::size_t> sample = every_kth(halves[0], kSampleVoxels),
                                 screen = every_kth(halves[1], kScreenVoxels);
  struct Pair {
    double level;
    int a, b;
  };
  std::vector<Pair> pairs;
  std::vector<double> d;
  // Only volumes about as bright as the brightest can repeat one another:
  // the b0 volumes of a diffusion series, every volume of a functional one.
  // (Two diffusion-weighted volumes of close directions are alike too, but
  // their low magnitude makes the difference too small.)
  std::vector<double> brightness(static_cast<std::size_t>(s.volumes), 0.0);
  for (int t = 0; t < s.volumes; ++t)
    for (std::size_t i : screen) brightness[static_cast<std::size_t>(t)] += s.volume(t)[i];
  const double brightest = *std::max_element(brightness.begin(), brightness.end());
  std::vector<int> bright;
  for (int t = 0; t < s.volumes; ++t)
    if (brightness[static_cast<std::size_t>(t)] >= kRepeatBrightness * brightest)
      bright.push_back(t);
  const int window = s.volumes <= 2 * kPairWindow ? s.volumes : kPairWindow;
  for (std::size_t ia = 0; ia < bright.size(); ++ia)
    for (std::size_t ib = ia + 1; ib < bright.size() && bright[ib] - bright[ia] <= window; ++ib) {
      const int a = bright[ia], b = bright[ib];
      const double level = pair_level(s, a, b, screen, floor, screen.size() / 4, d);
      if (level > 0) pairs.push_back({level, a, b});
    }
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const Pair& x, const Pair& y) { return x.level < y.level; });
  double best = 0;
  for (std::size_t k = 0; k < std::min(kRefinedPairs, pairs.size()); ++k) {
    const double level = pair_level(s, pairs[k].a, pairs[k].b, sample, floor, kMinVoxels, d);
    if (level > 0 && (best == 0 || level < best)) best = level;
  }
  return best;
}

}  // namespace zarvo::series_level

namespace zarvo {

namespace sl = series_level;

SeriesLevel estimate_series_sigma(const SeriesInput& input, Noise noise, const unsigned char* mask,
                                  int threads) {
  const sl::Series s = sl::load(input);
  const sl::PatchGrid grid = sl::patch_grid(s, sl::patch_stride(s, 2));
  const std::vector<sl::PatchLevel> patches = sl::patch_levels(s, grid, noise, mask, threads);
  const sl::Geometry geo(s);

  std::vector<double> inner, any;
  for (const sl::PatchLevel& p : patches)
    if (p.usable) any.push_back(p.sigma * p.sigma);
  // A magnitude background averages to 1.25 times the level over the
  // volumes; at low SNR it can pass a fifth of the bright end, outnumber
  // the head, and its levels (of pure Rayleigh noise) run low.
  const double background =
      noise == Noise::rician ? sl::kBackgroundMean * std::sqrt(sl::median(any)) : -infinity;
  const std::vector<unsigned char> fg = sl::foreground(s, mask, background);
  for (const sl::PatchLevel& p : patches)
    if (p.usable && fg[geo.at(p.row, p.col, p.slice)]) inner.push_back(p.sigma * p.sigma);
  std::vector<double>& used = inner.size() >= sl::kMinPatches ? inner : any;

  SeriesLevel out;
  out.patches = used.size();
  out.pca_sigma = std::sqrt(sl::median(used));
  // Magnitude far above the noise only: where the amplitude is low the
  // magnitude's spread shrinks, and the most alike pair would be two
  // volumes with little signal.
  const double floor = noise == Noise::rician ? sl::kRicianFloor * out.pca_sigma : -infinity;
  out.difference_sigma = sl::difference_level(s, fg, floor);
  out.sigma = out.pca_sigma;
  // Differences carry anatomy unless volumes repeat, so they bound the level
  // from above; a spectrum that finds more noise than that took anatomy for
  // noise (too few volumes to tell them apart).
  if (out.difference_sigma > 0 &&
      (out.pca_sigma == 0 || out.pca_sigma > 1.1 * out.difference_sigma)) {
    out.sigma = out.difference_sigma;
    out.method = SeriesLevelMethod::volume_differences;
  }
  if (!(out.sigma > 0))
    throw Error(
        "the noise level cannot be estimated from the series (no patch or pair of "
        "volumes carries noise); give it with --sigma");
  return out;
}

}  // namespace zarvo
