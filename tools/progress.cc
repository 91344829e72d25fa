#include "progress.h"

#include <cstdio>

namespace tool {

Progress::Progress(const char* label, double total_seconds, bool quiet)
    : label_(label),
      total_(total_seconds),
      quiet_(quiet),
      last_(std::chrono::steady_clock::now() - std::chrono::seconds(1)) {}

void Progress::update(double seconds) {
  auto now = std::chrono::steady_clock::now();
  if (quiet_ || now - last_ <= std::chrono::milliseconds(100)) return;
  last_ = now;
  draw(seconds);
}

void Progress::clear() {
  if (quiet_ || drawn_ == 0) return;
  std::fprintf(stderr, "\r%*s\r", drawn_, "");
  std::fflush(stderr);
  drawn_ = 0;
  last_ = std::chrono::steady_clock::now() - std::chrono::seconds(1);
}

void Progress::finish() {
  finish(total_);
}

void Progress::finish(double seconds) {
  if (quiet_) return;
  draw(seconds);
  std::fprintf(stderr, "\n");
  drawn_ = 0;
}

void Progress::draw(double seconds) {
  const int n = std::fprintf(stderr, "\r%s: %6.2f / %6.2f s", label_, seconds, total_);
  drawn_ = n > 1 ? n - 1 : 0;
}

}  // namespace tool
