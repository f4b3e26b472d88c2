// Global noise level of a volume, for the matching limit in adaptive mode
// (the plug-ins estimate the level of every group themselves, but the
// matching limit must be known before the walk).
#pragma once

#include "zarvo/params.h"

namespace zarvo::cli {

// Median absolute deviation of the finest diagonal wavelet detail: over the
// non-overlapping 2 x 2 x 2 blocks (2 x 2 for a single slice), the Haar
// coefficient with alternating signs, which cancels any locally linear
// signal, then median(|d|) / 0.6744897501960817.
//
// Magnitude (Rician) data: the background, where the magnitude of pure noise
// is Rayleigh distributed, spreads less than Gaussian noise of the same
// level and would pull the estimate down; so a second pass keeps only the
// blocks whose mean exceeds three times the first estimate, where the
// magnitude is close to Gaussian, when at least 1000 such blocks exist.
//
// The Octave function computes the same quantity in the same order.
// Returns 0 for a volume with fewer than 2 rows or columns.
double estimate_noise_level(const double* volume, int rows, int cols, int slices, Noise noise);

// Median of the values (the mean of the two middle ones for an even count);
// reorders `v`. 0 for an empty vector.
double median(std::vector<double>& v);

}  // namespace zarvo::cli
