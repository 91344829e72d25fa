// sonora demo [--device virtual|hw|hw:NAME] [--out rendered.wav]
//   Synthesises three seconds of audio and plays it. On the virtual device it then checks that
//   the rendered stream holds the input bit-exact (and --out writes that stream); on the hardware
//   device the check is skipped.
#include <ohaudio/virtual_device.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "cli.h"
#include "device.h"
#include "playback.h"
#include "sonora/sonora.h"
#include "wav.h"

namespace {

// A rising chirp followed by a short arpeggio: three seconds of 16 kHz mono.
tool::Pcm synthesise() {
  tool::Pcm pcm;
  pcm.rate = 16000;
  pcm.channels = 1;
  const double pi = 3.14159265358979323846;
  double phase = 0;
  for (int i = 0; i < 3 * pcm.rate; ++i) {
    double t = static_cast<double>(i) / pcm.rate;
    double f = t < 2.0 ? 200.0 + 900.0 * t : (t < 2.33 ? 523.25 : (t < 2.66 ? 659.25 : 783.99));
    phase += 2 * pi * f / pcm.rate;
    pcm.samples.push_back(static_cast<int16_t>(std::lrint(9000.0 * std::sin(phase))));
  }
  return pcm;
}

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
  const tool::Pcm pcm = synthesise();
  tool::WavWriter writer;
  if (!out.empty() && !writer.open(out, pcm.rate, pcm.channels, &error)) {
    std::fprintf(stderr, "sonora: %s\n", error.c_str());
    return 1;
  }
  std::printf("sonora demo: %s, 3.00 s of 16 kHz mono through the %s device\n",
              sonora::Sonora::version(), tool::device_name(device));
  std::fflush(stdout);
  if (int code = tool::play_pcm(pcm, device, args.quiet)) return code;
  if (device == tool::Device::kHardware) {
    std::printf("bit-exact check skipped: it applies to the virtual device only\n");
    return 0;
  }
  const std::vector<uint8_t> rendered = vdev::rendered();
  if (writer.is_open() && !(writer.write_bytes(rendered, &error) && writer.close(&error))) {
    std::fprintf(stderr, "sonora: %s\n", error.c_str());
    return 1;
  }
  const uint8_t* in = reinterpret_cast<const uint8_t*>(pcm.samples.data());
  auto found = std::search(rendered.begin(), rendered.end(), in, in + pcm.samples.size() * 2);
  const bool exact = found != rendered.end();
  std::printf("rendered %zu bytes in %llu requests; input found bit-exact: %s", rendered.size(),
              static_cast<unsigned long long>(vdev::render_requests()), exact ? "yes" : "NO");
  if (exact) {
    std::printf(" (after %.1f ms of lead-in silence)", (found - rendered.begin()) / 32.0);
  }
  std::printf("\n");
  if (!out.empty()) std::printf("wrote %s\n", out.c_str());
  return exact ? 0 : 1;
}

}  // namespace

extern const cli::Command demo_command = {
    "demo",
    "demo [--device virtual|hw|hw:NAME] [--out rendered.wav] [--quiet] [--verbose]",
    {tool::kDeviceOption, {"--out", true}},
    0,
    0,
    run,
};
