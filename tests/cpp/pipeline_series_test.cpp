// The joint series mode: the transform along the volumes (orthonormal,
// white noise stays white at its level, a low-rank series lands in a few
// components), and the mode as a whole on small diffusion-like series:
// better than filtering each volume, Rician volumes of low signal not biased
// upward, levels given per volume or estimated, masks, tiny and degenerate
// series, and the same bits on any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "series_joint.h"
#include "stage_helpers.h"
#include "volume_transform.h"
#include "zarvo/options.h"
#include "zarvo/pipeline.h"

namespace {

using zarvo::test::shape_of;

// A diffusion-like clean series: a smooth anatomy with an edge, each volume
// attenuated by its own factor (from 1 down to `lowest`) and, every other
// volume, with a contrast that depends on the side of the edge (so that the
// series has rank 2 or more).
std::vector<double> clean_series(const zarvo::Shape& s, double level, double lowest) {
  std::vector<double> v(s.volume_voxels() * s.volumes);
  std::size_t i = 0;
  for (int t = 0; t < s.volumes; ++t) {
    const double a = s.volumes > 1 ? std::pow(lowest, t / double(s.volumes - 1)) : 1.0;
    for (int z = 0; z < s.slices; ++z)
      for (int y = 0; y < s.cols; ++y)
        for (int x = 0; x < s.rows; ++x, ++i) {
          const bool right = x > s.rows / 2;
          const double anatomy = 10.0 + (right ? 6.0 : 0.0) + 2.0 * std::sin(0.4 * y) + 0.2 * z;
          const double contrast = (t % 2 == 1 && right) ? 0.6 : 1.0;
          v[i] = level * a * anatomy * contrast;
        }
  }
  return v;
}

std::vector<double> with_noise(const std::vector<double>& clean, double sigma, bool rician,
                               unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(0.0, sigma);
  std::vector<double> v(clean.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double re = clean[i] + d(gen);
    v[i] = rician ? std::hypot(re, d(gen)) : re;
  }
  return v;
}

struct Outcome {
  std::vector<double> out, noise_map;
  zarvo::DenoiseReport report;
  std::vector<int> stage_items;  // the component of every first stage
};

Outcome run(const std::vector<double>& in, const zarvo::Shape& s, const zarvo::DenoiseOptions& o,
            int threads = 1) {
  Outcome r;
  zarvo::RunContext context;
  context.threads = threads;
  zarvo::PipelineEvents events;
  events.stage = [&](int k, int stage, int, const char*) {
    if (stage == 0) r.stage_items.push_back(k);
  };
  r.report = zarvo::denoise(
      zarvo::series_input(zarvo::ArrayView::column_major(in.data(), s)), o,
      [&](int, const double* e, const double* m) {
        r.out.insert(r.out.end(), e, e + s.volume_voxels());
        if (m) r.noise_map.insert(r.noise_map.end(), m, m + s.volume_voxels());
      },
      context, events);
  return r;
}

double rmse(const std::vector<double>& a, const std::vector<double>& b, std::size_t begin,
            std::size_t end) {
  double sum = 0;
  for (std::size_t i = begin; i < end; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum / double(end - begin));
}

zarvo::DenoiseOptions joint(zarvo::Noise noise, std::vector<double> sigma) {
  zarvo::DenoiseOptions o;
  o.noise = noise;
  o.sigma = std::move(sigma);
  o.series = zarvo::SeriesMode::joint;
  return o;
}

// A series store filled from doubles.
zarvo::SeriesStore store_of(const std::vector<double>& v, std::size_t voxels, int volumes) {
  zarvo::SeriesStore store(voxels, volumes, 1);
  for (int t = 0; t < volumes; ++t)
    for (std::size_t i = 0; i < voxels; ++i)
      store.volume(t)[i] = static_cast<float>(v[static_cast<std::size_t>(t) * voxels + i]);
  return store;
}

}  // namespace

TEST(VolumeTransform, OrthonormalKeepsWhiteNoiseWhiteAtItsLevel) {
  const std::size_t voxels = 40000;
  const int volumes = 12;
  const std::vector<double> noise = zarvo::test::random_volume(voxels * volumes, 3, 0.0, 1.0);
  zarvo::SeriesStore store = store_of(noise, voxels, volumes);
  const zarvo::VolumeBasis basis = zarvo::principal_axes(store, nullptr, 2);
  for (int a = 0; a < volumes; ++a)
    for (int b = 0; b < volumes; ++b) {
      double dot = 0;
      for (int i = 0; i < volumes; ++i)
        dot += basis.axes[a * volumes + i] * basis.axes[b * volumes + i];
      EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-12);
    }
  for (int k = 1; k < volumes; ++k) EXPECT_GE(basis.moments[k - 1], basis.moments[k]);

  zarvo::to_components(store, basis, 2);
  // Each component's level stays within the spread that a basis fitted to
  // the noise itself gives (1 +- sqrt(volumes / voxels), about 1.7 %).
  for (int k = 0; k < volumes; ++k) {
    double sum = 0;
    for (std::size_t i = 0; i < voxels; ++i) sum += double(store.volume(k)[i]) * store.volume(k)[i];
    EXPECT_NEAR(std::sqrt(sum / voxels), 1.0, 0.03) << "component " << k;
  }
  // Components of different axes are uncorrelated.
  double cross = 0;
  for (std::size_t i = 0; i < voxels; ++i)
    cross += double(store.volume(0)[i]) * store.volume(volumes - 1)[i];
  EXPECT_NEAR(cross / voxels, 0.0, 1e-4);

  zarvo::from_components(store, basis, 2);
  double worst = 0;
  for (int t = 0; t < volumes; ++t)
    for (std::size_t i = 0; i < voxels; ++i)
      worst = std::fmax(worst, std::fabs(store.volume(t)[i] - noise[t * voxels + i]));
  EXPECT_LT(worst, 1e-5);
}

TEST(VolumeTransform, LowRankSeriesLandsInItsLeadingComponents) {
  const zarvo::Shape s = shape_of(20, 20, 6, 9);
  const std::vector<double> clean = clean_series(s, 1.0, 0.3);  // rank 2
  const std::size_t n = s.volume_voxels();
  zarvo::SeriesStore store = store_of(clean, n, s.volumes);
  // A mask of the left half only: there every volume is the same image
  // scaled, so the series inside it has rank 1.
  std::vector<unsigned char> left(n);
  for (std::size_t i = 0; i < n; ++i) left[i] = (i % s.rows) <= std::size_t(s.rows / 2);
  const zarvo::VolumeBasis inside = zarvo::principal_axes(store, left.data(), 1);
  EXPECT_LT(inside.moments[1], 1e-9 * inside.moments[0]);
  const zarvo::VolumeBasis basis = zarvo::principal_axes(store, nullptr, 1);
  EXPECT_GT(basis.moments[1], 1e-3 * basis.moments[0]);
  EXPECT_LT(basis.moments[2], 1e-9 * basis.moments[0]);
  zarvo::to_components(store, basis, 1);
  for (int k = 2; k < s.volumes; ++k)
    for (std::size_t i = 0; i < n; ++i) ASSERT_LT(std::fabs(store.volume(k)[i]), 1e-3);
}

// Sum over the volumes of a's squared steps between neighbours.
double squared_steps(const double* a, int n) {
  double sum = 0;
  for (int i = 1; i < n; ++i) sum += (a[i] - a[i - 1]) * (a[i] - a[i - 1]);
  return sum;
}

// Blocks of `block` volumes off, then on, ...: zero mean, unit length.
std::vector<double> block_course(int volumes, int block) {
  std::vector<double> r(static_cast<std::size_t>(volumes));
  double mean = 0, norm = 0;
  for (int t = 0; t < volumes; ++t) mean += r[t] = (t / block) % 2;
  mean /= volumes;
  for (double& x : r) norm += (x - mean) * (x - mean);
  for (double& x : r) x = (x - mean) / std::sqrt(norm);
  return r;
}

TEST(VolumeTransform, SmoothTrailingAxesStayOrthonormalAndKeepWhiteNoiseAtItsLevel) {
  const std::size_t voxels = 30000;
  const int volumes = 16;
  std::vector<double> series = zarvo::test::random_volume(voxels * volumes, 5, 0.0, 1.0);
  for (int t = 0; t < volumes; ++t)  // a mean image, so that one axis carries signal
    for (std::size_t i = 0; i < voxels; ++i) series[t * voxels + i] += 5.0 + (i % 7);
  zarvo::SeriesStore store = store_of(series, voxels, volumes);
  const zarvo::VolumeBasis principal = zarvo::principal_axes(store, nullptr, 2);
  zarvo::VolumeBasis basis = principal;
  zarvo::smooth_trailing_axes(basis, 1);

  for (int k = 0; k < volumes; ++k)
    EXPECT_EQ(basis.axes[k], principal.axes[k]) << "the kept axis is left as it is";
  for (int a = 0; a < volumes; ++a)
    for (int b = 0; b < volumes; ++b) {
      double dot = 0;
      for (int i = 0; i < volumes; ++i)
        dot += basis.axes[a * volumes + i] * basis.axes[b * volumes + i];
      EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-12) << a << " " << b;
    }
  // Smoothest first.
  for (int k = 2; k < volumes; ++k)
    EXPECT_LE(squared_steps(&basis.axes[(k - 1) * volumes], volumes),
              squared_steps(&basis.axes[k * volumes], volumes) + 1e-12);

  zarvo::to_components(store, basis, 2);
  for (int k = 1; k < volumes; ++k) {
    // The moments are the series' sums of squares along the new axes, and
    // the noise keeps its level along every one.
    double sum = 0;
    for (std::size_t i = 0; i < voxels; ++i) sum += double(store.volume(k)[i]) * store.volume(k)[i];
    EXPECT_NEAR(basis.moments[k] / sum, 1.0, 1e-5) << "component " << k;
    EXPECT_NEAR(std::sqrt(sum / voxels), 1.0, 0.03) << "component " << k;
  }
  zarvo::from_components(store, basis, 2);
  double worst = 0;
  for (int t = 0; t < volumes; ++t)
    for (std::size_t i = 0; i < voxels; ++i)
      worst = std::fmax(worst, std::fabs(store.volume(t)[i] - series[t * voxels + i]));
  EXPECT_LT(worst, 1e-4);

  // None kept: the cosine basis of the volume axis, whatever the basis was.
  zarvo::smooth_trailing_axes(basis, 0);
  for (int k = 0; k < volumes; ++k) {
    const double* a = &basis.axes[k * volumes];
    const double scale = std::sqrt((k == 0 ? 1.0 : 2.0) / volumes);
    const double sign = a[0] < 0 ? -1.0 : 1.0;
    for (int i = 0; i < volumes; ++i)
      ASSERT_NEAR(sign * a[i], scale * std::cos(M_PI * k * (i + 0.5) / volumes), 1e-10) << k;
  }
}

TEST(VolumeTransform, SlowBlockSignalGathersInAFewSmoothAxes) {
  // Noise around a mean image, and a weak block signal in a few hundred
  // voxels, far too weak to raise an axis of its own.
  const std::size_t voxels = 20000, active = 300;
  const int volumes = 60;
  const std::vector<double> course = block_course(volumes, 10);
  std::vector<double> series = zarvo::test::random_volume(voxels * volumes, 9, 0.0, 1.0);
  for (int t = 0; t < volumes; ++t)
    for (std::size_t i = 0; i < voxels; ++i)
      series[t * voxels + i] += 8.0 + (i < active ? 1.5 * course[t] : 0.0);
  zarvo::SeriesStore store = store_of(series, voxels, volumes);
  const zarvo::VolumeBasis principal = zarvo::principal_axes(store, nullptr, 1);
  std::vector<double> mean_square(principal.moments);
  for (double& m : mean_square) m /= voxels;
  const int kept = zarvo::signal_axes(mean_square, voxels);
  ASSERT_GE(kept, 1);
  ASSERT_LE(kept, 3) << "the noise and the block stay below the edge";
  zarvo::VolumeBasis smooth = principal;
  zarvo::smooth_trailing_axes(smooth, kept);

  // The share of the block's course along the three axes that hold most
  // of it: spread thin over the principal axes of the noise, gathered by
  // the smooth ones.
  const auto best_three = [&](const zarvo::VolumeBasis& b) {
    std::vector<double> share;
    for (int k = 0; k < volumes; ++k) {
      double dot = 0;
      for (int t = 0; t < volumes; ++t) dot += b.axes[k * volumes + t] * course[t];
      share.push_back(dot * dot);
    }
    std::sort(share.rbegin(), share.rend());
    return share[0] + share[1] + share[2];
  };
  EXPECT_LT(best_three(principal), 0.5);
  EXPECT_GT(best_three(smooth), 0.75);
}

TEST(VolumeTransform, SignalAxesAndSlowOrderAreMeasured) {
  // Axes above the bulk's median times the noise's edge, from the first;
  // at least one. 9 axes over 900 voxels: an edge of 1.21 times the median.
  const std::vector<double> spectrum{90.0, 4.0, 1.25, 1.0, 1.2, 0.98, 1.01, 1.0, 0.99};
  EXPECT_EQ(zarvo::signal_axes(spectrum, 900), 3);
  EXPECT_EQ(zarvo::signal_axes(spectrum, 100), 2) << "fewer voxels, a wider edge";
  EXPECT_EQ(zarvo::signal_axes({90.0, 1.0, 1.3, 1.0, 0.98}, 1000), 1);
  EXPECT_EQ(zarvo::signal_axes({0.9, 1.0, 1.1}, 1000), 1);
  EXPECT_EQ(zarvo::signal_axes({}, 1000), 0);

  // Axis 1 a drift (slow), or alternating as interleaved volumes of two
  // kinds give; the rest of the basis does not matter.
  const int n = 12;
  zarvo::VolumeBasis b;
  b.n = n;
  b.axes.assign(n * n, 0.0);
  b.moments.assign(n, 1.0);
  for (int i = 0; i < n; ++i) b.axes[i] = 1 / std::sqrt(double(n));
  double norm = 0;
  for (int i = 0; i < n; ++i) norm += (i - 5.5) * (i - 5.5);
  for (int i = 0; i < n; ++i) b.axes[n + i] = (i - 5.5) / std::sqrt(norm);
  EXPECT_TRUE(zarvo::slow_along_volumes(b, 2));
  EXPECT_FALSE(zarvo::slow_along_volumes(b, 1)) << "only the mean image carries signal";
  for (int i = 0; i < n; ++i) b.axes[n + i] = (i % 2 ? 1 : -1) / std::sqrt(double(n));
  EXPECT_FALSE(zarvo::slow_along_volumes(b, 2));
}

TEST(JointSeries, BeatsVolumeByVolumeAndKeepsLowSignalVolumesUnbiased) {
  const zarvo::Shape s = shape_of(24, 24, 8, 10);
  const double sigma = 1.0;
  const std::vector<double> clean = clean_series(s, 1.0, 0.08);  // last volumes near 1 sigma
  const std::vector<double> noisy = with_noise(clean, sigma, true, 11);
  zarvo::DenoiseOptions o = joint(zarvo::Noise::rician, {sigma});
  const Outcome together = run(noisy, s, o);
  o.series = zarvo::SeriesMode::volumes;
  const Outcome apart = run(noisy, s, o);
  const std::size_t n = s.volume_voxels(), all = clean.size();
  EXPECT_LT(rmse(together.out, clean, 0, all), 0.8 * rmse(apart.out, clean, 0, all));
  EXPECT_LT(rmse(together.out, clean, 0, all), 0.4 * rmse(noisy, clean, 0, all));

  // The last volume: signal about 1 sigma, where the noise floor of a
  // magnitude image lifts the noisy mean well above the truth.
  const std::size_t last = n * (s.volumes - 1);
  double truth = 0, raw = 0, got = 0;
  for (std::size_t i = last; i < all; ++i) {
    truth += clean[i];
    raw += noisy[i];
    got += together.out[i];
  }
  truth /= n;
  raw /= n;
  got /= n;
  ASSERT_GT(raw - truth, 0.3 * sigma);
  EXPECT_LT(std::fabs(got - truth), 0.1 * sigma) << "truth " << truth << ", denoised " << got;
}

// A time series: a smooth anatomy drifting by 3 % over the series, a slow
// fluctuation growing along the rows (its own component), and a
// block activation of `amplitude` (a sphere of radius 4 voxels) on top;
// `active` gets the activation's share of every voxel (0 or 1).
std::vector<double> time_series(const zarvo::Shape& s, double amplitude,
                                std::vector<double>& active) {
  std::vector<double> v(s.volume_voxels() * s.volumes);
  active.assign(s.volume_voxels(), 0.0);
  std::size_t i = 0;
  for (int t = 0; t < s.volumes; ++t)
    for (int z = 0; z < s.slices; ++z)
      for (int y = 0; y < s.cols; ++y)
        for (int x = 0; x < s.rows; ++x, ++i) {
          const double anatomy = 20.0 + 6.0 * std::sin(0.3 * x) * std::cos(0.2 * y) + 0.3 * z;
          const double r2 =
              (x - 15.5) * (x - 15.5) + (y - 15.5) * (y - 15.5) + (z - 5.5) * (z - 5.5);
          const double on = r2 < 16.0 ? 1.0 : 0.0;
          active[i % s.volume_voxels()] = on;
          const double slow = 1.5 * x / s.rows * std::sin(M_PI * t / s.volumes);
          v[i] = anatomy * (1.0 + 0.03 * t / s.volumes) + slow + amplitude * on * ((t / 10) % 2);
        }
  return v;
}

// The block amplitude the series holds over the active voxels: the least
// squares slope of each voxel's course on the blocks beside a straight line.
double block_amplitude(const std::vector<double>& v, const zarvo::Shape& s,
                       const std::vector<double>& active) {
  const int m = s.volumes;
  // The blocks made orthogonal to a constant and a ramp.
  std::vector<double> b(m), c(m, 1.0), r(m);
  for (int t = 0; t < m; ++t) {
    b[t] = (t / 10) % 2;
    r[t] = t - 0.5 * (m - 1);
  }
  const auto remove = [&](std::vector<double>& x, const std::vector<double>& d) {
    double xd = 0, dd = 0;
    for (int t = 0; t < m; ++t) xd += x[t] * d[t], dd += d[t] * d[t];
    for (int t = 0; t < m; ++t) x[t] -= xd / dd * d[t];
  };
  remove(b, c);
  remove(b, r);
  double bb = 0;
  for (double x : b) bb += x * x;
  const std::size_t n = s.volume_voxels();
  double sum = 0, count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (active[i] == 0) continue;
    double dot = 0;
    for (int t = 0; t < m; ++t) dot += v[t * n + i] * b[t];
    sum += dot / bb;
    count += 1;
  }
  return sum / count;
}

TEST(JointSeries, SlowActivationOfATimeSeriesSurvives) {
  // 60 volumes at unit noise, an activation of 0.3 (about the noise's edge
  // over the series): about a third of it survives, 0.36 (0.52 when each
  // component image was filtered on its own; 0.50 along principal axes and
  // with the residual step on all components together).
  const zarvo::Shape s = shape_of(32, 32, 12, 60);
  std::vector<double> active;
  const std::vector<double> clean = time_series(s, 0.3, active);
  const std::vector<double> noisy = with_noise(clean, 1.0, false, 21);
  const zarvo::DenoiseOptions o = joint(zarvo::Noise::gaussian, {1.0});
  const Outcome one = run(noisy, s, o, 1);
  const double truth = block_amplitude(clean, s, active);
  const double kept = block_amplitude(one.out, s, active) / truth;
  EXPECT_GT(kept, 0.3);
  EXPECT_LT(kept, 1.1);
  EXPECT_LT(rmse(one.out, clean, 0, clean.size()), 0.3);
  // The smooth axes and the residual's windows on any number of threads.
  EXPECT_EQ(run(noisy, s, o, 3).out, one.out);
}

TEST(JointSeries, LevelsPerVolumeGivenOrEstimated) {
  const zarvo::Shape s = shape_of(20, 18, 6, 4);
  const std::size_t n = s.volume_voxels();
  const std::vector<double> noisy = with_noise(clean_series(s, 1.0, 0.5), 0.5, false, 5);
  const Outcome one = run(noisy, s, joint(zarvo::Noise::gaussian, {0.5}));
  const Outcome each = run(noisy, s, joint(zarvo::Noise::gaussian, {0.5, 0.5, 0.5, 0.5}));
  EXPECT_EQ(one.out, each.out);
  ASSERT_EQ(one.report.volumes.size(), 4u);
  EXPECT_EQ(one.report.volumes[3].source, zarvo::SigmaSource::given);

  // Volume 2 four times larger with a level four times larger: in units of
  // their levels the volumes are the same, so is the result (powers of two
  // scale exactly).
  std::vector<double> scaled(noisy);
  for (std::size_t i = 2 * n; i < 3 * n; ++i) scaled[i] *= 4;
  const Outcome per_volume = run(scaled, s, joint(zarvo::Noise::gaussian, {0.5, 0.5, 2.0, 0.5}));
  for (std::size_t i = 0; i < noisy.size(); ++i)
    ASSERT_EQ(per_volume.out[i], one.out[i] * (i >= 2 * n && i < 3 * n ? 4 : 1)) << i;

  // Estimated: one level pooled over the series, the one estimate_sigmas
  // gives, and the result that level gives when it is given.
  const Outcome estimated = run(noisy, s, joint(zarvo::Noise::gaussian, {}));
  EXPECT_TRUE(estimated.report.pooled);
  const std::vector<double> pooled =
      zarvo::estimate_sigmas(zarvo::series_input(zarvo::ArrayView::column_major(noisy.data(), s)),
                             zarvo::Noise::gaussian, zarvo::SigmaScope::series);
  ASSERT_EQ(pooled.size(), 1u);
  for (const zarvo::VolumeReport& r : estimated.report.volumes) {
    EXPECT_EQ(r.sigma, pooled[0]);
    EXPECT_EQ(r.source, zarvo::SigmaSource::estimated);
  }
  EXPECT_EQ(estimated.out, run(noisy, s, joint(zarvo::Noise::gaussian, {pooled[0]})).out);
}

TEST(JointSeries, MaskKeepsOutsideExactlyAndNoiseMapHoldsTheLevels) {
  const zarvo::Shape s = shape_of(22, 20, 6, 5);
  const std::size_t n = s.volume_voxels();
  const std::vector<double> clean = clean_series(s, 1.0, 0.4);
  const std::vector<double> noisy = with_noise(clean, 1.0, true, 7);
  zarvo::DenoiseOptions o = joint(zarvo::Noise::rician, {1.0, 1.0, 1.5, 1.0, 1.0});
  o.mask.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i)
    o.mask[i] = (i % s.rows) >= 4 && (i % s.rows) < 16 && (i / s.rows) % s.cols >= 3;
  o.mask_shape = s;
  o.mask_shape.volumes = 1;
  o.noise_map = true;
  const Outcome r = run(noisy, s, o);
  std::size_t changed = 0;
  for (int t = 0; t < s.volumes; ++t)
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t j = t * n + i;
      if (!o.mask[i])
        ASSERT_EQ(r.out[j], noisy[j]) << "outside the mask, volume " << t << " voxel " << i;
      else
        changed += r.out[j] != noisy[j];
      ASSERT_EQ(r.noise_map[j], o.sigma[t]);
    }
  EXPECT_GT(changed, n);
}

TEST(JointSeries, TwoVolumesAndMoreVolumesThanVoxelsInTheMask) {
  // Two volumes: a 2 x 2 basis.
  const zarvo::Shape two = shape_of(20, 20, 6, 2);
  const std::vector<double> clean2 = clean_series(two, 1.0, 0.5);
  const std::vector<double> noisy2 = with_noise(clean2, 1.0, false, 2);
  const Outcome r2 = run(noisy2, two, joint(zarvo::Noise::gaussian, {1.0}));
  EXPECT_LT(rmse(r2.out, clean2, 0, clean2.size()), 0.6 * rmse(noisy2, clean2, 0, clean2.size()));

  // Forty volumes, a mask of twelve voxels: the basis is fitted to fewer
  // vectors than it has axes (a rank-deficient moment matrix), and stays a
  // usable orthonormal basis.
  const zarvo::Shape many = shape_of(12, 10, 4, 40);
  const std::size_t n = many.volume_voxels();
  const std::vector<double> clean = clean_series(many, 1.0, 0.5);
  const std::vector<double> noisy = with_noise(clean, 1.0, true, 4);
  zarvo::DenoiseOptions o = joint(zarvo::Noise::rician, {1.0});
  o.mask.assign(n, 0);
  for (std::size_t i = 0; i < 12; ++i) o.mask[n / 2 + i] = 1;
  o.mask_shape = many;
  o.mask_shape.volumes = 1;
  const Outcome r = run(noisy, many, o);
  ASSERT_EQ(r.out.size(), noisy.size());
  for (double v : r.out) ASSERT_TRUE(std::isfinite(v));
  EXPECT_LT(rmse(r.out, clean, 0, clean.size()), rmse(noisy, clean, 0, clean.size()));
}

TEST(JointSeries, SameBitsOnAnyThreadCountAndEventsCountComponents) {
  const zarvo::Shape s = shape_of(26, 22, 8, 7);
  const std::vector<double> noisy = with_noise(clean_series(s, 1.0, 0.3), 1.0, true, 9);
  const zarvo::DenoiseOptions o = joint(zarvo::Noise::rician, {1.0});
  const Outcome one = run(noisy, s, o, 1);
  for (int threads : {2, 3, 5}) {
    const Outcome many = run(noisy, s, o, threads);
    EXPECT_EQ(many.out, one.out) << threads << " threads";
    EXPECT_EQ(many.stage_items, one.stage_items);
  }
  ASSERT_EQ(one.stage_items.size(), 7u);
  // Volumes of more voxels than the pieces and blocks the element-wise
  // steps and the transform are split into between threads.
  const zarvo::Shape large = shape_of(72, 64, 18, 2);
  const std::vector<double> big = with_noise(clean_series(large, 1.0, 0.3), 1.0, true, 10);
  zarvo::DenoiseOptions first = o;
  first.basic_only = true;
  EXPECT_EQ(run(big, large, first, 1).out, run(big, large, first, 2).out);
  for (int k = 0; k < 7; ++k) EXPECT_EQ(one.stage_items[k], k);
}

TEST(JointSeries, SharedGroupsSameBitsOnOneAndTwoThreads) {
  // More components than the leading ones the groups are matched on, of more
  // reference cubes than a run the walk's threads claim: the matching
  // passes, the leading components and the others on lanes all split.
  const zarvo::Shape s = shape_of(40, 34, 12, 9);
  const std::vector<double> clean = clean_series(s, 1.0, 0.2);
  const std::vector<double> noisy = with_noise(clean, 1.0, true, 12);
  const zarvo::DenoiseOptions o = joint(zarvo::Noise::rician, {1.0});
  const Outcome one = run(noisy, s, o, 1);
  const Outcome two = run(noisy, s, o, 2);
  EXPECT_EQ(two.out, one.out);
  EXPECT_EQ(two.stage_items, one.stage_items);
  EXPECT_LT(rmse(one.out, clean, 0, clean.size()), 0.5 * rmse(noisy, clean, 0, clean.size()));
}

namespace {

// A map as a SeriesInput over `levels` (volumes of the input's spatial shape).
zarvo::SeriesInput map_of(const std::vector<double>& levels, zarvo::Shape s) {
  s.volumes = static_cast<int>(levels.size() / s.volume_voxels());
  return zarvo::series_input(zarvo::ArrayView::column_major(levels.data(), s));
}

}  // namespace

TEST(JointSeries, ConstantLevelMapGivesTheSameBitsAsItsLevel) {
  // Each voxel goes to unit noise at its own level by one code path: a map
  // of one value is that level, bit for bit, for either noise model, one map
  // for the series or one per volume.
  const zarvo::Shape s = shape_of(20, 18, 6, 5);
  const std::size_t n = s.volume_voxels();
  for (zarvo::Noise noise : {zarvo::Noise::gaussian, zarvo::Noise::rician}) {
    const bool rician = noise == zarvo::Noise::rician;
    const std::vector<double> noisy = with_noise(clean_series(s, 1.0, 0.3), 0.8, rician, 3);
    zarvo::DenoiseOptions level = joint(noise, {0.8, 0.8, 1.2, 0.8, 0.8});
    level.noise_map = true;
    const Outcome one = run(noisy, s, level);
    std::vector<double> each(n * s.volumes, 0.8);
    std::fill(each.begin() + 2 * n, each.begin() + 3 * n, 1.2);
    const zarvo::SeriesInput per_volume = map_of(each, s);
    zarvo::DenoiseOptions mapped = joint(noise, {});
    mapped.sigma_map = &per_volume;
    mapped.noise_map = true;
    const Outcome r = run(noisy, s, mapped);
    SCOPED_TRACE(rician ? "rician" : "gaussian");
    EXPECT_EQ(r.out, one.out);
    EXPECT_EQ(r.noise_map, one.noise_map);
    EXPECT_EQ(r.report.volumes[2].sigma, 1.2);
    EXPECT_EQ(r.report.volumes[2].source, zarvo::SigmaSource::map);

    const std::vector<double> single(n, 0.8);
    const zarvo::SeriesInput whole = map_of(single, s);
    mapped.sigma_map = &whole;
    EXPECT_EQ(run(noisy, s, mapped).out, run(noisy, s, joint(noise, {0.8})).out);
  }
}

TEST(JointSeries, LevelMapTakesEachVoxelAtItsOwnLevel) {
  // Rows of the left half with noise 0.5, of the right half 2.0: with the
  // map each side is filtered at its own level.
  const zarvo::Shape s = shape_of(24, 20, 6, 8);
  const std::size_t n = s.volume_voxels();
  std::vector<double> levels(n);
  for (std::size_t i = 0; i < n; ++i) levels[i] = static_cast<int>(i % s.rows) < 12 ? 0.5 : 2.0;
  const std::vector<double> clean = clean_series(s, 4.0, 0.3);
  for (zarvo::Noise noise : {zarvo::Noise::gaussian, zarvo::Noise::rician}) {
    const bool rician = noise == zarvo::Noise::rician;
    std::vector<double> noisy = with_noise(clean, 1.0, rician, 21);
    std::mt19937 gen(5);
    std::normal_distribution<double> d(0.0, 1.0);
    for (int t = 0; t < s.volumes; ++t)
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = t * n + i;
        const double re = clean[j] + levels[i] * d(gen);
        noisy[j] = rician ? std::hypot(re, levels[i] * d(gen)) : re;
      }
    // Level 0 at one voxel: it carries no noise and keeps its value.
    std::vector<double> map = levels;
    map[n / 2 + 3] = 0;
    const zarvo::SeriesInput given = map_of(map, s);
    zarvo::DenoiseOptions o = joint(noise, {});
    o.sigma_map = &given;
    const Outcome with_map = run(noisy, s, o);
    const Outcome with_level = run(noisy, s, joint(noise, {1.25}));
    SCOPED_TRACE(rician ? "rician" : "gaussian");
    double quiet_map = 0, quiet_level = 0, loud_map = 0, loud_level = 0;
    for (std::size_t j = 0; j < noisy.size(); ++j) {
      const double a = std::pow(with_map.out[j] - clean[j], 2);
      const double b = std::pow(with_level.out[j] - clean[j], 2);
      (levels[j % n] < 1 ? quiet_map : loud_map) += a;
      (levels[j % n] < 1 ? quiet_level : loud_level) += b;
    }
    // One level between the two leaves most of the loud side's noise (the
    // smooth quiet side loses little to the stronger filtering it gets).
    EXPECT_LT(loud_map, 0.3 * loud_level);
    EXPECT_LT(quiet_map + loud_map, 0.3 * (quiet_level + loud_level));
    for (int t = 0; t < s.volumes; ++t)
      ASSERT_EQ(with_map.out[t * n + n / 2 + 3], noisy[t * n + n / 2 + 3]) << t;
  }
}

TEST(JointSeries, GaussianMapOnlyJointlyOneVolumeFilteredAsAVolume) {
  const zarvo::Shape s = shape_of(16, 16, 4, 3);
  const std::vector<double> noisy = with_noise(clean_series(s, 1.0, 0.5), 1.0, true, 1);
  std::vector<double> levels(s.volume_voxels(), 1.0);
  const zarvo::SeriesInput map = map_of(levels, s);
  // Volume by volume the Gaussian stages take one level: a map is refused.
  zarvo::DenoiseOptions o = joint(zarvo::Noise::gaussian, {});
  o.sigma_map = &map;
  o.series = zarvo::SeriesMode::volumes;
  EXPECT_THROW(run(noisy, s, o), zarvo::Error);
  o.sigma_scope = zarvo::SigmaScope::voxel;
  o.sigma_map = nullptr;
  EXPECT_THROW(run(noisy, s, o), zarvo::Error);

  // A single volume has no volume axis to transform: the same result as
  // volume by volume.
  zarvo::Shape one = shape_of(16, 16, 4, 1);
  one.ndims = 4;  // a series of one volume
  const std::vector<double> volume(noisy.begin(), noisy.begin() + one.volume_voxels());
  zarvo::DenoiseOptions v = joint(zarvo::Noise::rician, {1.0});
  const Outcome a = run(volume, one, v);
  v.series = zarvo::SeriesMode::volumes;
  EXPECT_EQ(a.out, run(volume, one, v).out);
  // Nor a series to estimate a map from.
  v.sigma.clear();
  v.sigma_scope = zarvo::SigmaScope::voxel;
  EXPECT_THROW(run(volume, one, v), zarvo::Error);
}

// The second stage's match guides: scaled to unit root mean square whatever
// the component's units (so that no component outweighs the others), signs
// and ratios kept; an image of zeros (a component empty in the series)
// stays zeros instead of turning into NaN, which would spoil every match.
TEST(JointSeries, MatchGuidesScaledToUnitRmsAndEmptyImagesLeftAlone) {
  std::vector<double> a = {3.0, -4.0, 0.0, 12.0, 0.5};
  std::vector<double> b = a;
  for (double& v : b) v *= 1000.0;
  zarvo::to_unit_rms(a.data(), a.size());
  zarvo::to_unit_rms(b.data(), b.size());
  double sum = 0;
  for (double v : a) sum += v * v;
  EXPECT_NEAR(sum / a.size(), 1.0, 1e-12);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1e-12) << i;
  EXPECT_LT(a[1], 0.0);
  EXPECT_NEAR(a[3] / a[0], 4.0, 1e-12);

  std::vector<double> zeros(7, 0.0);
  zarvo::to_unit_rms(zeros.data(), zeros.size());
  for (double v : zeros) EXPECT_EQ(v, 0.0);
  zarvo::to_unit_rms(nullptr, 0);
}

TEST(JointSeries, CubeDepthOfTheJointModeForDiffusionAndAGivenDepthWins) {
  const zarvo::Shape s = shape_of(24, 24, 8, 10);
  const std::vector<double> noisy = with_noise(clean_series(s, 1.0, 0.08), 1.0, true, 5);
  const zarvo::DenoiseOptions o = joint(zarvo::Noise::rician, {1.0});
  ASSERT_EQ(o.params.depth, 4);
  ASSERT_EQ(o.params.joint_depth, 3);
  const Outcome plain = run(noisy, s, o);
  EXPECT_EQ(plain.report.params.depth, 3);  // the depth used, as reports show it
  // Not a time series: the volumes' depth plays no part.
  zarvo::DenoiseOptions other = o;
  other.params.depth = 2;
  EXPECT_EQ(run(noisy, s, other).out, plain.out);
  // A depth given applies to the joint mode too.
  zarvo::DenoiseOptions given = o;
  zarvo::RunContext context;
  zarvo::apply_options({{"depth", 4.0}}, given, context);
  EXPECT_EQ(given.params.joint_depth, 4);
  const Outcome four = run(noisy, s, given);
  EXPECT_EQ(four.report.params.depth, 4);
  EXPECT_NE(four.out, plain.out);
  zarvo::DenoiseOptions by_field = o;
  by_field.params.joint_depth = 4;
  EXPECT_EQ(run(noisy, s, by_field).out, four.out);
}

TEST(JointSeries, TimeSeriesKeepsTheCubeDepthOfTheVolumes) {
  const zarvo::Shape s = shape_of(32, 32, 12, 60);
  std::vector<double> active;
  const std::vector<double> noisy = with_noise(time_series(s, 0.3, active), 1.0, false, 21);
  zarvo::DenoiseOptions o = joint(zarvo::Noise::gaussian, {1.0});
  const Outcome plain = run(noisy, s, o, 2);
  ASSERT_FALSE(plain.report.notes.empty());  // taken for a time series
  EXPECT_EQ(plain.report.params.depth, 4);
  o.params.joint_depth = 2;
  EXPECT_EQ(run(noisy, s, o, 2).out, plain.out);
}
