#include "ohaudio/hw_convert.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ohaudio_impl {

namespace {

constexpr int kQuality = 5;

int32_t saturate(float value, float scale, int32_t lo, int32_t hi) {
  const double v = std::nearbyint(static_cast<double>(value) * scale);
  if (!(v >= lo)) return lo;  // also NaN
  if (v > hi) return hi;
  return static_cast<int32_t>(v);
}

// Reduces (or keeps) the channel count: out channel c is the mean of the in channels i with
// i % out_channels == c.
void downmix(const float* in, size_t frames, int in_channels, int out_channels, float* out) {
  for (size_t f = 0; f < frames; ++f) {
    const float* src = in + f * in_channels;
    float* dst = out + f * out_channels;
    for (int c = 0; c < out_channels; ++c) {
      float sum = 0.0f;
      int n = 0;
      for (int i = c; i < in_channels; i += out_channels, ++n) sum += src[i];
      dst[c] = sum / static_cast<float>(n);
    }
  }
}

// Raises the channel count: out channel c is in channel c % in_channels.
void upmix(const float* in, size_t frames, int in_channels, int out_channels, float* out) {
  for (size_t f = 0; f < frames; ++f) {
    for (int c = 0; c < out_channels; ++c)
      out[f * out_channels + c] = in[f * in_channels + c % in_channels];
  }
}

}  // namespace

void samples_to_float(OH_AudioStream_SampleFormat format, const uint8_t* in, size_t samples,
                      float* out) {
  for (size_t i = 0; i < samples; ++i) {
    switch (format) {
      case AUDIOSTREAM_SAMPLE_U8:
        out[i] = (static_cast<float>(in[i]) - 128.0f) / 128.0f;
        break;
      case AUDIOSTREAM_SAMPLE_S16LE: {
        const int16_t v = static_cast<int16_t>(in[2 * i] | (in[2 * i + 1] << 8));
        out[i] = static_cast<float>(v) / 32768.0f;
        break;
      }
      case AUDIOSTREAM_SAMPLE_S24LE: {
        const uint8_t* p = in + 3 * i;
        int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
        if (v & 0x800000) v -= 0x1000000;
        out[i] = static_cast<float>(v) / 8388608.0f;
        break;
      }
      case AUDIOSTREAM_SAMPLE_S32LE: {
        const uint8_t* p = in + 4 * i;
        const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                           (static_cast<uint32_t>(p[2]) << 16) |
                           (static_cast<uint32_t>(p[3]) << 24);
        int32_t v;
        std::memcpy(&v, &u, sizeof(v));
        out[i] = static_cast<float>(static_cast<double>(v) / 2147483648.0);
        break;
      }
    }
  }
}

void float_to_samples(OH_AudioStream_SampleFormat format, const float* in, size_t samples,
                      uint8_t* out) {
  for (size_t i = 0; i < samples; ++i) {
    switch (format) {
      case AUDIOSTREAM_SAMPLE_U8:
        out[i] = static_cast<uint8_t>(saturate(in[i], 128.0f, -128, 127) + 128);
        break;
      case AUDIOSTREAM_SAMPLE_S16LE: {
        const int32_t v = saturate(in[i], 32768.0f, -32768, 32767);
        out[2 * i] = static_cast<uint8_t>(v & 0xff);
        out[2 * i + 1] = static_cast<uint8_t>((v >> 8) & 0xff);
        break;
      }
      case AUDIOSTREAM_SAMPLE_S24LE: {
        const int32_t v = saturate(in[i], 8388608.0f, -8388608, 8388607);
        for (int b = 0; b < 3; ++b) out[3 * i + b] = static_cast<uint8_t>((v >> (8 * b)) & 0xff);
        break;
      }
      case AUDIOSTREAM_SAMPLE_S32LE: {
        const double v = std::nearbyint(static_cast<double>(in[i]) * 2147483648.0);
        const int32_t s = !(v >= -2147483648.0) ? INT32_MIN
                          : v > 2147483647.0    ? INT32_MAX
                                                : static_cast<int32_t>(v);
        uint32_t u;
        std::memcpy(&u, &s, sizeof(u));
        for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<uint8_t>((u >> (8 * b)) & 0xff);
        break;
      }
    }
  }
}

FrameConverter::FrameConverter(int from_rate, int from_channels, int to_rate, int to_channels,
                               size_t max_in_frames)
    : from_rate_(from_rate),
      from_channels_(from_channels),
      to_rate_(to_rate),
      to_channels_(to_channels),
      mid_channels_(std::min(from_channels, to_channels)),
      max_in_(max_in_frames) {
  max_out_ = max_in_;
  if (from_rate_ != to_rate_) {
    int error = 0;
    resampler_ = speex_resampler_init(static_cast<spx_uint32_t>(mid_channels_),
                                      static_cast<spx_uint32_t>(from_rate_),
                                      static_cast<spx_uint32_t>(to_rate_), kQuality, &error);
    ok_ = resampler_ != nullptr && error == RESAMPLER_ERR_SUCCESS;
    // Output for n input frames: at most ceil(n * to / from) plus what the filter held back.
    max_out_ =
        static_cast<size_t>(std::ceil(static_cast<double>(max_in_) * to_rate_ / from_rate_)) + 64;
  }
  down_.resize(max_in_ * static_cast<size_t>(mid_channels_));
  rate_.resize(max_out_ * static_cast<size_t>(mid_channels_));
}

FrameConverter::~FrameConverter() {
  if (resampler_ != nullptr) speex_resampler_destroy(resampler_);
}

size_t FrameConverter::process(const float* in, size_t frames, float* out) {
  frames = std::min(frames, max_in_);
  const float* src = in;
  if (mid_channels_ < from_channels_) {
    downmix(in, frames, from_channels_, mid_channels_, down_.data());
    src = down_.data();
  }
  size_t produced = frames;
  float* dst = mid_channels_ < to_channels_ ? rate_.data() : out;
  if (resampler_ != nullptr && ok_) {
    spx_uint32_t in_len = static_cast<spx_uint32_t>(frames);
    spx_uint32_t out_len = static_cast<spx_uint32_t>(max_out_);
    speex_resampler_process_interleaved_float(resampler_, src, &in_len, dst, &out_len);
    produced = out_len;
  } else if (src != dst) {
    std::memcpy(dst, src, frames * static_cast<size_t>(mid_channels_) * sizeof(float));
  }
  if (mid_channels_ < to_channels_) upmix(rate_.data(), produced, mid_channels_, to_channels_, out);
  return produced;
}

double FrameConverter::latency_ms() const {
  if (resampler_ == nullptr) return 0.0;
  return 1000.0 * speex_resampler_get_input_latency(resampler_) / from_rate_;
}

}  // namespace ohaudio_impl
