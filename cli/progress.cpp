#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

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

// A run that stops early (an error) does not claim to be done: the bar
// line is only ended.
Progress::~Progress() {
  if (enabled_ && terminal_ && !finished_) std::fputc('\n', out_);
}

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
    const std::string line = progress_line(percent, fraction, label_, format_duration(elapsed),
                                           format_duration(eta), terminal_columns(out_));
    std::fprintf(out_, "\r%s\033[K", line.c_str());
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

void Progress::note(const std::string& text) {
  if (enabled_ && terminal_ && !finished_) std::fputs("\r\033[K", out_);  // the bar goes
  std::fprintf(out_, "zarvo: %s\n", text.c_str());
  if (enabled_ && terminal_ && !finished_) {
    std::fflush(out_);
    last_draw_ = {};
  }
}

int terminal_columns(std::FILE* out) {
  winsize w{};
  if (ioctl(fileno(out), TIOCGWINSZ, &w) == 0 && w.ws_col > 0) return w.ws_col;
  if (const char* c = std::getenv("COLUMNS")) {
    const int n = std::atoi(c);
    if (n > 0) return n;
  }
  return 80;
}

std::string progress_line(int percent, double fraction, const std::string& label,
                          const std::string& elapsed, const std::string& eta, int columns) {
  // "zarvo: [ 45%] ########................ LABEL, elapsed 1:05, ETA 1:20",
  // shortened to fit: first the label, then the bar, then the times go.
  char head[16];
  std::snprintf(head, sizeof head, "zarvo: [%3d%%]", percent);
  const std::string times = ", elapsed " + elapsed + ", ETA " + eta;
  const int room = columns - 1;  // the last column would wrap on some terminals
  std::string bar;
  int width = 24;
  auto line_of = [&](const std::string& text) {
    bar.assign(static_cast<std::size_t>(width * fraction), '#');
    bar.resize(static_cast<std::size_t>(width), '.');
    return std::string(head) + (width > 0 ? " " + bar : "") + " " + text;
  };
  std::string line = line_of(label + times);
  if (static_cast<int>(line.size()) <= room) return line;
  const int fixed = static_cast<int>(line_of(times).size());
  if (room - fixed >= 8) {  // a shortened label still says something
    std::string l = label.substr(0, static_cast<std::size_t>(room - fixed - 3)) + "...";
    return line_of(l + times);
  }
  width = 0;
  line = line_of(label + times);
  if (static_cast<int>(line.size()) <= room) return line;
  line = std::string(head) + " " + label;
  return line.substr(0, static_cast<std::size_t>(room > 0 ? room : 0));
}

void Progress::finish() {
  if (!enabled_ || finished_) return;
  draw(1.0, true);
  if (terminal_) std::fputc('\n', out_);
  finished_ = true;
}

}  // namespace zarvo::cli
