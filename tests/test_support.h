// Helpers shared by the playback suites.
#ifndef TESTS_TEST_SUPPORT_H
#define TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <ohaudio/virtual_device.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "audio/aec.h"
#include "sonora/body.h"
#include "sonora/handler.h"
#include "sonora/types.h"

namespace testing_support {

// Records every event with the thread that handled it.
class RecordingHandler : public utils::Handler {
 public:
  struct Event {
    int what, arg1, arg2;
    void* obj;
    std::thread::id thread;
  };

  // handle() uses the members below: stop the loop before they are destroyed.
  ~RecordingHandler() override { stop(); }

  bool handle(int what, int arg1, int arg2, void* obj) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({what, arg1, arg2, obj, std::this_thread::get_id()});
    cv_.notify_all();
    return true;
  }

  // Waits until at least `n` events arrived; false on timeout.
  bool wait_for(size_t n, int timeout_ms = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return events_.size() >= n; });
  }

  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  size_t count(int arg1, int arg2) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& e : events_) n += (e.arg1 == arg1 && e.arg2 == arg2) ? 1 : 0;
    return n;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

// Tests on the virtual device: the device is reset before and after each test and runs on the
// clock given (manual: requests run only when a test pumps them).
template <bool kManualClock>
class VirtualDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vdev::use_hardware(false);
    vdev::set_manual_clock(kManualClock);
    vdev::reset();
  }
  void TearDown() override {
    vdev::set_manual_clock(false);
    vdev::reset();
  }
};
using ManualClockTest = VirtualDeviceTest<true>;
using RealClockTest = VirtualDeviceTest<false>;

inline sonora::audio::Suit pcm_suit(int rate, int channels, int bits, size_t block,
                                    int buffer_frame_count = 3) {
  sonora::audio::Suit s;
  std::memset(&s, 0, sizeof(s));
  s.type = sonora::audio::kTypeRawPCM;
  s.sample_rate = rate;
  s.channel_per_frame = channels;
  s.bit_per_channel = bits;
  s.block = block;
  s.buffer_frame_count = buffer_frame_count;
  return s;
}

// Waits until `pred` holds; false on timeout.
template <typename Pred>
bool eventually(Pred pred, int timeout_ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Linux thread state from /proc: 'S' while the thread is blocked in a wait.
inline char thread_state(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/self/task/%d/stat", static_cast<int>(tid));
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return '?';
  char buf[512] = {0};
  size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  const char* close = std::strrchr(buf, ')');
  return close != nullptr && close[1] == ' ' ? close[2] : '?';
}

// Speech-like far end: noise shaped by a slowly varying envelope, with syllable-rate pauses. The
// last half second is loud to its end, so that an echo is still arriving when a playback queue
// runs dry.
inline std::vector<int16_t> speech_like(int rate, double seconds, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  const size_t n = static_cast<size_t>(rate * seconds);
  std::vector<int16_t> out(n);
  double lp = 0, lp2 = 0;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double env = t > seconds - 0.5 ? 0.8
                                         : std::max(0.0, std::sin(2 * 3.14159265 * 3.0 * t)) *
                                               (0.6 + 0.4 * std::sin(2 * 3.14159265 * 0.7 * t));
    lp = 0.7 * lp + 0.3 * noise(rng);
    lp2 = 0.8 * lp2 + 0.2 * lp;
    out[i] = static_cast<int16_t>(std::clamp(lp2 * 40000.0 * env, -32767.0, 32767.0));
  }
  return out;
}

// Energy of s[from, to).
inline double energy(const std::vector<int16_t>& s, size_t from, size_t to) {
  double e = 0;
  for (size_t i = from; i < to && i < s.size(); ++i) e += static_cast<double>(s[i]) * s[i];
  return e;
}

// Puts `canceller` in the place of the body's own (the body releases it) and returns it.
template <class Canceller>
Canceller* replace_canceller(sonora::Body* body, Canceller* canceller) {
  delete body->aec_;
  body->aec_ = canceller;
  return canceller;
}

}  // namespace testing_support

#endif  // TESTS_TEST_SUPPORT_H
