// Internal to the hardware backend: conversion between a stream's format and the format a device
// was opened with, when the device does not offer the stream's rate or channel count.
//
// Samples travel as interleaved float in [-1, 1). Channels: when the target has fewer, target
// channel c is the mean of the source channels i with i % target channels == c (stereo into mono
// is (L + R) / 2); when it has more, target channel c is source channel c % source channels (mono
// into stereo is duplicated). The channel count is reduced before the rate is converted and
// raised after, so the resampler (speexdsp, quality 5) runs on as few channels as possible.
#ifndef OHAUDIO_HW_CONVERT_H
#define OHAUDIO_HW_CONVERT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ohaudio/native_audiostream_base.h"

struct SpeexResamplerState_;

namespace ohaudio_impl {

// Stream samples (U8, S16LE, S24LE packed, S32LE) to float and back. float_to_samples rounds to
// the nearest step and saturates.
void samples_to_float(OH_AudioStream_SampleFormat format, const uint8_t* in, size_t samples,
                      float* out);
void float_to_samples(OH_AudioStream_SampleFormat format, const float* in, size_t samples,
                      uint8_t* out);

// One direction of conversion between interleaved float frames.
class FrameConverter {
 public:
  // process() takes at most max_in_frames frames per call. All memory is allocated here.
  FrameConverter(int from_rate, int from_channels, int to_rate, int to_channels,
                 size_t max_in_frames);
  ~FrameConverter();
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  // The resampler could be created (always true when the rates are equal).
  bool ok() const { return ok_; }
  // Converts `frames` (<= max_in_frames) input frames into out (room for max_out_frames());
  // returns the frames written. Allocates nothing.
  size_t process(const float* in, size_t frames, float* out);
  size_t max_out_frames() const { return max_out_; }
  // Delay the conversion adds (the resampler's half filter length), in milliseconds.
  double latency_ms() const;

 private:
  const int from_rate_, from_channels_, to_rate_, to_channels_;
  const int mid_channels_;  // channels the resampler runs on
  const size_t max_in_;
  size_t max_out_;
  SpeexResamplerState_* resampler_ = nullptr;
  bool ok_ = true;
  std::vector<float> down_;  // after the downmix
  std::vector<float> rate_;  // after the resampler, before the upmix
};

}  // namespace ohaudio_impl

#endif  // OHAUDIO_HW_CONVERT_H
