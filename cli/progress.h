// Progress of a denoising run on standard error: a bar with percentage and
// ETA redrawn in place when stderr is a terminal, otherwise a line at every
// tenth of the work. Fed by the walk's own count of reference cubes.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace zarvo::cli {

class Progress {
 public:
  // `units`: plug-in calls in the whole run (volumes x stages).
  Progress(int units, bool enabled, std::FILE* out = stderr);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Starts unit `index` (0-based) with a label such as "volume 2/5, Wiener".
  void begin(int index, const std::string& label);
  // Reference cubes done in the current unit, and their total.
  void update(long done, long total);
  // Ends the display (a final newline on a terminal).
  void finish();
  // Prints "zarvo: TEXT" on its own line now, without breaking the bar (on a
  // terminal the bar is cleared and redrawn at the next update).
  void note(const std::string& text);

 private:
  void draw(double fraction, bool force);

  int units_;
  bool enabled_, terminal_, finished_ = false;
  std::FILE* out_;
  int index_ = 0;
  std::string label_;
  int last_tenth_ = -1;
  std::chrono::steady_clock::time_point start_, last_draw_;
};

// Columns of the terminal `out` shows (80 when it cannot tell).
int terminal_columns(std::FILE* out);

// The progress bar's line, at most columns - 1 characters: the label is
// shortened first, then the bar left out.
std::string progress_line(int percent, double fraction, const std::string& label,
                          const std::string& elapsed, const std::string& eta, int columns);

// "1:05", "12:00:03"; "--:--" for a negative or non-finite count.
std::string format_duration(double seconds);

}  // namespace zarvo::cli
