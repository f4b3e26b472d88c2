#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "report/plots.h"
#include "report/report.h"
#include "report/text.h"
#include "zarvo/options.h"

namespace zarvo::report {

namespace {

// Where the levels came from, in a sentence.
std::string level_origin(const DenoiseReport& r, Noise noise) {
  if (r.volumes.empty()) return "no level";
  const VolumeReport& v = r.volumes.front();
  std::string s;
  switch (v.source) {
    case SigmaSource::given:
      s = "given by the user";
      break;
    case SigmaSource::estimated:
      s = r.volumes.size() > 1 ? (r.pooled ? "estimated once for the whole series (pooled)"
                                           : "estimated volume by volume")
                               : "estimated from the volume";
      break;
    case SigmaSource::map:
      s = "from the noise level map (the value shown is its median)";
      break;
    case SigmaSource::estimated_map:
      s = "from a level map estimated from the series (the value shown is its median)";
      break;
  }
  if (v.per_group) s += "; the stages estimated a level for every group";
  if (noise == Noise::rician) s += "; Rician noise, stabilised before filtering";
  return s;
}

std::string img(const Picture& p, double shown_width, double shown_height, const std::string& alt) {
  std::ostringstream s;
  s << "<img alt=\"" << escape_html(alt) << "\" style=\"width:" << number(shown_width, 5)
    << "px;height:" << number(shown_height, 5) << "px\" src=\"data:image/png;base64,"
    << base64(encode_png(p)) << "\">";
  return s.str();
}

// The colour bar of the residual's grey map.
std::string residual_scale() {
  Picture bar;
  bar.width = 256;
  bar.height = 1;
  for (int i = 0; i < 256; ++i) bar.pixels.push_back(static_cast<std::uint8_t>(i));
  return "<div class=\"scale\"><span>-3</span>" + img(bar, 256, 12, "residual grey scale") +
         "<span>+3 noise levels</span></div>";
}

const char* style = R"(
body{font-family:sans-serif;margin:24px;color:#222;background:#fff;max-width:1150px}
h1{font-size:22px;margin:0 0 8px}h2{font-size:17px;margin:28px 0 8px;border-bottom:1px solid #ccc}
table{border-collapse:collapse}td,th{padding:3px 10px;text-align:left;vertical-align:top}
table.grid td{text-align:center;padding:4px}table.kv td:first-child,table.kv th{color:#555}
table.kv td,table.kv th{border-bottom:1px solid #eee}table.kv td:first-child{white-space:nowrap}
img{image-rendering:pixelated;background:#000;display:block;margin:auto}
.note{color:#555;font-size:13px;max-width:900px}.scale{display:flex;align-items:center;gap:8px;font-size:13px}
.scale img{display:inline;margin:0;border:1px solid #888}.warn{color:#a04000}
)";

}  // namespace

std::string Collector::html(const RunFacts& f) const {
  for (std::size_t t = 0; t < stats_.size(); ++t)
    if (!stats_[t].added)
      throw std::logic_error("report: volume " + std::to_string(t) + " was not given");
  std::ostringstream h;
  h << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
    // Nothing may be fetched: the page holds everything it shows.
    << "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:; "
       "style-src 'unsafe-inline'\">\n"
    << "<title>zarvo report: " << escape_html(f.title) << "</title>\n<style>" << style
    << "</style></head><body>\n";
  h << "<h1>zarvo report: " << escape_html(f.title) << "</h1>\n";

  // Summary: the levels and the residual's spread in them.
  std::vector<double> levels, spreads;
  double ratio_sum = 0;
  int ratios = 0;
  for (const VolumeStats& s : stats_) {
    levels.push_back(s.level);
    spreads.push_back(s.spread);
    if (s.level > 0 && std::isfinite(s.level)) ratio_sum += s.spread / s.level, ++ratios;
  }
  const auto [lo, hi] = std::minmax_element(levels.begin(), levels.end());
  const std::string level_text = *lo == *hi ? number(*lo) : number(*lo) + " to " + number(*hi);
  h << "<table class=\"kv\">\n<tr><td>noise model</td><td>"
    << (f.noise == Noise::rician ? "Rician" : "Gaussian") << "</td></tr>\n"
    << "<tr><td>noise level</td><td>" << level_text << " (image units), "
    << escape_html(level_origin(f.run, f.noise)) << "</td></tr>\n"
    << "<tr><td>residual spread</td><td>"
    << (ratios ? number(ratio_sum / ratios, 3) + " noise levels"
               : std::string("not measured (level 0)"))
    << (stats_.size() > 1 ? " (mean over the volumes)" : "") << "</td></tr>\n<tr><td>shape</td><td>"
    << shape_.rows << " x " << shape_.cols << " x " << shape_.slices
    << (shape_.volumes > 1 ? " x " + std::to_string(shape_.volumes) : "")
    << (mask_.empty() ? "" : ", residual measured inside the mask") << "</td></tr>\n"
    << "<tr><td>time</td><td>" << number(f.seconds, 4) << " s</td></tr>\n"
    << "<tr><td>version</td><td>zarvo " << escape_html(f.version) << "</td></tr>\n</table>\n";
  h << "<p class=\"note\">Where the denoiser removed noise and nothing else, the residual "
       "(input minus output) looks like the noise: no structure of the image in its slices, "
       "and a histogram close to the model's Gaussian. A residual spread well below 1 means "
       "some noise was kept; edges or anatomy visible in the residual mean signal was removed."
    << (f.noise == Noise::rician
            ? " With Rician noise the residual is only close to Gaussian where the signal is "
              "well above the level; dark background gives a skewed residual."
            : "")
    << "</p>\n";

  // Slices.
  const std::size_t shown = static_cast<std::size_t>(shown_volume());
  // Without a level (a map whose median is 0) the residual is shown in its
  // own spread, and the page says so.
  const bool has_level = stats_[shown].level > 0 && std::isfinite(stats_[shown].level);
  const double level = has_level                  ? stats_[shown].level
                       : stats_[shown].spread > 0 ? stats_[shown].spread
                                                  : 1;
  h << "<h2>Middle slices" << (shape_.volumes > 1 ? " of volume " + std::to_string(shown + 1) : "")
    << "</h2>\n<table class=\"grid\"><tr><th></th>";
  const char* view_names[3] = {"axial", "coronal", "sagittal"};
  const bool flat = shape_.slices == 1;  // a 2-D image has one view
  const int views = flat ? 1 : 3;
  for (int v = 0; v < views; ++v) h << "<th>" << view_names[v] << "</th>";
  h << "</tr>\n";
  const char* kind_names[3] = {"input", "output", "residual"};
  const double voxel[3][2] = {{f.voxel_size[0], f.voxel_size[1]},
                              {f.voxel_size[0], f.voxel_size[2]},
                              {f.voxel_size[1], f.voxel_size[2]}};
  for (int kind = 0; kind < 3; ++kind) {
    h << "<tr><th>" << kind_names[kind] << "</th>";
    for (int v = 0; v < views; ++v) {
      const Slice& sl = slices_[v][kind];
      Picture p;
      p.width = sl.width;
      p.height = sl.height;
      for (double x : sl.values)
        p.pixels.push_back(kind < 2 ? grey(x, window_lo_, window_hi_) : grey(x / level, -3, 3));
      double w = sl.width * (voxel[v][0] > 0 ? voxel[v][0] : 1);
      double ht = sl.height * (voxel[v][1] > 0 ? voxel[v][1] : 1);
      const double scale = 300 / std::max(w, ht);
      h << "<td>"
        << img(p, w * scale, ht * scale, std::string(kind_names[kind]) + ", " + view_names[v])
        << "</td>";
    }
    h << "</tr>\n";
  }
  h << "</table>\n"
    << residual_scale()
    << "<p class=\"note\">Input and output share one grey window (the input's 0.5 to 99.5 "
       "percentiles: "
    << number(window_lo_, 4) << " to " << number(window_hi_, 4) << "). The residual is shown in "
    << (has_level ? "noise levels of its volume (level " : "its own spread (no level: ")
    << number(level) << "): black at -3, mid grey at 0, white at +3.</p>\n";

  // Histogram.
  double inside = 0;
  for (double c : bins_) inside += c;
  const double total = inside + below_ + above_;
  h << "<h2>Residual against the expected noise</h2>\n"
    << histogram_svg(bins_, range, below_ + above_);
  h << "<p class=\"note\">" << number(total, 12) << " voxels"
    << (stats_.size() > 1 ? " of every volume, each in its own level" : "");
  if (total > 0)
    h << "; " << number(100 * (below_ + above_) / total, 3) << " % beyond +-" << number(range)
      << " levels (not drawn)";
  double unchanged = 0, counted = 0;
  for (const VolumeStats& s : stats_) unchanged += s.unchanged, counted += s.voxels;
  // A spike at 0 is the voxels the filter left as they were (a constant
  // background, for instance), not noise that was measured as small.
  if (counted > 0 && unchanged > 0.01 * counted)
    h << "; " << number(100 * unchanged / counted, 3)
      << " % have a residual of exactly 0 (left unchanged: a constant background, for "
         "instance), the spike at 0";
  h << ".</p>\n";

  // Series.
  if (shape_.volumes > 1)
    h << "<h2>Per volume</h2>\n"
      << series_svg(levels, spreads)
      << "<p class=\"note\">A residual spread that follows the level means the same share of "
         "noise was removed from every volume; a volume far from the others deserves a look.</p>\n";

  // Levels.
  h << "<h2>Noise levels</h2>\n";
  const bool fold = f.run.volumes.size() > 12;
  if (fold) h << "<details><summary>" << f.run.volumes.size() << " volumes</summary>\n";
  h << "<table class=\"kv\"><tr><th>volume</th><th>level</th><th>source</th><th>residual mean"
       "</th><th>residual spread</th><th>residual RMS</th></tr>\n";
  for (std::size_t t = 0; t < stats_.size(); ++t) {
    const VolumeStats& s = stats_[t];
    const SigmaSource source =
        t < f.run.volumes.size() ? f.run.volumes[t].source : SigmaSource::given;
    h << "<tr><td>" << t + 1 << "</td><td>" << number(s.level) << "</td><td>"
      << sigma_source_name(source) << "</td><td>" << number(s.mean, 4) << "</td><td>"
      << number(s.spread, 4) << "</td><td>" << number(s.rms, 4) << "</td></tr>\n";
  }
  h << "</table>\n" << (fold ? "</details>\n" : "");

  // Parameters and options.
  // The expert parameters as the engine declares them, with their values
  // as used (the sidecar lists the same).
  std::vector<std::pair<std::string, std::string>> used;
  for (const OptionDecl& o : option_table()) {
    if (!o.expert) continue;
    const OptionValue v = expert_value(o, f.run.params, f.noise);
    if (o.kind == OptionKind::flag)
      used.emplace_back(o.name, std::get<double>(v) != 0 ? "yes" : "no");
    else if (o.kind == OptionKind::whole)
      used.emplace_back(o.name, std::to_string(static_cast<int>(std::get<double>(v))));
    else if (o.kind == OptionKind::real)
      used.emplace_back(o.name, number(std::get<double>(v)));
    else
      used.emplace_back(o.name, std::get<std::string>(v));
  }
  h << "<h2>Parameters as used</h2>\n<table class=\"kv\">\n";
  for (const auto& [k, v] : used)
    h << "<tr><td>" << k << "</td><td>" << escape_html(v) << "</td></tr>\n";
  h << "</table>\n<h2>Options</h2>\n<table class=\"kv\">\n";
  for (const auto& [k, v] : f.options)
    h << "<tr><td>" << escape_html(k) << "</td><td>" << escape_html(v) << "</td></tr>\n";
  h << "</table>\n</body></html>\n";
  return h.str();
}

}  // namespace zarvo::report
