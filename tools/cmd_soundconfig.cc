// sonora soundconfig TEXT [--format mf|tone] [--times N] [--device virtual|hw|hw:NAME] [--out
// tx.wav]
//   Sends TEXT as a sound-wave configuration through the engine's own calls:
//   Sonora::gen_sound_config (mf, four-tone symbols at 44100 Hz; the default) or
//   Sonora::gen_sound_config2 (tone, six triangle tones at 48000 Hz), N times (default 1). Prints
//   how long it will take before it starts and shows the progress while it runs. Ctrl-C stops the
//   transmission (stop_sound_config) and exits with 130. On the virtual device --out writes what
//   was rendered, at the format's rate.
#include <ohaudio/virtual_device.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "device.h"
#include "interrupt.h"
#include "numbers.h"
#include "progress.h"
#include "sonora/sonora.h"
#include "soundwave.h"
#include "stdout_silencer.h"
#include "wav.h"

namespace {

void fail(const std::string& message) {
  std::fprintf(stderr, "sonora: %s\n", message.c_str());
}

int run(const cli::Args& args) {
  tool::Device device;
  std::vector<tool::Format> formats;
  std::string error;
  int times = 1;
  if (!tool::parse_device(args, &device, &error) ||
      !tool::parse_formats(args, false, {tool::Format::kMf}, &formats, &error) ||
      !tool::integer_option(args, "--times", 1, 1000, &times, &error)) {
    return cli::usage_error(error);
  }
  const tool::Format format = formats[0];
  const std::string& text = args.operands[0];
  const std::string out = args.value("--out");
  if (device == tool::Device::kHardware && args.has("--out")) {
    return cli::usage_error("--out records the virtual device only");
  }
  const std::string refusal = tool::unsendable(format, text);
  if (!refusal.empty()) return cli::usage_error("soundconfig: " + refusal);
  tool::WavWriter writer;
  if (!out.empty() && !writer.open(out, tool::format_rate(format), 1, &error)) {
    fail(error);
    return 1;
  }
  if (!tool::select_device(device)) return 1;
  if (device == tool::Device::kVirtual) vdev::reset();

  const double estimate = tool::transmission_seconds(format, text, times);
  if (!args.quiet) {
    std::printf("sending \"%s\" %d time%s as %s (%d Hz): about %.2f s\n",
                tool::escape_text(std::vector<uint8_t>(text.begin(), text.end())).c_str(), times,
                times == 1 ? "" : "s", tool::format_name(format), tool::format_rate(format),
                estimate);
    std::fflush(stdout);
  }

  // The call blocks this thread; the watcher shows the progress and turns Ctrl-C into a stop.
  tool::catch_interrupt();
  // The call cannot say whether its player started: a hardware start that failed is counted.
  const uint64_t hardware_errors = vdev::hardware_stats().errors;
  tool::Progress progress("sending", estimate, args.quiet);
  std::atomic<bool> done{false};
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  std::thread watcher([&] {
    while (!done.load()) {
      // Repeated while the call runs: a stop made before the call began its work would be lost.
      if (tool::interrupted()) sonora::Sonora::stop_sound_config();
      progress.update(elapsed());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  {
    tool::StdoutSilencer silencer(!args.verbose);  // the encoder's checksum line
    if (format == tool::Format::kMf) {
      sonora::Sonora::gen_sound_config(text.c_str(), times);
    } else {
      sonora::Sonora::gen_sound_config2(text.c_str(), times);
    }
  }
  done.store(true);
  watcher.join();
  const bool stopped = tool::interrupted();
  progress.finish(stopped ? elapsed() : estimate);
  if (device == tool::Device::kHardware && vdev::hardware_stats().errors != hardware_errors) {
    fail(std::string("the ") + tool::device_name(device) +
         " audio device did not start: " + vdev::hardware_last_error());
    return 1;
  }

  if (writer.is_open()) {
    const std::vector<uint8_t> rendered = vdev::rendered();
    if (!(writer.write_bytes(rendered, &error) && writer.close(&error))) {
      fail(error);
      return 1;
    }
    if (!args.quiet) {
      std::printf("wrote %.2f s to %s\n",
                  static_cast<double>(rendered.size()) / 2 / tool::format_rate(format),
                  out.c_str());
    }
  }
  if (stopped) {
    char message[64];
    std::snprintf(message, sizeof(message), "stopped after %.2f s", elapsed());
    fail(message);
    return tool::kInterruptedExit;
  }
  return 0;
}

}  // namespace

extern const cli::Command soundconfig_command = {
    "soundconfig",
    "soundconfig TEXT [--format mf|tone] [--times N] [--device virtual|hw|hw:NAME] [--out tx.wav] "
    "[--quiet] [--verbose]",
    {tool::kFormatOption, {"--times", true}, tool::kDeviceOption, {"--out", true}},
    1,
    1,
    run,
};
