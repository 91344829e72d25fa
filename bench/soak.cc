// Soak run on the virtual device (real clock): threads append uneven chunks to two player
// instances while others pause, resume, flush, clean, mute and change the track volume; capture
// with echo cancellation on one instance starts and stops over and over; sound-wave
// configurations run and are stopped. Prints counters every 10 s and at the end; exits with 1
// when capture delivered fewer blocks than its runs should have produced (beyond the blocks a
// start and a stop may lose) or an instance did not stop cleanly.
//
//   soak [--minutes N]   (default 1)
#include <ohaudio/virtual_device.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sonora/sonora.h"

namespace {

using sonora::byte;
using sonora::PlaySuit;
using sonora::Sonora;
using Clock = std::chrono::steady_clock;

constexpr size_t kCaptureBlock = 640;  // 20 ms of 16 kHz mono
// Blocks a capture run may lose: the block being cut at stop, the blocks queued when the stop
// empties the queue, and the first capture frame (40 ms) of the run.
constexpr uint64_t kLossPerRun = 6;

std::atomic<uint64_t> g_blocks{0};

void on_block(const byte*, size_t, uint64_t) {
  g_blocks.fetch_add(1);
}

long peak_rss_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

sonora::audio::Suit suit_of(int rate, int channels, size_t block) {
  sonora::audio::Suit s;
  std::memset(&s, 0, sizeof(s));
  s.type = sonora::audio::kTypeRawPCM;
  s.sample_rate = rate;
  s.channel_per_frame = channels;
  s.bit_per_channel = 16;
  s.block = block;
  s.buffer_frame_count = 3;
  return s;
}

struct Counts {
  std::atomic<uint64_t> accepted_frames{0};
  std::atomic<uint64_t> refused_frames{0};
};

void feeder(Sonora* player, size_t block, size_t frame_bytes, unsigned seed,
            const std::atomic<bool>* done, Counts* counts) {
  std::mt19937 rng(seed);
  std::vector<byte> chunk(block * 3, 5);
  while (!done->load()) {
    const size_t n = frame_bytes * (1 + rng() % (chunk.size() / frame_bytes));
    if (player->append_audio_data(chunk.data(), n, nullptr)) {
      counts->accepted_frames.fetch_add(n / frame_bytes);
    } else {
      counts->refused_frames.fetch_add(n / frame_bytes);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 4000));
  }
}

void controller(Sonora* player, unsigned seed, const std::atomic<bool>* done) {
  std::mt19937 rng(seed);
  bool paused = false;
  while (!done->load()) {
    switch (rng() % 6) {
      case 0:
        paused ? player->resume() : player->pause();
        paused = !paused;
        break;
      case 1:
        player->flush();
        break;
      case 2:
        player->clean_buffer();
        break;
      case 3:
        player->add_mute_delay_blocked(rng() % 40);
        break;
      case 4:
        player->adjust_track_volume(0.25f + static_cast<float>(rng() % 8) * 0.25f);
        break;
      default:
        player->audio_left();
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 25));
  }
  player->resume();
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
      minutes = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--minutes N]\n", argv[0]);
      return 2;
    }
  }
  if (!(minutes > 0)) {
    std::fprintf(stderr, "--minutes must be positive\n");
    return 2;
  }
  vdev::use_hardware(false);
  vdev::set_manual_clock(false);
  vdev::reset();
  vdev::set_echo(30, 0.5f);
  vdev::set_capture_noise(-65.0f, 3);
  vdev::set_callback_jitter_ms(3);

  sonora::audio::Suit sa = suit_of(16000, 1, kCaptureBlock);
  sa.enable_aec = true;
  sonora::audio::Suit sb = suit_of(48000, 2, 1920);
  PlaySuit suit_a(1, sonora::kPTypeByFPS, &sa, nullptr);
  PlaySuit suit_b(2, sonora::kPTypeByFPS, &sb, nullptr);
  auto a = std::make_unique<Sonora>(&suit_a, nullptr);
  auto b = std::make_unique<Sonora>(&suit_b, nullptr);
  if (!a->enable_audio(true) || !b->enable_audio(true)) {
    std::fprintf(stderr, "playback did not start\n");
    return 1;
  }
  std::atomic<bool> done{false};
  Counts ca, cb;
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < 3; ++i) {
    threads.emplace_back(feeder, a.get(), kCaptureBlock, size_t{2}, 11 + i, &done, &ca);
    threads.emplace_back(feeder, b.get(), size_t{1920}, size_t{4}, 21 + i, &done, &cb);
  }
  threads.emplace_back(controller, a.get(), 31u, &done);
  threads.emplace_back(controller, b.get(), 32u, &done);

  std::atomic<uint64_t> runs{0}, failed_starts{0}, expected_blocks{0}, allowed_loss{0};
  threads.emplace_back([&] {
    std::mt19937 rng(41);
    while (!done.load()) {
      if (!a->start_record_audio(on_block, 0)) {
        failed_starts.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      const auto t0 = Clock::now();
      std::this_thread::sleep_for(std::chrono::milliseconds(30 + rng() % 700));
      a->stop_record_audio();
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
      runs.fetch_add(1);
      expected_blocks.fetch_add(static_cast<uint64_t>(ms) / 20);
      allowed_loss.fetch_add(kLossPerRun);
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng() % 60));
    }
  });
  std::atomic<bool> config_done{false};
  std::atomic<uint64_t> configs{0};
  std::thread config([&] {
    while (!done.load()) {
      Sonora::gen_sound_config2("stress", 1);
      configs.fetch_add(1);
    }
    config_done.store(true);
  });
  std::thread config_stopper([&] {
    std::mt19937 rng(51);
    while (!config_done.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 1500));
      Sonora::stop_sound_config();
    }
  });

  auto report = [&](const char* when, double seconds) {
    std::printf(
        "%s %6.0f s: A frames accepted %llu refused %llu | B frames accepted %llu refused %llu | "
        "capture runs %llu, blocks %llu (expected %llu) | configurations %llu | peak RSS %ld kB\n",
        when, seconds, static_cast<unsigned long long>(ca.accepted_frames.load()),
        static_cast<unsigned long long>(ca.refused_frames.load()),
        static_cast<unsigned long long>(cb.accepted_frames.load()),
        static_cast<unsigned long long>(cb.refused_frames.load()),
        static_cast<unsigned long long>(runs.load()),
        static_cast<unsigned long long>(g_blocks.load()),
        static_cast<unsigned long long>(expected_blocks.load()),
        static_cast<unsigned long long>(configs.load()), peak_rss_kb());
    std::fflush(stdout);
  };
  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(static_cast<long long>(minutes * 60000));
  auto next = start + std::chrono::seconds(10);
  while (Clock::now() < end) {
    std::this_thread::sleep_until(std::min(next, end));
    if (Clock::now() >= next) {
      report("at", std::chrono::duration<double>(Clock::now() - start).count());
      next += std::chrono::seconds(10);
    }
  }
  done.store(true);
  for (auto& t : threads) t.join();
  config.join();
  config_stopper.join();
  // Render callback times are not observable from outside the library: not reported.
  report("end", std::chrono::duration<double>(Clock::now() - start).count());

  int status = 0;
  const uint64_t got = g_blocks.load(), want = expected_blocks.load(), loss = allowed_loss.load();
  if (got + loss < want) {
    std::printf("LOST: capture delivered %llu blocks, expected %llu (at most %llu lost)\n",
                static_cast<unsigned long long>(got), static_cast<unsigned long long>(want),
                static_cast<unsigned long long>(loss));
    status = 1;
  }
  if (failed_starts.load() != 0) {
    std::printf("capture refused to start %llu times\n",
                static_cast<unsigned long long>(failed_starts.load()));
    status = 1;
  }
  if (!a->enable_audio(false) || !b->enable_audio(false) || a->audio_left() != 0 ||
      b->audio_left() != 0) {
    std::printf("playback did not stop cleanly\n");
    status = 1;
  }
  a.reset();
  b.reset();
  vdev::reset();
  return status;
}
