#include "playback.h"

#include <ohaudio/virtual_device.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "interrupt.h"
#include "progress.h"
#include "sonora/sonora.h"

namespace tool {

namespace {

// Receives the player's events on the handler's thread.
class StartEvents : public utils::Handler {
 public:
  ~StartEvents() override { stop(); }
  bool handle(int, int arg1, int arg2, void*) override {
    if (arg1 == sonora::kArg1AudioPlayerStart) start_result.store(arg2);
    return true;
  }
  // Waits for the start event (a by-FPS player reports nothing else).
  int wait_start(int timeout_ms) {
    for (int i = 0; i < timeout_ms && start_result.load() < 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return start_result.load();
  }
  std::atomic<int> start_result{-1};
};

}  // namespace

int play_pcm(const Pcm& pcm, Device device, bool quiet) {
  const bool hardware = device == Device::kHardware;
  if (!hardware) vdev::reset();

  const int bytes_per_frame = pcm.channels * 2;
  sonora::audio::Suit audio;
  std::memset(&audio, 0, sizeof(audio));
  audio.type = sonora::audio::kTypeRawPCM;
  audio.sample_rate = pcm.rate;
  audio.channel_per_frame = pcm.channels;
  audio.bit_per_channel = 16;
  audio.block = static_cast<size_t>(pcm.rate / 50 * bytes_per_frame);  // 20 ms
  audio.buffer_frame_count = 10;  // 200 ms of lead keeps playback gap-free on a busy machine
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
  const int backlog = suit.audio()->buffer_frame_count;

  StartEvents handler;
  sonora::Sonora player(&suit, &handler);
  bool started = player.enable_audio(true);
  handler.wait_start(2000);
  if (!started) {
    std::fprintf(stderr, "sonora: the %s audio device did not start\n", device_name(device));
    return 1;
  }
  const sonora::byte* data = reinterpret_cast<const sonora::byte*>(pcm.samples.data());
  const size_t total = pcm.samples.size() * 2;
  const size_t block = audio.block;
  const double bytes_per_second = static_cast<double>(pcm.rate) * bytes_per_frame;
  Progress progress("playing", static_cast<double>(total) / bytes_per_second, quiet);
  size_t pos = 0;
  // Keep at most 2 x buffer_frame_count blocks queued: the renderer thins the queue only beyond
  // that, so no block is ever skipped. One block per append keeps the count exact.
  catch_interrupt();
  while (pos < total) {
    if (interrupted()) {
      // Ctrl-C: what was rendered so far is kept (the caller may still write it).
      progress.finish(static_cast<double>(pos) / bytes_per_second);
      player.enable_audio(false);
      return kInterruptedExit;
    }
    if (player.audio_left() >= static_cast<size_t>(2 * backlog)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else {
      size_t n = std::min(block, total - pos);
      if (player.append_audio_data(data + pos, n, nullptr)) {
        pos += n;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    progress.update(static_cast<double>(pos) / bytes_per_second);
  }
  player.flush();
  // Drain: the queue empties, then the last block still has to pass through the device.
  while (player.audio_left() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (!hardware) {
    uint64_t target = vdev::render_requests() + 3;
    vdev::wait_render_requests(target, 2000);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  progress.finish();
  player.enable_audio(false);
  return 0;
}

}  // namespace tool
