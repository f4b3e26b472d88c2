// The b-values of a diffusion series, read from the FSL-style .bval file
// beside the input (the same base name: dwi.nii.gz -> dwi.bval), for the
// sidecar: what a reader of the output needs to know about the volumes.
// The denoising does not use them: the level of a series is estimated from
// all its volumes alike (see README, "The noise level of a series").
#pragma once

#include <string>
#include <vector>

namespace zarvo::cli {

struct Bvals {
  std::string file;            // empty: no .bval beside the input
  std::vector<double> values;  // one per volume when `problem` is empty
  std::string problem;         // why the file was not taken (a note for the user)
  // Volumes with b at most 50 s/mm^2 (the usual threshold of b0 volumes).
  int b0_volumes() const;
  // The nonzero shells, rounded to 100 s/mm^2, ascending.
  std::vector<double> shells() const;
};

// The .bval beside `input` checked against the series' `volumes`.
Bvals read_bvals(const std::string& input, int volumes);

}  // namespace zarvo::cli
