// The library's log line: "[<function signature>:<line>], <message>", at most 4096 bytes with its
// NUL, handed to the platform log at information level under the tag "Sonora".
#ifndef UTILS_LOG_H
#define UTILS_LOG_H

namespace utils {

constexpr unsigned kLogLineSize = 4096;

// Formats one line into storage of the call and hands it to the platform log. A message that does
// not fit is cut at the end of the line; nothing is written beyond it.
void log_line(const char* function, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace utils

#define SLOG(fmt, ...) ::utils::log_line(__PRETTY_FUNCTION__, __LINE__, fmt, ##__VA_ARGS__)

#endif  // UTILS_LOG_H
