// Playback on the virtual device running on the real-time clock: what is appended comes out of the
// renderer bit-exact and gap-free, and stopping or resetting playback while the renderer runs is
// safe.
#include <gtest/gtest.h>
#include <ohaudio/virtual_device.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "audio/ohos_player.h"
#include "sonora/body.h"
#include "sonora/sonora.h"
#include "test_support.h"

namespace {

using sonora::byte;
using sonora::PlaySuit;
using sonora::Sonora;
using testing_support::eventually;
using testing_support::pcm_suit;
using testing_support::RecordingHandler;

std::vector<byte> chirp_bytes(int rate, double seconds) {
  std::vector<int16_t> s;
  const double pi = 3.14159265358979323846;
  double phase = 0;
  const int n = static_cast<int>(rate * seconds);
  for (int i = 0; i < n; ++i) {
    double t = static_cast<double>(i) / rate;
    phase += 2 * pi * (100.0 + 1500.0 * t) / rate;
    s.push_back(static_cast<int16_t>(std::lrint(12000 * std::sin(phase))));
  }
  std::vector<byte> out(s.size() * 2);
  std::memcpy(out.data(), s.data(), out.size());
  return out;
}

using PlaybackIntegration = testing_support::RealClockTest;

TEST_F(PlaybackIntegration, ChirpInUnevenChunksComesOutBitExactAndGapFree) {
  const int rate = 16000;
  const size_t block = 640;
  const int backlog = 10;
  RecordingHandler handler;
  sonora::audio::Suit a = pcm_suit(rate, 1, 16, block, backlog);
  PlaySuit suit(3, sonora::kPTypeByFPS, &a, nullptr);
  std::vector<byte> input = chirp_bytes(rate, 3.0);

  {
    Sonora player(&suit, &handler);
    ASSERT_TRUE(player.enable_audio(true));
    std::mt19937 rng(42);
    std::uniform_int_distribution<size_t> chunk_size(1, 3 * block);
    size_t pos = 0;
    while (pos < input.size()) {
      size_t n = std::min(chunk_size(rng), input.size() - pos);
      // A chunk completes at most n / block + 1 blocks; keep the queue at or below twice the
      // start-up count, where the renderer never thins it.
      size_t room = static_cast<size_t>(2 * backlog) - (n / block + 1);
      ASSERT_TRUE(eventually([&] { return player.audio_left() <= room; }, 10000));
      ASSERT_TRUE(player.append_audio_data(input.data() + pos, n, nullptr)) << pos;
      pos += n;
    }
    player.flush();
    ASSERT_TRUE(eventually([&] { return player.audio_left() == 0; }, 10000));
    uint64_t target = vdev::render_requests() + 3;
    ASSERT_TRUE(vdev::wait_render_requests(target, 5000));
    EXPECT_TRUE(player.enable_audio(false));
  }
  std::vector<byte> out = vdev::rendered();
  EXPECT_EQ(vdev::last_request_bytes(), static_cast<int32_t>(block));
  auto at = std::search(out.begin(), out.end(), input.begin(), input.end());
  ASSERT_NE(at, out.end()) << "the input is not contained contiguously in the rendered stream";
  // Before and after it, only silence.
  EXPECT_TRUE(std::all_of(out.begin(), at, [](byte b) { return b == 0; }));
  EXPECT_TRUE(
      std::all_of(at + static_cast<long>(input.size()), out.end(), [](byte b) { return b == 0; }));
  EXPECT_EQ(handler.count(sonora::kArg1AudioPlayerStart, sonora::kArg2Success), 1u);
}

TEST_F(PlaybackIntegration, StoppingAndDestroyingWhileTheRendererRunsIsSafe) {
  // Repeatedly start, feed, and stop (or destroy) a player whose renderer is running; under the
  // address sanitizer a callback that touches the released pool or queue is reported.
  const size_t block = 320;
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, block, 3);
  PlaySuit suit(1, sonora::kPTypeAutoStop, &a, nullptr);
  std::vector<byte> data(block * 4, 0x11);
  vdev::set_callback_jitter_ms(2);
  for (int round = 0; round < 30; ++round) {
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    player.append_audio_data(data.data(), data.size(), nullptr);
    uint64_t target = vdev::render_requests() + 1 + static_cast<uint64_t>(round % 3);
    vdev::wait_render_requests(target, 2000);
    if (round % 2 == 0) {
      EXPECT_TRUE(player.enable_audio(false));
    }
    // odd rounds: the destructor stops the renderer
  }
}

TEST_F(PlaybackIntegration, CleanWhileTheCallbackHoldsAFrameNeverCorruptsThePool) {
  // The render callback runs in a tight loop on one thread while another appends numbered blocks
  // and empties the queue now and then, and a third thread empties it too. Every request must hold
  // one whole block, and the numbers must rise: cleaning only removes blocks. A callback that
  // returned a frame after a reset would release a slot that belongs to a newer queued frame; that
  // slot is then handed out again and the queue shows one block twice, or a block is overwritten
  // while it is being copied.
  vdev::set_manual_clock(true);
  // Large blocks widen the window in which the callback copies a frame it holds.
  const size_t block = 19200;
  sonora::audio::Suit a = pcm_suit(48000, 1, 16, block, 50);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  sonora::Body body(nullptr, &suit, nullptr);
  ASSERT_TRUE(body.enable_audio(true));
  void* player = body.audio_player_;

  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::atomic<int> out_of_order{0};
  std::atomic<long> played{0};
  std::thread renderer([&] {
    std::vector<uint32_t> buf(block / 4);
    uint32_t last = 0;
    while (!stop.load()) {
      sonora::audio::OH_AudioRenderer_OnWriteData_func(nullptr, player, buf.data(),
                                                       static_cast<int32_t>(block));
      uint32_t v = buf[0];
      if (!std::all_of(buf.begin(), buf.end(), [&](uint32_t w) { return w == v; })) ++torn;
      if (v == 0) continue;  // silence
      if (v <= last) ++out_of_order;
      last = v;
      ++played;
    }
  });
  std::thread writer([&] {
    std::vector<uint32_t> b(block / 4);
    uint32_t seq = 1;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
      std::fill(b.begin(), b.end(), seq);
      if (body.append_audio_data(reinterpret_cast<const byte*>(b.data()), block, nullptr)) ++seq;
      if (i % 8 == 7) body.clean_buffer();
    }
    stop.store(true);
  });
  // A second application thread resets the queue too, racing the appends' block building.
  std::thread cleaner([&] {
    while (!stop.load()) {
      body.clean_buffer();
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  writer.join();
  cleaner.join();
  renderer.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(out_of_order.load(), 0);
  EXPECT_GT(played.load(), 0);
  EXPECT_EQ(body.audio_player_->outstanding(), body.audio_left());
  // The pool still works: everything queued drains and the pool ends empty.
  std::vector<byte> buf(block);
  while (body.audio_left() > 0) {
    sonora::audio::OH_AudioRenderer_OnWriteData_func(nullptr, player, buf.data(),
                                                     static_cast<int32_t>(block));
  }
  EXPECT_EQ(body.audio_player_->outstanding(), 0u);
}

}  // namespace
