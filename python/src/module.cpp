// zarvo._core: the engine and the I/O library for Python. The package
// (python/zarvo) checks the Python types of its keyword arguments against
// the engine's declaration of the options (options()) and passes the ones
// given here as a dict by the engine's names; the engine applies them
// (apply_options) and keeps its own defaults for the rest.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/bids.h"
#include "io/denoise_file.h"
#include "io/files.h"
#include "io/nifti_io.h"
#include "io/outputs.h"
#include "io/report_outputs.h"
#include "io/sidecar.h"
#include "zarvo/joint_phases.h"
#include "zarvo/options.h"
#include "zarvo/run_limits.h"

namespace py = pybind11;

namespace {

// A view of a float32 or float64 array with element strides (the Python side
// copies anything else). More than 4 dimensions keep their count in `ndims`
// so that the engine's check names the problem.
zarvo::ArrayView view_of(const py::array& a) {
  zarvo::ArrayView v;
  const py::ssize_t item = a.itemsize();
  if (py::isinstance<py::array_t<double>>(a))
    v.type = zarvo::ElementType::float64;
  else if (py::isinstance<py::array_t<float>>(a))
    v.type = zarvo::ElementType::float32;
  else
    throw py::type_error("internal: the array must be float32 or float64");
  v.data = a.data();
  v.shape.ndims = static_cast<int>(a.ndim());
  int* dims[4] = {&v.shape.rows, &v.shape.cols, &v.shape.slices, &v.shape.volumes};
  for (py::ssize_t k = 0; k < a.ndim() && k < 4; ++k) {
    if (a.shape(k) > 2147483647)
      throw zarvo::Error("is larger than 65535 voxels along a spatial axis");
    *dims[k] = static_cast<int>(a.shape(k));
    if (a.strides(k) % item != 0) throw py::type_error("internal: unaligned strides");
    v.strides[k] = a.strides(k) / item;
  }
  return v;
}

py::array_t<double> column_major(const zarvo::Shape& s) {
  std::vector<py::ssize_t> shape = {s.rows, s.cols, s.slices, s.volumes};
  shape.resize(static_cast<std::size_t>(s.ndims));
  return py::array_t<double, py::array::f_style>(shape);
}

// Ctrl-C during a run. Python's own SIGINT handler only notes the signal
// for the main thread's next look, which a run in C++ would delay to its
// end. So, for a run in the main thread: while Python's default handler is
// in place, ours sets the run's cancel flag at once (any phase that looks at
// it stops: the walk, the writing of the outputs, the commit up to the
// point where the new set is on disk) and then calls Python's; besides,
// the progress callback lets Python look at its signals (at most every
// 0.1 s: taking the GIL may wait for another thread) and cancels the run
// when a handler raised (a handler of the user's).
std::atomic<std::atomic<bool>*> sigint_run{nullptr};
struct sigaction python_sigint;

extern "C" void cancel_then_python(int sig, siginfo_t* info, void* context) {
  if (std::atomic<bool>* c = sigint_run.load()) c->store(true);
  if (python_sigint.sa_flags & SA_SIGINFO)
    python_sigint.sa_sigaction(sig, info, context);
  else
    python_sigint.sa_handler(sig);
}

struct Interruptible {
  std::atomic<bool> cancel{false};
  bool main_thread = false, chained = false;
  std::chrono::steady_clock::time_point next;

  explicit Interruptible(zarvo::RunContext& context) {
    py::module_ threading = py::module_::import("threading");
    main_thread = threading.attr("current_thread")().is(threading.attr("main_thread")());
    context.cancel = &cancel;
    if (!main_thread) return;
    context.progress = [this](long, long) {
      const auto now = std::chrono::steady_clock::now();
      if (now < next) return;
      next = now + std::chrono::milliseconds(100);
      py::gil_scoped_acquire gil;
      if (PyErr_CheckSignals() != 0) {
        PyErr_Clear();
        cancel = true;
      }
    };
    py::module_ signal = py::module_::import("signal");
    struct sigaction current {};
    if (!signal.attr("getsignal")(signal.attr("SIGINT")).is(signal.attr("default_int_handler")) ||
        sigaction(SIGINT, nullptr, &current) != 0 || current.sa_handler == SIG_DFL ||
        current.sa_handler == SIG_IGN || sigint_run.load())
      return;
    python_sigint = current;
    struct sigaction ours = current;
    ours.sa_flags |= SA_SIGINFO;
    ours.sa_sigaction = cancel_then_python;
    sigint_run = &cancel;
    chained = sigaction(SIGINT, &ours, nullptr) == 0;
    if (!chained) sigint_run = nullptr;
  }

  // With the GIL held, after the run. A signal the run took (cancelled, or
  // too late to undo a committed set) was answered: Python's note of it is
  // consumed, so that it does not raise once more later.
  ~Interruptible() {
    if (chained) {
      sigaction(SIGINT, &python_sigint, nullptr);
      sigint_run = nullptr;
    }
    if (main_thread && cancel) {
      PyObject *type, *value, *trace;
      PyErr_Fetch(&type, &value, &trace);
      if (PyErr_CheckSignals() != 0) PyErr_Clear();
      PyErr_Restore(type, value, trace);
    }
  }
};

// A given option's value as the engine takes it.
zarvo::OptionValue value_of(const py::handle& v) {
  if (py::isinstance<py::str>(v)) return v.cast<std::string>();
  if (py::isinstance<py::bool_>(v)) return v.cast<bool>() ? 1.0 : 0.0;
  if (py::isinstance<py::int_>(v) || py::isinstance<py::float_>(v)) return v.cast<double>();
  return v.cast<std::vector<double>>();
}

zarvo::GivenOptions given_of(const py::dict& given) {
  zarvo::GivenOptions out;
  for (const auto& item : given)
    out.emplace_back(item.first.cast<std::string>(), value_of(item.second));
  return out;
}

// The engine's options and run context from the given options, an optional
// mask (bytes, nonzero inside) and an optional level map (float64, Fortran
// order), whose view `map` keeps.
struct Engine {
  zarvo::DenoiseOptions options;
  zarvo::RunContext context;
  zarvo::ArrayView map_view;
  zarvo::SeriesInput map;

  Engine(const py::dict& given, const py::object& mask = py::none(),
         const py::object& sigma_map = py::none()) {
    zarvo::apply_options(given_of(given), options, context);
    if (!mask.is_none()) {
      const py::array_t<std::uint8_t, py::array::f_style | py::array::forcecast> m(mask);
      options.mask.assign(m.data(), m.data() + m.size());
      std::vector<int> d(4, 1);
      for (py::ssize_t k = 0; k < m.ndim() && k < 4; ++k) d[k] = static_cast<int>(m.shape(k));
      options.mask_shape = zarvo::Shape{static_cast<int>(m.ndim()), d[0], d[1], d[2], d[3]};
    }
    if (!sigma_map.is_none()) {
      map_view = view_of(sigma_map.cast<py::array>());
      map = zarvo::series_input(map_view);
      options.sigma_map = &map;
    }
  }
};

py::dict params_dict(const zarvo::Params& p, zarvo::Noise noise) {
  py::dict d;
  for (const zarvo::OptionDecl& o : zarvo::option_table()) {
    if (!o.expert) continue;
    const zarvo::OptionValue v = zarvo::expert_value(o, p, noise);
    if (o.kind == zarvo::OptionKind::flag)
      d[o.name] = std::get<double>(v) != 0;
    else if (o.kind == zarvo::OptionKind::whole)
      d[o.name] = static_cast<int>(std::get<double>(v));
    else if (o.kind == zarvo::OptionKind::real)
      d[o.name] = std::get<double>(v);
    else
      d[o.name] = std::get<std::string>(v);
  }
  return d;
}

// The engine's options after the given ones were applied, by their names.
py::dict resolved(const py::dict& given) {
  const Engine e(given);
  const zarvo::DenoiseOptions& o = e.options;
  py::dict d = params_dict(o.params, o.noise);
  d["noise"] = zarvo::noise_name(o.noise);
  d["sigma"] = o.sigma;
  d["sigma_scope"] = zarvo::sigma_scope_name(o.sigma_scope);
  d["series"] = zarvo::series_name(o.series);
  d["basic_only"] = o.basic_only;
  return d;
}

// The declaration of every option, for the package's checks, keyword
// arguments, help and nipype traits.
py::list declarations() {
  static const char* kinds[] = {"whole", "real", "flag", "choice", "levels", "data", "output"};
  py::list out;
  for (const zarvo::OptionDecl& o : zarvo::option_table()) {
    py::list shown;
    for (auto [bit, name] : {std::pair{zarvo::command, "command"},
                             {zarvo::octave, "octave"},
                             {zarvo::python, "python"},
                             {zarvo::nipype, "nipype"}})
      if (o.front_ends & bit) shown.append(name);
    py::dict d;
    d["name"] = o.name;
    d["kind"] = kinds[static_cast<int>(o.kind)];
    d["help"] = o.help;
    d["default"] = zarvo::default_text(o);
    d["min"] = o.min;
    d["max"] = o.max;
    d["choices"] = zarvo::option_choices(o);
    d["expert"] = o.expert;
    d["front_ends"] = shown;
    out.append(d);
  }
  return out;
}

// Events that keep the engine's notes (a thread count it lowered) in
// `notes`, in order.
zarvo::PipelineEvents noting(std::vector<std::string>& notes) {
  zarvo::PipelineEvents events;
  auto guard = std::make_shared<std::mutex>();
  events.note = [&notes, guard](const std::string& text) {
    std::lock_guard<std::mutex> lock(*guard);
    notes.push_back(text);
  };
  return events;
}

py::tuple denoise(const py::array& volume, const py::dict& given, const py::object& mask,
                  const py::object& sigma_map, bool noise_map) {
  const zarvo::ArrayView view = view_of(volume);
  Engine e(given, mask, sigma_map);
  e.options.noise_map = noise_map;
  zarvo::check(view.shape, e.options);
  const zarvo::SeriesInput input = zarvo::series_input(view);
  py::array_t<double> out = column_major(view.shape);
  py::object map = py::none();
  double* map_data = nullptr;
  if (noise_map) {
    py::array_t<double> m = column_major(view.shape);
    map_data = m.mutable_data();
    map = m;
  }
  double* out_data = out.mutable_data();
  const std::size_t n = view.shape.volume_voxels();
  Interruptible interruptible(e.context);
  zarvo::DenoiseReport report;
  std::vector<std::string> notes;
  {
    py::gil_scoped_release free_gil;
    report = zarvo::denoise(
        input, e.options,
        [&](int t, const double* x, const double* m) {
          std::copy(x, x + n, out_data + n * static_cast<std::size_t>(t));
          if (m && map_data) std::copy(m, m + n, map_data + n * static_cast<std::size_t>(t));
        },
        e.context, noting(notes));
  }
  py::list sigma, source, per_group;
  for (const zarvo::VolumeReport& r : report.volumes) {
    sigma.append(r.sigma);
    source.append(zarvo::sigma_source_name(r.source));
    per_group.append(r.per_group);
  }
  py::dict info;
  info["sigma"] = sigma;
  info["sigma_source"] = source;
  info["per_group"] = per_group;
  info["params"] = params_dict(report.params, e.options.noise);
  info["noise"] = zarvo::noise_name(e.options.noise);
  for (const std::string& n : report.notes) notes.push_back(n);
  info["notes"] = notes;
  return py::make_tuple(out, map, info);
}

std::vector<double> estimate_sigma(const py::array& volume, const py::dict& given,
                                   const py::object& mask) {
  const zarvo::ArrayView view = view_of(volume);
  const Engine e(given, mask);
  // The checks of denoising: a level map of Gaussian noise is estimated
  // alike, though only the joint mode filters with one.
  zarvo::DenoiseOptions checked = e.options;
  checked.series = zarvo::SeriesMode::joint;
  zarvo::check(view.shape, checked);
  const int volumes = view.shape.volumes;
  const int threads = zarvo::walk_threads(e.context);
  py::gil_scoped_release free_gil;
  if (e.options.sigma_scope == zarvo::SigmaScope::voxel) {
    if (volumes < 2)
      throw zarvo::Error(
          "sigma_scope voxel estimates a level map from a series of 2 or more "
          "volumes");
    return zarvo::estimate_series_sigma_map(
        zarvo::series_input(view), e.options.noise,
        e.options.mask.empty() ? nullptr : e.options.mask.data(), threads);
  }
  std::vector<double> levels =
      zarvo::estimate_sigmas(zarvo::series_input(view), e.options.noise, e.options.sigma_scope,
                             e.options.mask.empty() ? nullptr : e.options.mask.data(), threads);
  if (levels.size() == 1) levels.assign(static_cast<std::size_t>(volumes), levels[0]);
  return levels;
}

// ---- the joint series mode in phases (zarvo.batch spreads its components) ---

zarvo::SigmaSource source_named(const std::string& name) {
  for (zarvo::SigmaSource k : {zarvo::SigmaSource::given, zarvo::SigmaSource::estimated,
                               zarvo::SigmaSource::map, zarvo::SigmaSource::estimated_map})
    if (name == zarvo::sigma_source_name(k)) return k;
  throw zarvo::Error("'" + name + "' is not a source of a noise level");
}

// The plan as plain values (lists, bytes, an array), sent between
// processes, with the series' shape.
py::dict plan_dict(const zarvo::JointPlan& p, const zarvo::Shape& s) {
  py::list sigma, source;
  for (const zarvo::VolumeReport& r : p.volumes) {
    sigma.append(r.sigma);
    source.append(zarvo::sigma_source_name(r.source));
  }
  py::dict d;
  d["shape"] = std::vector<int>{s.rows, s.cols, s.slices, s.volumes, s.ndims};
  d["sigma"] = sigma;
  d["sigma_source"] = source;
  d["pooled"] = p.pooled;
  d["level_map"] =
      py::array_t<double>(static_cast<py::ssize_t>(p.level_map.size()), p.level_map.data());
  d["axes"] = p.axes;
  d["moments"] = p.moments;
  d["smooth_from"] = p.smooth_from;
  return d;
}

zarvo::JointPlan plan_of(const py::dict& d, zarvo::Shape& s) {
  const std::vector<int> shape = d["shape"].cast<std::vector<int>>();
  if (shape.size() != 5) throw zarvo::Error("the joint plan's shape is not of a series");
  s = zarvo::Shape{shape[4], shape[0], shape[1], shape[2], shape[3]};
  zarvo::JointPlan p;
  const auto sigma = d["sigma"].cast<std::vector<double>>();
  const auto source = d["sigma_source"].cast<std::vector<std::string>>();
  if (source.size() != sigma.size()) throw zarvo::Error("the joint plan's levels do not match");
  for (std::size_t t = 0; t < sigma.size(); ++t) {
    zarvo::VolumeReport r;
    r.sigma = sigma[t];
    r.source = source_named(source[t]);
    p.volumes.push_back(r);
  }
  p.pooled = d["pooled"].cast<bool>();
  const py::array_t<double, py::array::forcecast> map(d["level_map"]);
  p.level_map.assign(map.data(), map.data() + map.size());
  p.axes = d["axes"].cast<std::vector<double>>();
  p.moments = d["moments"].cast<std::vector<double>>();
  p.smooth_from = d["smooth_from"].cast<int>();
  return p;
}

// One region of the series between the phases: a writable, C-contiguous
// float32 array of volumes x voxels floats (of any shape; a numpy.memmap of
// a file).
float* region_of(py::array& a, const zarvo::Shape& s) {
  if (!py::isinstance<py::array_t<float>>(a) || !(a.flags() & py::array::c_style) || !a.writeable())
    throw py::type_error("internal: a joint region must be a writable C-contiguous float32 array");
  const std::size_t size = s.volume_voxels() * static_cast<std::size_t>(s.volumes);
  if (static_cast<std::size_t>(a.size()) != size)
    throw zarvo::Error("the joint region holds " + std::to_string(a.size()) +
                       " floats, not the series' " + std::to_string(size));
  return static_cast<float*>(a.mutable_data());
}

py::dict joint_prepare(const py::array& volume, const py::dict& given, const py::object& mask,
                       py::array prepared, py::array filtered,
                       const py::object& sigma_map = py::none()) {
  const zarvo::ArrayView view = view_of(volume);
  const Engine e(given, mask, sigma_map);
  float* in = region_of(prepared, view.shape);
  float* out = region_of(filtered, view.shape);
  zarvo::JointPlan plan;
  std::vector<std::string> notes;
  {
    py::gil_scoped_release free_gil;
    plan = zarvo::joint_prepare(zarvo::series_input(view), e.options, in, out, e.context,
                                noting(notes));
  }
  py::dict d = plan_dict(plan, view.shape);
  d["told"] = notes;  // the engine's notes, for the file's
  return d;
}

// The output, float64 in the input's shape (Fortran order).
py::array_t<double> joint_finish(const py::array& volume, const py::dict& given,
                                 const py::object& mask, const py::dict& plan, py::array prepared,
                                 py::array filtered, const py::object& sigma_map = py::none()) {
  const zarvo::ArrayView view = view_of(volume);
  const Engine e(given, mask, sigma_map);
  zarvo::Shape s;
  const zarvo::JointPlan p = plan_of(plan, s);
  float* in = region_of(prepared, view.shape);
  float* out_region = region_of(filtered, view.shape);
  py::array_t<double> out = column_major(view.shape);
  double* out_data = out.mutable_data();
  const std::size_t n = view.shape.volume_voxels();
  py::gil_scoped_release free_gil;
  zarvo::joint_finish(
      zarvo::series_input(view), e.options, p, in, out_region,
      [&](int t, const double* x, const double*) {
        std::copy(x, x + n, out_data + n * static_cast<std::size_t>(t));
      },
      e.context);
  return out;
}

// ---- files, read and written by the I/O library ---------------------------

py::array_t<double> read_nifti(const std::string& path) {
  zarvo::cli::Image im;
  {
    py::gil_scoped_release free_gil;
    im = zarvo::cli::read_image(path, "input");
  }
  zarvo::Shape s{im.ndim, im.nx, im.ny, im.nz, im.nt};
  py::array_t<double> out = column_major(s);
  double* data = out.mutable_data();
  py::gil_scoped_release free_gil;
  for (int t = 0; t < im.nt; ++t) im.read_volume(t, data + im.volume_voxels() * t);
  return out;
}

// The mask file of a run on `like`, read and checked as a file run does
// it: uint8, 1 inside, of the input's spatial shape (Fortran order), and
// the run's notes about it (taken despite another affine).
py::tuple read_mask(const std::string& path, const std::string& like, bool allow_affine) {
  std::vector<unsigned char> mask;
  std::vector<std::string> notes;
  zarvo::cli::Image input;
  {
    py::gil_scoped_release free_gil;
    input = zarvo::cli::read_image(like, "input");
    zarvo::cli::read_mask(path, input, allow_affine, mask, notes);
  }
  py::array_t<std::uint8_t, py::array::f_style> out({input.nx, input.ny, input.nz});
  std::copy(mask.begin(), mask.end(), out.mutable_data());
  return py::make_tuple(out, notes);
}

// The noise level map file of a run on `like`, read and checked as a file
// run does it: float64 in the map's shape (Fortran order), and the run's
// notes about it.
py::tuple read_level_map(const std::string& path, const std::string& like, bool allow_affine) {
  std::vector<std::string> notes;
  zarvo::cli::Image map;
  {
    py::gil_scoped_release free_gil;
    const zarvo::cli::Image input = zarvo::cli::read_image(like, "input");
    map = zarvo::cli::read_level_map(path, input, allow_affine, notes);
  }
  py::array_t<double> out = column_major(zarvo::cli::shape_of(map));
  double* data = out.mutable_data();
  {
    py::gil_scoped_release free_gil;
    for (int t = 0; t < map.nt; ++t) map.read_volume(t, data + map.volume_voxels() * t);
  }
  return py::make_tuple(out, notes);
}

// Writes `data` (the input's shape) with the input's header, as a file run
// writes its output and through the same output set: never over an input
// of the run (the same file under any name or link), a temporary flushed
// and renamed into place, a backup of the file it replaces until then (the
// caller decides with `force` whether one may be replaced); datatype None:
// the I/O library's default.
void write_nifti(const std::string& path, const std::string& like_path, const py::array& data,
                 const py::object& datatype, const std::string& description, bool force) {
  const auto type = datatype.is_none() ? zarvo::cli::FileRequest().datatype
                                       : zarvo::cli::parse_datatype(datatype.cast<std::string>());
  py::array_t<double, py::array::f_style | py::array::forcecast> a(data);
  std::vector<double> values(a.data(), a.data() + a.size());
  py::gil_scoped_release free_gil;
  zarvo::cli::OutputSet outputs(force);
  outputs.add_input(like_path, "input");
  outputs.add_output(path, "output");
  outputs.check();
  const zarvo::cli::Image like = zarvo::cli::read_image(like_path, "input");
  for (const std::string& f : like.files) outputs.add_input(f, "input");
  outputs.check();
  if (values.size() != static_cast<std::size_t>(like.nim->nvox))
    throw zarvo::Error("the data has " + std::to_string(values.size()) + " voxels but '" +
                       like_path + "' has " + std::to_string(like.nim->nvox));
  zarvo::cli::ImageEncoder encoded(like, type);
  encoded.put(0, values.data(), values.size());
  outputs.write(path, [&](const std::string& temp) {
    zarvo::cli::write_image_file(temp, path, like, encoded, description);
  });
  outputs.commit();
}

// The sidecar and the NIfTI description a file run writes, for an output
// assembled from volumes denoised apart (zarvo.batch): the options, the
// input's shape and the level of every volume.
zarvo::DenoiseReport assembled_run(const Engine& e, const std::vector<int>& shape,
                                   const std::vector<double>& levels, bool pooled,
                                   const std::string& source) {
  zarvo::DenoiseReport report;
  // The parameters as a file run uses them on this shape.
  zarvo::Shape s;
  s.ndims = static_cast<int>(shape.size());
  s.rows = shape[0];
  s.cols = shape.size() > 1 ? shape[1] : 1;
  s.slices = shape.size() > 2 ? shape[2] : 1;
  report.params = zarvo::used_params(s, e.options.params);
  report.pooled = pooled;
  for (double v : levels) {
    zarvo::VolumeReport r;
    r.sigma = v;
    r.source = source_named(source);
    report.volumes.push_back(r);
  }
  return report;
}

py::tuple record(const py::dict& given, const std::vector<int>& shape,
                 const std::vector<double>& levels, bool pooled, const std::string& source,
                 const std::string& command_line) {
  const Engine e(given);
  const zarvo::DenoiseReport report = assembled_run(e, shape, levels, pooled, source);
  zarvo::cli::SidecarFacts facts;
  facts.command_line = command_line;
  facts.noise = e.options.noise;
  facts.basic_only = e.options.basic_only;
  return py::make_tuple(zarvo::cli::sidecar_json(facts, report), zarvo::cli::description(report));
}

// One file denoised into another by the I/O library, as the command does it.
// `files`: input, output, mask (a file or None), datatype (None: the
// library's default), force, command_line; noise_map, report and residual
// (files to write too, or None) may be left out.
// A BIDS dataset's jobs, as io/bids plans them for the command.
py::list bids_plan(const std::string& bids_dir, const std::string& out_dir,
                   const std::vector<std::string>& participants,
                   const std::vector<std::string>& datatypes, const std::string& desc) {
  zarvo::bids::Request request{bids_dir, out_dir, participants, datatypes, desc};
  py::list jobs;
  for (const zarvo::bids::Job& j : zarvo::bids::plan(request)) {
    py::dict d;
    d["subject"] = j.subject;
    d["datatype"] = j.datatype;
    d["input"] = j.input;
    d["relative"] = j.relative;
    d["output"] = j.output;
    d["source"] = j.source;
    d["metadata"] = j.metadata.dump();
    jobs.append(d);
  }
  return jobs;
}

std::string bids_description(const std::string& bids_dir, const std::string& out_dir) {
  zarvo::bids::Request request;
  request.bids_dir = bids_dir;
  request.out_dir = out_dir;
  return zarvo::bids::dataset_description(request, zarvo::cli::version()).dump(2) + "\n";
}

py::dict denoise_file(const py::dict& given, const py::dict& files) {
  zarvo::cli::FileRequest r;
  Engine e(given);
  r.options = e.options;
  r.input = files["input"].cast<std::string>();
  r.output = files["output"].cast<std::string>();
  if (!files["mask"].is_none()) r.mask = files["mask"].cast<std::string>();
  if (!files["sigma_map"].is_none()) r.sigma_map = files["sigma_map"].cast<std::string>();
  auto optional_file = [&files](const char* name) {
    return files.contains(name) && !files[name].is_none() ? files[name].cast<std::string>()
                                                          : std::string();
  };
  r.noise_map = optional_file("noise_map");
  r.report = optional_file("report");
  r.residual = optional_file("residual");
  if (!files["datatype"].is_none())
    r.datatype = zarvo::cli::parse_datatype(files["datatype"].cast<std::string>());
  r.force = files["force"].cast<bool>();
  r.command_line = files["command_line"].cast<std::string>();
  if (files.contains("sources")) r.sources = files["sources"].cast<std::vector<std::string>>();
  if (files.contains("metadata")) r.metadata = files["metadata"].cast<std::string>();
  Interruptible interruptible(e.context);
  zarvo::cli::FileResult result;
  try {
    py::gil_scoped_release free_gil;
    result = zarvo::cli::denoise_file(r, e.context);
  } catch (const zarvo::Cancelled&) {
    throw;
  } catch (const std::runtime_error&) {
    // The output set taken back because of the interrupt: all old.
    if (interruptible.cancel) throw zarvo::Cancelled();
    throw;
  }
  py::list sigma;
  for (const zarvo::VolumeReport& v : result.report.volumes) sigma.append(v.sigma);
  py::dict out;
  out["sidecar"] = result.sidecar;
  out["sigma"] = sigma;
  out["notes"] = zarvo::cli::all_notes(result);
  return out;
}

// The QC page of such an output: `data` every volume, the input's shape.
std::string report_page(const py::dict& given, const std::string& input, const std::string& output,
                        const py::array& data, const std::vector<double>& levels, bool pooled,
                        const std::string& source, const std::string& command_line,
                        double seconds) {
  const Engine e(given);
  zarvo::cli::FileRequest r;
  r.options = e.options;
  r.input = input;
  r.output = output;
  r.report = output;  // only asked for; the caller writes the page
  r.command_line = command_line;
  py::array_t<double, py::array::f_style | py::array::forcecast> a(data);
  std::vector<double> values(a.data(), a.data() + a.size());
  py::gil_scoped_release free_gil;
  const zarvo::cli::Image im = zarvo::cli::read_image(input, "input");
  const std::vector<int> shape = {im.nx, im.ny, im.nz, im.nt};
  return zarvo::cli::report_page(r, im, values, assembled_run(e, shape, levels, pooled, source),
                                 seconds);
}

// An output assembled from volumes denoised apart (zarvo.batch), with its
// QC page and sidecar, committed as one output set (see write_assembled).
// `files`: input, output, report (or None), datatype (None: the library's
// default), force, command_line. `told`: the engine's notes from the parts;
// `read_notes`: those of the mask and level map files. `plan`: the joint
// plan the output was finished on (None: volumes denoised apart), whose
// series decides the parameters the stages used and what the run tells
// after its work. Returns the sidecar's path and the file's notes, as a
// file run gives them.
py::dict write_assembled(const py::dict& given, const py::dict& files, const py::array& data,
                         const std::vector<double>& levels, bool pooled, const std::string& source,
                         double seconds, const py::object& mask,
                         const std::vector<std::string>& told,
                         const std::vector<std::string>& read_notes, const py::object& plan) {
  const Engine e(given, mask);
  zarvo::JointPlan joint;
  if (!plan.is_none()) {
    zarvo::Shape s;
    joint = plan_of(plan.cast<py::dict>(), s);
  }
  zarvo::cli::FileRequest r;
  r.options = e.options;
  r.input = files["input"].cast<std::string>();
  r.output = files["output"].cast<std::string>();
  // Optional: the mask's path (its voxels in `mask`), the level map's (an
  // input of the set, listed on the page), and the sidecar's sources and
  // metadata as a file run takes them.
  if (files.contains("mask") && !files["mask"].is_none())
    r.mask = files["mask"].cast<std::string>();
  if (files.contains("sigma_map") && !files["sigma_map"].is_none())
    r.sigma_map = files["sigma_map"].cast<std::string>();
  if (files.contains("sources") && !files["sources"].is_none())
    r.sources = files["sources"].cast<std::vector<std::string>>();
  if (files.contains("metadata") && !files["metadata"].is_none())
    r.metadata = files["metadata"].cast<std::string>();
  if (!files["report"].is_none()) r.report = files["report"].cast<std::string>();
  if (!files["datatype"].is_none())
    r.datatype = zarvo::cli::parse_datatype(files["datatype"].cast<std::string>());
  r.force = files["force"].cast<bool>();
  r.command_line = files["command_line"].cast<std::string>();
  py::array_t<double, py::array::f_style | py::array::forcecast> a(data);
  std::vector<double> values(a.data(), a.data() + a.size());
  zarvo::cli::FileResult result;
  {
    py::gil_scoped_release free_gil;
    const zarvo::cli::Image like = zarvo::cli::read_image(r.input, "input");
    const std::vector<int> shape = {like.nx, like.ny, like.nz, like.nt};
    zarvo::DenoiseReport run = assembled_run(e, shape, levels, pooled, source);
    if (!plan.is_none()) {
      run.params = zarvo::joint_params(run.params, joint);
      run.notes = zarvo::joint_notes(joint);
    }
    result = zarvo::cli::write_assembled(r, values, run, seconds, told, read_notes);
  }
  py::dict out;
  out["sidecar"] = result.sidecar;
  out["notes"] = zarvo::cli::all_notes(result);
  return out;
}

// A text file written through an output set (an index page): never over
// one of `inputs`, a backup of the file it replaces (only with `force`)
// until the new one is flushed and in place.
void write_text(const std::string& path, const std::string& text, bool force,
                const std::vector<std::string>& inputs, const std::string& role) {
  py::gil_scoped_release free_gil;
  zarvo::cli::OutputSet outputs(force);
  for (const std::string& in : inputs) outputs.add_input(in, "input");
  outputs.add_output(path, role, false);
  outputs.check();
  outputs.write(path,
                [&](const std::string& temp) { zarvo::cli::write_text_file(temp, path, text); });
  outputs.commit();
}

// For tests: the output set's fault hook from Python. The `count`-th step
// named `step` (as in OutputSet::Step: "create", "rename", ...) fails with
// `error` (an errno); step None removes the hook.
void set_fault(const py::object& step, int count, int error) {
  using Step = zarvo::cli::OutputSet::Step;
  if (step.is_none()) {
    zarvo::cli::OutputSet::set_fault_hook({});
    return;
  }
  const std::string name = step.cast<std::string>();
  const std::pair<const char*, Step> steps[] = {{"create", Step::create},
                                                {"sync_file", Step::sync_file},
                                                {"lock", Step::lock},
                                                {"backup_link", Step::backup_link},
                                                {"backup_copy", Step::backup_copy},
                                                {"sync_folder", Step::sync_folder},
                                                {"rename", Step::rename},
                                                {"restore", Step::restore},
                                                {"remove_backup", Step::remove_backup}};
  const Step* chosen = nullptr;
  for (const auto& s : steps)
    if (name == s.first) chosen = &s.second;
  if (!chosen) throw zarvo::Error("unknown step '" + name + "'");
  auto seen = std::make_shared<std::atomic<int>>(0);
  zarvo::cli::OutputSet::set_fault_hook(
      [want = *chosen, seen, count, error](Step s, const std::string&) {
        return s == want && ++*seen == count ? error : 0;
      });
}

// The output set's checks of names and identities (links resolved, device
// and inode) for files written outside denoise_file (a batch's spread
// series); existing outputs are the caller's to protect.
void check_paths(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
  zarvo::cli::OutputSet set(true);
  for (const std::string& in : inputs) set.add_input(in, "input");
  for (const std::string& out : outputs) set.add_output(out, "output", false);
  set.check();
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "zarvo engine binding (use the zarvo package, not this module)";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const zarvo::Cancelled&) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const zarvo::Error& e) {
      std::string text = e.what();
      if (text.find("give the noise level") != std::string::npos) text += " (sigma=...)";
      PyErr_SetString(PyExc_ValueError, text.c_str());
    } catch (const std::logic_error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::runtime_error& e) {
      // The I/O library's file errors: a one-line message naming the file.
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });
  m.def("denoise", &denoise, py::arg("volume"), py::arg("given"), py::arg("mask"),
        py::arg("sigma_map"), py::arg("noise_map"));
  m.def("estimate_sigma", &estimate_sigma, py::arg("volume"), py::arg("given"), py::arg("mask"));
  m.def("record", &record, py::arg("given"), py::arg("shape"), py::arg("levels"), py::arg("pooled"),
        py::arg("source"), py::arg("command_line"));
  m.def("resolved", &resolved, py::arg("given"));
  m.def("options", &declarations);
  m.def("profile_table", [] { return std::string(zarvo::profile_table()); });
  m.def("threads", [](const py::dict& given) {
    const Engine e(given);
    return zarvo::choose_threads(e.context.threads).threads;
  });
  m.def("datatypes", [] {
    std::vector<std::string> names;
    for (zarvo::cli::DataType t : zarvo::cli::datatypes())
      names.push_back(zarvo::cli::datatype_name(t));
    return py::make_tuple(names, zarvo::cli::datatype_name(zarvo::cli::FileRequest().datatype));
  });
  m.def("read_nifti", &read_nifti, py::arg("path"));
  m.def("read_mask", &read_mask, py::arg("path"), py::arg("like"), py::arg("allow_affine"));
  m.def("read_level_map", &read_level_map, py::arg("path"), py::arg("like"),
        py::arg("allow_affine"));
  m.def("joint_prepare", &joint_prepare, py::arg("volume"), py::arg("given"), py::arg("mask"),
        py::arg("prepared"), py::arg("filtered"), py::arg("sigma_map") = py::none());
  m.def("joint_finish", &joint_finish, py::arg("volume"), py::arg("given"), py::arg("mask"),
        py::arg("plan"), py::arg("prepared"), py::arg("filtered"),
        py::arg("sigma_map") = py::none());
  m.def("write_nifti", &write_nifti, py::arg("path"), py::arg("like"), py::arg("data"),
        py::arg("datatype"), py::arg("description"), py::arg("force") = true);
  m.def("denoise_file", &denoise_file, py::arg("given"), py::arg("files"));
  m.def("bids_plan", &bids_plan, py::arg("bids_dir"), py::arg("out_dir"), py::arg("participants"),
        py::arg("datatypes"), py::arg("desc"));
  m.def("bids_description", &bids_description, py::arg("bids_dir"), py::arg("out_dir"));
  m.def("check_paths", &check_paths, py::arg("inputs"), py::arg("outputs"));
  m.def("write_assembled", &write_assembled, py::arg("given"), py::arg("files"), py::arg("data"),
        py::arg("levels"), py::arg("pooled"), py::arg("source"), py::arg("seconds"),
        py::arg("mask") = py::none(), py::arg("told") = std::vector<std::string>(),
        py::arg("read_notes") = std::vector<std::string>(), py::arg("plan") = py::none());
  m.def("write_text", &write_text, py::arg("path"), py::arg("text"), py::arg("force"),
        py::arg("inputs"), py::arg("role"));
  m.def("_set_fault", &set_fault, py::arg("step"), py::arg("count") = 1, py::arg("error") = 5);
  m.def("report_page", &report_page, py::arg("given"), py::arg("input"), py::arg("output"),
        py::arg("data"), py::arg("levels"), py::arg("pooled"), py::arg("source"),
        py::arg("command_line"), py::arg("seconds"));
  m.attr("version") = ZARVO_VERSION;
}
