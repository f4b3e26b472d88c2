// `zarvo bids BIDS_DIR OUT_DIR participant`: every image of the chosen
// participants denoised into a BIDS derivative dataset, as BIDS apps do.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "commands.h"
#include "io/bids.h"
#include "io/files.h"
#include "io/sidecar.h"

namespace fs = std::filesystem;

namespace zarvo::cli {

namespace {

// An output whose sidecar says it was completed for this very source: a
// rerun keeps it.
bool complete(const bids::Job& job) {
  std::error_code ec;
  const std::string sidecar = sidecar_name(job.output);
  if (!fs::is_regular_file(job.output, ec) || !fs::is_regular_file(sidecar, ec)) return false;
  std::ifstream in(sidecar);
  const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (!j.is_object() || j.value("complete", false) != true) return false;
  const nlohmann::json sources = j.value("Sources", nlohmann::json::array());
  return sources.size() == 1 && sources[0] == job.source;
}

void write_description(const bids::Request& request, bool force) {
  const fs::path file = fs::path(request.out_dir) / "dataset_description.json";
  std::error_code ec;
  if (fs::exists(file, ec) && !force) return;  // a derivative dataset we write into again
  const std::string text = bids::dataset_description(request, version()).dump(2) + "\n";
  write_atomically(file.string(),
                   [&](const std::string& temp) { write_text_file(temp, file.string(), text); });
}

// The page beside an output: its name with .html instead of .nii(.gz).
std::string report_of(const std::string& output) {
  const std::string sidecar = sidecar_name(output);
  return sidecar.substr(0, sidecar.size() - 5) + ".html";
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '&')
      out += "&amp;";
    else if (ch == '<')
      out += "&lt;";
    else if (ch == '>')
      out += "&gt;";
    else if (ch == '"')
      out += "&quot;";
    else
      out += ch;
  }
  return out;
}

// OUT_DIR/zarvo_reports.html: a link to every page and how each file went,
// the batch's index; a file of that name that zarvo did not write is kept.
void write_index(const std::string& out_dir, const std::vector<std::string>& rows, bool force) {
  const std::string mark = "<!-- zarvo batch index -->";
  const fs::path file = fs::path(out_dir) / "zarvo_reports.html";
  std::error_code ec;
  if (fs::exists(file, ec) && !force) {
    std::ifstream in(file);
    std::string head(4096, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    if (head.find(mark) == std::string::npos) return;
  }
  std::string text = "<!DOCTYPE html>\n" + mark +
                     "\n<html><head><meta charset=\"utf-8\"><title>zarvo reports</title></head>"
                     "<body><h1>zarvo reports</h1><table><tr><th>file</th><th>result</th></tr>\n";
  for (const std::string& row : rows) text += row + "\n";
  text += "</table></body></html>\n";
  write_atomically(file.string(),
                   [&](const std::string& temp) { write_text_file(temp, file.string(), text); });
}

}  // namespace

int run_bids(const BidsCommand& c) {
  bids::Request request;
  request.bids_dir = c.bids_dir;
  request.out_dir = c.out_dir;
  request.participants = c.participants;
  request.datatypes = c.datatypes;
  request.desc = c.desc;
  FileRequest base;
  RunContext context;
  apply_options(c.engine, base.options, context);
  if (!c.datatype.empty()) base.datatype = parse_datatype(c.datatype);
  const std::vector<bids::Job> jobs = bids::plan(request);
  if (jobs.empty()) throw std::runtime_error("no image to denoise in '" + c.bids_dir + "'");

  base.force = c.force;
  base.command_line = c.command_line;
  fs::create_directories(c.out_dir);
  write_description(request, c.force);

  int done = 0, kept = 0;
  std::vector<std::string> failed, rows;
  const fs::path out = fs::weakly_canonical(fs::absolute(c.out_dir));
  auto row = [&](const bids::Job& job, const std::string& result) {
    const std::string page = report_of(job.output);
    std::error_code ec;
    const std::string name = escaped(job.relative);
    const std::string link = c.report && fs::is_regular_file(page, ec)
                                 ? "<a href=\"" +
                                       escaped(fs::path(page).lexically_relative(out).string()) +
                                       "\">" + name + "</a>"
                                 : name;
    rows.push_back("<tr><td>" + link + "</td><td>" + escaped(result) + "</td></tr>");
  };
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const bids::Job& job = jobs[i];
    if (!c.quiet)
      std::fprintf(stderr, "zarvo: [%zu/%zu] %s\n", i + 1, jobs.size(), job.relative.c_str());
    if (!c.force && complete(job)) {
      ++kept;
      row(job, "complete (kept)");
      continue;
    }
    FileRequest r = base;
    r.input = job.input;
    r.output = job.output;
    r.sources = {job.source};
    r.metadata = job.metadata.dump();
    if (c.report) r.report = report_of(job.output);
    try {
      fs::create_directories(fs::path(job.output).parent_path());
      run_file(r, context, c.quiet);
      ++done;
      row(job, "denoised");
    } catch (const std::exception& e) {
      if (stop_signal()) throw;  // Ctrl-C stops the whole run
      // One bad file does not stop the others.
      failed.push_back(job.relative + ": " + with_command_hint(e.what()));
      std::fprintf(stderr, "zarvo: error: %s\n", failed.back().c_str());
      row(job, "failed: " + with_command_hint(e.what()));
    }
  }
  if (c.report) write_index(c.out_dir, rows, c.force);
  if (!c.quiet || !failed.empty()) {
    std::fprintf(stderr, "zarvo: %d denoised, %d already complete, %zu failed (of %zu) in %s\n",
                 done, kept, failed.size(), jobs.size(), c.out_dir.c_str());
    for (const std::string& f : failed) std::fprintf(stderr, "zarvo:   failed: %s\n", f.c_str());
  }
  return failed.empty() ? 0 : 1;
}

}  // namespace zarvo::cli
