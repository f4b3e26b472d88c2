// Rician variance stabilisation: the constant tables (computed for unit
// noise), their interpolation, the forward stabilising transform, its exact
// unbiased inverse, and the estimation of the Rician noise level of a set of
// samples.
#pragma once

namespace zarvo::vst {

constexpr int snr_grid_size = 250;   // snr_grid, mean_std_ratio, vst_expectation
constexpr int vst_table_size = 71;   // vst_z, vst_f

// theta_i = 15 i / 249: the grid of the signal-to-noise parameter.
extern const double snr_grid[snr_grid_size];
// Mean over standard deviation of a Rician variable (sigma 1, signal theta_i).
extern const double mean_std_ratio[snr_grid_size];
// Abscissae and values of the forward stabilising transform for sigma 1.
extern const double vst_z[vst_table_size];
extern const double vst_f[vst_table_size];
// E[f(Z)] for Z Rician with sigma 1 and signal theta_i.
extern const double vst_expectation[snr_grid_size];

// Piecewise-linear interpolation of the table (x, y) of n strictly increasing
// abscissae at the m queries q, extrapolating linearly beyond both ends. Long
// slowly varying query lists take a sequential path that walks the intervals.
void interp1(const double* x, const double* y, int n, const double* q, double* out, int m);

// out[i] = stabilised value of the magnitude in[i] for noise level sigma > 0.
// in and out must not overlap.
void forward_stabilization(const double* in, int count, double sigma, double* out);

// out[i] = signal estimate for the stabilised value in[i]. in and out must
// not overlap.
void inverse_stabilization(const double* in, int count, double sigma, double* out);

// out[0] = Rician noise level estimated from the samples (0 when they have no
// spread). count >= 1.
void estimate_rician_parameters(const double* samples, int count, double* out);

// The same, with caller storage of `count` doubles for the absolute
// deviations (nothing is allocated).
void estimate_rician_parameters(const double* samples, int count, double* out,
                                double* scratch);

}  // namespace zarvo::vst
