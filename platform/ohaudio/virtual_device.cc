// The virtual audio device: renderer and capturer streams paced by the monotonic clock, the
// shared recording of everything rendered, the capture source with its acoustic echo, and the
// controls declared in virtual_device.h.
#include "ohaudio/virtual_device.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

#include "ohaudio/stream_internal.h"

namespace ohaudio_impl {
namespace {

constexpr int64_t kNsPerSec = 1000000000;
// The recording keeps its first 256 MiB and grows in steps of at least 4 MiB.
constexpr size_t kRecordingLimit = size_t{256} << 20;
constexpr size_t kRecordingStep = size_t{4} << 20;
// Played 16-bit samples for the echo path: about 10 s of 48 kHz stereo.
constexpr int64_t kTimelineSize = int64_t{1} << 20;
constexpr int64_t kTimelineEmpty = INT64_MIN / 4;
constexpr int kMaxEchoDelayMs = 5000;
constexpr int kMaxJitterMs = 1000;
// A stream that falls this many requests behind its deadlines starts counting afresh.
constexpr int kResyncRequests = 4;
// Longest single sleep of a stream thread, so that a halt is noticed quickly.
constexpr int64_t kSleepSliceNs = 5000000;

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// Sample position of a stream at monotonic time t: whole sample frames since the clock's origin
// times the channel count, so that channels stay aligned.
int64_t position_at(int64_t t_ns, const StreamConfig& config) {
  const __int128 frames = static_cast<__int128>(t_ns) * config.rate / kNsPerSec;
  return static_cast<int64_t>(frames) * config.channels;
}

int16_t load16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

void store16(uint8_t* p, int16_t v) {
  std::memcpy(p, &v, sizeof(v));
}

class VirtualStream;

// State shared by all virtual streams. `mutex` guards the recording, the capture source and the
// echo line; it is held for short copies only, never across a callback. `streams_mutex` guards
// the registry used by pumping and injection.
struct Device {
  std::mutex mutex;
  std::condition_variable requests_changed;
  std::vector<uint8_t> recording;
  std::vector<int32_t> results;
  uint64_t requests = 0;
  int32_t last_request_bytes = 0;

  std::vector<uint8_t> source;
  size_t source_pos = 0;
  bool source_loop = false;

  int echo_delay_ms = 0;
  float echo_gain = 0.0f;
  // Ring of played 16-bit samples by position (several renderers add up).
  std::vector<int32_t> timeline;
  int64_t timeline_end = kTimelineEmpty;  // one past the highest position written

  int renderer_fault = 0;
  int capturer_fault = 0;

  std::atomic<int> jitter_ms{0};
  std::atomic<bool> manual_clock{false};
  std::atomic<bool> hardware{false};
  std::atomic<uint64_t> start_sequence{0};

  std::mutex streams_mutex;
  std::condition_variable streams_unpinned;
  std::vector<VirtualStream*> streams;  // in creation order
  uint64_t next_stream_id = 1;
};

// Never destroyed: stream threads may outlive static destruction at exit.
Device& device() {
  static Device* d = new Device;
  return *d;
}

bool echo_on(const Device& d) {
  return d.echo_gain != 0.0f && !d.timeline.empty();
}

size_t slot(int64_t position) {
  return static_cast<size_t>(static_cast<uint64_t>(position) &
                             static_cast<uint64_t>(kTimelineSize - 1));
}

// Adds `len` bytes of 16-bit samples played from `position` on. d.mutex held.
void timeline_add(Device& d, int64_t position, const uint8_t* bytes, int32_t len) {
  const int64_t n = len / 2;
  if (n == 0) return;
  const int64_t end = position + n;
  if (end > d.timeline_end) {
    for (int64_t p = std::max(d.timeline_end, end - kTimelineSize); p < end; ++p) {
      d.timeline[slot(p)] = 0;
    }
    d.timeline_end = end;
  }
  for (int64_t p = std::max(position, d.timeline_end - kTimelineSize); p < end; ++p) {
    d.timeline[slot(p)] += load16(bytes + 2 * (p - position));
  }
}

// The played sample at `position`, 0 where nothing was played. d.mutex held.
int32_t timeline_at(const Device& d, int64_t position) {
  if (position >= d.timeline_end || position < d.timeline_end - kTimelineSize) return 0;
  return d.timeline[slot(position)];
}

void record_render(const StreamConfig& config, const uint8_t* buffer, int32_t len, int32_t result,
                   int64_t position) {
  Device& d = device();
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    std::vector<uint8_t>& rec = d.recording;
    if (rec.size() < kRecordingLimit) {
      const size_t take = std::min(static_cast<size_t>(len), kRecordingLimit - rec.size());
      if (rec.size() + take > rec.capacity()) {
        rec.reserve(std::min(kRecordingLimit,
                             std::max({rec.capacity() * 2, rec.size() + take, kRecordingStep})));
      }
      rec.insert(rec.end(), buffer, buffer + take);
    }
    if (d.results.size() == d.results.capacity()) {
      d.results.reserve(std::max<size_t>(4096, d.results.capacity() * 2));
    }
    d.results.push_back(result);
    ++d.requests;
    d.last_request_bytes = len;
    if (echo_on(d) && config.format == AUDIOSTREAM_SAMPLE_S16LE) {
      timeline_add(d, position, buffer, len);
    }
  }
  d.requests_changed.notify_all();
}

// Fills one capture frame that starts at `position`: source bytes, then the echo.
void fill_capture(const StreamConfig& config, uint8_t* buffer, int32_t len, int64_t position) {
  std::memset(buffer, config.silence_byte(), static_cast<size_t>(len));
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  const size_t want = static_cast<size_t>(len);
  size_t done = 0;
  while (done < want && !d.source.empty()) {
    if (d.source_pos >= d.source.size()) {
      if (!d.source_loop) break;
      d.source_pos = 0;
    }
    const size_t n = std::min(want - done, d.source.size() - d.source_pos);
    std::memcpy(buffer + done, d.source.data() + d.source_pos, n);
    d.source_pos += n;
    done += n;
  }
  if (!echo_on(d) || config.format != AUDIOSTREAM_SAMPLE_S16LE) return;
  const int64_t delay =
      static_cast<int64_t>(d.echo_delay_ms) * config.rate / 1000 * config.channels;
  const double gain = d.echo_gain;
  for (int32_t i = 0; i + 1 < len; i += 2) {
    const int32_t echo = timeline_at(d, position - delay + i / 2);
    if (echo == 0) continue;
    const double v = load16(buffer + i) + gain * echo;
    store16(buffer + i, static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0))));
  }
}

// The stream whose callback the current thread is running, if any.
thread_local const void* t_in_callback = nullptr;

class CallbackScope {
 public:
  explicit CallbackScope(const void* stream) : saved_(t_in_callback) { t_in_callback = stream; }
  ~CallbackScope() { t_in_callback = saved_; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  const void* saved_;
};

class VirtualStream final : public Stream {
 public:
  VirtualStream(const StreamConfig& config, void* handle)
      : Stream(config, handle),
        request_bytes_(config.request_bytes()),
        buffer_(static_cast<size_t>(request_bytes_)) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.streams_mutex);
    id_ = d.next_stream_id++;
    d.streams.push_back(this);
  }

  ~VirtualStream() override {
    // Release has halted the stream; wait until pumps and injections have let go of it.
    Device& d = device();
    std::unique_lock<std::mutex> lock(d.streams_mutex);
    d.streams_unpinned.wait(lock, [this] { return pins_ == 0; });
    d.streams.erase(std::find(d.streams.begin(), d.streams.end(), this));
  }

  bool is_renderer() const { return config_.is_renderer(); }
  bool runs_manually() const { return active_.load() && manual_.load(); }
  bool running() const { return active_.load(); }
  uint64_t start_sequence() const { return start_sequence_.load(); }
  uint64_t id() const { return id_; }
  int pins_ = 0;  // guarded by Device::streams_mutex

  // One request (or capture frame) at the stream's sample position, or at `anchor` when
  // `reanchor`. False when the stream is not running.
  bool run_request(bool reanchor, int64_t anchor) {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    if (!active_.load(std::memory_order_acquire)) return false;
    if (reanchor) position_ = anchor;
    CallbackScope scope(this);
    uint8_t* buffer = buffer_.data();
    if (is_renderer()) {
      std::memset(buffer, config_.silence_byte(), buffer_.size());
      int32_t result = 0;
      if (auto write = config_.renderer_callbacks.OH_AudioRenderer_OnWriteData) {
        result = write(static_cast<OH_AudioRenderer*>(handle_), config_.renderer_user, buffer,
                       request_bytes_);
      }
      record_render(config_, buffer, request_bytes_, result, position_);
    } else {
      fill_capture(config_, buffer, request_bytes_, position_);
      if (auto read = config_.capturer_callbacks.OH_AudioCapturer_OnReadData) {
        read(static_cast<OH_AudioCapturer*>(handle_), config_.capturer_user, buffer,
             request_bytes_);
      }
    }
    position_ += request_bytes_ / 2;
    return true;
  }

  // Runs `call` as a callback of this stream if it is running.
  template <typename Call>
  void deliver(Call call) {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    if (!active_.load(std::memory_order_acquire)) return;
    CallbackScope scope(this);
    call(static_cast<OH_AudioRenderer*>(handle_), config_.renderer_user,
         config_.renderer_callbacks);
  }

 protected:
  OH_AudioStream_Result do_start() override {
    // A thread halted from inside its own callback is still to be joined.
    if (thread_.joinable()) thread_.join();
    Device& d = device();
    const bool manual = d.manual_clock.load();
    manual_.store(manual);
    start_sequence_.store(++d.start_sequence);
    active_.store(true, std::memory_order_release);
    if (manual) return AUDIOSTREAM_SUCCESS;
    try {
      thread_ = std::thread(&VirtualStream::run, this);
    } catch (const std::system_error&) {
      active_.store(false);
      return AUDIOSTREAM_ERROR_SYSTEM;
    }
    return AUDIOSTREAM_SUCCESS;
  }

  void do_halt() override {
    active_.store(false, std::memory_order_release);
    if (in_own_callback()) return;  // the thread ends when the callback returns
    // A callback in progress holds the mutex; once we have it, no other can begin.
    { std::lock_guard<std::mutex> lock(callback_mutex_); }
    if (thread_.joinable()) thread_.join();
  }

  bool in_own_callback() const override { return t_in_callback == this; }

 private:
  // Time from the first request to request k.
  int64_t offset_ns(int64_t k) const {
    return static_cast<int64_t>(static_cast<__int128>(k) * request_bytes_ * kNsPerSec /
                                config_.bytes_per_second());
  }

  // Sleeps until the monotonic deadline; false when the stream is halted meanwhile.
  bool sleep_until(int64_t deadline) const {
    for (;;) {
      if (!active_.load(std::memory_order_acquire)) return false;
      const int64_t now = now_ns();
      if (now >= deadline) return true;
      const int64_t wake = std::min(deadline, now + kSleepSliceNs);
      timespec ts;
      ts.tv_sec = static_cast<time_t>(wake / kNsPerSec);
      ts.tv_nsec = static_cast<long>(wake % kNsPerSec);
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
  }

  // The stream's thread: a renderer asks at once and then every request duration; a capturer
  // delivers each frame when it has been recorded, one frame duration after it began.
  void run() {
    pthread_setname_np(pthread_self(), is_renderer() ? "vdev-render" : "vdev-capture");
    std::minstd_rand random(
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this) ^ static_cast<uint64_t>(now_ns())));
    const int64_t lead = is_renderer() ? 0 : 1;
    int64_t base = now_ns();
    int64_t k = 0;
    bool reanchor = true;
    for (;;) {
      if (!sleep_until(base + offset_ns(k + lead))) return;
      const int jitter_ms = device().jitter_ms.load(std::memory_order_relaxed);
      if (jitter_ms > 0) {
        std::uniform_int_distribution<int64_t> extra(0, int64_t{jitter_ms} * 1000000);
        if (!sleep_until(now_ns() + extra(random))) return;
      }
      if (!run_request(reanchor, reanchor ? position_at(base, config_) : 0)) return;
      reanchor = false;
      ++k;
      const int64_t now = now_ns();
      if (now - (base + offset_ns(k + lead)) > offset_ns(kResyncRequests)) {
        base = now;
        k = 0;
        reanchor = true;
      }
    }
  }

  const int32_t request_bytes_;
  std::vector<uint8_t> buffer_;  // used under callback_mutex_
  int64_t position_ = 0;         // sample position of the next request, under callback_mutex_
  std::mutex callback_mutex_;    // held while a callback of this stream runs
  std::atomic<bool> active_{false};
  std::atomic<bool> manual_{false};
  std::atomic<uint64_t> start_sequence_{0};
  std::thread thread_;  // touched under the control lock only
  uint64_t id_ = 0;
};

// Pins the most recently started running manual-clock stream of the kind, or returns null.
VirtualStream* pin_latest_manual(bool renderer) {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.streams_mutex);
  VirtualStream* best = nullptr;
  for (VirtualStream* s : d.streams) {
    if (s->is_renderer() != renderer || !s->runs_manually()) continue;
    if (best == nullptr || s->start_sequence() > best->start_sequence()) best = s;
  }
  if (best != nullptr) ++best->pins_;
  return best;
}

void unpin(VirtualStream* s) {
  Device& d = device();
  {
    std::lock_guard<std::mutex> lock(d.streams_mutex);
    --s->pins_;
  }
  d.streams_unpinned.notify_all();
}

int pump(bool renderer, int requests) {
  if (requests <= 0) return 0;
  VirtualStream* s = pin_latest_manual(renderer);
  if (s == nullptr) return 0;
  int ran = 0;
  while (ran < requests && s->run_request(false, 0)) ++ran;
  unpin(s);
  return ran;
}

// Runs `call` as a callback of each running virtual renderer in turn, holding one at a time, so
// the callback may create or release other streams.
template <typename Call>
void for_each_running_renderer(Call call) {
  Device& d = device();
  uint64_t last_id = 0;
  for (;;) {
    VirtualStream* s = nullptr;
    {
      std::lock_guard<std::mutex> lock(d.streams_mutex);
      for (VirtualStream* c : d.streams) {
        if (c->id() > last_id && c->is_renderer() && c->running()) {
          s = c;
          ++s->pins_;
          break;
        }
      }
    }
    if (s == nullptr) return;
    last_id = s->id();
    s->deliver(call);
    unpin(s);
  }
}

}  // namespace

std::unique_ptr<Stream> make_virtual_stream(const StreamConfig& config, void* handle) {
  return std::make_unique<VirtualStream>(config, handle);
}

bool hardware_selected() {
  return device().hardware.load();
}

int take_start_fault(OH_AudioStream_Type type) {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  int& fault = type == AUDIOSTREAM_TYPE_RENDERER ? d.renderer_fault : d.capturer_fault;
  return std::exchange(fault, 0);
}

}  // namespace ohaudio_impl

namespace vdev {

using ohaudio_impl::device;
using ohaudio_impl::Device;

void reset() {
  Device& d = device();
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    std::vector<uint8_t>().swap(d.recording);
    std::vector<int32_t>().swap(d.results);
    d.requests = 0;
    d.last_request_bytes = 0;
    std::vector<uint8_t>().swap(d.source);
    d.source_pos = 0;
    d.source_loop = false;
    d.echo_delay_ms = 0;
    d.echo_gain = 0.0f;
    d.timeline_end = ohaudio_impl::kTimelineEmpty;
    d.renderer_fault = 0;
    d.capturer_fault = 0;
  }
  d.jitter_ms.store(0);
  d.requests_changed.notify_all();
}

std::vector<uint8_t> rendered() {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.recording;
}

void fail_next_renderer_start(int result) {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.renderer_fault = result;
}

void fail_next_capturer_start(int result) {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.capturer_fault = result;
}

void set_capture_source(std::vector<uint8_t> pcm, bool loop) {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.source = std::move(pcm);
  d.source_pos = 0;
  d.source_loop = loop;
}

void set_echo(int delay_ms, float gain) {
  if (!std::isfinite(gain)) gain = 0.0f;
  Device& d = device();
  bool allocate = false;
  if (gain != 0.0f) {
    std::lock_guard<std::mutex> lock(d.mutex);
    allocate = d.timeline.empty();
  }
  // The echo line is allocated once, outside the lock the stream threads take.
  std::vector<int32_t> timeline;
  if (allocate) timeline.resize(ohaudio_impl::kTimelineSize);
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.timeline.empty() && !timeline.empty()) {
    d.timeline.swap(timeline);
    d.timeline_end = ohaudio_impl::kTimelineEmpty;
  }
  d.echo_delay_ms = std::clamp(delay_ms, 0, ohaudio_impl::kMaxEchoDelayMs);
  d.echo_gain = gain;
}

void use_hardware(bool on) {
  device().hardware.store(on);
}

bool hardware_available() {
#ifdef OHAUDIO_WITH_PORTAUDIO
  return true;
#else
  return false;
#endif
}

void set_manual_clock(bool on) {
  device().manual_clock.store(on);
}

int pump_render(int requests) {
  return ohaudio_impl::pump(true, requests);
}

int pump_capture(int requests) {
  return ohaudio_impl::pump(false, requests);
}

uint64_t render_requests() {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.requests;
}

std::vector<int32_t> render_results() {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.results;
}

bool wait_render_requests(uint64_t n, int timeout_ms) {
  Device& d = device();
  std::unique_lock<std::mutex> lock(d.mutex);
  return d.requests_changed.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)),
                                     [&] { return d.requests >= n; });
}

size_t rendered_size() {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.recording.size();
}

int32_t last_request_bytes() {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.last_request_bytes;
}

void inject_renderer_event(int event) {
  if (event != AUDIOSTREAM_EVENT_ROUTING_CHANGED) return;
  ohaudio_impl::for_each_running_renderer(
      [event](OH_AudioRenderer* r, void* user, const OH_AudioRenderer_Callbacks& cb) {
        if (cb.OH_AudioRenderer_OnStreamEvent) {
          cb.OH_AudioRenderer_OnStreamEvent(r, user, static_cast<OH_AudioStream_Event>(event));
        }
      });
}

void inject_renderer_interrupt(int force, int hint) {
  if (force < AUDIOSTREAM_INTERRUPT_FORCE || force > AUDIOSTREAM_INTERRUPT_SHARE ||
      hint < AUDIOSTREAM_INTERRUPT_HINT_NONE || hint > AUDIOSTREAM_INTERRUPT_HINT_UNDUCK) {
    return;
  }
  ohaudio_impl::for_each_running_renderer([force, hint](OH_AudioRenderer* r, void* user,
                                                        const OH_AudioRenderer_Callbacks& cb) {
    if (cb.OH_AudioRenderer_OnInterruptEvent) {
      cb.OH_AudioRenderer_OnInterruptEvent(r, user, static_cast<OH_AudioInterrupt_ForceType>(force),
                                           static_cast<OH_AudioInterrupt_Hint>(hint));
    }
  });
}

void inject_renderer_error(int error) {
  const OH_AudioStream_Result result = ohaudio_impl::to_result(error);
  ohaudio_impl::for_each_running_renderer(
      [result](OH_AudioRenderer* r, void* user, const OH_AudioRenderer_Callbacks& cb) {
        if (cb.OH_AudioRenderer_OnError) cb.OH_AudioRenderer_OnError(r, user, result);
      });
}

void set_callback_jitter_ms(int max_ms) {
  device().jitter_ms.store(std::clamp(max_ms, 0, ohaudio_impl::kMaxJitterMs));
}

}  // namespace vdev
