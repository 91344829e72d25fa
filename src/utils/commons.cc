#include "utils/commons.h"

#include <sys/select.h>
#include <sys/time.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "utils/kx_agc.h"

extern "C" {

uint64_t current_ts() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

void msleep(size_t millis) {
  if (millis == 0) return;
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(millis / 1000);
  tv.tv_usec = static_cast<suseconds_t>((millis % 1000) * 1000);
  select(0, nullptr, nullptr, nullptr, &tv);
}

bool is_range(int input, int from, int to) {
  return from <= input && input <= to;
}

int random_range(int min, int max) {
  // Computed in 64 bits so that the full int range does not overflow.
  int64_t span = static_cast<int64_t>(max) - static_cast<int64_t>(min) + 1;
  if (span <= 0) return min;
  return static_cast<int>(min + static_cast<int64_t>(rand()) % span);
}

char* cat(const char* pre, const char* sub) {
  size_t a = pre != nullptr ? std::strlen(pre) : 0;
  size_t b = sub != nullptr ? std::strlen(sub) : 0;
  if (a + b == 0) return nullptr;
  char* out = new char[a + b + 1];
  if (a > 0) std::memcpy(out, pre, a);
  if (b > 0) std::memcpy(out + a, sub, b);
  out[a + b] = '\0';
  return out;
}

bool update_frame(sonora::Frame* frame, sonora::FrameType type, const sonora::byte* data,
                  size_t size, const sonora::TSSuit* ts) {
  if (frame == nullptr) return false;
  frame->type = type;
  if (data == nullptr || frame->data == nullptr || size != frame->size) return false;
  std::memcpy(frame->data, data, size);
  if (ts != nullptr && frame->ts != nullptr) {
    frame->ts->period = ts->period;
    frame->ts->ts = ts->ts;
    frame->ts->sts = ts->sts;
    frame->ts->tid = ts->tid;
  }
  return true;
}

void delete_nothing(void*) {}
}

namespace {

using sonora::byte;
using sonora::audio::EncodeType;

short load_sample(const byte* p) {
  short v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

void store_sample(byte* p, short v) {
  std::memcpy(p, &v, sizeof(v));
}

// Truncates toward zero and saturates to the 16-bit range; NaN (an infinite gain times a zero
// sample) gives 0.
short saturate_sample(float v) {
  if (v >= 32767.0f) return 32767;
  if (v <= -32768.0f) return -32768;
  if (v != v) return 0;
  return static_cast<short>(static_cast<int>(v));
}

// Truncates toward zero and saturates to the int range; NaN gives 0.
int saturate_int(float v) {
  if (v >= 2147483648.0f) return std::numeric_limits<int>::max();
  if (v <= -2147483648.0f) return std::numeric_limits<int>::min();
  if (v != v) return 0;
  return static_cast<int>(v);
}

}  // namespace

extern "C" {

void adjust_pcm(byte* data, size_t length, EncodeType from, EncodeType to, float gain) {
  if (data == nullptr) return;
  const bool need_gain = gain > 1.01f || gain < 0.9f;
  const bool need_convert = from == sonora::audio::kETypeS16 &&
                            (to == sonora::audio::kETypeU8 || to == sonora::audio::kETypeS8);
  if (!need_gain && !need_convert) return;
  const size_t count = length / 2;
  // Byte i is written only after sample i (bytes 2i and 2i+1) was read, and i <= 2i, so
  // narrowing in place never overwrites a sample still to come.
  for (size_t i = 0; i < count; ++i) {
    short s = load_sample(data + 2 * i);
    if (need_gain) {
      // A zero sample is pushed to -1 by the rounding offset.
      float scaled =
          s > 0 ? static_cast<float>(s) * gain + 1.0f : static_cast<float>(s) * gain - 1.0f;
      s = saturate_sample(scaled);
      store_sample(data + 2 * i, s);
    }
    if (need_convert) {
      int high = s >> 8;  // -128..127
      data[i] = static_cast<byte>(to == sonora::audio::kETypeU8 ? high + 128 : high);
    }
  }
}

double otherAdjust_pcm(byte* data, size_t length) {
  if (data == nullptr || length == 0) return 0.0;
  const size_t count = length / 2;
  int64_t pcmAllLenght = 0;
  for (size_t i = 0; i < count; ++i) {
    int32_t s = load_sample(data + 2 * i);
    pcmAllLenght += s * s;
  }
  // Divided by the byte count, twice the number of samples.
  return static_cast<double>(pcmAllLenght) / static_cast<double>(length);
}

void auto_adjust_pcm(byte* data, size_t length, EncodeType from, EncodeType to, int gain_type,
                     float gain) {
  if (data == nullptr || length == 0) return;
  if (gain_type == 4) {
    kx_agc_set_config(saturate_int(gain));
    // The gain control counts sample frames: a stereo instance takes two samples per frame.
    kx_agc_run(reinterpret_cast<short*>(data), kx_agc_internal::frames_for_samples(length / 2));
    return;
  }
  float tmpGain = gain;
  double mean = otherAdjust_pcm(data, length);
  if (mean < 1.0) mean = 1.0;
  double volume = 10.0 * log10(mean);
  if (gain > 1.5f) {
    // Large gains shrink as the block gets louder: 1.5 x gain for silence.
    tmpGain = static_cast<float>(((100.0 - volume) / 100.0) * gain + gain / 2.0f);
  }
  adjust_pcm(data, length, from, to, tmpGain);
}
}
