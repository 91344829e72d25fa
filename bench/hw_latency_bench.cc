// Round-trip latency through a real audio server: a click appended to the player travels through
// the renderer, the JACK server (the library's output ports connected to its input ports) and the
// capturer, and is timed from the append to its arrival in the capture callback (fetch_cb).
// Printed next to the sum of the configured buffers on that path. Needs a JACK server
// (scripts/jack-server start); without one it says so and exits 0.
#include <ohaudio/virtual_device.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sonora/sonora.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRate = 16000;
constexpr size_t kBlock = kRate / 50 * 2;  // 20 ms of 16-bit mono
constexpr int kQueued = 3;                 // blocks kept queued ahead of the click
constexpr int kClicks = 10;

std::atomic<int64_t> g_arrival_ns{0};
std::atomic<bool> g_armed{false};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

void fetch(const sonora::byte* data, size_t size, uint64_t) {
  if (!g_armed.load()) return;
  const auto* s = reinterpret_cast<const int16_t*>(data);
  for (size_t i = 0; i < size / 2; ++i) {
    if (std::abs(static_cast<int>(s[i])) > 8000) {
      g_arrival_ns.store(now_ns());
      g_armed.store(false);
      return;
    }
  }
}

class Quiet : public utils::Handler {
 public:
  ~Quiet() override { stop(); }
  bool handle(int, int, int, void*) override { return true; }
};

std::vector<std::string> own_ports(const std::string& prefix) {
  std::vector<std::string> ports;
  const std::string wanted = "marlin-" + std::to_string(static_cast<long>(getpid())) + ":" + prefix;
  FILE* lsp = popen("jack_lsp 2>/dev/null", "r");
  if (lsp == nullptr) return ports;
  char line[512];
  while (std::fgets(line, sizeof(line), lsp) != nullptr) {
    std::string port(line);
    while (!port.empty() && (port.back() == '\n' || port.back() == '\r')) port.pop_back();
    if (port.compare(0, wanted.size(), wanted) == 0) ports.push_back(port);
  }
  pclose(lsp);
  return ports;
}

bool server_reachable() {
  if (!vdev::hardware_available() || std::system("jack_lsp >/dev/null 2>&1") != 0) return false;
  for (const vdev::HardwareDevice& d : vdev::hardware_devices()) {
    if (d.host_api.find("JACK") != std::string::npos && d.name == "system") return true;
  }
  return false;
}

}  // namespace

int main() {
  if (!server_reachable()) {
    std::printf(
        "hw_latency_bench: skipped: no JACK server reachable (scripts/jack-server start)\n");
    return 0;
  }
  vdev::use_hardware(true);
  vdev::use_hardware_device("system", "system");
  if (!sonora::Sonora::init(nullptr)) return 1;
  int code = 0;
  {
    sonora::audio::Suit audio;
    std::memset(&audio, 0, sizeof(audio));
    audio.type = sonora::audio::kTypeRawPCM;
    audio.sample_rate = kRate;
    audio.channel_per_frame = 1;
    audio.bit_per_channel = 16;
    audio.block = kBlock;
    audio.buffer_frame_count = kQueued;
    sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
    Quiet handler;
    sonora::Sonora player(&suit, &handler);
    if (!player.enable_audio(true) || !player.start_record_audio(fetch, 0)) {
      std::printf("hw_latency_bench: the hardware streams did not start: %s\n",
                  vdev::hardware_last_error().c_str());
      return 1;
    }
    for (const std::string& out : own_ports("out_")) {
      for (const std::string& in : own_ports("in_")) {
        std::system(("jack_connect " + out + " " + in + " >/dev/null 2>&1").c_str());
      }
    }
    const std::vector<uint8_t> silence(kBlock, 0);
    std::vector<int16_t> click(kBlock / 2, 0);
    for (int i = 0; i < 16; ++i) click[i] = (i % 2 == 0) ? 30000 : -30000;
    auto feed_silence_for = [&](int ms) {
      const auto end = Clock::now() + std::chrono::milliseconds(ms);
      while (Clock::now() < end) {
        if (player.audio_left() < static_cast<size_t>(kQueued)) {
          player.append_audio_data(silence.data(), kBlock, nullptr);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    };
    feed_silence_for(500);
    std::vector<double> latencies;
    for (int i = 0; i < kClicks; ++i) {
      g_armed.store(true);
      const int64_t appended = now_ns();
      player.append_audio_data(reinterpret_cast<const sonora::byte*>(click.data()), kBlock,
                               nullptr);
      feed_silence_for(600);
      if (g_armed.exchange(false)) continue;  // not heard
      latencies.push_back((g_arrival_ns.load() - appended) / 1e6);
    }
    player.stop_record_audio();
    player.enable_audio(false);

    const vdev::HardwareStreamInfo out = vdev::hardware_renderer_info();
    const vdev::HardwareStreamInfo in = vdev::hardware_capturer_info();
    const double block_ms = 1000.0 * kBlock / (2.0 * kRate);
    const double queue_ms = kQueued * block_ms;
    const double render_ms = 1000.0 * out.request_bytes / (2.0 * kRate);
    const double capture_ms = 1000.0 * in.request_bytes / (2.0 * kRate);
    const double sum = queue_ms + render_ms + out.device_latency_ms + out.conversion_latency_ms +
                       in.device_latency_ms + in.conversion_latency_ms + capture_ms;
    std::printf("round trip over the JACK loopback (%d Hz mono stream, device %d Hz)\n", kRate,
                out.device_rate);
    std::printf("%-44s %8s\n", "path", "ms");
    std::printf("%-44s %8.1f\n", "player queue ahead of the click", queue_ms);
    std::printf("%-44s %8.1f\n", "renderer request", render_ms);
    std::printf("%-44s %8.1f\n", "renderer conversion (resampler)", out.conversion_latency_ms);
    std::printf("%-44s %8.1f\n", "output device latency (PortAudio)", out.device_latency_ms);
    std::printf("%-44s %8.1f\n", "input device latency (PortAudio)", in.device_latency_ms);
    std::printf("%-44s %8.1f\n", "capturer conversion (resampler)", in.conversion_latency_ms);
    std::printf("%-44s %8.1f\n", "capture delivery", capture_ms);
    std::printf("%-44s %8.1f\n", "sum of the configured buffers", sum);
    if (latencies.empty()) {
      std::printf("no click came back\n");
      code = 1;
    } else {
      std::sort(latencies.begin(), latencies.end());
      std::printf("%-44s %8.1f  (min %.1f, max %.1f, %zu of %d clicks)\n",
                  "measured: append -> fetch_cb, median", latencies[latencies.size() / 2],
                  latencies.front(), latencies.back(), latencies.size(), kClicks);
    }
    const vdev::HardwareStats stats = vdev::hardware_stats();
    std::printf("underflows %llu, overflows %llu, errors %llu\n",
                static_cast<unsigned long long>(stats.output_underflows + stats.input_underflows),
                static_cast<unsigned long long>(stats.output_overflows + stats.input_overflows),
                static_cast<unsigned long long>(stats.errors));
  }
  sonora::Sonora::deinit();
  return code;
}
