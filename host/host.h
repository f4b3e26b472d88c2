// Host layer of the plug-ins: the MEX operations seen with the 32-bit sizes
// the engine works with, and the argument checks every plug-in makes before it
// reads an argument. Every refusal ends the call through the host's error
// exit with an identifier "zarvo:..." and a message naming the argument.
#pragma once

#include "mex.h"

namespace zarvo::host {

// Geometry of a volume argument, in the system's 32-bit sizes.
struct Volume {
  int ndims = 0;     // 2 or 3
  int dims[3] = {};  // rows, columns, slices (1 for a 2-D volume)
  int voxels = 0;    // number of elements
  int depth = 1;     // slices of a 3-D volume, else 1
};

// Refuses a call with other than `nrhs_expected` inputs (or one more, when
// `optional_last`) or more than two outputs.
void check_arity(const char* plugin, int nlhs, int nrhs, int nrhs_expected,
                 bool optional_last = false);

// Refuses anything but a real, full (non-sparse) double array.
void require_real_double(const mxArray* a, const char* name);

// A real double with at least one element (its first one is read).
void require_scalar(const mxArray* a, const char* name);

// A real double scalar that truncates to a 32-bit integer; returns it
// truncated toward zero. With `at_least_one`, values below 1 are refused.
int truncated_scalar(const mxArray* a, const char* name, bool at_least_one = false);

// A real double volume of 2 or 3 dimensions whose every dimension fits the
// 16-bit cube positions and whose voxel count fits 32-bit arithmetic.
Volume volume(const mxArray* a, const char* name);

// A real double array of exactly the volume's dimensions.
void require_same_shape(const mxArray* a, const Volume& v, const char* name);

// A real double matrix of `rows` x `cols`.
void require_matrix(const mxArray* a, int rows, int cols, const char* name);

// A cell array holding an L x L real double matrix at element L - 1 for every
// power of two L up to nm2; other elements are not looked at.
void require_group_matrices(const mxArray* cell, int nm2, const char* name);

// Refuses cube and group sizes whose working buffers do not fit 32-bit sizes.
void require_buffer_sizes(int nm1, int nm2, int nm3);

// The data of an array already checked to be real double.
inline const double* data(const mxArray* a) { return static_cast<const double*>(mxGetData(a)); }

// Creates a real double array of the volume's shape (all zeros).
mxArray* create_like(const Volume& v);

// Hands the two outputs to the host: output 0 always (the host offers one
// slot even when none is asked for), output 1 only when it was asked for.
void set_outputs(int nlhs, mxArray* plhs[], mxArray* estimate, mxArray* noise_map);

}  // namespace zarvo::host
