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
      EXPECT_TRUE(eventually([&] { return delivered() >= run + 1u; }));  // 20 ms callbacks
      EXPECT_TRUE(player.stop_record_audio());
      EXPECT_TRUE(player.enable_audio(false));
    }
    clear_delivered();
  }
}

// What an injected interruption or error leaves behind.
enum class After {
  kNothing,         // playback and capture go on
  kPlaybackPaused,  // the system paused the renderer: appends queue, resume() plays them
  kPlaybackEnded,   // playback stopped: appends refused, enable_audio(true) starts anew
  kCapturePaused,   // the system paused the capturer: no blocks until capture restarts
  kCaptureEnded,    // capture stopped: no blocks, its thread gone; capture can start again
};

struct StreamFault {
  const char* what;
  void (*inject)();
  sonora::Arg1 arg1;
  sonora::Arg2 arg2;
  int force, hint;  // the Interruption the report carries; -1: no object
  After after;
};

void renderer_interrupt(int force, int hint) {
  vdev::inject_renderer_interrupt(force, hint);
}

void capturer_interrupt(int force, int hint) {
  vdev::inject_capturer_interrupt(force, hint);
}

constexpr int F = AUDIOSTREAM_INTERRUPT_FORCE;
constexpr int S = AUDIOSTREAM_INTERRUPT_SHARE;

// Each interruption and stream error while playing and capturing reaches the handler once, on its
// thread, with the state the engine is left in; after it, playback and capture either go on, or
// can be resumed or started again, without losing or reordering a queued block.
TEST_F(FaultInjection, InterruptionsAndStreamErrorsReachTheApplication) {
  using sonora::kArg1AudioPlayerStop;
  using sonora::kArg1AudioPlayerWorking;
  using sonora::kArg1AudioRecordStop;
  using sonora::kArg1AudioRecordWorking;
  const StreamFault cases[] = {
      {"renderer routing change",
       [] { vdev::inject_renderer_event(AUDIOSTREAM_EVENT_ROUTING_CHANGED); },
       kArg1AudioPlayerWorking, sonora::kArg2Success, -2, -2, After::kNothing},
      {"renderer forced pause", [] { renderer_interrupt(F, AUDIOSTREAM_INTERRUPT_HINT_PAUSE); },
       kArg1AudioPlayerWorking, sonora::kArg2Mute, F, AUDIOSTREAM_INTERRUPT_HINT_PAUSE,
       After::kPlaybackPaused},
      {"renderer forced stop", [] { renderer_interrupt(F, AUDIOSTREAM_INTERRUPT_HINT_STOP); },
       kArg1AudioPlayerStop, sonora::kArg2Fin, F, AUDIOSTREAM_INTERRUPT_HINT_STOP,
       After::kPlaybackEnded},
      {"renderer forced duck", [] { renderer_interrupt(F, AUDIOSTREAM_INTERRUPT_HINT_DUCK); },
       kArg1AudioPlayerWorking, sonora::kArg2Mute, F, AUDIOSTREAM_INTERRUPT_HINT_DUCK,
       After::kNothing},
      {"renderer forced unduck", [] { renderer_interrupt(F, AUDIOSTREAM_INTERRUPT_HINT_UNDUCK); },
       kArg1AudioPlayerWorking, sonora::kArg2Success, F, AUDIOSTREAM_INTERRUPT_HINT_UNDUCK,
       After::kNothing},
      {"renderer resume hint", [] { renderer_interrupt(S, AUDIOSTREAM_INTERRUPT_HINT_RESUME); },
       kArg1AudioPlayerWorking, sonora::kArg2Success, S, AUDIOSTREAM_INTERRUPT_HINT_RESUME,
       After::kNothing},
      {"renderer shared stop", [] { renderer_interrupt(S, AUDIOSTREAM_INTERRUPT_HINT_STOP); },
       kArg1AudioPlayerWorking, sonora::kArg2Fin, S, AUDIOSTREAM_INTERRUPT_HINT_STOP,
       After::kNothing},
      {"renderer error", [] { vdev::inject_renderer_error(AUDIOSTREAM_ERROR_ILLEGAL_STATE); },
       kArg1AudioPlayerWorking, sonora::kArg2Error, -1, -1, After::kNothing},
      {"renderer fatal error", [] { vdev::inject_renderer_error(AUDIOSTREAM_ERROR_SYSTEM); },
       kArg1AudioPlayerStop, sonora::kArg2FatalError, -1, -1, After::kPlaybackEnded},
      {"renderer error without a known code", [] { vdev::inject_renderer_error(0); },
       kArg1AudioPlayerStop, sonora::kArg2FatalError, -1, -1, After::kPlaybackEnded},
      {"capturer forced pause", [] { capturer_interrupt(F, AUDIOSTREAM_INTERRUPT_HINT_PAUSE); },
       kArg1AudioRecordWorking, sonora::kArg2Mute, F, AUDIOSTREAM_INTERRUPT_HINT_PAUSE,
       After::kCapturePaused},
      {"capturer forced stop", [] { capturer_interrupt(F, AUDIOSTREAM_INTERRUPT_HINT_STOP); },
       kArg1AudioRecordStop, sonora::kArg2Fin, F, AUDIOSTREAM_INTERRUPT_HINT_STOP,
       After::kCaptureEnded},
      {"capturer shared pause", [] { capturer_interrupt(S, AUDIOSTREAM_INTERRUPT_HINT_PAUSE); },
       kArg1AudioRecordWorking, sonora::kArg2Mute, S, AUDIOSTREAM_INTERRUPT_HINT_PAUSE,
       After::kNothing},
      {"capturer error", [] { vdev::inject_capturer_error(AUDIOSTREAM_ERROR_INVALID_PARAM); },
       kArg1AudioRecordWorking, sonora::kArg2Error, -1, -1, After::kNothing},
      {"capturer fatal error", [] { vdev::inject_capturer_error(AUDIOSTREAM_ERROR_SYSTEM); },
       kArg1AudioRecordStop, sonora::kArg2FatalError, -1, -1, After::kCaptureEnded},
      {"capturer error without a known code", [] { vdev::inject_capturer_error(0); },
       kArg1AudioRecordStop, sonora::kArg2FatalError, -1, -1, After::kCaptureEnded},
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
    ASSERT_TRUE(eventually([] { return delivered() == 1; }));
    c.inject();

    // The report: after the two start successes, one event (none for a routing change).
    const size_t reports = c.force == -2 ? 2u : 3u;
    ASSERT_TRUE(handler.wait_for(reports));
    const auto events = handler.events();
    EXPECT_EQ(events.size(), reports);
    if (c.force != -2) {
      EXPECT_EQ(events[2].arg1, c.arg1);
      EXPECT_EQ(events[2].arg2, c.arg2);
      if (c.force == -1) {
        EXPECT_EQ(events[2].obj, nullptr);
      } else {
        const auto* detail = static_cast<const sonora::Interruption*>(events[2].obj);
        ASSERT_NE(detail, nullptr);
        EXPECT_EQ(detail->force, static_cast<uint32_t>(c.force));
        EXPECT_EQ(detail->hint, static_cast<uint32_t>(c.hint));
      }
    }

    // Playback.
    switch (c.after) {
      case After::kPlaybackPaused:
        EXPECT_TRUE(player.audio_working());
        EXPECT_EQ(vdev::pump_render(1), 0);
        EXPECT_TRUE(player.append_audio_data(numbered(7).data(), kBlock, nullptr));
        EXPECT_TRUE(player.resume());
        EXPECT_EQ(vdev::pump_render(4), 4);
        EXPECT_EQ(rendered_numbers(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7}));
        break;
      case After::kPlaybackEnded: {
        EXPECT_FALSE(player.audio_working());
        const size_t refusals = log.count("append refused");
        EXPECT_FALSE(player.append_audio_data(numbered(7).data(), kBlock, nullptr));
        EXPECT_EQ(log.count("append refused"), refusals + 1);
        EXPECT_EQ(rendered_numbers(), (std::vector<uint16_t>{1, 2, 3}));
        // Started again: a new playback that plays what it is given.
        ASSERT_TRUE(player.enable_audio(true));
        EXPECT_TRUE(player.append_audio_data(numbered(8).data(), kBlock, nullptr));
        EXPECT_EQ(vdev::pump_render(1), 1);
        EXPECT_EQ(rendered_numbers().back(), 8);
        break;
      }
      default:
        EXPECT_TRUE(player.audio_working());
        EXPECT_EQ(vdev::pump_render(3), 3);
        EXPECT_EQ(rendered_numbers(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));
    }

    // Capture.
    switch (c.after) {
      case After::kCapturePaused:
      case After::kCaptureEnded: {
        vdev::pump_capture(2);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(delivered(), 1u);  // nothing after the interruption
        EXPECT_FALSE(player.adjust_capture_volume(1.0f) && c.after == After::kCaptureEnded);
        // Capture starts again (stopping first releases the ended or paused run).
        player.stop_record_audio();
        ASSERT_TRUE(player.start_record_audio(collect, 0));
        EXPECT_EQ(vdev::pump_capture(1), 1);
        EXPECT_TRUE(eventually([] { return delivered() == 2; }));
        break;
      }
      default:
        EXPECT_EQ(vdev::pump_capture(1), 1);
        EXPECT_TRUE(eventually([] { return delivered() == 2; }));
    }
    EXPECT_TRUE(player.stop_record_audio());
    EXPECT_TRUE(player.enable_audio(false));
  }
}

// A capture the system stopped no longer belongs to its instance: another instance can capture,
// and the first one's later stop leaves that capture alone.
TEST_F(FaultInjection, CaptureEndedBySystemFreesTheMicrophoneForAnotherInstance) {
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, kBlock, 8);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  vdev::set_capture_source(std::vector<uint8_t>(kBlock * 8, 0x21), true);
  Sonora first(&suit, nullptr), second(&suit, nullptr);
  ASSERT_TRUE(first.start_record_audio(collect, 0));
  EXPECT_FALSE(second.start_record_audio(collect, 0));
  capturer_interrupt(F, AUDIOSTREAM_INTERRUPT_HINT_STOP);
  ASSERT_TRUE(second.start_record_audio(collect, 0));
  EXPECT_FALSE(first.stop_record_audio());
  EXPECT_EQ(vdev::pump_capture(1), 1);
  EXPECT_TRUE(eventually([] { return delivered() == 1; }));
  EXPECT_TRUE(second.stop_record_audio());
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
    EXPECT_TRUE(eventually([] { return delivered() == 1; }));
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

// The renderer's and the capturer's callbacks and the capture processing loop never log: with
// echo cancellation, noise suppression and the gain chain at work, underruns, a pause and a
// paused far end, then an auto-stop playback running dry, no line comes from those threads.
TEST_F(FaultInjection, CallbackThreadsNeverLog) {
  vdev::set_manual_clock(false);
  vdev::set_echo(30, 0.5f);
  vdev::set_capture_source(std::vector<uint8_t>(kBlock * 8, 0x21), true);
  hilog::Capture log;
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, kBlock, 3);
  a.enable_aec = true;
  a.enable_ns = true;
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  PlaySuit auto_stop(2, sonora::kPTypeAutoStop, &a, nullptr);
  {
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    ASSERT_TRUE(player.start_record_audio(collect, 0));
    ASSERT_TRUE(player.adjust_capture_volume(0.5f));
    for (uint16_t n = 1; n <= 30; ++n) {
      while (player.audio_left() >= 4) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ASSERT_TRUE(player.append_audio_data(numbered(n).data(), kBlock, nullptr));
      if (n % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(70));  // underrun
      if (n == 15) {
        ASSERT_TRUE(player.pause());
        std::this_thread::sleep_for(std::chrono::milliseconds(120));  // the far end stops
        ASSERT_TRUE(player.resume());
      }
    }
    EXPECT_TRUE(eventually([] { return delivered() > 20; }));
    EXPECT_TRUE(player.stop_record_audio());
  }
  {
    Sonora player(&auto_stop, nullptr);
    ASSERT_TRUE(player.enable_audio(true));
    ASSERT_TRUE(player.append_audio_data(numbered(1).data(), kBlock, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // runs dry: auto-stop
    EXPECT_FALSE(player.append_audio_data(numbered(2).data(), kBlock, nullptr));
  }
  const char* callback_threads[] = {"vdev-render", "vdev-capture", "marlin-capture"};
  for (const hilog::Record& r : log.records()) {
    for (const char* name : callback_threads) {
      EXPECT_NE(r.thread, name) << r.text;
    }
  }
}

}  // namespace
