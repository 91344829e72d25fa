// Desktop-only control of where the platform log stand-in writes its lines.
#ifndef HILOG_LOG_SINK_H
#define HILOG_LOG_SINK_H

#include <mutex>
#include <string>
#include <vector>

namespace hilog {

// One finished line as the platform log received it.
struct Record {
  int type;
  int level;
  unsigned int domain;
  std::string tag;
  std::string text;
  std::string thread;  // name of the thread that logged (pthread_getname_np)
};

// Called once per OH_LOG_Print, serialised with every other call and with set_sink.
using Sink = void (*)(const Record& record, void* user);

// Installs a sink; null restores the default (standard error).
void set_sink(Sink sink, void* user);

// Collects every line while it exists (and keeps standard error quiet). For tests.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Record> records() const;
  std::vector<std::string> lines() const;
  // Number of lines whose text contains `needle`.
  size_t count(const std::string& needle) const;
  void clear();

 private:
  static void on_record(const Record& record, void* user);
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

}  // namespace hilog

#endif  // HILOG_LOG_SINK_H
