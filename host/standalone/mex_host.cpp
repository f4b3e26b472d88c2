// In-process implementation of the MEX operations for the stand-alone host.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <unordered_set>
#include <vector>

#include "call.h"
#include "mex.h"

struct mxArray_tag {
  mxClassID cls = mxDOUBLE_CLASS;
  bool complex = false;
  std::vector<mwSize> dims;
  std::vector<double> real;
  std::vector<double> imag;
  std::vector<mxArray*> cells;
  std::string text;

  std::size_t count() const {
    return std::accumulate(dims.begin(), dims.end(), std::size_t{1},
                           [](std::size_t a, mwSize b) { return a * b; });
  }
};

namespace {

// The error exit: thrown by mexErrMsg*, caught at the call boundary.
struct HostError {
  std::string id;
  std::string message;
};

// What one plug-in call holds: its memory blocks and the arrays it created.
struct CallScope {
  std::unordered_set<void*> blocks;
  std::unordered_set<mxArray*> arrays;
};

std::mutex g_mutex;
CallScope* g_scope = nullptr;  // the call in progress, if any
std::unordered_set<void*> g_loose_blocks;

mxArray* new_array(mxClassID cls, std::vector<mwSize> dims) {
  while (dims.size() > 2 && dims.back() == 1) dims.pop_back();  // as MEX does
  while (dims.size() < 2) dims.push_back(dims.empty() ? 0 : 1);
  auto* a = new mxArray;
  a->cls = cls;
  a->dims = std::move(dims);
  if (cls == mxCELL_CLASS) {
    a->cells.assign(a->count(), nullptr);
  } else if (cls != mxCHAR_CLASS) {
    a->real.assign(a->count(), 0.0);
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_scope) g_scope->arrays.insert(a);
  return a;
}

void destroy(mxArray* a) {
  if (!a) return;
  for (mxArray* c : a->cells) destroy(c);
  delete a;
}

void forget(mxArray* a) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_scope) g_scope->arrays.erase(a);
}

std::string format_message(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return format;
  std::string s(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(s.data(), s.size(), format, args);
  s.resize(static_cast<std::size_t>(n));
  return s;
}

}  // namespace

void* mxGetData(const mxArray* a) {
  if (a->cls == mxCHAR_CLASS) return const_cast<char*>(a->text.data());
  if (a->cls == mxCELL_CLASS) return const_cast<mxArray**>(a->cells.data());
  return const_cast<double*>(a->real.data());
}
double* mxGetPr(const mxArray* a) { return const_cast<double*>(a->real.data()); }
double* mxGetPi(const mxArray* a) {
  return a->complex ? const_cast<double*>(a->imag.data()) : nullptr;
}
double mxGetScalar(const mxArray* a) {
  if (a->cls == mxCHAR_CLASS) return a->text.empty() ? 0.0 : double(a->text[0]);
  return a->real.empty() ? 0.0 : a->real[0];
}
std::size_t mxGetNumberOfElements(const mxArray* a) { return a->count(); }
mwSize mxGetNumberOfDimensions(const mxArray* a) { return a->dims.size(); }
const mwSize* mxGetDimensions(const mxArray* a) { return a->dims.data(); }
std::size_t mxGetM(const mxArray* a) { return a->dims[0]; }
std::size_t mxGetN(const mxArray* a) { return a->count() / (a->dims[0] ? a->dims[0] : 1); }
mxClassID mxGetClassID(const mxArray* a) { return a->cls; }
bool mxIsDouble(const mxArray* a) { return a->cls == mxDOUBLE_CLASS; }
bool mxIsComplex(const mxArray* a) { return a->complex; }
bool mxIsCell(const mxArray* a) { return a->cls == mxCELL_CLASS; }
bool mxIsChar(const mxArray* a) { return a->cls == mxCHAR_CLASS; }
bool mxIsSparse(const mxArray*) { return false; }
bool mxIsNumeric(const mxArray* a) { return a->cls >= mxDOUBLE_CLASS && a->cls <= mxUINT64_CLASS; }
bool mxIsEmpty(const mxArray* a) { return a->count() == 0; }
mxArray* mxGetCell(const mxArray* cell, mwIndex index) {
  return index < cell->cells.size() ? cell->cells[index] : nullptr;
}

mxArray* mxCreateNumericArray(mwSize ndims, const mwSize* dims, mxClassID cls,
                              mxComplexity complexity) {
  mxArray* a = new_array(cls, std::vector<mwSize>(dims, dims + ndims));
  if (complexity == mxCOMPLEX) {
    a->complex = true;
    a->imag.assign(a->count(), 0.0);
  }
  return a;
}
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity) {
  mwSize dims[2] = {m, n};
  return mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, complexity);
}
mxArray* mxCreateDoubleScalar(double value) {
  mxArray* a = mxCreateDoubleMatrix(1, 1, mxREAL);
  a->real[0] = value;
  return a;
}
mxArray* mxCreateCellArray(mwSize ndims, const mwSize* dims) {
  return new_array(mxCELL_CLASS, std::vector<mwSize>(dims, dims + ndims));
}
mxArray* mxCreateCellMatrix(mwSize m, mwSize n) {
  mwSize dims[2] = {m, n};
  return mxCreateCellArray(2, dims);
}
mxArray* mxCreateString(const char* text) {
  mxArray* a = new_array(mxCHAR_CLASS, {1, std::strlen(text)});
  a->text = text;
  return a;
}
void mxSetCell(mxArray* cell, mwIndex index, mxArray* value) {
  if (index >= cell->cells.size()) return;
  forget(value);  // the cell owns it now
  cell->cells[index] = value;
}
void mxDestroyArray(mxArray* a) {
  if (!a) return;
  forget(a);
  destroy(a);
}

void* mxMalloc(std::size_t bytes) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) mexErrMsgIdAndTxt("zarvo:outOfMemory", "Out of memory: %zu bytes requested.", bytes);
  std::lock_guard<std::mutex> lock(g_mutex);
  (g_scope ? g_scope->blocks : g_loose_blocks).insert(p);
  return p;
}
void* mxCalloc(std::size_t count, std::size_t size) {
  if (size && count > std::numeric_limits<std::size_t>::max() / size)
    mexErrMsgIdAndTxt("zarvo:outOfMemory", "Out of memory: allocation size overflows.");
  void* p = mxMalloc(count * size);
  std::memset(p, 0, count * size);
  return p;
}
void mxFree(void* block) {
  if (!block) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!(g_scope && g_scope->blocks.erase(block))) g_loose_blocks.erase(block);
  }
  std::free(block);
}

double mxGetEps(void) { return std::numeric_limits<double>::epsilon(); }
double mxGetInf(void) { return std::numeric_limits<double>::infinity(); }
double mxGetNaN(void) { return std::numeric_limits<double>::quiet_NaN(); }

void mexErrMsgTxt(const char* message) { throw HostError{"", message}; }
void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = format_message(format, args);
  va_end(args);
  throw HostError{id, message};
}
int mexPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vprintf(format, args);
  va_end(args);
  return n;
}

namespace zarvo::standalone {

Array make_array(const std::vector<std::size_t>& dims, const std::vector<double>& vals) {
  Array a(mxCreateNumericArray(dims.size(), dims.data(), mxDOUBLE_CLASS, mxREAL));
  forget(a.get());
  if (!vals.empty()) {
    if (vals.size() != a->real.size()) throw std::invalid_argument("make_array: size mismatch");
    a->real = vals;
  }
  return a;
}
Array make_scalar(double value) { return make_array({1, 1}, {value}); }
Array make_cell(std::vector<Array> elements) {
  Array c(mxCreateCellMatrix(1, elements.size()));
  forget(c.get());
  for (std::size_t i = 0; i < elements.size(); ++i) c->cells[i] = elements[i].release();
  return c;
}
Array make_string(const std::string& text) {
  Array a(mxCreateString(text.c_str()));
  forget(a.get());
  return a;
}
Array copy_array(const mxArray* a) {
  Array c(new mxArray(*a));
  forget(c.get());
  for (mxArray*& e : c->cells) e = e ? copy_array(e).release() : nullptr;
  return c;
}
std::vector<double> values(const mxArray* a) { return a->real; }
std::vector<std::size_t> dimensions(const mxArray* a) { return a->dims; }

CallResult call(EntryPoint entry, const std::vector<const mxArray*>& inputs, int nlhs) {
  CallScope scope;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_scope) throw std::logic_error("zarvo stand-alone host: nested plug-in call");
    g_scope = &scope;
  }
  // A MEX host always offers at least one output slot.
  std::vector<mxArray*> plhs(static_cast<std::size_t>(nlhs > 1 ? nlhs : 1), nullptr);
  CallResult result;
  try {
    entry(nlhs, plhs.data(), static_cast<int>(inputs.size()),
          const_cast<const mxArray**>(inputs.data()));
    result.ok = true;
  } catch (const HostError& e) {
    result.error_id = e.id;
    result.message = e.message;
  } catch (const std::bad_alloc&) {
    result.error_id = "zarvo:outOfMemory";
    result.message = "Out of memory.";
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_scope = nullptr;
  for (void* b : scope.blocks) std::free(b);
  if (result.ok) {
    for (int i = 0; i < nlhs; ++i) {
      mxArray* out = plhs[static_cast<std::size_t>(i)];
      if (out) scope.arrays.erase(out);
      result.outputs.emplace_back(out);
    }
  }
  for (mxArray* a : scope.arrays) destroy(a);
  return result;
}

std::size_t live_blocks() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_loose_blocks.size();
}

}  // namespace zarvo::standalone
