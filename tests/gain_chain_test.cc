#include "utils/commons.h"
#include "utils/kx_agc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using sonora::byte;
using sonora::audio::EncodeType;
using sonora::audio::kETypeS16;
using sonora::audio::kETypeS8;
using sonora::audio::kETypeU8;

std::vector<byte> to_bytes(const std::vector<short>& samples) {
  std::vector<byte> out(samples.size() * 2);
  if (!samples.empty()) std::memcpy(out.data(), samples.data(), out.size());
  return out;
}

std::vector<short> to_samples(const std::vector<byte>& bytes) {
  std::vector<short> out(bytes.size() / 2);
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

std::vector<short> adjusted(const std::vector<short>& in, float gain) {
  std::vector<byte> buf = to_bytes(in);
  adjust_pcm(buf.data(), buf.size(), kETypeS16, kETypeS16, gain);
  return to_samples(buf);
}

std::vector<short> chained(const std::vector<short>& in, int gain_type, float gain) {
  std::vector<byte> buf = to_bytes(in);
  auto_adjust_pcm(buf.data(), buf.size(), kETypeS16, kETypeS16, gain_type, gain);
  return to_samples(buf);
}

void init_agc(int channels) {
  AGC_INFO_PARAM request = {1, 8000, channels, 24};
  testing::internal::CaptureStdout();
  kx_agc_init(&request);
  testing::internal::GetCapturedStdout();
}

TEST(GainChain, GainWindowLeavesSamplesAlone) {
  const std::vector<short> in = {0, 1, -1, 20000, -32768, 32767};
  struct Case {
    float gain;
    bool scaled;
  };
  // Scaled only above 1.01 or below 0.9, compared in single precision.
  const Case cases[] = {
      {1.0f, false},
      {0.9f, false},
      {1.01f, false},
      {0.95f, false},
      {std::nextafter(0.9f, 0.0f), true},
      {std::nextafter(1.01f, 2.0f), true},
      {std::numeric_limits<float>::quiet_NaN(), false},
  };
  for (const Case& c : cases) {
    std::vector<short> out = adjusted(in, c.gain);
    if (c.scaled) {
      EXPECT_EQ(out[0], -1) << c.gain;  // the rounding offset moves a zero sample
    } else {
      EXPECT_EQ(out, in) << c.gain;
    }
  }

  // Without gain, only 16-bit to 8-bit is a conversion; every other pair leaves the bytes.
  const EncodeType all[] = {kETypeU8, kETypeS8, kETypeS16};
  for (EncodeType from : all) {
    for (EncodeType to : all) {
      std::vector<byte> buf = to_bytes(in);
      const std::vector<byte> original = buf;
      adjust_pcm(buf.data(), buf.size(), from, to, 1.0f);
      bool narrows = from == kETypeS16 && to != kETypeS16;
      EXPECT_EQ(buf != original, narrows) << from << " -> " << to;
    }
  }

  // The recorder's initial setting passes blocks through the whole chain untouched.
  for (EncodeType enc : all) {
    std::vector<byte> buf = to_bytes(in);
    const std::vector<byte> original = buf;
    auto_adjust_pcm(buf.data(), buf.size(), enc, enc, 0, 1.0f);
    EXPECT_EQ(buf, original) << enc;
  }
}

TEST(GainChain, ScalingRoundsAwayAndSaturates) {
  struct Case {
    float gain;
    short in;
    short out;
  };
  // s * gain + 1 for s > 0, s * gain - 1 otherwise, in single precision, truncated toward zero.
  const Case cases[] = {
      {2.0f, 0, -1},
      {2.0f, 1, 3},
      {2.0f, -1, -3},
      {2.0f, 16382, 32765},
      {2.0f, 16383, 32767},  // exactly the top
      {2.0f, 16384, 32767},  // 32769 saturates
      {2.0f, 20000, 32767},
      {2.0f, -16383, -32767},
      {2.0f, -16384, -32768},  // -32769 saturates
      {2.0f, -20000, -32768},
      {1.5f, -21845, -32768},  // -32768.5 truncates to the bottom
      {1.5f, -21846, -32768},  // -32770 saturates
      {1.5f, -21844, -32767},
      {0.5f, 3, 2},    // 2.5
      {0.5f, -3, -2},  // -2.5 truncates toward zero, not down
      {0.5f, 32767, 16384},
      {0.5f, -32768, -16385},
      {0.7f, 10, 8},  // 10 * 0.7f rounds to 7.0f in single precision
      {0.7f, -32760, -22933},
      // 4095 * 4097 / 1024 = 16384 - 2^-10 exactly; adding 1 in single precision rounds to 16385.
      {4.0009765625f, 4095, 16385},
      {4.0009765625f, -4095, -16385},
      {0.0f, 12345, 1},
      {0.0f, -12345, -1},
      {-1.0f, 32767, -32766},
      {-1.0f, -32768, 32767},
      {1e30f, 5, 32767},
      {1e30f, -5, -32768},
      {std::numeric_limits<float>::infinity(), 0, 0},  // 0 * inf has no value: left at 0
      {std::numeric_limits<float>::infinity(), 7, 32767},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(adjusted({c.in}, c.gain)[0], c.out) << c.in << " x " << c.gain;
  }

  // An odd trailing byte is not a sample.
  std::vector<byte> buf = to_bytes({100, 200});
  buf.push_back(0x7f);
  adjust_pcm(buf.data(), buf.size(), kETypeS16, kETypeS16, 2.0f);
  EXPECT_EQ(buf[4], 0x7f);
  EXPECT_EQ(to_samples(buf), (std::vector<short>{201, 401}));
}

TEST(GainChain, NarrowingTo8Bits) {
  const std::vector<short> in = {-32768, 0, 32767, 255, 256, -1, -256, -257};
  const std::vector<byte> want_u8 = {0, 128, 255, 128, 129, 127, 127, 126};
  const std::vector<signed char> want_s8 = {-128, 0, 127, 0, 1, -1, -1, -2};
  for (EncodeType to : {kETypeU8, kETypeS8}) {
    std::vector<byte> buf = to_bytes(in);
    const std::vector<byte> original = buf;
    adjust_pcm(buf.data(), buf.size(), kETypeS16, to, 1.0f);
    for (size_t i = 0; i < in.size(); ++i) {
      if (to == kETypeU8) {
        EXPECT_EQ(buf[i], want_u8[i]) << i;
      } else {
        EXPECT_EQ(static_cast<signed char>(buf[i]), want_s8[i]) << i;
      }
    }
    // The second half is stale: the input's own bytes.
    EXPECT_TRUE(std::equal(buf.begin() + 8, buf.end(), original.begin() + 8)) << to;
  }

  // Gain first, then the high byte of the scaled sample; the stale half holds scaled samples.
  std::vector<byte> buf = to_bytes({100, -100, 20000, 0});
  adjust_pcm(buf.data(), buf.size(), kETypeS16, kETypeS8, 2.0f);
  // Scaled: 201, -201, 32767, -1.
  const signed char want[4] = {0, -1, 127, -1};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(static_cast<signed char>(buf[i]), want[i]) << i;
  std::vector<byte> tail(buf.begin() + 4, buf.end());
  EXPECT_EQ(to_samples(tail), (std::vector<short>{32767, -1}));
}

TEST(GainChain, BlockEnergy) {
  std::vector<byte> buf = to_bytes(std::vector<short>(160, 100));
  EXPECT_EQ(otherAdjust_pcm(buf.data(), buf.size()), 5000.0);  // 1,600,000 / 320 bytes
  buf.push_back(9);                                            // odd byte: divides by 321
  EXPECT_EQ(otherAdjust_pcm(buf.data(), buf.size()), 1600000.0 / 321.0);

  std::vector<byte> loud = to_bytes(std::vector<short>(32768, -32768));
  EXPECT_EQ(otherAdjust_pcm(loud.data(), loud.size()), 536870912.0);  // 2^45 / 2^16

  std::vector<byte> mixed = to_bytes({3, -4});
  EXPECT_EQ(otherAdjust_pcm(mixed.data(), mixed.size()), 25.0 / 4.0);
  EXPECT_EQ(otherAdjust_pcm(mixed.data(), 1), 0.0);
  EXPECT_EQ(otherAdjust_pcm(mixed.data(), 0), 0.0);
  EXPECT_EQ(otherAdjust_pcm(nullptr, 4), 0.0);
}

TEST(GainChain, LoudnessWeightedGain) {
  struct Case {
    const char* name;
    std::vector<short> in;
    float gain;
    std::vector<short> out;
  };
  const float just_above = std::nextafter(1.5f, 2.0f);
  // Energy 100 / 320 bytes is below 1 and counts as 1: volume 0 dB.
  std::vector<short> quiet(160, 0);
  quiet[0] = 10;
  std::vector<short> quiet_at_2(160, -1), quiet_just_above(160, -1);
  quiet_at_2[0] = 31;        // 10 * 3 + 1
  quiet_just_above[0] = 23;  // 10 * 2.25 + 1
  const Case cases[] = {
      // 1.5 is used as it is.
      {"1.5 unweighted", {1000, -1000, 0}, 1.5f, {1501, -1501, -1}},
      {"1.5 on silence", {1, 0}, 1.5f, {2, -1}},
      // Above 1.5 on silence: 1.0 * gain + gain / 2.
      {"2.0 on silence", quiet, 2.0f, quiet_at_2},
      {"just above 1.5 on silence", quiet, just_above, quiet_just_above},
      {"2.0 on an all-zero block", std::vector<short>(16, 0), 2.0f, std::vector<short>(16, -1)},
      // Energy 10^8 * n / 2n bytes = 5 * 10^7: volume 76.99 dB, gain 0.2301 * 2 + 1 = 1.46021.
      {"2.0 on a loud block", std::vector<short>(64, 10000), 2.0f, std::vector<short>(64, 14603)},
      {"below the window", {1000, -1000}, 0.5f, {501, -501}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(chained(c.in, 0, c.gain), c.out) << c.name;
    // Any gain type but 4 is the same.
    EXPECT_EQ(chained(c.in, 3, c.gain), c.out) << c.name;
    EXPECT_EQ(chained(c.in, -1, c.gain), c.out) << c.name;
  }

  // Narrowing through the chain: the caller takes length / 2 as the new length.
  std::vector<byte> buf = to_bytes({100, -100, 20000, 0});
  auto_adjust_pcm(buf.data(), buf.size(), kETypeS16, kETypeU8, 0, 1.0f);
  EXPECT_EQ(buf[0], 128);
  EXPECT_EQ(buf[1], 127);
  EXPECT_EQ(buf[2], 206);  // 20000 >> 8 = 78, + 128
  EXPECT_EQ(buf[3], 128);
}

TEST(GainChain, AutomaticGainControlMode) {
  init_agc(1);
  // The capture volume, truncated, becomes the bound; from and to are ignored.
  struct Case {
    float gain;
    INT16 max;
    INT16 min;
  };
  const Case cases[] = {
      {0.5f, 0, 0},
      {10.9f, 10, -10},
      {-3.7f, -3, 3},
      {24.0f, 24, -24},
      {std::numeric_limits<float>::quiet_NaN(), 0, 0},
      {1e10f, -1, 1},  // saturated to the int range, then kept in 16 bits
  };
  for (const Case& c : cases) {
    std::vector<byte> buf = to_bytes({32767, -32768, 0});
    auto_adjust_pcm(buf.data(), buf.size(), kETypeS16, kETypeU8, 4, c.gain);
    EXPECT_EQ(kx_agc_internal::agc_info()->iMaxGain, c.max) << c.gain;
    EXPECT_EQ(kx_agc_internal::agc_info()->iMinGain, c.min) << c.gain;
    // Only the limiter acts on the first frame; no narrowing.
    EXPECT_EQ(to_samples(buf), (std::vector<short>{29204, -29204, 0})) << c.gain;
  }

  // Gain 0.5: bounds 0 and 0. A quiet block (peak 600, -35 dBFS) would be raised by 24 dB
  // under the default bounds; here the control only limits peaks however long it runs.
  init_agc(1);
  const short pattern[4] = {600, -400, 200, -100};
  std::vector<short> quiet(800);
  for (size_t i = 0; i < quiet.size(); ++i) quiet[i] = pattern[i % 4];
  std::vector<short> out;
  for (int b = 0; b < 5; ++b) out = chained(quiet, 4, 0.5f);
  EXPECT_EQ(kx_agc_internal::agc_info()->peakL, 600);
  EXPECT_EQ(kx_agc_internal::agc_info()->iCurGainL, 0);
  EXPECT_EQ(out[out.size() - 4], 599);  // 600 at 0 dB
  EXPECT_EQ(out.back(), -99);           // -100 at 0 dB

  // A closed control leaves the block alone and says so.
  kx_agc_deinit();
  std::vector<byte> buf = to_bytes({32767, 1});
  const std::vector<byte> original = buf;
  testing::internal::CaptureStdout();
  auto_adjust_pcm(buf.data(), buf.size(), kETypeS16, kETypeS16, 4, 12.0f);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "No Opened.\r\nAGC No Opened.\r\n");
  EXPECT_EQ(buf, original);
  kx_agc_open();

  // A stereo control takes two samples per frame: a block of four samples is two frames, and
  // nothing past the block is touched.
  init_agc(2);
  std::vector<byte> stereo = to_bytes({32767, 32767, -32768, -32768, 32767, 32767, 32767, 32767});
  auto_adjust_pcm(stereo.data(), 8, kETypeS16, kETypeS16, 4, 24.0f);
  EXPECT_EQ(to_samples(stereo),
            (std::vector<short>{29204, 29204, -29204, -29204, 32767, 32767, 32767, 32767}));
  init_agc(1);
}

TEST(GainChain, EmptyNullAndUnalignedBlocks) {
  init_agc(1);
  kx_agc_set_config(7);
  byte one = 0x55;
  for (int type : {0, 4}) {
    for (float gain : {1.0f, 2.0f, 12.0f}) {
      auto_adjust_pcm(nullptr, 64, kETypeS16, kETypeU8, type, gain);
      auto_adjust_pcm(&one, 0, kETypeS16, kETypeU8, type, gain);
      adjust_pcm(nullptr, 64, kETypeS16, kETypeU8, gain);
    }
  }
  EXPECT_EQ(one, 0x55);
  // An empty block does not reconfigure the control either.
  EXPECT_EQ(kx_agc_internal::agc_info()->iMaxGain, 7);

  // A byte buffer need not be aligned for 16-bit samples.
  const std::vector<short> in = {1000, -1000, 32767, -32768, 0, 7};
  for (int type : {0, 4}) {
    init_agc(1);
    std::vector<short> want = chained(in, type, 2.0f);
    init_agc(1);
    std::vector<byte> raw(in.size() * 2 + 1);
    std::memcpy(raw.data() + 1, in.data(), in.size() * 2);
    auto_adjust_pcm(raw.data() + 1, in.size() * 2, kETypeS16, kETypeS16, type, 2.0f);
    std::vector<short> got(in.size());
    std::memcpy(got.data(), raw.data() + 1, in.size() * 2);
    EXPECT_EQ(got, want) << type;
  }
}

}  // namespace
