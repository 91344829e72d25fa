// Capture through the facade on the virtual device: the capturer is pumped by hand, the processing
// thread runs for real and delivers to a fetch_cb that records what it got.
#include <gtest/gtest.h>
#include <hilog/log_sink.h>
#include <ohaudio/virtual_device.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <future>
#include <thread>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "audio/aec.h"
#include "sonora/body.h"
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
using testing_support::RecordingHandler;

// What fetch_cb received, block by block.
struct Delivered {
  std::mutex mutex;
  std::vector<std::vector<byte>> blocks;
  std::vector<uint64_t> ts;
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return blocks.size();
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    blocks.clear();
    ts.clear();
  }
};
Delivered g_delivered;

void collect(const byte* data, size_t size, uint64_t ts) {
  std::lock_guard<std::mutex> lock(g_delivered.mutex);
  g_delivered.blocks.emplace_back(data, data + size);
  g_delivered.ts.push_back(ts);
}

std::vector<byte> ramp_bytes(size_t samples, int channels = 1) {
  std::vector<int16_t> s(samples * static_cast<size_t>(channels));
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>((i * 37) % 20000 - 10000);
  std::vector<byte> out(s.size() * 2);
  std::memcpy(out.data(), s.data(), out.size());
  return out;
}

class RecorderTest : public testing_support::ManualClockTest {
 protected:
  void SetUp() override {
    testing_support::ManualClockTest::SetUp();
    // The capturer delivers 40 ms per callback, as a device may choose.
    vdev::set_capture_callback_ms(40);
    g_delivered.clear();
  }
};

TEST_F(RecorderTest, DeliversCapturedBlocksUnchangedInOrderAcrossRestarts) {
  // 16 kHz mono, 20 ms blocks; the capturer delivers 40 ms per callback, so one pump is two
  // blocks. No echo cancellation, no noise suppression, gain 1: the blocks come out as captured.
  const size_t block = 640;
  std::vector<byte> source = ramp_bytes(16000);
  vdev::set_capture_source(source, false);
  RecordingHandler handler;
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, block);
  PlaySuit suit(3, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, &handler);
  EXPECT_FALSE(player.adjust_capture_volume(2.0f));  // not capturing yet
  size_t offset = 0;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    g_delivered.clear();
    ASSERT_TRUE(player.start_record_audio(collect, 0));
    EXPECT_FALSE(player.start_record_audio(collect, 0));  // already capturing
    ASSERT_TRUE(handler.wait_for(static_cast<size_t>(run + 1)));
    EXPECT_EQ(handler.events()[run].arg1, sonora::kArg1AudioRecordStart);
    EXPECT_EQ(handler.events()[run].arg2, sonora::kArg2Success);
    EXPECT_EQ(vdev::pump_capture(3), 3);
    ASSERT_TRUE(eventually([] { return g_delivered.count() == 6; }));
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(g_delivered.blocks[i],
                std::vector<byte>(source.begin() + static_cast<long>(offset + i * block),
                                  source.begin() + static_cast<long>(offset + (i + 1) * block)))
          << i;
      // The two blocks of one 40 ms callback were captured 20 ms apart.
      if (i % 2 == 1) {
        EXPECT_EQ(g_delivered.ts[i], g_delivered.ts[i - 1] + 20) << i;
      }
    }
    offset += 6 * block;
    EXPECT_TRUE(player.adjust_capture_volume(1.0f));
    EXPECT_TRUE(player.stop_record_audio());
    EXPECT_FALSE(player.stop_record_audio());
    EXPECT_FALSE(player.adjust_capture_volume(1.0f));
    EXPECT_EQ(vdev::pump_capture(1), 0);  // the capturer is gone
  }
}

TEST_F(RecorderTest, CallbacksOfAnySizeDeliverEveryBlockBitExact) {
  // 20 ms blocks from callbacks of the platform's size, including sizes that are not a whole
  // number of blocks: every block arrives once, whole, in order.
  const size_t block = 640;
  std::vector<byte> source = ramp_bytes(16000);
  for (int callback_ms : {7, 20, 33, 40, 100}) {
    SCOPED_TRACE(callback_ms);
    vdev::reset();
    vdev::set_manual_clock(true);
    vdev::set_capture_callback_ms(callback_ms);
    vdev::set_capture_source(source, false);
    g_delivered.clear();
    sonora::audio::Suit a = pcm_suit(16000, 1, 16, block);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.start_record_audio(collect, 0));
    const int pumps = 400 / callback_ms + 1;  // over 400 ms
    ASSERT_EQ(vdev::pump_capture(pumps), pumps);
    const size_t blocks = static_cast<size_t>(pumps * callback_ms / 20);
    ASSERT_TRUE(eventually([&] { return g_delivered.count() == blocks; }));
    for (size_t i = 0; i < blocks; ++i) {
      ASSERT_EQ(g_delivered.blocks[i],
                std::vector<byte>(source.begin() + static_cast<long>(i * block),
                                  source.begin() + static_cast<long>((i + 1) * block)))
          << i;
    }
    EXPECT_TRUE(player.stop_record_audio());
  }
}

TEST_F(RecorderTest, PartialBlockIsKeptUntilCompleteAndDroppedAtStop) {
  // 8 kHz mono with a 480-byte block: one 640-byte callback completes one block and keeps 160
  // bytes; the next completes a second block and keeps 320; those are dropped at stop.
  const size_t block = 480;
  std::vector<byte> source = ramp_bytes(8000);
  vdev::set_capture_source(source, false);
  sonora::audio::Suit a = pcm_suit(8000, 1, 16, block);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  ASSERT_TRUE(player.start_record_audio(collect, 0));
  EXPECT_EQ(vdev::pump_capture(1), 1);
  ASSERT_TRUE(eventually([] { return g_delivered.count() == 1; }));
  EXPECT_EQ(vdev::pump_capture(1), 1);
  ASSERT_TRUE(eventually([] { return g_delivered.count() == 2; }));
  EXPECT_EQ(g_delivered.blocks[1], std::vector<byte>(source.begin() + 480, source.begin() + 960));
  ASSERT_TRUE(player.stop_record_audio());
  ASSERT_TRUE(player.start_record_audio(collect, 0));
  EXPECT_EQ(vdev::pump_capture(1), 1);
  ASSERT_TRUE(eventually([] { return g_delivered.count() == 3; }));
  // The new run starts from the new callback's bytes: nothing of the dropped 320 bytes.
  EXPECT_EQ(g_delivered.blocks[2], std::vector<byte>(source.begin() + 1280, source.begin() + 1760));
  EXPECT_TRUE(player.stop_record_audio());
}

TEST_F(RecorderTest, SuitsThatCannotBeCapturedAreRefused) {
  struct Case {
    const char* what;
    int rate, channels, bits;
    size_t block;
  } cases[] = {
      {"12-bit", 16000, 1, 12, 480},
      {"odd block", 16000, 1, 16, 641},
      {"17 channels", 16000, 17, 16, 17 * 640},
      {"rate 500000", 500000, 1, 16, 20000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vdev::reset();
    RecordingHandler handler;
    sonora::audio::Suit a = pcm_suit(c.rate, c.channels, c.bits, c.block);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, &handler);
    EXPECT_FALSE(player.start_record_audio(collect, 0));
    EXPECT_TRUE(eventually(
        [&] { return handler.count(sonora::kArg1AudioRecordStart, sonora::kArg2Failed) == 1; }));
    EXPECT_FALSE(player.stop_record_audio());
  }
}

TEST_F(RecorderTest, OneInstanceCapturesAtATime) {
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, 640);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora first(&suit, nullptr);
  Sonora second(&suit, nullptr);
  EXPECT_FALSE(second.stop_record_audio());  // never started
  ASSERT_TRUE(first.start_record_audio(collect, 0));
  EXPECT_FALSE(second.start_record_audio(collect, 0));
  // Only the instance that captures can stop its capture.
  EXPECT_FALSE(second.stop_record_audio());
  EXPECT_TRUE(first.adjust_capture_volume(1.0f));
  ASSERT_TRUE(first.stop_record_audio());
  ASSERT_TRUE(second.start_record_audio(collect, 0));
  EXPECT_TRUE(second.adjust_capture_volume(1.0f));
  EXPECT_TRUE(second.stop_record_audio());
}

TEST_F(RecorderTest, CaptureGainAppliesFromTheNextBlockAndRefusesNonFiniteValues) {
  const size_t block = 640;
  std::vector<int16_t> quiet(16000, 100);
  std::vector<byte> source(quiet.size() * 2);
  std::memcpy(source.data(), quiet.data(), source.size());
  vdev::set_capture_source(source, false);
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, block);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  ASSERT_TRUE(player.start_record_audio(collect, 0));
  ASSERT_TRUE(player.adjust_capture_volume(0.5f));
  for (float bad : {std::nanf(""), INFINITY}) EXPECT_FALSE(player.adjust_capture_volume(bad));
  EXPECT_EQ(vdev::pump_capture(1), 1);
  ASSERT_TRUE(eventually([] { return g_delivered.count() == 2; }));
  int16_t first;
  std::memcpy(&first, g_delivered.blocks[0].data(), 2);
  EXPECT_EQ(first, 51);  // 100 x 0.5 + 1, truncated
  EXPECT_TRUE(player.stop_record_audio());
}

std::atomic<bool> g_stopped_inside{false};
std::atomic<Sonora*> g_self{nullptr};
void stop_from_callback(const byte*, size_t, uint64_t) {
  Sonora* self = g_self.load();
  if (self != nullptr && !g_stopped_inside.load())
    g_stopped_inside.store(self->stop_record_audio());
}

TEST_F(RecorderTest, StopFromInsideTheCallbackEndsTheRunWithoutHanging) {
  vdev::set_capture_source(ramp_bytes(16000), true);
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, 640);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  g_self.store(&player);
  g_stopped_inside.store(false);
  ASSERT_TRUE(player.start_record_audio(stop_from_callback, 0));
  EXPECT_EQ(vdev::pump_capture(1), 1);
  ASSERT_TRUE(eventually([] { return g_stopped_inside.load(); }));
  EXPECT_FALSE(player.stop_record_audio());
  // Start again on the same recorder.
  ASSERT_TRUE(player.start_record_audio(collect, 0));
  EXPECT_EQ(vdev::pump_capture(1), 1);
  EXPECT_TRUE(eventually([] { return g_delivered.count() == 2; }));
  EXPECT_TRUE(player.stop_record_audio());
  g_self.store(nullptr);
}

TEST_F(RecorderTest, CaptureGainServesSixteenBitSamplesWithinItsRange) {
  // Other sample widths: the gain is refused (one log line) and blocks arrive as captured.
  for (int bits : {8, 24, 32}) {
    SCOPED_TRACE(bits);
    vdev::reset();
    vdev::set_manual_clock(true);
    vdev::set_capture_callback_ms(40);
    g_delivered.clear();
    const size_t block = static_cast<size_t>(16000 / 50 * bits / 8);
    std::vector<byte> source(block * 4);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<byte>(i * 29 + 7);
    vdev::set_capture_source(source, false);
    sonora::audio::Suit a = pcm_suit(16000, 1, bits, block);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    ASSERT_TRUE(player.start_record_audio(collect, 0));
    hilog::Capture log;
    EXPECT_FALSE(player.adjust_capture_volume(0.5f));
    EXPECT_FALSE(player.adjust_capture_volume_type(4));
    EXPECT_EQ(log.count("capture gain refused"), 2u);
    EXPECT_EQ(vdev::pump_capture(1), 1);
    ASSERT_TRUE(eventually([] { return g_delivered.count() == 2; }));
    EXPECT_EQ(g_delivered.blocks[0], std::vector<byte>(source.begin(), source.begin() + block));
    EXPECT_TRUE(player.stop_record_audio());
  }

  // 16-bit with the automatic gain control, init never called: it opens on first use and
  // raises a quiet input; its maximum gain lies in 0 .. 60 dB.
  vdev::reset();
  vdev::set_manual_clock(true);
  vdev::set_capture_callback_ms(40);
  g_delivered.clear();
  ASSERT_TRUE(Sonora::deinit());  // closes the gain control: nothing opened it since
  std::vector<int16_t> quiet(16000 * 2);
  for (size_t i = 0; i < quiet.size(); ++i) {
    quiet[i] = static_cast<int16_t>(300 * std::sin(2 * 3.14159265 * 440 * double(i) / 16000));
  }
  std::vector<byte> source(quiet.size() * 2);
  std::memcpy(source.data(), quiet.data(), source.size());
  vdev::set_capture_source(source, false);
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, 640);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  ASSERT_TRUE(player.start_record_audio(collect, 0));
  ASSERT_TRUE(player.adjust_capture_volume(24.0f));
  ASSERT_TRUE(player.adjust_capture_volume_type(4));
  for (float gain : {-0.5f, 60.5f, -100.0f}) EXPECT_FALSE(player.adjust_capture_volume(gain));
  for (float gain : {0.0f, 60.0f, 24.0f}) EXPECT_TRUE(player.adjust_capture_volume(gain));
  EXPECT_EQ(vdev::pump_capture(20), 20);  // 800 ms
  ASSERT_TRUE(eventually([] { return g_delivered.count() == 40; }));
  auto peak = [](const std::vector<byte>& b) {
    int m = 0;
    for (size_t i = 0; i + 1 < b.size(); i += 2) {
      int16_t v;
      std::memcpy(&v, &b[i], 2);
      m = std::max(m, std::abs(static_cast<int>(v)));
    }
    return m;
  };
  EXPECT_GT(peak(g_delivered.blocks.back()), 4 * 300);  // raised by more than 12 dB
  EXPECT_TRUE(player.stop_record_audio());
  // With a linear gain set, gain type 4 is refused when that value is no maximum gain in range.
  ASSERT_TRUE(player.start_record_audio(collect, 0));
  ASSERT_TRUE(player.adjust_capture_volume_type(0));
  ASSERT_TRUE(player.adjust_capture_volume(61.0f));
  EXPECT_FALSE(player.adjust_capture_volume_type(4));
  EXPECT_TRUE(player.stop_record_audio());
}

// A fetch_cb that stalls while 70 blocks arrive: 64 stay in the pool, the rest are lost, counted
// and reported once; nothing else is lost, and the count starts again with the next run.
std::mutex g_stall_mutex;
std::condition_variable g_stall_released;
bool g_stalled = false;
std::atomic<bool> g_in_stall{false};
void stall_then_collect(const byte* data, size_t size, uint64_t ts) {
  {
    std::unique_lock<std::mutex> lock(g_stall_mutex);
    g_in_stall = g_stalled;
    g_stall_released.wait(lock, [] { return !g_stalled; });
  }
  collect(data, size, ts);
}

TEST_F(RecorderTest, BlocksLostToASlowCallbackAreCountedAndReported) {
  vdev::set_capture_callback_ms(20);
  vdev::set_capture_source(ramp_bytes(16000), true);
  RecordingHandler handler;
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, 640);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, &handler);
  EXPECT_EQ(player.capture_dropped(), 0u);
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    g_delivered.clear();
    {
      std::lock_guard<std::mutex> lock(g_stall_mutex);
      g_stalled = true;
    }
    g_in_stall = false;
    ASSERT_TRUE(player.start_record_audio(stall_then_collect, 0));
    EXPECT_EQ(vdev::pump_capture(1), 1);
    ASSERT_TRUE(eventually([] { return g_in_stall.load(); }));
    EXPECT_EQ(vdev::pump_capture(69), 69);
    // The pool's 64 slots hold the block in fetch_cb and 63 more: 6 of 70 are lost.
    EXPECT_EQ(player.capture_dropped(), 6u);
    {
      std::lock_guard<std::mutex> lock(g_stall_mutex);
      g_stalled = false;
    }
    g_stall_released.notify_all();
    ASSERT_TRUE(eventually([] { return g_delivered.count() == 64; }));
    EXPECT_EQ(vdev::pump_capture(3), 3);  // the pool has room again: nothing more is lost
    ASSERT_TRUE(eventually([] { return g_delivered.count() == 67; }));
    EXPECT_EQ(player.capture_dropped(), 6u);
    EXPECT_TRUE(player.stop_record_audio());
    // Every block cut from the microphone is accounted for: delivered, dropped at stop, or lost
    // to the full pool.
    const auto& counts = sonora::audio::Factory::instance(nullptr)->get_recorder(0)->counters();
    EXPECT_EQ(counts.captured.load(), counts.delivered.load() + counts.dropped_at_stop.load());
    EXPECT_EQ(counts.dropped_full.load(), 6u * static_cast<uint64_t>(run + 1));
    // Start success, one loss report per run.
    ASSERT_TRUE(handler.wait_for(static_cast<size_t>(2 * (run + 1))));
    EXPECT_EQ(handler.count(sonora::kArg1AudioRecordWorking, sonora::kArg2Failed),
              static_cast<size_t>(run + 1));
  }
}

TEST_F(RecorderTest, BlocksTooShortForThePoolAreRefused) {
  // 5 ms is the shortest capture block: at, below and above it.
  for (const auto& c :
       {std::make_pair<size_t, bool>(160, true), std::make_pair<size_t, bool>(158, false),
        std::make_pair<size_t, bool>(162, true)}) {
    SCOPED_TRACE(c.first);
    hilog::Capture log;
    sonora::audio::Suit a = pcm_suit(16000, 1, 16, c.first);
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    EXPECT_EQ(player.start_record_audio(collect, 0), c.second);
    EXPECT_EQ(log.count("block shorter than 5 ms"), c.second ? 0u : 1u);
    if (c.second) {
      EXPECT_TRUE(player.stop_record_audio());
    }
  }
}

// What fetch_cb does to the instance that captures, set by each case.
Sonora* g_capturing_player = nullptr;
std::atomic<int> g_callback_step{0};
std::atomic<bool> g_restart_result{true};
std::atomic<bool> g_enable_result{true};

void restart_from_callback(const byte*, size_t, uint64_t) {
  if (g_callback_step.fetch_add(1) != 0) return;
  g_capturing_player->stop_record_audio();
  g_restart_result = g_capturing_player->start_record_audio(collect, 0);
}

void enable_while_stopped(const byte*, size_t, uint64_t) {
  if (g_callback_step.load() != 1) return;
  g_in_stall = true;  // the application thread now stops capture
  // Once the capture has stopped working, the stop holds its locks and waits for this callback.
  for (int i = 0; i < 1000 && g_capturing_player->adjust_capture_volume(1.0f); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  g_enable_result = g_capturing_player->enable_audio(true);
  g_callback_step = 2;
}

TEST_F(RecorderTest, CallsFromInsideFetchCbWorkOrAreRefused) {
  vdev::set_capture_source(ramp_bytes(16000), true);
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, 640);
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  g_capturing_player = &player;
  {
    // Stop then start again from inside fetch_cb: the stop works, the start is refused (it
    // used to rebuild the pool under the running loop); capture starts again from outside.
    hilog::Capture log;
    g_callback_step = 0;
    ASSERT_TRUE(player.start_record_audio(restart_from_callback, 0));
    EXPECT_EQ(vdev::pump_capture(1), 1);
    ASSERT_TRUE(eventually([] { return g_callback_step.load() >= 1; }));
    EXPECT_TRUE(eventually([] { return !g_restart_result.load(); }));
    EXPECT_EQ(log.count("start_record_audio refused: called from fetch_cb"), 1u);
    EXPECT_FALSE(player.stop_record_audio());  // already stopped
    ASSERT_TRUE(player.start_record_audio(collect, 0));
    EXPECT_EQ(vdev::pump_capture(1), 1);
    EXPECT_TRUE(eventually([] { return g_delivered.count() == 2; }));  // 40 ms callbacks
    EXPECT_TRUE(player.stop_record_audio());
  }
  {
    // fetch_cb starts playback on its own instance while the application thread stops capture
    // and waits for fetch_cb: refused (one log line) instead of waiting for each other forever.
    hilog::Capture log;
    g_callback_step = 1;
    g_in_stall = false;
    ASSERT_TRUE(player.start_record_audio(enable_while_stopped, 0));
    EXPECT_EQ(vdev::pump_capture(1), 1);
    ASSERT_TRUE(eventually([] { return g_in_stall.load(); }));
    auto stopping = std::async(std::launch::async, [&] { return player.stop_record_audio(); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(stopping.get());
    EXPECT_EQ(g_callback_step.load(), 2);
    EXPECT_FALSE(g_enable_result.load());
    EXPECT_EQ(log.count("enable_audio refused: called from fetch_cb"), 1u);
    EXPECT_FALSE(player.audio_working());
  }
}

// Records the numbers of the captured blocks the processing thread hands to the canceller.
class NearEndRecorder : public sonora::audio::AEC {
 public:
  explicit NearEndRecorder(const sonora::audio::Suit* suit) : AEC(suit) {}
  bool is_working() override { return true; }
  bool aec(const sonora::Frame*, sonora::Frame*) override { return false; }
  bool input(const byte*, size_t, const sonora::TSSuit*) override { return true; }
  bool output_for_aec(sonora::Frame* frame) override {
    std::lock_guard<std::mutex> lock(mutex);
    tids.push_back(frame->ts->tid);
    return false;
  }
  std::vector<uint64_t> taken() {
    std::lock_guard<std::mutex> lock(mutex);
    return tids;
  }
  std::mutex mutex;
  std::vector<uint64_t> tids;
};

TEST_F(RecorderTest, BlockNumbersStartAtZeroEachRunAndCountLostBlocks) {
  vdev::set_capture_callback_ms(20);
  vdev::set_capture_source(ramp_bytes(16000), true);
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, 640);
  a.enable_aec = true;
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  sonora::Body body(nullptr, &suit, nullptr);
  auto* near = testing_support::replace_canceller(&body, new NearEndRecorder(suit.audio()));
  ASSERT_TRUE(body.enable_audio(true));  // the canceller runs while playback works
  ASSERT_TRUE(body.start_record_audio(collect, 0));
  EXPECT_EQ(vdev::pump_capture(3), 3);
  ASSERT_TRUE(eventually([&] { return near->taken().size() == 3; }));
  EXPECT_TRUE(body.stop_record_audio());
  // A new run numbers from 0 again; blocks lost to a stalled fetch_cb keep their numbers.
  {
    std::lock_guard<std::mutex> lock(g_stall_mutex);
    g_stalled = true;
  }
  g_in_stall = false;
  ASSERT_TRUE(body.start_record_audio(stall_then_collect, 0));
  EXPECT_EQ(vdev::pump_capture(1), 1);
  ASSERT_TRUE(eventually([] { return g_in_stall.load(); }));
  EXPECT_EQ(vdev::pump_capture(69), 69);  // 6 lost: numbers 64 .. 69
  {
    std::lock_guard<std::mutex> lock(g_stall_mutex);
    g_stalled = false;
  }
  g_stall_released.notify_all();
  ASSERT_TRUE(eventually([] { return g_delivered.count() == 3 + 64; }));
  EXPECT_EQ(vdev::pump_capture(1), 1);  // number 70
  ASSERT_TRUE(eventually([&] { return near->taken().size() == 3 + 65; }));
  const std::vector<uint64_t> tids = near->taken();
  EXPECT_EQ(std::vector<uint64_t>(tids.begin(), tids.begin() + 4),
            (std::vector<uint64_t>{0, 1, 2, 0}));
  EXPECT_EQ(tids[3 + 63], 63u);
  EXPECT_EQ(tids.back(), 70u);
  EXPECT_TRUE(body.stop_record_audio());
}

}  // namespace
