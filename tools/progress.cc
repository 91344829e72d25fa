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

void Progress::finish() {
  if (quiet_) return;
  draw(total_);
  std::fprintf(stderr, "\n");
}

void Progress::draw(double seconds) {
  std::fprintf(stderr, "\r%s: %6.2f / %6.2f s", label_, seconds, total_);
}

}  // namespace tool
