// The QC outputs a file run may add: the report page and the residual image
// (input minus output), fed volume by volume as the output is, and written
// into the run's output set, so that they are committed with the output or
// not at all.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "io/denoise_file.h"
#include "io/nifti_io.h"
#include "io/outputs.h"
#include "report/report.h"

namespace zarvo::cli {

class ReportOutputs {
 public:
  // Nothing is kept when neither output is asked for. `mask`: one byte per
  // voxel of one volume, or empty.
  ReportOutputs(const FileRequest& request, const Image& input,
                const std::vector<unsigned char>& mask, int threads);

  // Declares the asked-for files to the output set (before its check).
  static void declare(OutputSet& outputs, const FileRequest& request);

  void level(int volume, double sigma);             // as the pipeline tells it
  void volume(int volume, const double* estimate);  // a denoised volume, in order

  // Writes the asked-for files into the set (before its commit).
  void write(OutputSet& outputs, const DenoiseReport& report,
             std::chrono::steady_clock::time_point started);

  // The page (a report was asked for and every volume given).
  std::string page(const DenoiseReport& report, double seconds) const;

 private:
  const FileRequest& request_;
  const Image& input_;
  std::vector<double> levels_, noisy_, difference_;
  std::unique_ptr<report::Collector> collector_;
  std::unique_ptr<ImageEncoder> residual_;
};

// The page of a run whose output was assembled apart from denoise_file (the
// batch's series spread over tasks): `output` holds every volume, packed
// column-major as the input's; `run` the levels and parameters used.
std::string report_page(const FileRequest& request, const Image& input,
                        const std::vector<double>& output, const DenoiseReport& run,
                        double seconds);

}  // namespace zarvo::cli
