// The C++ side of bench/napi_cost.js: what one appended block and one delivered capture block cost
// through the engine's own API, measured as the script does it through the module. Prints
// "append_ns N" and "capture_ns N" (nanoseconds per block, wall clock).
//
//   napi_cost_reference [APPENDS] [CAPTURES]
#include <ohaudio/virtual_device.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "sonora/sonora.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> g_delivered{0};
std::atomic<uint64_t> g_sum{0};

void fetch(const sonora::byte* data, size_t size, uint64_t ts) {
  // As the script's callback does: look at the block and its time.
  g_sum.fetch_add(data[size / 2] + ts, std::memory_order_relaxed);
  g_delivered.fetch_add(1, std::memory_order_release);
}

double ns_per(Clock::time_point start, uint64_t n) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t appends = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  const uint64_t captures = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4000;
  sonora::audio::Suit audio = {};
  audio.type = sonora::audio::kTypeRawPCM;
  audio.sample_rate = 16000;
  audio.channel_per_frame = 1;
  audio.bit_per_channel = 16;
  audio.block = 640;
  audio.buffer_frame_count = 3;
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
  std::vector<sonora::byte> block(640, 1);

  // Appends: a full queue is cleared, as the script does.
  vdev::reset();
  vdev::set_recording(false);
  {
    sonora::Sonora player(&suit, nullptr);
    player.enable_audio(true);
    const auto start = Clock::now();
    for (uint64_t i = 0; i < appends; ++i) {
      if (!player.append_audio_data(block.data(), block.size(), nullptr)) player.clean_buffer();
    }
    std::printf("append_ns %.1f\n", ns_per(start, appends));
  }

  // Captured blocks: pumped 32 at a time on the manual clock, each batch waited for.
  vdev::set_manual_clock(true);
  {
    sonora::Sonora player(&suit, nullptr);
    player.start_record_audio(fetch, 0);
    const auto start = Clock::now();
    uint64_t pumped = 0;
    while (pumped < captures) {
      pumped += static_cast<uint64_t>(vdev::pump_capture(32));
      while (g_delivered.load(std::memory_order_acquire) + player.capture_dropped() < pumped) {
        std::this_thread::yield();
      }
    }
    std::printf("capture_ns %.1f\n", ns_per(start, pumped));
    player.stop_record_audio();
  }
  vdev::set_manual_clock(false);
  return 0;
}
