#include "io/sidecar.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "io/bval.h"
#include "zarvo/options.h"

namespace zarvo::cli {

const char* version() { return ZARVO_VERSION; }

namespace {

std::string absolute(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

nlohmann::ordered_json object_of(const std::string& text) {
  if (text.empty()) return nlohmann::ordered_json::object();
  return nlohmann::ordered_json::parse(text, nullptr, false);
}

}  // namespace

std::string source_metadata(const std::string& given, const std::string& input, std::string& note) {
  note.clear();
  if (!given.empty()) {
    if (!object_of(given).is_object()) throw Error("the source's metadata is not a JSON object");
    return given;
  }
  const std::string own = input.empty() ? "" : sidecar_name(input);
  std::error_code ec;
  if (own.empty() || !std::filesystem::is_regular_file(own, ec)) return {};
  std::ifstream in(own);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!object_of(text).is_object()) {
    note =
        "the input's sidecar '" + own + "' is not a JSON object: its metadata is not carried over";
    return {};
  }
  return text;
}

std::string sidecar_json(const SidecarFacts& f, const DenoiseReport& r) {
  nlohmann::ordered_json j = object_of(f.metadata);
  if (!j.is_object()) j = nlohmann::ordered_json::object();
  // Fields of an earlier run of ours (a denoised image denoised again) are
  // replaced below, not kept beside the new ones.
  for (const char* ours : {"Sources", "RicianBiasRemoved"}) j.erase(ours);
  nlohmann::json sources = nlohmann::json::array();
  for (const std::string& s : f.sources) sources.push_back(s);
  if (f.sources.empty() && !f.input.empty()) sources.push_back(absolute(f.input));
  j["Sources"] = sources;
  // The Rician stages invert the stabilisation without bias: the output
  // estimates the underlying signal, not the magnitude's mean.
  j["RicianBiasRemoved"] = f.noise == Noise::rician;
  j["zarvo_version"] = version();
  j["input"] = absolute(f.input);
  j["command_line"] = f.command_line;
  j["noise_model"] = noise_name(f.noise);
  j["series_mode"] = series_name(f.series);
  nlohmann::json levels = nlohmann::json::array();
  for (const VolumeReport& v : r.volumes) levels.push_back(v.sigma);
  j["noise_sigma"] = levels;
  const SigmaSource source = r.volumes.empty() ? SigmaSource::given : r.volumes.front().source;
  j["sigma_source"] = sigma_source_name(source);
  j["sigma_scope"] = sigma_scope_name(source == SigmaSource::estimated_map ? SigmaScope::voxel
                                      : r.pooled                           ? SigmaScope::series
                                                                           : SigmaScope::volume);
  j["mask"] = f.mask.empty() ? nlohmann::json(nullptr) : nlohmann::json(absolute(f.mask));
  nlohmann::ordered_json parameters;
  for (const OptionDecl& o : option_table()) {
    if (!o.expert) continue;
    const OptionValue v = expert_value(o, r.params, f.noise);
    if (o.kind == OptionKind::flag)
      parameters[o.name] = std::get<double>(v) != 0;
    else if (o.kind == OptionKind::whole)
      parameters[o.name] = static_cast<int>(std::get<double>(v));
    else if (o.kind == OptionKind::real)
      parameters[o.name] = std::get<double>(v);
    else
      parameters[o.name] = std::get<std::string>(v);
  }
  parameters["basic_only"] = f.basic_only;
  j["parameters"] = parameters;
  nlohmann::json files = nlohmann::json::array();
  for (const SidecarFacts::Output& o : f.outputs)
    files.push_back({{"role", o.role}, {"file", o.file}, {"bytes", o.bytes}, {"crc32", o.crc32}});
  j["outputs"] = files;
  if (!f.noise_map.empty()) j["noise_map"] = f.noise_map;
  if (!f.bval_file.empty()) {
    Bvals b;
    b.values = f.bvals;
    j["bval"] = {{"file", absolute(f.bval_file)},
                 {"b0_volumes", b.b0_volumes()},
                 {"shells", b.shells()},
                 {"used", "recorded only: the level is estimated from every volume alike"}};
  }
  j["complete"] = true;
  // Names are checked before the work (is_utf8); should one slip through,
  // the sidecar is still written rather than the run failing at its end.
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool is_utf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

namespace {

bool ends_with(const std::string& s, const std::string& e) {
  return s.size() > e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

}  // namespace

std::string sidecar_sharer(const std::string& output) {
  if (ends_with(output, ".nii.gz")) return output.substr(0, output.size() - 3);
  if (ends_with(output, ".nii")) return output + ".gz";
  return {};
}

std::string sidecar_name(const std::string& output) {
  for (const char* ending : {".nii.gz", ".nii"})
    if (ends_with(output, ending))
      return output.substr(0, output.size() - std::strlen(ending)) + ".json";
  return output + ".json";
}

std::string description(const DenoiseReport& r) {
  char text[80];
  if (r.volumes.empty()) return std::string("zarvo ") + version();
  auto [lo, hi] = std::minmax_element(
      r.volumes.begin(), r.volumes.end(),
      [](const VolumeReport& a, const VolumeReport& b) { return a.sigma < b.sigma; });
  if (lo->sigma == hi->sigma)
    std::snprintf(text, sizeof text, "zarvo %s sigma %.6g", version(), lo->sigma);
  else
    std::snprintf(text, sizeof text, "zarvo %s sigma %.4g-%.4g", version(), lo->sigma, hi->sigma);
  return text;
}

}  // namespace zarvo::cli
