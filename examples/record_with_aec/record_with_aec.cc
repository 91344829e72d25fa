// record_with_aec: captures the microphone with echo cancellation while playing a tone.
//
// On the virtual audio device the microphone hears an echo of what is played (vdev::set_echo:
// 40 ms later, at half the level). The engine plays a pulsed 440 Hz tone and captures 16 kHz mono
// with its echo canceller on; the program prints the level of the echo in the raw microphone signal
// and in the blocks the capture delivered, and succeeds when the canceller removed most of it.
#include <hilog/log_sink.h>          // hilog::set_sink, where the engine's log lines go
#include <ohaudio/virtual_device.h>  // vdev::, the desktop virtual audio device
#include <sonora/sonora.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 16000;            // echo cancellation works on 8 or 16 kHz mono 16-bit
constexpr size_t kBlock = 640;          // bytes: 20 ms
constexpr double kSeconds = 4;          // captured
constexpr double kConvergeSeconds = 2;  // left out of the levels: the canceller adapts first

// The capture callback is a plain function: it collects the processed blocks here.
std::mutex g_mutex;
std::vector<int16_t> g_processed;

void on_block(const sonora::byte* data, size_t size, uint64_t /*ts*/) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const size_t n = size / 2;
  const size_t old = g_processed.size();
  g_processed.resize(old + n);
  std::memcpy(g_processed.data() + old, data, n * 2);
}

size_t processed_samples() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_processed.size();
}

// The far end: a 440 Hz tone in pulses, three a second, rising and falling smoothly like
// syllables. (The canceller adapts to a far end whose level varies; a steady tone or steady
// noise is not cancelled.)
double tone_sample(double t) {
  return std::sin(2 * kPi * 440 * t) * std::max(0.0, std::sin(2 * kPi * 3 * t));
}

// RMS level of samples [from, to) in dB relative to full scale.
double level_dbfs(const int16_t* s, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += static_cast<double>(s[i]) * s[i];
  const double rms = std::sqrt(sum / static_cast<double>(to - from));
  return 20 * std::log10(std::max(rms, 1e-3) / 32768);
}

// Plays the tone, captures, compares the levels. 0 on success.
int run() {
  // One suit for both directions: playback and capture are 16 kHz mono, 20 ms blocks.
  sonora::audio::Suit audio = {};
  audio.type = sonora::audio::kTypeRawPCM;
  audio.sample_rate = kRate;
  audio.channel_per_frame = 1;
  audio.bit_per_channel = 16;
  audio.block = kBlock;
  audio.buffer_frame_count = 3;
  audio.enable_aec = true;  // cancel the echo of what this instance plays
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
  sonora::Sonora player(&suit, nullptr);  // no event handler: nothing is reported

  std::printf("playing a pulsed 440 Hz tone and capturing %.0f s with echo cancellation\n",
              kSeconds);
  if (!player.enable_audio(true) || !player.start_record_audio(on_block, 0)) {
    std::fprintf(stderr, "record_with_aec: the virtual device did not start\n");
    return 1;
  }
  // Keep the tone playing (a few blocks queued) until enough has been captured.
  std::vector<int16_t> tone(kBlock / 2);
  const size_t wanted = static_cast<size_t>(kSeconds * kRate);
  for (size_t n = 0; processed_samples() < wanted;) {
    if (player.audio_left() >= 4) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    for (size_t i = 0; i < tone.size(); ++i) {
      tone[i] = static_cast<int16_t>(12000 * tone_sample(static_cast<double>(n + i) / kRate));
    }
    // A refused append (false) queued nothing: the same block is made again.
    if (player.append_audio_data(reinterpret_cast<const sonora::byte*>(tone.data()), kBlock,
                                 nullptr)) {
      n += tone.size();
    }
  }
  player.stop_record_audio();  // no callback runs after it returns
  player.enable_audio(false);

  // The same stretch of time in both: after the canceller has converged, up to the wanted length.
  const std::vector<uint8_t> mic_bytes = vdev::captured();  // the raw microphone
  if (mic_bytes.size() / 2 < wanted) {
    std::fprintf(stderr, "record_with_aec: the microphone delivered too little\n");
    return 1;
  }
  std::vector<int16_t> mic(wanted);
  std::memcpy(mic.data(), mic_bytes.data(), wanted * 2);
  const size_t from = static_cast<size_t>(kConvergeSeconds * kRate);
  const double before = level_dbfs(mic.data(), from, wanted);
  const double after = level_dbfs(g_processed.data(), from, wanted);  // capture has stopped
  std::printf(
      "echo level: %.1f dBFS at the microphone, %.1f dBFS after cancellation "
      "(%.1f dB less)\n",
      before, after, before - after);
  if (before - after < 10) {
    std::fprintf(stderr, "record_with_aec: the echo was not cancelled\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main() {
  // The engine logs to standard error; keep this program's output short.
  hilog::set_sink([](const hilog::Record&, void*) {}, nullptr);
  // The virtual device's room: the microphone hears the speakers 40 ms later at half the level.
  vdev::use_hardware(false);
  vdev::reset();
  vdev::set_echo(40, 0.5f);

  // Process set-up, once, before any capture; tear-down after every player is gone.
  if (!sonora::Sonora::init(nullptr)) {
    std::fprintf(stderr, "record_with_aec: Sonora::init failed\n");
    return 1;
  }
  const int code = run();
  sonora::Sonora::deinit();
  return code;
}
