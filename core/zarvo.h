// Core collaborative-filtering library: voxel addressing, the grid of
// reference cubes, block matching, the separable group transforms and robust
// noise estimation. Plain functions over raw arrays; sizes are 32-bit signed
// integers and nothing is checked here: the callers (the stages) meet every
// precondition listed below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zarvo {

struct GroupProducts;

// ---- Volume geometry and the reference-cube grid --------------------------

// 0-based column-major index of voxel (column x, row y, slice z), all 1-based.
// dims[2] is never read, so 2-D and 3-D volumes share the function.
inline int get_linear_index(int x, int y, int z, const int* dims) {
  return (y - 1) + dims[0] * ((x - 1) + dims[1] * (z - 1));
}

// Number of reference cubes on the stepped grid with the given axis bounds.
int get_reference_cubes_number(int step, int x_bound, int y_bound, int z_bound);

// Stores the coordinates of the n-th (0-based) reference cube of the grid,
// enumerated with z outermost, then x, then y. Out-of-range n stores nothing.
void get_nth_reference_cube(int step, int x_bound, int y_bound, int z_bound, int n, int* x, int* y,
                            int* z);

// Walks one axis of the grid: calls visit(p) for 1, 1 + step, ... and always
// for the bound itself. A step of 1 or less visits every position.
template <typename Visit>
inline void walk_axis(int step, int bound, Visit&& visit) {
  int counter = step - 1;
  for (int p = 1; p <= bound; ++p) {
    counter += 1;
    if (counter >= step || p >= bound) {
      counter = 0;
      visit(p);
    }
  }
}

// Walks the whole grid in its enumeration order, calling visit(x, y, z).
template <typename Visit>
inline void walk_grid(int step, int x_bound, int y_bound, int z_bound, Visit&& visit) {
  walk_axis(step, z_bound, [&](int z) {
    walk_axis(step, x_bound,
              [&](int x) { walk_axis(step, y_bound, [&](int y) { visit(x, y, z); }); });
  });
}

// v when v > 0, else -v (so -0.0 gives +0.0 and NaN stays NaN).
inline double absolute_value(double v) { return v > 0 ? v : -v; }

// ---- Block matching -------------------------------------------------------

// How grouping forms the distances: several candidates at once in SIMD
// lanes, or one at a time. Both give the same bits, hence the same groups.
enum class MatchingPath { simd, scalar };

// Working storage of the grouping below: doubles and ints.
int grouping_work_doubles(int nm1, int nm2, int nm3, int search_block_size);
int grouping_work_ints(int nm1, int nm2, int nm3, int search_block_size);

// Finds the cubes of `volume` closest to the reference cube at (x, y, z)
// (column, row, slice; 1-based) within a window of half-width
// search_block_size (any value: a wider window than the volume is the whole
// volume), keeps those whose sum of squared differences is below tau_match,
// and writes a power-of-two number of position triples (column, row,
// slice), the reference first, into `positions`, and that number into
// *group_size. The working storage is the caller's (`work` and `work_ints`
// of the sizes above, contents irrelevant), so that nothing is allocated.
void grouping(const double* volume, int ndims, const int* dims, int nm1, int nm2, int nm3,
              int search_block_size, int synchronous, double tau_match, int x, int y, int z,
              std::uint16_t* positions, int* group_size, double* work, int* work_ints,
              MatchingPath path = MatchingPath::simd);

// The same on several volumes of one size (channels, such as the leading
// component images of a series): the distance of two cubes is the sum over
// the channels of their sums of squared differences, added channel by channel
// in order. One channel is grouping() above. Besides its working storage,
// `extra` of grouping_channels_extra_doubles() doubles.
int grouping_channels_extra_doubles(int nm1, int nm3, int search_block_size, int channels);
void grouping_channels(const double* const* volumes, int channels, int ndims, const int* dims,
                       int nm1, int nm2, int nm3, int search_block_size, int synchronous,
                       double tau_match, int x, int y, int z, std::uint16_t* positions,
                       int* group_size, double* work, int* work_ints, double* extra,
                       MatchingPath path = MatchingPath::simd);

// ---- Separable group transforms -------------------------------------------

// C = op(A) * op(B) through BLAS dgemm_; op is the transpose for flag 'T'
// (anything but 'N'), the identity for 'N'. C is m x n, the inner size is k.
void mtimes(const double* A, char transA, const double* B, char transB, int m, int n, int k,
            double* C);

// At = A' for a square n x n matrix.
void transpose(const double* A, int n, double* At);

// Group of L cubes (nm1 x nm1 x nm3 each) to its 4-D spectrum, with the
// products `p` found for these sizes. `spectrum` may be the same block as
// `group`; `cubes` receives every cube after its slice and depth transforms.
// Scratch: slice_tmp (a slice), cube_slices (a cube).
void forward_transformation(const GroupProducts& p, const double* group, double* cubes, int nm1,
                            int nm3, int L, double* slice_tmp, double* cube_slices,
                            const double* Tfor, const double* Tfor3, const double* group_fwd,
                            double* spectrum);

// 4-D spectrum back to a group of L cubes, applying the transposes of Tinv,
// depth and group_inv. `spectrum` is used as scratch once read. `group` may
// be the same block as `spectrum` or as `cubes` (the latter slower). Scratch:
// slice_buf and slice_tmp (a slice each), cube_buf (a cube).
void inverse_transformation(const GroupProducts& p, double* spectrum, double* cubes, int nm1,
                            int nm3, int L, double* slice_buf, double* slice_tmp, double* cube_buf,
                            const double* Tinv, const double* depth, const double* group_inv,
                            double* group);

// ---- Elementwise loops of the stages (SIMD, the scalar loops' bits) -------

// factors[i] = b * b / (noise_variance + b * b) with b = pilot[i], and
// spectrum[i] *= factors[i]. No two arrays may overlap.
void wiener_factors(double* spectrum, const double* pilot, int count, double noise_variance,
                    double* factors);

// values[i] kept where |values[i]| > threshold, else set to 0 (NaN too).
void hard_threshold(double* values, int count, double threshold);

// Aggregation of one cube of nm1 x nm1 x nm3 estimates (columns of nm1
// voxels, column-major): for the voxel of column l, row m of slice s,
// numerator[s][column_stride * l + m] += value / divisor and
// weights[s][column_stride * l + m] += weight.
void add_cube(const double* values, int nm1, int nm3, double divisor, double weight,
              double* const* numerator, double* const* weights, std::ptrdiff_t column_stride);

// Copies a cube of nm1 x nm1 x nm3 voxels whose first voxel is at `first`
// (columns column_stride apart, slices slice_stride apart) into `out`,
// column by column: out[m + nm1 * (l + nm1 * s)].
void gather_cube(const double* first, int nm1, int nm3, std::ptrdiff_t column_stride,
                 std::ptrdiff_t slice_stride, double* out);

// ---- Robust noise estimation ----------------------------------------------

// The k-th smallest value, k = (count + 1) / 2, by bisection of the value
// range; the array is only read. count >= 1.
double median(const double* values, int count);

// The single-precision value nearest to 1 / Phi^-1(3/4), widened to double:
// exactly 12436969 / 2^23.
constexpr double mad_scale = 1.4826022386550903;

// mad_scale times the median absolute deviation from the median, with the
// caller's scratch of count doubles for the deviations. count >= 1.
double noise_std_estimation(const double* values, int count, double* scratch);

}  // namespace zarvo
