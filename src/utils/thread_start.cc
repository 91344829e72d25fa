#include "utils/thread_start.h"

#include <atomic>
#include <cerrno>

namespace utils {
namespace {

std::atomic<int> g_failures{0};
std::atomic<int> g_error{0};

}  // namespace

int start_thread(pthread_t* thread, void* (*entry)(void*), void* arg) {
  int pending = g_failures.load();
  while (pending > 0) {
    if (g_failures.compare_exchange_weak(pending, pending - 1)) return g_error.load();
  }
  return pthread_create(thread, nullptr, entry, arg);
}

void fail_next_thread_starts(int count, int error) {
  g_error.store(error != 0 ? error : EAGAIN);
  g_failures.store(count > 0 ? count : 0);
}

}  // namespace utils
