// sonora version: prints the engine's version.
#include <cstdio>

#include "cli.h"
#include "sonora/sonora.h"

namespace {

int run(const cli::Args&) {
  std::printf("%s\n", sonora::Sonora::version());
  return 0;
}

}  // namespace

extern const cli::Command version_command = {"version", "version", {}, 0, 0, run};
