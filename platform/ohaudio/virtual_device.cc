// The virtual audio device: renderer and capturer streams paced by the monotonic clock, the
// shared recording of everything rendered, the capture source with its acoustic echo and noise
// floor, and the controls declared in virtual_device.h.
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
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

#include "ohaudio/echo_dsp.h"
#include "ohaudio/stream_internal.h"

namespace ohaudio_impl {
namespace {

constexpr int64_t kNsPerSec = 1000000000;
// The recording keeps its first 256 MiB and grows in steps of at least 4 MiB.
constexpr size_t kRecordingLimit = size_t{256} << 20;
// Callback durations are kept at 1 us resolution up to this many microseconds.
constexpr int kTimeBuckets = 4096;
constexpr size_t kRecordingStep = size_t{4} << 20;
// Played 16-bit samples of one lane of the echo path: about 10 s of 48 kHz stereo.
constexpr int64_t kTimelineSize = int64_t{1} << 20;
constexpr int64_t kTimelineEmpty = INT64_MIN / 4;
// Renderer formats (rate, channel count) heard at the same time.
constexpr size_t kMaxLanes = 4;
constexpr int kMaxEchoDelayMs = 5000;
constexpr size_t kMaxImpulseTaps = size_t{1} << 16;
// 0 dBFS: the RMS of a full-scale square wave.
constexpr double kFullScale = 32768.0;
constexpr int kMaxJitterMs = 1000;
// A stream that falls this many requests behind its deadlines, and at least kResyncNs, starts
// counting afresh (a device's buffers ride out shorter stalls of short callbacks).
constexpr int kResyncRequests = 4;
constexpr int64_t kResyncNs = 200000000;
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

// Played samples of the renderers of one format by sample position, as 16-bit values (renderers
// of the same format add up). A lane stays bound to its format until reset() or until a fifth
// format takes the least recently written one; its buffer is kept for reuse.
struct Lane {
  uint64_t id = 0;  // 0: free
  int32_t rate = 0;
  int32_t channels = 0;
  std::vector<float> ring;       // kTimelineSize samples
  int64_t end = kTimelineEmpty;  // one past the highest position written
  uint64_t last_write = 0;
};

// What a capturer needs to know of a lane to hear it.
struct LaneInfo {
  uint64_t id;
  int32_t rate;
  int32_t channels;
};

// The echo path and noise settings as one capture frame sees them.
struct EchoSettings {
  int delay_ms = 0;
  float gain = 0.0f;
  std::shared_ptr<const std::vector<float>> impulse;  // null: none
  uint64_t impulse_generation = 0;
  double noise_sigma = 0.0;  // 0: no noise
  uint32_t noise_seed = 0;
  uint64_t noise_generation = 0;
  std::vector<LaneInfo> lanes;
};

// State shared by all virtual streams. `mutex` guards the recording, the capture source, the
// echo settings and lanes; it is held for short copies only, never across a callback or the
// echo path's filtering. `streams_mutex` guards the registry used by pumping and injection.
struct Device {
  std::mutex mutex;
  std::condition_variable requests_changed;
  std::vector<uint8_t> recording;
  // Everything the capturers delivered (the microphone before any processing), first 256 MiB.
  std::vector<uint8_t> captured;
  std::vector<int32_t> results;
  uint64_t requests = 0;
  int32_t last_request_bytes = 0;

  std::vector<uint8_t> source;
  size_t source_pos = 0;
  bool source_loop = false;

  int echo_delay_ms = 0;
  float echo_gain = 0.0f;
  std::shared_ptr<const std::vector<float>> echo_impulse;
  uint64_t echo_impulse_generation = 0;
  double noise_sigma = 0.0;
  uint32_t noise_seed = 0;
  uint64_t noise_generation = 0;
  std::vector<std::unique_ptr<Lane>> lanes;
  uint64_t next_lane_id = 1;
  uint64_t lane_writes = 0;

  int renderer_fault = 0;
  int capturer_fault = 0;

  std::atomic<int> jitter_ms{0};
  std::atomic<bool> recording_on{true};
  // How long the application's data callbacks took, in microseconds (last bucket: longer).
  std::atomic<uint64_t> callback_us[2][kTimeBuckets + 1] = {};
  std::atomic<uint64_t> callback_max_us[2] = {};
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
  return d.echo_gain != 0.0f;
}

size_t slot(int64_t position) {
  return static_cast<size_t>(static_cast<uint64_t>(position) &
                             static_cast<uint64_t>(kTimelineSize - 1));
}

// Adds `len` bytes of 16-bit samples played from `position` on. d.mutex held.
void timeline_add(Lane& lane, int64_t position, const uint8_t* bytes, int32_t len) {
  const int64_t n = len / 2;
  if (n == 0) return;
  const int64_t end = position + n;
  if (end > lane.end) {
    for (int64_t p = std::max(lane.end, end - kTimelineSize); p < end; ++p) {
      lane.ring[slot(p)] = 0.0f;
    }
    lane.end = end;
  }
  for (int64_t p = std::max(position, lane.end - kTimelineSize); p < end; ++p) {
    lane.ring[slot(p)] += static_cast<float>(load16(bytes + 2 * (p - position)));
  }
}

// Copies `count` played samples from position `first` on, 0 where nothing was played. d.mutex
// held.
void timeline_read(const Lane& lane, int64_t first, int64_t count, float* out) {
  for (int64_t i = 0; i < count; ++i) {
    const int64_t p = first + i;
    out[i] = p >= lane.end || p < lane.end - kTimelineSize ? 0.0f : lane.ring[slot(p)];
  }
}

// The lane of a renderer format. When none is bound to it, binds a free lane or, with all
// kMaxLanes in use, the least recently written one; null when a new lane must be allocated
// first. d.mutex held.
Lane* lane_for(Device& d, int32_t rate, int32_t channels) {
  Lane* free_lane = nullptr;
  Lane* oldest = nullptr;
  for (const std::unique_ptr<Lane>& l : d.lanes) {
    if (l->id != 0 && l->rate == rate && l->channels == channels) return l.get();
    if (l->id == 0) {
      if (free_lane == nullptr) free_lane = l.get();
    } else if (oldest == nullptr || l->last_write < oldest->last_write) {
      oldest = l.get();
    }
  }
  Lane* lane = free_lane;
  if (lane == nullptr) {
    if (d.lanes.size() < kMaxLanes) return nullptr;
    lane = oldest;
  }
  lane->id = d.next_lane_id++;
  lane->rate = rate;
  lane->channels = channels;
  lane->end = kTimelineEmpty;
  return lane;
}

const Lane* find_lane(const Device& d, uint64_t id) {
  for (const std::unique_ptr<Lane>& l : d.lanes) {
    if (l->id == id) return l.get();
  }
  return nullptr;
}

// Appends one capture delivery to the device's microphone recording.
void record_callback_time(bool renderer, std::chrono::steady_clock::time_point t0) {
  Device& d = device();
  const int64_t us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  const size_t bucket = static_cast<size_t>(std::clamp<int64_t>(us, 0, kTimeBuckets));
  d.callback_us[renderer ? 0 : 1][bucket].fetch_add(1, std::memory_order_relaxed);
  std::atomic<uint64_t>& max = d.callback_max_us[renderer ? 0 : 1];
  uint64_t seen = max.load(std::memory_order_relaxed);
  while (static_cast<uint64_t>(us) > seen &&
         !max.compare_exchange_weak(seen, static_cast<uint64_t>(us), std::memory_order_relaxed)) {
  }
}

void record_capture(const uint8_t* buffer, int32_t len) {
  Device& d = device();
  if (!d.recording_on.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(d.mutex);
  std::vector<uint8_t>& rec = d.captured;
  if (rec.size() >= kRecordingLimit || len <= 0) return;
  const size_t take = std::min(static_cast<size_t>(len), kRecordingLimit - rec.size());
  if (rec.size() + take > rec.capacity()) {
    rec.reserve(std::min(kRecordingLimit,
                         std::max({rec.capacity() * 2, rec.size() + take, kRecordingStep})));
  }
  rec.insert(rec.end(), buffer, buffer + take);
}

void record_render(const StreamConfig& config, const uint8_t* buffer, int32_t len, int32_t result,
                   int64_t position) {
  Device& d = device();
  const bool echoes = config.format == AUDIOSTREAM_SAMPLE_S16LE;
  if (echoes) {
    // A lane's buffer is allocated once, outside the lock the other streams take.
    bool allocate = false;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      allocate = echo_on(d) && lane_for(d, config.rate, config.channels) == nullptr;
    }
    if (allocate) {
      auto lane = std::make_unique<Lane>();
      lane->ring.resize(kTimelineSize);
      std::lock_guard<std::mutex> lock(d.mutex);
      if (d.lanes.size() < kMaxLanes) d.lanes.push_back(std::move(lane));
    }
  }
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    std::vector<uint8_t>& rec = d.recording;
    if (d.recording_on.load(std::memory_order_relaxed) && rec.size() < kRecordingLimit) {
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
    if (echo_on(d) && echoes) {
      if (Lane* lane = lane_for(d, config.rate, config.channels)) {
        timeline_add(*lane, position, buffer, len);
        lane->last_write = ++d.lane_writes;
      }
    }
  }
  d.requests_changed.notify_all();
}

// One capturer's view of the echo path and its noise. The echo signal is built in the
// capturer's format, frame by frame: each lane converted (Converter), summed, filtered by the
// impulse response (one Convolver per channel), and kept until the frames that need it are
// captured. Frames are indexed on the capturer's sample clock; the delay is applied by reading
// them delay frames earlier. Used under the stream's callback mutex only.
class EchoPath {
 public:
  // Mixes echo and noise into one frame of 16-bit samples captured from sample `position` on.
  void mix(const StreamConfig& config, uint8_t* buffer, int32_t len, int64_t position,
           const EchoSettings& s) {
    const int64_t n = len / 2;
    if (n == 0) return;
    const bool with_echo = s.gain != 0.0f && !s.lanes.empty();
    const bool with_noise = s.noise_sigma > 0.0;
    if (!with_echo) primed_ = false;  // begins afresh when it is heard again
    if (!with_echo && !with_noise) return;
    echo_.assign(static_cast<size_t>(n), 0.0f);
    if (with_echo) {
      const int64_t delay = static_cast<int64_t>(s.delay_ms) * config.rate / 1000;
      build(config, s, position - delay * config.channels, n);
    }
    if (with_noise && noise_generation_ != s.noise_generation) {
      noise_.seed(s.noise_seed);
      noise_generation_ = s.noise_generation;
    }
    const double gain = s.gain;
    for (int64_t i = 0; i < n; ++i) {
      double v = load16(buffer + 2 * i) + gain * echo_[static_cast<size_t>(i)];
      if (with_noise) v += s.noise_sigma * noise_.next();
      store16(buffer + 2 * i, static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0))));
    }
  }

 private:
  struct Input {
    uint64_t lane_id;
    int32_t channels;
    std::unique_ptr<Converter> converter;
    std::vector<float> samples;  // lane frames from converter->next_input() on
    int64_t frames = 0;
  };

  // Fills echo_ with the echo signal's samples from sample position `first` on (n of them).
  void build(const StreamConfig& config, const EchoSettings& s, int64_t first, int64_t n) {
    const int ch = config.channels;
    follow(config, s);
    const int64_t frame_lo = floor_div(first, ch);
    const int64_t frame_hi = floor_div(first + n - 1, ch) + 1;
    // The filter's history that a fresh start must rebuild.
    const int64_t history = convolvers_.empty() ? 0 : static_cast<int64_t>(taps_) - 1;
    if (!primed_ || frame_lo < y_first_ || frame_lo - next_ > history) {
      next_ = frame_lo - history;
      y_first_ = next_;
      y_.clear();
      for (auto& c : convolvers_) c->reset();
      for (Input& in : inputs_) in.converter->seek(next_);
      primed_ = true;
    }
    const int64_t need = frame_hi - next_;
    if (need > 0) {
      for (Input& in : inputs_) {
        in.frames = in.converter->input_bound(need);
        in.samples.resize(static_cast<size_t>(in.frames * in.channels));
      }
      {
        Device& d = device();
        std::lock_guard<std::mutex> lock(d.mutex);
        for (Input& in : inputs_) {
          const Lane* lane = find_lane(d, in.lane_id);
          if (lane != nullptr) {
            timeline_read(*lane, in.converter->next_input() * in.channels, in.frames * in.channels,
                          in.samples.data());
          } else {
            std::fill(in.samples.begin(), in.samples.end(), 0.0f);
          }
        }
      }
      const size_t old = y_.size();
      y_.resize(old + static_cast<size_t>(need * ch), 0.0f);
      float* e = y_.data() + old;
      for (Input& in : inputs_) in.converter->run_add(in.samples.data(), in.frames, e, need);
      if (!convolvers_.empty()) {
        mono_.resize(static_cast<size_t>(need));
        for (int c = 0; c < ch; ++c) {
          for (int64_t f = 0; f < need; ++f) mono_[static_cast<size_t>(f)] = e[f * ch + c];
          convolvers_[static_cast<size_t>(c)]->process(mono_.data(), mono_.data(),
                                                       static_cast<size_t>(need));
          for (int64_t f = 0; f < need; ++f) e[f * ch + c] = mono_[static_cast<size_t>(f)];
        }
      }
      next_ = frame_hi;
    }
    if (frame_lo > y_first_) {
      y_.erase(y_.begin(), y_.begin() + static_cast<long>((frame_lo - y_first_) * ch));
      y_first_ = frame_lo;
    }
    const int64_t base = y_first_ * ch;
    for (int64_t i = 0; i < n; ++i) {
      echo_[static_cast<size_t>(i)] = y_[static_cast<size_t>(first + i - base)];
    }
  }

  // Takes up a changed impulse response or set of lanes; either starts the echo afresh.
  void follow(const StreamConfig& config, const EchoSettings& s) {
    if (s.impulse_generation != impulse_generation_) {
      impulse_generation_ = s.impulse_generation;
      convolvers_.clear();
      taps_ = 0;
      if (s.impulse != nullptr && !s.impulse->empty()) {
        taps_ = s.impulse->size();
        for (int c = 0; c < config.channels; ++c) {
          convolvers_.push_back(std::make_unique<Convolver>(*s.impulse));
        }
      }
      primed_ = false;
    }
    bool same = s.lanes.size() == inputs_.size();
    for (size_t i = 0; same && i < inputs_.size(); ++i) same = s.lanes[i].id == inputs_[i].lane_id;
    if (same) return;
    std::vector<Input> inputs;
    for (const LaneInfo& lane : s.lanes) {
      auto kept = std::find_if(inputs_.begin(), inputs_.end(),
                               [&](const Input& in) { return in.lane_id == lane.id; });
      if (kept != inputs_.end()) {
        inputs.push_back(std::move(*kept));
      } else {
        inputs.push_back(
            {lane.id,
             lane.channels,
             std::make_unique<Converter>(lane.rate, lane.channels, config.rate, config.channels),
             {},
             0});
      }
    }
    inputs_ = std::move(inputs);
    primed_ = false;
  }

  std::vector<Input> inputs_;
  std::vector<std::unique_ptr<Convolver>> convolvers_;
  size_t taps_ = 0;
  uint64_t impulse_generation_ = 0;
  bool primed_ = false;
  int64_t next_ = 0;      // next frame of the echo signal to make
  int64_t y_first_ = 0;   // frame of y_[0]
  std::vector<float> y_;  // echo signal frames y_first_ .. next_, interleaved
  std::vector<float> echo_;
  std::vector<float> mono_;
  GaussianNoise noise_;
  uint64_t noise_generation_ = 0;
};

// Fills one capture frame that starts at `position`: source bytes, then echo and noise.
void fill_capture(const StreamConfig& config, uint8_t* buffer, int32_t len, int64_t position,
                  EchoPath& path, EchoSettings& settings) {
  std::memset(buffer, config.silence_byte(), static_cast<size_t>(len));
  Device& d = device();
  {
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
    settings.delay_ms = d.echo_delay_ms;
    settings.gain = d.echo_gain;
    settings.impulse = d.echo_impulse;
    settings.impulse_generation = d.echo_impulse_generation;
    settings.noise_sigma = d.noise_sigma;
    settings.noise_seed = d.noise_seed;
    settings.noise_generation = d.noise_generation;
    settings.lanes.clear();
    for (const std::unique_ptr<Lane>& l : d.lanes) {
      if (l->id != 0) settings.lanes.push_back({l->id, l->rate, l->channels});
    }
  }
  if (config.format != AUDIOSTREAM_SAMPLE_S16LE) return;
  path.mix(config, buffer, len, position, settings);
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
        const auto t0 = std::chrono::steady_clock::now();
        result = write(static_cast<OH_AudioRenderer*>(handle_), config_.renderer_user, buffer,
                       request_bytes_);
        record_callback_time(true, t0);
      }
      record_render(config_, buffer, request_bytes_, result, position_);
    } else {
      fill_capture(config_, buffer, request_bytes_, position_, echo_path_, echo_settings_);
      record_capture(buffer, request_bytes_);
      if (auto read = config_.capturer_callbacks.OH_AudioCapturer_OnReadData) {
        const auto t0 = std::chrono::steady_clock::now();
        read(static_cast<OH_AudioCapturer*>(handle_), config_.capturer_user, buffer,
             request_bytes_);
        record_callback_time(false, t0);
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
    call(handle_, config_);
  }

  // A FORCE interruption: the system pauses or stops the stream, then runs `call` as a callback
  // of it, so the application hears of it with the stream already in its new state.
  template <typename Call>
  void deliver_after_halt(OH_AudioStream_State to, Call call) {
    force_halt(to, [&] {
      std::lock_guard<std::mutex> lock(callback_mutex_);
      CallbackScope scope(this);
      call(handle_, config_);
    });
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
      if (now - (base + offset_ns(k + lead)) > std::max(offset_ns(kResyncRequests), kResyncNs)) {
        base = now;
        k = 0;
        reanchor = true;
      }
    }
  }

  const int32_t request_bytes_;
  std::vector<uint8_t> buffer_;  // used under callback_mutex_
  EchoPath echo_path_;           // capturers, under callback_mutex_
  EchoSettings echo_settings_;   // capturers, under callback_mutex_
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

// Runs `visit(stream)` for each running virtual renderer (capturer) in turn, holding one at a
// time (pinned, so it is not destroyed meanwhile), so the callbacks it runs may create or release
// other streams.
template <typename Visit>
void for_each_running(bool renderer, Visit visit) {
  Device& d = device();
  uint64_t last_id = 0;
  for (;;) {
    VirtualStream* s = nullptr;
    {
      std::lock_guard<std::mutex> lock(d.streams_mutex);
      for (VirtualStream* c : d.streams) {
        if (c->id() > last_id && c->is_renderer() == renderer && c->running()) {
          s = c;
          ++s->pins_;
          break;
        }
      }
    }
    if (s == nullptr) return;
    last_id = s->id();
    visit(s);
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
    std::vector<uint8_t>().swap(d.captured);
    std::vector<int32_t>().swap(d.results);
    d.requests = 0;
    d.last_request_bytes = 0;
    std::vector<uint8_t>().swap(d.source);
    d.source_pos = 0;
    d.source_loop = false;
    d.echo_delay_ms = 0;
    d.echo_gain = 0.0f;
    d.echo_impulse.reset();
    ++d.echo_impulse_generation;
    d.noise_sigma = 0.0;
    d.noise_seed = 0;
    ++d.noise_generation;
    for (const std::unique_ptr<ohaudio_impl::Lane>& l : d.lanes) l->id = 0;
    d.renderer_fault = 0;
    d.capturer_fault = 0;
  }
  d.jitter_ms.store(0);
  ohaudio_impl::reset_platform_choices();
  for (auto& direction : d.callback_us) {
    for (auto& bucket : direction) bucket.store(0);
  }
  for (auto& max : d.callback_max_us) max.store(0);
  d.requests_changed.notify_all();
}

void set_recording(bool on) {
  device().recording_on.store(on);
}

CallbackTimes callback_times(bool renderer) {
  Device& d = device();
  const auto& buckets = d.callback_us[renderer ? 0 : 1];
  std::vector<uint64_t> counts(std::size(buckets));
  CallbackTimes t;
  for (size_t i = 0; i < counts.size(); ++i) {
    counts[i] = buckets[i].load(std::memory_order_relaxed);
    t.count += counts[i];
  }
  t.max_us = static_cast<double>(d.callback_max_us[renderer ? 0 : 1].load());
  if (t.count == 0) return t;
  // The smallest duration that at least the fraction `q` of the callbacks did not exceed.
  auto percentile = [&](double q) {
    const double wanted = q * static_cast<double>(t.count);
    uint64_t seen = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
      seen += counts[i];
      if (static_cast<double>(seen) >= wanted) return static_cast<double>(i);
    }
    return static_cast<double>(counts.size() - 1);
  };
  t.p50_us = percentile(0.5);
  t.p99_us = percentile(0.99);
  t.p999_us = percentile(0.999);
  return t;
}

std::vector<uint8_t> rendered() {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.recording;
}

std::vector<uint8_t> captured() {
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.captured;
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
  std::lock_guard<std::mutex> lock(d.mutex);
  d.echo_delay_ms = std::clamp(delay_ms, 0, ohaudio_impl::kMaxEchoDelayMs);
  d.echo_gain = gain;
}

bool set_echo_impulse_response(std::vector<float> ir) {
  if (ir.size() > ohaudio_impl::kMaxImpulseTaps) return false;
  if (!std::all_of(ir.begin(), ir.end(), [](float v) { return std::isfinite(v); })) return false;
  std::shared_ptr<const std::vector<float>> impulse;
  if (!ir.empty()) impulse = std::make_shared<const std::vector<float>>(std::move(ir));
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.echo_impulse = std::move(impulse);  // the old one is freed by the last capturer using it
  ++d.echo_impulse_generation;
  return true;
}

std::vector<float> room_impulse_response(int rate, int length_ms, int rt60_ms, float drr_db,
                                         uint32_t seed) {
  return ohaudio_impl::make_room_response(rate, length_ms, rt60_ms, drr_db, seed,
                                          ohaudio_impl::kMaxImpulseTaps);
}

bool set_capture_noise(float rms_dbfs, uint32_t seed) {
  if (std::isnan(rms_dbfs) || rms_dbfs > 0.0f) return false;
  const double sigma = ohaudio_impl::kFullScale * std::pow(10.0, double{rms_dbfs} / 20.0);
  Device& d = device();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.noise_sigma = sigma;
  d.noise_seed = seed;
  ++d.noise_generation;
  return true;
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

namespace {

bool valid_interrupt(int force, int hint) {
  return force >= AUDIOSTREAM_INTERRUPT_FORCE && force <= AUDIOSTREAM_INTERRUPT_SHARE &&
         hint >= AUDIOSTREAM_INTERRUPT_HINT_NONE && hint <= AUDIOSTREAM_INTERRUPT_HINT_UNDUCK;
}

// What OnError hears: the platform never reports success as an error, so a code it does not
// define as an error (0 included) arrives as AUDIOSTREAM_ERROR_SYSTEM.
OH_AudioStream_Result error_result(int error) {
  const OH_AudioStream_Result r = ohaudio_impl::to_result(error);
  return r == AUDIOSTREAM_SUCCESS ? AUDIOSTREAM_ERROR_SYSTEM : r;
}

// Calls one of the event callbacks (`On` picks it from the renderer's or the capturer's set) of
// every running virtual stream of that kind. A FORCE pause or stop halts each stream first.
template <bool kRenderer, typename On, typename... Args>
void inject_halting(OH_AudioStream_State halt_to, On on, Args... args) {
  auto call = [&](void* h, const ohaudio_impl::StreamConfig& c) {
    if constexpr (kRenderer) {
      if (auto f = on(c.renderer_callbacks))
        f(static_cast<OH_AudioRenderer*>(h), c.renderer_user, args...);
    } else {
      if (auto f = on(c.capturer_callbacks))
        f(static_cast<OH_AudioCapturer*>(h), c.capturer_user, args...);
    }
  };
  ohaudio_impl::for_each_running(kRenderer, [&](ohaudio_impl::VirtualStream* s) {
    if (halt_to == AUDIOSTREAM_STATE_RUNNING) {
      s->deliver(call);
    } else {
      s->deliver_after_halt(halt_to, call);
    }
  });
}

template <bool kRenderer, typename On, typename... Args>
void inject(On on, Args... args) {
  inject_halting<kRenderer>(AUDIOSTREAM_STATE_RUNNING, on, args...);
}

// The state a FORCE interruption leaves the stream in: paused or stopped for those hints, else
// running (the platform has already ducked or unducked the volume; a resume hint is for the
// application to act on).
OH_AudioStream_State state_after(int force, int hint) {
  if (force != AUDIOSTREAM_INTERRUPT_FORCE) return AUDIOSTREAM_STATE_RUNNING;
  if (hint == AUDIOSTREAM_INTERRUPT_HINT_PAUSE) return AUDIOSTREAM_STATE_PAUSED;
  if (hint == AUDIOSTREAM_INTERRUPT_HINT_STOP) return AUDIOSTREAM_STATE_STOPPED;
  return AUDIOSTREAM_STATE_RUNNING;
}

}  // namespace

void inject_renderer_event(int event) {
  if (event != AUDIOSTREAM_EVENT_ROUTING_CHANGED) return;
  inject<true>(
      [](const OH_AudioRenderer_Callbacks& cb) { return cb.OH_AudioRenderer_OnStreamEvent; },
      static_cast<OH_AudioStream_Event>(event));
}

void inject_renderer_interrupt(int force, int hint) {
  if (!valid_interrupt(force, hint)) return;
  inject_halting<true>(
      state_after(force, hint),
      [](const OH_AudioRenderer_Callbacks& cb) { return cb.OH_AudioRenderer_OnInterruptEvent; },
      static_cast<OH_AudioInterrupt_ForceType>(force), static_cast<OH_AudioInterrupt_Hint>(hint));
}

void inject_renderer_error(int error) {
  inject<true>([](const OH_AudioRenderer_Callbacks& cb) { return cb.OH_AudioRenderer_OnError; },
               error_result(error));
}

void inject_capturer_event(int event) {
  if (event != AUDIOSTREAM_EVENT_ROUTING_CHANGED) return;
  inject<false>(
      [](const OH_AudioCapturer_Callbacks& cb) { return cb.OH_AudioCapturer_OnStreamEvent; },
      static_cast<OH_AudioStream_Event>(event));
}

void inject_capturer_interrupt(int force, int hint) {
  if (!valid_interrupt(force, hint)) return;
  inject_halting<false>(
      state_after(force, hint),
      [](const OH_AudioCapturer_Callbacks& cb) { return cb.OH_AudioCapturer_OnInterruptEvent; },
      static_cast<OH_AudioInterrupt_ForceType>(force), static_cast<OH_AudioInterrupt_Hint>(hint));
}

void inject_capturer_error(int error) {
  inject<false>([](const OH_AudioCapturer_Callbacks& cb) { return cb.OH_AudioCapturer_OnError; },
                error_result(error));
}

void set_callback_jitter_ms(int max_ms) {
  device().jitter_ms.store(std::clamp(max_ms, 0, ohaudio_impl::kMaxJitterMs));
}

}  // namespace vdev
