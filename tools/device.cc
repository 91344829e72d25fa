#include "device.h"

#include <ohaudio/virtual_device.h>

#include <cstdio>

namespace tool {

bool parse_device(const cli::Args& args, Device* device, std::string* error) {
  const std::string name = args.value(kDeviceOption.name, "virtual");
  if (name == "virtual") {
    *device = Device::kVirtual;
  } else if (name == "hw") {
    *device = Device::kHardware;
  } else {
    *error = "unknown device " + name + " (virtual or hw)";
    return false;
  }
  return true;
}

bool select_device(Device device) {
  const bool hardware = device == Device::kHardware;
  if (hardware && !vdev::hardware_available()) {
    std::fprintf(stderr, "sonora: this build has no hardware audio backend\n");
    return false;
  }
  vdev::use_hardware(hardware);
  return true;
}

const char* device_name(Device device) {
  return device == Device::kHardware ? "hardware" : "virtual";
}

}  // namespace tool
