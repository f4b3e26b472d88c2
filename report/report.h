// The quality-control report of a run: one self-contained HTML page (the
// pictures embedded as PNG, the plots as inline SVG, no script, nothing
// fetched) that shows what the denoiser did, so that a user can judge it:
//
//  - three orthogonal middle slices of the input, the output and the
//    residual (input minus output, in noise levels: -3 black, +3 white);
//  - the residual's histogram, in noise levels, against the Gaussian of
//    level 1 that the noise model expects where the denoiser removed noise
//    and nothing else;
//  - the level of every volume and where it came from, the parameters as
//    used, the options as given, the time and the version;
//  - for a series, the level and the residual's spread of every volume.
//
// Every front end calls it with what it holds at the end of a run: the
// command volume by volume as they are denoised (Collector), Python and the
// batch with whole arrays (report_html).
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "report/png.h"
#include "zarvo/pipeline.h"

namespace zarvo::report {

struct RunFacts {
  std::string title;  // what was denoised (the input's name)
  Noise noise = Noise::gaussian;
  DenoiseReport run;  // the levels, their sources, the parameters as used
  // The options as the front end took them, in its own words and order.
  std::vector<std::pair<std::string, std::string>> options;
  double seconds = 0;                         // wall time of the run
  std::string version;                        // of the program that made the output
  std::array<double, 3> voxel_size{1, 1, 1};  // for the slices' aspect (any unit)
};

// What the page needs of every volume, gathered as the volumes come (so the
// caller need not keep a whole series): the histogram and spread of every
// residual, and the slices of the middle volume.
class Collector {
 public:
  // `mask`: one byte per voxel of one volume (packed column-major, nonzero
  // inside) restricting the residual's statistics, or null for every voxel.
  // Throws std::invalid_argument for a shape without voxels.
  explicit Collector(const Shape& shape, const unsigned char* mask = nullptr);

  // Volume t (each once, in any order): input and output as packed
  // column-major doubles, and the noise level (image units) the residual is
  // measured in. Throws std::invalid_argument for t out of range or given twice.
  void add(int t, const double* input, const double* output, double level);

  // The page. Throws std::logic_error when a volume is missing.
  std::string html(const RunFacts& facts) const;

  // The statistics of volume t's residual (for tests and other front ends).
  struct VolumeStats {
    bool added = false;
    double level = 0;           // as given to add()
    double mean = 0;            // of the residual, image units
    double spread = 0;          // robust standard deviation: 1.4826 x median absolute deviation
    double rms = 0;             // root mean square, image units
    std::size_t voxels = 0;     // counted (inside the mask)
    std::size_t unchanged = 0;  // of them, with a residual of exactly 0
  };
  const VolumeStats& stats(int t) const { return stats_.at(t); }

  // Residual histogram in noise levels: bins of `bin_width` from -range to
  // +range, with the counts beyond either end apart.
  static constexpr double range = 5.0, bin_width = 0.125;
  const std::vector<double>& histogram() const { return bins_; }
  double below() const { return below_; }
  double above() const { return above_; }

  // The middle volume's three slices: input, output and residual (image
  // units); index [view][kind], views axial, coronal, sagittal.
  struct Slice {
    int width = 0, height = 0;   // first axis left to right, second bottom to top
    std::vector<double> values;  // row-major from the top row
  };
  const Slice& slice(int view, int kind) const { return slices_[view][kind]; }
  int shown_volume() const { return shape_.volumes / 2; }

 private:
  Shape shape_;
  std::vector<unsigned char> mask_;
  std::vector<VolumeStats> stats_;
  std::vector<double> bins_;
  double below_ = 0, above_ = 0;
  std::array<std::array<Slice, 3>, 3> slices_;
  double window_lo_ = 0, window_hi_ = 1;  // grey window of input and output
};

// The page of a whole run: input and output of `shape` (every volume, packed
// column-major doubles), the levels taken from facts.run.volumes.
std::string report_html(const Shape& shape, const double* input, const double* output,
                        const RunFacts& facts, const unsigned char* mask = nullptr);

// The grey value of x in a window lo..hi: 0 at or below lo, 255 at or above.
std::uint8_t grey(double x, double lo, double hi);

}  // namespace zarvo::report
