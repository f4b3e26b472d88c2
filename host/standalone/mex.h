// Stand-alone host: the subset of the MEX interface that zarvo's plug-ins,
// core library and stabilisation library use, implemented in-process so that
// C++ programs and tests can call the plug-ins without MATLAB or Octave.
// Names, types and semantics follow the documented MEX API, so the same
// sources compile against a real host's mex.h.
#pragma once

#include <cstddef>

struct mxArray_tag;
typedef struct mxArray_tag mxArray;

typedef std::size_t mwSize;
typedef std::size_t mwIndex;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS,
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

// Array access.
void* mxGetData(const mxArray* a);
double* mxGetPr(const mxArray* a);
double* mxGetPi(const mxArray* a);
double mxGetScalar(const mxArray* a);
std::size_t mxGetNumberOfElements(const mxArray* a);
mwSize mxGetNumberOfDimensions(const mxArray* a);
const mwSize* mxGetDimensions(const mxArray* a);
std::size_t mxGetM(const mxArray* a);
std::size_t mxGetN(const mxArray* a);
mxClassID mxGetClassID(const mxArray* a);
bool mxIsDouble(const mxArray* a);
bool mxIsComplex(const mxArray* a);
bool mxIsCell(const mxArray* a);
bool mxIsChar(const mxArray* a);
bool mxIsSparse(const mxArray* a);
bool mxIsNumeric(const mxArray* a);
bool mxIsEmpty(const mxArray* a);
mxArray* mxGetCell(const mxArray* cell, mwIndex index);

// Array creation. Every element of a new numeric array is 0.
mxArray* mxCreateNumericArray(mwSize ndims, const mwSize* dims, mxClassID cls,
                              mxComplexity complexity);
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity);
mxArray* mxCreateDoubleScalar(double value);
mxArray* mxCreateCellMatrix(mwSize m, mwSize n);
mxArray* mxCreateCellArray(mwSize ndims, const mwSize* dims);
mxArray* mxCreateString(const char* text);
void mxSetCell(mxArray* cell, mwIndex index, mxArray* value);
void mxDestroyArray(mxArray* a);

// Memory: blocks taken during a plug-in call are released when the call
// returns or ends through the error exit.
void* mxMalloc(std::size_t bytes);
void* mxCalloc(std::size_t count, std::size_t size);
void mxFree(void* block);

// Constants.
double mxGetEps(void);
double mxGetInf(void);
double mxGetNaN(void);

// Messages. The error exits do not return.
[[noreturn]] void mexErrMsgTxt(const char* message);
[[noreturn]] void mexErrMsgIdAndTxt(const char* id, const char* format, ...);
int mexPrintf(const char* format, ...);
