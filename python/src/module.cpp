// zarvo._core: the engine and the command's file path for Python. The Python
// package (python/zarvo) checks and normalises its arguments and passes them
// here as one dict of options; to_options() is the one place that maps them
// onto the engine's DenoiseOptions.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "commands.h"
#include "io/nifti_io.h"
#include "io/sidecar.h"
#include "threads.h"
#include "zarvo/pipeline.h"

namespace py = pybind11;

namespace {

const char* source_name(zarvo::SigmaSource s) {
  switch (s) {
    case zarvo::SigmaSource::given: return "given";
    case zarvo::SigmaSource::estimated: return "estimated";
    case zarvo::SigmaSource::map: return "map";
  }
  return "?";
}

const char* estimate_name(zarvo::Estimate e) {
  return e == zarvo::Estimate::group ? "group" : "volume";
}

zarvo::Noise parse_noise(const std::string& text) {
  if (text == "gaussian") return zarvo::Noise::gaussian;
  if (text == "rician") return zarvo::Noise::rician;
  throw zarvo::Error("noise model '" + text + "' is neither gaussian nor rician");
}

// The profile with the expert overrides applied, as the command does it.
// The profile with the overrides applied by the engine's own names and
// checks (the command's expert options without their dashes).
zarvo::Params make_params(const std::string& profile, const py::dict& overrides) {
  zarvo::Params p = zarvo::profile(profile);
  for (const auto& item : overrides) {
    const std::string key = py::cast<std::string>(item.first);
    if (py::isinstance<py::str>(item.second))
      zarvo::set_parameter(p, key, py::cast<std::string>(item.second));
    else
      zarvo::set_parameter(p, key, py::cast<double>(item.second));
  }
  return p;
}

py::dict params_dict(const zarvo::Params& p) {
  py::dict d;
  d["cube"] = p.cube;
  d["depth"] = p.depth;
  d["step"] = p.step;
  d["search"] = p.search;
  d["group1"] = p.group1;
  d["group2"] = p.group2;
  d["lambda"] = p.lambda;
  d["tau1"] = p.tau1;
  d["tau2"] = p.tau2;
  d["alpha"] = p.alpha;
  d["soft"] = p.soft;
  d["synchronous"] = p.synchronous;
  d["estimate_gaussian"] = estimate_name(p.estimate_gaussian);
  d["estimate_rician"] = estimate_name(p.estimate_rician);
  return d;
}

// The options of one run: noise, profile, overrides, sigma (a list, empty to
// estimate), basic_only, noise_map. New engine options get one line here.
zarvo::DenoiseOptions to_options(const py::dict& o) {
  zarvo::DenoiseOptions options;
  options.noise = parse_noise(o["noise"].cast<std::string>());
  options.params = make_params(o["profile"].cast<std::string>(), o["overrides"].cast<py::dict>());
  options.sigma = o["sigma"].cast<std::vector<double>>();
  options.sigma_scope =
      o["sigma_scope"].cast<std::string>() == "volume" ? zarvo::SigmaScope::volume
                                                       : zarvo::SigmaScope::series;
  if (!o["mask"].is_none()) {
    const py::array_t<std::uint8_t, py::array::f_style | py::array::forcecast> m(o["mask"]);
    options.mask.assign(m.data(), m.data() + m.size());
    std::vector<int> d(4, 1);
    for (py::ssize_t k = 0; k < m.ndim() && k < 3; ++k) d[k] = static_cast<int>(m.shape(k));
    options.mask_shape = zarvo::Shape{static_cast<int>(m.ndim()), d[0], d[1], d[2],
                                      m.ndim() > 3 ? static_cast<int>(m.shape(3)) : 1};
  }
  options.basic_only = o["basic_only"].cast<bool>();
  options.noise_map = o["noise_map"].cast<bool>();
  return options;
}

// None: $ZARVO_THREADS, else every core; clamped as the command clamps.
int threads_of(const py::object& threads) {
  const int asked = zarvo::cli::requested_threads(threads.is_none() ? -1 : threads.cast<int>());
  return zarvo::cli::choose_threads(asked).threads;
}

// A view of a float32 or float64 array with element strides (the Python side
// copies anything else). More than 4 dimensions keep their count in `ndims`
// so that the engine's check names the problem.
zarvo::ArrayView view_of(const py::array& a) {
  zarvo::ArrayView v;
  const py::ssize_t item = a.itemsize();
  if (py::isinstance<py::array_t<double>>(a)) v.type = zarvo::ElementType::float64;
  else if (py::isinstance<py::array_t<float>>(a)) v.type = zarvo::ElementType::float32;
  else throw py::type_error("internal: the array must be float32 or float64");
  v.data = a.data();
  v.shape.ndims = static_cast<int>(a.ndim());
  int* dims[4] = {&v.shape.rows, &v.shape.cols, &v.shape.slices, &v.shape.volumes};
  for (py::ssize_t k = 0; k < a.ndim() && k < 4; ++k) {
    if (a.shape(k) > 2147483647) throw zarvo::Error("is larger than 65535 voxels along a spatial axis");
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

// Ctrl-C during a run: the engine reports progress on the calling thread, so
// when that is Python's main thread the progress callback lets Python look at
// its signals (at most every 0.1 s: taking the GIL may wait for another
// thread) and cancels the run when a handler raised (KeyboardInterrupt).
struct Interruptible {
  std::atomic<bool> cancel{false};
  bool main_thread = false;
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
  }
};

py::tuple denoise(const py::array& volume, const py::dict& opts, const py::object& threads) {
  const zarvo::ArrayView view = view_of(volume);
  const zarvo::DenoiseOptions options = to_options(opts);
  zarvo::check(view.shape, options);
  const zarvo::SeriesInput input = zarvo::series_input(view);
  py::array_t<double> out = column_major(view.shape);
  py::object map = py::none();
  double* map_data = nullptr;
  if (options.noise_map) {
    py::array_t<double> m = column_major(view.shape);
    map_data = m.mutable_data();
    map = m;
  }
  double* out_data = out.mutable_data();
  const std::size_t n = view.shape.volume_voxels();
  zarvo::RunContext context;
  context.threads = threads_of(threads);
  Interruptible interruptible(context);
  zarvo::DenoiseReport report;
  {
    py::gil_scoped_release free_gil;
    report = zarvo::denoise(input, options, [&](int t, const double* e, const double* m) {
      std::copy(e, e + n, out_data + n * static_cast<std::size_t>(t));
      if (m && map_data) std::copy(m, m + n, map_data + n * static_cast<std::size_t>(t));
    }, context);
  }
  py::list sigma, source, per_group;
  for (const zarvo::VolumeReport& r : report.volumes) {
    sigma.append(r.sigma);
    source.append(source_name(r.source));
    per_group.append(r.per_group);
  }
  py::dict info;
  info["sigma"] = sigma;
  info["sigma_source"] = source;
  info["per_group"] = per_group;
  info["params"] = params_dict(report.params);
  return py::make_tuple(out, map, info);
}

std::vector<double> estimate_sigma(const py::array& volume, const py::dict& o) {
  const zarvo::ArrayView view = view_of(volume);
  const zarvo::DenoiseOptions options = to_options(o);
  zarvo::check(view.shape, options);
  const int volumes = view.shape.volumes;
  py::gil_scoped_release free_gil;
  std::vector<double> levels = zarvo::estimate_sigmas(
      zarvo::series_input(view), options.noise, options.sigma_scope,
      options.mask.empty() ? nullptr : options.mask.data());
  if (levels.size() == 1) levels.assign(static_cast<std::size_t>(volumes), levels[0]);
  return levels;
}

// ---- files, read and written by the command's own code --------------------

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

// Writes `data` (the input's shape) with the input's header, as the command
// writes its output.
void write_nifti(const std::string& path, const std::string& like_path, const py::array& data,
                 const std::string& datatype, const std::string& description) {
  const auto type = zarvo::cli::parse_datatype(datatype);
  py::array_t<double, py::array::f_style | py::array::forcecast> a(data);
  std::vector<double> values(a.data(), a.data() + a.size());
  py::gil_scoped_release free_gil;
  const zarvo::cli::Image like = zarvo::cli::read_image(like_path, "input");
  if (values.size() != static_cast<std::size_t>(like.nim->nvox))
    throw zarvo::Error("the data has " + std::to_string(values.size()) + " voxels but '" +
                       like_path + "' has " + std::to_string(like.nim->nvox));
  zarvo::cli::write_image(path, like, values, type, description);
}

// The sidecar and the NIfTI description the command writes, for an output
// assembled from volumes denoised apart (zarvo.batch): the options, the
// input's shape and the level of every volume.
py::tuple record(const py::dict& o, const std::vector<int>& shape, const std::vector<double>& levels,
                 bool pooled, const std::string& source, const std::string& command_line) {
  zarvo::DenoiseReport report;
  report.params = make_params(o["profile"].cast<std::string>(), o["overrides"].cast<py::dict>());
  if (shape.size() > 2 && report.params.depth > shape[2]) report.params.depth = shape[2];
  const int small = std::min(shape[0], shape.size() > 1 ? shape[1] : shape[0]);
  if (report.params.cube > small) report.params.cube = small;
  report.pooled = pooled;
  for (double v : levels) {
    zarvo::VolumeReport r;
    r.sigma = v;
    r.source = source == "given" ? zarvo::SigmaSource::given : zarvo::SigmaSource::estimated;
    report.volumes.push_back(r);
  }
  zarvo::cli::SidecarFacts facts;
  facts.command_line = command_line;
  facts.noise = parse_noise(o["noise"].cast<std::string>());
  facts.basic_only = o["basic_only"].cast<bool>();
  return py::make_tuple(zarvo::cli::sidecar_json(facts, report), zarvo::cli::description(report));
}

// `zarvo denoise` itself, on the command's code path.
void run_denoise(const py::dict& o, const py::object& threads) {
  zarvo::cli::DenoiseOptions d;
  d.input = o["input"].cast<std::string>();
  d.output = o["output"].cast<std::string>();
  d.noise = o["noise"].cast<std::string>();
  d.sigma = o["sigma"].cast<std::string>();
  d.noise_map = o["noise_map_file"].cast<std::string>();
  d.datatype = o["datatype"].cast<std::string>();
  d.params = make_params(o["profile"].cast<std::string>(), o["overrides"].cast<py::dict>());
  d.basic_only = o["basic_only"].cast<bool>();
  d.force = o["force"].cast<bool>();
  d.quiet = true;
  d.command_line = o["command_line"].cast<std::string>();
  d.sigma_scope = o["sigma_scope"].cast<std::string>();
  if (!o["mask_file"].is_none()) d.mask = o["mask_file"].cast<std::string>();
  const int count = threads_of(threads);
  d.use_threads = [count](long) { return count; };
  py::gil_scoped_release free_gil;
  zarvo::cli::run_denoise(d);
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
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::logic_error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::runtime_error& e) {
      // The command's file errors: a one-line message naming the file.
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });
  m.def("denoise", &denoise, py::arg("volume"), py::arg("options"), py::arg("threads"));
  m.def("estimate_sigma", &estimate_sigma, py::arg("volume"), py::arg("options"));
  m.def("record", &record, py::arg("options"), py::arg("shape"), py::arg("levels"),
        py::arg("pooled"), py::arg("source"), py::arg("command_line"));
  m.def("params", [](const std::string& profile, const py::dict& overrides) {
    return params_dict(make_params(profile, overrides));
  });
  m.def("profile_names", [] {
    std::vector<std::string> names;
    for (const auto& p : zarvo::profiles()) names.push_back(p.name);
    return names;
  });
  m.def("profile_table", [] { return std::string(zarvo::profile_table()); });
  m.def("threads", [](const py::object& t) { return threads_of(t); });
  m.def("read_nifti", &read_nifti, py::arg("path"));
  m.def("write_nifti", &write_nifti, py::arg("path"), py::arg("like"), py::arg("data"),
        py::arg("datatype"), py::arg("description"));
  m.def("run_denoise", &run_denoise, py::arg("options"), py::arg("threads"));
  m.attr("version") = ZARVO_VERSION;
}
