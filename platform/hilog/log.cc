#include "hilog/log.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "hilog/log_sink.h"

namespace hilog {
namespace {

std::mutex g_mutex;
Sink g_sink = nullptr;
void* g_user = nullptr;

constexpr size_t kMaxLine = 4096;

// Removes the privacy flags ("{public}", "{private}") that follow a '%'.
void strip_privacy(const char* fmt, char* out, size_t cap) {
  size_t o = 0;
  for (size_t i = 0; fmt[i] != '\0' && o + 1 < cap; ++i) {
    out[o++] = fmt[i];
    if (fmt[i] == '%' && fmt[i + 1] == '{') {
      const char* close = std::strchr(fmt + i + 1, '}');
      if (close != nullptr) i = static_cast<size_t>(close - fmt);
    }
  }
  out[o] = '\0';
}

}  // namespace

void set_sink(Sink sink, void* user) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_sink = sink;
  g_user = user;
}

Capture::Capture() {
  set_sink(&Capture::on_record, this);
}

Capture::~Capture() {
  set_sink(nullptr, nullptr);
}

void Capture::on_record(const Record& record, void* user) {
  auto* self = static_cast<Capture*>(user);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->records_.push_back(record);
}

std::vector<Record> Capture::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::vector<std::string> Capture::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  out.reserve(records_.size());
  for (const auto& r : records_) out.push_back(r.text);
  return out;
}

size_t Capture::count(const std::string& needle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& r : records_) {
    if (r.text.find(needle) != std::string::npos) ++n;
  }
  return n;
}

void Capture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

// Formats and delivers one line; called by OH_LOG_Print.
int deliver(LogType type, LogLevel level, unsigned int domain, const char* tag, const char* fmt,
            va_list ap) {
  char plain[512];
  strip_privacy(fmt, plain, sizeof(plain));
  char text[kMaxLine];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = std::vsnprintf(text, sizeof(text), plain, ap);
#pragma GCC diagnostic pop
  if (n < 0) return -1;

  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_sink != nullptr) {
    char thread[16] = {};
    pthread_getname_np(pthread_self(), thread, sizeof(thread));
    Record record{static_cast<int>(type),
                  static_cast<int>(level),
                  domain,
                  tag != nullptr ? tag : "",
                  text,
                  thread};
    g_sink(record, g_user);
  } else {
    size_t len = std::strlen(text);
    bool ends_in_newline = len > 0 && text[len - 1] == '\n';
    std::fprintf(stderr, "%s: %s%s", tag != nullptr ? tag : "", text, ends_in_newline ? "" : "\n");
  }
  return n;
}

}  // namespace hilog

extern "C" int OH_LOG_Print(LogType type, LogLevel level, unsigned int domain, const char* tag,
                            const char* fmt, ...) {
  if (fmt == nullptr) return -1;
  va_list ap;
  va_start(ap, fmt);
  int n = hilog::deliver(type, level, domain, tag, fmt, ap);
  va_end(ap);
  return n;
}

extern "C" bool OH_LOG_IsLoggable(unsigned int, const char*, LogLevel) {
  return true;
}
