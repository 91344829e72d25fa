#include "audio/webrtc_aec.h"

#include <gtest/gtest.h>
#include <hilog/log_sink.h>

#include <chrono>
#include <thread>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "sonora/frame_wrapper.h"
#include "sonora/play_suit.h"
#include "test_support.h"

namespace {

using sonora::byte;
using sonora::Frame;
using sonora::TSSuit;
namespace audio = sonora::audio;

// 16 kHz mono 16-bit, 20 ms blocks, echo cancellation on, normalised as a player would store it.
audio::Suit aec_suit(int rate = 16000) {
  audio::Suit s = testing_support::pcm_suit(rate, 1, 16, static_cast<size_t>(rate / 50 * 2));
  s.enable_aec = true;
  sonora::PlaySuit normalised(1, sonora::kPTypeByFPS, &s, nullptr);
  return *normalised.audio();
}

TEST(EchoCanceller, InertForSuitsItCannotServe) {
  hilog::Capture log;
  audio::Suit off = aec_suit();
  off.enable_aec = false;
  audio::Suit stereo = aec_suit();
  stereo.channel_per_frame = 2;
  audio::Suit odd_chunk = aec_suit();
  odd_chunk.block = 480;  // 15 ms at 16 kHz: not a whole number of 10 ms canceller calls
  audio::Suit no_block = aec_suit();
  no_block.block = 0;
  no_block.max_cached_frames = 0;
  for (const audio::Suit* s : {&off, &stereo, &odd_chunk, &no_block}) {
    audio::WebRtcAEC aec(s);
    EXPECT_FALSE(aec.is_working());
    byte data[640] = {};
    EXPECT_FALSE(aec.input(data, 640, nullptr));
  }
  EXPECT_EQ(log.count("aec not support the suit"), 4u);

  // A rate AECM does not take: inert without a message.
  log.clear();
  audio::Suit wide = aec_suit(48000);
  audio::WebRtcAEC aec48(&wide);
  EXPECT_FALSE(aec48.is_working());
  EXPECT_EQ(log.count("aec"), 0u);

  audio::Suit ok = aec_suit();
  audio::WebRtcAEC aec(&ok);
  EXPECT_TRUE(aec.is_working());
  EXPECT_EQ(aec.get_status()->leap, 0);
}

class Window : public ::testing::Test {
 protected:
  audio::Suit suit = aec_suit();
  audio::WebRtcAEC aec{&suit};
  sonora::FrameWrapper near_pool{6, 640};
  std::vector<byte> pcm = std::vector<byte>(640, 0);

  bool far(uint64_t sts, uint64_t tid, size_t size = 640) {
    TSSuit ts{0, 0, sts, tid};
    return aec.input(pcm.data(), size, &ts);
  }
  Frame* near(uint64_t sts, uint64_t tid) {
    TSSuit ts{0, 0, sts, tid};
    return near_pool.gen_frame(sonora::kFTypeA, pcm.data(), 640, &ts);
  }
};

TEST_F(Window, OldFarBlocksAreDroppedLaterOnesWait) {
  ASSERT_TRUE(aec.is_working());
  hilog::Capture log;
  // Leads of -15, 5 and 25 ms against the captured block (sts 1000, tid 10), 20 ms per block.
  ASSERT_TRUE(far(1005, 9));
  ASSERT_TRUE(far(1005, 10));
  ASSERT_TRUE(far(1005, 11));
  EXPECT_TRUE(aec.output_for_aec(near(1000, 10)));  // -15 dropped, 5 used
  EXPECT_EQ(aec.get_status()->leap, 5);
  EXPECT_EQ(aec.get_status()->tid, 10u);
  EXPECT_TRUE(aec.output_for_aec(near(1000, 11)));  // the 25 ms block is 5 ms ahead of this one
  EXPECT_EQ(aec.get_status()->leap, 5);

  // A lead of exactly 45 ms is outside the window: skipped, kept, used by the next block.
  ASSERT_TRUE(far(1045, 20));
  EXPECT_FALSE(aec.output_for_aec(near(1000, 20)));
  EXPECT_EQ(aec.get_status()->leap, 45);
  EXPECT_EQ(aec.counters().far_ahead.load(), 1u);
  EXPECT_TRUE(aec.output_for_aec(near(1000, 22)));  // 45 - 40 = 5: used
  EXPECT_EQ(aec.get_status()->leap, 5);

  // A far block shorter than a block is queued; when matched the canceller refuses it but the
  // block is consumed.
  ASSERT_TRUE(far(1010, 30, 320));
  EXPECT_TRUE(aec.output_for_aec(near(1000, 30)));
  EXPECT_EQ(aec.counters().blocks_refused.load(), 1u);

  // A captured block of the wrong size is refused.
  Frame* short_near = near_pool.gen_frame(sonora::kFTypeA, pcm.data(), 100, nullptr);
  EXPECT_FALSE(aec.output_for_aec(short_near));
  EXPECT_EQ(aec.counters().near_refused.load(), 1u);
}

TEST_F(Window, EmptyQueueWaitsOnceUntilFarAudioReturns) {
  // Far-end audio absent (playback paused): the first block waits once, the following ones go
  // on at once; once far-end audio has been seen, an empty queue is waited for again.
  hilog::Capture log;
  EXPECT_FALSE(aec.output_for_aec(near(1000, 1)));
  EXPECT_EQ(aec.counters().waits.load(), 1u);
  for (uint64_t t = 2; t < 6; ++t) EXPECT_FALSE(aec.output_for_aec(near(1000, t)));
  EXPECT_EQ(aec.counters().waits.load(), 1u);
  ASSERT_TRUE(far(1020, 6));  // leap 20 against block 6
  EXPECT_TRUE(aec.output_for_aec(near(1000, 6)));
  EXPECT_FALSE(aec.output_for_aec(near(1000, 7)));
  EXPECT_EQ(aec.counters().waits.load(), 2u);
}

TEST_F(Window, FarEndArrivingJustAfterTheCaptureIsWaitedFor) {
  // Far-end audio missing: blocks stop waiting.
  EXPECT_FALSE(aec.output_for_aec(near(1000, 1)));
  EXPECT_EQ(aec.counters().waits.load(), 1u);
  // A far-end block too old by more than a block (lead -16 ms: it lined up with no earlier
  // block either) is dropped and the block still does not wait.
  ASSERT_TRUE(far(984, 2));
  EXPECT_FALSE(aec.output_for_aec(near(1000, 2)));
  EXPECT_EQ(aec.counters().waits.load(), 1u);
  // One too old by at most a block (lead -15 ms) lined up with the block before: the far end is
  // arriving, just after the capture, so the block waits for the next one.
  ASSERT_TRUE(far(985, 3));
  EXPECT_FALSE(aec.output_for_aec(near(1000, 3)));
  EXPECT_EQ(aec.counters().waits.load(), 2u);
  // The two clocks in that phase: each far-end block arrives just after the captured block it
  // lines up with was examined, and lines up 2 ms too late with the next. The next far-end block
  // arrives while the block waits, and it is cancelled.
  EXPECT_FALSE(aec.output_for_aec(near(1000, 4)));  // missing again
  ASSERT_TRUE(far(1002, 5));                        // lead 2 against block 5
  const uint64_t dropped = aec.counters().far_too_old.load();
  std::thread feeder([&] {
    while (aec.counters().far_too_old.load() == dropped) std::this_thread::yield();
    far(1002, 6);  // lead 22 against block 5
  });
  EXPECT_TRUE(aec.output_for_aec(near(1000, 5)));
  feeder.join();
  EXPECT_EQ(aec.get_status()->leap, 22);
}

TEST_F(Window, FarAudioThatKeepsArrivingTooOldDoesNotHoldTheBlock) {
  // Far-end blocks arrive every 20 ms but always 15 ms too old to line up (a far-end clock behind
  // the capture clock): the captured block goes on uncancelled after one wait, while they still
  // arrive, instead of dropping them and waiting again for ever.
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> feeding_until{0};
  std::thread feeder([&] {
    for (uint64_t i = 0; i < 100 && !stop.load(); ++i) {  // 2 s at most
      far(1000 - 15 - 20 * static_cast<uint64_t>(i), 1 + i);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    feeding_until.store(1);
  });
  EXPECT_FALSE(aec.output_for_aec(near(1000, 1)));
  const bool returned_while_feeding = feeding_until.load() == 0;
  stop.store(true);
  feeder.join();
  EXPECT_TRUE(returned_while_feeding);
}

TEST_F(Window, FarQueueDropsTheOldestBeyondOneSecond) {
  hilog::Capture log;
  // 50 blocks fit one second; the far-end pool has 64 slots. Without dropping the oldest the
  // pool would run out and input would fail.
  for (uint64_t i = 0; i < 200; ++i) ASSERT_TRUE(far(1000, i)) << i;
  EXPECT_EQ(aec.counters().far_refused.load(), 0u);
  // The oldest kept block is number 150: a captured block aligned with it is cancelled at once.
  EXPECT_TRUE(aec.output_for_aec(near(995, 150)));
  EXPECT_EQ(aec.get_status()->leap, 5);
}

// Runs `seconds` of speech-like far end through the canceller with its echo `path` samples after
// the far end paired by the clocks (before it when negative) at the microphone, half as loud, with
// a weaker reflection 4 ms on and a noise floor; the far end is queued one block ahead, as a
// renderer does. Returns the ERLE over the last 4 s and, in *estimate, the path the canceller
// reports in ms.
double erle_through(audio::WebRtcAEC* aec, const audio::Suit& suit, long path, double seconds,
                    unsigned seed, int* estimate) {
  sonora::FrameWrapper pool(6, suit.block);
  const size_t n = suit.block / 2;
  const long reflection = suit.sample_rate / 250;
  std::vector<int16_t> far = testing_support::speech_like(suit.sample_rate, seconds, seed);
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0, 30);
  const size_t blocks = far.size() / n - 1;
  const size_t from = blocks - static_cast<size_t>(4 * suit.sample_rate) / n;
  double mic_energy = 0, out_energy = 0;
  std::vector<int16_t> near(n);
  auto far_at = [&](long at) { return at >= 0 ? far[static_cast<size_t>(at)] : 0; };
  auto queue_far = [&](size_t k) {
    TSSuit fts{0, 0, 1010, k};  // 10 ms ahead: inside the alignment window
    EXPECT_TRUE(aec->input(reinterpret_cast<byte*>(&far[k * n]), suit.block, &fts));
  };
  queue_far(0);
  for (size_t k = 0; k < blocks; ++k) {
    for (size_t i = 0; i < n; ++i) {
      const long at = static_cast<long>(k * n + i) - path;
      const double echo = 0.5 * far_at(at) + 0.2 * far_at(at - reflection);
      near[i] = static_cast<int16_t>(std::lrint(echo + noise(rng)));
    }
    queue_far(k + 1);
    TSSuit nts{0, 0, 1000, k};
    Frame* f =
        pool.gen_frame(sonora::kFTypeA, reinterpret_cast<byte*>(near.data()), suit.block, &nts);
    EXPECT_TRUE(aec->output_for_aec(f));
    if (k >= from) {
      std::vector<int16_t> out(n);
      std::memcpy(out.data(), f->data, suit.block);
      mic_energy += testing_support::energy(near, 0, n);
      out_energy += testing_support::energy(out, 0, n);
    }
    pool.delete_frame(f);
  }
  *estimate = aec->get_status()->delay;
  return 10 * std::log10(mic_energy / std::max(out_energy, 1.0));
}

TEST(EchoCanceller, RemovesAnAlignedLinearEchoAtBothRates) {
  // At 8 kHz the stored suit's 80-sample calls are the canceller's 10 ms frame. At 16 kHz they
  // would be half of it, with which the canceller passes the microphone through unchanged; the
  // calls carry 10 ms instead.
  for (int rate : {8000, 16000}) {
    SCOPED_TRACE(rate);
    audio::Suit suit = aec_suit(rate);
    audio::WebRtcAEC aec(&suit);
    ASSERT_TRUE(aec.is_working());
    int estimate = -1;
    const double erle = erle_through(&aec, suit, rate * 6L / 1000, 8.0, 3, &estimate);
    EXPECT_GT(erle, 10.0) << "echo return loss enhancement " << erle << " dB";
  }
}

// The canceller finds the echo path, whether shorter than the sound-card delay it assumes, far
// longer, or ahead of the far end that the clocks pair (then it pairs the block after, and
// reports the path after that one), and cancels as well on each.
TEST(EchoCanceller, FindsAndFollowsTheEchoPath) {
  struct Case {
    int path_ms;
    int reported_ms;
  } cases[] = {{-15, 5}, {4, 4}, {30, 30}, {150, 150}, {320, 320}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path_ms);
    audio::Suit suit = aec_suit();
    audio::WebRtcAEC aec(&suit);
    int estimate = -1;
    const double erle = erle_through(&aec, suit, c.path_ms * 16L, 10.0, 5, &estimate);
    EXPECT_NEAR(estimate, c.reported_ms, audio::EchoDelayEstimator::kStepMs);
    EXPECT_GT(erle, 30.0);
  }
}

}  // namespace
