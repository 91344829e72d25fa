// Faults the platform can throw at a running engine, provoked through the virtual device and the
// library's thread-start seam: streams that refuse to start, stream events, interrupts and errors
// while playing and capturing, callbacks that come late, and threads that cannot be created.
// Each gives the documented events and results and hangs nothing; under the address sanitizer
// nothing leaks; and the next start works.
#include <gtest/gtest.h>
#include <hilog/log_sink.h>
#include <ohaudio/native_audiostream_base.h>
#include <ohaudio/virtual_device.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "audio/ring_queue.h"
#include "sonora/sonora.h"
#include "test_support.h"
#include "utils/thread_start.h"

namespace {

using sonora::byte;
using sonora::PlaySuit;
using sonora::Sonora;
using testing_support::eventually;
using testing_support::pcm_suit;
using testing_support::RecordingHandler;

constexpr size_t kBlock = 640;  // 20 ms of 16 kHz mono

// What fetch_cb received.
std::mutex g_mutex;
std::vector<std::vector<byte>> g_blocks;
std::vector<uint64_t> g_ts;

void collect(const byte* data, size_t size, uint64_t ts) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_blocks.emplace_back(data, data + size);
  g_ts.push_back(ts);
}

void clear_delivered() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_blocks.clear();
  g_ts.clear();
}

size_t delivered() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_blocks.size();
}

// Block `n` of a numbered stream: every 16-bit sample holds n.
std::vector<byte> numbered(uint16_t n) {
  std::vector<byte> b(kBlock);
  for (size_t i = 0; i < kBlock; i += 2) std::memcpy(&b[i], &n, 2);
  return b;
}

// The block numbers found in what was rendered, in order, silence left out.
std::vector<uint16_t> rendered_numbers() {
  const std::vector<uint8_t> out = vdev::rendered();
  std::vector<uint16_t> numbers;
  for (size_t at = 0; at + kBlock <= out.size(); at += kBlock) {
    uint16_t n;
    std::memcpy(&n, &out[at], 2);
    if (n != 0) numbers.push_back(n);
  }
  return numbers;
}

class FaultInjection : public testing_support::ManualClockTest {
 protected:
  void SetUp() override {
    testing_support::ManualClockTest::SetUp();
    clear_delivered();
  }
  void TearDown() override {
    utils::fail_next_thread_starts(0, 0);
    testing_support::ManualClockTest::TearDown();
  }
};

struct StartFault {
  const char* what;
  bool renderer;
  int result;
};

// A stream that does not start, whatever the platform's result code: the start call returns
// false after the failure event, nothing stays working, and the next start works at once
// (fail, start, stop, start again).
TEST_F(FaultInjection, StreamThatDoesNotStart) {
  const StartFault cases[] = {
      {"renderer, invalid parameter", true, AUDIOSTREAM_ERROR_INVALID_PARAM},
      {"renderer, illegal state", true, AUDIOSTREAM_ERROR_ILLEGAL_STATE},
      {"renderer, system error", true, AUDIOSTREAM_ERROR_SYSTEM},
      {"renderer, unknown code", true, 77},
      {"capturer, invalid parameter", false, AUDIOSTREAM_ERROR_INVALID_PARAM},
      {"capturer, illegal state", false, AUDIOSTREAM_ERROR_ILLEGAL_STATE},
      {"capturer, system error", false, AUDIOSTREAM_ERROR_SYSTEM},
      {"capturer, unknown code", false, 77},
  };
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, kBlock);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  for (const StartFault& c : cases) {
    SCOPED_TRACE(c.what);
    vdev::reset();
    vdev::set_capture_source(std::vector<uint8_t>(kBlock * 8, 0x21), true);
    RecordingHandler handler;
    Sonora player(&suit, &handler);
    if (c.renderer) {
      vdev::fail_next_renderer_start(c.result);
      EXPECT_FALSE(player.enable_audio(true));
      EXPECT_TRUE(eventually(
          [&] { return handler.count(sonora::kArg1AudioPlayerStart, sonora::kArg2Failed) == 1; }));
      EXPECT_FALSE(player.audio_working());
      EXPECT_FALSE(player.append_audio_data(numbered(1).data(), kBlock, nullptr));
      EXPECT_EQ(vdev::pump_render(1), 0);
    } else {
      ASSERT_TRUE(player.enable_audio(true));
      vdev::fail_next_capturer_start(c.result);
      EXPECT_FALSE(player.start_record_audio(collect, 0));
      // The processing thread existed (success), then the capturer failed.
      ASSERT_TRUE(handler.wait_for(3));
      EXPECT_EQ(handler.events()[1].arg2, sonora::kArg2Success);
      EXPECT_EQ(handler.events()[2].arg2, sonora::kArg2Failed);
      EXPECT_FALSE(player.stop_record_audio());
      EXPECT_EQ(vdev::pump_capture(1), 0);
      EXPECT_TRUE(player.enable_audio(false));
    }
    for (int run = 0; run < 2; ++run) {
      ASSERT_TRUE(player.enable_audio(true));
      ASSERT_TRUE(player.start_record_audio(collect, 0));
      ASSERT_TRUE(player.append_audio_data(numbered(5 + run).data(), kBlock, nullptr));
      EXPECT_EQ(vdev::pump_render(1), 1);
      EXPECT_EQ(vdev::pump_capture(1), 1);
      EXPECT_EQ(rendered_numbers().back(), 5 + run);
      EXPECT_TRUE(eventually([&] { return delivered() >= 2u * (run + 1); }));
      EXPECT_TRUE(player.stop_record_audio());
      EXPECT_TRUE(player.enable_audio(false));
    }
    clear_delivered();
  }
}

struct StreamFault {
  const char* what;
  void (*inject)();
  const char* logged;
};

// Routing changes, interruptions and stream errors while playing and capturing are logged and
// change nothing: no event reaches the application, nothing pauses or stops, every appended block
// is played in order and capture goes on delivering.
TEST_F(FaultInjection, StreamEventsDuringPlaybackAndCapture) {
  const StreamFault cases[] = {
      {"renderer routing change",
       [] { vdev::inject_renderer_event(AUDIOSTREAM_EVENT_ROUTING_CHANGED); },
       "OH_AudioRenderer_OnStreamEvent_func"},
      {"renderer forced pause",
       [] {
         vdev::inject_renderer_interrupt(AUDIOSTREAM_INTERRUPT_FORCE,
                                         AUDIOSTREAM_INTERRUPT_HINT_PAUSE);
       },
       "OH_AudioRenderer_OnInterruptEvent_func"},
      {"renderer ducked",
       [] {
         vdev::inject_renderer_interrupt(AUDIOSTREAM_INTERRUPT_SHARE,
                                         AUDIOSTREAM_INTERRUPT_HINT_DUCK);
       },
       "OH_AudioRenderer_OnInterruptEvent_func"},
      {"renderer error", [] { vdev::inject_renderer_error(AUDIOSTREAM_ERROR_SYSTEM); },
       "OH_AudioRenderer_OnError_func"},
      {"capturer routing change",
       [] { vdev::inject_capturer_event(AUDIOSTREAM_EVENT_ROUTING_CHANGED); },
       "OH_AudioCapturer_OnStreamEvent_func"},
      {"capturer forced stop",
       [] {
         vdev::inject_capturer_interrupt(AUDIOSTREAM_INTERRUPT_FORCE,
                                         AUDIOSTREAM_INTERRUPT_HINT_STOP);
       },
       "OH_AudioCapturer_OnInterruptEvent_func"},
      {"capturer error", [] { vdev::inject_capturer_error(AUDIOSTREAM_ERROR_ILLEGAL_STATE); },
       "OH_AudioCapturer_OnError_func"},
  };
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, kBlock, 8);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  for (const StreamFault& c : cases) {
    SCOPED_TRACE(c.what);
    vdev::reset();
    vdev::set_capture_source(std::vector<uint8_t>(kBlock * 8, 0x21), true);
    clear_delivered();
    hilog::Capture log;
    RecordingHandler handler;
    Sonora player(&suit, &handler);
    ASSERT_TRUE(player.enable_audio(true));
    ASSERT_TRUE(player.start_record_audio(collect, 0));
    for (uint16_t n = 1; n <= 6; ++n) {
      ASSERT_TRUE(player.append_audio_data(numbered(n).data(), kBlock, nullptr));
    }
    EXPECT_EQ(vdev::pump_render(3), 3);
    EXPECT_EQ(vdev::pump_capture(1), 1);
    c.inject();
    EXPECT_EQ(log.count(c.logged), 1u);
    EXPECT_TRUE(player.audio_working());
    EXPECT_EQ(vdev::pump_render(3), 3);
    EXPECT_EQ(vdev::pump_capture(1), 1);
    EXPECT_EQ(rendered_numbers(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(eventually([] { return delivered() == 4; }));  // 40 ms per capture callback
    EXPECT_TRUE(player.stop_record_audio());
    EXPECT_TRUE(player.enable_audio(false));
    EXPECT_EQ(handler.events().size(), 2u);  // the two start successes, nothing else
  }
}

// Callbacks up to three blocks late on the real clock, while playback and capture run: every
// block appended (the feeder keeps no more than the suit's buffer queued) is played once, in
// order, and capture delivers whole blocks with rising time stamps.
TEST_F(FaultInjection, LateCallbacksLoseNothing) {
  vdev::set_manual_clock(false);
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, kBlock, 4);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    vdev::reset();
    vdev::set_callback_jitter_ms(60);
    vdev::set_capture_source(std::vector<uint8_t>(kBlock * 8, 0x21), true);
    clear_delivered();
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    ASSERT_TRUE(player.start_record_audio(collect, 0));
    const uint16_t blocks = 60;
    for (uint16_t n = 1; n <= blocks;) {
      if (player.audio_left() < 4 && player.append_audio_data(numbered(n).data(), kBlock, nullptr))
        ++n;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(eventually([&] { return player.audio_left() == 0; }));
    EXPECT_TRUE(player.stop_record_audio());
    EXPECT_TRUE(player.enable_audio(false));
    std::vector<uint16_t> expected(blocks);
    for (uint16_t n = 1; n <= blocks; ++n) expected[n - 1] = n;
    EXPECT_EQ(rendered_numbers(), expected);
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_GT(g_blocks.size(), 20u);
    for (size_t i = 0; i < g_blocks.size(); ++i) {
      EXPECT_EQ(g_blocks[i].size(), kBlock);
      if (i > 0) {
        EXPECT_GE(g_ts[i], g_ts[i - 1]);
      }
    }
  }
  vdev::set_callback_jitter_ms(0);
}

// A thread that cannot be created, in each place the library starts one.
TEST_F(FaultInjection, ThreadThatCannotBeCreated) {
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, kBlock);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);

  {
    SCOPED_TRACE("handler loop: the handler never works and refuses every send");
    utils::fail_next_thread_starts(1, EAGAIN);
    RecordingHandler dead;
    EXPECT_FALSE(dead.send(1, 2, 3, nullptr));
    // Playback does not depend on its events arriving.
    Sonora player(&suit, &dead);
    EXPECT_TRUE(player.enable_audio(true));
    EXPECT_TRUE(player.enable_audio(false));
    EXPECT_TRUE(dead.events().empty());
    RecordingHandler next;  // the next handler works
    EXPECT_TRUE(next.send(1, 2, 3, nullptr));
    EXPECT_TRUE(next.wait_for(1));
  }
  {
    SCOPED_TRACE("capture processing thread: the start fails and nothing keeps capturing");
    vdev::set_capture_source(std::vector<uint8_t>(kBlock * 8, 0x21), true);
    hilog::Capture log;
    RecordingHandler handler;
    Sonora player(&suit, &handler);
    utils::fail_next_thread_starts(1, EAGAIN);
    EXPECT_FALSE(player.start_record_audio(collect, 0));
    EXPECT_EQ(log.count("start record failed by create processor"), 1u);
    ASSERT_TRUE(handler.wait_for(1));
    EXPECT_EQ(handler.count(sonora::kArg1AudioRecordStart, sonora::kArg2Failed), 1u);
    EXPECT_EQ(handler.count(sonora::kArg1AudioRecordStart, sonora::kArg2Success), 0u);
    EXPECT_EQ(vdev::pump_capture(1), 0);  // no capturer left running
    EXPECT_FALSE(player.stop_record_audio());
    ASSERT_TRUE(player.start_record_audio(collect, 0));
    EXPECT_EQ(vdev::pump_capture(1), 1);
    EXPECT_TRUE(eventually([] { return delivered() == 2; }));
    EXPECT_TRUE(player.stop_record_audio());
  }
  {
    SCOPED_TRACE("frame ring: the ring still holds frames, but hands none to its callback");
    hilog::Capture log;
    std::atomic<int> called{0};
    auto count = [](void* user, sonora::audio::RingQueue*, sonora::Frame*) {
      static_cast<std::atomic<int>*>(user)->fetch_add(1);
    };
    utils::fail_next_thread_starts(1, EAGAIN);
    {
      sonora::audio::RingQueue ring(4, sonora::audio::kMSigned, &a, count, &called);
      EXPECT_EQ(log.count("Error: RQ internal error"), 1u);
      EXPECT_EQ(ring.left(), 4);
      EXPECT_NE(ring.dequeue(), nullptr);
      EXPECT_EQ(ring.left(), 3);
    }  // the destructor does not wait for a thread that never was
    sonora::audio::RingQueue ring(4, sonora::audio::kMSigned, &a, count, &called);
    EXPECT_NE(ring.dequeue(), nullptr);
    EXPECT_TRUE(eventually([&] { return called.load() == 1; }));
  }
}

}  // namespace
