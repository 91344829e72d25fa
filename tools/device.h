// Choice of the audio backend for a command: `--device virtual|hw|hw:NAME`.
#ifndef TOOLS_DEVICE_H
#define TOOLS_DEVICE_H

#include <string>

#include "cli.h"

namespace tool {

enum class Device { kVirtual, kHardware };

// The option to list in a command's options.
inline constexpr cli::Option kDeviceOption = {"--device", true};

// Reads --device (virtual when absent) into *device; false with the reason in *error when the
// name is unknown (a usage error). `hw` is PortAudio's default device, `hw:NAME` the first
// device whose name contains NAME, ignoring case (`sonora devices` lists them); the name is kept
// for select_device.
bool parse_device(const cli::Args& args, Device* device, std::string* error);

// Streams generated from now on use `device` (for hardware: the device named by the last
// parse_device). false, with a message on standard error, when the hardware backend is asked for
// and this build has none, or when no device matches the name. For hardware without --verbose,
// the backend's error lines (a device that cannot be opened, and why) are shown as
// "sonora: ..." on standard error; the engine's other log lines stay hidden.
bool select_device(Device device);

// "virtual" or "hardware", for messages.
const char* device_name(Device device);

}  // namespace tool

#endif  // TOOLS_DEVICE_H
