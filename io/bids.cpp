#include "io/bids.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "zarvo/run.h"

namespace fs = std::filesystem;

namespace zarvo::bids {

namespace {

bool alphanumeric(const std::string& s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isalnum(c) != 0; });
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

std::string without_prefix(const std::string& s, const std::string& prefix) {
  return starts_with(s, prefix) ? s.substr(prefix.size()) : s;
}

// Images that are not magnitudes, which a denoiser of magnitudes must leave
// alone even where the datatype folder holds them.
bool magnitude(const Name& n) {
  for (const auto& [key, value] : n.entities)
    if (key == "part" && value != "mag") return false;
  static const char* const others[] = {"phase", "phasediff", "phase1",  "phase2", "fieldmap",
                                       "mask",  "dseg",      "probseg", "events"};
  for (const char* o : others)
    if (n.suffix == o) return false;
  return true;
}

bool has_entities_of(const Name& image, const Name& sidecar) {
  for (const auto& e : sidecar.entities)
    if (std::find(image.entities.begin(), image.entities.end(), e) == image.entities.end())
      return false;
  return true;
}

std::vector<fs::path> sorted_entries(const fs::path& folder) {
  std::vector<fs::path> entries;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    entries.push_back(it->path());
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::vector<fs::path> subfolders(const fs::path& folder, const std::string& prefix) {
  std::vector<fs::path> out;
  for (const fs::path& p : sorted_entries(folder)) {
    std::error_code ec;
    if (starts_with(p.filename().string(), prefix) && fs::is_directory(p, ec)) out.push_back(p);
  }
  return out;
}

nlohmann::ordered_json read_json(const fs::path& file) {
  std::ifstream in(file);
  if (!in) throw Error("cannot read " + file.string());
  try {
    return nlohmann::ordered_json::parse(in);
  } catch (const nlohmann::json::exception&) {
    throw Error(file.string() + " is not valid JSON");
  }
}

// The files of `extension` at the levels from the dataset's top down to the
// image's folder that apply to `image`: its suffix, and no entity it lacks.
// Top first; at one level, fewer entities first.
std::vector<fs::path> inherited(const std::vector<fs::path>& levels, const Name& image,
                                const std::string& extension) {
  std::vector<fs::path> found;
  for (const fs::path& level : levels) {
    std::vector<std::pair<std::size_t, fs::path>> here;
    for (const fs::path& p : sorted_entries(level)) {
      const std::string file = p.filename().string();
      if (file.size() <= extension.size() ||
          file.compare(file.size() - extension.size(), extension.size(), extension) != 0)
        continue;
      Name n;
      try {
        n = parse_name(file);
      } catch (const Error&) {
        continue;
      }
      if (n.extension == extension && n.suffix == image.suffix && has_entities_of(image, n))
        here.emplace_back(n.entities.size(), p);
    }
    std::stable_sort(here.begin(), here.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& h : here) found.push_back(h.second);
  }
  return found;
}

std::string link_to_raw(const Request& r) {
  const fs::path raw = fs::weakly_canonical(r.bids_dir);
  const fs::path out = fs::weakly_canonical(r.out_dir);
  std::error_code ec;
  const fs::path rel = fs::relative(raw, out, ec);
  if (!ec && !rel.empty()) return rel.generic_string();
  return "file://" + raw.generic_string();
}

}  // namespace

Name parse_name(const std::string& file) {
  const std::string base = fs::path(file).filename().string();
  const std::size_t dot = base.find('.');
  Name n;
  n.extension = dot == std::string::npos ? "" : base.substr(dot);
  std::stringstream parts(base.substr(0, dot));
  std::vector<std::string> fields;
  for (std::string f; std::getline(parts, f, '_');) fields.push_back(f);
  if (fields.empty() || !alphanumeric(fields.back()))
    throw Error("'" + base + "' is not a BIDS file name (no suffix)");
  n.suffix = fields.back();
  fields.pop_back();
  for (const std::string& f : fields) {
    const std::size_t dash = f.find('-');
    if (dash == std::string::npos || !alphanumeric(f.substr(0, dash)) ||
        !alphanumeric(f.substr(dash + 1)))
      throw Error("'" + base + "' is not a BIDS file name ('" + f + "' is no key-value pair)");
    n.entities.emplace_back(f.substr(0, dash), f.substr(dash + 1));
  }
  return n;
}

std::string format_name(const Name& n) {
  std::string out;
  for (const auto& [key, value] : n.entities) out += key + "-" + value + "_";
  return out + n.suffix + n.extension;
}

std::string derivative_name(const std::string& source_file, const std::string& desc) {
  if (!alphanumeric(desc)) throw Error("the desc label '" + desc + "' must be alphanumeric");
  Name n = parse_name(source_file);
  n.entities.erase(std::remove_if(n.entities.begin(), n.entities.end(),
                                  [](const auto& e) { return e.first == "desc"; }),
                   n.entities.end());
  n.entities.emplace_back("desc", desc);
  return format_name(n);
}

std::vector<Job> plan(const Request& r) {
  std::error_code ec;
  if (!fs::is_directory(r.bids_dir, ec))
    throw Error("the BIDS dataset '" + r.bids_dir + "' is not a folder");
  const fs::path raw = fs::canonical(r.bids_dir);
  if (!fs::is_regular_file(raw / "dataset_description.json", ec))
    throw Error("'" + r.bids_dir + "' is not a BIDS dataset (no dataset_description.json)");
  const fs::path out = fs::weakly_canonical(fs::absolute(r.out_dir));
  const fs::path inside = out.lexically_relative(raw);
  if (!inside.empty() && *inside.begin() != ".." &&
      (inside == "." || *inside.begin() != "derivatives"))
    throw Error("the output folder '" + r.out_dir +
                "' lies inside the BIDS dataset; choose a folder outside it or under its "
                "derivatives/ folder");

  std::vector<std::string> wanted;
  for (const std::string& p : r.participants) wanted.push_back(without_prefix(p, "sub-"));
  std::vector<std::string> datatypes = r.datatypes;
  if (datatypes.empty()) datatypes = {"anat", "dwi", "func"};

  std::vector<fs::path> subjects;
  for (const fs::path& s : subfolders(raw, "sub-")) {
    const std::string label = without_prefix(s.filename().string(), "sub-");
    if (wanted.empty() || std::find(wanted.begin(), wanted.end(), label) != wanted.end())
      subjects.push_back(s);
  }
  for (const std::string& w : wanted)
    if (!fs::is_directory(raw / ("sub-" + w), ec))
      throw Error("participant '" + w + "' is not in the dataset (no folder sub-" + w + ")");

  std::vector<Job> jobs;
  for (const fs::path& subject : subjects) {
    std::vector<fs::path> sessions = subfolders(subject, "ses-");
    const bool has_sessions = !sessions.empty();
    if (!has_sessions) sessions.push_back(subject);
    for (const fs::path& session : sessions) {
      for (const std::string& datatype : datatypes) {
        const fs::path folder = session / datatype;
        if (!fs::is_directory(folder, ec)) continue;
        std::vector<fs::path> levels{raw, subject};
        if (has_sessions) levels.push_back(session);
        levels.push_back(folder);
        for (const fs::path& image : sorted_entries(folder)) {
          const std::string file = image.filename().string();
          Name n;
          try {
            n = parse_name(file);
          } catch (const Error&) {
            continue;  // not a BIDS file: not ours to denoise
          }
          const std::string label = without_prefix(subject.filename().string(), "sub-");
          if (n.entities.empty() || n.entities.front() != std::make_pair(std::string("sub"), label))
            continue;  // every image of a participant's folder is named after it
          if ((n.extension != ".nii" && n.extension != ".nii.gz") || !magnitude(n)) continue;
          Job job;
          job.subject = label;
          job.datatype = datatype;
          job.suffix = n.suffix;
          job.input = image.string();
          job.relative = image.lexically_relative(raw).generic_string();
          job.source = "bids:raw:" + job.relative;
          job.output =
              (out / fs::path(job.relative).parent_path() / derivative_name(file, r.desc)).string();
          for (const fs::path& sidecar : inherited(levels, n, ".json")) {
            const nlohmann::ordered_json fields = read_json(sidecar);
            if (!fields.is_object()) throw Error(sidecar.string() + " is not a JSON object");
            for (const auto& [key, value] : fields.items()) job.metadata[key] = value;
          }
          const std::vector<fs::path> bvals = inherited(levels, n, ".bval");
          if (!bvals.empty()) job.bval = bvals.back().string();
          jobs.push_back(std::move(job));
        }
      }
    }
  }
  return jobs;
}

nlohmann::ordered_json dataset_description(const Request& r, const std::string& version) {
  const nlohmann::ordered_json raw = read_json(fs::path(r.bids_dir) / "dataset_description.json");
  nlohmann::ordered_json d;
  const std::string raw_name = raw.value("Name", std::string());
  d["Name"] = raw_name.empty() ? "zarvo denoised" : "zarvo denoised: " + raw_name;
  d["BIDSVersion"] = raw.value("BIDSVersion", std::string("1.9.0"));
  d["DatasetType"] = "derivative";
  d["GeneratedBy"] = nlohmann::ordered_json::array(
      {{{"Name", "zarvo"},
        {"Version", version},
        {"Description", "block-matching denoising of cubes of voxels in a 4-D transform domain"}}});
  const std::string link = link_to_raw(r);
  d["SourceDatasets"] = nlohmann::ordered_json::array({{{"URL", link}}});
  d["DatasetLinks"] = {{"raw", link}};
  return d;
}

}  // namespace zarvo::bids
