// Everything at once on the virtual device running on the real clock: several application threads
// append uneven chunks to two player instances while other threads pause, resume, flush, clean,
// mute and change the track volume; capture with echo cancellation on one instance starts and
// stops over and over; sound-wave configurations run on their own thread and are stopped from
// another. Afterwards both instances still play every block they accept, bit for bit, and stop and
// are destroyed cleanly.
#include <gtest/gtest.h>
#include <ohaudio/virtual_device.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "audio/factory.h"
#include "audio/recorder.h"
#include "sonora/sonora.h"
#include "test_support.h"

namespace {

using sonora::byte;
using sonora::PlaySuit;
using sonora::Sonora;
using testing_support::eventually;
using testing_support::pcm_suit;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STRESS_SANITIZED 1
#endif
#endif
#ifdef STRESS_SANITIZED
constexpr int kSeconds = 8;
#else
constexpr int kSeconds = 20;
#endif

constexpr size_t kCaptureBlock = 640;  // 20 ms of 16 kHz mono

// What the capture callback saw. The callback is a plain function pointer, hence globals.
std::atomic<uint64_t> g_blocks{0};
std::atomic<uint64_t> g_bad_sizes{0};

void on_block(const byte* data, size_t size, uint64_t) {
  if (data == nullptr || size != kCaptureBlock) g_bad_sizes.fetch_add(1);
  g_blocks.fetch_add(1);
}

class CountingHandler : public utils::Handler {
 public:
  ~CountingHandler() override { stop(); }
  bool handle(int, int arg1, int arg2, void*) override {
    if (arg1 == sonora::kArg1AudioPlayerStart && arg2 == sonora::kArg2Failed) failed_starts++;
    events++;
    return true;
  }
  std::atomic<uint64_t> events{0};
  std::atomic<uint64_t> failed_starts{0};
};

struct Counts {
  std::atomic<uint64_t> accepted_bytes{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> controls{0};
};

void feeder(Sonora* player, size_t block, unsigned seed, const std::atomic<bool>* done,
            Counts* counts) {
  std::mt19937 rng(seed);
  // 0x0505: never one of the markers of the final check, whatever the track gain.
  std::vector<byte> chunk(block * 3, 5);
  while (!done->load()) {
    const size_t n = 1 + rng() % chunk.size();
    if (player->append_audio_data(chunk.data(), n, nullptr)) {
      counts->accepted_bytes.fetch_add(n);
    } else {
      counts->refused.fetch_add(1);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 4000));
  }
}

void controller(Sonora* player, unsigned seed, const std::atomic<bool>* done, Counts* counts) {
  std::mt19937 rng(seed);
  bool paused = false;
  while (!done->load()) {
    switch (rng() % 9) {
      case 0:
        if (paused) {
          player->resume();
        } else {
          player->pause();
        }
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
      case 5:
        EXPECT_FALSE(player->adjust_track_volume(std::numeric_limits<float>::quiet_NaN()));
        break;
      case 6:
        player->audio_left();
        break;
      default:
        player->audio_working();
        break;
    }
    counts->controls.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 25));
  }
  player->resume();
  player->adjust_track_volume(1.0f);
}

// Plays `blocks` marked blocks on each player (block k of player p holds the 16-bit value
// base[p] + k in every sample) keeping the backlog small, and checks that the recording holds each
// of them whole and in order.
void expect_marked_blocks_play(Sonora* a, size_t block_a, Sonora* b, size_t block_b, int blocks) {
  const int16_t base[2] = {10000, 20000};
  Sonora* players[2] = {a, b};
  const size_t sizes[2] = {block_a, block_b};
  const size_t from = vdev::rendered_size() / 2;
  int next[2] = {0, 0};
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while ((next[0] < blocks || next[1] < blocks) && Clock::now() < deadline) {
    bool appended = false;
    for (int p = 0; p < 2; ++p) {
      if (next[p] >= blocks || players[p]->audio_left() >= 2) continue;
      std::vector<int16_t> pcm(sizes[p] / 2, static_cast<int16_t>(base[p] + next[p]));
      if (players[p]->append_audio_data(reinterpret_cast<const byte*>(pcm.data()), sizes[p],
                                        nullptr)) {
        ++next[p];
        appended = true;
      }
    }
    if (!appended) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(next[0], blocks);
  ASSERT_EQ(next[1], blocks);
  auto count_samples = [&](int p) {
    std::vector<uint8_t> bytes = vdev::rendered();
    std::vector<size_t> n(static_cast<size_t>(blocks), 0);
    int last = -1;
    bool ordered = true;
    for (size_t i = from; 2 * i + 1 < bytes.size(); ++i) {
      int16_t v;
      std::memcpy(&v, bytes.data() + 2 * i, 2);
      const int k = v - base[p];
      if (k < 0 || k >= blocks) continue;
      if (k < last) ordered = false;
      last = k;
      n[static_cast<size_t>(k)]++;
    }
    return std::make_pair(n, ordered);
  };
  for (int p = 0; p < 2; ++p) {
    SCOPED_TRACE(p == 0 ? "player A" : "player B");
    const size_t per_block = sizes[p] / 2;
    EXPECT_TRUE(eventually([&] { return count_samples(p).first.back() == per_block; }, 10000));
    auto [n, ordered] = count_samples(p);
    EXPECT_TRUE(ordered);
    for (int k = 0; k < blocks; ++k) EXPECT_EQ(n[static_cast<size_t>(k)], per_block) << k;
  }
}

TEST(Stress, EverythingAtOnceOnTheRealClock) {
  vdev::use_hardware(false);
  vdev::set_manual_clock(false);
  vdev::reset();
  vdev::set_echo(30, 0.5f);
  ASSERT_TRUE(vdev::set_capture_noise(-65.0f, 3));
  vdev::set_callback_jitter_ms(3);
  g_blocks.store(0);
  g_bad_sizes.store(0);

  CountingHandler handler;
  // A: 16 kHz mono, 20 ms blocks, echo cancellation, captures. B: 48 kHz stereo, 10 ms blocks.
  sonora::audio::Suit sa = pcm_suit(16000, 1, 16, kCaptureBlock, 3);
  sa.enable_aec = true;
  sonora::audio::Suit sb = pcm_suit(48000, 2, 16, 1920, 3);
  PlaySuit suit_a(1, sonora::kPTypeByFPS, &sa, nullptr);
  PlaySuit suit_b(2, sonora::kPTypeByFPS, &sb, nullptr);
  auto a = std::make_unique<Sonora>(&suit_a, &handler);
  auto b = std::make_unique<Sonora>(&suit_b, &handler);
  ASSERT_TRUE(a->enable_audio(true));
  ASSERT_TRUE(b->enable_audio(true));
  // The process's one recorder counts every block it cut, delivered and dropped.
  const sonora::audio::Recorder::Counters& rc =
      sonora::audio::Factory::instance(nullptr)->get_recorder(0)->counters();
  const uint64_t captured0 = rc.captured.load(), delivered0 = rc.delivered.load(),
                 dropped0 = rc.dropped_at_stop.load();

  std::atomic<bool> done{false};
  Counts ca, cb;
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < 3; ++i) {
    threads.emplace_back(feeder, a.get(), kCaptureBlock, 11 + i, &done, &ca);
    threads.emplace_back(feeder, b.get(), size_t{1920}, 21 + i, &done, &cb);
  }
  threads.emplace_back(controller, a.get(), 31u, &done, &ca);
  threads.emplace_back(controller, b.get(), 32u, &done, &cb);

  // Capture on A, started and stopped again and again.
  std::atomic<uint64_t> capture_runs{0}, late_blocks{0}, refused_second{0};
  threads.emplace_back([&] {
    std::mt19937 rng(41);
    while (!done.load()) {
      const bool fault = rng() % 6 == 0;
      if (fault) vdev::fail_next_capturer_start(3);  // AUDIOSTREAM_ERROR_SYSTEM
      const bool started = a->start_record_audio(on_block, 0);
      if (fault) {
        EXPECT_FALSE(started);
        if (started) a->stop_record_audio();
        continue;
      }
      EXPECT_TRUE(started);
      if (!started) continue;
      capture_runs.fetch_add(1);
      // The process has one recorder: the other instance is refused while A captures.
      if (rng() % 3 == 0) {
        const bool second = b->start_record_audio(on_block, 0);
        EXPECT_FALSE(second);
        if (second) b->stop_record_audio();
        refused_second.fetch_add(1);
      }
      a->adjust_capture_volume(static_cast<float>(rng() % 20));
      (void)__atomic_load_n(&a->get_aec_status()->leap, __ATOMIC_RELAXED);
      std::this_thread::sleep_for(std::chrono::milliseconds(30 + rng() % 700));
      EXPECT_TRUE(a->stop_record_audio());
      // No block is delivered once stop_record_audio has returned.
      const uint64_t at_stop = g_blocks.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng() % 60));
      late_blocks.fetch_add(g_blocks.load() - at_stop);
    }
  });

  // Sound-wave configurations, one after the other, stopped at random moments.
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

  std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
  done.store(true);
  for (auto& t : threads) t.join();
  config.join();
  config_stopper.join();

  std::printf(
      "A: %llu bytes accepted, %llu refused, %llu control calls; B: %llu bytes accepted, %llu "
      "refused, %llu control calls; %llu capture runs, %llu blocks; %llu configurations; %llu "
      "events\n",
      static_cast<unsigned long long>(ca.accepted_bytes.load()),
      static_cast<unsigned long long>(ca.refused.load()),
      static_cast<unsigned long long>(ca.controls.load()),
      static_cast<unsigned long long>(cb.accepted_bytes.load()),
      static_cast<unsigned long long>(cb.refused.load()),
      static_cast<unsigned long long>(cb.controls.load()),
      static_cast<unsigned long long>(capture_runs.load()),
      static_cast<unsigned long long>(g_blocks.load()),
      static_cast<unsigned long long>(configs.load()),
      static_cast<unsigned long long>(handler.events.load()));
  EXPECT_GT(ca.accepted_bytes.load(), 0u);
  EXPECT_GT(cb.accepted_bytes.load(), 0u);
  EXPECT_GT(capture_runs.load(), 0u);
  EXPECT_GT(g_blocks.load(), 0u);
  EXPECT_EQ(g_bad_sizes.load(), 0u);
  EXPECT_EQ(late_blocks.load(), 0u);
  EXPECT_EQ(handler.failed_starts.load(), 0u);
  // No captured block vanished: each was delivered to fetch_cb or dropped by a stop.
  EXPECT_EQ(rc.captured.load() - captured0,
            rc.delivered.load() - delivered0 + rc.dropped_at_stop.load() - dropped0);
  EXPECT_EQ(rc.delivered.load() - delivered0, g_blocks.load());

  // Both still play: drop what the stress left (a partial block too), then every accepted block
  // comes out whole and in order.
  ASSERT_TRUE(a->audio_working());
  ASSERT_TRUE(b->audio_working());
  for (Sonora* p : {a.get(), b.get()}) {
    p->flush();
    p->clean_buffer();
  }
  expect_marked_blocks_play(a.get(), kCaptureBlock, b.get(), 1920, 25);

  // Capture still starts and delivers after all that.
  const uint64_t before = g_blocks.load();
  ASSERT_TRUE(a->start_record_audio(on_block, 0));
  EXPECT_TRUE(eventually([&] { return g_blocks.load() > before; }));
  EXPECT_TRUE(a->stop_record_audio());

  // Stop with something queued: audio_left() is 0 afterwards.
  std::vector<byte> chunk(kCaptureBlock * 3, 7);
  EXPECT_TRUE(
      eventually([&] { return a->append_audio_data(chunk.data(), chunk.size(), nullptr); }));
  EXPECT_TRUE(a->enable_audio(false));
  EXPECT_TRUE(b->enable_audio(false));
  EXPECT_EQ(a->audio_left(), 0u);
  EXPECT_EQ(b->audio_left(), 0u);
  EXPECT_FALSE(a->audio_working());
  EXPECT_FALSE(b->audio_working());
  // Capture running when an instance is destroyed is stopped by its destructor.
  EXPECT_TRUE(b->start_record_audio(on_block, 0));
  b.reset();
  a.reset();
  const uint64_t after_destroy = g_blocks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(g_blocks.load(), after_destroy);
  vdev::set_callback_jitter_ms(0);
  vdev::reset();
}

}  // namespace
