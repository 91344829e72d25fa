// Internal to the desktop audio stream stand-in: the stream record shared by the builder, the
// C entry points and the backends. Not for library code.
#ifndef OHAUDIO_STREAM_INTERNAL_H
#define OHAUDIO_STREAM_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "ohaudio/native_audiostream_base.h"

namespace ohaudio_impl {

// Everything a builder collects, copied into each stream it generates.
struct StreamConfig {
  OH_AudioStream_Type type = AUDIOSTREAM_TYPE_RENDERER;
  int32_t rate = 48000;
  int32_t channels = 2;
  OH_AudioStream_SampleFormat format = AUDIOSTREAM_SAMPLE_S16LE;
  OH_AudioStream_EncodingType encoding = AUDIOSTREAM_ENCODING_TYPE_RAW;
  OH_AudioStream_LatencyMode latency = AUDIOSTREAM_LATENCY_MODE_NORMAL;
  OH_AudioStream_Usage usage = AUDIOSTREAM_USAGE_MUSIC;
  OH_AudioStream_SourceType source = AUDIOSTREAM_SOURCE_TYPE_MIC;
  int32_t frame_size = 0;  // sample frames per renderer request asked by the builder; 0: 20 ms
  OH_AudioRenderer_Callbacks renderer_callbacks = {};
  void* renderer_user = nullptr;
  OH_AudioCapturer_Callbacks capturer_callbacks = {};
  void* capturer_user = nullptr;

  bool is_renderer() const { return type == AUDIOSTREAM_TYPE_RENDERER; }
  int bytes_per_sample() const;
  // Bytes of one sample frame (all channels).
  int frame_bytes() const { return bytes_per_sample() * channels; }
  int64_t bytes_per_second() const { return static_cast<int64_t>(rate) * frame_bytes(); }
  // Bytes per callback, fixed when the stream is generated. A renderer: the platform's own size
  // when set_platform_request_ms chose one, else frame_size frames (20 ms when not set), clamped
  // to 20 .. 100 ms of audio. A capturer: the platform's capture callback size (frame_size is
  // ignored). At least one sample frame.
  int32_t request_bytes() const;
  // The byte value of silence in this format.
  uint8_t silence_byte() const { return format == AUDIOSTREAM_SAMPLE_U8 ? 0x80 : 0x00; }
};

// The platform's choices, set through vdev:: and read when a stream is generated or started.
int platform_request_ms();     // 0: as the builder asked
int capture_callback_ms();     // 20 by default
bool microphone_permission();  // true by default
// Restores the three above to their defaults.
void reset_platform_choices();

// Maps any start-fault value onto a result the enum can hold: 1..3 as they are, anything else
// non-zero to AUDIOSTREAM_ERROR_SYSTEM.
OH_AudioStream_Result to_result(int value);

// A renderer or capturer. The state machine and start-fault injection live here; a backend
// provides the requests.
class Stream {
 public:
  Stream(const StreamConfig& config, void* handle) : config_(config), handle_(handle) {}
  virtual ~Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  OH_AudioStream_Result start();
  OH_AudioStream_Result pause();
  OH_AudioStream_Result stop();
  OH_AudioStream_Result flush();
  // Halts the stream for good; on success the owner deletes it.
  OH_AudioStream_Result release();
  OH_AudioStream_State state() const { return state_.load(std::memory_order_acquire); }
  // The system pauses (to = PAUSED) or stops (to = STOPPED) a running stream, as a FORCE
  // interruption does, and then runs `notify` as a callback of the stream. false, and nothing
  // done, when the stream is not running.
  template <typename Notify>
  bool force_halt(OH_AudioStream_State to, Notify notify) {
    std::lock_guard<std::mutex> lock(control_mutex_);
    if (state() != AUDIOSTREAM_STATE_RUNNING) return false;
    do_halt();
    state_.store(to);
    notify();
    return true;
  }

 protected:
  // do_start begins (or resumes) requests; called with the control lock held. do_halt ends
  // them: on return no callback runs or will run. Called from inside one of the stream's own
  // callbacks (without the control lock), it only makes sure that none follows that callback.
  virtual OH_AudioStream_Result do_start() = 0;
  virtual void do_halt() = 0;
  virtual void do_flush() {}
  // The calling thread is inside one of this stream's callbacks.
  virtual bool in_own_callback() const = 0;

  const StreamConfig config_;
  void* const handle_;  // the OH_AudioRenderer* / OH_AudioCapturer* given to callbacks

 private:
  OH_AudioStream_Result halt_from_own_callback(OH_AudioStream_State to);

  std::mutex control_mutex_;  // serialises start, pause, stop, flush and release
  std::atomic<OH_AudioStream_State> state_{AUDIOSTREAM_STATE_PREPARED};
};

// Backends (virtual_device.cc, portaudio_backend.cc).
std::unique_ptr<Stream> make_virtual_stream(const StreamConfig& config, void* handle);
std::unique_ptr<Stream> make_hardware_stream(const StreamConfig& config, void* handle);
// vdev::use_hardware is on.
bool hardware_selected();
// Takes the pending start fault for this stream type; 0 when there is none.
int take_start_fault(OH_AudioStream_Type type);

}  // namespace ohaudio_impl

struct OH_AudioRendererStruct {
  std::unique_ptr<ohaudio_impl::Stream> stream;
};

struct OH_AudioCapturerStruct {
  std::unique_ptr<ohaudio_impl::Stream> stream;
};

#endif  // OHAUDIO_STREAM_INTERNAL_H
