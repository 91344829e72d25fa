// sonora devices
//   Lists the hardware audio devices PortAudio offers, outputs then inputs: index, name, host API,
//   default rate and channels; `*` marks the default device. `--device hw:NAME` takes the first
//   device whose name contains NAME, ignoring case.
#include <ohaudio/virtual_device.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"

namespace {

void print_list(const std::vector<vdev::HardwareDevice>& devices, bool output) {
  std::printf("%s devices:\n", output ? "output" : "input");
  bool any = false;
  for (const vdev::HardwareDevice& d : devices) {
    const int channels = output ? d.max_output_channels : d.max_input_channels;
    if (channels <= 0) continue;
    any = true;
    const bool is_default = output ? d.default_output : d.default_input;
    std::printf("  %c %3d  %-32s %-28s %6.0f Hz  %d channel%s\n", is_default ? '*' : ' ', d.index,
                d.name.c_str(), d.host_api.c_str(), d.default_rate, channels,
                channels == 1 ? "" : "s");
  }
  if (!any) std::printf("  (none)\n");
}

int run(const cli::Args&) {
  if (!vdev::hardware_available()) {
    std::fprintf(stderr, "sonora: this build has no hardware audio backend\n");
    return 1;
  }
  const std::vector<vdev::HardwareDevice> devices = vdev::hardware_devices();
  print_list(devices, true);
  print_list(devices, false);
  return 0;
}

}  // namespace

extern const cli::Command devices_command = {
    "devices", "devices [--verbose]", {}, 0, 0, run,
};
