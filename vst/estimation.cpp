// Rician noise level of a set of magnitudes from robust estimates of their
// mean and spread.
#include <cmath>

#include "core/zarvo.h"
#include "vst/vst.h"

namespace zarvo::vst {

namespace {

// First and last entries of mean_std_ratio.
constexpr double ratio_first = 1.9130606187813037;
constexpr double ratio_last = 15.050177674466308;

// The estimation, given the robust spread s of the samples.
void estimate_from(const double* samples, int count, double s, double* out) {
  double ratio[snr_grid_size];
  double snr[snr_grid_size];
  for (int i = 0; i < snr_grid_size; ++i) {
    ratio[i] = mean_std_ratio[i];
    snr[i] = snr_grid[i];
  }

  const double m = zarvo::median(samples, count);
  const double r = m / s;

  // Signal-to-noise value whose Rician mean/std ratio is r.
  double theta;
  interp1(ratio, snr, snr_grid_size, &r, &theta, 1);
  if (r > ratio_last) {
    theta = r - 0.75 / r;  // large-signal continuation
  } else if (r < ratio_first) {
    theta = 0.0;  // pure noise: snr_grid[0]
  }

  // sigma^2 (theta^2 + 2) equals the estimated second moment m^2 + s^2.
  double sigma = std::sqrt((m * m + s * s) / (theta * theta + 2));
  if (s == 0) sigma = 0;
  out[0] = sigma;
}

}  // namespace

void estimate_rician_parameters(const double* samples, int count, double* out, double* scratch) {
  estimate_from(samples, count, zarvo::noise_std_estimation(samples, count, scratch), out);
}

}  // namespace zarvo::vst
