// napi_duplex_reference FAR.raw OUT_DIR DELAY_MS GAIN ROOM_MS RT60_MS DRR_DB NOISE_DBFS
//   Plays FAR.raw (16 kHz mono 16-bit) through the engine on the virtual device in a simulated
//   room (echo, room response with seed 7, noise floor with seed 11) while capturing with echo
//   cancellation and noise suppression, as test/duplex.test.js does through the module, and writes
//   what was rendered, what the microphone heard and what the capture delivered as rendered.raw,
//   mic.raw and processed.raw in OUT_DIR. Exit code 1 on failure.
#include <ohaudio/virtual_device.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sonora/sonora.h"

namespace {

constexpr int kRate = 16000;
constexpr size_t kBlock = 640;
constexpr size_t kBacklog = 4;

std::mutex g_mutex;
std::vector<uint8_t> g_processed;

void fetch(const sonora::byte* data, size_t size, uint64_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_processed.insert(g_processed.end(), data, data + size);
}

size_t processed_bytes() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_processed.size();
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr,
                 "usage: %s FAR.raw OUT_DIR DELAY_MS GAIN ROOM_MS RT60_MS DRR_DB NOISE_DBFS\n",
                 argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<uint8_t> far((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  const std::string dir = argv[2];
  vdev::reset();
  vdev::set_echo(std::atoi(argv[3]), std::strtof(argv[4], nullptr));
  vdev::set_echo_impulse_response(vdev::room_impulse_response(
      kRate, std::atoi(argv[5]), std::atoi(argv[6]), std::strtof(argv[7], nullptr), 7));
  vdev::set_capture_noise(std::strtof(argv[8], nullptr), 11);

  sonora::audio::Suit audio = {};
  audio.type = sonora::audio::kTypeRawPCM;
  audio.sample_rate = kRate;
  audio.channel_per_frame = 1;
  audio.bit_per_channel = 16;
  audio.block = kBlock;
  audio.enable_aec = true;
  audio.enable_ns = true;
  audio.buffer_frame_count = 3;
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
  sonora::Sonora player(&suit, nullptr);
  if (!player.enable_audio(true) || !player.start_record_audio(fetch, 0)) {
    std::fprintf(stderr, "napi_duplex_reference: the virtual device did not start\n");
    return 1;
  }
  size_t pos = 0;
  while (pos < far.size()) {
    const size_t n = std::min(kBlock, far.size() - pos);
    if (player.audio_left() < kBacklog && player.append_audio_data(far.data() + pos, n, nullptr)) {
      pos += n;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  player.flush();
  // The far end plays out, then one second of its echo's tail is captured.
  const size_t wanted = far.size() + kRate * 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (player.audio_left() > 0 || processed_bytes() < wanted) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "napi_duplex_reference: capture stalled\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  player.stop_record_audio();
  player.enable_audio(false);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!write_file(dir + "/rendered.raw", vdev::rendered()) ||
      !write_file(dir + "/mic.raw", vdev::captured()) ||
      !write_file(dir + "/processed.raw", g_processed)) {
    std::fprintf(stderr, "napi_duplex_reference: cannot write to %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
