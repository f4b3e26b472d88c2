// Argument checks shared by the plug-ins.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "host.h"

namespace zarvo::host {
namespace {

constexpr std::size_t max_position = 65535;  // cube positions are 16-bit

[[noreturn]] void refuse(const char* id, const char* format, const char* name) {
  mexErrMsgIdAndTxt(id, format, name);
  std::abort();  // not reached: the error exit does not return
}

}  // namespace

void check_arity(const char* plugin, int nlhs, int nrhs, int nrhs_expected, bool optional_last) {
  if (nrhs != nrhs_expected && !(optional_last && nrhs == nrhs_expected + 1))
    mexErrMsgIdAndTxt("zarvo:nargin", "%s expects %d input arguments, but %d were given.", plugin,
                      nrhs_expected, nrhs);
  if (nlhs > 2)
    mexErrMsgIdAndTxt("zarvo:nargout",
                      "%s returns at most 2 outputs (estimate, noise map), but %d were asked for.",
                      plugin, nlhs);
}

void require_real_double(const mxArray* a, const char* name) {
  if (!mxIsDouble(a) || mxIsSparse(a))
    refuse("zarvo:notDouble", "Argument %s must be a real double array.", name);
  if (mxIsComplex(a)) refuse("zarvo:complex", "Argument %s must be real, not complex.", name);
}

void require_scalar(const mxArray* a, const char* name) {
  require_real_double(a, name);
  // Like any MEX host's scalar read, an array gives its first element; only
  // an empty array has none to give.
  if (mxGetNumberOfElements(a) == 0)
    refuse("zarvo:notScalar", "Argument %s must be a scalar, not an empty array.", name);
}

int truncated_scalar(const mxArray* a, const char* name, bool at_least_one) {
  require_scalar(a, name);
  double v = mxGetScalar(a);
  // Truncation toward zero is only defined for values inside the int range.
  if (!(v > double(INT_MIN) - 1.0 && v < double(INT_MAX) + 1.0))
    refuse("zarvo:outOfRange",
           "Argument %s must be a finite number within the 32-bit integer range.", name);
  int t = static_cast<int>(v);
  if (at_least_one && t < 1) refuse("zarvo:outOfRange", "Argument %s must be at least 1.", name);
  return t;
}

Volume volume(const mxArray* a, const char* name) {
  require_real_double(a, name);
  mwSize nd = mxGetNumberOfDimensions(a);
  if (nd != 2 && nd != 3)
    refuse("zarvo:badDimensions", "Argument %s must have 2 or 3 dimensions.", name);
  const mwSize* d = mxGetDimensions(a);
  Volume v;
  v.ndims = static_cast<int>(nd);
  for (mwSize i = 0; i < 3; ++i) {
    std::size_t size = i < nd ? static_cast<std::size_t>(d[i]) : 1;
    if (size > max_position)
      refuse("zarvo:tooLarge", "Argument %s has a dimension larger than 65535.", name);
    v.dims[i] = static_cast<int>(size);
  }
  std::uint64_t count =
      std::uint64_t(v.dims[0]) * std::uint64_t(v.dims[1]) * std::uint64_t(v.dims[2]);
  if (count > std::uint64_t(INT_MAX))
    refuse("zarvo:tooLarge", "Argument %s has 2^31 or more elements.", name);
  v.voxels = static_cast<int>(count);
  v.depth = v.ndims == 3 ? v.dims[2] : 1;
  return v;
}

void require_same_shape(const mxArray* a, const Volume& v, const char* name) {
  require_real_double(a, name);
  bool same = mxGetNumberOfDimensions(a) == mwSize(v.ndims);
  const mwSize* d = mxGetDimensions(a);
  for (int i = 0; same && i < v.ndims; ++i) same = d[i] == mwSize(v.dims[i]);
  if (!same)
    refuse("zarvo:shapeMismatch", "Argument %s must have the same dimensions as the noisy volume.",
           name);
}

void require_matrix(const mxArray* a, int rows, int cols, const char* name) {
  require_real_double(a, name);
  if (mxGetNumberOfDimensions(a) != 2 || mxGetM(a) != std::size_t(rows) ||
      mxGetN(a) != std::size_t(cols))
    mexErrMsgIdAndTxt("zarvo:badSize", "Argument %s must be a %d x %d matrix.", name, rows, cols);
}

void require_group_matrices(const mxArray* cell, int nm2, const char* name) {
  if (!mxIsCell(cell)) refuse("zarvo:notCell", "Argument %s must be a cell array.", name);
  for (int L = 1; L <= nm2; L *= 2) {
    if (mxGetNumberOfElements(cell) < std::size_t(L))
      mexErrMsgIdAndTxt("zarvo:missingGroupMatrix",
                        "Argument %s must hold the %d x %d group matrix at element %d.", name, L, L,
                        L);
    const mxArray* m = mxGetCell(cell, mwIndex(L - 1));
    if (!m || !mxIsDouble(m) || mxIsSparse(m) || mxIsComplex(m) ||
        mxGetNumberOfDimensions(m) != 2 || mxGetM(m) != std::size_t(L) ||
        mxGetN(m) != std::size_t(L))
      mexErrMsgIdAndTxt("zarvo:missingGroupMatrix",
                        "Argument %s must hold a real %d x %d double matrix at element %d.", name,
                        L, L, L);
    if (L > INT_MAX / 2) break;
  }
}

void require_buffer_sizes(int nm1, int nm2, int nm3) {
  std::int64_t cube = std::int64_t(nm1) * nm1 * nm3;
  bool fits = cube <= INT_MAX && cube * nm2 <= INT_MAX && std::int64_t(nm2) * nm2 <= INT_MAX &&
              std::int64_t(nm2) * 3 <= INT_MAX;
  if (!fits)
    mexErrMsgIdAndTxt("zarvo:tooLarge",
                      "The cube size (nm1 = %d, nm3 = %d) and group size (nm2 = %d) need working "
                      "buffers beyond 2^31 elements.",
                      nm1, nm3, nm2);
}

mxArray* create_like(const Volume& v) {
  mwSize dims[3] = {mwSize(v.dims[0]), mwSize(v.dims[1]), mwSize(v.dims[2])};
  return mxCreateNumericArray(mwSize(v.ndims), dims, mxDOUBLE_CLASS, mxREAL);
}

void set_outputs(int nlhs, mxArray* plhs[], mxArray* estimate, mxArray* noise_map) {
  plhs[0] = estimate;
  if (nlhs >= 2)
    plhs[1] = noise_map;
  else
    mxDestroyArray(noise_map);
}

}  // namespace zarvo::host
