#include "interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>

namespace tool {

namespace {

// Read by the command's watcher thread, so an atomic (lock-free, hence safe in a handler) rather
// than a volatile flag.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

void on_sigint(int) {
  const int saved = errno;
  g_interrupted.store(1);
  errno = saved;
}

}  // namespace

void catch_interrupt() {
  g_interrupted.store(0);
  struct sigaction action = {};
  action.sa_handler = on_sigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
}

bool interrupted() {
  return g_interrupted.load() != 0;
}

}  // namespace tool
