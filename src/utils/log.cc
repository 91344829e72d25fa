#include "utils/log.h"

#include <hilog/log.h>

#include <cstdarg>
#include <cstdio>

namespace utils {

void log_line(const char* function, int line, const char* fmt, ...) {
  char text[kLogLineSize];
  int n =
      std::snprintf(text, sizeof(text), "[%s:%d], ", function != nullptr ? function : "?", line);
  if (n < 0) return;
  if (static_cast<unsigned>(n) < sizeof(text) - 1 && fmt != nullptr) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text + n, sizeof(text) - static_cast<size_t>(n), fmt, ap);
    va_end(ap);
  }
  OH_LOG_Print(LOG_APP, LOG_INFO, 0, "Sonora", "%{public}s", text);
}

}  // namespace utils
