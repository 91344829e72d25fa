// Public value types of the sonora audio engine.
#ifndef SONORA_TYPES_H
#define SONORA_TYPES_H

#include <cstddef>
#include <cstdint>

namespace sonora {

typedef unsigned char byte;

// Capture delivery callback: one processed block, its byte count and its capture time (ms).
typedef void (*fetch_cb)(const byte* data, size_t size, uint64_t ts);

// Event kind of a report to the application's Handler.
typedef enum _arg1 : uint32_t {
  kArg1AudioPlayerStart = 0,
  kArg1AudioPlayerWorking = 1,
  kArg1AudioPlayerStop = 2,
  kArg1AudioRecordStart = 3,
  kArg1AudioRecordWorking = 4,
  kArg1AudioRecordStop = 5,
} Arg1;

// Outcome carried with an event.
typedef enum _arg2 : uint32_t {
  kArg2Success = 0,
  kArg2AutoStop = 1,
  kArg2Fin = 2,
  kArg2Mute = 3,
  kArg2Failed = 4,
  kArg2Error = 5,
  kArg2FatalError = 6,
} Arg2;

// What a report of an interruption carries in `obj`: the platform's interruption, as
// OH_AudioInterrupt_ForceType and OH_AudioInterrupt_Hint give it. `force` 0: the system has
// already acted on the stream (paused, stopped, ducked or unducked it); 1: the application is
// asked to act. `hint` 0 none, 1 resume, 2 pause, 3 stop, 4 duck, 5 unduck. The pointer refers to
// a constant of the library, valid for the life of the process: read it, never free it.
typedef struct _interruption {
  uint32_t force;
  uint32_t hint;
} Interruption;

// The echo cancellers an instance can use (Sonora::use_echo_canceller).
typedef enum _echo_canceller : uint32_t {
  // WebRTC's mobile canceller (AECM): the default, in every build; 8000 and 16000 Hz.
  kEchoCancellerMobile = 0,
  // WebRTC's full-band canceller with its own delay estimation: desktop builds (it comes with
  // WebRTC's audio-processing module); 8000, 16000, 32000 and 48000 Hz. Removes more echo in
  // rooms with a long reverberation, at about twice the mobile canceller's processing time.
  kEchoCancellerFull = 1,
} EchoCanceller;

typedef enum _play_type : uint32_t {
  kPTypeByFile = 0,
  kPTypeByFPS = 1,
  kPTypeByTS = 2,
  kPTypeAutoStop = 3,
} PlayType;

typedef enum _frame_type : uint32_t {
  kFTypeA = 0,
  kFTypeB = 1,
  kFTypeI = 2,
  kFTypeP = 3,
  kFTypeFlush = 4,
  kFTypeColor = 5,
  kFTypeFin = 6,
} FrameType;

// Timing record of a frame; all times are wall-clock milliseconds.
typedef struct _ts_suit {
  int32_t period;
  uint64_t ts;
  uint64_t sts;
  uint64_t tid;
} TSSuit;

// One block of media. `offset` is the slot in its pool; negative for a frame of no pool.
typedef struct _frame {
  TSSuit* ts;
  byte* data;
  size_t size;
  int32_t offset;
  FrameType type;
} Frame;

// Layout of a pooled frame slot: Frame record, its TSSuit at kFramePageSize, payload at
// kFrameTSPageSize.
const size_t kFramePageSize = 32;
const size_t kTSPageSize = 32;
const size_t kFrameTSPageSize = 64;

static_assert(sizeof(Frame) <= kFramePageSize, "Frame record must fit its page");
static_assert(sizeof(TSSuit) <= kTSPageSize, "TSSuit record must fit its page");
static_assert(kFramePageSize + kTSPageSize <= kFrameTSPageSize, "header pages overlap");

namespace audio {

typedef enum _type : uint32_t {
  kTypeAMR = 0,
  kType711ALaw = 1,
  kType711muLaw = 2,
  kType729 = 3,
  kTypeRawPCM = 4,
} Type;

// Exact byte length of one appended unit of a coded type.
enum _codec_size : uint32_t {
  kCSizeAMR = 42,
  kCSize711 = 320,
  kCSize729 = 60,
};

typedef enum _encoding_type : uint32_t {
  kETypeU8 = 0,
  kETypeS8 = 1,
  kETypeS16 = 2,
} EncodeType;

// Value of silence by sample encoding.
typedef enum _mute : uint32_t {
  kMSigned = 0,
  kMUnsigned = 128,
  kMUnsigned16Bit = 32768,
} Mute;

// Audio stream and processing configuration; normalised by PlaySuit::set_audio.
typedef struct _suit {
  Type type;
  int32_t sample_rate;
  int32_t channel_per_frame;
  int32_t bit_per_channel;
  size_t block;
  int32_t source;
  bool enable_ns;
  bool enable_aec;
  bool enable_agc;
  bool enable_vad;
  int32_t ns_value;
  int32_t aec_value;
  int32_t aec_value_active;
  int32_t aec_sample_in_bytes;
  int32_t aec_ms_in_sound_card;
  int32_t aec_start_by_ts;
  int32_t aec_end_by_ts;
  int32_t aec_wait_input_in_ms;
  int32_t buffer_frame_count;
  int32_t max_cache_delay_in_second;
  size_t append_jump_shreshold_size;
  int32_t max_cached_frames;
  int32_t delayed_per_block;
} Suit;

// Echo canceller status, read-only for the application.
typedef struct _aec_status {
  int32_t leap;
  uint64_t tid;
  int32_t delay;
  uint64_t count;
} AecStatus;

}  // namespace audio

namespace video {

typedef enum _type : uint32_t {
  kTypeLegacy = 0,
  kTypeH264 = 1,
  kTypeH265 = 2,
} Type;

// Opaque colour record; only pointers to it pass through the interface.
typedef struct _color Color;

typedef struct _suit {
  Type type;
  int32_t width;
  int32_t height;
  float fps;
  char* local_video_path;
} Suit;

}  // namespace video

}  // namespace sonora

#endif  // SONORA_TYPES_H
