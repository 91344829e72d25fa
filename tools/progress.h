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
  // Draws the line complete and ends it.
  void finish();

 private:
  void draw(double seconds);

  const char* label_;
  double total_;
  bool quiet_;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace tool

#endif  // TOOLS_PROGRESS_H
