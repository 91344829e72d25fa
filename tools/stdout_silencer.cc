#include "stdout_silencer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace tool {

StdoutSilencer::StdoutSilencer(bool active) {
  if (!active) return;
  std::fflush(stdout);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  saved_ = dup(STDOUT_FILENO);
  if (saved_ >= 0 && dup2(null, STDOUT_FILENO) < 0) {
    close(saved_);
    saved_ = -1;
  }
  close(null);
}

StdoutSilencer::~StdoutSilencer() {
  if (saved_ < 0) return;
  std::fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
}

}  // namespace tool
