#include "noise_level.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "core/memory.h"

namespace zarvo::cli {

// The details and means of the blocks that carry noise.
struct Samples {
  std::vector<double> detail, mean;
  std::size_t total = 0;
};

namespace {

constexpr double kMadScale = 0.6744897501960817;
// Below this many blocks the level's relative spread (1.17 / sqrt(blocks))
// exceeds 12 %.
constexpr std::size_t kMinBlocks = 100;
// The Rician pass on bright blocks needs at least this many of them.
constexpr std::size_t kMinBrightBlocks = 1000;
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
      : rows(r), cols(c), slices(s), R(r), RC(static_cast<std::size_t>(r) * c),
        volumetric(s >= 2), count(volumetric ? 8 : 4),
        offset{0, 1, R, R + 1, RC, RC + 1, RC + R, RC + R + 1},
        sign{1, -1, -1, 1, -1, 1, 1, -1}, norm(volumetric ? std::sqrt(8.0) : 2.0) {}

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

// Voxels in runs of one exact value left by masking or zero-filling: equal to
// a face neighbour, with a value that is 0 or fills a whole block somewhere.
// Integer data with a little noise has equal neighbours everywhere, so
// equality alone would drop far too much.
std::vector<std::uint8_t> flat_voxels(const Blocks& b, const double* x) {
  std::vector<double> fill{0.0};
  b.each([&](std::size_t i) {
    for (int k = 1; k < b.count; ++k)
      if (!(x[i + b.offset[k]] == x[i])) return;
    if (!(fill.back() == x[i])) fill.push_back(x[i]);  // backgrounds repeat one value
  });
  std::sort(fill.begin(), fill.end());
  fill.erase(std::unique(fill.begin(), fill.end()), fill.end());

  std::vector<std::uint8_t> flat(b.voxels(), 0);
  std::size_t i = 0;
  for (int z = 0; z < b.slices; ++z)
    for (int c = 0; c < b.cols; ++c)
      for (int r = 0; r < b.rows; ++r, ++i) {
        const double v = x[i];
        const bool run = (r > 0 && x[i - 1] == v) || (r + 1 < b.rows && x[i + 1] == v) ||
                         (c > 0 && x[i - b.R] == v) || (c + 1 < b.cols && x[i + b.R] == v) ||
                         (z > 0 && x[i - b.RC] == v) || (z + 1 < b.slices && x[i + b.RC] == v);
        if (run && std::binary_search(fill.begin(), fill.end(), v)) flat[i] = 1;
      }
  return flat;
}

// Room for `more` elements, on huge pages where the system gives them: the
// samples of a series run to millions, and growing them a page at a time
// costs more than collecting them.
void make_room(std::vector<double>& v, std::size_t more) {
  if (v.size() + more > v.capacity()) reserve_large(v, std::max(v.size() + more, 2 * v.capacity()));
}

// The detail and the mean of every usable block of one volume.
void collect(const Blocks& b, const double* x, const std::uint8_t* mask, Samples& s) {
  const std::vector<std::uint8_t> flat = flat_voxels(b, x);
  s.total += b.total();
  make_room(s.detail, b.total());
  make_room(s.mean, b.total());
  b.each([&](std::size_t i) {
    double d = 0.0, m = 0.0;
    for (int k = 0; k < b.count; ++k) {
      const std::size_t j = i + b.offset[k];
      if (flat[j] || (mask && !mask[j])) return;
      d += b.sign[k] * x[j];
      m += x[j];
    }
    d /= b.norm;
    m /= b.count;
    if (!std::isfinite(d) || !std::isfinite(m)) return;
    s.detail.push_back(d);
    s.mean.push_back(m);
  });
}

// `scratch` holds the magnitudes (its storage is used again; every element
// is written before it is read).
double mad_level(const std::vector<double>& detail, Buffer<double>& scratch) {
  reserve_large(scratch, detail.size());
  scratch.resize(detail.size());
  for (std::size_t i = 0; i < detail.size(); ++i) scratch[i] = std::fabs(detail[i]);
  return median(scratch.data(), scratch.size()) / kMadScale;
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
  Buffer<double> scratch;
  const double first = mad_level(s.detail, scratch);
  for (std::size_t i = 0; i < n; ++i) scratch[i] = std::fabs(s.mean[i]);
  const auto high = scratch.begin() + static_cast<std::ptrdiff_t>(n * 9 / 10);
  std::nth_element(scratch.begin(), high, scratch.end());
  if (!(first > kNoiseFreeRatio * *high)) {
    e.problem = "it looks noise-free: its finest detail is below a millionth of its intensity";
    return e;
  }
  e.ok = true;
  e.sigma = first;
  e.blocks = n;
  if (noise != Noise::rician) return e;

  // Further passes, with the threshold from the previous one, were measured
  // to change the level by well under 1 %.
  std::vector<double> bright;
  make_room(bright, n);
  for (std::size_t i = 0; i < n; ++i)
    if (s.mean[i] > 3.0 * first) bright.push_back(s.detail[i]);
  if (bright.size() >= kMinBrightBlocks) {
    e.sigma = mad_level(bright, scratch);
    e.blocks = bright.size();
  }
  return e;
}

}  // namespace

double median(double* v, std::size_t n) {
  if (n == 0) return 0.0;
  const std::size_t mid = n / 2;
  std::nth_element(v, v + mid, v + n);
  const double upper = v[mid];
  if (n % 2) return upper;
  const double lower = *std::max_element(v, v + mid);
  return (lower + upper) / 2.0;
}

double median(std::vector<double>& v) { return median(v.data(), v.size()); }

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
  const std::size_t voxels = static_cast<std::size_t>(rows > 0 ? rows : 0) *
                             (cols > 0 ? cols : 0) * (slices > 0 ? slices : 0);
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
  throw std::runtime_error("the noise level cannot be estimated from " + what + " (" +
                           estimate.problem + "); give it with --sigma");
}

double estimate_noise_level(const double* volume, int rows, int cols, int slices, Noise noise) {
  const LevelEstimate e = estimate_level(volume, rows, cols, slices, noise);
  return e.ok ? e.sigma : 0.0;
}

}  // namespace zarvo::cli
