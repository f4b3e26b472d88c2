#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "report/report.h"

namespace zarvo::report {

namespace {

// The value at fraction q of the sorted values (nearest rank); reorders them.
double quantile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  const std::size_t k = std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

}  // namespace

Collector::Collector(const Shape& shape, const unsigned char* mask) : shape_(shape) {
  if (shape.rows < 1 || shape.cols < 1 || shape.slices < 1 || shape.volumes < 1)
    throw std::invalid_argument("report: the series has no voxels");
  if (mask) mask_.assign(mask, mask + shape.volume_voxels());
  stats_.resize(static_cast<std::size_t>(shape.volumes));
  bins_.assign(static_cast<std::size_t>(2 * range / bin_width + 0.5), 0.0);
}

void Collector::add(int t, const double* input, const double* output, double level) {
  if (t < 0 || t >= shape_.volumes)
    throw std::invalid_argument("report: volume " + std::to_string(t) + " is not in the series");
  VolumeStats& s = stats_[static_cast<std::size_t>(t)];
  if (s.added) throw std::invalid_argument("report: volume " + std::to_string(t) + " given twice");
  s.added = true;
  s.level = level;

  const std::size_t n = shape_.volume_voxels();
  std::vector<double> residual;
  residual.reserve(mask_.empty()
                       ? n
                       : static_cast<std::size_t>(std::count_if(
                             mask_.begin(), mask_.end(), [](unsigned char m) { return m; })));
  double sum = 0, squares = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!mask_.empty() && !mask_[i]) continue;
    const double r = input[i] - output[i];
    residual.push_back(r);
    s.unchanged += r == 0;
    sum += r;
    squares += r * r;
  }
  s.voxels = residual.size();
  if (s.voxels > 0) {
    s.mean = sum / static_cast<double>(s.voxels);
    s.rms = std::sqrt(squares / static_cast<double>(s.voxels));
  }
  // In noise levels; a level of 0 (a map whose median is 0) leaves nothing
  // to measure against, so such a volume adds nothing to the histogram.
  if (level > 0 && std::isfinite(level))
    for (double r : residual) {
      const double z = r / level;
      if (z < -range)
        below_ += 1;
      else if (z >= range)
        above_ += 1;
      else
        bins_[std::min(bins_.size() - 1, static_cast<std::size_t>((z + range) / bin_width))] += 1;
    }
  const double median = quantile(residual, 0.5);
  for (double& r : residual) r = std::fabs(r - median);
  s.spread = 1.4826 * quantile(residual, 0.5);

  if (t != shown_volume()) return;
  std::vector<double>& values = residual;  // done with: its memory serves the window
  values.assign(input, input + n);
  window_lo_ = quantile(values, 0.005);
  window_hi_ = quantile(values, 0.995);
  if (!(window_hi_ > window_lo_)) window_hi_ = window_lo_ + 1;
  const int nx = shape_.rows, ny = shape_.cols, nz = shape_.slices;
  auto at = [&](const double* v, int x, int y, int z) {
    return v[x + static_cast<std::size_t>(nx) * (y + static_cast<std::size_t>(ny) * z)];
  };
  // Axial (x, y at the middle z), coronal (x, z at the middle y), sagittal
  // (y, z at the middle x); the second axis is drawn bottom to top.
  const int sizes[3][2] = {{nx, ny}, {nx, nz}, {ny, nz}};
  for (int view = 0; view < 3; ++view)
    for (int kind = 0; kind < 3; ++kind) {
      Slice& sl = slices_[view][kind];
      sl.width = sizes[view][0];
      sl.height = sizes[view][1];
      sl.values.resize(static_cast<std::size_t>(sl.width) * sl.height);
      for (int row = 0; row < sl.height; ++row)
        for (int col = 0; col < sl.width; ++col) {
          const int a = col, b = sl.height - 1 - row;
          const int x = view == 2 ? nx / 2 : a;
          const int y = view == 0 ? b : (view == 1 ? ny / 2 : a);
          const int z = view == 0 ? nz / 2 : b;
          const double in = at(input, x, y, z), out = at(output, x, y, z);
          sl.values[static_cast<std::size_t>(row) * sl.width + col] =
              kind == 0 ? in : (kind == 1 ? out : in - out);
        }
    }
}

std::string report_html(const Shape& shape, const double* input, const double* output,
                        const RunFacts& facts, const unsigned char* mask) {
  if (facts.run.volumes.size() != static_cast<std::size_t>(shape.volumes))
    throw std::invalid_argument("report: " + std::to_string(facts.run.volumes.size()) +
                                " levels for " + std::to_string(shape.volumes) + " volumes");
  Collector c(shape, mask);
  const std::size_t n = shape.volume_voxels();
  for (int t = 0; t < shape.volumes; ++t)
    c.add(t, input + n * static_cast<std::size_t>(t), output + n * static_cast<std::size_t>(t),
          facts.run.volumes[static_cast<std::size_t>(t)].sigma);
  return c.html(facts);
}

std::uint8_t grey(double x, double lo, double hi) {
  if (!(x > lo)) return 0;
  if (!(x < hi)) return 255;
  return static_cast<std::uint8_t>(std::lround(255.0 * (x - lo) / (hi - lo)));
}

}  // namespace zarvo::report
