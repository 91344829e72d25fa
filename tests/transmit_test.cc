// Multi-frequency transmitter: its tables, header, tone frames and the frame sequence of encode.
#include "transmit/transmit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// `value` rounded to `decimals` places the way a decimal table stores it.
double rounded(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof(text), "%.*f", decimals, value);
  return strtod(text, nullptr);
}

std::vector<int> tones_of(int symbol) {
  std::vector<int> tones;
  for (int k = 0; k < 11; ++k) {
    if (codebook[symbol][k] == 1) tones.push_back(k);
  }
  return tones;
}

// Frames collected from encode's callback.
struct Frame {
  std::vector<short> pcm;
};
std::vector<Frame>* g_frames = nullptr;

void collect(const void* data, size_t size) {
  Frame f;
  f.pcm.resize(size / 2);
  memcpy(f.pcm.data(), data, size);
  EXPECT_EQ(size % 2, 0u);
  g_frames->push_back(std::move(f));
}

std::vector<Frame> encode_frames(const std::string& text, int* result) {
  std::vector<Frame> frames;
  g_frames = &frames;
  *result = encode(text.c_str(), collect);
  g_frames = nullptr;
  return frames;
}

// The tone frame of `symbol` at 44100 Hz.
std::vector<short> tone_frame(int symbol) {
  sound_wave_transmit_s s;
  sound_wave_transmit_init(&s, 44100);
  sound_wave_transmit_ceartMF(&s, symbol);
  std::vector<short> out(s.frame_signal, s.frame_signal + s.frame_length);
  sound_wave_transmit_free(&s);
  return out;
}

// The symbols one pass of `text` must carry, in order.
std::vector<int> pass_symbols(const std::string& text) {
  const int field = static_cast<int>(text.size()) + 10;
  const int digits[3] = {field / 100, field / 10 % 10, field % 10};
  std::vector<int> symbols = {294, 294};
  for (int copy = 0; copy < 2; ++copy) {
    for (int d : digits) symbols.push_back('0' + d);
  }
  for (unsigned char c : text) symbols.push_back(c);
  symbols.push_back(295);
  symbols.push_back(295);
  return symbols;
}

// ---- Tables ---------------------------------------------------------------------------------

TEST(TransmitTables, ToneRowsFollowTheirRuleToFiveDecimals) {
  for (int k = 0; k < 11; ++k) {
    for (int i = 0; i < 882; ++i) {
      const double rule = 1000.0 * (1.0 - std::cos(2.0 * kPi * (i + 1) / 883.0)) *
                          std::sin(2.0 * kPi * (10000.0 + 200.0 * k) * i / 44100.0);
      ASSERT_EQ(sin_wave[k][i], rounded(rule, 5)) << "row " << k << " sample " << i;
    }
  }
}

TEST(TransmitTables, AnalysisWindowFollowsItsRuleToFourDecimals) {
  for (int i = 0; i < 441; ++i) {
    const double rule = 0.54 - 0.46 * std::cos(2.0 * kPi * i / 440.0);
    ASSERT_EQ(hanning_window[i], rounded(rule, 4)) << i;
  }
}

// The codebook lists every four-tone subset once, in lexicographic order; the decodebook holds
// each row's tone set as bits, tone 0 the most significant.
TEST(TransmitTables, CodebookAndDecodebook) {
  int row = 0;
  for (int a = 0; a < 11; ++a)
    for (int b = a + 1; b < 11; ++b)
      for (int c = b + 1; c < 11; ++c)
        for (int d = c + 1; d < 11; ++d) {
          ASSERT_LT(row, 330);
          EXPECT_EQ(tones_of(row), (std::vector<int>{a, b, c, d})) << "row " << row;
          for (int k = 0; k < 11; ++k) {
            ASSERT_TRUE(codebook[row][k] == 0 || codebook[row][k] == 1);
          }
          EXPECT_EQ(decodebook[row],
                    (1 << (10 - a)) | (1 << (10 - b)) | (1 << (10 - c)) | (1 << (10 - d)))
              << "row " << row;
          ++row;
        }
  EXPECT_EQ(row, 330);
}

// ---- State ----------------------------------------------------------------------------------

struct RateCase {
  int fs;
  int frame_dis;
  int frame_length;
};

TEST(TransmitState, InitSizesAndZeroFillsBothFramesAndFreeReleasesThem) {
  const RateCase cases[] = {{44100, 441, 882}, {48000, 480, 960}, {16000, 160, 320},
                            {8000, 80, 160},   {199, 1, 3},       {0, 0, 0}};
  for (const RateCase& c : cases) {
    sound_wave_transmit_s s;
    memset(&s, 0x5a, sizeof(s));
    sound_wave_transmit_init(&s, c.fs);
    EXPECT_EQ(s.fs, c.fs);
    EXPECT_EQ(s.frame_dis, c.frame_dis) << c.fs;
    EXPECT_EQ(s.frame_length, c.frame_length) << c.fs;
    EXPECT_EQ(s.codebook_p, codebook);
    ASSERT_NE(s.frame_zeros, nullptr);
    ASSERT_NE(s.frame_signal, nullptr);
    for (int i = 0; i < s.frame_dis; ++i) ASSERT_EQ(s.frame_zeros[i], 0);
    for (int i = 0; i < s.frame_length; ++i) ASSERT_EQ(s.frame_signal[i], 0);
    sound_wave_transmit_free(&s);
    EXPECT_EQ(s.frame_zeros, nullptr);
    EXPECT_EQ(s.frame_signal, nullptr);
    sound_wave_transmit_free(&s);  // a second release is harmless
  }
}

// ---- Header ---------------------------------------------------------------------------------

const char kLengthError[] = "input length error!!!\n";

struct HeaderCase {
  int length;
  std::vector<int> header;
  std::string error;  // what is printed
};

TEST(TransmitHeader, LengthFieldIsTheDigitsOfLengthPlusTenInBothCopies) {
  const HeaderCase cases[] = {
      {0, {294, 294, 48, 49, 48, 48, 49, 48}, ""},
      {5, {294, 294, 48, 49, 53, 48, 49, 53}, ""},
      {89, {294, 294, 48, 57, 57, 48, 57, 57}, ""},
      {90, {294, 294, 49, 48, 48, 49, 48, 48}, ""},
      {989, {294, 294, 57, 57, 57, 57, 57, 57}, ""},
      // 1000: the hundreds digit does not exist, its two places keep what they held.
      {990, {294, 294, 0, 48, 48, 0, 48, 48}, kLengthError},
      {-11, {294, 294, 48, 48, 0, 48, 48, 0}, kLengthError},
  };
  for (const HeaderCase& c : cases) {
    int header[8] = {294, 294, 0, 0, 0, 0, 0, 0};
    testing::internal::CaptureStdout();
    sound_wave_transmit_addinfo(c.length, header);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.error) << c.length;
    EXPECT_EQ(std::vector<int>(header, header + 8), c.header) << c.length;
  }
}

// ---- Tone frames ----------------------------------------------------------------------------

TEST(TransmitToneFrame, StartSymbolReferenceSamples) {
  const std::vector<short> f = tone_frame(294);
  ASSERT_EQ(f.size(), 882u);
  EXPECT_EQ(std::vector<short>(f.begin(), f.begin() + 6), (std::vector<short>{0, 0, 0, -1, 0, 3}));
  int peak = 0;
  for (short v : f) peak = std::max(peak, std::abs(static_cast<int>(v)));
  EXPECT_EQ(peak, 7958);
}

TEST(TransmitToneFrame, EverySymbolIsItsFourRowsSummedAndTruncated) {
  for (int symbol = 0; symbol < 330; ++symbol) {
    const std::vector<int> t = tones_of(symbol);
    const std::vector<short> f = tone_frame(symbol);
    int peak = 0;
    for (int i = 0; i < 882; ++i) {
      const double sum =
          sin_wave[t[0]][i] + sin_wave[t[1]][i] + sin_wave[t[2]][i] + sin_wave[t[3]][i];
      ASSERT_EQ(f[i], static_cast<short>(std::trunc(sum))) << symbol << " " << i;
      peak = std::max(peak, std::abs(static_cast<int>(f[i])));
    }
    EXPECT_LT(peak, 8000) << symbol;
  }
}

TEST(TransmitToneFrame, SymbolsOutsideTheTableAndRatesAbove44100GiveSilenceNotOverruns) {
  for (int symbol : {-1, 330, 100000}) {
    const std::vector<short> f = tone_frame(symbol);
    for (short v : f) ASSERT_EQ(v, 0) << symbol;
  }
  // 48000 Hz: 960 samples per tone frame, the rows cover the first 882.
  sound_wave_transmit_s s;
  sound_wave_transmit_init(&s, 48000);
  sound_wave_transmit_ceartMF(&s, 294);
  const std::vector<short> at44 = tone_frame(294);
  for (int i = 0; i < 882; ++i) ASSERT_EQ(s.frame_signal[i], at44[i]);
  for (int i = 882; i < 960; ++i) ASSERT_EQ(s.frame_signal[i], 0);
  sound_wave_transmit_free(&s);
}

// ---- Pass and encode ------------------------------------------------------------------------

std::vector<std::pair<std::vector<short>, int>>* g_sink = nullptr;
void sink(short* input, int length) {
  g_sink->push_back({std::vector<short>(input, input + length), length});
}

TEST(TransmitPass, EnccoreSendsAnyTableSymbolAndNothingWithoutSink) {
  // Byte 0 cannot be part of a NUL-terminated text but is a valid character symbol.
  int header[8] = {294, 294, 0, 0, 0, 0, 0, 0};
  sound_wave_transmit_addinfo(3, header);
  int input[3] = {0, 255, 97};
  sound_wave_transmit_s s;
  sound_wave_transmit_init(&s, 44100);
  std::vector<std::pair<std::vector<short>, int>> frames;
  g_sink = &frames;
  sound_wave_transmit_enccore(&s, header, input, 3, sink);
  sound_wave_transmit_enccore(&s, header, input, 3, nullptr);
  g_sink = nullptr;
  sound_wave_transmit_free(&s);
  ASSERT_EQ(frames.size(), 10u + 2u * 13u + 10u);
  const int symbols[13] = {294, 294, 48, 49, 51, 48, 49, 51, 0, 255, 97, 295, 295};
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(frames[10 + 2 * i].second, 441);
    EXPECT_EQ(frames[11 + 2 * i].first, tone_frame(symbols[i])) << i;
  }
}

struct EncodeCase {
  const char* name;
  std::string text;
};

std::string every_byte_value() {
  std::string s;
  for (int b = 1; b < 256; ++b) s.push_back(static_cast<char>(b));
  return s;
}

TEST(TransmitEncode, ThreePassesOfSilenceAndToneFramesCarryingTheText) {
  // Without a callback there is nothing to deliver, and nothing of that call stays behind; the
  // calls below, one after the other, give complete transmissions.
  EXPECT_EQ(encode("abc", nullptr), 0);
  const EncodeCase cases[] = {
      {"empty", ""},
      {"five", "hello"},
      {"every byte value", every_byte_value()},
      {"longest", std::string(989, 'z')},
  };
  for (const EncodeCase& c : cases) {
    int result = -1;
    const std::vector<Frame> frames = encode_frames(c.text, &result);
    EXPECT_EQ(result, 0) << c.name;
    const size_t n = c.text.size();
    const size_t per_pass = 10 + 2 * (n + 10) + 10;
    ASSERT_EQ(frames.size(), 3 * per_pass) << c.name;
    const std::vector<int> symbols = pass_symbols(c.text);
    for (size_t pass = 0; pass < 3; ++pass) {
      const Frame* f = &frames[pass * per_pass];
      for (size_t i = 0; i < 10; ++i) {
        ASSERT_EQ(f[i].pcm, std::vector<short>(441)) << c.name;
        ASSERT_EQ(f[per_pass - 1 - i].pcm, std::vector<short>(441)) << c.name;
      }
      for (size_t s = 0; s < symbols.size(); ++s) {
        ASSERT_EQ(f[10 + 2 * s].pcm, std::vector<short>(441)) << c.name << " symbol " << s;
        ASSERT_EQ(f[11 + 2 * s].pcm, tone_frame(symbols[s])) << c.name << " symbol " << s;
      }
    }
  }
}

TEST(TransmitEncode, TextTooLongForTheLengthFieldOrMissingIsRefusedWithoutSound) {
  const std::string too_long(990, 'z');
  const struct {
    const char* text;
    std::string error;
  } cases[] = {{too_long.c_str(), kLengthError}, {nullptr, ""}};
  for (const auto& c : cases) {
    std::vector<Frame> frames;
    g_frames = &frames;
    testing::internal::CaptureStdout();
    EXPECT_EQ(encode(c.text, collect), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.error);
    g_frames = nullptr;
    EXPECT_TRUE(frames.empty());
  }
}

}  // namespace
