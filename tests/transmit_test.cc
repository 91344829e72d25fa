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
using Frame = std::vector<short>;
std::vector<Frame>* g_frames = nullptr;

void collect(const void* data, size_t size) {
  EXPECT_EQ(size % 2, 0u);
  g_frames->emplace_back(static_cast<const short*>(data),
                         static_cast<const short*>(data) + size / 2);
}

// Encodes `text` (null: no text), checking the result and what is printed.
std::vector<Frame> encode_frames(const char* text, int result, const std::string& printed = "") {
  std::vector<Frame> frames;
  g_frames = &frames;
  testing::internal::CaptureStdout();
  EXPECT_EQ(encode(text, collect), result);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), printed);
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

// The tone rows to five decimals and the analysis window to four.
TEST(TransmitTables, RowsAndWindowFollowTheirRules) {
  for (int k = 0; k < 11; ++k) {
    for (int i = 0; i < 882; ++i) {
      const double rule = 1000.0 * (1.0 - std::cos(2.0 * kPi * (i + 1) / 883.0)) *
                          std::sin(2.0 * kPi * (10000.0 + 200.0 * k) * i / 44100.0);
      ASSERT_EQ(sin_wave[k][i], rounded(rule, 5)) << "row " << k << " sample " << i;
    }
  }
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

TEST(TransmitState, InitSizesAndZeroFillsBothFramesAndFreeReleasesThem) {
  const struct {
    int fs, frame_dis, frame_length;
  } cases[] = {{44100, 441, 882}, {48000, 480, 960}, {16000, 160, 320},
               {8000, 80, 160},   {199, 1, 3},       {0, 0, 0}};
  for (const auto& c : cases) {
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

TEST(TransmitHeader, LengthFieldIsTheDigitsOfLengthPlusTenInBothCopies) {
  const struct {
    int length;
    std::vector<int> header;
    std::string error;  // what is printed
  } cases[] = {
      {0, {294, 294, 48, 49, 48, 48, 49, 48}, ""},
      {5, {294, 294, 48, 49, 53, 48, 49, 53}, ""},
      {89, {294, 294, 48, 57, 57, 48, 57, 57}, ""},
      {90, {294, 294, 49, 48, 48, 49, 48, 48}, ""},
      {989, {294, 294, 57, 57, 57, 57, 57, 57}, ""},
      // 1000: the hundreds digit does not exist, its two places keep what they held.
      {990, {294, 294, 0, 48, 48, 0, 48, 48}, kLengthError},
      {-11, {294, 294, 48, 48, 0, 48, 48, 0}, kLengthError},
  };
  for (const auto& c : cases) {
    int header[8] = {294, 294, 0, 0, 0, 0, 0, 0};
    testing::internal::CaptureStdout();
    sound_wave_transmit_addinfo(c.length, header);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.error) << c.length;
    EXPECT_EQ(std::vector<int>(header, header + 8), c.header) << c.length;
  }
}

// ---- Tone frames ----------------------------------------------------------------------------

TEST(TransmitToneFrame, EverySymbolIsItsFourRowsSummedAndTruncated) {
  const std::vector<short> start = tone_frame(294);  // reference samples
  ASSERT_EQ(start.size(), 882u);
  EXPECT_EQ(std::vector<short>(start.begin(), start.begin() + 6),
            (std::vector<short>{0, 0, 0, -1, 0, 3}));
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
    if (symbol == 294) {
      EXPECT_EQ(peak, 7958);
    }
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

TEST(TransmitEncode, ThreePassesOfSilenceAndToneFramesCarryingTheText) {
  // Without a callback there is nothing to deliver, and nothing of that call stays behind; the
  // calls below, one after the other, give complete transmissions.
  EXPECT_EQ(encode("abc", nullptr), 0);
  std::string every_byte_value;
  for (int b = 1; b < 256; ++b) every_byte_value.push_back(static_cast<char>(b));
  for (const std::string& text :
       {std::string(), std::string("hello"), every_byte_value, std::string(989, 'z')}) {
    SCOPED_TRACE(text.size());
    const std::vector<Frame> frames = encode_frames(text.c_str(), 0);
    const size_t per_pass = 10 + 2 * (text.size() + 10) + 10;
    ASSERT_EQ(frames.size(), 3 * per_pass);
    const std::vector<int> symbols = pass_symbols(text);
    const Frame gap(441);
    for (size_t pass = 0; pass < 3; ++pass) {
      const Frame* f = &frames[pass * per_pass];
      for (size_t i = 0; i < 10; ++i) {
        ASSERT_EQ(f[i], gap);
        ASSERT_EQ(f[per_pass - 1 - i], gap);
      }
      for (size_t s = 0; s < symbols.size(); ++s) {
        ASSERT_EQ(f[10 + 2 * s], gap) << "symbol " << s;
        ASSERT_EQ(f[11 + 2 * s], tone_frame(symbols[s])) << "symbol " << s;
      }
    }
  }
  // Too long for the length field, or no text at all: refused without sound.
  EXPECT_TRUE(encode_frames(std::string(990, 'z').c_str(), -1, kLengthError).empty());
  EXPECT_TRUE(encode_frames(nullptr, -1).empty());
}

}  // namespace
