// zarvo_denoise_mex: the two-stage pipeline, for the Octave function
// zarvo_denoise (which parses the name/value options into a struct).
//
//   [X, noise_map, info] = zarvo_denoise_mex(Y, options)
//
// Y is a real double or single array of 2 to 4 dimensions (rows x columns x
// slices x volumes). options is a struct; every field is optional:
//   noise        'gaussian' or 'rician'
//   sigma        [] (estimate), one level, one level per volume, or (Rician)
//                a map of levels of Y's spatial size or of Y's size
//   profile      a profile name of the table
//   mask         an array of Y's spatial size, nonzero inside
//   sigma_scope  'series' (one estimated level for a series) or 'volume'
//   basic_only   true: the first stage only
//   threads      walk threads (0: every core)
//   and the parameter overrides by name (cube, depth, step, ..., estimate).
// X and noise_map are double arrays of Y's size; info is a struct with the
// parameters used and, per volume, the level and where it came from.
//
//   params = zarvo_denoise_mex('profile', NAME)
//
// The values of a profile of the table, as a struct.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gateway.h"
#include "zarvo/pipeline.h"

namespace zarvo_denoise_mex {

namespace {

// A refusal, raised through the host's error exit by mexFunction once every
// C++ object of the call is gone.
struct Refusal {
  const char* id;
  std::string message;
};

[[noreturn]] void fail(const char* id, const std::string& message) { throw Refusal{id, message}; }

std::string text_field(const mxArray* v, const char* name) {
  if (!mxIsChar(v)) fail("zarvo:args", std::string(name) + " must be a string");
  char* s = mxArrayToString(v);
  std::string out = s ? s : "";
  mxFree(s);
  return out;
}

double number_field(const mxArray* v, const char* name) {
  if (!(mxIsDouble(v) || mxIsLogical(v)) || mxIsComplex(v) || mxGetNumberOfElements(v) != 1)
    fail("zarvo:args", std::string(name) + " must be a real scalar");
  return mxGetScalar(v);
}

// The series view of a real double or single array (2 to 4 dimensions are
// checked by the engine; more are refused here).
zarvo::ArrayView view_of(const mxArray* Y) {
  if (!(mxIsDouble(Y) || mxIsSingle(Y)) || mxIsComplex(Y) || mxIsSparse(Y))
    fail("zarvo:input", "Y must be a real, full double or single array");
  const mwSize nd = mxGetNumberOfDimensions(Y);
  const mwSize* d = mxGetDimensions(Y);
  zarvo::Shape s;
  s.ndims = static_cast<int>(nd);
  if (nd > 4 || mxGetNumberOfElements(Y) == 0) {
    fail("zarvo:input", nd > 4 ? "Y has " + std::to_string(nd) +
                                     " dimensions; 2-D, 3-D and 4-D arrays are supported"
                               : std::string("Y is empty"));
  }
  for (mwSize i = 0; i < nd; ++i)
    if (d[i] > 65535) fail("zarvo:input", "Y is larger than 65535 along a dimension");
  s.rows = static_cast<int>(d[0]);
  s.cols = static_cast<int>(d[1]);
  s.slices = nd > 2 ? static_cast<int>(d[2]) : 1;
  s.volumes = nd > 3 ? static_cast<int>(d[3]) : 1;
  return mxIsDouble(Y) ? zarvo::ArrayView::column_major(mxGetPr(Y), s)
                       : zarvo::ArrayView::column_major(static_cast<const float*>(mxGetData(Y)), s);
}

mxArray* struct_of_params(const zarvo::Params& p) {
  const char* names[] = {"cube", "depth", "step", "search", "group1", "group2", "lambda",
                         "tau1", "tau2", "alpha", "soft", "synchronous", "gauss", "rice"};
  mxArray* s = mxCreateStructMatrix(1, 1, 14, names);
  const double values[] = {double(p.cube), double(p.depth), double(p.step), double(p.search),
                           double(p.group1), double(p.group2), p.lambda, p.tau1, p.tau2,
                           p.alpha, p.soft ? 1.0 : 0.0, p.synchronous ? 1.0 : 0.0};
  for (int i = 0; i < 12; ++i) mxSetField(s, 0, names[i], mxCreateDoubleScalar(values[i]));
  auto mode = [](zarvo::Estimate e) { return e == zarvo::Estimate::group ? "group" : "volume"; };
  mxSetField(s, 0, "gauss", mxCreateString(mode(p.estimate_gaussian)));
  mxSetField(s, 0, "rice", mxCreateString(mode(p.estimate_rician)));
  return s;
}

}  // namespace

void run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  // zarvo_denoise_mex('profile', NAME): the values of a profile.
  if (nrhs == 2 && mxIsChar(prhs[0]) && text_field(prhs[0], "the first argument") == "profile") {
    const std::string name = text_field(prhs[1], "the profile name");
    try {
      plhs[0] = struct_of_params(zarvo::profile(name));
    } catch (const zarvo::Error& e) {
      fail("zarvo:args", e.what());
    }
    return;
  }
  if (nrhs != 2 || !mxIsStruct(prhs[1]))
    fail("zarvo:args", "call zarvo_denoise_mex(Y, options) with an options struct");
  if (nlhs > 3) fail("zarvo:args", "returns at most 3 outputs (X, noise_map, info)");
  const zarvo::ArrayView view = view_of(prhs[0]);
  const zarvo::Shape& shape = view.shape;
  const mxArray* opts = prhs[1];

  zarvo::DenoiseOptions o;
  zarvo::RunContext context;
  context.threads = 0;
  zarvo::SeriesInput map_input;
  zarvo::ArrayView map_view;
  try {
    // The profile first: the overrides apply to it.
    if (const mxArray* v = mxGetField(opts, 0, "profile")) o.params = zarvo::profile(text_field(v, "profile"));
    for (int i = 0, n = mxGetNumberOfFields(opts); i < n; ++i) {
      const std::string name = mxGetFieldNameByNumber(opts, i);
      const mxArray* v = mxGetFieldByNumber(opts, 0, i);
      if (name == "profile") continue;
      if (name == "noise") {
        const std::string model = text_field(v, "noise");
        if (model != "gaussian" && model != "rician")
          fail("zarvo:args", "noise must be 'gaussian' or 'rician'");
        o.noise = model == "rician" ? zarvo::Noise::rician : zarvo::Noise::gaussian;
      } else if (name == "sigma") {
        if (mxIsEmpty(v)) continue;
        if (!mxIsDouble(v) || mxIsComplex(v) || mxIsSparse(v))
          fail("zarvo:sigma", "sigma must be a real double array");
        const std::size_t count = mxGetNumberOfElements(v);
        const bool map = count == shape.volume_voxels() || (count > 1 && count == shape.volume_voxels() * shape.volumes);
        if (map && count > 1) {
          zarvo::Shape ms = shape;
          ms.volumes = static_cast<int>(count / shape.volume_voxels());
          map_view = zarvo::ArrayView::column_major(mxGetPr(v), ms);
          map_input = zarvo::series_input(map_view);
          o.sigma_map = &map_input;
        } else {
          o.sigma.assign(mxGetPr(v), mxGetPr(v) + count);
        }
      } else if (name == "mask") {
        if (mxIsEmpty(v)) continue;
        if (!(mxIsNumeric(v) || mxIsLogical(v)) || mxIsComplex(v) || mxIsSparse(v))
          fail("zarvo:args", "mask must be a real, full numeric or logical array");
        if (mxGetNumberOfElements(v) != shape.volume_voxels())
          fail("zarvo:args", "mask must have Y's spatial size (" + std::to_string(shape.rows) +
                                 " x " + std::to_string(shape.cols) + " x " +
                                 std::to_string(shape.slices) + ")");
        const mxArray* d = v;
        mxArray* converted = nullptr;
        if (!mxIsDouble(v)) {
          mxArray* in = const_cast<mxArray*>(v);
          mexCallMATLAB(1, &converted, 1, &in, "double");
          d = converted;
        }
        o.mask.resize(shape.volume_voxels());
        for (std::size_t k = 0; k < o.mask.size(); ++k) o.mask[k] = mxGetPr(d)[k] != 0;
        if (converted) mxDestroyArray(converted);
        o.mask_shape = shape;
        o.mask_shape.volumes = 1;
      } else if (name == "sigma_scope") {
        const std::string scope = text_field(v, "sigma_scope");
        if (scope != "series" && scope != "volume")
          fail("zarvo:args", "sigma_scope must be 'series' or 'volume'");
        o.sigma_scope = scope == "volume" ? zarvo::SigmaScope::volume : zarvo::SigmaScope::series;
      } else if (name == "basic_only") {
        o.basic_only = number_field(v, "basic_only") != 0;
      } else if (name == "threads") {
        const double t = number_field(v, "threads");
        if (!(t >= 0) || t != static_cast<int>(t)) fail("zarvo:args", "threads must be a whole number >= 0");
        context.threads = static_cast<int>(t);
      } else if (name == "estimate") {
        zarvo::set_parameter(o.params, name, text_field(v, "estimate"));
      } else {
        zarvo::set_parameter(o.params, name, number_field(v, name.c_str()));
      }
    }
    o.noise_map = nlhs > 1;
  } catch (const zarvo::Error& e) {
    fail("zarvo:args", e.what());
  }

  mxArray* X = mxCreateNumericArray(mxGetNumberOfDimensions(prhs[0]), mxGetDimensions(prhs[0]),
                                    mxDOUBLE_CLASS, mxREAL);
  mxArray* M = o.noise_map ? mxCreateNumericArray(mxGetNumberOfDimensions(prhs[0]),
                                                  mxGetDimensions(prhs[0]), mxDOUBLE_CLASS, mxREAL)
                           : nullptr;
  const std::size_t n = shape.volume_voxels();
  zarvo::DenoiseReport report;
  std::string error;
  const char* error_id = nullptr;
  try {
    report = zarvo::denoise(
        zarvo::series_input(view), o,
        [&](int t, const double* e, const double* m) {
          std::memcpy(mxGetPr(X) + n * t, e, n * sizeof(double));
          if (M) std::memcpy(mxGetPr(M) + n * t, m, n * sizeof(double));
        },
        context);
  } catch (const zarvo::InputError& e) {
    error = std::string("Y ") + e.what();
    error_id = "zarvo:input";
  } catch (const zarvo::Error& e) {
    error = e.what();
    error_id = "zarvo:args";
  } catch (const std::bad_alloc&) {
    error = "not enough memory for a volume of this size";
    error_id = "zarvo:memory";
  }
  if (!error.empty()) {
    mxDestroyArray(X);
    if (M) mxDestroyArray(M);
    fail(error_id, error);
  }

  plhs[0] = X;
  if (nlhs > 1) plhs[1] = M;
  if (nlhs > 2) {
    const char* names[] = {"params", "sigma", "sigma_source", "per_group"};
    mxArray* info = mxCreateStructMatrix(1, 1, 4, names);
    mxSetField(info, 0, "params", struct_of_params(report.params));
    mxArray* sigma = mxCreateDoubleMatrix(1, shape.volumes, mxREAL);
    mxArray* source = mxCreateCellMatrix(1, shape.volumes);
    mxArray* per_group = mxCreateLogicalMatrix(1, shape.volumes);
    for (int t = 0; t < shape.volumes; ++t) {
      const zarvo::VolumeReport& r = report.volumes[t];
      mxGetPr(sigma)[t] = r.sigma;
      mxSetCell(source, t, mxCreateString(r.source == zarvo::SigmaSource::given       ? "given"
                                          : r.source == zarvo::SigmaSource::estimated ? "estimated"
                                                                                      : "map"));
      mxGetLogicals(per_group)[t] = r.per_group;
    }
    mxSetField(info, 0, "sigma", sigma);
    mxSetField(info, 0, "sigma_source", source);
    mxSetField(info, 0, "per_group", per_group);
    plhs[2] = info;
  }
}

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  static char message[1024];
  const char* id = nullptr;
  try {
    run(nlhs, plhs, nrhs, prhs);
    return;
  } catch (const Refusal& r) {
    std::snprintf(message, sizeof message, "zarvo_denoise: %s", r.message.c_str());
    id = r.id;
  }
  mexErrMsgIdAndTxt(id, "%s", message);
}

}  // namespace zarvo_denoise_mex

ZARVO_EXPORT_MEX(zarvo_denoise_mex)
