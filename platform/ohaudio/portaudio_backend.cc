// Hardware backend: renderer and capturer streams on PortAudio's default output and input
// devices. Without PortAudio in the build, hardware streams fail to start.
#include <cstring>
#include <vector>

#include "hilog/log.h"
#include "ohaudio/stream_internal.h"

#ifdef OHAUDIO_WITH_PORTAUDIO
#include <portaudio.h>

#include <algorithm>
#include <mutex>

namespace ohaudio_impl {
namespace {

// The stream whose PortAudio callback the current thread is running, if any.
thread_local const void* t_in_callback = nullptr;

void log_failure(const char* what, PaError error) {
  OH_LOG_Print(LOG_APP, LOG_WARN, 0, "ohaudio", "PortAudio %{public}s: %{public}s", what,
               Pa_GetErrorText(error));
}

// PortAudio is initialised once, when the first hardware stream starts.
bool portaudio_ready() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    const PaError error = Pa_Initialize();
    ready = error == paNoError;
    if (!ready) log_failure("Pa_Initialize", error);
  });
  return ready;
}

PaSampleFormat portaudio_format(OH_AudioStream_SampleFormat format) {
  switch (format) {
    case AUDIOSTREAM_SAMPLE_U8:
      return paUInt8;
    case AUDIOSTREAM_SAMPLE_S24LE:
      return paInt24;
    case AUDIOSTREAM_SAMPLE_S32LE:
      return paInt32;
    case AUDIOSTREAM_SAMPLE_S16LE:
      break;
  }
  return paInt16;
}

class HardwareStream final : public Stream {
 public:
  HardwareStream(const StreamConfig& config, void* handle)
      : Stream(config, handle),
        request_bytes_(static_cast<size_t>(config.request_bytes())),
        buffer_(request_bytes_),
        offset_(config.is_renderer() ? request_bytes_ : 0) {}

  ~HardwareStream() override {
    if (pa_ != nullptr) Pa_CloseStream(pa_);
  }

 protected:
  OH_AudioStream_Result do_start() override {
    if (!portaudio_ready()) return AUDIOSTREAM_ERROR_SYSTEM;
    if (pa_ == nullptr) {
      const size_t frame = static_cast<size_t>(config_.frame_bytes());
      // Ask for request-sized buffers when a request is whole frames; the FIFO copes otherwise.
      const unsigned long frames =
          request_bytes_ % frame == 0 ? request_bytes_ / frame : paFramesPerBufferUnspecified;
      const int channels = config_.channels;
      const PaError error = Pa_OpenDefaultStream(
          &pa_, config_.is_renderer() ? 0 : channels, config_.is_renderer() ? channels : 0,
          portaudio_format(config_.format), config_.rate, frames, &HardwareStream::on_audio, this);
      if (error != paNoError) {
        pa_ = nullptr;
        log_failure("Pa_OpenDefaultStream", error);
        return AUDIOSTREAM_ERROR_SYSTEM;
      }
    } else if (Pa_IsStreamStopped(pa_) == 0) {
      Pa_AbortStream(pa_);  // it ended from inside its own callback
    }
    active_.store(true);
    const PaError error = Pa_StartStream(pa_);
    if (error != paNoError) {
      active_.store(false);
      log_failure("Pa_StartStream", error);
      return AUDIOSTREAM_ERROR_SYSTEM;
    }
    return AUDIOSTREAM_SUCCESS;
  }

  void do_halt() override {
    active_.store(false);
    // From inside the callback, the callback ends the stream when it returns.
    if (pa_ != nullptr && !in_own_callback()) Pa_StopStream(pa_);
  }

  void do_flush() override {
    if (active_.load()) return;
    offset_ = config_.is_renderer() ? request_bytes_ : 0;
  }

  bool in_own_callback() const override { return t_in_callback == this; }

 private:
  static int on_audio(const void* input, void* output, unsigned long frames,
                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* user) {
    auto* self = static_cast<HardwareStream*>(user);
    const size_t bytes = frames * static_cast<size_t>(self->config_.frame_bytes());
    const void* saved = t_in_callback;
    t_in_callback = self;
    if (self->config_.is_renderer()) {
      self->play(static_cast<uint8_t*>(output), bytes);
    } else {
      self->capture(static_cast<const uint8_t*>(input), bytes);
    }
    t_in_callback = saved;
    return self->active_.load() ? paContinue : paAbort;
  }

  // Hands PortAudio `bytes` of output, taking whole requests from the library as needed;
  // buffer_[offset_..] is what is left of the last request.
  void play(uint8_t* out, size_t bytes) {
    size_t done = 0;
    while (done < bytes) {
      if (offset_ == request_bytes_) {
        if (!active_.load()) break;
        std::memset(buffer_.data(), config_.silence_byte(), request_bytes_);
        if (auto write = config_.renderer_callbacks.OH_AudioRenderer_OnWriteData) {
          write(static_cast<OH_AudioRenderer*>(handle_), config_.renderer_user, buffer_.data(),
                static_cast<int32_t>(request_bytes_));
        }
        offset_ = 0;
      }
      const size_t n = std::min(bytes - done, request_bytes_ - offset_);
      std::memcpy(out + done, buffer_.data() + offset_, n);
      offset_ += n;
      done += n;
    }
    if (done < bytes) std::memset(out + done, config_.silence_byte(), bytes - done);
  }

  // Gathers `bytes` of input into buffer_[0..offset_) and delivers each full frame.
  void capture(const uint8_t* in, size_t bytes) {
    size_t done = 0;
    while (done < bytes && active_.load()) {
      const size_t n = std::min(bytes - done, request_bytes_ - offset_);
      if (in != nullptr) {
        std::memcpy(buffer_.data() + offset_, in + done, n);
      } else {
        std::memset(buffer_.data() + offset_, config_.silence_byte(), n);
      }
      offset_ += n;
      done += n;
      if (offset_ == request_bytes_) {
        if (auto read = config_.capturer_callbacks.OH_AudioCapturer_OnReadData) {
          read(static_cast<OH_AudioCapturer*>(handle_), config_.capturer_user, buffer_.data(),
               static_cast<int32_t>(request_bytes_));
        }
        offset_ = 0;
      }
    }
  }

  const size_t request_bytes_;
  std::vector<uint8_t> buffer_;  // one request; used by the callback, or while stopped
  size_t offset_;
  PaStream* pa_ = nullptr;
  std::atomic<bool> active_{false};
};

}  // namespace

std::unique_ptr<Stream> make_hardware_stream(const StreamConfig& config, void* handle) {
  return std::make_unique<HardwareStream>(config, handle);
}

}  // namespace ohaudio_impl

#else  // !OHAUDIO_WITH_PORTAUDIO

namespace ohaudio_impl {
namespace {

class UnavailableStream final : public Stream {
 public:
  using Stream::Stream;

 protected:
  OH_AudioStream_Result do_start() override {
    OH_LOG_Print(LOG_APP, LOG_WARN, 0, "ohaudio", "no hardware audio backend in this build");
    return AUDIOSTREAM_ERROR_SYSTEM;
  }
  void do_halt() override {}
  bool in_own_callback() const override { return false; }
};

}  // namespace

std::unique_ptr<Stream> make_hardware_stream(const StreamConfig& config, void* handle) {
  return std::make_unique<UnavailableStream>(config, handle);
}

}  // namespace ohaudio_impl

#endif  // OHAUDIO_WITH_PORTAUDIO
