// zarvo_denoise_mex: the two-stage pipeline, for the Octave function
// zarvo_denoise (which gathers the name/value options into a struct).
//
//   [X, noise_map, info] = zarvo_denoise_mex(Y, options)
//
// Y is a real double or single array of 2 to 4 dimensions (rows x columns x
// slices x volumes). options is a 1x1 struct whose fields are the engine's
// options by their names (zarvo_denoise_mex('options') lists them); every
// field is optional and checked against the engine's declaration before
// use. sigma may also be a Rician level map (Y's spatial size, or Y's size),
// as sigma_map is. X and noise_map are double arrays of Y's size; info is a
// struct with the parameters used and, per volume, the level and where it
// came from.
//
//   params = zarvo_denoise_mex('profile', NAME[, NOISE])
//   decls = zarvo_denoise_mex('options')
//
// The values of a profile (estimate: the mode for NOISE, by default the
// engine's noise model), and the declaration of every option Octave shows
// (name, kind, help, default, min, max, choices).
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"
#include "interrupt.h"
#include "zarvo/options.h"

namespace zarvo_denoise_mex {

namespace {

using zarvo::gateway::InterruptWatch;

// A refusal, raised through the host's error exit by mexFunction once every
// C++ object of the call is gone.
struct Refusal {
  const char* id;
  std::string message;
};

[[noreturn]] void fail(const char* id, const std::string& message) { throw Refusal{id, message}; }

std::string text_of(const mxArray* v, const std::string& name) {
  if (!mxIsChar(v) || mxGetM(v) > 1) fail("zarvo:args", name + " must be a string");
  char* s = mxArrayToString(v);
  std::string out = s ? s : "";
  mxFree(s);
  return out;
}

bool real_numbers(const mxArray* v) {
  return (mxIsNumeric(v) || mxIsLogical(v)) && !mxIsComplex(v) && !mxIsSparse(v);
}

// Every element of a real numeric or logical array, as doubles.
std::vector<double> numbers_of(const mxArray* v) {
  mxArray* converted = nullptr;
  const mxArray* d = v;
  if (!mxIsDouble(v)) {
    mxArray* in = const_cast<mxArray*>(v);
    mexCallMATLAB(1, &converted, 1, &in, "double");
    d = converted;
  }
  std::vector<double> out(mxGetPr(d), mxGetPr(d) + mxGetNumberOfElements(d));
  if (converted) mxDestroyArray(converted);
  return out;
}

// A field's value as its declaration takes it.
zarvo::OptionValue value_of(const zarvo::OptionDecl& o, const mxArray* v) {
  const std::string name = o.name;
  switch (o.kind) {
    case zarvo::OptionKind::choice:
      return text_of(v, name);
    case zarvo::OptionKind::levels:
      if (!real_numbers(v)) fail("zarvo:args", name + " must be a real, full numeric array");
      return numbers_of(v);
    case zarvo::OptionKind::flag:
      if (!real_numbers(v) || mxGetNumberOfElements(v) != 1)
        fail("zarvo:args", name + " must be true or false (a logical or 0/1 scalar)");
      return numbers_of(v)[0];
    default:
      if (!real_numbers(v) || mxGetNumberOfElements(v) != 1)
        fail("zarvo:args", name + " must be a real scalar");
      return numbers_of(v)[0];
  }
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

mxArray* struct_of_params(const zarvo::Params& p, zarvo::Noise noise) {
  std::vector<const zarvo::OptionDecl*> expert;
  for (const zarvo::OptionDecl& o : zarvo::option_table())
    if (o.expert) expert.push_back(&o);
  std::vector<const char*> names;
  for (const zarvo::OptionDecl* o : expert) names.push_back(o->name);
  mxArray* s = mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data());
  for (const zarvo::OptionDecl* o : expert) {
    const zarvo::OptionValue v = zarvo::expert_value(*o, p, noise);
    mxSetField(s, 0, o->name,
               std::holds_alternative<double>(v)
                   ? mxCreateDoubleScalar(std::get<double>(v))
                   : mxCreateString(std::get<std::string>(v).c_str()));
  }
  return s;
}

// The declaration of every option Octave shows, as a struct array.
mxArray* declarations() {
  std::vector<const zarvo::OptionDecl*> shown;
  for (const zarvo::OptionDecl& o : zarvo::option_table())
    if (o.front_ends & zarvo::octave) shown.push_back(&o);
  static const char* kinds[] = {"whole", "real", "flag", "choice", "levels", "data", "output"};
  const char* fields[] = {"name", "kind", "help", "default", "min", "max", "choices", "expert"};
  mxArray* s = mxCreateStructMatrix(static_cast<mwSize>(shown.size()), 1, 8, fields);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const zarvo::OptionDecl& o = *shown[i];
    mxSetField(s, i, "name", mxCreateString(o.name));
    mxSetField(s, i, "kind", mxCreateString(kinds[static_cast<int>(o.kind)]));
    mxSetField(s, i, "help", mxCreateString(o.help));
    mxSetField(s, i, "default", mxCreateString(zarvo::default_text(o).c_str()));
    mxSetField(s, i, "min", mxCreateDoubleScalar(o.min));
    mxSetField(s, i, "max", mxCreateDoubleScalar(o.max));
    const std::vector<std::string> choices = zarvo::option_choices(o);
    mxArray* c = mxCreateCellMatrix(1, static_cast<mwSize>(choices.size()));
    for (std::size_t k = 0; k < choices.size(); ++k)
      mxSetCell(c, k, mxCreateString(choices[k].c_str()));
    mxSetField(s, i, "choices", c);
    mxSetField(s, i, "expert", mxCreateLogicalScalar(o.expert));
  }
  return s;
}

// What the options struct asks for; the level map's view points into it.
struct Request {
  zarvo::DenoiseOptions options;
  zarvo::RunContext context;
  zarvo::ArrayView map_view;
  zarvo::SeriesInput map_input;
};

// A level map (Rician): Y's spatial size or Y's size.
bool is_level_map(const mxArray* v, const zarvo::Shape& shape) {
  const std::size_t count = mxGetNumberOfElements(v);
  return count > 1 && (count == shape.volume_voxels() ||
                       count == shape.volume_voxels() * static_cast<std::size_t>(shape.volumes));
}

void read_level_map(const mxArray* v, const zarvo::Shape& shape, Request& r) {
  if (!mxIsDouble(v) || mxIsComplex(v) || mxIsSparse(v))
    fail("zarvo:sigma", "the level map must be a real, full double array");
  if (!is_level_map(v, shape))
    fail("zarvo:args", "the level map must have Y's spatial size or Y's size");
  zarvo::Shape ms = shape;
  ms.volumes = static_cast<int>(mxGetNumberOfElements(v) / shape.volume_voxels());
  r.map_view = zarvo::ArrayView::column_major(mxGetPr(v), ms);
  r.map_input = zarvo::series_input(r.map_view);
  r.options.sigma_map = &r.map_input;
}

void read_mask(const mxArray* v, const zarvo::Shape& shape, zarvo::DenoiseOptions& o) {
  if (!real_numbers(v)) fail("zarvo:args", "mask must be a real, full numeric or logical array");
  if (mxGetNumberOfElements(v) != shape.volume_voxels())
    fail("zarvo:args", "mask must have Y's spatial size (" + std::to_string(shape.rows) + " x " +
                           std::to_string(shape.cols) + " x " + std::to_string(shape.slices) + ")");
  const std::vector<double> values = numbers_of(v);
  o.mask.resize(values.size());
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (!std::isfinite(values[k])) fail("zarvo:args", "mask holds NaN or infinite values");
    o.mask[k] = values[k] != 0;
  }
  o.mask_shape = shape;
  o.mask_shape.volumes = 1;
}

// Every field of the options struct, checked against its declaration.
void read_options(const mxArray* opts, const zarvo::Shape& shape, Request& r) {
  if (!mxIsStruct(opts) || mxGetNumberOfElements(opts) != 1)
    fail("zarvo:args", "options must be a 1x1 struct");
  zarvo::GivenOptions given;
  for (int i = 0, n = mxGetNumberOfFields(opts); i < n; ++i) {
    const std::string name = mxGetFieldNameByNumber(opts, i);
    const mxArray* v = mxGetFieldByNumber(opts, 0, i);
    const zarvo::OptionDecl* o = zarvo::find_option(name);
    if (!o || !(o->front_ends & zarvo::octave)) fail("zarvo:args", "unknown option '" + name + "'");
    if (!v) fail("zarvo:args", name + " has no value");
    const bool data = o->kind == zarvo::OptionKind::levels || o->kind == zarvo::OptionKind::data;
    if (data && mxIsEmpty(v) && (mxIsNumeric(v) || mxIsLogical(v))) continue;  // not given
    if (name == "mask")
      read_mask(v, shape, r.options);
    else if (name == "sigma_map" || (name == "sigma" && is_level_map(v, shape)))
      read_level_map(v, shape, r);
    else
      given.emplace_back(name, value_of(*o, v));
  }
  try {
    zarvo::apply_options(given, r.options, r.context);
  } catch (const zarvo::Error& e) {
    fail("zarvo:args", e.what());
  }
}

mxArray* info_of(const zarvo::DenoiseReport& report, zarvo::Noise noise, int volumes) {
  const char* names[] = {"params", "sigma", "sigma_source", "per_group", "notes"};
  mxArray* info = mxCreateStructMatrix(1, 1, 5, names);
  mxSetField(info, 0, "params", struct_of_params(report.params, noise));
  mxArray* sigma = mxCreateDoubleMatrix(1, volumes, mxREAL);
  mxArray* source = mxCreateCellMatrix(1, volumes);
  mxArray* per_group = mxCreateLogicalMatrix(1, volumes);
  for (int t = 0; t < volumes; ++t) {
    const zarvo::VolumeReport& r = report.volumes[t];
    mxGetPr(sigma)[t] = r.sigma;
    mxSetCell(source, t, mxCreateString(zarvo::sigma_source_name(r.source)));
    mxGetLogicals(per_group)[t] = r.per_group;
  }
  mxSetField(info, 0, "sigma", sigma);
  mxSetField(info, 0, "sigma_source", source);
  mxSetField(info, 0, "per_group", per_group);
  mxArray* notes = mxCreateCellMatrix(1, static_cast<mwSize>(report.notes.size()));
  for (std::size_t i = 0; i < report.notes.size(); ++i)
    mxSetCell(notes, static_cast<mwIndex>(i), mxCreateString(report.notes[i].c_str()));
  mxSetField(info, 0, "notes", notes);
  return info;
}

// The queries: zarvo_denoise_mex('profile', NAME[, NOISE]) and ('options').
bool answer_query(int nrhs, mxArray* plhs[], const mxArray* prhs[]) {
  if (nrhs < 1 || !mxIsChar(prhs[0])) return false;
  const std::string what = text_of(prhs[0], "the first argument");
  if (what == "options" && nrhs == 1) {
    plhs[0] = declarations();
    return true;
  }
  if (what != "profile" || nrhs < 2 || nrhs > 3) return false;
  zarvo::GivenOptions given{{"profile", text_of(prhs[1], "the profile name")}};
  if (nrhs == 3) given.emplace_back("noise", text_of(prhs[2], "the noise model"));
  Request r;
  try {
    zarvo::apply_options(given, r.options, r.context);
  } catch (const zarvo::Error& e) {
    fail("zarvo:args", e.what());
  }
  plhs[0] = struct_of_params(r.options.params, r.options.noise);
  return true;
}

}  // namespace

void run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (answer_query(nrhs, plhs, prhs)) return;
  if (nrhs != 2) fail("zarvo:args", "call zarvo_denoise_mex(Y, options) with an options struct");
  if (nlhs > 3) fail("zarvo:args", "returns at most 3 outputs (X, noise_map, info)");
  const zarvo::ArrayView view = view_of(prhs[0]);
  const zarvo::Shape& shape = view.shape;
  Request r;
  read_options(prhs[1], shape, r);
  r.options.noise_map = nlhs > 1;

  mxArray* X = mxCreateNumericArray(mxGetNumberOfDimensions(prhs[0]), mxGetDimensions(prhs[0]),
                                    mxDOUBLE_CLASS, mxREAL);
  mxArray* M = r.options.noise_map
                   ? mxCreateNumericArray(mxGetNumberOfDimensions(prhs[0]),
                                          mxGetDimensions(prhs[0]), mxDOUBLE_CLASS, mxREAL)
                   : nullptr;
  const std::size_t n = shape.volume_voxels();
  zarvo::DenoiseReport report;
  std::string error;
  const char* error_id = nullptr;
  std::atomic<bool> cancel{false};
  r.context.cancel = &cancel;
  try {
    const InterruptWatch watch(cancel);
    report = zarvo::denoise(
        zarvo::series_input(view), r.options,
        [&](int t, const double* e, const double* m) {
          std::memcpy(mxGetPr(X) + n * t, e, n * sizeof(double));
          if (M) std::memcpy(mxGetPr(M) + n * t, m, n * sizeof(double));
        },
        r.context);
  } catch (const zarvo::Cancelled&) {
    error = "interrupted";
    error_id = "zarvo:interrupted";
  } catch (const zarvo::InputError& e) {
    error = std::string("Y ") + e.what();
    error_id = "zarvo:input";
  } catch (const zarvo::Error& e) {
    error = e.what();
    if (error.find("give the noise level") != std::string::npos) error += " ('sigma', ...)";
    error_id = "zarvo:args";
  } catch (const std::bad_alloc&) {
    error = "not enough memory for a volume of this size";
    error_id = "zarvo:memory";
  } catch (const std::exception& e) {  // threads that cannot start, ...
    error = e.what();
    error_id = "zarvo:failed";
  }
  if (!error.empty()) {
    mxDestroyArray(X);
    if (M) mxDestroyArray(M);
    fail(error_id, error);
  }
  // As warnings too: the caller need not ask for info to hear them.
  for (const std::string& note : report.notes)
    mexWarnMsgIdAndTxt("zarvo:note", "zarvo_denoise: %s", note.c_str());
  plhs[0] = X;
  if (nlhs > 1) plhs[1] = M;
  if (nlhs > 2) plhs[2] = info_of(report, r.options.noise, shape.volumes);
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
