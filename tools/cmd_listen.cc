// sonora listen [--device virtual|hw|hw:NAME] [--seconds N] [--format mf|tone|auto] [--source
// FILE.wav]
//   Captures 48000 Hz mono 16-bit audio through the engine (20 ms blocks, no processing) and
//   decodes the sound-wave configurations it hears as the blocks arrive, printing each text on its
//   own line as `decode` does. Listens for N seconds, or until Ctrl-C. On the virtual device the
//   microphone hears silence unless --source gives it a 48 kHz mono 16-bit WAV file to hear
//   (once, then silence); without --seconds it then listens for the file's length and 1 s more.
//   Exits with 1 when nothing was decoded.
#include <ohaudio/virtual_device.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
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

constexpr int kListenRate = 48000;
constexpr size_t kListenBlock = 1920;  // bytes: 20 ms
constexpr double kListenBytesPerSecond = kListenRate * 2.0;
// How long after a --source file ends listening goes on by default.
constexpr double kAfterSourceSeconds = 1.0;

void fail(const std::string& message) {
  std::fprintf(stderr, "sonora: %s\n", message.c_str());
}

int run(const cli::Args& args) {
  tool::Device device;
  std::vector<tool::Format> formats;
  std::string error;
  double seconds = 0;
  if (!tool::parse_device(args, &device, &error) ||
      !tool::parse_formats(args, true, {tool::Format::kMf, tool::Format::kTone}, &formats,
                           &error) ||
      !tool::number_option(args, "--seconds", 0.02, 86400, &seconds, &error)) {
    return cli::usage_error(error);
  }
  if (device == tool::Device::kHardware && args.has("--source")) {
    return cli::usage_error("--source feeds the virtual device only");
  }
  tool::Pcm source;
  if (args.has("--source") &&
      !tool::read_wav(args.value("--source"), {{kListenRate}, 1}, &source, &error)) {
    fail(error);
    return 1;
  }
  if (!args.has("--seconds") && !source.samples.empty()) {
    seconds = static_cast<double>(source.samples.size()) / kListenRate + kAfterSourceSeconds;
  }
  const bool until_interrupted = seconds == 0;
  if (!tool::select_device(device)) return 1;
  if (device == tool::Device::kVirtual) {
    vdev::reset();
    if (!source.samples.empty()) {
      const auto* b = reinterpret_cast<const uint8_t*>(source.samples.data());
      vdev::set_capture_source(std::vector<uint8_t>(b, b + source.samples.size() * 2), false);
    }
  }

  // Texts are printed on this thread: the capture callback only queues the blocks.
  tool::Progress progress("listening", seconds, args.quiet || until_interrupted);
  tool::Decoders decoders(formats, kListenRate,
                          [&progress](tool::Format format, const std::vector<uint8_t>& text) {
                            progress.clear();
                            tool::print_text(format, text);
                          });
  tool::EngineProcess process(args.verbose);
  tool::EngineEvents events;
  sonora::audio::Suit audio = tool::capture_suit(false, false, 3, kListenRate, kListenBlock);
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
  sonora::Sonora player(&suit, &events);
  tool::capture_sink_clear();
  tool::catch_interrupt();
  if (!player.start_record_audio(tool::capture_sink_fetch, 0)) {
    fail(std::string("the ") + tool::device_name(device) + " audio device did not start capturing");
    return 1;
  }
  if (!args.quiet && until_interrupted) {
    std::fprintf(stderr, "listening until Ctrl-C\n");
  }
  const size_t wanted = static_cast<size_t>(seconds * kListenBytesPerSecond);
  size_t have = 0;
  auto feed = [&decoders, &have](const std::vector<uint8_t>& bytes) {
    decoders.feed(reinterpret_cast<const int16_t*>(bytes.data()), bytes.size() / 2);
    have += bytes.size();
  };
  auto last_growth = std::chrono::steady_clock::now();
  while ((until_interrupted || have < wanted) && !tool::interrupted()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<uint8_t> bytes = tool::capture_sink_drain();
    if (!bytes.empty()) {
      feed(bytes);
      last_growth = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - last_growth > std::chrono::seconds(3)) {
      player.stop_record_audio();
      progress.clear();
      fail("capture stalled after " + std::to_string(have / 2) + " samples");
      return 1;
    }
    progress.update(static_cast<double>(have) / kListenBytesPerSecond);
  }
  player.stop_record_audio();
  feed(tool::capture_sink_drain());
  decoders.flush();
  progress.finish(static_cast<double>(have) / kListenBytesPerSecond);
  if (decoders.decoded() == 0) {
    fail("nothing decoded");
    return 1;
  }
  return 0;
}

}  // namespace

extern const cli::Command listen_command = {
    "listen",
    "listen [--device virtual|hw|hw:NAME] [--seconds N] [--format mf|tone|auto] [--source "
    "FILE.wav] "
    "[--quiet] [--verbose]",
    {tool::kDeviceOption, {"--seconds", true}, tool::kFormatOption, {"--source", true}},
    0,
    0,
    run,
};
