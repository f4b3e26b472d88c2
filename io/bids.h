// A BIDS dataset as a list of denoising jobs, and the derivative dataset
// they make: which images of which participants to denoise, the names of
// their derivatives (the source's entities plus `desc-<label>`), the JSON
// metadata each source inherits from the dataset's sidecars, and the
// derivative's `dataset_description.json`.
//
// Only the folder layout and the JSON sidecars are read; nothing is written
// here and nothing is fetched.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zarvo::bids {

struct Request {
  std::string bids_dir;  // the raw dataset (holds dataset_description.json)
  std::string out_dir;   // the derivative dataset to write
  // Participants without the "sub-" prefix (either form is accepted); empty:
  // every participant.
  std::vector<std::string> participants;
  // Folders of a session to look in; empty: anat, dwi and func.
  std::vector<std::string> datatypes;
  std::string desc = "denoised";  // the derivative's desc- label
};

struct Job {
  std::string subject;   // "01"
  std::string datatype;  // "anat", "dwi", "func"
  std::string suffix;    // "T1w", "dwi", "bold"
  std::string input;     // absolute path of the source image
  std::string relative;  // the source's path inside the raw dataset
  std::string output;    // absolute path of the derivative image
  std::string source;    // the source as a BIDS URI: "bids:raw:sub-01/anat/..."
  std::string bval;      // the source's .bval file, when there is one
  // The source's metadata by the inheritance principle: every sidecar from
  // the dataset's top down to the image's folder whose entities the image
  // has and whose suffix is the image's, later (deeper) ones overriding.
  nlohmann::ordered_json metadata = nlohmann::ordered_json::object();
};

// The entities of a BIDS file name, in order, and its suffix and extension:
// "sub-01_ses-2_T1w.nii.gz" -> {{"sub","01"},{"ses","2"}}, "T1w", ".nii.gz".
struct Name {
  std::vector<std::pair<std::string, std::string>> entities;
  std::string suffix, extension;
};
// Throws zarvo::Error when `file` is not a BIDS file name.
Name parse_name(const std::string& file);
std::string format_name(const Name& name);

// The derivative's file name: the source's entities with desc-<label> last
// (replacing a desc the source may have), then the suffix and extension.
std::string derivative_name(const std::string& source_file, const std::string& desc);

// Every job of the request, ordered by participant and path. Throws
// zarvo::Error naming the problem: no such folder, no
// dataset_description.json, an output folder inside the raw dataset (other
// than under its derivatives/), a requested participant that is missing, a
// sidecar that is not valid JSON.
std::vector<Job> plan(const Request& request);

// The derivative's dataset_description.json: DatasetType "derivative",
// GeneratedBy zarvo with `version`, and the link that gives the jobs'
// `bids:raw:` URIs their meaning.
nlohmann::ordered_json dataset_description(const Request& request, const std::string& version);

}  // namespace zarvo::bids
