#include "progress.h"

#include <unistd.h>

#include <cmath>

namespace zarvo::cli {

std::string format_duration(double s) {
  if (!std::isfinite(s) || s < 0) return "--:--";
  const long t = std::lround(s);
  char buf[32];
  if (t >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", t / 3600, (t / 60) % 60, t % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
  return buf;
}

Progress::Progress(int units, bool enabled, std::FILE* out)
    : units_(units < 1 ? 1 : units),
      enabled_(enabled),
      terminal_(isatty(fileno(out)) != 0),
      out_(out),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

Progress::~Progress() { finish(); }

void Progress::begin(int index, const std::string& label) {
  index_ = index;
  label_ = label;
  draw(static_cast<double>(index) / units_, true);
}

void Progress::update(long done, long total) {
  const double within = total > 0 ? static_cast<double>(done) / total : 1.0;
  draw((index_ + within) / units_, false);
}

void Progress::draw(double fraction, bool force) {
  if (!enabled_ || finished_) return;
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const int percent = static_cast<int>(std::floor(100.0 * fraction));
  // The ETA assumes the rest runs at the pace so far; not shown until a few
  // percent are done.
  const double eta = fraction > 0.02 ? elapsed * (1.0 - fraction) / fraction : -1.0;
  if (terminal_) {
    if (!force && std::chrono::duration<double>(now - last_draw_).count() < 0.1 && fraction < 1.0)
      return;
    const int width = 24, filled = static_cast<int>(width * fraction);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, '.');
    std::fprintf(out_, "\rzarvo: [%3d%%] %s %s, elapsed %s, ETA %s\033[K", percent, bar.c_str(),
                 label_.c_str(), format_duration(elapsed).c_str(), format_duration(eta).c_str());
    std::fflush(out_);
  } else {
    const int tenth = percent / 10;
    if (tenth == last_tenth_) return;
    last_tenth_ = tenth;
    std::fprintf(out_, "zarvo: [%3d%%] %s, elapsed %s, ETA %s\n", percent, label_.c_str(),
                 format_duration(elapsed).c_str(), format_duration(eta).c_str());
  }
  last_draw_ = now;
}

void Progress::finish() {
  if (!enabled_ || finished_) return;
  draw(1.0, true);
  if (terminal_) std::fputc('\n', out_);
  finished_ = true;
}

}  // namespace zarvo::cli
