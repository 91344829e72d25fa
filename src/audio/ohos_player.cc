#include "audio/ohos_player.h"

#include <cstring>

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

}  // namespace

OhosPlayer::OhosPlayer()
    : Player(),
      suit_(nullptr),
      ring_queue_(nullptr),
      builder(nullptr),
      callbacks(),
      audioRenderer(nullptr) {}

OhosPlayer::~OhosPlayer() {
  OhosPlayer::stop();
}

bool OhosPlayer::init() {
  return true;
}

bool OhosPlayer::deinit() {
  return true;
}

bool OhosPlayer::start(const Body* player) {
  bool result = false;
  if (Player::start(player)) {
    const Suit* suit = player->suit_->audio();
    OH_AudioStreamBuilder_Create(&builder, AUDIOSTREAM_TYPE_RENDERER);
    OH_AudioStreamBuilder_SetLatencyMode(builder, AUDIOSTREAM_LATENCY_MODE_FAST);
    OH_AudioStreamBuilder_SetRendererInfo(builder, AUDIOSTREAM_USAGE_MUSIC);
    OH_AudioStreamBuilder_SetSamplingRate(builder, suit->sample_rate);
    OH_AudioStreamBuilder_SetChannelCount(builder, suit->channel_per_frame);
    OH_AudioStreamBuilder_SetSampleFormat(builder, sample_format(suit->bit_per_channel));
    // One block per request, for every sample format: each request then takes exactly one frame,
    // so playback has no gaps and the echo canceller's one-block-per-request clock stays true.
    OH_AudioStreamBuilder_SetFrameSizeInCallback(builder, static_cast<int32_t>(suit->block));
    OH_AudioStreamBuilder_SetEncodingType(builder, AUDIOSTREAM_ENCODING_TYPE_RAW);

    callbacks.OH_AudioRenderer_OnWriteData = OH_AudioRenderer_OnWriteData_func;
    callbacks.OH_AudioRenderer_OnStreamEvent = OH_AudioRenderer_OnStreamEvent_func;
    callbacks.OH_AudioRenderer_OnInterruptEvent = OH_AudioRenderer_OnInterruptEvent_func;
    callbacks.OH_AudioRenderer_OnError = OH_AudioRenderer_OnError_func;
    OH_AudioStreamBuilder_SetRendererCallback(builder, callbacks, this);

    OH_AudioStreamBuilder_GenerateRenderer(builder, &audioRenderer);
    // The body is set before the renderer starts so that its first request already finds it; a
    // renderer that does not start makes no request, and the body is cleared again.
    parent_.store(const_cast<Body*>(player));
    OH_AudioStream_Result started =
        audioRenderer != nullptr ? OH_AudioRenderer_Start(audioRenderer) : AUDIOSTREAM_ERROR_SYSTEM;
    SLOG("OH_AudioRenderer_Start=%d", static_cast<int>(started));
    if (started == AUDIOSTREAM_SUCCESS) {
      player->report(kArg1AudioPlayerStart, kArg2Success, nullptr);
      result = true;
    } else {
      parent_.store(nullptr);
      player->report(kArg1AudioPlayerStart, kArg2Failed, nullptr);
    }
  }
  SLOG("OhosPlayer::start");
  return result;
}

bool OhosPlayer::stop() {
  SLOG("OhosPlayer::stop");
  // The renderer goes first: once it is stopped and released no write-data callback runs, so the
  // base player can release its pile, pool and suppressor without a callback still using them.
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
  Player::stop();
  SLOG("OhosPlayer::stop over");
  return true;
}

bool OhosPlayer::pause() {
  if (audioRenderer == nullptr) return false;
  return OH_AudioRenderer_Pause(audioRenderer) == AUDIOSTREAM_SUCCESS;
}

bool OhosPlayer::resume() {
  if (audioRenderer == nullptr) return false;
  return OH_AudioRenderer_Start(audioRenderer) == AUDIOSTREAM_SUCCESS;
}

int32_t OH_AudioRenderer_OnWriteData_func(OH_AudioRenderer*, void* userData, void* buffer,
                                          int32_t length) {
  OhosPlayer* player = static_cast<OhosPlayer*>(userData);
  Body* body = player != nullptr ? player->parent_.load() : nullptr;
  if (player == nullptr || body == nullptr) {
    SLOG("player:%p, player->parent_:%p", static_cast<void*>(player), static_cast<void*>(body));
    if (buffer != nullptr && length > 0) std::memset(buffer, 0, static_cast<size_t>(length));
    return -1;
  }
  return player->render(buffer, length);
}

int32_t OH_AudioRenderer_OnStreamEvent_func(OH_AudioRenderer*, void*, OH_AudioStream_Event) {
  SLOG("OH_AudioRenderer_OnStreamEvent_func");
  return 0;
}

int32_t OH_AudioRenderer_OnInterruptEvent_func(OH_AudioRenderer*, void*,
                                               OH_AudioInterrupt_ForceType,
                                               OH_AudioInterrupt_Hint) {
  SLOG("OH_AudioRenderer_OnInterruptEvent_func");
  return 0;
}

int32_t OH_AudioRenderer_OnError_func(OH_AudioRenderer*, void*, OH_AudioStream_Result) {
  SLOG("OH_AudioRenderer_OnError_func");
  return 0;
}

}  // namespace audio
}  // namespace sonora
