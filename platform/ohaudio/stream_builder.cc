// Stream builder, stream state machine and the C entry points of renderers and capturers.
#include <algorithm>
#include <atomic>
#include <new>

#include "ohaudio/native_audiocapturer.h"
#include "ohaudio/native_audiorenderer.h"
#include "ohaudio/native_audiostreambuilder.h"
#include "ohaudio/stream_internal.h"
#include "ohaudio/virtual_device.h"

struct OH_AudioStreamBuilderStruct {
  ohaudio_impl::StreamConfig config;
};

namespace ohaudio_impl {

int StreamConfig::bytes_per_sample() const {
  switch (format) {
    case AUDIOSTREAM_SAMPLE_U8:
      return 1;
    case AUDIOSTREAM_SAMPLE_S24LE:
      return 3;
    case AUDIOSTREAM_SAMPLE_S32LE:
      return 4;
    case AUDIOSTREAM_SAMPLE_S16LE:
      break;
  }
  return 2;
}

namespace {

constexpr int kDefaultCaptureCallbackMs = 20;
// A renderer's request holds 20 .. 100 ms of audio.
constexpr int kMinRequestMs = 20;
constexpr int kMaxRequestMs = 100;
// Longest callback the platform controls accept.
constexpr int kMaxCallbackMs = 1000;

std::atomic<int> g_platform_request_ms{0};
std::atomic<int> g_capture_callback_ms{kDefaultCaptureCallbackMs};
std::atomic<bool> g_microphone_permission{true};

int64_t frames_in_ms(int32_t rate, int ms) {
  return static_cast<int64_t>(rate) * ms / 1000;
}

}  // namespace

int platform_request_ms() {
  return g_platform_request_ms.load();
}

int capture_callback_ms() {
  return g_capture_callback_ms.load();
}

bool microphone_permission() {
  return g_microphone_permission.load();
}

void reset_platform_choices() {
  g_platform_request_ms.store(0);
  g_capture_callback_ms.store(kDefaultCaptureCallbackMs);
  g_microphone_permission.store(true);
}

int32_t StreamConfig::request_bytes() const {
  int64_t frames = 0;
  if (!is_renderer()) {
    frames = frames_in_ms(rate, capture_callback_ms());
  } else if (platform_request_ms() > 0) {
    frames = frames_in_ms(rate, platform_request_ms());
  } else {
    frames = frame_size > 0 ? frame_size : frames_in_ms(rate, kMinRequestMs);
    frames =
        std::clamp(frames, frames_in_ms(rate, kMinRequestMs), frames_in_ms(rate, kMaxRequestMs));
  }
  return static_cast<int32_t>(std::max<int64_t>(frames, 1) * frame_bytes());
}

OH_AudioStream_Result to_result(int value) {
  switch (value) {
    case AUDIOSTREAM_SUCCESS:
    case AUDIOSTREAM_ERROR_INVALID_PARAM:
    case AUDIOSTREAM_ERROR_ILLEGAL_STATE:
    case AUDIOSTREAM_ERROR_SYSTEM:
      return static_cast<OH_AudioStream_Result>(value);
    default:
      return AUDIOSTREAM_ERROR_SYSTEM;
  }
}

OH_AudioStream_Result Stream::start() {
  if (in_own_callback()) return AUDIOSTREAM_ERROR_ILLEGAL_STATE;
  std::lock_guard<std::mutex> lock(control_mutex_);
  const OH_AudioStream_State s = state();
  if (s != AUDIOSTREAM_STATE_PREPARED && s != AUDIOSTREAM_STATE_PAUSED &&
      s != AUDIOSTREAM_STATE_STOPPED) {
    return AUDIOSTREAM_ERROR_ILLEGAL_STATE;
  }
  const int fault = take_start_fault(config_.type);
  if (fault != 0) return to_result(fault);
  // Capture needs the microphone permission; without it the start fails.
  if (!config_.is_renderer() && !microphone_permission()) return AUDIOSTREAM_ERROR_ILLEGAL_STATE;
  const OH_AudioStream_Result result = do_start();
  if (result == AUDIOSTREAM_SUCCESS) state_.store(AUDIOSTREAM_STATE_RUNNING);
  return result;
}

OH_AudioStream_Result Stream::pause() {
  if (in_own_callback()) return halt_from_own_callback(AUDIOSTREAM_STATE_PAUSED);
  std::lock_guard<std::mutex> lock(control_mutex_);
  if (state() != AUDIOSTREAM_STATE_RUNNING) return AUDIOSTREAM_ERROR_ILLEGAL_STATE;
  do_halt();
  state_.store(AUDIOSTREAM_STATE_PAUSED);
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result Stream::stop() {
  if (in_own_callback()) return halt_from_own_callback(AUDIOSTREAM_STATE_STOPPED);
  std::lock_guard<std::mutex> lock(control_mutex_);
  const OH_AudioStream_State s = state();
  if (s != AUDIOSTREAM_STATE_RUNNING && s != AUDIOSTREAM_STATE_PAUSED) {
    return AUDIOSTREAM_ERROR_ILLEGAL_STATE;
  }
  do_halt();
  do_flush();
  state_.store(AUDIOSTREAM_STATE_STOPPED);
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result Stream::flush() {
  if (in_own_callback()) return AUDIOSTREAM_SUCCESS;  // a running stream holds nothing to drop
  std::lock_guard<std::mutex> lock(control_mutex_);
  const OH_AudioStream_State s = state();
  if (s != AUDIOSTREAM_STATE_RUNNING && s != AUDIOSTREAM_STATE_PAUSED &&
      s != AUDIOSTREAM_STATE_STOPPED) {
    return AUDIOSTREAM_ERROR_ILLEGAL_STATE;
  }
  do_flush();
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result Stream::release() {
  if (in_own_callback()) return AUDIOSTREAM_ERROR_ILLEGAL_STATE;
  std::lock_guard<std::mutex> lock(control_mutex_);
  do_halt();
  state_.store(AUDIOSTREAM_STATE_RELEASED);
  return AUDIOSTREAM_SUCCESS;
}

// Pause or Stop from inside one of the stream's callbacks. The control lock is not taken: a
// thread holding it may be waiting for this very callback to return.
OH_AudioStream_Result Stream::halt_from_own_callback(OH_AudioStream_State to) {
  OH_AudioStream_State s = state();
  const bool allowed = s == AUDIOSTREAM_STATE_RUNNING ||
                       (to == AUDIOSTREAM_STATE_STOPPED && s == AUDIOSTREAM_STATE_PAUSED);
  if (!allowed) return AUDIOSTREAM_ERROR_ILLEGAL_STATE;
  do_halt();
  state_.compare_exchange_strong(s, to);
  return AUDIOSTREAM_SUCCESS;
}

}  // namespace ohaudio_impl

namespace {

using ohaudio_impl::Stream;
using ohaudio_impl::StreamConfig;

std::unique_ptr<Stream> make_stream(const StreamConfig& config, void* handle) {
  if (ohaudio_impl::hardware_selected()) return ohaudio_impl::make_hardware_stream(config, handle);
  return ohaudio_impl::make_virtual_stream(config, handle);
}

bool valid_usage(int usage) {
  switch (usage) {
    case AUDIOSTREAM_USAGE_UNKNOWN:
    case AUDIOSTREAM_USAGE_MUSIC:
    case AUDIOSTREAM_USAGE_VOICE_COMMUNICATION:
    case AUDIOSTREAM_USAGE_VOICE_ASSISTANT:
    case AUDIOSTREAM_USAGE_ALARM:
    case AUDIOSTREAM_USAGE_VOICE_MESSAGE:
    case AUDIOSTREAM_USAGE_RINGTONE:
    case AUDIOSTREAM_USAGE_NOTIFICATION:
    case AUDIOSTREAM_USAGE_ACCESSIBILITY:
    case AUDIOSTREAM_USAGE_MOVIE:
    case AUDIOSTREAM_USAGE_GAME:
    case AUDIOSTREAM_USAGE_AUDIOBOOK:
    case AUDIOSTREAM_USAGE_NAVIGATION:
      return true;
    default:
      return false;
  }
}

// The sampling rates the platform accepts (API 11).
bool valid_rate(int32_t rate) {
  static const int32_t kRates[] = {8000,  11025, 12000, 16000, 22050, 24000,
                                   32000, 44100, 48000, 64000, 96000};
  return std::find(std::begin(kRates), std::end(kRates), rate) != std::end(kRates);
}

constexpr int32_t kMaxChannels = 8;

bool valid_source(int source) {
  switch (source) {
    case AUDIOSTREAM_SOURCE_TYPE_MIC:
    case AUDIOSTREAM_SOURCE_TYPE_VOICE_RECOGNITION:
    case AUDIOSTREAM_SOURCE_TYPE_PLAYBACK_CAPTURE:
    case AUDIOSTREAM_SOURCE_TYPE_VOICE_COMMUNICATION:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" {

OH_AudioStream_Result OH_AudioStreamBuilder_Create(OH_AudioStreamBuilder** builder,
                                                   OH_AudioStream_Type type) {
  if (builder == nullptr) return AUDIOSTREAM_ERROR_INVALID_PARAM;
  const int t = static_cast<int>(type);
  if (t != AUDIOSTREAM_TYPE_RENDERER && t != AUDIOSTREAM_TYPE_CAPTURER) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  auto* b = new (std::nothrow) OH_AudioStreamBuilderStruct;
  if (b == nullptr) return AUDIOSTREAM_ERROR_SYSTEM;
  b->config.type = type;
  *builder = b;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_Destroy(OH_AudioStreamBuilder* builder) {
  if (builder == nullptr) return AUDIOSTREAM_ERROR_INVALID_PARAM;
  delete builder;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetSamplingRate(OH_AudioStreamBuilder* builder,
                                                            int32_t rate) {
  if (builder == nullptr || !valid_rate(rate)) return AUDIOSTREAM_ERROR_INVALID_PARAM;
  builder->config.rate = rate;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetChannelCount(OH_AudioStreamBuilder* builder,
                                                            int32_t channelCount) {
  if (builder == nullptr || channelCount < 1 || channelCount > kMaxChannels) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  builder->config.channels = channelCount;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetSampleFormat(OH_AudioStreamBuilder* builder,
                                                            OH_AudioStream_SampleFormat format) {
  const int f = static_cast<int>(format);
  if (builder == nullptr || f < AUDIOSTREAM_SAMPLE_U8 || f > AUDIOSTREAM_SAMPLE_S32LE) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  builder->config.format = format;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetEncodingType(
    OH_AudioStreamBuilder* builder, OH_AudioStream_EncodingType encodingType) {
  if (builder == nullptr || static_cast<int>(encodingType) != AUDIOSTREAM_ENCODING_TYPE_RAW) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  builder->config.encoding = encodingType;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetLatencyMode(OH_AudioStreamBuilder* builder,
                                                           OH_AudioStream_LatencyMode latencyMode) {
  const int m = static_cast<int>(latencyMode);
  if (builder == nullptr ||
      (m != AUDIOSTREAM_LATENCY_MODE_NORMAL && m != AUDIOSTREAM_LATENCY_MODE_FAST)) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  builder->config.latency = latencyMode;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetRendererInfo(OH_AudioStreamBuilder* builder,
                                                            OH_AudioStream_Usage usage) {
  if (builder == nullptr || !valid_usage(static_cast<int>(usage)) ||
      !builder->config.is_renderer()) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  builder->config.usage = usage;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetCapturerInfo(OH_AudioStreamBuilder* builder,
                                                            OH_AudioStream_SourceType sourceType) {
  if (builder == nullptr || !valid_source(static_cast<int>(sourceType)) ||
      builder->config.is_renderer()) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  builder->config.source = sourceType;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetRendererCallback(
    OH_AudioStreamBuilder* builder, OH_AudioRenderer_Callbacks callbacks, void* userData) {
  if (builder == nullptr || !builder->config.is_renderer()) return AUDIOSTREAM_ERROR_INVALID_PARAM;
  builder->config.renderer_callbacks = callbacks;
  builder->config.renderer_user = userData;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetCapturerCallback(
    OH_AudioStreamBuilder* builder, OH_AudioCapturer_Callbacks callbacks, void* userData) {
  if (builder == nullptr || builder->config.is_renderer()) return AUDIOSTREAM_ERROR_INVALID_PARAM;
  builder->config.capturer_callbacks = callbacks;
  builder->config.capturer_user = userData;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_SetFrameSizeInCallback(OH_AudioStreamBuilder* builder,
                                                                   int32_t frameSize) {
  // A number of sample frames; the renderer clamps what it asks for, a capturer ignores it.
  if (builder == nullptr || frameSize <= 0) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  builder->config.frame_size = frameSize;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_GenerateRenderer(OH_AudioStreamBuilder* builder,
                                                             OH_AudioRenderer** audioRenderer) {
  if (builder == nullptr || audioRenderer == nullptr || !builder->config.is_renderer()) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  auto* r = new (std::nothrow) OH_AudioRendererStruct;
  if (r == nullptr) return AUDIOSTREAM_ERROR_SYSTEM;
  r->stream = make_stream(builder->config, r);
  *audioRenderer = r;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioStreamBuilder_GenerateCapturer(OH_AudioStreamBuilder* builder,
                                                             OH_AudioCapturer** audioCapturer) {
  if (builder == nullptr || audioCapturer == nullptr || builder->config.is_renderer()) {
    return AUDIOSTREAM_ERROR_INVALID_PARAM;
  }
  auto* c = new (std::nothrow) OH_AudioCapturerStruct;
  if (c == nullptr) return AUDIOSTREAM_ERROR_SYSTEM;
  c->stream = make_stream(builder->config, c);
  *audioCapturer = c;
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioRenderer_Start(OH_AudioRenderer* renderer) {
  return renderer == nullptr ? AUDIOSTREAM_ERROR_INVALID_PARAM : renderer->stream->start();
}

OH_AudioStream_Result OH_AudioRenderer_Pause(OH_AudioRenderer* renderer) {
  return renderer == nullptr ? AUDIOSTREAM_ERROR_INVALID_PARAM : renderer->stream->pause();
}

OH_AudioStream_Result OH_AudioRenderer_Stop(OH_AudioRenderer* renderer) {
  return renderer == nullptr ? AUDIOSTREAM_ERROR_INVALID_PARAM : renderer->stream->stop();
}

OH_AudioStream_Result OH_AudioRenderer_Flush(OH_AudioRenderer* renderer) {
  return renderer == nullptr ? AUDIOSTREAM_ERROR_INVALID_PARAM : renderer->stream->flush();
}

OH_AudioStream_Result OH_AudioRenderer_Release(OH_AudioRenderer* renderer) {
  if (renderer == nullptr) return AUDIOSTREAM_ERROR_INVALID_PARAM;
  const OH_AudioStream_Result result = renderer->stream->release();
  if (result == AUDIOSTREAM_SUCCESS) delete renderer;
  return result;
}

OH_AudioStream_Result OH_AudioRenderer_GetCurrentState(OH_AudioRenderer* renderer,
                                                       OH_AudioStream_State* state) {
  if (renderer == nullptr || state == nullptr) return AUDIOSTREAM_ERROR_INVALID_PARAM;
  *state = renderer->stream->state();
  return AUDIOSTREAM_SUCCESS;
}

OH_AudioStream_Result OH_AudioCapturer_Start(OH_AudioCapturer* capturer) {
  return capturer == nullptr ? AUDIOSTREAM_ERROR_INVALID_PARAM : capturer->stream->start();
}

OH_AudioStream_Result OH_AudioCapturer_Pause(OH_AudioCapturer* capturer) {
  return capturer == nullptr ? AUDIOSTREAM_ERROR_INVALID_PARAM : capturer->stream->pause();
}

OH_AudioStream_Result OH_AudioCapturer_Stop(OH_AudioCapturer* capturer) {
  return capturer == nullptr ? AUDIOSTREAM_ERROR_INVALID_PARAM : capturer->stream->stop();
}

OH_AudioStream_Result OH_AudioCapturer_Flush(OH_AudioCapturer* capturer) {
  return capturer == nullptr ? AUDIOSTREAM_ERROR_INVALID_PARAM : capturer->stream->flush();
}

OH_AudioStream_Result OH_AudioCapturer_Release(OH_AudioCapturer* capturer) {
  if (capturer == nullptr) return AUDIOSTREAM_ERROR_INVALID_PARAM;
  const OH_AudioStream_Result result = capturer->stream->release();
  if (result == AUDIOSTREAM_SUCCESS) delete capturer;
  return result;
}

OH_AudioStream_Result OH_AudioCapturer_GetCurrentState(OH_AudioCapturer* capturer,
                                                       OH_AudioStream_State* state) {
  if (capturer == nullptr || state == nullptr) return AUDIOSTREAM_ERROR_INVALID_PARAM;
  *state = capturer->stream->state();
  return AUDIOSTREAM_SUCCESS;
}

}  // extern "C"

namespace vdev {

void set_platform_request_ms(int ms) {
  ohaudio_impl::g_platform_request_ms.store(std::clamp(ms, 0, ohaudio_impl::kMaxCallbackMs));
}

void set_capture_callback_ms(int ms) {
  ohaudio_impl::g_capture_callback_ms.store(ms <= 0 ? ohaudio_impl::kDefaultCaptureCallbackMs
                                                    : std::min(ms, ohaudio_impl::kMaxCallbackMs));
}

void set_microphone_permission(bool granted) {
  ohaudio_impl::g_microphone_permission.store(granted);
}

}  // namespace vdev
