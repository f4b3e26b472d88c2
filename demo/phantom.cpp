#include "phantom.h"

#include <cmath>
#include <random>
#include <stdexcept>

namespace zarvo::cli {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Tissue {
  static constexpr double background = 0, scalp = 800, skull = 120, csf = 220, grey = 620,
                          deep_grey = 700, white = 1000;
};

double ellipsoid(double u, double v, double w, double cu, double cv, double cw, double ru,
                 double rv, double rw) {
  const double a = (u - cu) / ru, b = (v - cv) / rv, c = (w - cw) / rw;
  return std::sqrt(a * a + b * b + c * c);
}

// Meandering sulcal pattern on the brain's surface: sulci lie where this
// smooth function of direction is close to an odd integer.
double sulcal_field(double theta, double phi) {
  return 3.0 * std::sin(2 * theta + phi) + 2.5 * std::cos(3 * phi - theta) +
         2.0 * std::sin(theta + 4 * phi + 1.0) + 1.5 * std::cos(5 * theta - 2 * phi);
}

// Tissue intensity at normalised coordinates (each in [-1, 1] over the box).
double tissue(double u, double v, double w) {
  const double head = ellipsoid(u, v, w, 0, 0, 0, 0.92, 0.95, 0.92);
  if (head > 1.0) return Tissue::background;
  if (head > 0.955) return Tissue::scalp;
  if (head > 0.935) return Tissue::skull + 150;  // marrow between two tables
  if (head > 0.905) return Tissue::skull;

  const double r = std::sqrt(u * u + v * v + w * w) + 1e-12;
  const double theta = std::atan2(v, u), phi = std::asin(w / r);
  const double brain_surface = 0.885 + 0.01 * std::sin(3 * theta) * std::cos(2 * phi);
  if (head > brain_surface) return Tissue::csf;
  const double depth = brain_surface - head;  // below the outer surface

  // Gyri and sulci: c is 1 on a gyral crown and -1 at the fundus of a sulcus.
  const double c = std::cos(3.14159265358979323846 * sulcal_field(theta, phi));
  const double cortex = 0.055, sulcus_depth = 0.17;
  const double white_top = cortex + sulcus_depth * 0.5 * (1.0 - c);
  if (c < -0.93 && depth < sulcus_depth) return Tissue::csf;  // the cleft
  if (depth < white_top) return Tissue::grey;

  // Lateral ventricles, bent slightly, and the deep grey nuclei.
  for (double side : {-1.0, 1.0}) {
    const double bend = 0.05 * std::cos(3.0 * v);
    if (ellipsoid(u, v, w, side * (0.10 + bend), 0.02, 0.12, 0.06, 0.32, 0.12) < 1.0)
      return Tissue::csf;
    if (ellipsoid(u, v, w, side * 0.14, -0.12, -0.08, 0.10, 0.13, 0.10) < 1.0)
      return Tissue::deep_grey;
    if (ellipsoid(u, v, w, side * 0.32, 0.12, -0.02, 0.06, 0.17, 0.12) < 1.0)
      return Tissue::deep_grey - 40;
  }
  return Tissue::white;
}

}  // namespace

// Separable Gaussian blur of standard deviation `width` voxels, edges
// replicated: the point-spread function of the scanner, without which the
// edges would be sharper than any MRI volume's.
void blur(Volume& v, double width) {
  const int radius = static_cast<int>(std::ceil(3 * width));
  std::vector<double> k(2 * radius + 1);
  double sum = 0;
  for (int i = -radius; i <= radius; ++i)
    sum += k[i + radius] = std::exp(-0.5 * i * i / (width * width));
  for (double& x : k) x /= sum;
  const int n[3] = {v.rows, v.cols, v.slices};
  const std::size_t stride[3] = {1, static_cast<std::size_t>(v.rows),
                                 static_cast<std::size_t>(v.rows) * v.cols};
  std::vector<double> line;
  for (int axis = 0; axis < 3; ++axis) {
    if (n[axis] < 2) continue;
    line.resize(n[axis]);
    for (std::size_t start = 0; start < v.data.size(); ++start) {
      // Visit each line once, from its first voxel.
      if ((start / stride[axis]) % n[axis] != 0) continue;
      for (int i = 0; i < n[axis]; ++i) line[i] = v.data[start + i * stride[axis]];
      for (int i = 0; i < n[axis]; ++i) {
        double acc = 0;
        for (int j = -radius; j <= radius; ++j) {
          const int t = i + j < 0 ? 0 : (i + j >= n[axis] ? n[axis] - 1 : i + j);
          acc += k[j + radius] * line[t];
        }
        v.data[start + i * stride[axis]] = acc;
      }
    }
  }
}

Volume brain_phantom(int rows, int cols, int slices) {
  if (rows < 1 || cols < 1 || slices < 1) throw std::invalid_argument("empty phantom");
  Volume out;
  out.rows = rows;
  out.cols = cols;
  out.slices = slices;
  out.data.resize(out.voxels());
  const int ss = 2;  // supersampling per axis, for partial-volume edges
  for (int k = 0; k < slices; ++k)
    for (int j = 0; j < cols; ++j)
      for (int i = 0; i < rows; ++i) {
        double sum = 0;
        for (int a = 0; a < ss; ++a)
          for (int b = 0; b < ss; ++b)
            for (int c = 0; c < ss; ++c) {
              const double u = 2.0 * (i + (a + 0.5) / ss) / rows - 1.0;
              const double v = 2.0 * (j + (b + 0.5) / ss) / cols - 1.0;
              const double w = 2.0 * (k + (c + 0.5) / ss) / slices - 1.0;
              sum += tissue(u, v, w);
            }
        const double u = 2.0 * (i + 0.5) / rows - 1.0, v = 2.0 * (j + 0.5) / cols - 1.0,
                     w = 2.0 * (k + 0.5) / slices - 1.0;
        const double bias = 1.0 + 0.08 * u - 0.05 * w + 0.03 * v * v;
        const double texture = 1.0 + 0.015 * std::sin(11 * u + 3 * w) * std::sin(13 * v - 2 * u) +
                               0.01 * std::sin(23 * w + 7 * v);
        out.data[i + static_cast<std::size_t>(rows) * (j + static_cast<std::size_t>(cols) * k)] =
            sum / (ss * ss * ss) * bias * texture;
      }
  blur(out, 0.7);
  return out;
}

Normal::Normal(std::uint64_t seed) : engine_(seed) {}

double Normal::operator()() {
  if (has_spare_) {
    has_spare_ = false;
    return spare_;
  }
  const double scale = 1.0 / 9007199254740992.0;  // 2^-53
  double a = 0;
  while (a <= 0) a = static_cast<double>(engine_() >> 11) * scale;
  const double b = static_cast<double>(engine_() >> 11) * scale;
  const double r = std::sqrt(-2.0 * std::log(a));
  spare_ = r * std::sin(2 * kPi * b);
  has_spare_ = true;
  return r * std::cos(2 * kPi * b);
}

Volume add_gaussian_noise(const Volume& clean, double sigma, std::uint64_t seed) {
  Normal n(seed);
  Volume out = clean;
  for (double& x : out.data) x += sigma * n();
  return out;
}

Volume add_rician_noise(const Volume& clean, double sigma, std::uint64_t seed) {
  Normal n(seed);
  Volume out = clean;
  for (double& x : out.data) {
    const double re = x + sigma * n(), im = sigma * n();
    x = std::sqrt(re * re + im * im);
  }
  return out;
}

double psnr(const std::vector<double>& ref, const std::vector<double>& test,
            const std::vector<std::uint8_t>& mask) {
  if (ref.size() != test.size() || (!mask.empty() && mask.size() != ref.size()))
    throw std::invalid_argument("psnr: sizes differ");
  double peak = 0, sum = 0;
  std::size_t n = 0;
  for (std::size_t i = 0; i < ref.size(); ++i) {
    peak = ref[i] > peak ? ref[i] : peak;
    if (!mask.empty() && !mask[i]) continue;
    const double d = ref[i] - test[i];
    sum += d * d;
    ++n;
  }
  if (n == 0) return 0;
  return 10.0 * std::log10(peak * peak / (sum / n));
}

}  // namespace zarvo::cli
