// Soak run on the virtual device (real clock): threads append uneven chunks to two player
// instances while others pause, resume, flush, clean, mute and change the track volume; capture
// with echo cancellation on one instance starts and stops over and over; sound-wave
// configurations run and are stopped. Prints counters every 10 s and at the end: frames accepted
// and refused, blocks queued, played, skipped by the renderer's catch-up and cleared by the
// control calls, underruns, capture blocks captured, delivered and dropped, peak memory (RSS) and
// the render and capture callback time percentiles. Exits with 1 when a block was lost without
// being counted anywhere (queued blocks not played, skipped or cleared; captured blocks neither
// delivered nor dropped at a stop; delivered blocks that did not reach fetch_cb), when capture
// delivered fewer blocks than its runs should have produced, or an instance did not stop cleanly.
//
//   soak [--minutes N]   (default 1)
#include <ohaudio/virtual_device.h>

#include <algorithm>
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

#include "audio/factory.h"
#include "audio/player.h"
#include "audio/recorder.h"
#include "sonora/body.h"
#include "sonora/sonora.h"

namespace {

using sonora::byte;
using sonora::PlaySuit;
using sonora::Sonora;
using Engine = sonora::Body;  // the instance behind Sonora, whose playback counters the soak reads
using Clock = std::chrono::steady_clock;

constexpr size_t kCaptureBlock = 640;  // 20 ms of 16 kHz mono
// Blocks a capture run may lose: the block being cut at stop, the blocks queued when the stop
// empties the queue, and the first capture frame (40 ms) of the run.
constexpr uint64_t kLossPerRun = 6;

std::atomic<uint64_t> g_blocks{0};

void on_block(const byte*, size_t, uint64_t) {
  g_blocks.fetch_add(1);
}

// The largest resident set seen so far (the kernel's high-water mark is only brought up to date
// now and then, so a later reading can be lower than an earlier one).
long peak_rss_kb() {
  static long peak = -1;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0 || line.rfind("VmRSS:", 0) == 0) {
      peak = std::max(peak, std::atol(line.c_str() + 6));
    }
  }
  return peak;
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

void feeder(Engine* player, size_t block, size_t frame_bytes, unsigned seed,
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

void controller(Engine* player, unsigned seed, const std::atomic<bool>* done) {
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
  vdev::set_recording(false);  // the device's own recordings would count in the peak memory
  vdev::set_echo(30, 0.5f);
  vdev::set_capture_noise(-65.0f, 3);
  vdev::set_callback_jitter_ms(3);

  sonora::audio::Suit sa = suit_of(16000, 1, kCaptureBlock);
  sa.enable_aec = true;
  sonora::audio::Suit sb = suit_of(48000, 2, 1920);
  PlaySuit suit_a(1, sonora::kPTypeByFPS, &sa, nullptr);
  PlaySuit suit_b(2, sonora::kPTypeByFPS, &sb, nullptr);
  auto a = std::make_unique<Engine>(nullptr, &suit_a, nullptr);
  auto b = std::make_unique<Engine>(nullptr, &suit_b, nullptr);
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

  const sonora::audio::Player::Counters& pa = a->audio_player_->counters();
  const sonora::audio::Player::Counters& pb = b->audio_player_->counters();
  const sonora::audio::Recorder::Counters& rc =
      sonora::audio::Factory::instance(nullptr)->get_recorder(0)->counters();
  auto u = [](const std::atomic<uint64_t>& v) { return static_cast<unsigned long long>(v.load()); };
  auto report = [&](const char* when, double seconds) {
    std::printf("%s %6.0f s | peak RSS %ld kB | configurations %llu\n", when, seconds,
                peak_rss_kb(), u(configs));
    const Counts* counts[] = {&ca, &cb};
    const sonora::audio::Player::Counters* players[] = {&pa, &pb};
    for (int i = 0; i < 2; ++i) {
      const sonora::audio::Player::Counters& p = *players[i];
      std::printf(
          "  %c frames accepted %llu refused %llu | blocks queued %llu played %llu skipped %llu "
          "cleared %llu | underruns %llu\n",
          'A' + i, u(counts[i]->accepted_frames), u(counts[i]->refused_frames), u(p.queued),
          u(p.played), u(p.skipped), u(p.cleared), u(p.underruns));
    }
    std::printf(
        "  capture runs %llu | blocks captured %llu delivered %llu (fetch_cb %llu, expected %llu) "
        "dropped: pool full %llu, at stop %llu\n",
        u(runs), u(rc.captured), u(rc.delivered), u(g_blocks), u(expected_blocks),
        u(rc.dropped_full), u(rc.dropped_at_stop));
    const vdev::CallbackTimes rt = vdev::callback_times(true), ct = vdev::callback_times(false);
    std::printf(
        "  callback time, us: render p50 %.0f p99 %.0f p99.9 %.0f max %.0f (%llu) | capture p50 "
        "%.0f p99 %.0f p99.9 %.0f max %.0f (%llu)\n",
        rt.p50_us, rt.p99_us, rt.p999_us, rt.max_us, static_cast<unsigned long long>(rt.count),
        ct.p50_us, ct.p99_us, ct.p999_us, ct.max_us, static_cast<unsigned long long>(ct.count));
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
  // Everything still queued is cleared by a pause (which waits for a request in progress), so
  // every block queued has been played, skipped or cleared.
  a->pause();
  b->pause();
  report("end", std::chrono::duration<double>(Clock::now() - start).count());

  int status = 0;
  for (const auto* p : {&pa, &pb}) {
    const uint64_t accounted = p->played.load() + p->skipped.load() + p->cleared.load();
    if (accounted != p->queued.load()) {
      std::printf("LOST: %llu blocks queued, %llu played, skipped or cleared\n", u(p->queued),
                  static_cast<unsigned long long>(accounted));
      status = 1;
    }
  }
  if (rc.captured.load() != rc.delivered.load() + rc.dropped_at_stop.load() ||
      rc.delivered.load() != g_blocks.load()) {
    std::printf(
        "LOST: %llu blocks captured, %llu delivered, %llu dropped at a stop, %llu reached "
        "fetch_cb\n",
        u(rc.captured), u(rc.delivered), u(rc.dropped_at_stop), u(g_blocks));
    status = 1;
  }
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
