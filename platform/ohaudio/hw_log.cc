#include "ohaudio/hw_log.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hilog/log.h"

#ifdef OHAUDIO_WITH_ALSA
#include <alsa/asoundlib.h>
#endif
#ifdef OHAUDIO_WITH_JACK
#include <jack/jack.h>
#endif

namespace ohaudio_impl {

namespace {

// While descriptor 2 is redirected, the log's default sink would write into the pipe too: the
// libraries' messages are held back until it is restored.
std::mutex g_held_mutex;
bool g_holding = false;
std::vector<std::pair<const char*, std::string>> g_held;

void log_line(const char* tag, std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return;
  {
    std::lock_guard<std::mutex> lock(g_held_mutex);
    if (g_holding) {
      g_held.emplace_back(tag, std::move(text));
      return;
    }
  }
  OH_LOG_Print(LOG_APP, LOG_INFO, 0, tag, "%{public}s", text.c_str());
}

void hold_lines(bool on) {
  std::vector<std::pair<const char*, std::string>> held;
  {
    std::lock_guard<std::mutex> lock(g_held_mutex);
    g_holding = on;
    if (!on) held.swap(g_held);
  }
  for (auto& line : held) log_line(line.first, std::move(line.second));
}

#ifdef OHAUDIO_WITH_ALSA
void on_alsa_message(const char* file, int line, const char* function, int err, const char* fmt,
                     ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  char full[1400];
  std::snprintf(full, sizeof(full), "%s:%d:(%s) %s%s%s", file != nullptr ? file : "?", line,
                function != nullptr ? function : "?", text, err != 0 ? ": " : "",
                err != 0 ? snd_strerror(err) : "");
  log_line("alsa", full);
}
#endif

#ifdef OHAUDIO_WITH_JACK
void on_jack_message(const char* text) {
  log_line("jack", text != nullptr ? text : "");
}
#endif

}  // namespace

void route_library_messages() {
#ifdef OHAUDIO_WITH_ALSA
  snd_lib_error_set_handler(&on_alsa_message);
#endif
#ifdef OHAUDIO_WITH_JACK
  jack_set_error_function(&on_jack_message);
  jack_set_info_function(&on_jack_message);
#endif
}

void run_with_stderr_to_log(void (*fn)(void*), void* arg, const char* tag) {
  std::fflush(stderr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    fn(arg);
    return;
  }
  const int saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (saved < 0 || dup2(fds[1], 2) < 0) {
    if (saved >= 0) close(saved);
    close(fds[0]);
    close(fds[1]);
    fn(arg);
    return;
  }
  close(fds[1]);  // fd 2 is now the only write end
  hold_lines(true);
  // Drained while fn runs, so a chatty library never fills the pipe and blocks. The reader does
  // not wait for the end of the pipe: a process started meanwhile may hold its write end.
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  std::string captured;
  std::atomic<bool> done{false};
  std::thread reader([&captured, &done, in = fds[0]] {
    char buffer[4096];
    for (;;) {
      const bool last = done.load();
      pollfd p = {in, POLLIN, 0};
      poll(&p, 1, last ? 0 : 20);
      bool hangup = (p.revents & (POLLHUP | POLLERR)) != 0;
      for (;;) {
        const ssize_t n = read(in, buffer, sizeof(buffer));
        if (n > 0) {
          captured.append(buffer, static_cast<size_t>(n));
        } else {
          if (n == 0) hangup = true;
          break;
        }
      }
      if (last || hangup) break;
    }
  });
  fn(arg);
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  done.store(true);
  reader.join();
  hold_lines(false);
  close(fds[0]);
  size_t start = 0;
  while (start < captured.size()) {
    size_t end = captured.find('\n', start);
    if (end == std::string::npos) end = captured.size();
    log_line(tag, captured.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace ohaudio_impl
