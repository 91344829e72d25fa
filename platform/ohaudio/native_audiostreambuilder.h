// Desktop stand-in for the platform audio stream builder (<ohaudio/native_audiostreambuilder.h>).
//
// A builder is made for one stream type and collects the stream's shape and callbacks; Generate*
// makes a stream in state PREPARED from it. The builder may be destroyed once the stream exists.
// Defaults: 48000 Hz, 2 channels, signed 16-bit, raw encoding, normal latency, no frame size (see
// virtual_device.h for what the frame size means here).
//
// Every call returns AUDIOSTREAM_ERROR_INVALID_PARAM for a null pointer or a value out of range,
// and for a call that does not fit the builder's stream type (renderer settings on a capturer
// builder and vice versa).
#ifndef OHAUDIO_NATIVE_AUDIOSTREAMBUILDER_H
#define OHAUDIO_NATIVE_AUDIOSTREAMBUILDER_H

#include "ohaudio/native_audiostream_base.h"

#ifdef __cplusplus
extern "C" {
#endif

OH_AudioStream_Result OH_AudioStreamBuilder_Create(OH_AudioStreamBuilder** builder,
                                                   OH_AudioStream_Type type);
OH_AudioStream_Result OH_AudioStreamBuilder_Destroy(OH_AudioStreamBuilder* builder);

// 1000 .. 384000 Hz.
OH_AudioStream_Result OH_AudioStreamBuilder_SetSamplingRate(OH_AudioStreamBuilder* builder,
                                                            int32_t rate);
// 1 .. 16 channels.
OH_AudioStream_Result OH_AudioStreamBuilder_SetChannelCount(OH_AudioStreamBuilder* builder,
                                                            int32_t channelCount);
OH_AudioStream_Result OH_AudioStreamBuilder_SetSampleFormat(OH_AudioStreamBuilder* builder,
                                                            OH_AudioStream_SampleFormat format);
OH_AudioStream_Result OH_AudioStreamBuilder_SetEncodingType(
    OH_AudioStreamBuilder* builder, OH_AudioStream_EncodingType encodingType);
OH_AudioStream_Result OH_AudioStreamBuilder_SetLatencyMode(OH_AudioStreamBuilder* builder,
                                                           OH_AudioStream_LatencyMode latencyMode);
OH_AudioStream_Result OH_AudioStreamBuilder_SetRendererInfo(OH_AudioStreamBuilder* builder,
                                                            OH_AudioStream_Usage usage);
OH_AudioStream_Result OH_AudioStreamBuilder_SetCapturerInfo(OH_AudioStreamBuilder* builder,
                                                            OH_AudioStream_SourceType sourceType);
OH_AudioStream_Result OH_AudioStreamBuilder_SetRendererCallback(
    OH_AudioStreamBuilder* builder, OH_AudioRenderer_Callbacks callbacks, void* userData);
OH_AudioStream_Result OH_AudioStreamBuilder_SetCapturerCallback(
    OH_AudioStreamBuilder* builder, OH_AudioCapturer_Callbacks callbacks, void* userData);
// Bytes per callback (> 0); see virtual_device.h.
OH_AudioStream_Result OH_AudioStreamBuilder_SetFrameSizeInCallback(OH_AudioStreamBuilder* builder,
                                                                   int32_t frameSize);

// On success *audioRenderer / *audioCapturer holds a new stream in state PREPARED; on failure it
// is left untouched.
OH_AudioStream_Result OH_AudioStreamBuilder_GenerateRenderer(OH_AudioStreamBuilder* builder,
                                                             OH_AudioRenderer** audioRenderer);
OH_AudioStream_Result OH_AudioStreamBuilder_GenerateCapturer(OH_AudioStreamBuilder* builder,
                                                             OH_AudioCapturer** audioCapturer);

#ifdef __cplusplus
}
#endif

#endif  // OHAUDIO_NATIVE_AUDIOSTREAMBUILDER_H
