// Hardware backend: renderer and capturer streams on PortAudio devices (the default ones or those
// chosen with vdev::use_hardware_device), converting rate and channels when the device does not
// offer the stream's (see virtual_device.h). Without PortAudio in the build, hardware streams
// fail to start.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "hilog/log.h"
#include "ohaudio/stream_internal.h"
#include "ohaudio/virtual_device.h"

#ifdef OHAUDIO_WITH_PORTAUDIO
#include <portaudio.h>
#include <unistd.h>

#include <cstdio>
#ifdef OHAUDIO_WITH_JACK
#include <pa_jack.h>
#endif

#include "ohaudio/hw_convert.h"
#include "ohaudio/hw_log.h"
#endif

namespace ohaudio_impl {
namespace {

// Counters and reports shared by every hardware stream.
struct Shared {
  std::atomic<uint64_t> render_requests{0};
  std::atomic<uint64_t> capture_deliveries{0};
  std::atomic<int32_t> last_render_bytes{0};
  std::atomic<int32_t> last_capture_bytes{0};
  std::atomic<uint64_t> output_underflows{0};
  std::atomic<uint64_t> output_overflows{0};
  std::atomic<uint64_t> input_underflows{0};
  std::atomic<uint64_t> input_overflows{0};
  std::atomic<uint64_t> errors{0};

  std::mutex mutex;  // guards the rest
  std::string output_pattern;
  std::string input_pattern;
  vdev::HardwareStreamInfo renderer;
  vdev::HardwareStreamInfo capturer;
  std::string last_error;
};

Shared& shared() {
  static Shared* s = new Shared;  // never destroyed: streams may outlive static destruction
  return *s;
}

// Logs the reason a stream did not start as one error line and keeps it for hardware_last_error.
void fail(const std::string& reason) {
  Shared& s = shared();
  s.errors.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.last_error = reason;
  }
  OH_LOG_Print(LOG_APP, LOG_ERROR, 0, "ohaudio", "%{public}s", reason.c_str());
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace
}  // namespace ohaudio_impl

#ifdef OHAUDIO_WITH_PORTAUDIO

namespace ohaudio_impl {
namespace {

// The stream whose PortAudio callback the current thread is running, if any.
thread_local const void* t_in_callback = nullptr;

// Device frames converted per step on the capture side.
constexpr size_t kCaptureChunk = 1024;

// PortAudio is initialised once, on first use. What the libraries print meanwhile goes to the log.
bool portaudio_ready() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    route_library_messages();
#ifdef OHAUDIO_WITH_JACK
    // One JACK client per process, named so that its ports can be found: marlin-PID:out_N.
    static char client_name[32];
    std::snprintf(client_name, sizeof(client_name), "marlin-%ld", static_cast<long>(getpid()));
    PaJack_SetClientName(client_name);
#endif
    PaError error = paNoError;
    run_with_stderr_to_log([](void* e) { *static_cast<PaError*>(e) = Pa_Initialize(); }, &error,
                           "portaudio");
    route_library_messages();  // PortAudio's JACK host API installs its own error function
    ready = error == paNoError;
    if (!ready) {
      OH_LOG_Print(LOG_APP, LOG_ERROR, 0, "ohaudio", "PortAudio did not initialise: %{public}s",
                   Pa_GetErrorText(error));
    }
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

std::string device_label(PaDeviceIndex index) {
  const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
  if (info == nullptr) return "device " + std::to_string(index);
  const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
  return std::string("\"") + info->name + "\" (" + (api != nullptr ? api->name : "?") + ")";
}

// The device a stream opens: the first matching `pattern` (lower case) or the default one.
PaDeviceIndex resolve_device(const std::string& pattern, bool output, std::string* why) {
  const char* direction = output ? "output" : "input";
  if (pattern.empty()) {
    const PaDeviceIndex index = output ? Pa_GetDefaultOutputDevice() : Pa_GetDefaultInputDevice();
    if (index == paNoDevice) *why = std::string("there is no default ") + direction + " device";
    return index;
  }
  const int count = Pa_GetDeviceCount();
  bool named = false;
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info == nullptr || lower(info->name).find(pattern) == std::string::npos) continue;
    named = true;
    if ((output ? info->maxOutputChannels : info->maxInputChannels) > 0) return i;
  }
  *why = named ? "no device matching \"" + pattern + "\" has " + direction + " channels"
               : "no " + std::string(direction) + " device matches \"" + pattern + "\"";
  return paNoDevice;
}

// How a device is opened for a stream.
struct Plan {
  PaStreamParameters params = {};
  int rate = 0;
  bool convert = false;
};

bool supported(const PaStreamParameters& params, bool output, double rate) {
  return Pa_IsFormatSupported(output ? nullptr : &params, output ? &params : nullptr, rate) ==
         paFormatIsSupported;
}

// The stream's own format when the device offers it, else float at a rate and channel count it
// offers. false with the reason in *why when it offers none.
bool plan_stream(const StreamConfig& config, PaDeviceIndex device, Plan* plan, std::string* why) {
  const bool output = config.is_renderer();
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  const int max_channels = output ? info->maxOutputChannels : info->maxInputChannels;
  if (max_channels <= 0) {
    *why = std::string("it has no ") + (output ? "output" : "input") + " channels";
    return false;
  }
  PaStreamParameters& p = plan->params;
  p.device = device;
  p.suggestedLatency = output ? info->defaultLowOutputLatency : info->defaultLowInputLatency;
  p.hostApiSpecificStreamInfo = nullptr;
  if (config.channels <= max_channels) {
    p.channelCount = config.channels;
    p.sampleFormat = portaudio_format(config.format);
    if (supported(p, output, config.rate)) {
      plan->rate = config.rate;
      plan->convert = false;
      return true;
    }
  }
  std::vector<int> channel_choices;
  if (config.channels <= max_channels) channel_choices.push_back(config.channels);
  for (int c : {std::min(max_channels, 2), 1, 2}) {
    if (c <= max_channels &&
        std::find(channel_choices.begin(), channel_choices.end(), c) == channel_choices.end()) {
      channel_choices.push_back(c);
    }
  }
  const int rates[] = {config.rate, static_cast<int>(info->defaultSampleRate), 48000, 44100};
  p.sampleFormat = paFloat32;
  for (int channels : channel_choices) {
    p.channelCount = channels;
    for (int rate : rates) {
      if (rate > 0 && supported(p, output, rate)) {
        plan->rate = rate;
        plan->convert = true;
        return true;
      }
    }
  }
  *why = "it offers neither " + std::to_string(config.rate) + " Hz nor its default rate " +
         std::to_string(static_cast<int>(info->defaultSampleRate)) + " Hz with " +
         std::to_string(config.channels) + " or up to " + std::to_string(max_channels) +
         " channels";
  return false;
}

class HardwareStream final : public Stream {
 public:
  HardwareStream(const StreamConfig& config, void* handle)
      : Stream(config, handle),
        request_bytes_(static_cast<size_t>(config.request_bytes())),
        frame_bytes_(static_cast<size_t>(config.frame_bytes())),
        buffer_(request_bytes_),
        offset_(config.is_renderer() ? request_bytes_ : 0) {}

  ~HardwareStream() override {
    if (pa_ != nullptr) Pa_CloseStream(pa_);
  }

 protected:
  OH_AudioStream_Result do_start() override {
    if (!portaudio_ready()) {
      fail("the audio device did not start: PortAudio did not initialise");
      return AUDIOSTREAM_ERROR_SYSTEM;
    }
    if (pa_ == nullptr) {
      if (!open()) return AUDIOSTREAM_ERROR_SYSTEM;
    } else if (Pa_IsStreamStopped(pa_) == 0) {
      Pa_AbortStream(pa_);  // it ended from inside its own callback
    }
    active_.store(true);
    const PaError error = Pa_StartStream(pa_);
    if (error != paNoError) {
      active_.store(false);
      fail(std::string("cannot start ") + direction() + " device " + label_ + ": " +
           Pa_GetErrorText(error));
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
    device_offset_ = device_fill_ = 0;
  }

  bool in_own_callback() const override { return t_in_callback == this; }

 private:
  const char* direction() const { return config_.is_renderer() ? "output" : "input"; }

  // Chooses, plans and opens the device; false after logging why not.
  bool open() {
    const bool output = config_.is_renderer();
    std::string pattern;
    {
      std::lock_guard<std::mutex> lock(shared().mutex);
      pattern = output ? shared().output_pattern : shared().input_pattern;
    }
    std::string why;
    const PaDeviceIndex device = resolve_device(pattern, output, &why);
    if (device == paNoDevice) {
      fail(std::string("cannot open the ") + direction() + " device: " + why);
      return false;
    }
    label_ = device_label(device);
    const std::string format = std::to_string(config_.rate) + " Hz, " +
                               std::to_string(config_.channels) + " channel" +
                               (config_.channels == 1 ? "" : "s");
    Plan plan;
    if (!plan_stream(config_, device, &plan, &why)) {
      fail(std::string("cannot open ") + direction() + " device " + label_ + " for " + format +
           ": " + why);
      return false;
    }
    unsigned long frames = paFramesPerBufferUnspecified;
    if (plan.convert) {
      device_channels_ = plan.params.channelCount;
      if (output) {
        // One request (or one frame when a request is smaller) is converted at a time.
        chunk_frames_ = std::max<size_t>(1, request_bytes_ / frame_bytes_);
        converter_ = std::make_unique<FrameConverter>(config_.rate, config_.channels, plan.rate,
                                                      device_channels_, chunk_frames_);
        stage_.resize(chunk_frames_ * frame_bytes_);
        stream_float_.resize(chunk_frames_ * static_cast<size_t>(config_.channels));
        device_float_.resize(converter_->max_out_frames() * static_cast<size_t>(device_channels_));
      } else {
        converter_ = std::make_unique<FrameConverter>(plan.rate, device_channels_, config_.rate,
                                                      config_.channels, kCaptureChunk);
        silence_.assign(kCaptureChunk * static_cast<size_t>(device_channels_), 0.0f);
        stream_float_.resize(converter_->max_out_frames() * static_cast<size_t>(config_.channels));
        stage_.resize(converter_->max_out_frames() * frame_bytes_);
      }
      if (!converter_->ok()) {
        fail(std::string("cannot open ") + direction() + " device " + label_ + " for " + format +
             ": the resampler did not start");
        converter_.reset();
        return false;
      }
    } else if (request_bytes_ % frame_bytes_ == 0) {
      // Request-sized buffers when a request is whole frames; the FIFO copes otherwise.
      frames = request_bytes_ / frame_bytes_;
    }
    const PaError error =
        Pa_OpenStream(&pa_, output ? nullptr : &plan.params, output ? &plan.params : nullptr,
                      plan.rate, frames, paNoFlag, &HardwareStream::on_audio, this);
    if (error != paNoError) {
      pa_ = nullptr;
      converter_.reset();
      fail(std::string("cannot open ") + direction() + " device " + label_ + " for " + format +
           ": " + Pa_GetErrorText(error));
      return false;
    }
    vdev::HardwareStreamInfo info;
    info.open = true;
    const PaDeviceInfo* device_info = Pa_GetDeviceInfo(device);
    const PaHostApiInfo* api = Pa_GetHostApiInfo(device_info->hostApi);
    info.device = device_info->name;
    info.host_api = api != nullptr ? api->name : "";
    info.stream_rate = config_.rate;
    info.stream_channels = config_.channels;
    info.request_bytes = static_cast<int32_t>(request_bytes_);
    info.device_rate = plan.rate;
    info.device_channels = plan.params.channelCount;
    info.converted = plan.convert;
    info.conversion_latency_ms = converter_ != nullptr ? converter_->latency_ms() : 0.0;
    if (const PaStreamInfo* stream_info = Pa_GetStreamInfo(pa_)) {
      info.device_latency_ms =
          1000.0 * (output ? stream_info->outputLatency : stream_info->inputLatency);
    }
    OH_LOG_Print(LOG_APP, LOG_INFO, 0, "ohaudio",
                 "%{public}s device %{public}s: stream %{public}d Hz x %{public}d, device "
                 "%{public}d Hz x %{public}d%{public}s",
                 direction(), label_.c_str(), info.stream_rate, info.stream_channels,
                 info.device_rate, info.device_channels, info.converted ? " (converted)" : "");
    std::lock_guard<std::mutex> lock(shared().mutex);
    (output ? shared().renderer : shared().capturer) = info;
    return true;
  }

  static int on_audio(const void* input, void* output, unsigned long frames,
                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags, void* user) {
    auto* self = static_cast<HardwareStream*>(user);
    Shared& s = shared();
    if (flags & paOutputUnderflow) s.output_underflows.fetch_add(1, std::memory_order_relaxed);
    if (flags & paOutputOverflow) s.output_overflows.fetch_add(1, std::memory_order_relaxed);
    if (flags & paInputUnderflow) s.input_underflows.fetch_add(1, std::memory_order_relaxed);
    if (flags & paInputOverflow) s.input_overflows.fetch_add(1, std::memory_order_relaxed);
    const void* saved = t_in_callback;
    t_in_callback = self;
    if (self->config_.is_renderer()) {
      if (self->converter_ != nullptr) {
        self->play_converted(static_cast<float*>(output), frames);
      } else {
        self->play(static_cast<uint8_t*>(output), frames * self->frame_bytes_);
      }
    } else {
      if (self->converter_ != nullptr) {
        self->capture_converted(static_cast<const float*>(input), frames);
      } else {
        self->capture(static_cast<const uint8_t*>(input), frames * self->frame_bytes_);
      }
    }
    t_in_callback = saved;
    return self->active_.load() ? paContinue : paAbort;
  }

  // Fills `bytes` of stream-format output, taking whole requests from the library as needed;
  // buffer_[offset_..] is what is left of the last request. Returns the bytes filled (fewer
  // only once the stream was stopped).
  size_t play(uint8_t* out, size_t bytes) {
    size_t done = 0;
    while (done < bytes) {
      if (offset_ == request_bytes_) {
        if (!active_.load()) break;
        std::memset(buffer_.data(), config_.silence_byte(), request_bytes_);
        if (auto write = config_.renderer_callbacks.OH_AudioRenderer_OnWriteData) {
          write(static_cast<OH_AudioRenderer*>(handle_), config_.renderer_user, buffer_.data(),
                static_cast<int32_t>(request_bytes_));
        }
        Shared& s = shared();
        s.render_requests.fetch_add(1, std::memory_order_relaxed);
        s.last_render_bytes.store(static_cast<int32_t>(request_bytes_), std::memory_order_relaxed);
        offset_ = 0;
      }
      const size_t n = std::min(bytes - done, request_bytes_ - offset_);
      std::memcpy(out + done, buffer_.data() + offset_, n);
      offset_ += n;
      done += n;
    }
    if (done < bytes) std::memset(out + done, config_.silence_byte(), bytes - done);
    return done;
  }

  // Fills `frames` device frames (float, device channels) from requests converted a chunk at a
  // time; device_float_[device_offset_ .. device_fill_) is what is left of the last chunk.
  void play_converted(float* out, size_t frames) {
    const size_t channels = static_cast<size_t>(device_channels_);
    size_t done = 0;
    while (done < frames) {
      if (device_offset_ == device_fill_) {
        if (!active_.load() || play(stage_.data(), stage_.size()) < stage_.size()) break;
        samples_to_float(config_.format, stage_.data(),
                         chunk_frames_ * static_cast<size_t>(config_.channels),
                         stream_float_.data());
        device_fill_ =
            converter_->process(stream_float_.data(), chunk_frames_, device_float_.data());
        device_offset_ = 0;
        continue;
      }
      const size_t n = std::min(frames - done, device_fill_ - device_offset_);
      std::memcpy(out + done * channels, device_float_.data() + device_offset_ * channels,
                  n * channels * sizeof(float));
      device_offset_ += n;
      done += n;
    }
    if (done < frames) std::fill(out + done * channels, out + frames * channels, 0.0f);
  }

  // Gathers `bytes` of stream-format input into buffer_[0..offset_) and delivers each full
  // request.
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
        Shared& s = shared();
        s.capture_deliveries.fetch_add(1, std::memory_order_relaxed);
        s.last_capture_bytes.store(static_cast<int32_t>(request_bytes_), std::memory_order_relaxed);
        offset_ = 0;
      }
    }
  }

  // Converts `frames` device frames (float, device channels; null: silence) to the stream's
  // format and gathers them into requests.
  void capture_converted(const float* in, size_t frames) {
    const size_t channels = static_cast<size_t>(device_channels_);
    for (size_t done = 0; done < frames && active_.load();) {
      const size_t n = std::min(frames - done, kCaptureChunk);
      const float* chunk = in != nullptr ? in + done * channels : silence_.data();
      const size_t produced = converter_->process(chunk, n, stream_float_.data());
      float_to_samples(config_.format, stream_float_.data(),
                       produced * static_cast<size_t>(config_.channels), stage_.data());
      capture(stage_.data(), produced * frame_bytes_);
      done += n;
    }
  }

  const size_t request_bytes_;
  const size_t frame_bytes_;
  std::vector<uint8_t> buffer_;  // one request; used by the callback, or while stopped
  size_t offset_;
  PaStream* pa_ = nullptr;
  std::string label_;  // the device, for messages
  std::atomic<bool> active_{false};

  // Conversion (set up when the device runs in another rate or channel count).
  std::unique_ptr<FrameConverter> converter_;
  int device_channels_ = 0;
  size_t chunk_frames_ = 0;          // renderer: stream frames converted at a time
  std::vector<uint8_t> stage_;       // stream-format bytes of one chunk
  std::vector<float> stream_float_;  // the same as float
  std::vector<float> device_float_;  // renderer: converted chunk (device format)
  size_t device_offset_ = 0;         // renderer: frames of device_float_ already played
  size_t device_fill_ = 0;           // renderer: frames in device_float_
  std::vector<float> silence_;       // capturer: input when PortAudio gives none
};

}  // namespace

std::unique_ptr<Stream> make_hardware_stream(const StreamConfig& config, void* handle) {
  return std::make_unique<HardwareStream>(config, handle);
}

}  // namespace ohaudio_impl

namespace vdev {

std::vector<HardwareDevice> hardware_devices() {
  std::vector<HardwareDevice> devices;
  if (!ohaudio_impl::portaudio_ready()) return devices;
  const PaDeviceIndex default_output = Pa_GetDefaultOutputDevice();
  const PaDeviceIndex default_input = Pa_GetDefaultInputDevice();
  const int count = Pa_GetDeviceCount();
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info == nullptr) continue;
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    HardwareDevice d;
    d.index = i;
    d.name = info->name;
    d.host_api = api != nullptr ? api->name : "";
    d.default_rate = info->defaultSampleRate;
    d.max_output_channels = info->maxOutputChannels;
    d.max_input_channels = info->maxInputChannels;
    d.default_output = i == default_output;
    d.default_input = i == default_input;
    devices.push_back(std::move(d));
  }
  return devices;
}

int find_hardware_device(const char* substring, bool output, std::string* why) {
  std::string reason;
  PaDeviceIndex index = paNoDevice;
  if (!ohaudio_impl::portaudio_ready()) {
    reason = "PortAudio did not initialise";
  } else {
    index = ohaudio_impl::resolve_device(ohaudio_impl::lower(substring != nullptr ? substring : ""),
                                         output, &reason);
  }
  if (index == paNoDevice) {
    if (why != nullptr) *why = reason;
    return -1;
  }
  return index;
}

}  // namespace vdev

#else  // !OHAUDIO_WITH_PORTAUDIO

namespace ohaudio_impl {
namespace {

class UnavailableStream final : public Stream {
 public:
  using Stream::Stream;

 protected:
  OH_AudioStream_Result do_start() override {
    fail("no hardware audio backend in this build");
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

namespace vdev {

std::vector<HardwareDevice> hardware_devices() {
  return {};
}

int find_hardware_device(const char*, bool, std::string* why) {
  if (why != nullptr) *why = "no hardware audio backend in this build";
  return -1;
}

}  // namespace vdev

#endif  // OHAUDIO_WITH_PORTAUDIO

namespace vdev {

void use_hardware_device(const char* output_substring, const char* input_substring) {
  ohaudio_impl::Shared& s = ohaudio_impl::shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.output_pattern = ohaudio_impl::lower(output_substring != nullptr ? output_substring : "");
  s.input_pattern = ohaudio_impl::lower(input_substring != nullptr ? input_substring : "");
}

HardwareStats hardware_stats() {
  const ohaudio_impl::Shared& s = ohaudio_impl::shared();
  HardwareStats stats;
  stats.render_requests = s.render_requests.load();
  stats.capture_deliveries = s.capture_deliveries.load();
  stats.last_render_bytes = s.last_render_bytes.load();
  stats.last_capture_bytes = s.last_capture_bytes.load();
  stats.output_underflows = s.output_underflows.load();
  stats.output_overflows = s.output_overflows.load();
  stats.input_underflows = s.input_underflows.load();
  stats.input_overflows = s.input_overflows.load();
  stats.errors = s.errors.load();
  return stats;
}

void reset_hardware_stats() {
  ohaudio_impl::Shared& s = ohaudio_impl::shared();
  for (auto* counter : {&s.render_requests, &s.capture_deliveries, &s.output_underflows,
                        &s.output_overflows, &s.input_underflows, &s.input_overflows, &s.errors}) {
    counter->store(0);
  }
  s.last_render_bytes.store(0);
  s.last_capture_bytes.store(0);
  std::lock_guard<std::mutex> lock(s.mutex);
  s.last_error.clear();
}

HardwareStreamInfo hardware_renderer_info() {
  ohaudio_impl::Shared& s = ohaudio_impl::shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.renderer;
}

HardwareStreamInfo hardware_capturer_info() {
  ohaudio_impl::Shared& s = ohaudio_impl::shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.capturer;
}

double hardware_conversion_latency_ms() {
  ohaudio_impl::Shared& s = ohaudio_impl::shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  return std::max(s.renderer.conversion_latency_ms, s.capturer.conversion_latency_ms);
}

std::string hardware_last_error() {
  ohaudio_impl::Shared& s = ohaudio_impl::shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.last_error;
}

}  // namespace vdev
