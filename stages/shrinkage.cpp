#include "shrinkage.h"

#include <cmath>

#include "core/zarvo.h"

namespace zarvo::stages {
namespace {

double sign(double v) { return v > 0 ? 1.0 : (v < 0 ? -1.0 : 0.0); }

// Weight term of one alpha-rooted coefficient of magnitude a (or of the DC,
// with the threshold for a).
double rooting_term(double dc_abs, double a, double alpha, double term_scale) {
  const double bracket =
      (1.0 - 1.0 / alpha) * std::pow(dc_abs, -2.0 / alpha) * std::pow(a, 2.0 / alpha) +
      (1.0 / (alpha * alpha)) * std::pow(dc_abs, 2.0 - 2.0 / alpha) *
          std::pow(a, 2.0 / alpha - 2.0);
  return term_scale * bracket;
}

}  // namespace

double threshold_spectrum(double* spectrum, int K, double thr, double alpha, bool soft,
                          double term_scale) {
  const double dc = spectrum[0];
  const bool rooting = alpha != 1 && dc != 0;
  const double dc_abs = absolute_value(dc);
  double W = 0;
  if (K >= 2 && !rooting) {
    // Every coefficient adds 1 to W, removed or not: W = K - 1 exactly.
    if (!soft) {
      hard_threshold(spectrum + 1, K - 1, thr);
    } else {
      for (int i = 1; i < K; ++i) {
        const double c = spectrum[i];
        const double c_abs = absolute_value(c);
        spectrum[i] = c_abs > thr ? sign(c) * (c_abs - thr) : 0.0;
      }
    }
    W = static_cast<double>(K - 1);
  } else if (K >= 2) {
    for (int i = 1; i < K; ++i) {
      const double c = spectrum[i];
      const double c_abs = absolute_value(c);
      double y;
      if (!soft) {
        y = c_abs > thr ? c : 0.0;
      } else {
        y = c_abs > thr ? sign(c) * (c_abs - thr) : 0.0;
      }
      spectrum[i] = y;
      if (y != 0 && rooting) {
        const double rooted = sign(y) * dc_abs * std::pow(absolute_value(y / dc), 1.0 / alpha);
        spectrum[i] = rooted;
        W += rooting_term(dc_abs, absolute_value(rooted), alpha, term_scale);
      } else {
        W += 1;
      }
    }
    if (rooting) W += rooting_term(dc_abs, thr, alpha, term_scale);
  } else if (alpha == 1) {
    W = 1;
  } else if (dc != 0) {
    W += rooting_term(dc_abs, thr, alpha, term_scale);
  }
  if (W == 0) W = 1;
  return W;
}

double wiener_shrink(double* spectrum, const double* pilot, int K, double noise_variance) {
  // The factors a block at a time in SIMD; their squares are summed in
  // ascending order, one addition at a time, as before.
  constexpr int block = 256;
  double w[block];
  double S = 0.0;
  for (int i = 1; i < K; i += block) {
    const int n = K - i < block ? K - i : block;
    wiener_factors(spectrum + i, pilot + i, n, noise_variance, w);
    for (int j = 0; j < n; ++j) S += w[j] * w[j];
  }
  return S;
}

}  // namespace zarvo::stages
