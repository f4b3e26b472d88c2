#include "report_outputs.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "io/files.h"
#include "io/sidecar.h"

namespace zarvo::cli {

namespace {

Shape shape_of(const Image& im) {
  Shape s;
  s.ndims = im.ndim;
  s.rows = im.nx;
  s.cols = im.ny;
  s.slices = im.nz;
  s.volumes = im.nt;
  return s;
}

// The options of a run as its report lists them.
std::vector<std::pair<std::string, std::string>> listed(const DenoiseOptions& o) {
  std::vector<std::pair<std::string, std::string>> kv = {
      {"input", o.input}, {"output", o.output}, {"noise", o.noise},
      {"sigma", o.sigma.empty() ? "(estimated)" : o.sigma}, {"sigma scope", o.sigma_scope}};
  if (!o.mask.empty()) kv.emplace_back("mask", o.mask);
  if (!o.sigma_map.empty()) kv.emplace_back("sigma map", o.sigma_map);
  kv.emplace_back("datatype", o.datatype);
  kv.emplace_back("stages", o.basic_only ? "first only" : "both");
  kv.emplace_back("command line", o.command_line);
  return kv;
}

void write_text(const std::string& file, const std::string& shown, const std::string& text) {
  std::FILE* f = std::fopen(file.c_str(), "w");
  const bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) throw std::runtime_error("writing '" + shown + "' failed");
  if (!ok) throw std::runtime_error("writing '" + shown + "' failed (disk full, or the folder not writable?)");
}

}  // namespace

ReportOutputs::ReportOutputs(const DenoiseOptions& options, const Image& input,
                             const std::vector<unsigned char>& mask, int threads)
    : options_(options), input_(input) {
  if (!options.report.empty()) {
    collector_ = std::make_unique<report::Collector>(shape_of(input),
                                                     mask.empty() ? nullptr : mask.data());
    levels_.assign(static_cast<std::size_t>(input.nt), std::nan(""));
  }
  if (!options.residual.empty())
    residual_ = std::make_unique<ImageEncoder>(input, DataType::float32, threads);
}

void ReportOutputs::declare(OutputSet& outputs, const DenoiseOptions& options) {
  outputs.add_output(options.residual, "residual");
  outputs.add_output(options.report, "report", false);
}

void ReportOutputs::level(int volume, double sigma) {
  if (collector_) levels_.at(static_cast<std::size_t>(volume)) = sigma;
}

void ReportOutputs::volume(int t, const double* estimate) {
  if (!collector_ && !residual_) return;
  const std::size_t n = input_.volume_voxels();
  noisy_.resize(n);
  input_.read_volume(t, noisy_.data());
  if (collector_) collector_->add(t, noisy_.data(), estimate, levels_.at(static_cast<std::size_t>(t)));
  if (residual_) {
    difference_.resize(n);
    for (std::size_t i = 0; i < n; ++i) difference_[i] = noisy_[i] - estimate[i];
    residual_->put(n * static_cast<std::size_t>(t), difference_.data(), n);
  }
}

void ReportOutputs::write(OutputSet& outputs, const DenoiseReport& run, Noise noise,
                          std::chrono::steady_clock::time_point started) {
  if (residual_)
    outputs.write(options_.residual, [&](const std::string& temp) {
      write_image_file(temp, options_.residual, input_, *residual_, "zarvo residual (input - output)");
    });
  if (!collector_) return;
  report::RunFacts facts;
  facts.title = base_of(options_.input);
  facts.noise = noise;
  facts.run = run;
  facts.options = listed(options_);
  facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  facts.version = version();
  for (int i = 0; i < 3; ++i) facts.voxel_size[i] = std::fabs(input_.nim->pixdim[i + 1]);
  const std::string page = collector_->html(facts);
  outputs.write(options_.report,
                [&](const std::string& temp) { write_text(temp, options_.report, page); });
}

}  // namespace zarvo::cli
