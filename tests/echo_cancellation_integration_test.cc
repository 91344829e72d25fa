// Capture while playing on the virtual device running on the real clock: the microphone hears a
// delayed, scaled echo of what the renderer plays, and the capture path removes it.
#include <gtest/gtest.h>
#include <ohaudio/virtual_device.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sonora/sonora.h"
#include "test_support.h"

namespace {

using sonora::byte;
using sonora::PlaySuit;
using sonora::Sonora;
using testing_support::energy;
using testing_support::eventually;
using testing_support::pcm_suit;
using testing_support::speech_like;

std::mutex g_mutex;
std::vector<int16_t> g_out;
// Alignment leads sampled from get_aec_status() while the run plays.
std::vector<int32_t> g_leaps;

void collect(const byte* data, size_t size, uint64_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const size_t n = size / 2;
  const size_t at = g_out.size();
  g_out.resize(at + n);
  std::memcpy(g_out.data() + at, data, n * 2);
}

// Plays `seconds` of far end while capturing; returns the captured (processed) samples.
// *path_ms: the canceller's estimate of the echo path at the end.
std::vector<int16_t> duplex_run(bool aec, double seconds,
                                sonora::EchoCanceller canceller = sonora::kEchoCancellerMobile,
                                int* path_ms = nullptr) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_out.clear();
  }
  const int rate = 16000;
  const size_t block = 640;
  sonora::audio::Suit a = pcm_suit(rate, 1, 16, block, 3);
  a.enable_aec = aec;
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  if (canceller != sonora::kEchoCancellerMobile) {
    EXPECT_TRUE(player.use_echo_canceller(canceller));
  }
  EXPECT_TRUE(player.enable_audio(true));
  EXPECT_TRUE(player.start_record_audio(collect, 0));
  std::vector<int16_t> far = speech_like(rate, seconds, 7);
  const byte* data = reinterpret_cast<const byte*>(far.data());
  size_t pos = 0;
  const size_t total = far.size() * 2;
  g_leaps.clear();
  while (pos < total) {
    if (pos % (block * 10) == 0)
      g_leaps.push_back(__atomic_load_n(&player.get_aec_status()->leap, __ATOMIC_RELAXED));
    if (player.audio_left() >= 4) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    size_t n = std::min(block, total - pos);
    if (player.append_audio_data(data + pos, n, nullptr)) pos += n;
  }
  EXPECT_TRUE(eventually([&] { return player.audio_left() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  player.stop_record_audio();
  player.enable_audio(false);
  if (path_ms != nullptr) *path_ms = player.get_aec_status()->delay;
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_out;
}

// Whatever request and capture callback sizes the platform picks (the renderer asks for one 20 ms
// block; a device may give 40 or 100 ms requests and 7 or 33 ms capture callbacks), each played
// block reaches the canceller with its own play time and the echo is removed as well.
class EchoCancellation : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(EchoCancellation, RemovesTheEchoOfWhatIsPlayed) {
#if defined(__SANITIZE_THREAD__)
  // Under ThreadSanitizer the callbacks run many times slower than real time; only the default
  // sizes keep up.
  if (GetParam() != std::make_pair(0, 20)) GTEST_SKIP() << "real-time sizes under ThreadSanitizer";
#endif
  vdev::use_hardware(false);
  vdev::set_manual_clock(false);
  vdev::reset();
  vdev::set_platform_request_ms(GetParam().first);
  vdev::set_capture_callback_ms(GetParam().second);
  // A room: 30 ms to the microphone, a 150 ms reverberant tail, a noise floor at -65 dBFS.
  vdev::set_echo(30, 0.5f);
  ASSERT_TRUE(
      vdev::set_echo_impulse_response(vdev::room_impulse_response(16000, 150, 250, 6.0f, 11)));
  ASSERT_TRUE(vdev::set_capture_noise(-65.0f, 5));
  const double seconds = 8.0;
  std::vector<int16_t> cancelled = duplex_run(true, seconds);
  // The microphone of the same run, block for block.
  std::vector<uint8_t> mic_bytes = vdev::captured();
  std::vector<int16_t> plain(mic_bytes.size() / 2);
  std::memcpy(plain.data(), mic_bytes.data(), plain.size() * 2);
  vdev::reset();
  // After three seconds of convergence, over the rest.
  const size_t from = 3 * 16000;
  const size_t to = std::min(plain.size(), cancelled.size());
  ASSERT_GT(to, from + 16000);
  const double erle = 10 * std::log10(energy(plain, from, to) / (energy(cancelled, from, to) + 1));
  std::printf(
      "ERLE over %.1f s: %.1f dB (echo %.1f dBFS, left %.1f dBFS)\n", (to - from) / 16000.0, erle,
      10 * std::log10(energy(plain, from, to) / (to - from) / 32768.0 / 32768.0 + 1e-12),
      10 * std::log10(energy(cancelled, from, to) / (to - from) / 32768.0 / 32768.0 + 1e-12));
  EXPECT_GT(erle, 12.0);
  // The echo still arriving after the queue ran dry (the renderer plays silence) is cancelled
  // too.
  // The tail: from 150 ms before the last microphone block above -45 dBFS (the end of the echo)
  // to that block.
  size_t echo_end = from;
  for (size_t b = from; b + 320 <= to; b += 320) {
    if (energy(plain, b, b + 320) / 320 > 32768.0 * 32768.0 * 3.2e-5) echo_end = b + 320;
  }
  const size_t tail_from = echo_end - 16000 * 15 / 100;
  const size_t tail_to = echo_end;
  const double tail = 10 * std::log10(energy(plain, tail_from, tail_to) /
                                      (energy(cancelled, tail_from, tail_to) + 1));
  std::printf("after the far end ran dry: %.1f dB\n", tail);
  EXPECT_GT(tail, 10.0);
  // The status shows the far-end blocks lined up inside the window [5, 45) ms.
  size_t inside = 0;
  for (int32_t leap : g_leaps) inside += (leap >= 5 && leap < 45) ? 1 : 0;
  EXPECT_GT(inside, g_leaps.size() * 3 / 4) << inside << " of " << g_leaps.size();
}

INSTANTIATE_TEST_SUITE_P(PlatformSizes, EchoCancellation,
                         testing::Values(std::make_pair(0, 20), std::make_pair(40, 7),
                                         std::make_pair(100, 33)),
                         [](const testing::TestParamInfo<std::pair<int, int>>& info) {
                           return "requests" + std::to_string(info.param.first) + "ms_capture" +
                                  std::to_string(info.param.second) + "ms";
                         });

// The full-band canceller finds an echo path longer than its filter reaches (120 ms to the
// microphone, then the room's tail) and holds the far end back by it.
TEST(FullBandCanceller, FindsTheEchoPathAndRemovesTheEcho) {
#if defined(__SANITIZE_THREAD__)
  // The callbacks run far slower than real time there: the run checks the threads, not the echo.
  const bool real_time = false;
#else
  const bool real_time = true;
#endif
  vdev::use_hardware(false);
  vdev::set_manual_clock(false);
  vdev::reset();
  vdev::set_echo(120, 0.5f);
  ASSERT_TRUE(
      vdev::set_echo_impulse_response(vdev::room_impulse_response(16000, 150, 250, 6.0f, 11)));
  ASSERT_TRUE(vdev::set_capture_noise(-65.0f, 5));
  int path_ms = -1;
  const std::vector<int16_t> cancelled =
      duplex_run(true, 8.0, sonora::kEchoCancellerFull, &path_ms);
  const std::vector<uint8_t> mic_bytes = vdev::captured();
  std::vector<int16_t> plain(mic_bytes.size() / 2);
  std::memcpy(plain.data(), mic_bytes.data(), plain.size() * 2);
  vdev::reset();
  const size_t from = 4 * 16000;  // after the estimate and the filter settled
  if (!real_time) return;
  EXPECT_NEAR(path_ms, 120, 6);
  const size_t to = std::min(plain.size(), cancelled.size());
  ASSERT_GT(to, from + 16000);
  const double erle = 10 * std::log10(energy(plain, from, to) / (energy(cancelled, from, to) + 1));
  std::printf("full-band canceller: echo path %d ms, ERLE %.1f dB\n", path_ms, erle);
  EXPECT_GT(erle, 15.0);
}

// The canceller is chosen while the instance neither plays nor captures, and only one that can
// serve the suit; a refusal keeps the one in place.
TEST(FullBandCanceller, ChosenOnlyWhileIdleAndForSuitsItServes) {
  vdev::use_hardware(false);
  vdev::set_manual_clock(true);
  vdev::reset();
  struct Case {
    int rate, bits;
    bool aec;
    bool accepted;
  } cases[] = {{16000, 16, true, true},  {48000, 16, true, true}, {8000, 16, true, true},
               {44100, 16, true, false}, {16000, 8, true, false}, {16000, 16, false, false}};
  for (const Case& c : cases) {
    sonora::audio::Suit a =
        pcm_suit(c.rate, 1, c.bits, static_cast<size_t>(c.rate / 50 * c.bits / 8));
    a.enable_aec = c.aec;
    PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    Sonora player(&suit, nullptr);
    EXPECT_EQ(player.use_echo_canceller(sonora::kEchoCancellerFull), c.accepted)
        << c.rate << " Hz, " << c.bits << " bits, aec " << c.aec;
  }
  sonora::audio::Suit a = pcm_suit(16000, 1, 16, 640);
  a.enable_aec = true;
  PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  Sonora player(&suit, nullptr);
  EXPECT_FALSE(player.use_echo_canceller(static_cast<sonora::EchoCanceller>(7)));
  ASSERT_TRUE(player.enable_audio(true));
  EXPECT_FALSE(player.use_echo_canceller(sonora::kEchoCancellerFull));  // playing
  ASSERT_TRUE(player.enable_audio(false));
  ASSERT_TRUE(player.start_record_audio(collect, 0));
  EXPECT_FALSE(player.use_echo_canceller(sonora::kEchoCancellerFull));  // capturing
  ASSERT_TRUE(player.stop_record_audio());
  EXPECT_TRUE(player.use_echo_canceller(sonora::kEchoCancellerFull));
  EXPECT_TRUE(player.use_echo_canceller(sonora::kEchoCancellerMobile));
  vdev::set_manual_clock(false);
  vdev::reset();
}

}  // namespace
