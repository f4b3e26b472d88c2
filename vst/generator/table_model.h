// Computation of the stabilisation tables from their definitions, shared by
// the table generator program and the tests that check vst/tables.cpp
// against it. Not part of the stabilisation library itself.
#pragma once

#include <string>

namespace zarvo::vst::tablegen {

constexpr int grid_size = 250;
constexpr int transform_size = 71;

// The five tables as the generator produces them.
struct Tables {
  double snr_grid[grid_size];
  double mean_std_ratio[grid_size];
  double vst_z[transform_size];
  double vst_f[transform_size];
  double vst_expectation[grid_size];
};

// Rows of the 250-entry tables whose values are fixed by the reference
// data rather than by the computation (ascending indices).
constexpr int pinned_count = 13;
extern const int pinned_rows[pinned_count];
extern const double pinned_mean_std_ratio[pinned_count];
extern const double pinned_expectation[pinned_count];

// The forward transform table (abscissae and values), which has no closed
// form and is input data of the generator.
extern const double transform_z[transform_size];
extern const double transform_f[transform_size];

// theta_i = 15 i / 249, exactly as a long double quotient.
long double grid_theta(int i);

// exp(-x) I0(x) and exp(-x) I1(x), x >= 0.
long double bessel_i0_scaled(long double x);
long double bessel_i1_scaled(long double x);

// Mean of a Rician variable with sigma 1 and signal theta.
long double rician_mean(long double theta);

// Mean over standard deviation of that variable.
long double rician_mean_std_ratio(long double theta);

// The forward transform f for sigma 1: piecewise linear on the transform
// table, the closed form sqrt(t^2 - 1/2) + const above its last abscissa.
long double forward_transform(long double t);

// E[g(Z)] for Z Rician with sigma 1 and signal theta, by composite
// Gauss-Legendre quadrature split at every knot of f; `pieces_per_unit`
// sets the subdivision (the generator uses 4, finer values serve as a
// convergence check). which: 0 gives E[1], 1 gives E[Z], 2 gives E[f(Z)].
long double rician_expectation(long double theta, int which, int pieces_per_unit = 4);

// The values computed from the definitions, before the pinned rows and the
// small-theta correction are applied (rounded to double).
void compute_raw(double mean_std_ratio[grid_size], double vst_expectation[grid_size]);

// The final tables: the pinned rows exactly, every other row of
// mean_std_ratio and vst_expectation the computed value plus the deviation of
// the pinned rows interpolated linearly in i (see table_model.cpp).
void generate(Tables* tables);

// The C++ source of vst/tables.cpp for the given tables.
std::string render_source(const Tables& tables);

}  // namespace zarvo::vst::tablegen
