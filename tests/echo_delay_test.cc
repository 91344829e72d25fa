#include "audio/echo_delay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

using sonora::audio::EchoDelayEstimator;

// The far end played from time 0 and the microphone hearing it `delay_ms` later at
// half its level over faint noise, both given in 10 ms chunks from `from_ms`; the estimate after
// `seconds`.
int estimate(int delay_ms, double seconds, bool far_given = true, uint64_t from_ms = 1000000) {
  const int rate = 16000;
  // Noise in stretches of random length (40 .. 300 ms) and level: no period the lag could slip by.
  std::mt19937 rng(9);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<int16_t> far(static_cast<size_t>(seconds * rate));
  double level = 0;
  for (size_t i = 0, next = 0; i < far.size(); ++i) {
    if (i == next) {
      level = uniform(rng) < 0.3 ? 0.0 : 8000.0 * uniform(rng);
      next += static_cast<size_t>(rate * (0.04 + 0.26 * uniform(rng)));
    }
    far[i] = static_cast<int16_t>(level * std::max(-3.0, std::min(3.0, noise(rng))));
  }
  std::vector<int16_t> mic(far.size());
  const size_t d = static_cast<size_t>(delay_ms) * rate / 1000;
  for (size_t i = 0; i < mic.size(); ++i) {
    mic[i] = static_cast<int16_t>((i >= d ? far[i - d] / 2 : 0) + 30.0 * noise(rng));
  }
  EchoDelayEstimator e(rate);
  for (size_t at = 0; at + 160 <= far.size(); at += 160) {
    const uint64_t ms = from_ms + at / 16;
    if (far_given) e.add_far(&far[at], 160, ms);
    e.add_near(&mic[at], 160, ms);
  }
  return e.delay_ms();
}

TEST(EchoDelay, FindsTheEchoPathAcrossItsRange) {
  for (int delay : {0, 2, 74, 250, 498}) {
    EXPECT_NEAR(estimate(delay, 6.0), delay, 2) << delay;
  }
  // Beyond the range nothing is clear enough to be taken.
  EXPECT_EQ(estimate(700, 6.0), -1);
}

TEST(EchoDelay, NoEstimateWithoutAWindowOrAFarEnd) {
  // The same on a clock that starts at 0, where the far end's history cannot reach back a whole
  // window and the longest lag.
  for (uint64_t from_ms : {uint64_t{1000000}, uint64_t{0}}) {
    SCOPED_TRACE(from_ms);
    EXPECT_EQ(estimate(74, 0.9, true, from_ms), -1);  // less than the first window of microphone
    EXPECT_EQ(estimate(74, 1.4, true, from_ms), -1);  // one update: not confirmed yet
    EXPECT_NEAR(estimate(74, 1.6, true, from_ms), 74, 2);
  }
  EXPECT_EQ(estimate(74, 6.0, false), -1);
}

}  // namespace
