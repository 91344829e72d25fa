// Playback through the facade on the virtual device, with the renderer pumped by hand so that
// every request is deterministic.
#include <gtest/gtest.h>
#include <hilog/log_sink.h>
#include <ohaudio/virtual_device.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "audio/aec.h"
#include "audio/ohos_player.h"
#include "sonora/body.h"
#include "sonora/sonora.h"
#include "test_support.h"

namespace {

using sonora::byte;
using sonora::PlaySuit;
using sonora::Sonora;
using testing_support::pcm_suit;
using testing_support::RecordingHandler;

class PlayerTest : public testing_support::ManualClockTest {
 protected:
  // The last `n` bytes rendered.
  static std::vector<byte> last_rendered(size_t n) {
    std::vector<byte> all = vdev::rendered();
    if (all.size() < n) return {};
    return std::vector<byte>(all.end() - static_cast<long>(n), all.end());
  }
  static std::vector<byte> block_of(size_t n, byte value) { return std::vector<byte>(n, value); }
  // The first `n` bytes of the last request (requests are of the platform's size, not a block's).
  static std::vector<byte> last_request_head(size_t n) {
    std::vector<byte> all = vdev::rendered();
    const size_t request = static_cast<size_t>(vdev::last_request_bytes());
    if (all.size() < request || request < n) return {};
    auto begin = all.end() - static_cast<long>(request);
    return std::vector<byte>(begin, begin + static_cast<long>(n));
  }
};

// Distinct 16-bit samples, so that any lost, repeated or reordered byte shows.
std::vector<byte> ramp(size_t bytes, int seed) {
  std::vector<byte> out(bytes);
  for (size_t i = 0; i < bytes; ++i)
    out[i] = static_cast<byte>((i * 7 + static_cast<size_t>(seed) * 13 + i / 251) & 0xff);
  return out;
}

TEST_F(PlayerTest, StartOutcomeReachesHandlerAndResult) {
  RecordingHandler handler;
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, 640);
  PlaySuit suit(77, sonora::kPTypeByFPS, &a, nullptr);
  {
    Sonora player(&suit, &handler);
    EXPECT_FALSE(player.append_audio_data(block_of(640, 1).data(), 640, nullptr));
    EXPECT_FALSE(player.enable_audio(false));
    EXPECT_TRUE(player.enable_audio(true));
    EXPECT_FALSE(player.enable_audio(true));  // already working: nothing changes
    ASSERT_TRUE(handler.wait_for(1));
    auto events = handler.events();
    EXPECT_EQ(events[0].what, 77);
    EXPECT_EQ(events[0].arg1, sonora::kArg1AudioPlayerStart);
    EXPECT_EQ(events[0].arg2, sonora::kArg2Success);
    EXPECT_EQ(events[0].obj, nullptr);
    EXPECT_NE(events[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(player.enable_audio(false));
    EXPECT_FALSE(player.audio_working());
  }
}

TEST_F(PlayerTest, RequestsOfAnySizePlayTheQueueBitExactAndGapFree) {
  // The platform picks the request size (0: it asks for the block's duration, clamped to
  // 20 .. 100 ms). Whatever it is, the rendered stream is the appended audio, byte for byte, in
  // order, with silence only after the queue ran dry.
  struct Case {
    int rate, channels, bits;
    int block_ms;
    int request_ms;
  } cases[] = {
      {16000, 1, 16, 10, 20},  {16000, 1, 16, 10, 40},  {16000, 1, 16, 10, 100},
      {16000, 1, 16, 20, 20},  {16000, 1, 16, 20, 40},  {16000, 1, 16, 20, 100},
      {16000, 1, 16, 40, 20},  {16000, 1, 16, 40, 40},  {16000, 1, 16, 40, 100},
      {16000, 1, 16, 60, 20},  {16000, 1, 16, 60, 40},  {16000, 1, 16, 60, 100},
      {16000, 1, 16, 100, 20}, {16000, 1, 16, 100, 40}, {16000, 1, 16, 100, 100},
      {16000, 1, 16, 120, 20}, {16000, 1, 16, 120, 40}, {16000, 1, 16, 120, 100},
      {16000, 1, 16, 10, 0},   {16000, 1, 16, 120, 0},  {44100, 2, 16, 60, 40},
      {8000, 1, 8, 60, 40},    {48000, 1, 24, 60, 100}, {48000, 2, 32, 40, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.rate << " Hz " << c.channels << " ch " << c.bits << " bits, block "
                 << c.block_ms << " ms, request " << c.request_ms << " ms");
    vdev::reset();
    vdev::set_platform_request_ms(c.request_ms);
    const size_t frame = static_cast<size_t>(c.channels * c.bits / 8);
    const size_t block =
        static_cast<size_t>(c.rate) * static_cast<size_t>(c.block_ms) / 1000 * frame;
    const int request_ms = c.request_ms > 0 ? c.request_ms : std::clamp(c.block_ms, 20, 100);
    const size_t request =
        static_cast<size_t>(c.rate) * static_cast<size_t>(request_ms) / 1000 * frame;
    sonora::audio::Suit a = pcm_suit(c.rate, c.channels, c.bits, block, 50);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    const size_t blocks = static_cast<size_t>(std::max(3, 300 / c.block_ms));
    std::vector<byte> appended;
    for (size_t i = 0; i < blocks; ++i) {
      std::vector<byte> b = ramp(block, static_cast<int>(i));
      ASSERT_TRUE(player.append_audio_data(b.data(), b.size(), nullptr));
      appended.insert(appended.end(), b.begin(), b.end());
    }
    const int requests = static_cast<int>(appended.size() / request) + 2;
    ASSERT_EQ(vdev::pump_render(requests), requests);
    EXPECT_EQ(vdev::last_request_bytes(), static_cast<int32_t>(request));
    std::vector<byte> rendered = vdev::rendered();
    ASSERT_EQ(rendered.size(), static_cast<size_t>(requests) * request);
    EXPECT_TRUE(std::equal(appended.begin(), appended.end(), rendered.begin()));
    const byte silence = c.bits == 8 ? 0x80 : 0;
    EXPECT_TRUE(std::all_of(rendered.begin() + static_cast<long>(appended.size()), rendered.end(),
                            [&](byte v) { return v == silence; }));
    EXPECT_EQ(player.audio_left(), 0u);
  }
}

// Records the far-end blocks the renderer hands to the canceller.
class FarEndRecorder : public sonora::audio::AEC {
 public:
  explicit FarEndRecorder(const sonora::audio::Suit* suit) : AEC(suit) {}
  bool is_working() override { return true; }
  bool aec(const sonora::Frame*, sonora::Frame*) override { return false; }
  bool input(const byte* data, size_t size, const sonora::TSSuit* ts) override {
    blocks.emplace_back(data, data + size);
    stamps.push_back(*ts);
    return true;
  }
  bool output_for_aec(sonora::Frame*) override { return false; }
  std::vector<std::vector<byte>> blocks;
  std::vector<sonora::TSSuit> stamps;
};

void ignore_block(const byte*, size_t, uint64_t) {}

TEST_F(PlayerTest, EachPlayedBlockReachesTheCancellerWithItsOwnPlayTime) {
  // 20 ms blocks in 100 ms requests: five blocks per request, each stamped 20 ms after the one
  // before it (not all with the request's time), numbered in order, and carrying what was played.
  const size_t block = 640;
  vdev::set_platform_request_ms(100);
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, block, 3);
  a.enable_aec = true;
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  sonora::Body body(nullptr, &suit, nullptr);
  auto* far = testing_support::replace_canceller(&body, new FarEndRecorder(suit.audio()));
  ASSERT_TRUE(body.start_record_audio(ignore_block, 0));
  ASSERT_TRUE(body.enable_audio(true));
  for (int request = 0; request < 4; ++request) {
    for (int i = 0; i < 5; ++i) {
      const int n = request * 5 + i;
      ASSERT_TRUE(body.append_audio_data(ramp(block, n).data(), block, nullptr));
    }
    ASSERT_EQ(vdev::pump_render(1), 1);
  }
  // The first three blocks fix the stream start (buffer_frame_count 3); the other 17 are fed.
  ASSERT_EQ(far->blocks.size(), 17u);
  for (size_t i = 0; i < far->blocks.size(); ++i) {
    const size_t played = i + 3;
    EXPECT_EQ(far->blocks[i], ramp(block, static_cast<int>(played))) << i;
    EXPECT_EQ(far->stamps[i].tid, i + 1) << i;
    EXPECT_NE(far->stamps[i].sts, 0u);
    if (i > 0 && played % 5 != 0) {
      EXPECT_EQ(far->stamps[i].ts, far->stamps[i - 1].ts + 20) << i;  // same request
    }
  }
  EXPECT_TRUE(body.stop_record_audio());
}

TEST_F(PlayerTest, PlaybackClockFollowsTheEarliestRequest) {
  // A late request moves the playback clock's start forward; the requests that follow it in a
  // burst (not late) move it back, so each block's label sts + (tid - 1) x 20 ms is its time.
  const size_t block = 640;
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, block, 1);
  a.enable_aec = true;
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  sonora::Body body(nullptr, &suit, nullptr);
  auto* far = testing_support::replace_canceller(&body, new FarEndRecorder(suit.audio()));
  ASSERT_TRUE(body.start_record_audio(ignore_block, 0));
  ASSERT_TRUE(body.enable_audio(true));
  auto label_error = [&] {
    const sonora::TSSuit& t = far->stamps.back();
    return static_cast<int64_t>(t.sts + (t.tid - 1) * 20) - static_cast<int64_t>(t.ts);
  };
  ASSERT_EQ(vdev::pump_render(2), 2);  // the first fixes the start
  ASSERT_EQ(far->stamps.size(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  ASSERT_EQ(vdev::pump_render(1), 1);  // late: the start moves forward
  EXPECT_EQ(label_error(), 0);
  ASSERT_EQ(vdev::pump_render(1), 1);  // at once: earlier than its label, the start moves back
  EXPECT_EQ(label_error(), 0);
  EXPECT_TRUE(body.stop_record_audio());
}

TEST_F(PlayerTest, CatchUpThinsBacklogBeyondTwiceTheStartUpCount) {
  const size_t block = 320;
  {
    sonora::audio::Suit a = pcm_suit(8000, 1, 16, block, 3);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    sonora::Body body(nullptr, &suit, nullptr);
    ASSERT_TRUE(body.enable_audio(true));
    for (byte v = 1; v <= 11; ++v) {
      ASSERT_TRUE(body.append_audio_data(block_of(block, v).data(), block, nullptr));
    }
    // 11 queued: 10 left after the take, more than 9, so two are skipped: the third plays.
    ASSERT_EQ(vdev::pump_render(1), 1);
    EXPECT_EQ(last_rendered(block), block_of(block, 3));
    EXPECT_EQ(body.audio_left(), 8u);
    EXPECT_EQ(body.audio_player_->outstanding(), 8u);  // skipped frames went back to the pool
    // 8 queued: 7 left, more than 6: one skipped.
    ASSERT_EQ(vdev::pump_render(1), 1);
    EXPECT_EQ(last_rendered(block), block_of(block, 5));
    // 6 queued: 5 left: none skipped from here on.
    for (byte v = 6; v <= 11; ++v) {
      ASSERT_EQ(vdev::pump_render(1), 1);
      EXPECT_EQ(last_rendered(block), block_of(block, v));
    }
    EXPECT_EQ(body.audio_left(), 0u);
    EXPECT_EQ(body.audio_player_->outstanding(), 0u);
    // Exactly twice B left after the take (7 queued): nothing is skipped.
    for (byte v = 1; v <= 7; ++v) {
      ASSERT_TRUE(body.append_audio_data(block_of(block, v).data(), block, nullptr));
    }
    ASSERT_EQ(vdev::pump_render(1), 1);
    EXPECT_EQ(last_rendered(block), block_of(block, 1));
    EXPECT_EQ(body.audio_left(), 6u);
  }
  {
    // 10 ms blocks in 100 ms requests: the ten blocks a request takes are not backlog. With
    // B = 3, up to 10 + 6 queued play without a skip; beyond that the backlog is thinned.
    for (int queued : {16, 17, 30}) {
      SCOPED_TRACE(queued);
      vdev::reset();
      vdev::set_platform_request_ms(100);
      const size_t small = 160;
      sonora::audio::Suit a = pcm_suit(8000, 1, 16, small, 3);
      PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
      Sonora player(&suit, nullptr);
      ASSERT_TRUE(player.enable_audio(true));
      std::vector<byte> expected;
      for (int v = 1; v <= queued; ++v) {
        auto b = block_of(small, static_cast<byte>(v));
        ASSERT_TRUE(player.append_audio_data(b.data(), small, nullptr)) << v;
        expected.insert(expected.end(), b.begin(), b.end());
      }
      ASSERT_EQ(vdev::pump_render(3), 3);
      std::vector<byte> rendered = vdev::rendered();
      const bool whole = std::equal(expected.begin(), expected.end(), rendered.begin());
      EXPECT_EQ(whole, queued <= 16);
      EXPECT_EQ(player.audio_left(), 0u);
    }
  }
  {
    // B = 50 or more: never a skip, however long the queue.
    vdev::reset();
    vdev::reset();
    sonora::audio::Suit a = pcm_suit(8000, 1, 16, block, 50);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    std::vector<byte> expected;
    for (int v = 1; v <= 50; ++v) {
      auto b = block_of(block, static_cast<byte>(v));
      ASSERT_TRUE(player.append_audio_data(b.data(), block, nullptr)) << v;
      expected.insert(expected.end(), b.begin(), b.end());
    }
    ASSERT_EQ(vdev::pump_render(50), 50);
    EXPECT_EQ(vdev::rendered(), expected);
  }
}

TEST_F(PlayerTest, AutoStopReportsOnceAtTheRightRequest) {
  const size_t block = 320;
  RecordingHandler handler;
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, block, 3);
  PlaySuit suit(5, sonora::kPTypeAutoStop, &a, nullptr);
  Sonora player(&suit, &handler);
  ASSERT_TRUE(player.enable_audio(true));
  ASSERT_TRUE(player.append_audio_data(block_of(block, 1).data(), block, nullptr));
  ASSERT_TRUE(player.append_audio_data(block_of(block, 2).data(), block, nullptr));
  ASSERT_EQ(vdev::pump_render(4), 4);
  // Two blocks played, then the first and second empty requests: no report yet.
  EXPECT_EQ(vdev::render_results(), (std::vector<int32_t>{0, 0, -1, -1}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(handler.count(sonora::kArg1AudioPlayerWorking, sonora::kArg2AutoStop), 0u);
  // The third empty request reports.
  ASSERT_EQ(vdev::pump_render(1), 1);
  ASSERT_TRUE(handler.wait_for(2));
  EXPECT_EQ(handler.events()[1].what, 5);
  EXPECT_EQ(handler.count(sonora::kArg1AudioPlayerWorking, sonora::kArg2AutoStop), 1u);
  // Stopping: the player plays nothing more, so appends are refused, and nothing more is
  // reported.
  EXPECT_FALSE(player.append_audio_data(block_of(block, 3).data(), block, nullptr));
  EXPECT_EQ(player.audio_left(), 0u);
  ASSERT_EQ(vdev::pump_render(5), 5);
  for (int32_t r : vdev::render_results()) EXPECT_LE(r, 0);
  EXPECT_EQ(vdev::render_results().back(), -1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(handler.count(sonora::kArg1AudioPlayerWorking, sonora::kArg2AutoStop), 1u);
  EXPECT_TRUE(player.audio_working());
  std::vector<byte> played = vdev::rendered();
  EXPECT_EQ(std::vector<byte>(played.end() - 5 * block, played.end()),
            std::vector<byte>(5 * block, 0));

  // A start-up count of 1: the first empty request after something played is also the last one,
  // and it reports.
  vdev::reset();
  RecordingHandler second;
  sonora::audio::Suit one = pcm_suit(8000, 1, 16, block, 1);
  PlaySuit suit1(6, sonora::kPTypeAutoStop, &one, nullptr);
  Sonora player1(&suit1, &second);
  ASSERT_TRUE(player1.enable_audio(true));
  ASSERT_TRUE(player1.append_audio_data(block_of(block, 1).data(), block, nullptr));
  ASSERT_EQ(vdev::pump_render(2), 2);
  EXPECT_EQ(vdev::render_results(), (std::vector<int32_t>{0, -1}));
  ASSERT_TRUE(second.wait_for(2));
  EXPECT_EQ(second.count(sonora::kArg1AudioPlayerWorking, sonora::kArg2AutoStop), 1u);
  // Started again after it played out: it plays and reports the auto-stop again.
  ASSERT_TRUE(player1.enable_audio(false));
  ASSERT_TRUE(player1.enable_audio(true));
  ASSERT_TRUE(player1.append_audio_data(block_of(block, 9).data(), block, nullptr));
  ASSERT_EQ(vdev::pump_render(1), 1);
  EXPECT_EQ(last_request_head(block), block_of(block, 9));
  ASSERT_EQ(vdev::pump_render(1), 1);  // runs dry: the count of 1 reports at once
  ASSERT_TRUE(second.wait_for(4));
  EXPECT_EQ(second.count(sonora::kArg1AudioPlayerWorking, sonora::kArg2AutoStop), 2u);

  // The wait counts blocks of silence, not requests: 20 ms blocks in 100 ms requests. The request
  // that runs dry plays 1 block and 4 of silence, the next 5 of silence: a count of 9 reports
  // there, a count of 10 one request later.
  for (int count : {9, 10}) {
    SCOPED_TRACE(count);
    vdev::reset();
    vdev::set_platform_request_ms(100);
    RecordingHandler third;
    sonora::audio::Suit b = pcm_suit(8000, 1, 16, block, count);
    PlaySuit suit2(7, sonora::kPTypeAutoStop, &b, nullptr);
    Sonora player2(&suit2, &third);
    ASSERT_TRUE(player2.enable_audio(true));
    ASSERT_TRUE(player2.append_audio_data(block_of(block, 1).data(), block, nullptr));
    ASSERT_EQ(vdev::pump_render(2), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(third.count(sonora::kArg1AudioPlayerWorking, sonora::kArg2AutoStop),
              count == 9 ? 1u : 0u);
    ASSERT_EQ(vdev::pump_render(1), 1);
    ASSERT_TRUE(third.wait_for(2));
    EXPECT_EQ(third.count(sonora::kArg1AudioPlayerWorking, sonora::kArg2AutoStop), 1u);
  }
}

TEST_F(PlayerTest, AutoStopWaitsForAudioThatArrivesLate) {
  // Empty requests before anything was played do not start the countdown, however many: audio
  // appended late is played, then the countdown runs (start, stop, start again: each start
  // waits afresh).
  const size_t block = 320;
  RecordingHandler handler;
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, block, 3);
  PlaySuit suit(5, sonora::kPTypeAutoStop, &a, nullptr);
  Sonora player(&suit, &handler);
  for (int run = 0; run < 2; ++run) {
    vdev::reset();
    ASSERT_TRUE(player.enable_audio(true));
    ASSERT_EQ(vdev::pump_render(10), 10);
    for (int32_t r : vdev::render_results()) EXPECT_EQ(r, 0);
    ASSERT_TRUE(player.append_audio_data(block_of(block, 7).data(), block, nullptr));
    ASSERT_EQ(vdev::pump_render(1), 1);
    EXPECT_EQ(last_rendered(block), block_of(block, 7));
    ASSERT_EQ(vdev::pump_render(3), 3);
    const std::vector<int32_t> results = vdev::render_results();
    EXPECT_EQ(std::vector<int32_t>(results.end() - 4, results.end()),
              (std::vector<int32_t>{0, -1, -1, -1}));
    ASSERT_TRUE(handler.wait_for(2 * (run + 1)));
    EXPECT_EQ(handler.count(sonora::kArg1AudioPlayerWorking, sonora::kArg2AutoStop),
              static_cast<size_t>(run + 1));
    EXPECT_FALSE(player.append_audio_data(block_of(block, 8).data(), block, nullptr));
    ASSERT_TRUE(player.enable_audio(false));
  }
}

TEST_F(PlayerTest, EmptyAndShortRequestsAreSilenceNeverStaleData) {
  const size_t block = 640;
  for (int bits : {16, 8}) {
    vdev::reset();
    const int silence = bits == 8 ? 0x80 : 0;
    sonora::audio::Suit a = pcm_suit(16000, 1, bits, block);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    sonora::Body body(nullptr, &suit, nullptr);
    ASSERT_TRUE(body.enable_audio(true));
    void* player = body.audio_player_;
    std::vector<byte> buf(block, 0xAA);

    // Underrun outside auto-stop: 0, and the whole request is silence.
    EXPECT_EQ(sonora::audio::OH_AudioRenderer_OnWriteData_func(nullptr, player, buf.data(),
                                                               static_cast<int32_t>(block)),
              0);
    EXPECT_EQ(buf, std::vector<byte>(block, static_cast<byte>(silence)));

    // A flushed half block fills the first half; the rest of the request is silence.
    ASSERT_TRUE(body.append_audio_data(block_of(block / 2, 0x31).data(), block / 2, nullptr));
    EXPECT_EQ(body.audio_left(), 0u);
    body.flush();
    EXPECT_EQ(body.audio_left(), 1u);
    std::fill(buf.begin(), buf.end(), 0xAA);
    EXPECT_EQ(sonora::audio::OH_AudioRenderer_OnWriteData_func(nullptr, player, buf.data(),
                                                               static_cast<int32_t>(block)),
              0);
    EXPECT_EQ(std::vector<byte>(buf.begin(), buf.begin() + block / 2), block_of(block / 2, 0x31));
    EXPECT_EQ(std::vector<byte>(buf.begin() + block / 2, buf.end()),
              std::vector<byte>(block / 2, static_cast<byte>(silence)));
    body.flush();  // nothing piled: no frame
    EXPECT_EQ(body.audio_left(), 0u);
  }
  // No player: -1 and silence.
  std::vector<byte> buf(64, 0xAA);
  EXPECT_EQ(sonora::audio::OH_AudioRenderer_OnWriteData_func(nullptr, nullptr, buf.data(), 64), -1);
  EXPECT_EQ(buf, std::vector<byte>(64, 0));
}

TEST_F(PlayerTest, PauseAndResumeKeepTheQueue) {
  const size_t block = 320;
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, block, 10);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  EXPECT_FALSE(player.pause());  // no playback
  ASSERT_TRUE(player.enable_audio(true));
  for (byte v = 1; v <= 3; ++v) {
    ASSERT_TRUE(player.append_audio_data(block_of(block, v).data(), block, nullptr));
  }
  ASSERT_TRUE(player.pause());
  EXPECT_EQ(vdev::pump_render(2), 0);  // a paused renderer asks for nothing
  for (byte v = 4; v <= 5; ++v) {
    ASSERT_TRUE(player.append_audio_data(block_of(block, v).data(), block, nullptr));
  }
  EXPECT_EQ(player.audio_left(), 5u);
  ASSERT_TRUE(player.resume());
  ASSERT_EQ(vdev::pump_render(5), 5);
  std::vector<byte> expected;
  for (byte v = 1; v <= 5; ++v) {
    auto b = block_of(block, v);
    expected.insert(expected.end(), b.begin(), b.end());
  }
  EXPECT_EQ(vdev::rendered(), expected);
}

TEST_F(PlayerTest, MuteDelayDropsTheQueueAndRefusesAppendsForItsDuration) {
  const size_t block = 320;
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, block, 10);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  EXPECT_FALSE(player.add_mute_delay_blocked(10));  // no playback
  ASSERT_TRUE(player.enable_audio(true));
  for (byte v = 1; v <= 3; ++v) {
    ASSERT_TRUE(player.append_audio_data(block_of(block, v).data(), block, nullptr));
  }
  auto begin = std::chrono::steady_clock::now();
  std::thread muter([&] { EXPECT_TRUE(player.add_mute_delay_blocked(300)); });
  ASSERT_TRUE(testing_support::eventually([&] { return player.audio_left() == 0; }));
  EXPECT_FALSE(player.append_audio_data(block_of(block, 9).data(), block, nullptr));
  muter.join();
  auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, std::chrono::milliseconds(250));
  EXPECT_TRUE(player.append_audio_data(block_of(block, 7).data(), block, nullptr));
  ASSERT_EQ(vdev::pump_render(1), 1);
  EXPECT_EQ(last_rendered(block), block_of(block, 7));
}

TEST_F(PlayerTest, NoiseSuppressionOnlyForSixteenBitMonoThatAsksForIt) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> d(-3000, 3000);
  struct Case {
    int channels, bits;
    bool ns;
    bool changed;
  } cases[] = {
      {1, 16, true, true}, {1, 16, false, false}, {2, 16, true, false}, {1, 8, true, false}};
  for (const auto& c : cases) {
    vdev::reset();
    const size_t block = 640;
    sonora::audio::Suit a = pcm_suit(16000, c.channels, c.bits, block, 10);
    a.enable_ns = c.ns;
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    std::vector<byte> input;
    for (int i = 0; i < 20; ++i) {
      std::vector<int16_t> pcm(block / 2);
      for (auto& s : pcm) s = static_cast<int16_t>(d(rng));
      const byte* p = reinterpret_cast<const byte*>(pcm.data());
      ASSERT_TRUE(player.append_audio_data(p, block, nullptr));
      input.insert(input.end(), p, p + block);
    }
    while (vdev::rendered_size() < input.size()) ASSERT_EQ(vdev::pump_render(1), 1);
    std::vector<byte> rendered = vdev::rendered();
    rendered.resize(input.size());
    EXPECT_EQ(rendered != input, c.changed)
        << c.channels << " ch, " << c.bits << " bits, ns " << c.ns;
  }
}

TEST_F(PlayerTest, TrackGainScalesSixteenBitPcmAsItIsPlayed) {
  const size_t block = 8;
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, block, 10);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  EXPECT_FALSE(player.adjust_track_volume(0.5f));  // no playback object
  ASSERT_TRUE(player.enable_audio(true));
  const int16_t samples[4] = {1000, -1000, 32767, 3};
  auto render_with = [&](float gain) {
    EXPECT_TRUE(player.adjust_track_volume(gain));
    EXPECT_TRUE(player.append_audio_data(reinterpret_cast<const byte*>(samples), block, nullptr));
    EXPECT_EQ(vdev::pump_render(1), 1);
    std::vector<byte> out = last_request_head(block);
    std::vector<int16_t> s(4);
    std::memcpy(s.data(), out.data(), block);
    return s;
  };
  EXPECT_EQ(render_with(1.0f), (std::vector<int16_t>{1000, -1000, 32767, 3}));
  EXPECT_EQ(render_with(0.5f), (std::vector<int16_t>{500, -500, 16384, 2}));
  EXPECT_EQ(render_with(4.0f), (std::vector<int16_t>{4000, -4000, 32767, 12}));
  EXPECT_EQ(render_with(40.0f), (std::vector<int16_t>{32767, -32768, 32767, 120}));
  EXPECT_EQ(render_with(0.0f), (std::vector<int16_t>{0, 0, 0, 0}));

  // Other sample formats pass unchanged.
  vdev::reset();
  sonora::audio::Suit b = pcm_suit(8000, 1, 8, 4, 10);
  PlaySuit suit8(1, sonora::kPTypeByFPS, &b, nullptr);
  Sonora player8(&suit8, nullptr);
  ASSERT_TRUE(player8.enable_audio(true));
  ASSERT_TRUE(player8.adjust_track_volume(0.25f));
  const byte pcm8[4] = {0x10, 0x80, 0xF0, 0x7F};
  ASSERT_TRUE(player8.append_audio_data(pcm8, 4, nullptr));
  ASSERT_EQ(vdev::pump_render(1), 1);
  EXPECT_EQ(last_request_head(4), std::vector<byte>(pcm8, pcm8 + 4));
}

TEST_F(PlayerTest, AppendRefusalsAndBacklogLimit) {
  const size_t block = 640;
  {
    sonora::audio::Suit a = pcm_suit(16000, 1, 16, block, 10);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    auto b = block_of(block, 1);
    EXPECT_FALSE(player.append_audio_data(nullptr, block, nullptr));
    EXPECT_FALSE(player.append_audio_data(b.data(), 0, nullptr));
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(player.append_audio_data(b.data(), block, nullptr));
    EXPECT_FALSE(player.append_audio_data(b.data(), block, nullptr));  // 50 outstanding
    EXPECT_EQ(player.audio_left(), 50u);
    ASSERT_EQ(vdev::pump_render(1), 1);
    EXPECT_TRUE(player.append_audio_data(b.data(), block, nullptr));
    player.clean_buffer();
    EXPECT_EQ(player.audio_left(), 0u);
    // A chunk that completes more blocks than the pool can hold (64) is refused whole rather
    // than cut short; the half block already piled counts. At the limit, one below, one above.
    // A partial block left in the pile counts too: a later flush must find a slot for it.
    struct Case {
      size_t half_blocks;  // chunk length in half blocks, after a piled half block
      bool accepted;
      size_t queued;
      size_t after_flush;
    } cases[] = {{125, true, 63, 63},
                 {126, true, 63, 64},
                 {127, true, 64, 64},
                 {128, false, 0, 1},
                 {129, false, 0, 1}};
    for (const auto& c : cases) {
      player.clean_buffer();
      ASSERT_TRUE(player.enable_audio(false));
      ASSERT_TRUE(player.enable_audio(true));
      ASSERT_TRUE(player.append_audio_data(b.data(), block / 2, nullptr));
      std::vector<byte> chunk(c.half_blocks * block / 2, 3);
      EXPECT_EQ(player.append_audio_data(chunk.data(), chunk.size(), nullptr), c.accepted)
          << c.half_blocks;
      EXPECT_EQ(player.audio_left(), c.queued) << c.half_blocks;
      player.flush();
      EXPECT_EQ(player.audio_left(), c.after_flush) << c.half_blocks;
    }
    // A size whose block count does not fit is refused without reading the data.
    byte one = 0;
    EXPECT_FALSE(player.append_audio_data(&one, SIZE_MAX, nullptr));
    EXPECT_FALSE(player.append_audio_data(&one, SIZE_MAX / 2 + 1, nullptr));
  }
  {
    // Coded chunks must have their codec's exact size.
    sonora::audio::Suit a = pcm_suit(8000, 1, 16, 42, 10);
    a.type = sonora::audio::kTypeAMR;
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    std::vector<byte> chunk(60, 1);
    EXPECT_FALSE(player.append_audio_data(chunk.data(), 41, nullptr));
    EXPECT_TRUE(player.append_audio_data(chunk.data(), 42, nullptr));
    EXPECT_FALSE(player.append_audio_data(chunk.data(), 43, nullptr));
  }
  {
    sonora::audio::Suit a = pcm_suit(8000, 1, 16, 60, 10);
    a.type = sonora::audio::kType729;
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    std::vector<byte> chunk(320, 1);
    EXPECT_FALSE(player.append_audio_data(chunk.data(), 320, nullptr));
    EXPECT_TRUE(player.append_audio_data(chunk.data(), 60, nullptr));
  }
}

TEST_F(PlayerTest, SuitsWithoutUsableAudioRefuseToPlay) {
  hilog::Capture log;
  RecordingHandler handler;
  {
    PlaySuit no_audio(1, sonora::kPTypeByFPS, nullptr, nullptr);
    Sonora player(&no_audio, &handler);
    EXPECT_NE(player.get_aec_status(), nullptr);
    EXPECT_FALSE(player.enable_audio(true));
    EXPECT_FALSE(player.audio_working());
    EXPECT_FALSE(player.enable_audio(true));  // tried again, refused again
    EXPECT_FALSE(player.append_audio_data(block_of(4, 1).data(), 4, nullptr));
    EXPECT_FALSE(player.start_record_audio(nullptr, 0));
  }
  for (size_t block : {static_cast<size_t>(0), static_cast<size_t>(40000)}) {
    sonora::audio::Suit a = pcm_suit(16000, 1, 16, block);
    SCOPED_TRACE(block);
    a.enable_aec = true;
    a.enable_ns = true;
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, &handler);
    EXPECT_FALSE(player.enable_audio(true));
    EXPECT_FALSE(player.append_audio_data(block_of(4, 1).data(), 4, nullptr));
  }
  EXPECT_GE(log.count("Player::start refused"), 3u);
  EXPECT_EQ(log.count("aec not support the suit"), 3u);
  // Every refused start is reported as a failed start; no renderer was ever started.
  ASSERT_TRUE(handler.wait_for(4));
  EXPECT_EQ(handler.count(sonora::kArg1AudioPlayerStart, sonora::kArg2Failed), 4u);
  EXPECT_EQ(handler.count(sonora::kArg1AudioPlayerStart, sonora::kArg2Success), 0u);
  EXPECT_EQ(vdev::pump_render(1), 0);
}

TEST_F(PlayerTest, SuitsThatCannotBePlayedAsAskedFailToStart) {
  // Each refused suit: enable_audio false, one failed-start event, a log line naming the reason,
  // no renderer, appends refused. Each accepted neighbour at the boundary starts.
  struct Case {
    const char* what;
    int rate, channels, bits;
    size_t block;
    int buffer_frame_count;
    bool starts;
    const char* log;
  } cases[] = {
      {"rate 7", 7, 1, 16, 14, 3, false, "SetSamplingRate(7) refused"},
      {"rate 7999", 7999, 1, 16, 1998, 3, false, "SetSamplingRate(7999) refused"},
      {"rate 8000", 8000, 1, 16, 320, 3, true, nullptr},
      {"rate 8001", 8001, 1, 16, 320, 3, false, "SetSamplingRate(8001) refused"},
      {"rate 11025", 11025, 1, 16, 882, 3, true, nullptr},
      {"rate 96000", 96000, 1, 16, 3840, 3, true, nullptr},
      {"rate 96001", 96001, 1, 16, 3840, 3, false, "SetSamplingRate(96001) refused"},
      {"rate 192000", 192000, 1, 16, 7680, 3, false, "SetSamplingRate(192000) refused"},
      {"8 channels", 8000, 8, 16, 2560, 3, true, nullptr},
      {"9 channels", 8000, 9, 16, 2880, 3, false, "SetChannelCount(9) refused"},
      {"7-bit", 8000, 1, 7, 140, 3, false, "sample size not supported"},
      {"12-bit", 8000, 1, 12, 240, 3, false, "sample size not supported"},
      {"24-bit", 8000, 1, 24, 480, 3, true, nullptr},
      {"count -1", 8000, 1, 16, 320, -1, false, "negative buffer_frame_count"},
      {"641 bytes mono", 16000, 1, 16, 641, 3, false, "not a whole number of sample frames"},
      {"642 bytes stereo", 16000, 2, 16, 642, 3, false, "not a whole number of sample frames"},
      {"644 bytes stereo", 16000, 2, 16, 644, 3, true, nullptr},
      {"3 bytes 24-bit", 8000, 1, 24, 3, 3, true, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vdev::reset();
    hilog::Capture log;
    RecordingHandler handler;
    sonora::audio::Suit a = pcm_suit(c.rate, c.channels, c.bits, c.block, c.buffer_frame_count);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, &handler);
    EXPECT_EQ(player.enable_audio(true), c.starts);
    EXPECT_EQ(player.audio_working(), c.starts);
    ASSERT_TRUE(handler.wait_for(1));
    EXPECT_EQ(handler.events()[0].arg2, c.starts ? sonora::kArg2Success : sonora::kArg2Failed);
    std::vector<byte> data(c.block, 1);
    EXPECT_EQ(player.append_audio_data(data.data(), data.size(), nullptr), c.starts);
    EXPECT_EQ(vdev::pump_render(1), c.starts ? 1 : 0);
    if (c.starts) {
      EXPECT_EQ(last_request_head(c.block), data);
    } else {
      EXPECT_EQ(log.count(c.log), 1u);
    }
  }
}

TEST_F(PlayerTest, TrackGainRefusesNonFiniteValues) {
  const size_t block = 4;
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, block, 10);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  ASSERT_TRUE(player.enable_audio(true));
  ASSERT_TRUE(player.adjust_track_volume(2.0f));
  for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
    EXPECT_FALSE(player.adjust_track_volume(bad));
  }
  const int16_t samples[2] = {1000, -3};
  ASSERT_TRUE(player.append_audio_data(reinterpret_cast<const byte*>(samples), block, nullptr));
  ASSERT_EQ(vdev::pump_render(1), 1);
  std::vector<byte> out = last_request_head(block);
  int16_t got[2];
  std::memcpy(got, out.data(), block);
  EXPECT_EQ(got[0], 2000);  // the gain before the refused values still applies
  EXPECT_EQ(got[1], -6);
}

TEST_F(PlayerTest, FacadeStubsAndVersion) {
  EXPECT_STREQ(Sonora::version(), "[sonora-2017-2-4-ridge-Debug]");
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, 640);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  EXPECT_TRUE(player.enable_video(true));
  EXPECT_FALSE(player.enable_video(false));
  EXPECT_FALSE(player.video_working());
  EXPECT_EQ(player.video_left(), 0u);
  EXPECT_FALSE(player.append_video_data(nullptr, 0, sonora::kFTypeI, nullptr));
  EXPECT_FALSE(player.start_record_to_mp4("/tmp/x.mp4"));
  EXPECT_FALSE(player.stop_record_to_mp4());
  EXPECT_FALSE(player.try_fast_forward());
  EXPECT_FALSE(player.request_pure_color(nullptr));
  EXPECT_FALSE(player.screenshot("/tmp/x.png", true));
  EXPECT_FALSE(player.adjust_capture_volume(1.0f));
  EXPECT_FALSE(player.adjust_capture_volume_type(4));
  EXPECT_FALSE(player.stop_record_audio());
  const sonora::audio::AecStatus* status = player.get_aec_status();
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->leap, 0);
  EXPECT_EQ(status->delay, 0);
  // With a null handler playback works and nothing is reported anywhere.
  ASSERT_TRUE(player.enable_audio(true));
  ASSERT_TRUE(player.append_audio_data(block_of(640, 2).data(), 640, nullptr));
  ASSERT_EQ(vdev::pump_render(1), 1);
  EXPECT_EQ(last_rendered(640), block_of(640, 2));
}

}  // namespace
