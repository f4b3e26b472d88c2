// The series noise level: the patch spectrum, the Rician moments, the level
// of simulated diffusion-like and functional-like series with a known noise
// level (Gaussian and Rician), two-volume series, masks, thread counts, bad
// input, and the level map of noise that varies in space.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "series_level.h"
#include "stage_helpers.h"
#include "zarvo/pipeline.h"

namespace sl = zarvo::series_level;
using zarvo::Noise;

namespace {

using zarvo::test::shape_of;

constexpr double kPi = 3.14159265358979323846;

// A series held in memory, with a known noise-free signal.
struct Sim {
  zarvo::Shape shape;
  std::vector<double> clean, noisy;  // volume after volume
  std::size_t voxels() const { return shape.volume_voxels(); }
  zarvo::SeriesInput input() const {
    zarvo::SeriesInput in;
    in.shape = shape;
    const std::vector<double>* data = &noisy;
    const std::size_t n = voxels();
    in.read = [data, n](int t, double* out) {
      std::copy_n(data->data() + n * static_cast<std::size_t>(t), n, out);
    };
    return in;
  }
};

// A head: an ellipsoid filling most of the field of view, smooth tissue
// contrast inside, 0 outside. Returns the proton density (about 100 in white
// matter) and a tissue coordinate in [0, 1] (0 white matter, 1 fluid).
void head(const zarvo::Shape& s, std::vector<double>& density, std::vector<double>& tissue) {
  density.assign(s.volume_voxels(), 0.0);
  tissue.assign(s.volume_voxels(), 0.0);
  std::size_t i = 0;
  for (int z = 0; z < s.slices; ++z)
    for (int c = 0; c < s.cols; ++c)
      for (int r = 0; r < s.rows; ++r, ++i) {
        const double x = (r - s.rows / 2.0) / (0.42 * s.rows),
                     y = (c - s.cols / 2.0) / (0.40 * s.cols),
                     w = (z - s.slices / 2.0) / (0.45 * s.slices);
        const double rad = std::sqrt(x * x + y * y + w * w);
        if (rad >= 1) continue;
        const double t = 0.5 + 0.5 * std::sin(r / 3.1) * std::cos(c / 4.3 + z / 5.0);
        tissue[i] = rad > 0.85 ? 1.0 : t;
        density[i] = 100.0 * (1.0 + 0.8 * tissue[i]);
      }
}

// Diffusion-like: b0 volumes every 8th, the rest at b = 1000 (every other
// one at b = 2000 with two shells) along directions in a plane; fluid
// diffuses fast and isotropically, white matter slowly and along a direction
// that turns across the volume.
Sim diffusion(int rows, int cols, int slices, int volumes, bool two_shells = false) {
  Sim sim;
  sim.shape = shape_of(rows, cols, slices, volumes);
  std::vector<double> density, tissue;
  head(sim.shape, density, tissue);
  const std::size_t n = sim.voxels();
  sim.clean.resize(n * static_cast<std::size_t>(volumes));
  for (int t = 0; t < volumes; ++t) {
    const bool b0 = t % 8 == 0;
    const double angle = kPi * t / 7.3, b = two_shells && t % 2 == 0 ? 2000 : 1000;
    std::size_t i = 0;
    for (int z = 0; z < slices; ++z)
      for (int c = 0; c < cols; ++c)
        for (int r = 0; r < rows; ++r, ++i) {
          double v = density[i];
          if (b0 || v == 0) {
            sim.clean[i + n * static_cast<std::size_t>(t)] = v;
            continue;
          }
          const double fibre = 0.7 * r / rows + 0.4 * z / slices;
          const double aniso = 0.7 * (1 - tissue[i]);
          const double cosine = std::cos(angle - fibre);
          const double d = 0.7e-3 + 2.3e-3 * tissue[i] * tissue[i];
          v *= std::exp(-b * d * (1 - aniso + 2.2 * aniso * cosine * cosine));
          sim.clean[i + n * static_cast<std::size_t>(t)] = v;
        }
  }
  return sim;
}

// Functional-like: the head with slow drifts (linear and a slow sinusoid,
// a little different across the volume) and a 2 % block activation in a
// ball.
Sim functional(int rows, int cols, int slices, int volumes) {
  Sim sim;
  sim.shape = shape_of(rows, cols, slices, volumes);
  std::vector<double> density, tissue;
  head(sim.shape, density, tissue);
  const std::size_t n = sim.voxels();
  sim.clean.resize(n * static_cast<std::size_t>(volumes));
  for (int t = 0; t < volumes; ++t) {
    const bool on = (t / 10) % 2 == 1;
    std::size_t i = 0;
    for (int z = 0; z < slices; ++z)
      for (int c = 0; c < cols; ++c)
        for (int r = 0; r < rows; ++r, ++i) {
          const double drift = 1 + 0.01 * t / volumes + 0.005 * std::sin(t / 9.0 + r / 20.0);
          const double dr = r - rows / 3.0, dc = c - cols / 2.0, dz = z - slices / 2.0;
          const bool active = dr * dr + dc * dc + dz * dz < 25;
          sim.clean[i + n * static_cast<std::size_t>(t)] =
              density[i] * drift * (active && on ? 1.02 : 1.0);
        }
  }
  return sim;
}

// The noise level at every voxel: uniform, or rising along the rows by
// `slope` of the level (a coil's sensitivity falling off).
std::vector<double> level_field(const zarvo::Shape& s, double sigma, double slope) {
  std::vector<double> f(s.volume_voxels());
  std::size_t i = 0;
  for (int z = 0; z < s.slices; ++z)
    for (int c = 0; c < s.cols; ++c)
      for (int r = 0; r < s.rows; ++r, ++i)
        f[i] = sigma * (1 + slope * (static_cast<double>(r) / (s.rows - 1) - 0.5));
  return f;
}

void add_noise(Sim& sim, Noise noise, const std::vector<double>& level, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  const std::size_t n = sim.voxels();
  sim.noisy.resize(sim.clean.size());
  for (std::size_t k = 0; k < sim.clean.size(); ++k) {
    const double s = level[k % n], re = sim.clean[k] + s * g(rng);
    sim.noisy[k] = noise == Noise::rician ? std::hypot(re, s * g(rng)) : re;
  }
}

void add_noise(Sim& sim, Noise noise, double sigma, unsigned seed) {
  add_noise(sim, noise, std::vector<double>(sim.voxels(), sigma), seed);
}

}  // namespace

// ---------------------------------------------------------------------------
// The spectrum of one patch.

TEST(SeriesLevelSpectrum, WhiteNoiseIsAllNoiseAndLowRankSignalIsSetApart) {
  // 30 volumes x 124 degrees of freedom: the spectrum of noise of variance 4,
  // then the same with three strong components.
  const int M = 30, N = 125;
  std::mt19937 rng(3);
  std::normal_distribution<double> g(0.0, 2.0);
  for (int rank : {0, 3}) {
    std::vector<double> x(static_cast<std::size_t>(M) * N);
    for (double& v : x) v = g(rng);
    for (int k = 0; k < rank; ++k)
      for (int t = 0; t < M; ++t)
        for (int j = 0; j < N; ++j)
          x[static_cast<std::size_t>(t) * N + j] +=
              40.0 / (k + 1) * std::sin(0.3 * (k + 1) * t) * std::cos(0.17 * (k + 2) * j);
    // Eigenvalues of the centred M x M Gram matrix, by Jacobi rotations.
    std::vector<double> a(static_cast<std::size_t>(M) * M, 0.0);
    std::vector<double> mean(M, 0.0);
    for (int t = 0; t < M; ++t) {
      for (int j = 0; j < N; ++j) mean[t] += x[static_cast<std::size_t>(t) * N + j] / N;
    }
    for (int p = 0; p < M; ++p)
      for (int q = 0; q < M; ++q)
        for (int j = 0; j < N; ++j)
          a[p * M + q] += (x[static_cast<std::size_t>(p) * N + j] - mean[p]) *
                          (x[static_cast<std::size_t>(q) * N + j] - mean[q]);
    for (int sweep = 0; sweep < 60; ++sweep)
      for (int p = 0; p < M; ++p)
        for (int q = p + 1; q < M; ++q) {
          const double apq = a[p * M + q];
          if (std::abs(apq) < 1e-12) continue;
          const double theta = 0.5 * std::atan2(2 * apq, a[q * M + q] - a[p * M + p]);
          const double c = std::cos(theta), s = std::sin(theta);
          for (int k = 0; k < M; ++k) {
            const double akp = a[k * M + p], akq = a[k * M + q];
            a[k * M + p] = c * akp - s * akq;
            a[k * M + q] = s * akp + c * akq;
          }
          for (int k = 0; k < M; ++k) {
            const double apk = a[p * M + k], aqk = a[q * M + k];
            a[p * M + k] = c * apk - s * aqk;
            a[q * M + k] = s * apk + c * aqk;
          }
        }
    std::vector<double> eig;
    for (int k = 0; k < M; ++k) eig.push_back(a[k * M + k]);
    std::sort(eig.rbegin(), eig.rend());
    const sl::Spectrum sp = sl::noise_spectrum(eig.data(), M, N - 1);
    SCOPED_TRACE(rank);
    // The largest noise eigenvalue may pass the edge now and then.
    EXPECT_GE(sp.signal, rank);
    EXPECT_LE(sp.signal, rank + 1);
    EXPECT_NEAR(sp.variance, 4.0, 0.5);
  }
}

TEST(SeriesLevelSpectrum, DegenerateSpectra) {
  const double zeros[3] = {0, 0, 0};
  EXPECT_EQ(sl::noise_spectrum(zeros, 3, 100).variance, 0.0);
  const double one[1] = {5.0};
  EXPECT_DOUBLE_EQ(sl::noise_spectrum(one, 1, 100).variance, 0.05);  // 5 over 1 x 100
  EXPECT_EQ(sl::noise_spectrum(one, 0, 100).variance, 0.0);
}

// ---------------------------------------------------------------------------
// The Rician moments and the level under a magnitude patch.

TEST(SeriesLevelRician, MomentsMatchSampledMagnitudes) {
  EXPECT_NEAR(sl::rician_variance_factor(0), 2 - kPi / 2, 1e-9);
  EXPECT_NEAR(sl::rician_mean(0), std::sqrt(kPi / 2), 1e-9);
  EXPECT_NEAR(sl::rician_variance_factor(50), 1.0, 1e-3);
  std::mt19937 rng(11);
  std::normal_distribution<double> g(0.0, 1.0);
  for (double theta : {0.5, 1.5, 3.0, 8.0}) {
    double sum = 0, sum2 = 0;
    const int n = 400000;
    for (int k = 0; k < n; ++k) {
      const double m = std::hypot(theta + g(rng), g(rng));
      sum += m;
      sum2 += m * m;
    }
    const double mean = sum / n, var = sum2 / n - mean * mean;
    SCOPED_TRACE(theta);
    EXPECT_NEAR(sl::rician_mean(theta), mean, 0.01);
    EXPECT_NEAR(sl::rician_variance_factor(theta), var, 0.01);
    EXPECT_NEAR(sl::rician_amplitude(sl::rician_mean(theta)), theta, 1e-3);
  }
  EXPECT_EQ(sl::rician_amplitude(1.0), 0.0);  // below the mean of pure noise
  EXPECT_NEAR(sl::rician_amplitude(sl::rician_mean(40)), 40, 1e-2);
}

TEST(SeriesLevelRician, LevelUnderLowAmplitudeMagnitude) {
  // Magnitudes of amplitude 0 to 3 sigma (sigma = 5): their variance falls
  // short of 25; the level under them does not.
  const double sigma = 5;
  std::vector<double> means;
  double variance = 0;
  for (int k = 0; k < 300; ++k) {
    const double theta = 3.0 * k / 299;
    means.push_back(sigma * sl::rician_mean(theta));
    variance += sigma * sigma * sl::rician_variance_factor(theta) / 300;
  }
  EXPECT_LT(variance, 0.8 * sigma * sigma);
  EXPECT_NEAR(sl::rician_level(variance, means), sigma, 0.01);
  // High amplitude: nothing to correct.
  EXPECT_NEAR(sl::rician_level(25.0, std::vector<double>(10, 500.0)), 5.0, 5e-3);
}

// ---------------------------------------------------------------------------
// The level of simulated series against the truth.

struct Case {
  const char* name;
  Noise noise;
  double sigma;
};

TEST(SeriesLevelEstimate, DiffusionSeriesWithinTenPercent) {
  // b0 signal-to-noise 10 and 20 in white matter (density 100); at b = 2000
  // and SNR 10 most of the signal sits in the Rician floor.
  struct Shells {
    Case c;
    bool two;
  };
  for (const Shells& sh : {Shells{{"gaussian snr 20", Noise::gaussian, 5.0}, false},
                           Shells{{"rician snr 20", Noise::rician, 5.0}, false},
                           Shells{{"rician snr 10", Noise::rician, 10.0}, false},
                           Shells{{"rician snr 10, two shells", Noise::rician, 10.0}, true}}) {
    const Case& c = sh.c;
    Sim sim = diffusion(48, 48, 30, 35, sh.two);
    add_noise(sim, c.noise, c.sigma, 7);
    const zarvo::SeriesLevel level = zarvo::estimate_series_sigma(sim.input(), c.noise, nullptr, 2);
    SCOPED_TRACE(c.name);
    std::printf("%s: sigma %.3f (pca %.3f, diff %.3f, %zu patches) truth %.3f\n", c.name,
                level.sigma, level.pca_sigma, level.difference_sigma, level.patches, c.sigma);
    EXPECT_NEAR(level.sigma, c.sigma, 0.1 * c.sigma);
    EXPECT_GT(level.patches, 100u);
    // b0 volumes repeat: their difference agrees with the spectrum.
    EXPECT_NEAR(level.difference_sigma, c.sigma, 0.1 * c.sigma);
  }
}

TEST(SeriesLevelEstimate, FunctionalSeriesWithinTenPercent) {
  Sim sim = functional(40, 40, 24, 100);
  for (const Case& c :
       {Case{"gaussian", Noise::gaussian, 4.0}, Case{"rician", Noise::rician, 8.0}}) {
    add_noise(sim, c.noise, c.sigma, 5);
    const zarvo::SeriesLevel level = zarvo::estimate_series_sigma(sim.input(), c.noise, nullptr, 2);
    SCOPED_TRACE(c.name);
    std::printf("%s: sigma %.3f (pca %.3f, diff %.3f, %zu patches) truth %.3f\n", c.name,
                level.sigma, level.pca_sigma, level.difference_sigma, level.patches, c.sigma);
    EXPECT_NEAR(level.sigma, c.sigma, 0.1 * c.sigma);
    EXPECT_NEAR(level.difference_sigma, c.sigma, 0.1 * c.sigma);
  }
}

TEST(SeriesLevelEstimate, TwoVolumes) {
  Sim sim = functional(48, 48, 20, 2);
  add_noise(sim, Noise::gaussian, 6.0, 9);
  const zarvo::SeriesLevel level = zarvo::estimate_series_sigma(sim.input(), Noise::gaussian);
  std::printf("two volumes: sigma %.3f (pca %.3f, diff %.3f)\n", level.sigma, level.pca_sigma,
              level.difference_sigma);
  EXPECT_NEAR(level.sigma, 6.0, 0.6);
}

TEST(SeriesLevelEstimate, ThreadCountAndScaleDoNotChangeTheLevel) {
  Sim sim = diffusion(32, 32, 20, 12);
  add_noise(sim, Noise::rician, 6.0, 21);
  const zarvo::SeriesLevel one =
      zarvo::estimate_series_sigma(sim.input(), Noise::rician, nullptr, 1);
  const zarvo::SeriesLevel three =
      zarvo::estimate_series_sigma(sim.input(), Noise::rician, nullptr, 3);
  EXPECT_EQ(one.sigma, three.sigma);
  EXPECT_EQ(one.difference_sigma, three.difference_sigma);
  EXPECT_EQ(one.patches, three.patches);
  const std::vector<double> map1 =
      zarvo::estimate_series_sigma_map(sim.input(), Noise::rician, nullptr, 1);
  const std::vector<double> map3 =
      zarvo::estimate_series_sigma_map(sim.input(), Noise::rician, nullptr, 3);
  EXPECT_EQ(map1, map3);

  for (double& v : sim.noisy) v *= 16;  // a power of two: the floats scale exactly
  const zarvo::SeriesLevel scaled =
      zarvo::estimate_series_sigma(sim.input(), Noise::rician, nullptr, 2);
  EXPECT_NEAR(scaled.sigma, 16 * one.sigma, 1e-6 * scaled.sigma);
}

TEST(SeriesLevelEstimate, MaskChoosesWhereTheLevelIsMeasured) {
  // Level 3 in the first half of the rows, 9 in the second; a mask over the
  // first half finds 3, one over the second half 9.
  Sim sim = functional(40, 40, 20, 30);
  std::vector<double> level(sim.voxels());
  std::vector<unsigned char> low(sim.voxels()), high(sim.voxels());
  for (std::size_t i = 0; i < level.size(); ++i) {
    const bool first = static_cast<int>(i % 40) < 20;
    level[i] = first ? 3.0 : 9.0;
    low[i] = first;
    high[i] = !first;
  }
  add_noise(sim, Noise::gaussian, level, 4);
  const double a = zarvo::estimate_series_sigma(sim.input(), Noise::gaussian, low.data()).sigma;
  const double b = zarvo::estimate_series_sigma(sim.input(), Noise::gaussian, high.data()).sigma;
  EXPECT_NEAR(a, 3.0, 0.3);
  EXPECT_NEAR(b, 9.0, 0.9);
}

TEST(SeriesLevelEstimate, RefusesWhatHasNoLevel) {
  Sim sim = functional(16, 16, 8, 1);
  sim.shape.ndims = 4;  // a series of one volume
  add_noise(sim, Noise::gaussian, 2.0, 1);
  EXPECT_THROW(zarvo::estimate_series_sigma(sim.input(), Noise::gaussian), zarvo::Error);

  Sim flat = functional(16, 16, 8, 4);
  flat.noisy = flat.clean;  // noise-free and unchanging: no level
  for (std::size_t i = 0; i < flat.voxels(); ++i)
    for (int t = 0; t < 4; ++t) flat.noisy[i + flat.voxels() * t] = flat.clean[i];
  EXPECT_THROW(zarvo::estimate_series_sigma(flat.input(), Noise::gaussian), zarvo::Error);
  std::fill(flat.noisy.begin(), flat.noisy.end(), 0.0);
  EXPECT_THROW(zarvo::estimate_series_sigma_map(flat.input(), Noise::gaussian), zarvo::Error);

  Sim bad = functional(16, 16, 8, 3);
  add_noise(bad, Noise::gaussian, 2.0, 1);
  bad.noisy[bad.voxels() * 2 + 5] = std::nan("");
  EXPECT_THROW(zarvo::estimate_series_sigma(bad.input(), Noise::gaussian), zarvo::InputError);
}

// ---------------------------------------------------------------------------
// The level map.

// Relative error of the map against the true field over the head, and the
// largest departure of a step between neighbouring voxels from the true
// field's, relative to the level.
struct MapError {
  double median = 0, worst = 0, step = 0;
};
MapError compare(const Sim& sim, const std::vector<double>& map, const std::vector<double>& truth) {
  MapError e;
  std::vector<double> rel;
  const zarvo::Shape& s = sim.shape;
  for (std::size_t i = 0; i < map.size(); ++i) {
    if (sim.clean[i] <= 0) continue;
    const double r = std::abs(map[i] - truth[i]) / truth[i];
    rel.push_back(r);
    e.worst = std::max(e.worst, r);
    const int row = static_cast<int>(i % s.rows);
    for (std::size_t next : {i + 1, i + static_cast<std::size_t>(s.rows)}) {
      if (next >= map.size() || (next == i + 1 && row + 1 == s.rows)) continue;
      const double step = (map[next] - map[i]) - (truth[next] - truth[i]);
      e.step = std::max(e.step, std::abs(step) / truth[i]);
    }
  }
  std::nth_element(rel.begin(), rel.begin() + rel.size() / 2, rel.end());
  e.median = rel[rel.size() / 2];
  return e;
}

TEST(SeriesLevelMap, FollowsALevelThatVariesInSpace) {
  // From 0.6 to 1.4 times the mean level across the rows.
  Sim sim = diffusion(48, 48, 24, 30);
  for (const Case& c :
       {Case{"gaussian", Noise::gaussian, 5.0}, Case{"rician", Noise::rician, 8.0}}) {
    const std::vector<double> truth = level_field(sim.shape, c.sigma, 0.8);
    add_noise(sim, c.noise, truth, 13);
    const std::vector<double> map =
        zarvo::estimate_series_sigma_map(sim.input(), c.noise, nullptr, 2);
    ASSERT_EQ(map.size(), sim.voxels());
    const MapError e = compare(sim, map, truth);
    SCOPED_TRACE(c.name);
    std::printf("%s map: median %.3f worst %.3f step %.4f\n", c.name, e.median, e.worst, e.step);
    EXPECT_LT(e.median, 0.06);
    EXPECT_LT(e.worst, 0.25);
    EXPECT_LT(e.step, 0.03);  // smooth: patch levels alone jump by 5 to 10 %
  }
}

TEST(SeriesLevelMap, SigmaScopeVoxelEstimatesTheMapForEitherSeriesMode) {
  // The option's map is the estimator's, used as if given: the same bits as
  // that map given, in either mode; its noise map (the map itself) follows
  // the planted field within the estimator's tolerance.
  Sim sim = diffusion(40, 40, 16, 20);
  const std::vector<double> truth = level_field(sim.shape, 8.0, 0.8);
  add_noise(sim, Noise::rician, truth, 29);
  const std::vector<double> estimated =
      zarvo::estimate_series_sigma_map(sim.input(), Noise::rician, nullptr, 2);
  zarvo::Shape one = sim.shape;
  one.volumes = 1;
  const zarvo::SeriesInput given =
      zarvo::series_input(zarvo::ArrayView::column_major(estimated.data(), one));
  const std::size_t n = sim.voxels();
  for (zarvo::SeriesMode mode : {zarvo::SeriesMode::volumes, zarvo::SeriesMode::joint}) {
    auto run = [&](const zarvo::DenoiseOptions& o, std::vector<double>& out,
                   std::vector<double>& map) {
      zarvo::RunContext context;
      context.threads = 2;
      return zarvo::denoise(
          sim.input(), o,
          [&](int, const double* e, const double* m) {
            out.insert(out.end(), e, e + n);
            map.insert(map.end(), m, m + n);
          },
          context);
    };
    zarvo::DenoiseOptions o;
    o.noise = Noise::rician;
    o.series = mode;
    o.basic_only = true;
    o.noise_map = true;
    o.sigma_scope = zarvo::SigmaScope::voxel;
    std::vector<double> out, map, out_given, map_given;
    const zarvo::DenoiseReport r = run(o, out, map);
    o.sigma_map = &given;
    run(o, out_given, map_given);
    SCOPED_TRACE(mode == zarvo::SeriesMode::joint ? "joint" : "volumes");
    EXPECT_EQ(out, out_given);
    EXPECT_EQ(map, map_given);
    ASSERT_EQ(r.volumes.size(), 20u);
    EXPECT_EQ(r.volumes[7].source, zarvo::SigmaSource::estimated_map);
    const std::vector<double> last(map.end() - static_cast<std::ptrdiff_t>(n), map.end());
    const MapError e = compare(sim, last, truth);
    EXPECT_LT(e.median, 0.06);
    EXPECT_LT(e.worst, 0.25);
  }
}

TEST(SeriesLevelMap, FillsWhatTheMaskLeavesOut) {
  Sim sim = functional(32, 32, 16, 20);
  add_noise(sim, Noise::gaussian, 4.0, 8);
  std::vector<unsigned char> mask(sim.voxels(), 0);
  for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<int>(i % 32) < 16;
  const std::vector<double> map =
      zarvo::estimate_series_sigma_map(sim.input(), Noise::gaussian, mask.data(), 2);
  for (std::size_t i = 0; i < map.size(); ++i) {
    ASSERT_TRUE(std::isfinite(map[i])) << i;
    ASSERT_NEAR(map[i], 4.0, 0.6) << i;
  }
}

TEST(SeriesLevelEstimate, SlicesAndSmallVolumes) {
  // One slice (patches widen in plane), and a volume smaller than a patch
  // along its rows.
  for (const zarvo::Shape& s : {shape_of(64, 64, 1, 20), shape_of(4, 40, 30, 20)}) {
    Sim sim = functional(s.rows, s.cols, s.slices, s.volumes);
    std::fill(sim.clean.begin(), sim.clean.end(), 0.0);
    for (std::size_t k = 0; k < sim.clean.size(); ++k)  // no background: all head
      sim.clean[k] = 200 + 50 * std::sin(static_cast<double>(k % sim.voxels()) / 7.0);
    add_noise(sim, Noise::gaussian, 5.0, 17);
    const zarvo::SeriesLevel level = zarvo::estimate_series_sigma(sim.input(), Noise::gaussian);
    SCOPED_TRACE(s.rows);
    EXPECT_NEAR(level.sigma, 5.0, 0.5);
    const std::vector<double> map = zarvo::estimate_series_sigma_map(sim.input(), Noise::gaussian);
    EXPECT_NEAR(*std::min_element(map.begin(), map.end()), 5.0, 0.75);
    EXPECT_NEAR(*std::max_element(map.begin(), map.end()), 5.0, 0.75);
  }
}
