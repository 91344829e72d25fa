#include "capture.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace tool {

namespace {

std::mutex g_sink_mutex;
std::vector<uint8_t> g_sink;

}  // namespace

sonora::audio::Suit capture_suit(bool aec, bool ns, int buffer_frame_count, int rate, size_t block,
                                 int channels) {
  sonora::audio::Suit audio;
  std::memset(&audio, 0, sizeof(audio));
  audio.type = sonora::audio::kTypeRawPCM;
  audio.sample_rate = rate;
  audio.channel_per_frame = channels;
  audio.bit_per_channel = 16;
  audio.block = block;
  audio.enable_aec = aec;
  audio.enable_ns = ns;
  audio.buffer_frame_count = buffer_frame_count;
  return audio;
}

void capture_sink_clear() {
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  g_sink.clear();
  g_sink.reserve(static_cast<size_t>(kCaptureBytesPerSecond) * 60);
}

void capture_sink_fetch(const sonora::byte* data, size_t size, uint64_t) {
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  g_sink.insert(g_sink.end(), data, data + size);
}

size_t capture_sink_bytes() {
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  return g_sink.size();
}

std::vector<uint8_t> capture_sink_take() {
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  return g_sink;
}

std::vector<uint8_t> capture_sink_drain() {
  std::vector<uint8_t> taken;
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  taken.swap(g_sink);
  return taken;
}

bool EngineEvents::handle(int, int arg1, int arg2, void*) {
  if (arg1 == sonora::kArg1AudioPlayerStart) player_start_.store(arg2);
  if (arg1 == sonora::kArg1AudioRecordStart) record_start_.store(arg2);
  return true;
}

int EngineEvents::wait(const std::atomic<int>& result, int timeout_ms) {
  for (int i = 0; i < timeout_ms && result.load() < 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return result.load();
}

bool canceller_option(const cli::Args& args, sonora::EchoCanceller* canceller, std::string* error) {
  if (!args.has("--canceller")) return true;
  const std::string v = args.value("--canceller");
  if (v == "mobile") {
    *canceller = sonora::kEchoCancellerMobile;
  } else if (v == "full") {
    *canceller = sonora::kEchoCancellerFull;
  } else {
    *error = "--canceller must be mobile or full, not \"" + v + "\"";
    return false;
  }
  return true;
}

bool canceller_takes_rate(sonora::EchoCanceller canceller, int rate) {
  if (rate == 8000 || rate == 16000) return true;
  return canceller == sonora::kEchoCancellerFull && (rate == 32000 || rate == 48000);
}

}  // namespace tool
