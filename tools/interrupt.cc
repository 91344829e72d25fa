#include "interrupt.h"

#include <csignal>

namespace tool {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_sigint(int) {
  g_interrupted = 1;
}

}  // namespace

void catch_interrupt() {
  g_interrupted = 0;
  struct sigaction action = {};
  action.sa_handler = on_sigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
}

bool interrupted() {
  return g_interrupted != 0;
}

}  // namespace tool
