// The progress line on standard error: "\rplaying: 1.20 / 3.00 s", refreshed ten times a second.
#ifndef TOOLS_PROGRESS_H
#define TOOLS_PROGRESS_H

#include <chrono>

namespace tool {

class Progress {
 public:
  // Shows nothing when `quiet`.
  Progress(const char* label, double total_seconds, bool quiet);
  // Redraws the line with `seconds` done, at most every 100 ms.
  void update(double seconds);
  // Erases the line, so that other output can be written to the terminal; the next update draws
  // it again.
  void clear();
  // Draws the line complete and ends it.
  void finish();
  // Draws the line with `seconds` done (work that ended early or late) and ends it.
  void finish(double seconds);

 private:
  void draw(double seconds);

  const char* label_;
  double total_;
  bool quiet_;
  std::chrono::steady_clock::time_point last_;
  int drawn_ = 0;  // characters of the line on the terminal
};

}  // namespace tool

#endif  // TOOLS_PROGRESS_H
