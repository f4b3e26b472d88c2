// C++ API of the stand-alone host: build input arrays, call a plug-in's
// entry point as a MEX host would, and receive its outputs or its error.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "mex.h"

namespace zarvo::standalone {

// The signature of every plug-in entry point.
using EntryPoint = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

struct ArrayDeleter {
  void operator()(mxArray* a) const { mxDestroyArray(a); }
};
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

// A real double array of the given dimensions (column-major values; zeros
// when `values` is empty).
Array make_array(const std::vector<std::size_t>& dims, const std::vector<double>& values = {});
Array make_scalar(double value);
// A cell array of 1 x n elements; null entries stay empty.
Array make_cell(std::vector<Array> elements);
Array make_string(const std::string& text);
// A copy of any array (cells are copied deeply).
Array copy_array(const mxArray* a);

// The values of a real double array, column-major.
std::vector<double> values(const mxArray* a);
std::vector<std::size_t> dimensions(const mxArray* a);

struct CallResult {
  bool ok = false;
  std::string error_id;  // empty when the plug-in gave none
  std::string message;   // the error message when !ok
  std::vector<Array> outputs;
};

// Calls `entry` with the inputs and `nlhs` output slots. Every block the
// plug-in allocated is released before this returns, whether the call ended
// normally or through the error exit. Inputs are never modified.
CallResult call(EntryPoint entry, const std::vector<const mxArray*>& inputs, int nlhs);

// Number of mxMalloc blocks currently held outside any call, and in total
// since start (for leak tests).
std::size_t live_blocks();

}  // namespace zarvo::standalone
