// Desktop stand-in for the platform log API (<hilog/log.h>).
//
// Same C names, enum values and signature as on the target. On the desktop every line goes to a
// sink: standard error by default ("<tag>: <text>"), or a function installed with
// hilog::set_sink (see log_sink.h), which tests use to capture lines.
//
// The format understands the platform's privacy flags ("%{public}s", "%{private}d"): the flag is
// dropped and the conversion is applied as in printf. A formatted line is cut at 4096 bytes.
#ifndef HILOG_LOG_H
#define HILOG_LOG_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  LOG_APP = 0,
} LogType;

typedef enum {
  LOG_DEBUG = 3,
  LOG_INFO = 4,
  LOG_WARN = 5,
  LOG_ERROR = 6,
  LOG_FATAL = 7,
} LogLevel;

int OH_LOG_Print(LogType type, LogLevel level, unsigned int domain, const char* tag,
                 const char* fmt, ...);

bool OH_LOG_IsLoggable(unsigned int domain, const char* tag, LogLevel level);

#ifdef __cplusplus
}
#endif

#endif  // HILOG_LOG_H
