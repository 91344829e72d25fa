// The tone encoder (utils/voiceenc) with random arguments.
//  - voiceenc_data2code: random data, len (negative and null data included) and maxLen (small
//    and negative included) into a code buffer of exactly maxLen bytes. Checked against the
//    format: the returned count is the full stream length, every stored code is 0-5, the stored
//    codes are the prefix of the full stream, and nothing is written beyond maxLen (ASan).
//  - voiceenc_code2pcm_16K16Bit: random rate, signalCnt, code and maxLen into a buffer of exactly
//    maxLen bytes (ASan catches any write beyond it). Checked: the result is an even byte count
//    within maxLen, 0 for an invalid code, rate or count.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "utils/voiceenc.h"

namespace {

void fail(const char* what, long a, long b) {
  std::fprintf(stderr, "voiceenc_fuzz: %s (%ld, %ld)\n", what, a, b);
  std::abort();
}

// The full code stream of the text, built from the format description.
std::vector<unsigned char> reference_codes(const std::vector<unsigned char>& text) {
  std::vector<unsigned char> payload = text;
  uint32_t crc = 0xFFFF;
  for (unsigned char b : text) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
  }
  payload.push_back(static_cast<unsigned char>(crc & 0xFF));
  payload.push_back(static_cast<unsigned char>(crc >> 8));
  std::vector<unsigned char> codes = {5, 5};
  unsigned char last = 5;
  for (unsigned char b : payload) {
    codes.push_back(5);
    last = 5;
    for (int j = 0; j < 4; ++j) {
      const unsigned char v = static_cast<unsigned char>((b >> (6 - 2 * j)) & 3);
      if (v == last) codes.push_back(4);
      codes.push_back(v);
      last = v;
    }
  }
  codes.push_back(last);
  codes.push_back(last);
  return codes;
}

void fuzz_data2code(FuzzedDataProvider& fdp) {
  const int mode = fdp.ConsumeIntegralInRange<int>(0, 3);
  int max_len;
  switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      max_len = fdp.ConsumeIntegralInRange<int>(-4, 8);
      break;
    case 1:
      max_len = fdp.ConsumeIntegralInRange<int>(0, 64);
      break;
    default:
      max_len = fdp.ConsumeIntegralInRange<int>(0, 20000);
      break;
  }
  const size_t n = fdp.ConsumeIntegralInRange<size_t>(0, 2048);
  std::vector<unsigned char> text = fdp.ConsumeBytes<unsigned char>(n);
  // The data buffer has exactly the text's bytes.
  std::unique_ptr<unsigned char[]> data(new unsigned char[text.size() + (text.empty() ? 1 : 0)]);
  if (!text.empty()) std::memcpy(data.get(), text.data(), text.size());
  const unsigned char* data_arg = data.get();
  int len = static_cast<int>(text.size());
  std::vector<unsigned char> effective = text;
  if (mode == 1) {
    len = -fdp.ConsumeIntegralInRange<int>(1, 1 << 30);  // negative: an empty text
    effective.clear();
  } else if (mode == 2) {
    data_arg = nullptr;  // null data: an empty text, whatever len says
    len = fdp.ConsumeIntegralInRange<int>(-1, 1 << 30);
    effective.clear();
  } else if (mode == 3 && len > 0) {
    len = fdp.ConsumeIntegralInRange<int>(0, len);  // a prefix of the buffer
    effective.resize(static_cast<size_t>(len));
  }
  const bool null_code = max_len <= 0 && fdp.ConsumeBool();
  std::unique_ptr<unsigned char[]> code(
      null_code ? nullptr : new unsigned char[max_len > 0 ? static_cast<size_t>(max_len) : 0]);
  const int count = voiceenc_data2code(data_arg, len, code.get(), max_len);
  const std::vector<unsigned char> expected = reference_codes(effective);
  if (count != static_cast<int>(expected.size())) {
    fail("data2code count differs from the format", count, static_cast<long>(expected.size()));
  }
  const int stored = max_len < count ? (max_len > 0 ? max_len : 0) : count;
  for (int i = 0; i < stored; ++i) {
    if (code[static_cast<size_t>(i)] > 5) fail("code out of 0-5", i, code[static_cast<size_t>(i)]);
    if (code[static_cast<size_t>(i)] != expected[static_cast<size_t>(i)]) {
      fail("code differs from the format", i, code[static_cast<size_t>(i)]);
    }
  }
}

void fuzz_code2pcm(FuzzedDataProvider& fdp) {
  static const int kRates[] = {48000, 44100, 16000, 8000, 9600, 9599, 19200, 0, -48000};
  const int rate = fdp.ConsumeBool() ? fdp.PickValueInArray(kRates) : fdp.ConsumeIntegral<int>();
  int count;
  switch (fdp.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      count = fdp.ConsumeIntegralInRange<int>(-2, 120);
      break;
    case 1:
      count = fdp.ConsumeIntegral<int>();
      break;
    default:
      count = 60;
      break;
  }
  const unsigned char code = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<unsigned char>(0, 5)
                                               : fdp.ConsumeIntegral<unsigned char>();
  int max_len;
  switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      max_len = fdp.ConsumeIntegralInRange<int>(-8, 64);
      break;
    case 1:
      max_len = fdp.ConsumeIntegralInRange<int>(0, 4096);
      break;
    case 2:
      max_len = fdp.ConsumeIntegralInRange<int>(0, 1 << 20);
      break;
    default:
      max_len = fdp.ConsumeIntegral<int>() % (1 << 20);
      break;
  }
  const size_t bytes = max_len > 0 ? static_cast<size_t>(max_len) : 0;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[bytes]);
  const int written = voiceenc_code2pcm_16K16Bit(rate, count, code, buffer.get(), max_len);
  if (written < 0 || written % 2 != 0 || (written > 0 && written > max_len)) {
    fail("code2pcm result out of range", written, max_len);
  }
  if ((code > 5 || count < 1) && written != 0) fail("invalid arguments rendered", written, code);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // data2code prints a checksum line per call.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  if (fdp.ConsumeBool()) {
    fuzz_data2code(fdp);
  } else {
    fuzz_code2pcm(fdp);
  }
  return 0;
}
