// Public calls on one player instance from several threads at once: appends, queries and control
// calls on other threads while playback starts and stops, concurrent appends, and a mute delay
// that is in progress when playback stops.
#include <gtest/gtest.h>
#include <ohaudio/virtual_device.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "sonora/sonora.h"
#include "test_support.h"

namespace {

using sonora::byte;
using sonora::PlaySuit;
using sonora::Sonora;
using testing_support::eventually;
using testing_support::pcm_suit;

using ControlCalls = testing_support::RealClockTest;

TEST_F(ControlCalls, EveryCallIsSafeWhilePlaybackStartsAndStopsOnAnotherThread) {
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, 160, 3);  // 10 ms blocks
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> calls{0};
  auto feeder = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<byte> chunk(400, 5);
    while (!done.load()) {
      switch (rng() % 10) {
        case 0:
        case 1:
        case 2:
          player.append_audio_data(chunk.data(), 1 + rng() % chunk.size(), nullptr);
          break;
        case 3:
          player.audio_left();
          break;
        case 4:
          player.clean_buffer();
          break;
        case 5:
          player.flush();
          break;
        case 6:
          player.pause();
          player.resume();
          break;
        case 7:
          player.adjust_track_volume(0.5f + static_cast<float>(rng() % 3));
          break;
        case 8:
          player.add_mute_delay_blocked(rng() % 3);
          break;
        default:
          player.audio_working();
          break;
      }
      calls.fetch_add(1);
    }
  };
  std::thread t1(feeder, 1u), t2(feeder, 2u);
  for (int cycle = 0; cycle < 200; ++cycle) {
    ASSERT_TRUE(player.enable_audio(true)) << cycle;
    ASSERT_TRUE(player.enable_audio(false)) << cycle;
  }
  done.store(true);
  t1.join();
  t2.join();
  EXPECT_GT(calls.load(), 200u);
  // The instance still plays after all that.
  ASSERT_TRUE(player.enable_audio(true));
  std::vector<byte> block(160, 9);
  EXPECT_TRUE(eventually([&] { return player.append_audio_data(block.data(), 160, nullptr); }));
}

TEST_F(ControlCalls, ConcurrentAppendsQueueEveryBlockTheyAccept) {
  // Threads append a chunk each at the same moment to a player whose renderer is idle, asking
  // together for more blocks than the pool of 64 holds. Whatever is accepted is queued whole and
  // played. Eight 9-block chunks; four 40-block chunks (two of which already overfill the pool).
  vdev::set_manual_clock(true);
  const size_t block = 320;
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, block, 50);  // no catch-up skipping
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  struct Case {
    int threads, blocks_per_chunk;
  } cases[] = {{8, 9}, {4, 40}};
  for (const auto& c : cases) {
    for (int trial = 0; trial < 40; ++trial) {
      SCOPED_TRACE(testing::Message()
                   << c.threads << " x " << c.blocks_per_chunk << ", trial " << trial);
      vdev::reset();
      Sonora player(&suit, nullptr);
      ASSERT_TRUE(player.enable_audio(true));
      std::atomic<int> ready{0};
      std::vector<int> accepted(static_cast<size_t>(c.threads), 0);
      std::vector<std::thread> pool;
      for (int t = 0; t < c.threads; ++t) {
        pool.emplace_back([&, t] {
          std::vector<byte> chunk(block * static_cast<size_t>(c.blocks_per_chunk),
                                  static_cast<byte>(t + 1));
          ready.fetch_add(1);
          while (ready.load() < c.threads) {
          }
          accepted[static_cast<size_t>(t)] =
              player.append_audio_data(chunk.data(), chunk.size(), nullptr) ? 1 : 0;
        });
      }
      for (auto& th : pool) th.join();
      int chunks = 0;
      for (int v : accepted) chunks += v;
      const int blocks = chunks * c.blocks_per_chunk;
      ASSERT_EQ(player.audio_left(), static_cast<size_t>(blocks));
      ASSERT_EQ(vdev::pump_render(blocks), blocks);
      // Every accepted chunk came out whole: its blocks, of its thread's value.
      std::vector<byte> played = vdev::rendered();
      for (int t = 0; t < c.threads; ++t) {
        size_t n = 0;
        for (byte b : played) n += b == static_cast<byte>(t + 1) ? 1 : 0;
        EXPECT_EQ(n, accepted[static_cast<size_t>(t)] ? block * c.blocks_per_chunk : 0u) << t;
      }
    }
  }
}

TEST_F(ControlCalls, MuteDelayInProgressEndsWhenPlaybackStops) {
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, 160, 3);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  std::vector<byte> block(160, 3);
  // Stopped by enable_audio(false), then by the destructor.
  for (bool by_destructor : {false, true}) {
    SCOPED_TRACE(by_destructor ? "destructor" : "enable_audio(false)");
    auto player = std::make_unique<Sonora>(&suit, nullptr);
    ASSERT_TRUE(player->enable_audio(true));
    bool result = false;
    std::chrono::steady_clock::time_point ended;
    std::thread muter([&] {
      result = player->add_mute_delay_blocked(2000);
      ended = std::chrono::steady_clock::now();
    });
    // Muted: the queue was dropped and appends are refused (a refusal for backlog would leave
    // blocks queued).
    ASSERT_TRUE(eventually([&] {
      return !player->append_audio_data(block.data(), 160, nullptr) && player->audio_left() == 0;
    }));
    auto t0 = std::chrono::steady_clock::now();
    if (by_destructor) {
      player.reset();
    } else {
      EXPECT_TRUE(player->enable_audio(false));
    }
    muter.join();
    EXPECT_TRUE(result);
    EXPECT_LT(ended - t0, std::chrono::milliseconds(1000));
    if (!by_destructor) {
      // Start again: a new mute delay runs its whole length.
      ASSERT_TRUE(player->enable_audio(true));
      auto m0 = std::chrono::steady_clock::now();
      EXPECT_TRUE(player->add_mute_delay_blocked(60));
      EXPECT_GE(std::chrono::steady_clock::now() - m0, std::chrono::milliseconds(55));
      EXPECT_TRUE(
          eventually([&] { return player->append_audio_data(block.data(), 160, nullptr); }));
    }
  }
}

}  // namespace
