#include "utils/voiceenc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Codes = std::vector<unsigned char>;
using Bytes = std::vector<unsigned char>;

// voiceenc_data2code with its printed checksum line captured.
int data2code(const unsigned char* data, int length, Codes* out, int capacity,
              std::string* printed = nullptr) {
  testing::internal::CaptureStdout();
  const int n = voiceenc_data2code(data, length, out->data(), capacity);
  const std::string line = testing::internal::GetCapturedStdout();
  if (printed != nullptr) *printed = line;
  return n;
}

Codes encode(const Bytes& text, std::string* printed = nullptr) {
  Codes codes(4096);
  codes.resize(static_cast<size_t>(
      data2code(text.data(), static_cast<int>(text.size()), &codes, 4096, printed)));
  return codes;
}

// CRC-16/MODBUS written the other way round: MSB-first shift register over bit-reversed bytes
// with the unreflected polynomial 0x8005, then the result reversed.
uint16_t modbus_reference(const Bytes& data) {
  auto reverse = [](uint32_t v, int bits) {
    uint32_t r = 0;
    for (int i = 0; i < bits; ++i) r |= ((v >> i) & 1u) << (bits - 1 - i);
    return r;
  };
  uint32_t reg = 0xFFFF;
  for (unsigned char b : data) {
    reg ^= reverse(b, 8) << 8;
    for (int i = 0; i < 8; ++i) reg = (reg & 0x8000u) ? ((reg << 1) ^ 0x8005u) : (reg << 1);
    reg &= 0xFFFFu;
  }
  return static_cast<uint16_t>(reverse(reg, 16));
}

// Undoes the stream rules; fails the test on any code out of place.
Bytes parse_stream(const Codes& c) {
  Bytes out;
  EXPECT_GE(c.size(), 4u);
  if (c.size() < 4) return out;
  EXPECT_EQ(c[0], 5);
  EXPECT_EQ(c[1], 5);
  size_t i = 2;
  const size_t body_end = c.size() - 2;
  while (i < body_end) {
    EXPECT_EQ(c[i], 5) << "separator expected at " << i;
    ++i;
    int byte = 0;
    int prev = -1;
    for (int j = 0; j < 4; ++j) {
      if (i < body_end && c[i] == 4) {
        ++i;
        EXPECT_LT(i, body_end);
        EXPECT_EQ(c[i], prev) << "a marker stands between equal dibits, at " << i;
      } else {
        EXPECT_NE(c[i], prev) << "equal dibits without a marker at " << i;
      }
      EXPECT_LE(c[i], 3) << i;
      prev = c[i];
      byte = (byte << 2) | c[i];
      ++i;
    }
    out.push_back(static_cast<unsigned char>(byte));
  }
  // The last code, twice more.
  EXPECT_EQ(c[c.size() - 1], c[c.size() - 3]);
  EXPECT_EQ(c[c.size() - 2], c[c.size() - 3]);
  return out;
}

struct StreamCase {
  const char* name;
  Bytes text;
  const char* printed;
  Codes codes;
};

TEST(VoiceencData2Code, ReferenceStreams) {
  const StreamCase cases[] = {
      {"abc", {'a', 'b', 'c'}, "checksum: 4957\n", {5, 5, 5, 1, 2, 0, 1, 5, 1, 2, 0, 2, 5, 1, 2, 0,
                                                    3, 5, 1, 0, 2, 1, 5, 1, 4, 1, 4, 1, 3, 3, 3}},
      {"empty", {}, "checksum: ffff\n", {5, 5, 5, 3, 4, 3, 4, 3, 4, 3,
                                         5, 3, 4, 3, 4, 3, 4, 3, 3, 3}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::string printed;
    EXPECT_EQ(encode(tc.text, &printed), tc.codes);
    EXPECT_EQ(printed, tc.printed);
  }
  // A negative length is the empty text.
  Codes buf(64);
  buf.resize(
      static_cast<size_t>(data2code(reinterpret_cast<const unsigned char*>("x"), -5, &buf, 64)));
  EXPECT_EQ(buf, cases[1].codes);
}

TEST(VoiceencData2Code, RepeatedDibitsGetMarkers) {
  struct {
    unsigned char byte;
    Codes codes;  // separator and dibits of the byte
  } cases[] = {
      {0x55, {5, 1, 4, 1, 4, 1, 4, 1}}, {0x00, {5, 0, 4, 0, 4, 0, 4, 0}},
      {0x1B, {5, 0, 1, 2, 3}},          {0xE4, {5, 3, 2, 1, 0}},
      {0x5A, {5, 1, 4, 1, 2, 4, 2}},    {0xCF, {5, 3, 0, 3, 4, 3}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(static_cast<int>(tc.byte));
    const Codes c = encode({tc.byte});
    ASSERT_GT(c.size(), 2 + tc.codes.size());
    EXPECT_EQ(Codes(c.begin() + 2, c.begin() + 2 + static_cast<long>(tc.codes.size())), tc.codes);
  }
}

TEST(VoiceencData2Code, RandomTextsRoundTripWithinLengthBounds) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    Bytes text(rng() % 40);
    for (auto& b : text) b = static_cast<unsigned char>(rng());
    const Codes c = encode(text);
    const size_t n = text.size();
    EXPECT_GE(c.size(), 2 + 5 * (n + 2) + 2);
    EXPECT_LE(c.size(), 2 + 8 * (n + 2) + 2);
    const Bytes payload = parse_stream(c);
    ASSERT_EQ(payload.size(), n + 2);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + static_cast<long>(n)), text);
    const uint16_t crc = modbus_reference(text);
    EXPECT_EQ(payload[n], crc & 0xFF);
    EXPECT_EQ(payload[n + 1], crc >> 8);
  }
}

TEST(VoiceencData2Code, CapacityCutsStorageNotLength) {
  const Bytes text = {'a', 'b', 'c'};  // 31 codes
  const Codes full = encode(text);
  for (int capacity : {0, 1, 30, 31, 32}) {
    SCOPED_TRACE(capacity);
    Codes buf(40, 0xEE);
    EXPECT_EQ(data2code(text.data(), 3, &buf, capacity), 31);
    const size_t stored = static_cast<size_t>(std::min(capacity, 31));
    EXPECT_EQ(Codes(buf.begin(), buf.begin() + static_cast<long>(stored)),
              Codes(full.begin(), full.begin() + static_cast<long>(stored)));
    for (size_t i = stored; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE) << i;
  }
}

TEST(VoiceencCrc, ReferenceValues) {
  unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc_16(digits, 9), 4929355u);
  EXPECT_EQ(crc_8(digits, 9), 0x20);
  // Nothing: the initial register, exchanged.
  EXPECT_EQ(crc_16(digits, 0) & 0xFFFFu, 0xFFFFu);
  EXPECT_EQ(crc_8(digits, 0), 0);

  std::mt19937 rng(3);
  for (int round = 0; round < 100; ++round) {
    Bytes data(1 + rng() % 64);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    const uint16_t crc = modbus_reference(data);
    const unsigned int got = crc_16(data.data(), static_cast<unsigned int>(data.size()));
    EXPECT_EQ(got & 0xFFFFu, static_cast<unsigned int>(((crc & 0xFF) << 8) | (crc >> 8)));
    EXPECT_EQ(got >> 16, static_cast<unsigned int>(crc >> 8));
  }
}

// Renders into a buffer with guard bytes behind `maxLen` and checks that they survive.
std::vector<int16_t> render(int rate, int periods, unsigned char code, int maxLen,
                            int* bytes_out = nullptr) {
  const size_t guard = 64;
  Bytes buf(static_cast<size_t>(std::max(maxLen, 0)) + guard, 0xA5);
  const int bytes = voiceenc_code2pcm_16K16Bit(rate, periods, code, buf.data(), maxLen);
  if (bytes_out != nullptr) *bytes_out = bytes;
  for (size_t i = static_cast<size_t>(std::max(bytes, 0)); i < buf.size(); ++i) {
    EXPECT_EQ(buf[i], 0xA5) << "byte " << i << " written beyond the result";
  }
  std::vector<int16_t> pcm(static_cast<size_t>(std::max(bytes, 0)) / 2);
  if (!pcm.empty()) memcpy(pcm.data(), buf.data(), pcm.size() * 2);
  return pcm;
}

// Period starts: the samples at -8192.
std::vector<size_t> period_starts(const std::vector<int16_t>& pcm) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < pcm.size(); ++i) {
    if (pcm[i] == -8192) starts.push_back(i);
  }
  return starts;
}

// Each code is `periods` triangle periods of 10 - code samples at 48 kHz, starting at -8192.
TEST(VoiceencCode2Pcm, PeriodsAndReferenceSamples) {
  for (unsigned char code = 0; code < 6; ++code) {
    SCOPED_TRACE(static_cast<int>(code));
    int bytes = 0;
    const auto pcm = render(48000, 60, code, 96000, &bytes);
    EXPECT_EQ(bytes, 1200 - 120 * code);
    const auto starts = period_starts(pcm);
    ASSERT_EQ(starts.size(), 60u);
    const size_t period = static_cast<size_t>(10 - code);
    for (size_t p = 0; p < starts.size(); ++p) EXPECT_EQ(starts[p], p * period);
  }
  const auto zero = render(48000, 60, 0, 96000), five = render(48000, 60, 5, 96000);
  const std::vector<int16_t> period0 = {-8192, -4916, -1640, 1636,  4912,
                                        8188,  4912,  1636,  -1640, -4916};
  const std::vector<int16_t> period5 = {-8192, 0, 8192, 2731, -2730};
  EXPECT_EQ(std::vector<int16_t>(zero.begin(), zero.begin() + 10), period0);
  EXPECT_EQ(std::vector<int16_t>(zero.begin() + 10, zero.begin() + 20), period0);
  EXPECT_EQ(std::vector<int16_t>(five.begin(), five.begin() + 5), period5);
  EXPECT_EQ(std::vector<int16_t>(five.begin() + 5, five.begin() + 10), period5);
  // 44100 / 6000 = 7.35 samples: periods of 7, 7, 8, 7, then again.
  const auto fractional = render(44100, 8, 2, 96000);
  EXPECT_EQ(fractional.size(), 58u);
  EXPECT_EQ(period_starts(fractional), (std::vector<size_t>{0, 7, 14, 22, 29, 36, 43, 51}));
}

TEST(VoiceencCode2Pcm, RefusalsAndTheBufferLimit) {
  struct {
    const char* name;
    int rate;
    int periods;
    int code;
    int maxLen;
    int bytes;
  } cases[] = {
      {"code 6", 48000, 60, 6, 96000, 0},
      {"code 255", 48000, 60, 255, 96000, 0},
      {"two samples per period", 19200, 3, 5, 96000, 12},
      {"just under two samples per period", 19199, 3, 5, 96000, 0},
      {"one period", 48000, 1, 5, 96000, 10},
      {"no period", 48000, 0, 5, 96000, 0},
      {"negative period count", 48000, -1, 5, 96000, 0},
      // No period starts at or after sample maxLen - 20.
      {"start limit reached", 48000, 60, 5, 30, 20},
      {"start limit one further", 48000, 60, 5, 31, 30},
      // A period that would run past the buffer is not written.
      {"whole periods fit exactly", 48000, 60, 5, 40, 40},
      {"last period one sample short", 48000, 60, 5, 39, 30},
      {"full burst fits", 48000, 60, 0, 1200, 1200},
      {"full burst one byte short", 48000, 60, 0, 1199, 1180},
      {"buffer far too small for the burst", 48000, 60, 0, 1000, 1000},
      {"empty buffer", 48000, 60, 0, 0, 0},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    int bytes = -1;
    render(tc.rate, tc.periods, static_cast<unsigned char>(tc.code), tc.maxLen, &bytes);
    EXPECT_EQ(bytes, tc.bytes);
  }
}

}  // namespace
