// sonora record OUT.wav --seconds N [--rate R] [--channels C] [--aec [--canceller mobile|full]]
//                        [--ns] [--gain G] [--gain-type T] [--device virtual|hw|hw:NAME]
//                        [--source FILE.wav]
//   Captures N seconds of 16-bit audio through the engine (20 ms blocks) at R Hz (8000, 16000,
//   44100 or 48000; default 16000) with C channels (1 or 2; default 1), with the processing asked
//   for, and writes the delivered blocks to OUT.wav. Echo cancellation and noise suppression work
//   on mono at 8000 or 16000 Hz only (the full-band canceller, --canceller full, also at 48000).
//   --gain and --gain-type set the capture volume once capture runs (gain type 4: automatic gain
//   control, G its maximum gain in dB). On the virtual device the microphone hears silence unless
//   --source gives it a 16-bit WAV file of the capture format to hear (once, then silence).
#include <ohaudio/virtual_device.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "cli.h"
#include "device.h"
#include "numbers.h"
#include "interrupt.h"
#include "progress.h"
#include "stdout_silencer.h"
#include "sonora/sonora.h"
#include "wav.h"

namespace {

void fail(const std::string& message) {
  std::fprintf(stderr, "sonora: %s\n", message.c_str());
}

int run(const cli::Args& args) {
  tool::Device device;
  std::string error;
  if (!tool::parse_device(args, &device, &error)) return cli::usage_error(error);
  if (!args.has("--seconds")) return cli::usage_error("record: --seconds N is required");
  double seconds = 0, gain = 0;
  int gain_type = 0, rate = tool::kCaptureRate, channels = 1;
  if (!tool::number_option(args, "--seconds", 0.02, 3600, &seconds, &error) ||
      !tool::number_option(args, "--gain", -100, 100, &gain, &error) ||
      !tool::integer_option(args, "--gain-type", 0, 1000, &gain_type, &error) ||
      !tool::integer_option(args, "--rate", 8000, 48000, &rate, &error) ||
      !tool::integer_option(args, "--channels", 1, 2, &channels, &error)) {
    return cli::usage_error(error);
  }
  if (rate != 8000 && rate != 16000 && rate != 44100 && rate != 48000) {
    return cli::usage_error("--rate must be 8000, 16000, 44100 or 48000");
  }
  sonora::EchoCanceller canceller = sonora::kEchoCancellerMobile;
  if (!tool::canceller_option(args, &canceller, &error)) return cli::usage_error(error);
  if (args.has("--canceller") && !args.has("--aec")) {
    return cli::usage_error("--canceller chooses the echo canceller of --aec");
  }
  if (args.has("--aec") && (channels != 1 || !tool::canceller_takes_rate(canceller, rate))) {
    return cli::usage_error(
        "--aec works on mono audio at 8000 or 16000 Hz (the full canceller also at 48000 Hz)");
  }
  if (args.has("--ns") && (channels != 1 || rate > 16000)) {
    return cli::usage_error("--ns works on mono audio at 8000 or 16000 Hz");
  }
  // 20 ms blocks of the format.
  const size_t block = static_cast<size_t>(rate / 50 * channels * 2);
  const double bytes_per_second = static_cast<double>(rate) * channels * 2;
  const std::string source_path = args.value("--source");
  if (device == tool::Device::kHardware && args.has("--source")) {
    return cli::usage_error("--source feeds the virtual device only");
  }
  tool::Pcm source;
  if (!source_path.empty() && !tool::read_wav(source_path, {{rate}, channels}, &source, &error)) {
    fail(error);
    return 1;
  }
  if (!source_path.empty() && source.channels != channels) {
    fail(source_path + ": " + std::to_string(source.channels) + " channels, the capture has " +
         std::to_string(channels));
    return 1;
  }
  tool::WavWriter writer;
  if (!writer.open(args.operands[0], rate, channels, &error)) {
    fail(error);
    return 1;
  }
  if (!tool::select_device(device)) return 1;
  if (device == tool::Device::kVirtual) {
    vdev::reset();
    if (!source.samples.empty()) {
      const auto* b = reinterpret_cast<const uint8_t*>(source.samples.data());
      vdev::set_capture_source(std::vector<uint8_t>(b, b + source.samples.size() * 2), false);
    }
  }

  // The automatic gain control prints its limits on standard output when it first runs: shown
  // with --verbose only.
  std::optional<tool::StdoutSilencer> silencer;
  silencer.emplace(!args.verbose);
  tool::EngineProcess process(args.verbose);
  tool::EngineEvents events;
  sonora::audio::Suit audio =
      tool::capture_suit(args.has("--aec"), args.has("--ns"), 3, rate, block, channels);
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
  sonora::Sonora player(&suit, &events);
  if (canceller != sonora::kEchoCancellerMobile && !player.use_echo_canceller(canceller)) {
    fail("the full-band echo canceller is not in this build of the engine");
    return 1;
  }
  tool::capture_sink_clear();
  if (!player.start_record_audio(tool::capture_sink_fetch, 0)) {
    fail(std::string("the ") + tool::device_name(device) + " audio device did not start capturing");
    return 1;
  }
  if (args.has("--gain-type") && !player.adjust_capture_volume_type(gain_type)) {
    fail("capture gain type " + std::to_string(gain_type) + " refused");
    return 1;
  }
  if (args.has("--gain") && !player.adjust_capture_volume(static_cast<float>(gain))) {
    fail("capture gain " + args.value("--gain") + " refused");
    return 1;
  }
  // Whole blocks, at least the seconds asked for.
  const size_t blocks = static_cast<size_t>(
      std::ceil(seconds * bytes_per_second / static_cast<double>(block) - 1e-9));
  const size_t wanted = blocks * block;
  tool::Progress progress("recording", static_cast<double>(wanted) / bytes_per_second, args.quiet);
  // Ctrl-C ends the recording early: what was captured is still written.
  tool::catch_interrupt();
  auto last_growth = std::chrono::steady_clock::now();
  size_t have = 0;
  while (have < wanted && !tool::interrupted()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const size_t now_have = tool::capture_sink_bytes();
    if (now_have != have) {
      have = now_have;
      last_growth = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - last_growth > std::chrono::seconds(3)) {
      player.stop_record_audio();
      fail("capture stalled after " + std::to_string(have) + " of " + std::to_string(wanted) +
           " bytes");
      return 1;
    }
    progress.update(static_cast<double>(have) / bytes_per_second);
  }
  player.stop_record_audio();
  const bool stopped = tool::interrupted();
  progress.finish();
  silencer.reset();
  std::vector<uint8_t> captured = tool::capture_sink_take();
  // Whole blocks: all that was asked for, or all that came before Ctrl-C.
  captured.resize(stopped ? std::min(captured.size(), wanted) / block * block : wanted);
  if (!(writer.write_bytes(captured, &error) && writer.close(&error))) {
    fail(error);
    return 1;
  }
  if (!args.quiet) {
    std::printf("recorded %.2f s (%zu blocks of 20 ms) to %s\n",
                static_cast<double>(captured.size()) / bytes_per_second, captured.size() / block,
                args.operands[0].c_str());
  }
  if (stopped) {
    fail("stopped by Ctrl-C");
    return tool::kInterruptedExit;
  }
  return 0;
}

}  // namespace

extern const cli::Command record_command = {
    "record",
    "record OUT.wav --seconds N [--rate R] [--channels C] [--aec [--canceller mobile|full]] [--ns] "
    "[--gain G] "
    "[--gain-type T] "
    "[--device virtual|hw|hw:NAME] [--source FILE.wav] [--quiet] [--verbose]",
    {{"--seconds", true},
     {"--rate", true},
     {"--channels", true},
     {"--aec", false},
     {"--canceller", true},
     {"--ns", false},
     {"--gain", true},
     {"--gain-type", true},
     tool::kDeviceOption,
     {"--source", true}},
    1,
    1,
    run,
};
