#include "device.h"

#include <hilog/log.h>
#include <hilog/log_sink.h>
#include <ohaudio/virtual_device.h>

#include <cstdio>

namespace tool {

namespace {

// What the last parse_device read, for select_device.
std::string g_hardware_name;
bool g_verbose = false;

// Without --verbose: only the hardware backend's error lines reach the terminal.
void show_device_errors(const hilog::Record& record, void*) {
  if (record.tag == "ohaudio" && record.level >= LOG_ERROR) {
    std::fprintf(stderr, "sonora: %s\n", record.text.c_str());
  }
}

}  // namespace

bool parse_device(const cli::Args& args, Device* device, std::string* error) {
  const std::string name = args.value(kDeviceOption.name, "virtual");
  g_verbose = args.verbose;
  g_hardware_name.clear();
  if (name == "virtual") {
    *device = Device::kVirtual;
  } else if (name == "hw") {
    *device = Device::kHardware;
  } else if (name.compare(0, 3, "hw:") == 0 && name.size() > 3) {
    *device = Device::kHardware;
    g_hardware_name = name.substr(3);
  } else {
    *error = "unknown device " + name + " (virtual, hw or hw:NAME)";
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
  if (hardware) {
    if (!g_verbose) hilog::set_sink(show_device_errors, nullptr);
    const char* name = g_hardware_name.c_str();
    if (!g_hardware_name.empty() && vdev::find_hardware_device(name, true, nullptr) < 0 &&
        vdev::find_hardware_device(name, false, nullptr) < 0) {
      std::fprintf(stderr, "sonora: no audio device matches \"%s\" (sonora devices lists them)\n",
                   name);
      return false;
    }
    vdev::use_hardware_device(name, name);
  }
  vdev::use_hardware(hardware);
  return true;
}

const char* device_name(Device device) {
  return device == Device::kHardware ? "hardware" : "virtual";
}

}  // namespace tool
