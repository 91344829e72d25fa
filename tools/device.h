// Choice of the audio backend for a command: `--device virtual|hw`.
#ifndef TOOLS_DEVICE_H
#define TOOLS_DEVICE_H

#include <string>

#include "cli.h"

namespace tool {

enum class Device { kVirtual, kHardware };

// The option to list in a command's options.
inline constexpr cli::Option kDeviceOption = {"--device", true};

// Reads --device (virtual when absent) into *device; false with the reason in *error when the
// name is unknown (a usage error).
bool parse_device(const cli::Args& args, Device* device, std::string* error);

// Streams generated from now on use `device`. false, with a message on standard error, when the
// hardware backend is asked for and this build has none.
bool select_device(Device device);

// "virtual" or "hardware", for messages.
const char* device_name(Device device);

}  // namespace tool

#endif  // TOOLS_DEVICE_H
