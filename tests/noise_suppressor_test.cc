#include "audio/webrtc_ns.h"

#include <gtest/gtest.h>
#include <hilog/log_sink.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sonora/frame_wrapper.h"
#include "sonora/play_suit.h"
#include "test_support.h"

namespace {

using sonora::Frame;
namespace audio = sonora::audio;

// Normalised as a player would store it.
audio::Suit suit_of(int rate, int channels, int bits, size_t block, bool ns) {
  audio::Suit s = testing_support::pcm_suit(rate, channels, bits, block);
  s.enable_ns = ns;
  sonora::PlaySuit normalised(1, sonora::kPTypeByFPS, &s, nullptr);
  return *normalised.audio();
}

std::vector<int16_t> noise(size_t n, int amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(-amplitude, amplitude);
  std::vector<int16_t> out(n);
  for (auto& s : out) s = static_cast<int16_t>(d(rng));
  return out;
}

double energy(const int16_t* s, size_t n) {
  double e = 0;
  for (size_t i = 0; i < n; ++i) e += static_cast<double>(s[i]) * s[i];
  return e / static_cast<double>(n);
}

TEST(NoiseSuppressor, InertForSuitsItCannotServe) {
  hilog::Capture log;
  const audio::Suit cases[] = {
      suit_of(16000, 1, 16, 640, false),  // suppression not asked for
      suit_of(16000, 2, 16, 640, true),   // stereo
      suit_of(16000, 1, 8, 320, true),    // 8-bit
      suit_of(16000, 1, 16, 0, true),     // no usable block
  };
  for (const auto& s : cases) {
    audio::WebRtcNS ns(&s);
    EXPECT_FALSE(ns.is_working());
    std::vector<sonora::byte> data(64, 0x11);
    Frame f{nullptr, data.data(), data.size(), -1, sonora::kFTypeA};
    EXPECT_FALSE(ns.ns(&f));
    EXPECT_EQ(data, std::vector<sonora::byte>(64, 0x11));
  }
  EXPECT_EQ(log.count("denoise init failed"), 0u);
  EXPECT_EQ(log.count("denoise refused block"), 1u);
  EXPECT_FALSE(audio::WebRtcNS(nullptr).is_working());

  // Rates the suppressor cannot run without band splitting: inert, with the init line.
  for (int rate : {32000, 44100, 48000}) {
    audio::Suit s = suit_of(rate, 1, 16, static_cast<size_t>(rate / 50 * 2), true);
    audio::WebRtcNS ns(&s);
    EXPECT_FALSE(ns.is_working()) << rate;
  }
  EXPECT_EQ(log.count("denoise init failed"), 3u);
}

TEST(NoiseSuppressor, ReducesStationaryNoiseAtSupportedRates) {
  for (int rate : {8000, 16000}) {
    const size_t block = static_cast<size_t>(rate / 50 * 2);  // 20 ms
    audio::Suit s = suit_of(rate, 1, 16, block, true);
    audio::WebRtcNS ns(&s);
    ASSERT_TRUE(ns.is_working()) << rate;
    sonora::FrameWrapper pool(6, block);
    double in_energy = 0, out_energy = 0;
    for (int i = 0; i < 150; ++i) {  // 3 s: the noise estimate settles in the first second
      std::vector<int16_t> pcm = noise(block / 2, 2000, static_cast<unsigned>(i));
      Frame* f = pool.gen_frame(sonora::kFTypeA, reinterpret_cast<sonora::byte*>(pcm.data()), block,
                                nullptr);
      ASSERT_NE(f, nullptr);
      ASSERT_TRUE(ns.ns(f));
      if (i >= 100) {
        in_energy += energy(pcm.data(), pcm.size());
        out_energy += energy(reinterpret_cast<int16_t*>(f->data), pcm.size());
      }
      pool.delete_frame(f);
    }
    double reduction_db = 10 * std::log10(in_energy / out_energy);
    EXPECT_GT(reduction_db, 3.0) << rate << " Hz: " << reduction_db << " dB";
    RecordProperty("noise_reduction_db_" + std::to_string(rate), std::to_string(reduction_db));
  }
}

TEST(NoiseSuppressor, ChunksNeverTouchBytesBeyondThePayload) {
  // 16 kHz: 10 ms chunks of 320 bytes. A 700-byte block is two chunks and a 60-byte remainder;
  // a 100-byte frame is one padded chunk; the bytes after each payload must stay as they are.
  audio::Suit s = suit_of(16000, 1, 16, 700, true);
  audio::WebRtcNS ns(&s);
  ASSERT_TRUE(ns.is_working());
  for (size_t size : {static_cast<size_t>(700), static_cast<size_t>(100), static_cast<size_t>(320),
                      static_cast<size_t>(1)}) {
    std::vector<int16_t> pcm = noise(400, 3000, 7);
    std::vector<sonora::byte> buf(800 + 64, 0xEE);
    std::memcpy(buf.data(), pcm.data(), size);
    Frame f{nullptr, buf.data(), size, -1, sonora::kFTypeA};
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(ns.ns(&f));
    for (size_t i = size; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE) << size << " at " << i;
  }
  std::vector<sonora::byte> none(8, 0x42);
  Frame empty{nullptr, none.data(), 0, -1, sonora::kFTypeA};
  EXPECT_TRUE(ns.ns(&empty));
  EXPECT_EQ(none, std::vector<sonora::byte>(8, 0x42));
  EXPECT_FALSE(ns.ns(nullptr));
  Frame no_payload{nullptr, nullptr, 10, -1, sonora::kFTypeA};
  EXPECT_FALSE(ns.ns(&no_payload));
}

}  // namespace
