#include "io/report_outputs.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "io/files.h"
#include "io/sidecar.h"
#include "zarvo/options.h"

namespace zarvo::cli {

namespace {

// The options of a run as its report lists them.
std::vector<std::pair<std::string, std::string>> listed(const FileRequest& r) {
  const DenoiseOptions& o = r.options;
  std::string sigma;
  for (double v : o.sigma) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    sigma += (sigma.empty() ? "" : ",") + std::string(buf);
  }
  std::vector<std::pair<std::string, std::string>> kv = {
      {"input", r.input}, {"output", r.output}, {"noise", noise_name(o.noise)},
      {"sigma", sigma.empty() ? "(estimated)" : sigma},
      {"sigma scope", sigma_scope_name(o.sigma_scope)}};
  if (!r.mask.empty()) kv.emplace_back("mask", r.mask);
  if (!r.sigma_map.empty()) kv.emplace_back("sigma map", r.sigma_map);
  kv.emplace_back("datatype", datatype_name(r.datatype));
  kv.emplace_back("stages", o.basic_only ? "first only" : "both");
  if (!r.command_line.empty()) kv.emplace_back("command line", r.command_line);
  return kv;
}

}  // namespace

ReportOutputs::ReportOutputs(const FileRequest& request, const Image& input,
                             const std::vector<unsigned char>& mask, int threads)
    : request_(request), input_(input) {
  if (!request.report.empty()) {
    collector_ = std::make_unique<report::Collector>(shape_of(input),
                                                     mask.empty() ? nullptr : mask.data());
    levels_.assign(static_cast<std::size_t>(input.nt), std::nan(""));
  }
  if (!request.residual.empty())
    residual_ = std::make_unique<ImageEncoder>(input, DataType::float32, threads);
}

void ReportOutputs::declare(OutputSet& outputs, const FileRequest& request) {
  outputs.add_output(request.residual, "residual");
  outputs.add_output(request.report, "report", false);
}

void ReportOutputs::level(int volume, double sigma) {
  if (collector_) levels_.at(static_cast<std::size_t>(volume)) = sigma;
}

void ReportOutputs::volume(int t, const double* estimate) {
  if (!collector_ && !residual_) return;
  const std::size_t n = input_.volume_voxels();
  noisy_.resize(n);
  input_.read_volume(t, noisy_.data());
  if (collector_)
    collector_->add(t, noisy_.data(), estimate, levels_.at(static_cast<std::size_t>(t)));
  if (residual_) {
    difference_.resize(n);
    for (std::size_t i = 0; i < n; ++i) difference_[i] = noisy_[i] - estimate[i];
    residual_->put(n * static_cast<std::size_t>(t), difference_.data(), n);
  }
}

void ReportOutputs::write(OutputSet& outputs, const DenoiseReport& run,
                          std::chrono::steady_clock::time_point started) {
  if (residual_)
    outputs.write(request_.residual, [&](const std::string& temp) {
      write_image_file(temp, request_.residual, input_, *residual_,
                       "zarvo residual (input - output)");
    });
  if (!collector_) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::string text = page(run, seconds);
  outputs.write(request_.report,
                [&](const std::string& temp) { write_text_file(temp, request_.report, text); });
}

std::string ReportOutputs::page(const DenoiseReport& run, double seconds) const {
  report::RunFacts facts;
  facts.title = base_of(request_.input);
  facts.noise = request_.options.noise;
  facts.run = run;
  facts.options = listed(request_);
  facts.seconds = seconds;
  facts.version = version();
  for (int i = 0; i < 3; ++i) facts.voxel_size[i] = std::fabs(input_.nim->pixdim[i + 1]);
  return collector_->html(facts);
}

std::string report_page(const FileRequest& request, const Image& input,
                        const std::vector<double>& output, const DenoiseReport& run,
                        double seconds) {
  const std::size_t n = input.volume_voxels();
  if (request.report.empty() || output.size() != n * static_cast<std::size_t>(input.nt) ||
      run.volumes.size() != static_cast<std::size_t>(input.nt))
    throw std::invalid_argument("report_page: the output or the levels do not match the input");
  FileRequest page_only = request;
  page_only.residual.clear();
  ReportOutputs qc(page_only, input, request.options.mask, 1);
  for (int t = 0; t < input.nt; ++t) {
    qc.level(t, run.volumes[static_cast<std::size_t>(t)].sigma);
    qc.volume(t, output.data() + n * static_cast<std::size_t>(t));
  }
  return qc.page(run, seconds);
}

}  // namespace zarvo::cli
