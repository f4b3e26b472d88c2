// Shrinkage of a group spectrum: thresholding with optional alpha-rooting
// (first stages) and Wiener shrinkage driven by a pilot spectrum (second
// stages). The first coefficient, the group's DC, is never shrunk.
#pragma once

namespace zarvo::stages {

// Hard (or, with `soft`, soft) thresholding at thr of spectrum[1 .. K-1], then
// alpha-rooting against the DC when alpha != 1. Returns the group's weight
// divisor W. term_scale multiplies every alpha-rooting weight term (the noise
// variance in the Gaussian stage, 1 in the stabilised domain).
double threshold_spectrum(double* spectrum, int K, double thr, double alpha, bool soft,
                          double term_scale);

// Multiplies spectrum[1 .. K-1] by b^2 / (noise_variance + b^2), b the pilot
// coefficient, and returns the sum of the squared factors.
double wiener_shrink(double* spectrum, const double* pilot, int K, double noise_variance);

}  // namespace zarvo::stages
