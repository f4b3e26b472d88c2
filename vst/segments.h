// The interpolation formula of interp1 over many queries whose segments are
// already known, in SIMD.
#pragma once

namespace zarvo::vst {

// out[i] = ((q[i] - x[j-1]) / (x[j] - x[j-1])) * (y[j] - y[j-1]) + y[j-1]
// with j = segment[i] (1 .. n-1 of the table x, y); every lane makes the
// scalar operations in this order, so the results are the scalar bits.
void evaluate_segments(const double* x, const double* y, const double* q, const int* segment,
                       double* out, int count);

}  // namespace zarvo::vst
