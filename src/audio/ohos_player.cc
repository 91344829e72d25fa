#include "audio/ohos_player.h"

#include <cstring>

#include "audio/stream_events.h"
#include "sonora/body.h"
#include "utils/log.h"

namespace sonora {
namespace audio {

namespace {

OH_AudioStream_SampleFormat sample_format(int32_t bit_per_channel) {
  switch (bit_per_channel) {
    case 8:
      return AUDIOSTREAM_SAMPLE_U8;
    case 24:
      return AUDIOSTREAM_SAMPLE_S24LE;
    case 32:
      return AUDIOSTREAM_SAMPLE_S32LE;
    default:
      return AUDIOSTREAM_SAMPLE_S16LE;
  }
}

// Sample frames (one sample of every channel) in one block of the suit.
int32_t block_frames(const Suit& suit) {
  const size_t frame_bytes =
      static_cast<size_t>(suit.channel_per_frame) * static_cast<size_t>(suit.bit_per_channel / 8);
  return frame_bytes > 0 ? static_cast<int32_t>(suit.block / frame_bytes) : 0;
}

}  // namespace

OhosPlayer::OhosPlayer()
    : Player(),
      suit_(nullptr),
      ring_queue_(nullptr),
      builder(nullptr),
      callbacks(),
      audioRenderer(nullptr) {
  pthread_mutex_init(&control_mutex_, nullptr);
}

OhosPlayer::~OhosPlayer() {
  OhosPlayer::stop();
  pthread_mutex_destroy(&control_mutex_);
}

bool OhosPlayer::init() {
  return true;
}

bool OhosPlayer::deinit() {
  return true;
}

bool OhosPlayer::start(const Body* player) {
  bool result = false;
  if (!Player::start(player)) {
    // The suit cannot be played as asked (the base logged why): the start failed.
    if (player != nullptr) player->report(kArg1AudioPlayerStart, kArg2Failed, nullptr);
  } else if (!open_renderer(player)) {
    // A refused builder value or a renderer that did not start: release what was made, so the
    // player is not working and a new start begins afresh.
    parent_.store(nullptr);
    release_renderer();
    Player::stop();
    player->report(kArg1AudioPlayerStart, kArg2Failed, nullptr);
  } else {
    player->report(kArg1AudioPlayerStart, kArg2Success, nullptr);
    result = true;
  }
  SLOG("OhosPlayer::start");
  return result;
}

namespace {

// Logs a refused builder call by name; true when it succeeded.
bool accepted(OH_AudioStream_Result result, const char* call, long value) {
  if (result == AUDIOSTREAM_SUCCESS) return true;
  SLOG("OhosPlayer::start: %s(%ld) refused: %d", call, value, static_cast<int>(result));
  return false;
}

}  // namespace

bool OhosPlayer::open_renderer(const Body* body) {
  const Suit* suit = body->suit_->audio();
  if (!accepted(OH_AudioStreamBuilder_Create(&builder, AUDIOSTREAM_TYPE_RENDERER),
                "OH_AudioStreamBuilder_Create", AUDIOSTREAM_TYPE_RENDERER) ||
      !accepted(OH_AudioStreamBuilder_SetLatencyMode(builder, AUDIOSTREAM_LATENCY_MODE_FAST),
                "OH_AudioStreamBuilder_SetLatencyMode", AUDIOSTREAM_LATENCY_MODE_FAST) ||
      !accepted(OH_AudioStreamBuilder_SetRendererInfo(builder, AUDIOSTREAM_USAGE_MUSIC),
                "OH_AudioStreamBuilder_SetRendererInfo", AUDIOSTREAM_USAGE_MUSIC) ||
      !accepted(OH_AudioStreamBuilder_SetSamplingRate(builder, suit->sample_rate),
                "OH_AudioStreamBuilder_SetSamplingRate", suit->sample_rate) ||
      !accepted(OH_AudioStreamBuilder_SetChannelCount(builder, suit->channel_per_frame),
                "OH_AudioStreamBuilder_SetChannelCount", suit->channel_per_frame) ||
      !accepted(
          OH_AudioStreamBuilder_SetSampleFormat(builder, sample_format(suit->bit_per_channel)),
          "OH_AudioStreamBuilder_SetSampleFormat", suit->bit_per_channel) ||
      // Ask for one block's duration per request, in sample frames. The platform may clamp or
      // round it, or choose its own size: the render callback fills requests of any length.
      !accepted(OH_AudioStreamBuilder_SetFrameSizeInCallback(builder, block_frames(*suit)),
                "OH_AudioStreamBuilder_SetFrameSizeInCallback", block_frames(*suit)) ||
      !accepted(OH_AudioStreamBuilder_SetEncodingType(builder, AUDIOSTREAM_ENCODING_TYPE_RAW),
                "OH_AudioStreamBuilder_SetEncodingType", AUDIOSTREAM_ENCODING_TYPE_RAW)) {
    return false;
  }
  callbacks.OH_AudioRenderer_OnWriteData = OH_AudioRenderer_OnWriteData_func;
  callbacks.OH_AudioRenderer_OnStreamEvent = OH_AudioRenderer_OnStreamEvent_func;
  callbacks.OH_AudioRenderer_OnInterruptEvent = OH_AudioRenderer_OnInterruptEvent_func;
  callbacks.OH_AudioRenderer_OnError = OH_AudioRenderer_OnError_func;
  if (!accepted(OH_AudioStreamBuilder_SetRendererCallback(builder, callbacks, this),
                "OH_AudioStreamBuilder_SetRendererCallback", 0) ||
      !accepted(OH_AudioStreamBuilder_GenerateRenderer(builder, &audioRenderer),
                "OH_AudioStreamBuilder_GenerateRenderer", 0)) {
    return false;
  }
  // The body is set before the renderer starts so that its first request already finds it; the
  // caller clears it again when the renderer does not start.
  parent_.store(const_cast<Body*>(body));
  OH_AudioStream_Result started = OH_AudioRenderer_Start(audioRenderer);
  SLOG("OH_AudioRenderer_Start=%d", static_cast<int>(started));
  return started == AUDIOSTREAM_SUCCESS;
}

void OhosPlayer::release_renderer() {
  if (audioRenderer != nullptr) {
    SLOG("OH_AudioRenderer_Stop, audioRenderer=%p", static_cast<void*>(audioRenderer));
    OH_AudioRenderer_Stop(audioRenderer);
    SLOG("OH_AudioRenderer_Flush");
    OH_AudioRenderer_Flush(audioRenderer);
    SLOG("OH_AudioRenderer_Release");
    OH_AudioRenderer_Release(audioRenderer);
    audioRenderer = nullptr;
  }
  if (builder != nullptr) {
    SLOG("OH_AudioStreamBuilder_Destroy, builder=%p", static_cast<void*>(builder));
    OH_AudioStreamBuilder_Destroy(builder);
    builder = nullptr;
  }
}

bool OhosPlayer::stop() {
  SLOG("OhosPlayer::stop");
  // The renderer goes first: once it is stopped and released no write-data callback runs, so the
  // base player can release its pile, pool and suppressor without a callback still using them.
  pthread_mutex_lock(&control_mutex_);
  release_renderer();
  pthread_mutex_unlock(&control_mutex_);
  Player::stop();
  SLOG("OhosPlayer::stop over");
  return true;
}

bool OhosPlayer::pause() {
  pthread_mutex_lock(&control_mutex_);
  bool ok =
      audioRenderer != nullptr && OH_AudioRenderer_Pause(audioRenderer) == AUDIOSTREAM_SUCCESS;
  pthread_mutex_unlock(&control_mutex_);
  return ok;
}

bool OhosPlayer::resume() {
  pthread_mutex_lock(&control_mutex_);
  bool ok =
      audioRenderer != nullptr && OH_AudioRenderer_Start(audioRenderer) == AUDIOSTREAM_SUCCESS;
  pthread_mutex_unlock(&control_mutex_);
  return ok;
}

int32_t OH_AudioRenderer_OnWriteData_func(OH_AudioRenderer*, void* userData, void* buffer,
                                          int32_t length) {
  OhosPlayer* player = static_cast<OhosPlayer*>(userData);
  Body* body = player != nullptr ? player->parent_.load() : nullptr;
  if (player == nullptr || body == nullptr) {
    if (buffer != nullptr && length > 0) std::memset(buffer, 0, static_cast<size_t>(length));
    return -1;
  }
  return player->render(buffer, length);
}

// A routing change (another output device) needs nothing of the engine.
int32_t OH_AudioRenderer_OnStreamEvent_func(OH_AudioRenderer*, void*, OH_AudioStream_Event) {
  return 0;
}

// A FORCE pause has already paused the renderer: the player keeps working and queueing, and
// resume() starts the renderer again. A FORCE stop has stopped it: the player ends at once.
// Either way the application hears of it through its handler.
int32_t OH_AudioRenderer_OnInterruptEvent_func(OH_AudioRenderer*, void* userData,
                                               OH_AudioInterrupt_ForceType type,
                                               OH_AudioInterrupt_Hint hint) {
  OhosPlayer* player = static_cast<OhosPlayer*>(userData);
  if (player == nullptr) return 0;
  if (interruption_ends_stream(type, hint)) player->end_by_platform();
  report_interruption(player->parent_.load(), true, type, hint);
  return 0;
}

int32_t OH_AudioRenderer_OnError_func(OH_AudioRenderer*, void* userData,
                                      OH_AudioStream_Result error) {
  OhosPlayer* player = static_cast<OhosPlayer*>(userData);
  if (player == nullptr) return 0;
  if (error_ends_stream(error)) player->end_by_platform();
  report_stream_error(player->parent_.load(), true, error);
  return 0;
}

}  // namespace audio
}  // namespace sonora
