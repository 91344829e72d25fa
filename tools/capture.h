// Microphone capture through the engine, shared by the commands: the 16 kHz mono capture format,
// the sink that keeps every block the engine's fetch_cb delivers, and the events of a player.
#ifndef TOOLS_CAPTURE_H
#define TOOLS_CAPTURE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <string>

#include "cli.h"
#include "sonora/sonora.h"
#include "stdout_silencer.h"

namespace tool {

// The capture format: 16000 Hz mono 16-bit, 20 ms blocks.
inline constexpr int kCaptureRate = 16000;
inline constexpr size_t kCaptureBlock = 640;  // bytes
inline constexpr double kCaptureBytesPerSecond = kCaptureRate * 2.0;

// Raw PCM suit of 16-bit capture (by default the capture format) with the given processing and
// playback lead.
sonora::audio::Suit capture_suit(bool aec, bool ns, int buffer_frame_count, int rate = kCaptureRate,
                                 size_t block = kCaptureBlock, int channels = 1);

// Reads --canceller mobile|full into *canceller (left as it is when the option is absent); false
// with the reason in *error (a usage error) for any other value.
bool canceller_option(const cli::Args& args, sonora::EchoCanceller* canceller, std::string* error);
// The sample rates the canceller works at (mono 16-bit).
bool canceller_takes_rate(sonora::EchoCanceller canceller, int rate);

// The process's one capture sink: fetch_cb appends the delivered blocks in order.
void capture_sink_clear();
void capture_sink_fetch(const sonora::byte* data, size_t size, uint64_t ts);
size_t capture_sink_bytes();
std::vector<uint8_t> capture_sink_take();
// Takes the blocks delivered so far out of the sink, leaving it empty.
std::vector<uint8_t> capture_sink_drain();

// Receives a player's events on the handler's thread; keeps the start results.
class EngineEvents : public utils::Handler {
 public:
  ~EngineEvents() override { stop(); }
  bool handle(int window, int arg1, int arg2, void* data) override;
  // Waits up to timeout_ms for the (player or record) start event; its arg2, or -1.
  int wait_player_start(int timeout_ms) const { return wait(player_start_, timeout_ms); }
  int wait_record_start(int timeout_ms) const { return wait(record_start_, timeout_ms); }

 private:
  static int wait(const std::atomic<int>& result, int timeout_ms);
  std::atomic<int> player_start_{-1};
  std::atomic<int> record_start_{-1};
};

// Process set-up and tear-down of the engine (factory and automatic gain control) for a command.
// The gain control's settings, which the set-up prints, are shown with --verbose only.
class EngineProcess {
 public:
  explicit EngineProcess(bool verbose) {
    StdoutSilencer silencer(!verbose);
    ok_ = sonora::Sonora::init(nullptr);
  }
  ~EngineProcess() { sonora::Sonora::deinit(); }
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

}  // namespace tool

#endif  // TOOLS_CAPTURE_H
