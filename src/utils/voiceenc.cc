#include "utils/voiceenc.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const unsigned char kRepeat = 4;
const unsigned char kSeparator = 5;

// The code's frequency in Hz; codes are 0-5.
unsigned int __code2Freq(unsigned char code) {
  static const unsigned int value[6] = {16000 / 10, 16000 / 9, 16000 / 8,
                                        16000 / 7,  16000 / 6, 16000 / 5};
  return value[code] * 3;
}

// Stores one code when it fits and counts it either way.
void put_code(unsigned char* code, int maxLen, int* cl, unsigned char value) {
  if (code != nullptr && *cl < maxLen) code[*cl] = value;
  ++*cl;
}

}  // namespace

extern "C" {

unsigned int crc_16(unsigned char* buf, unsigned int length) {
  uint32_t crc = 0xFFFF;
  for (unsigned int n = 0; n < length; ++n) {
    crc ^= buf[n];
    for (int b = 0; b < 8; ++b) {
      if (crc & 1u) {
        crc = (crc >> 1) ^ 0xA001u;
      } else {
        crc >>= 1;
      }
    }
  }
  return (crc >> 8) + (crc << 8);
}

unsigned char crc_8(unsigned char* data, int length) {
  unsigned char cFcs = 0;
  for (int n = 0; n < length; ++n) {
    cFcs ^= data[n];
    for (int b = 0; b < 8; ++b) {
      if (cFcs & 1u) {
        cFcs = static_cast<unsigned char>((cFcs >> 1) ^ 0xE0);
      } else {
        cFcs = static_cast<unsigned char>(cFcs >> 1);
      }
    }
  }
  return cFcs;
}

int voiceenc_data2code(const unsigned char* data, int len, unsigned char* code, int maxLen) {
  if (len < 0 || data == nullptr) len = 0;
  unsigned char* payload = new unsigned char[static_cast<size_t>(len) + 2];
  if (len > 0) memcpy(payload, data, static_cast<size_t>(len));
  const unsigned int checksum = crc_16(payload, static_cast<unsigned int>(len)) & 0xFFFFu;
  payload[len] = static_cast<unsigned char>(checksum >> 8);
  payload[len + 1] = static_cast<unsigned char>(checksum & 0xFF);
  printf("checksum: %x\n", checksum);

  int cl = 0;
  unsigned char last = kSeparator;
  put_code(code, maxLen, &cl, kSeparator);
  put_code(code, maxLen, &cl, kSeparator);
  for (int i = 0; i < len + 2; ++i) {
    put_code(code, maxLen, &cl, kSeparator);
    last = kSeparator;
    for (int j = 0; j < 4; ++j) {
      const unsigned char val = static_cast<unsigned char>((payload[i] >> (6 - 2 * j)) & 3);
      if (val == last) put_code(code, maxLen, &cl, kRepeat);
      put_code(code, maxLen, &cl, val);
      last = val;
    }
  }
  put_code(code, maxLen, &cl, last);
  put_code(code, maxLen, &cl, last);
  delete[] payload;
  return cl;
}

int voiceenc_code2pcm_16K16Bit(int samplerate, int signalCnt, unsigned char code,
                               unsigned char* buffer, int maxLen) {
  // The frequency table has six entries.
  if (code > kSeparator || buffer == nullptr || signalCnt <= 0) return 0;
  const unsigned int freq = __code2Freq(code);
  const double cntrate = static_cast<double>(samplerate) / freq;
  // A period needs a rising and a falling sample.
  if (!(cntrate >= 2.0)) return 0;

  int tminus[4];
  tminus[0] = static_cast<int>(cntrate);
  tminus[1] = static_cast<int>(2 * cntrate) - static_cast<int>(cntrate);
  tminus[2] = static_cast<int>(3 * cntrate) - static_cast<int>(2 * cntrate);
  tminus[3] = static_cast<int>(4 * cntrate) - static_cast<int>(3 * cntrate);

  // Whole samples the buffer holds.
  const int capacity = maxLen / 2;
  int i = 0;
  int target = 0;
  int cnt = 0;
  int upDown = 0;
  for (;;) {
    if (i >= maxLen - 20) break;
    uint16_t low = 0xE000;
    const int next = target + tminus[cnt];
    if (next > capacity) break;
    target = next;
    cnt = (cnt + 1) % 4;
    const int minus = target - i;
    const int upCnt = minus / 2;
    const int downCnt = minus - upCnt;
    const int upStep = 16384 / upCnt;
    const int downStep = 16384 / downCnt;
    int16_t sample;
    for (int c = 0; c < upCnt; ++c) {
      sample = static_cast<int16_t>(low);
      memcpy(buffer + 2 * (i + c), &sample, sizeof(sample));
      low = static_cast<uint16_t>(low + upStep);
    }
    for (int c = upCnt; c < minus; ++c) {
      sample = static_cast<int16_t>(low);
      memcpy(buffer + 2 * (i + c), &sample, sizeof(sample));
      low = static_cast<uint16_t>(low - downStep);
    }
    i = target;
    ++upDown;
    if (upDown >= signalCnt) break;
  }
  return i * 2;
}
}
