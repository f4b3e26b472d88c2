// The interpolation formula of interp1 over many queries whose segments are
// already known, in SIMD.
#pragma once

#include "vst/vst.h"

namespace zarvo::vst {

// out[i] = ((q[i] - x[j-1]) / (x[j] - x[j-1])) * (y[j] - y[j-1]) + y[j-1]
// with j = segment[i] (1 .. n-1 of the table x, y); every lane makes the
// scalar operations in this order, so the results are the scalar bits.
void evaluate_segments(const double* x, const double* y, const double* q, const int* segment,
                       double* out, int count);

// segment[i] = finder.find(x, q[i]) for a finder built on the knots x.
void find_segments(const double* x, const KnotFinder& finder, const double* q, int* segment,
                   int count);

// out[i] = interp1's value at q[i], from the plain records of (x, y) and a finder
// built on x: evaluate_segments' formula and bits.
void interpolate_records(const double* x, const KnotFinder& finder, const double* records,
                         const double* q, double* out, int count);

// The walk's values of at most 256 queries, each at the interval the finder
// gives it, from the walk records of (x, y): segment[i] = that interval j,
// out[i] = (q[i] - x[j-1]) * slope + y[j-1]. Returns how many queries are
// on their interval's knot (q[i] == x[j]) or NaN, listed in `hits` in
// order: there the walk's own interval may differ.
int walk_block(const double* x, const KnotFinder& finder, const double* records, const double* q,
               double* out, int* segment, int* hits, int count);

// True when every in[i] is at or below first or above last (none is NaN).
bool all_at_ends(const double* in, int count, double first, double last);

// The ends of the inverse stabilisation: out[i] = zero where in[i] <= first,
// and where in[i] > last the large-signal inverse (w * w) * sigma /
// sqrt(0.5 + w * w), w = in[i] - offset. Elsewhere (a NaN too) out[i] keeps
// interp1's value when `interpolated`; without it, every query must be at
// an end.
void inverse_ends(const double* in, int count, double first, double last, double zero,
                  double offset, double sigma, double* out, bool interpolated);

}  // namespace zarvo::vst
