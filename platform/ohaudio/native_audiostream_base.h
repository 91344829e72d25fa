// Desktop stand-in for the platform audio stream API: shared types
// (<ohaudio/native_audiostream_base.h>).
//
// Same C names, enum values and record layouts as on the target, so library code compiles
// unchanged against either. What the desktop backends do with them is described in
// virtual_device.h.
#ifndef OHAUDIO_NATIVE_AUDIOSTREAM_BASE_H
#define OHAUDIO_NATIVE_AUDIOSTREAM_BASE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  AUDIOSTREAM_SUCCESS = 0,
  AUDIOSTREAM_ERROR_INVALID_PARAM = 1,
  AUDIOSTREAM_ERROR_ILLEGAL_STATE = 2,
  AUDIOSTREAM_ERROR_SYSTEM = 3,
} OH_AudioStream_Result;

typedef enum {
  AUDIOSTREAM_TYPE_RENDERER = 1,
  AUDIOSTREAM_TYPE_CAPTURER = 2,
} OH_AudioStream_Type;

typedef enum {
  AUDIOSTREAM_SAMPLE_U8 = 0,
  AUDIOSTREAM_SAMPLE_S16LE = 1,
  AUDIOSTREAM_SAMPLE_S24LE = 2,
  AUDIOSTREAM_SAMPLE_S32LE = 3,
} OH_AudioStream_SampleFormat;

typedef enum {
  AUDIOSTREAM_ENCODING_TYPE_RAW = 0,
} OH_AudioStream_EncodingType;

typedef enum {
  AUDIOSTREAM_USAGE_UNKNOWN = 0,
  AUDIOSTREAM_USAGE_MUSIC = 1,
  AUDIOSTREAM_USAGE_VOICE_COMMUNICATION = 2,
  AUDIOSTREAM_USAGE_VOICE_ASSISTANT = 3,
  AUDIOSTREAM_USAGE_ALARM = 4,
  AUDIOSTREAM_USAGE_VOICE_MESSAGE = 5,
  AUDIOSTREAM_USAGE_RINGTONE = 6,
  AUDIOSTREAM_USAGE_NOTIFICATION = 7,
  AUDIOSTREAM_USAGE_ACCESSIBILITY = 8,
  AUDIOSTREAM_USAGE_MOVIE = 10,
  AUDIOSTREAM_USAGE_GAME = 11,
  AUDIOSTREAM_USAGE_AUDIOBOOK = 12,
  AUDIOSTREAM_USAGE_NAVIGATION = 13,
} OH_AudioStream_Usage;

typedef enum {
  AUDIOSTREAM_LATENCY_MODE_NORMAL = 0,
  AUDIOSTREAM_LATENCY_MODE_FAST = 1,
} OH_AudioStream_LatencyMode;

typedef enum {
  AUDIOSTREAM_STATE_INVALID = -1,
  AUDIOSTREAM_STATE_NEW = 0,
  AUDIOSTREAM_STATE_PREPARED = 1,
  AUDIOSTREAM_STATE_RUNNING = 2,
  AUDIOSTREAM_STATE_STOPPED = 3,
  AUDIOSTREAM_STATE_RELEASED = 4,
  AUDIOSTREAM_STATE_PAUSED = 5,
} OH_AudioStream_State;

typedef enum {
  AUDIOSTREAM_SOURCE_TYPE_INVALID = -1,
  AUDIOSTREAM_SOURCE_TYPE_MIC = 0,
  AUDIOSTREAM_SOURCE_TYPE_VOICE_RECOGNITION = 1,
  AUDIOSTREAM_SOURCE_TYPE_PLAYBACK_CAPTURE = 2,
  AUDIOSTREAM_SOURCE_TYPE_VOICE_COMMUNICATION = 7,
} OH_AudioStream_SourceType;

typedef enum {
  AUDIOSTREAM_EVENT_ROUTING_CHANGED = 0,
} OH_AudioStream_Event;

typedef enum {
  AUDIOSTREAM_INTERRUPT_FORCE = 0,
  AUDIOSTREAM_INTERRUPT_SHARE = 1,
} OH_AudioInterrupt_ForceType;

typedef enum {
  AUDIOSTREAM_INTERRUPT_HINT_NONE = 0,
  AUDIOSTREAM_INTERRUPT_HINT_RESUME = 1,
  AUDIOSTREAM_INTERRUPT_HINT_PAUSE = 2,
  AUDIOSTREAM_INTERRUPT_HINT_STOP = 3,
  AUDIOSTREAM_INTERRUPT_HINT_DUCK = 4,
  AUDIOSTREAM_INTERRUPT_HINT_UNDUCK = 5,
} OH_AudioInterrupt_Hint;

typedef struct OH_AudioStreamBuilderStruct OH_AudioStreamBuilder;
typedef struct OH_AudioRendererStruct OH_AudioRenderer;
typedef struct OH_AudioCapturerStruct OH_AudioCapturer;

// Renderer callbacks, in the platform's order. OnWriteData receives a buffer of `length` bytes to
// fill with the next audio to play.
typedef struct OH_AudioRenderer_Callbacks_Struct {
  int32_t (*OH_AudioRenderer_OnWriteData)(OH_AudioRenderer* renderer, void* userData, void* buffer,
                                          int32_t length);
  int32_t (*OH_AudioRenderer_OnStreamEvent)(OH_AudioRenderer* renderer, void* userData,
                                            OH_AudioStream_Event event);
  int32_t (*OH_AudioRenderer_OnInterruptEvent)(OH_AudioRenderer* renderer, void* userData,
                                               OH_AudioInterrupt_ForceType type,
                                               OH_AudioInterrupt_Hint hint);
  int32_t (*OH_AudioRenderer_OnError)(OH_AudioRenderer* renderer, void* userData,
                                      OH_AudioStream_Result error);
} OH_AudioRenderer_Callbacks;

// Capturer callbacks, in the platform's order. OnReadData receives `length` captured bytes.
typedef struct OH_AudioCapturer_Callbacks_Struct {
  int32_t (*OH_AudioCapturer_OnReadData)(OH_AudioCapturer* capturer, void* userData, void* buffer,
                                         int32_t length);
  int32_t (*OH_AudioCapturer_OnStreamEvent)(OH_AudioCapturer* capturer, void* userData,
                                            OH_AudioStream_Event event);
  int32_t (*OH_AudioCapturer_OnInterruptEvent)(OH_AudioCapturer* capturer, void* userData,
                                               OH_AudioInterrupt_ForceType type,
                                               OH_AudioInterrupt_Hint hint);
  int32_t (*OH_AudioCapturer_OnError)(OH_AudioCapturer* capturer, void* userData,
                                      OH_AudioStream_Result error);
} OH_AudioCapturer_Callbacks;

#ifdef __cplusplus
}
#endif

#endif  // OHAUDIO_NATIVE_AUDIOSTREAM_BASE_H
