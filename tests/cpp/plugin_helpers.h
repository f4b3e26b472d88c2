// Builds plug-in argument lists for the stand-alone host in tests: DCT cube
// transforms, Haar group transforms, and small random volumes.
#pragma once

#include <cmath>
#include <random>
#include <vector>

#include "gateways/plugins.h"
#include "host/standalone/call.h"

namespace zarvo::test {

namespace sa = zarvo::standalone;

// Orthonormal DCT-II matrix of order n, column-major.
inline std::vector<double> dct(int n) {
  std::vector<double> T(static_cast<std::size_t>(n) * n);
  for (int k = 0; k < n; ++k)
    for (int i = 0; i < n; ++i)
      T[k + n * i] = std::sqrt((k ? 2.0 : 1.0) / n) * std::cos(M_PI * (2 * i + 1) * k / (2.0 * n));
  return T;
}

// Orthonormal Haar matrix of order n (a power of two), column-major.
inline std::vector<double> haar(int n) {
  std::vector<double> H{1.0};
  for (int m = 1; m < n; m *= 2) {
    std::vector<double> next(static_cast<std::size_t>(4) * m * m);
    const int r = 2 * m;
    for (int i = 0; i < m; ++i)
      for (int j = 0; j < m; ++j) {
        next[i + r * (2 * j)] = H[i + m * j] / std::sqrt(2.0);
        next[i + r * (2 * j + 1)] = H[i + m * j] / std::sqrt(2.0);
      }
    for (int i = 0; i < m; ++i) {
      next[(m + i) + r * (2 * i)] = 1 / std::sqrt(2.0);
      next[(m + i) + r * (2 * i + 1)] = -1 / std::sqrt(2.0);
    }
    H = next;
  }
  return H;
}

inline sa::Array square(const std::vector<double>& m, int n) {
  return sa::make_array({std::size_t(n), std::size_t(n)}, m);
}

inline sa::Array haar_cell(int nm2) {
  std::vector<sa::Array> e(static_cast<std::size_t>(nm2));
  for (int L = 1; L <= nm2; L *= 2) e[L - 1] = square(haar(L), L);
  for (auto& a : e)
    if (!a) a = sa::make_array({0, 0});
  return sa::make_cell(std::move(e));
}

struct Params {
  int nm1 = 4, nm2 = 8, nm3 = 2, Nstep = 2, h = 3, sync = 0, hard = 1;
  double lambda4D = 2.7, tau = 1e9, alpha = 1.0;
};

inline std::vector<double> random_volume(std::size_t n, unsigned seed, double mean = 1.0,
                                         double sd = 0.2) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(mean, sd);
  std::vector<double> v(n);
  for (auto& x : v) x = d(gen);
  return v;
}

// Owns a plug-in's arguments; `inputs()` is what sa::call takes.
struct Args {
  std::vector<sa::Array> arrays;
  std::vector<const mxArray*> inputs() const {
    std::vector<const mxArray*> in;
    for (const auto& a : arrays) in.push_back(a.get());
    return in;
  }
};

inline void add_transforms(Args& a, const Params& p) {
  a.arrays.push_back(square(dct(p.nm1), p.nm1));
  a.arrays.push_back(square(dct(p.nm1), p.nm1));
  a.arrays.push_back(square(dct(p.nm3), p.nm3));
  a.arrays.push_back(square(dct(p.nm3), p.nm3));
  a.arrays.push_back(haar_cell(p.nm2));
  a.arrays.push_back(haar_cell(p.nm2));
}

// Arguments of a first stage; `noise` is sigma or the Rician levels.
inline Args first_stage(sa::Array volume, sa::Array noise, const Params& p) {
  Args a;
  a.arrays.push_back(std::move(volume));
  for (double v : {double(p.Nstep), double(p.nm1), double(p.nm2), double(p.nm3), p.lambda4D,
                   p.tau, double(p.h), double(p.sync)})
    a.arrays.push_back(sa::make_scalar(v));
  a.arrays.push_back(std::move(noise));
  a.arrays.push_back(sa::make_scalar(p.alpha));
  a.arrays.push_back(sa::make_scalar(p.hard));
  add_transforms(a, p);
  return a;
}

inline Args second_stage(sa::Array volume, sa::Array basic, sa::Array noise, const Params& p) {
  Args a;
  a.arrays.push_back(std::move(volume));
  a.arrays.push_back(std::move(basic));
  for (double v : {double(p.Nstep), double(p.nm1), double(p.nm2), double(p.nm3), p.tau,
                   double(p.h), double(p.sync)})
    a.arrays.push_back(sa::make_scalar(v));
  a.arrays.push_back(std::move(noise));
  add_transforms(a, p);
  return a;
}

}  // namespace zarvo::test
