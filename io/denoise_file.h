// One NIfTI file denoised into another, for every front end that works on
// files (the command, zarvo.files, the batch, nipype): the input, mask and
// level map read and checked, every output path checked before the work,
// the volumes encoded as they are denoised, and the output, the noise map,
// the QC report, the residual and the sidecar committed together or not at
// all.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "io/nifti_io.h"
#include "zarvo/pipeline.h"

namespace zarvo::cli {

struct FileRequest {
  std::string input, output;  // NIfTI files; output .nii or .nii.gz
  std::string mask;           // a NIfTI mask of the input's spatial shape; empty: none
  std::string sigma_map;      // a NIfTI level map (Rician noise); empty: none
  std::string noise_map;      // also write the noise map here; empty: not
  std::string report;         // also write the QC page (HTML) here; empty: not
  std::string residual;       // also write input minus output (NIfTI) here; empty: not
  DataType datatype = DataType::float32;
  // The engine's options; the mask, the level map and the noise map come
  // from the files above.
  zarvo::DenoiseOptions options;
  bool force = false;        // replace existing outputs
  bool sidecar = true;       // write sidecar_name(output)
  std::string command_line;  // as the user would type it, for the sidecar
  // For the sidecar: the output's sources (BIDS URIs) and the source's
  // metadata to carry over (a JSON object's text). Empty: the input's path,
  // and the fields of the input's own sidecar when it has one.
  std::vector<std::string> sources;
  std::string metadata;
};

// What a run tells as it goes; every member may be empty.
struct FileEvents {
  // The input is read and checked: `units` walks follow (volumes x stages).
  std::function<void(const Image& input, int units)> started;
  WalkProgress progress;
  PipelineEvents pipeline;
};

struct FileResult {
  DenoiseReport report;
  std::string sidecar;  // its path; empty when none was written
  // What the run told through events.pipeline.note as it went (the
  // engine's notes, the level as soon as it was known), in order.
  std::vector<std::string> told;
  std::vector<std::string> notes;  // what the user may want to know afterwards
  std::string metadata;            // what the sidecar carried over from the source
};

// Every note of a run, in the order the command gives them: `told`, then
// `notes`.
std::vector<std::string> all_notes(const FileResult& result);

// The noise level map file of a run on `input`, checked as a run checks it
// (the input's spatial shape, one volume or one per volume, no negative
// level nor one too small for the input's values, on its grid unless
// `allow_affine`; a note into `notes` when taken despite its affine).
Image read_level_map(const std::string& path, const Image& input, bool allow_affine,
                     std::vector<std::string>& notes);

// The mask file of a run on `input`, checked as a run checks it (one volume
// of the input's spatial shape, on its grid unless `allow_affine`; a note
// into `notes` when taken despite its affine), into `mask`: one byte per
// voxel, 1 where the file is nonzero.
Image read_mask(const std::string& path, const Image& input, bool allow_affine,
                std::vector<unsigned char>& mask, std::vector<std::string>& notes);

// Throws std::runtime_error (zarvo::Error for the engine's refusals) with a
// one-line message naming the file and the problem; leaves every existing
// file as it was unless the whole set was committed.
FileResult denoise_file(const FileRequest& request, const RunContext& context,
                        const FileEvents& events = {});

// An output assembled apart from denoise_file (the batch's series spread
// over tasks), committed as denoise_file commits its set: the image, its QC
// page (when `request.report` is given) and its sidecar (with the b-values),
// with the same checks, force rule, backups and flushes; all or none.
// `data`: every volume, column-major as the input's; `run`: the levels
// (`pooled` set as denoise() sets it) and parameters used; `told`: what the
// engine told while the parts ran; `read_notes`: the notes of the mask and
// level map files, read by the caller. Returns the sidecar's path (empty
// when none) and the notes denoise_file would have given for the file.
FileResult write_assembled(const FileRequest& request, const std::vector<double>& data,
                           const DenoiseReport& run, double seconds,
                           const std::vector<std::string>& told = {},
                           const std::vector<std::string>& read_notes = {});

}  // namespace zarvo::cli
