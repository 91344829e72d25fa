// sonora play FILE.wav [--device virtual|hw|hw:NAME] [--out rendered.wav]
//   Plays a 16-bit PCM WAV file (8000/16000/44100/48000 Hz, mono or stereo) gap-free. On the
//   virtual device, --out writes what the device rendered as a WAV file of the same format.
#include <ohaudio/virtual_device.h>

#include <cstdio>
#include <string>

#include "cli.h"
#include "device.h"
#include "interrupt.h"
#include "playback.h"
#include "wav.h"

namespace {

int run(const cli::Args& args) {
  tool::Device device;
  std::string error;
  if (!tool::parse_device(args, &device, &error)) return cli::usage_error(error);
  if (!tool::select_device(device)) return 1;
  const std::string out = args.value("--out");
  if (device == tool::Device::kHardware && !out.empty()) {
    std::fprintf(stderr, "sonora: --out records the virtual device only\n");
    return 2;
  }
  tool::Pcm pcm;
  if (!tool::read_wav(args.operands[0], {{8000, 16000, 44100, 48000}, 2}, &pcm, &error)) {
    std::fprintf(stderr, "sonora: %s\n", error.c_str());
    return 1;
  }
  tool::WavWriter writer;
  if (!out.empty() && !writer.open(out, pcm.rate, pcm.channels, &error)) {
    std::fprintf(stderr, "sonora: %s\n", error.c_str());
    return 1;
  }
  const int code = tool::play_pcm(pcm, device, args.quiet);
  // Ctrl-C (kInterruptedExit) still writes what was rendered up to then.
  if (code != 0 && code != tool::kInterruptedExit) return code;
  if (writer.is_open() && !(writer.write_bytes(vdev::rendered(), &error) && writer.close(&error))) {
    std::fprintf(stderr, "sonora: %s\n", error.c_str());
    return 1;
  }
  if (code == tool::kInterruptedExit) std::fprintf(stderr, "sonora: stopped by Ctrl-C\n");
  return code;
}

}  // namespace

extern const cli::Command play_command = {
    "play",
    "play FILE.wav [--device virtual|hw|hw:NAME] [--out rendered.wav] [--quiet] [--verbose]",
    {tool::kDeviceOption, {"--out", true}},
    1,
    1,
    run,
};
