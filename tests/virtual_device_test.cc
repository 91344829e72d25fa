#include <gtest/gtest.h>
#include <ohaudio/native_audiocapturer.h>
#include <ohaudio/native_audiorenderer.h>
#include <ohaudio/native_audiostreambuilder.h>
#include <ohaudio/virtual_device.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using std::chrono::milliseconds;
using testing_support::eventually;

// What a test renderer does per request, and what it saw.
struct Player {
  enum Mode { kPattern, kAlternate, kSlow, kPauseOnThird, kScript };
  std::atomic<Mode> mode{kPattern};
  uint8_t fill = 0xAB;  // what kAlternate writes into even requests
  OH_AudioRenderer* self = nullptr;
  std::atomic<int> calls{0};
  std::atomic<int> finished{0};
  std::atomic<bool> in_callback{false};
  std::atomic<bool> wrong_length{false};
  int32_t expected_length = 0;
  // Touched only by the callback, or after the stream has stopped.
  uint32_t seed = 1;
  std::vector<uint8_t> written;
  std::vector<std::thread::id> threads;
  std::vector<int16_t> script;  // what kScript plays, then silence
  size_t script_pos = 0;
};

int32_t on_write(OH_AudioRenderer*, void* user, void* buffer, int32_t length) {
  auto* p = static_cast<Player*>(user);
  p->in_callback = true;
  const int index = p->calls++;
  if (length != p->expected_length) p->wrong_length = true;
  auto* bytes = static_cast<uint8_t*>(buffer);
  p->threads.push_back(std::this_thread::get_id());
  switch (p->mode.load()) {
    case Player::kPattern:
      for (int32_t i = 0; i < length; ++i) {
        p->seed = p->seed * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(p->seed >> 16);
      }
      break;
    case Player::kAlternate:
      if (index % 2 == 0) std::memset(bytes, p->fill, static_cast<size_t>(length));
      break;
    case Player::kSlow:
      std::this_thread::sleep_for(milliseconds(50));
      break;
    case Player::kPauseOnThird:
      if (index == 2) {
        EXPECT_EQ(OH_AudioRenderer_Pause(p->self), AUDIOSTREAM_SUCCESS);
      }
      break;
    case Player::kScript:
      for (int32_t i = 0; i + 1 < length && p->script_pos < p->script.size(); i += 2) {
        std::memcpy(bytes + i, &p->script[p->script_pos++], 2);
      }
      break;
  }
  p->written.insert(p->written.end(), bytes, bytes + length);
  ++p->finished;
  p->in_callback = false;
  return index * 10 - 5;
}

// A builder for 16-bit streams of the given format; `frames` per renderer request as the
// application asks (0: not set).
OH_AudioStreamBuilder* make_builder(OH_AudioStream_Type type, int32_t rate, int32_t channels,
                                    int32_t frames) {
  OH_AudioStreamBuilder* b = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_Create(&b, type), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(b, rate), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioStreamBuilder_SetChannelCount(b, channels), AUDIOSTREAM_SUCCESS);
  if (frames > 0) {
    EXPECT_EQ(OH_AudioStreamBuilder_SetFrameSizeInCallback(b, frames), AUDIOSTREAM_SUCCESS);
  }
  return b;
}

// A renderer whose requests hold `request_ms` of audio (0: the default 20 ms): asked of the
// builder within 20 .. 100 ms, chosen by the platform otherwise.
OH_AudioRenderer* make_renderer(Player* p, int32_t rate, int32_t channels, int32_t request_ms) {
  const bool asked = request_ms == 0 || (request_ms >= 20 && request_ms <= 100);
  if (!asked) vdev::set_platform_request_ms(request_ms);
  OH_AudioStreamBuilder* b =
      make_builder(AUDIOSTREAM_TYPE_RENDERER, rate, channels, asked ? rate * request_ms / 1000 : 0);
  OH_AudioRenderer_Callbacks cb = {on_write, nullptr, nullptr, nullptr};
  EXPECT_EQ(OH_AudioStreamBuilder_SetRendererCallback(b, cb, p), AUDIOSTREAM_SUCCESS);
  OH_AudioRenderer* r = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateRenderer(b, &r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), AUDIOSTREAM_SUCCESS);
  vdev::set_platform_request_ms(0);
  p->self = r;
  p->expected_length = rate * (request_ms > 0 ? request_ms : 20) / 1000 * channels * 2;
  return r;
}

OH_AudioStream_State state_of(OH_AudioRenderer* r) {
  OH_AudioStream_State s = AUDIOSTREAM_STATE_INVALID;
  EXPECT_EQ(OH_AudioRenderer_GetCurrentState(r, &s), AUDIOSTREAM_SUCCESS);
  return s;
}

struct Recorder {
  std::mutex mutex;
  std::vector<uint8_t> bytes;
  std::vector<int32_t> lengths;
  size_t frames() {
    std::lock_guard<std::mutex> lock(mutex);
    return lengths.size();
  }
};

int32_t on_read(OH_AudioCapturer*, void* user, void* buffer, int32_t length) {
  auto* rec = static_cast<Recorder*>(user);
  std::lock_guard<std::mutex> lock(rec->mutex);
  rec->lengths.push_back(length);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  rec->bytes.insert(rec->bytes.end(), bytes, bytes + length);
  return 0;
}

// A capturer delivering `callback_ms` of audio per callback (0: the default 20 ms), the size the
// platform picks; the frame size the builder is given is ignored.
OH_AudioCapturer* make_capturer(Recorder* rec, int32_t rate, int32_t callback_ms,
                                int32_t channels = 1) {
  vdev::set_capture_callback_ms(callback_ms);
  OH_AudioStreamBuilder* b = make_builder(AUDIOSTREAM_TYPE_CAPTURER, rate, channels, 4321);
  EXPECT_EQ(OH_AudioStreamBuilder_SetCapturerInfo(b, AUDIOSTREAM_SOURCE_TYPE_VOICE_COMMUNICATION),
            AUDIOSTREAM_SUCCESS);
  OH_AudioCapturer_Callbacks cb = {on_read, nullptr, nullptr, nullptr};
  EXPECT_EQ(OH_AudioStreamBuilder_SetCapturerCallback(b, cb, rec), AUDIOSTREAM_SUCCESS);
  OH_AudioCapturer* c = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateCapturer(b, &c), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), AUDIOSTREAM_SUCCESS);
  vdev::set_capture_callback_ms(0);
  return c;
}

std::vector<int16_t> as_samples(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> out(bytes.size() / 2);
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

class VirtualDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    vdev::set_manual_clock(false);
    vdev::use_hardware(false);
  }
  void TearDown() override {
    vdev::set_manual_clock(false);
    vdev::use_hardware(false);
    vdev::reset();
  }
};

TEST_F(VirtualDevice, RequestsFollowThePlatformsSizeRulesAndAreRecordedExactly) {
  // Frames asked of the builder, clamped to 20 .. 100 ms; or the platform's own choice.
  struct Case {
    int32_t rate, channels, frames, platform_ms, expected_bytes;
  };
  for (const Case& c : {
           Case{16000, 1, 500, 0, 1000},   // 31.25 ms, as asked
           Case{16000, 1, 320, 0, 640},    // 20 ms: the lower bound
           Case{16000, 1, 319, 0, 640},    // below it: clamped up
           Case{16000, 1, 1600, 0, 3200},  // 100 ms: the upper bound
           Case{16000, 1, 1601, 0, 3200},  // above it: clamped down
           Case{16000, 1, 0, 0, 640},      // not asked: 20 ms
           Case{48000, 2, 0, 0, 3840},     // 20 ms of stereo
           Case{48000, 2, 1920, 0, 7680},  // frames count both channels once
           Case{16000, 1, 320, 40, 1280},  // the platform picks 40 ms
           Case{16000, 1, 320, 10, 320},   // ... or 10 ms, below what an app may ask
       }) {
    SCOPED_TRACE(testing::Message() << c.rate << "x" << c.channels << ", " << c.frames
                                    << " frames, platform " << c.platform_ms << " ms");
    vdev::reset();
    vdev::set_platform_request_ms(c.platform_ms);
    Player p;
    OH_AudioStreamBuilder* b =
        make_builder(AUDIOSTREAM_TYPE_RENDERER, c.rate, c.channels, c.frames);
    OH_AudioRenderer_Callbacks cb = {on_write, nullptr, nullptr, nullptr};
    EXPECT_EQ(OH_AudioStreamBuilder_SetRendererCallback(b, cb, &p), AUDIOSTREAM_SUCCESS);
    OH_AudioRenderer* r = nullptr;
    EXPECT_EQ(OH_AudioStreamBuilder_GenerateRenderer(b, &r), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), AUDIOSTREAM_SUCCESS);
    p.self = r;
    p.expected_length = c.expected_bytes;
    ASSERT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
    ASSERT_TRUE(vdev::wait_render_requests(4, 5000));
    EXPECT_EQ(OH_AudioRenderer_Stop(r), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(OH_AudioRenderer_Release(r), AUDIOSTREAM_SUCCESS);

    const int n = p.calls.load();
    EXPECT_FALSE(p.wrong_length);
    EXPECT_EQ(vdev::last_request_bytes(), c.expected_bytes);
    EXPECT_EQ(vdev::render_requests(), static_cast<uint64_t>(n));
    EXPECT_EQ(vdev::rendered_size(), static_cast<size_t>(n) * c.expected_bytes);
    EXPECT_TRUE(vdev::rendered() == p.written) << "recording differs from what was written";
    std::vector<int32_t> want;
    for (int i = 0; i < n; ++i) want.push_back(i * 10 - 5);
    EXPECT_EQ(vdev::render_results(), want);
  }
}

TEST_F(VirtualDevice, ConcurrentRenderersAppendWholeRequests) {
  Player a, b;
  a.mode = b.mode = Player::kAlternate;
  b.fill = 0x5C;
  OH_AudioRenderer* ra = make_renderer(&a, 16000, 1, 5);  // 160 bytes
  OH_AudioRenderer* rb = make_renderer(&b, 16000, 1, 5);
  ASSERT_EQ(OH_AudioRenderer_Start(ra), AUDIOSTREAM_SUCCESS);
  ASSERT_EQ(OH_AudioRenderer_Start(rb), AUDIOSTREAM_SUCCESS);
  ASSERT_TRUE(vdev::wait_render_requests(40, 5000));
  EXPECT_EQ(OH_AudioRenderer_Release(ra), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioRenderer_Release(rb), AUDIOSTREAM_SUCCESS);
  const std::vector<uint8_t> rec = vdev::rendered();
  ASSERT_EQ(rec.size(), static_cast<size_t>(a.calls + b.calls) * 160);
  for (size_t off = 0; off < rec.size(); off += 160) {
    const auto first = rec.begin() + static_cast<long>(off);
    ASSERT_TRUE(std::all_of(first, first + 160, [&](uint8_t v) { return v == *first; }))
        << "request at byte " << off << " was interleaved with another";
  }
}

TEST_F(VirtualDevice, NoCallbackAfterPauseStopOrRelease) {
  Player p;
  OH_AudioRenderer* r = make_renderer(&p, 16000, 1, 10);
  EXPECT_EQ(state_of(r), AUDIOSTREAM_STATE_PREPARED);
  ASSERT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_ERROR_ILLEGAL_STATE);
  ASSERT_TRUE(eventually([&] { return p.calls >= 3; }));

  // Pause holds requests back until the next Start.
  ASSERT_EQ(OH_AudioRenderer_Pause(r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(state_of(r), AUDIOSTREAM_STATE_PAUSED);
  int paused_at = p.calls;
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(p.calls, paused_at);
  ASSERT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
  EXPECT_TRUE(eventually([&] { return p.calls > paused_at + 2; }));

  // Stop waits for a callback in progress.
  p.mode = Player::kSlow;
  ASSERT_TRUE(eventually([&] { return p.in_callback.load(); }));
  ASSERT_EQ(OH_AudioRenderer_Stop(r), AUDIOSTREAM_SUCCESS);
  EXPECT_FALSE(p.in_callback);
  EXPECT_EQ(p.finished, p.calls);
  EXPECT_EQ(state_of(r), AUDIOSTREAM_STATE_STOPPED);
  int stopped_at = p.calls;
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(p.calls, stopped_at);
  EXPECT_EQ(OH_AudioRenderer_Stop(r), AUDIOSTREAM_ERROR_ILLEGAL_STATE);
  EXPECT_EQ(OH_AudioRenderer_Flush(r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioRenderer_Flush(r), AUDIOSTREAM_SUCCESS);

  // So does Release, straight from running.
  ASSERT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
  ASSERT_TRUE(eventually([&] { return p.calls > stopped_at && p.in_callback.load(); }));
  ASSERT_EQ(OH_AudioRenderer_Release(r), AUDIOSTREAM_SUCCESS);
  EXPECT_FALSE(p.in_callback);
  const int released_at = p.calls;
  EXPECT_EQ(p.finished, released_at);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(p.calls, released_at);

  // A callback that pauses its own stream neither deadlocks nor gets another request.
  Player q;
  q.mode = Player::kPauseOnThird;
  OH_AudioRenderer* r2 = make_renderer(&q, 16000, 1, 10);
  ASSERT_EQ(OH_AudioRenderer_Start(r2), AUDIOSTREAM_SUCCESS);
  ASSERT_TRUE(eventually([&] { return state_of(r2) == AUDIOSTREAM_STATE_PAUSED; }));
  std::this_thread::sleep_for(milliseconds(60));
  EXPECT_EQ(q.calls, 3);
  q.mode = Player::kPattern;
  ASSERT_EQ(OH_AudioRenderer_Start(r2), AUDIOSTREAM_SUCCESS);
  EXPECT_TRUE(eventually([&] { return q.calls > 4; }));
  EXPECT_EQ(OH_AudioRenderer_Release(r2), AUDIOSTREAM_SUCCESS);
}

TEST_F(VirtualDevice, ManualClockRunsRequestsOnTheCallingThread) {
  vdev::set_manual_clock(true);
  EXPECT_EQ(vdev::pump_render(3), 0);  // nothing running

  // Each request starts out silent, whatever the one before held.
  Player z;
  z.mode = Player::kAlternate;
  OH_AudioRenderer* rz = make_renderer(&z, 16000, 1, 2);  // 64 bytes
  ASSERT_EQ(OH_AudioRenderer_Start(rz), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(vdev::pump_render(4), 4);
  std::vector<uint8_t> want;
  for (int i = 0; i < 4; ++i) want.insert(want.end(), 64, i % 2 == 0 ? 0xAB : 0x00);
  EXPECT_TRUE(vdev::rendered() == want);
  EXPECT_EQ(OH_AudioRenderer_Release(rz), AUDIOSTREAM_SUCCESS);

  vdev::reset();
  Player a, b;
  OH_AudioRenderer* ra = make_renderer(&a, 16000, 1, 10);
  OH_AudioRenderer* rb = make_renderer(&b, 16000, 1, 10);
  ASSERT_EQ(OH_AudioRenderer_Start(ra), AUDIOSTREAM_SUCCESS);
  ASSERT_EQ(OH_AudioRenderer_Start(rb), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(vdev::pump_render(5), 5);  // the most recently started one
  EXPECT_EQ(a.calls, 0);
  ASSERT_EQ(b.calls, 5);
  for (const auto& id : b.threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(vdev::render_results(), (std::vector<int32_t>{-5, 5, 15, 25, 35}));
  EXPECT_EQ(vdev::render_requests(), 5u);
  EXPECT_FALSE(vdev::wait_render_requests(6, 50));  // no thread runs them

  ASSERT_EQ(OH_AudioRenderer_Pause(rb), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(vdev::pump_render(2), 2);
  EXPECT_EQ(a.calls, 2);
  ASSERT_EQ(OH_AudioRenderer_Stop(ra), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(vdev::pump_render(2), 0);
  EXPECT_EQ(OH_AudioRenderer_Release(ra), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioRenderer_Release(rb), AUDIOSTREAM_SUCCESS);
}

TEST_F(VirtualDevice, CapturerDeliversTheSourceInOrder) {
  std::vector<uint8_t> source(250);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7 + 1);

  vdev::set_manual_clock(true);
  for (bool loop : {false, true}) {
    SCOPED_TRACE(loop);
    vdev::set_capture_source(source, loop);
    Recorder rec;
    OH_AudioCapturer* c = make_capturer(&rec, 16000, 3);  // 96 bytes
    ASSERT_EQ(OH_AudioCapturer_Start(c), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(vdev::pump_capture(6), 6);
    EXPECT_EQ(OH_AudioCapturer_Release(c), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(rec.lengths, std::vector<int32_t>(6, 96));
    ASSERT_EQ(rec.bytes.size(), 576u);
    for (size_t i = 0; i < rec.bytes.size(); ++i) {
      const uint8_t want = loop || i < source.size() ? source[i % source.size()] : 0;
      ASSERT_EQ(rec.bytes[i], want) << "byte " << i;
    }
  }

  // On its own thread, at the platform's default size: 20 ms frames of silence.
  vdev::reset();
  vdev::set_manual_clock(false);
  Recorder rec;
  OH_AudioCapturer* c = make_capturer(&rec, 16000, 0);
  ASSERT_EQ(OH_AudioCapturer_Start(c), AUDIOSTREAM_SUCCESS);
  ASSERT_TRUE(eventually([&] { return rec.frames() >= 3; }));
  ASSERT_EQ(OH_AudioCapturer_Stop(c), AUDIOSTREAM_SUCCESS);
  const size_t stopped_at = rec.frames();
  std::this_thread::sleep_for(milliseconds(60));
  EXPECT_EQ(rec.frames(), stopped_at);
  EXPECT_EQ(OH_AudioCapturer_Release(c), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(rec.lengths, std::vector<int32_t>(stopped_at, 640));
  EXPECT_TRUE(std::all_of(rec.bytes.begin(), rec.bytes.end(), [](uint8_t v) { return v == 0; }));
}

// Runs one manual-clock renderer and one capturer: `renders` requests of 10 ms playing `script`
// (interleaved), then `captures` frames of 10 ms (or capture_ms). Returns what was heard.
std::vector<int16_t> play_and_hear(int32_t render_rate, int32_t render_channels,
                                   std::vector<int16_t> script, int renders, int32_t capture_rate,
                                   int32_t capture_channels, int captures,
                                   int32_t capture_ms = 10) {
  Player p;
  p.mode = Player::kScript;
  p.script = std::move(script);
  OH_AudioRenderer* r = make_renderer(&p, render_rate, render_channels, 10);
  Recorder rec;
  OH_AudioCapturer* c = make_capturer(&rec, capture_rate, capture_ms, capture_channels);
  EXPECT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioCapturer_Start(c), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(vdev::pump_render(renders), renders);
  EXPECT_EQ(vdev::pump_capture(captures), captures);
  EXPECT_EQ(OH_AudioRenderer_Release(r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioCapturer_Release(c), AUDIOSTREAM_SUCCESS);
  return as_samples(rec.bytes);
}

TEST_F(VirtualDevice, EchoIsTheRenderedStreamDelayedAndScaled) {
  // Manual clock: capture sample k carries 0.5 x rendered sample k - 640 (40 ms at 16 kHz) on
  // top of a source of +-20000, saturating. An impulse response and noise that were cleared, or
  // dropped by reset(), leave no trace.
  enum Setup { kPlain, kExtrasCleared, kExtrasReset };
  for (Setup setup : {kPlain, kExtrasCleared, kExtrasReset}) {
    SCOPED_TRACE(setup);
    vdev::reset();
    vdev::set_manual_clock(true);
    if (setup != kPlain) {
      ASSERT_TRUE(
          vdev::set_echo_impulse_response(vdev::room_impulse_response(16000, 50, 200, 0.0f, 3)));
      ASSERT_TRUE(vdev::set_capture_noise(-40.0f, 9));
      vdev::set_echo(10, 0.9f);
    }
    if (setup == kExtrasCleared) {
      ASSERT_TRUE(vdev::set_echo_impulse_response({}));
      ASSERT_TRUE(vdev::set_capture_noise(-INFINITY, 9));
    }
    if (setup == kExtrasReset) vdev::reset();
    vdev::set_echo(40, 0.5f);
    std::vector<int16_t> src(3200), script(3200);  // full-scale noise is played
    uint32_t seed = 1;
    for (size_t i = 0; i < src.size(); ++i) {
      src[i] = i % 2 == 0 ? 20000 : -20000;
      seed = seed * 1664525u + 1013904223u;
      script[i] = static_cast<int16_t>(seed >> 16);
    }
    std::vector<uint8_t> source(src.size() * 2);
    std::memcpy(source.data(), src.data(), source.size());
    vdev::set_capture_source(source, false);
    const std::vector<int16_t> heard = play_and_hear(16000, 1, script, 20, 16000, 1, 20);
    const std::vector<int16_t> played = as_samples(vdev::rendered());
    ASSERT_EQ(heard.size(), 3200u);
    int saturated = 0;
    for (size_t k = 0; k < heard.size(); ++k) {
      const double echo = k >= 640 ? 0.5 * played[k - 640] : 0.0;
      const double v = std::clamp(src[k] + echo, -32768.0, 32767.0);
      if (v == 32767.0 || v == -32768.0) ++saturated;
      ASSERT_EQ(heard[k], static_cast<int16_t>(std::lround(v))) << "sample " << k;
    }
    EXPECT_GT(saturated, 0);
  }
}

TEST_F(VirtualDevice, ImpulseResponseShapesTheEcho) {
  // The synthetic room: direct path, then a tail of the requested energy and decay, by seed.
  const std::vector<float> room = vdev::room_impulse_response(16000, 150, 300, 3.0f, 11);
  ASSERT_EQ(room.size(), 2400u);
  EXPECT_EQ(room[0], 1.0f);
  double tail = 0.0;
  for (size_t i = 1; i < room.size(); ++i) tail += double{room[i]} * room[i];
  EXPECT_NEAR(10.0 * std::log10(tail), -3.0, 0.01);
  auto window_db = [&](int from_ms) {
    double e = 0.0;
    for (int i = from_ms * 16; i < (from_ms + 20) * 16; ++i) e += double{room[i]} * room[i];
    return 10.0 * std::log10(e);
  };
  EXPECT_NEAR(window_db(110) - window_db(10), -20.0, 2.5);  // 60 dB per 300 ms
  EXPECT_EQ(vdev::room_impulse_response(16000, 150, 300, 3.0f, 11), room);
  EXPECT_NE(vdev::room_impulse_response(16000, 150, 300, 3.0f, 12), room);
  EXPECT_TRUE(vdev::room_impulse_response(16000, 0, 300, 3.0f, 1).empty());
  EXPECT_TRUE(vdev::room_impulse_response(16000, 150, 0, 3.0f, 1).empty());
  EXPECT_TRUE(vdev::room_impulse_response(16000, 150, 300, NAN, 1).empty());
  EXPECT_TRUE(vdev::room_impulse_response(48000, 2000, 300, 3.0f, 1).empty());  // 96000 taps
  EXPECT_FALSE(vdev::set_echo_impulse_response({0.5f, NAN}));
  EXPECT_FALSE(vdev::set_echo_impulse_response(std::vector<float>(65537, 0.0f)));

  // Heard, at 16 kHz both ways: gain x (ir * played) delayed, against a direct-form reference.
  // The capture frames of 112 samples (7 ms) cut the filter's blocks anywhere.
  std::vector<int16_t> click(6400, 0);
  click[100] = 16000;
  std::vector<float> random_ir(700);
  std::vector<int16_t> noise(6400);
  uint32_t seed = 5;
  auto draw = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<double>(seed >> 8) / 16777216.0 * 2.0 - 1.0;  // -1 .. 1
  };
  for (float& tap : random_ir) tap = static_cast<float>(0.05 * draw());
  for (int16_t& v : noise) v = static_cast<int16_t>(3000 * draw());
  struct Case {
    const char* name;
    std::vector<float> ir;
    std::vector<int16_t> played;
    int delay_ms;
    float gain;
    int32_t capture_ms;
  };
  for (const Case& c : {Case{"room click", room, click, 30, 0.5f, 10},
                        Case{"random", random_ir, noise, 25, 0.8f, 7}}) {
    SCOPED_TRACE(c.name);
    vdev::reset();
    vdev::set_manual_clock(true);
    vdev::set_echo(c.delay_ms, c.gain);
    ASSERT_TRUE(vdev::set_echo_impulse_response(c.ir));
    const int capture_bytes = c.capture_ms * 32;
    const int captures = 6000 * 2 / capture_bytes;
    const std::vector<int16_t> heard =
        play_and_hear(16000, 1, c.played, 40, 16000, 1, captures, c.capture_ms);
    ASSERT_EQ(heard.size(), static_cast<size_t>(captures * capture_bytes / 2));
    const size_t delay = static_cast<size_t>(c.delay_ms) * 16;
    int differ = 0;
    double energy = 0.0;
    for (size_t k = 0; k < heard.size(); ++k) {
      double y = 0.0;
      for (size_t i = 0; i < c.ir.size() && i + delay <= k; ++i) {
        y += double{c.ir[i]} * c.played[k - delay - i];
      }
      const double want = std::clamp(c.gain * y, -32768.0, 32767.0);
      energy += want * want;
      ASSERT_NEAR(heard[k], want, 1.0) << "sample " << k;
      if (heard[k] != static_cast<int16_t>(std::lround(want))) ++differ;
    }
    EXPECT_GT(energy, 1e6);
    EXPECT_LT(differ, static_cast<int>(heard.size() / 100));  // float rounding, rarely visible
  }
}

TEST_F(VirtualDevice, CaptureNoiseHasTheRequestedLevelAndIsSeeded) {
  vdev::set_manual_clock(true);
  auto capture = [] {
    Recorder rec;
    OH_AudioCapturer* c = make_capturer(&rec, 16000, 10);
    EXPECT_EQ(OH_AudioCapturer_Start(c), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(vdev::pump_capture(100), 100);  // 1 s
    EXPECT_EQ(OH_AudioCapturer_Release(c), AUDIOSTREAM_SUCCESS);
    return as_samples(rec.bytes);
  };
  for (float level : {-70.0f, -45.0f, -20.0f, -6.0f}) {
    SCOPED_TRACE(level);
    ASSERT_TRUE(vdev::set_capture_noise(level, 42));
    const std::vector<int16_t> a = capture();
    double sum = 0.0, squares = 0.0;
    for (int16_t v : a) {
      sum += v;
      squares += static_cast<double>(v) * v;
    }
    const double n = static_cast<double>(a.size());
    const double rms = std::sqrt(squares / n);
    EXPECT_NEAR(20.0 * std::log10(rms / 32768.0), level, 0.5);
    EXPECT_LT(std::abs(sum / n), 0.05 * rms);
    EXPECT_EQ(capture(), a) << "the same seed gave other noise";
    ASSERT_TRUE(vdev::set_capture_noise(level, 43));
    EXPECT_NE(capture(), a);
  }

  // Refusals keep the setting; -infinity and reset() turn the noise off.
  EXPECT_FALSE(vdev::set_capture_noise(NAN, 1));
  EXPECT_FALSE(vdev::set_capture_noise(0.5f, 1));
  std::vector<int16_t> heard = capture();
  EXPECT_GT(*std::max_element(heard.begin(), heard.end()), 1000);
  ASSERT_TRUE(vdev::set_capture_noise(-INFINITY, 1));
  heard = capture();
  EXPECT_TRUE(std::all_of(heard.begin(), heard.end(), [](int16_t v) { return v == 0; }));
  ASSERT_TRUE(vdev::set_capture_noise(-30.0f, 1));
  vdev::reset();
  heard = capture();
  EXPECT_TRUE(std::all_of(heard.begin(), heard.end(), [](int16_t v) { return v == 0; }));
}

// Frequency of a sampled sinusoid from its rising zero crossings (interpolated).
double zero_crossing_hz(const std::vector<double>& x, double rate) {
  double first = -1.0, last = -1.0;
  int count = 0;
  for (size_t i = 1; i < x.size(); ++i) {
    if (x[i - 1] < 0.0 && x[i] >= 0.0) {
      const double t = (static_cast<double>(i) - x[i] / (x[i] - x[i - 1])) / rate;
      if (first < 0.0) first = t;
      last = t;
      ++count;
    }
  }
  return count > 1 ? (count - 1) / (last - first) : 0.0;
}

TEST_F(VirtualDevice, OtherFormatsAreHeardConverted) {
  // Each played channel a sine of its own; the capturer hears gain x the mean of the played
  // channels that fold onto each of its channels, 20 ms later, at its own rate.
  const double kHz[2] = {1000.0, 1500.0};
  const double kAmp[2] = {8000.0, 6000.0};
  const float kGain = 0.9f;
  const double kDelay = 0.020;
  auto sine = [&](int ch, double t) {
    return t < 0.0 ? 0.0 : kAmp[ch] * std::sin(2.0 * M_PI * kHz[ch] * t + ch);
  };
  struct Case {
    int32_t render_rate, render_channels, capture_rate, capture_channels;
  };
  for (const Case& c :
       {Case{44100, 1, 48000, 1}, Case{48000, 1, 44100, 1}, Case{16000, 2, 48000, 1},
        Case{48000, 1, 16000, 2}, Case{44100, 2, 48000, 2}, Case{48000, 2, 48000, 1},
        Case{16000, 1, 16000, 2}}) {
    SCOPED_TRACE(testing::Message() << c.render_rate << "x" << c.render_channels << " -> "
                                    << c.capture_rate << "x" << c.capture_channels);
    vdev::reset();
    vdev::set_manual_clock(true);
    vdev::set_echo(20, kGain);
    std::vector<int16_t> script;
    for (int i = 0; i < c.render_rate / 2; ++i) {
      for (int ch = 0; ch < c.render_channels; ++ch) {
        script.push_back(static_cast<int16_t>(std::lround(sine(ch, double(i) / c.render_rate))));
      }
    }
    const std::vector<int16_t> heard = play_and_hear(c.render_rate, c.render_channels, script, 50,
                                                     c.capture_rate, c.capture_channels, 45);
    const int cc = c.capture_channels;
    ASSERT_EQ(heard.size(), static_cast<size_t>(c.capture_rate / 100 * 45 * cc));
    const size_t frames = heard.size() / static_cast<size_t>(cc);
    // Played channels i with i % cc == ch, or channel ch % played channels.
    auto folded = [&](int ch) {
      std::vector<int> from;
      if (cc >= c.render_channels) from.push_back(ch % c.render_channels);
      for (int i = ch; cc < c.render_channels && i < c.render_channels; i += cc) {
        from.push_back(i);
      }
      return from;
    };
    double error = 0.0, energy = 0.0;
    for (int ch = 0; ch < cc; ++ch) {
      const std::vector<int> from = folded(ch);
      std::vector<double> channel;
      for (size_t j = 0; j < frames; ++j) {
        const int16_t got = heard[j * static_cast<size_t>(cc) + static_cast<size_t>(ch)];
        const double t = double(j) / c.capture_rate - kDelay;
        if (c.render_rate == c.capture_rate) {
          // Equal rates: the played samples themselves, exactly.
          const int64_t i = static_cast<int64_t>(j) - static_cast<int64_t>(kDelay * c.render_rate);
          double sum = 0.0;
          for (int k : from)
            sum += i < 0 ? 0.0 : script[static_cast<size_t>(i * c.render_channels + k)];
          ASSERT_EQ(got, std::lround(kGain * (sum / static_cast<double>(from.size()))))
              << "frame " << j;
        }
        double want = 0.0;
        for (int k : from) want += sine(k, t);
        want = kGain * want / static_cast<double>(from.size());
        if (t < 0.010) continue;  // the resampler rings for a moment where the tone begins
        channel.push_back(got);
        error += (got - want) * (got - want);
        energy += want * want;
      }
      if (from.size() == 1) {
        const double hz = zero_crossing_hz(channel, c.capture_rate);
        EXPECT_NEAR(hz, kHz[from[0]], kHz[from[0]] * 0.002) << "channel " << ch;
      }
    }
    // Right pitch, level, mix and delay leave less than 1% of the echo unexplained.
    EXPECT_LT(std::sqrt(error / energy), 0.01);
  }
}

TEST_F(VirtualDevice, ConvertedEchoOnTheWallClock) {
  // A 44.1 kHz stereo renderer heard through a room by a 48 kHz mono microphone with a noise
  // floor, on the streams' own threads: the tone comes back at its pitch.
  vdev::set_echo(20, 1.0f);
  ASSERT_TRUE(
      vdev::set_echo_impulse_response(vdev::room_impulse_response(48000, 50, 150, 6.0f, 1)));
  ASSERT_TRUE(vdev::set_capture_noise(-80.0f, 1));
  std::vector<int16_t> script;
  for (int i = 0; i < 44100 * 5; ++i) {
    const auto v =
        static_cast<int16_t>(std::lround(8000 * std::sin(2.0 * M_PI * 750.0 * i / 44100)));
    script.push_back(v);
    script.push_back(v);
  }
  Player p;
  p.mode = Player::kScript;
  p.script = std::move(script);
  OH_AudioRenderer* r = make_renderer(&p, 44100, 2, 10);
  Recorder rec;
  OH_AudioCapturer* c = make_capturer(&rec, 48000, 10);
  ASSERT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
  ASSERT_EQ(OH_AudioCapturer_Start(c), AUDIOSTREAM_SUCCESS);
  ASSERT_TRUE(eventually([&] { return rec.frames() >= 60; }));  // 600 ms
  EXPECT_EQ(OH_AudioRenderer_Release(r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioCapturer_Release(c), AUDIOSTREAM_SUCCESS);
  const std::vector<int16_t> heard = as_samples(rec.bytes);
  const std::vector<double> last(heard.end() - 14400, heard.end());  // 300 ms
  double squares = 0.0;
  for (double v : last) squares += v * v;
  EXPECT_GT(std::sqrt(squares / static_cast<double>(last.size())), 2000.0);
  // A resync on a loaded machine may cut the tone once or twice.
  EXPECT_NEAR(zero_crossing_hz(last, 48000), 750.0, 750.0 * 0.03);
}

TEST_F(VirtualDevice, BuilderRefusesBadArguments) {
  OH_AudioStreamBuilder* b = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_Create(nullptr, AUDIOSTREAM_TYPE_RENDERER),
            AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_Create(&b, static_cast<OH_AudioStream_Type>(3)),
            AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(nullptr), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(nullptr, 16000), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_SetChannelCount(nullptr, 1), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_SetFrameSizeInCallback(nullptr, 640),
            AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_SetRendererCallback(nullptr, {}, nullptr),
            AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateRenderer(nullptr, nullptr),
            AUDIOSTREAM_ERROR_INVALID_PARAM);

  ASSERT_EQ(OH_AudioStreamBuilder_Create(&b, AUDIOSTREAM_TYPE_CAPTURER), AUDIOSTREAM_SUCCESS);
  // Only the platform's rates and 1 .. 8 channels.
  for (int32_t rate : {0, 7999, 8001, 44000, 96001, 192000}) {
    EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(b, rate), AUDIOSTREAM_ERROR_INVALID_PARAM)
        << rate;
  }
  for (int32_t rate :
       {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 96000}) {
    EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(b, rate), AUDIOSTREAM_SUCCESS) << rate;
  }
  for (int32_t channels : {0, 9, 16}) {
    EXPECT_EQ(OH_AudioStreamBuilder_SetChannelCount(b, channels), AUDIOSTREAM_ERROR_INVALID_PARAM)
        << channels;
  }
  EXPECT_EQ(OH_AudioStreamBuilder_SetChannelCount(b, 8), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioStreamBuilder_SetFrameSizeInCallback(b, 0), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_SetFrameSizeInCallback(b, -640), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_SetCapturerInfo(b, static_cast<OH_AudioStream_SourceType>(5)),
            AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_SetRendererCallback(b, {}, nullptr),
            AUDIOSTREAM_ERROR_INVALID_PARAM);
  OH_AudioRenderer* r = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateRenderer(b, &r), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateCapturer(b, nullptr), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), AUDIOSTREAM_SUCCESS);

  ASSERT_EQ(OH_AudioStreamBuilder_Create(&b, AUDIOSTREAM_TYPE_RENDERER), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioStreamBuilder_SetRendererInfo(b, static_cast<OH_AudioStream_Usage>(9)),
            AUDIOSTREAM_ERROR_INVALID_PARAM);
  OH_AudioCapturer* c = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateCapturer(b, &c), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(c, nullptr);
  ASSERT_EQ(OH_AudioStreamBuilder_GenerateRenderer(b, &r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioRenderer_Pause(r), AUDIOSTREAM_ERROR_ILLEGAL_STATE);
  EXPECT_EQ(OH_AudioRenderer_Stop(r), AUDIOSTREAM_ERROR_ILLEGAL_STATE);
  EXPECT_EQ(OH_AudioRenderer_GetCurrentState(r, nullptr), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioRenderer_Start(nullptr), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioRenderer_Release(nullptr), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioCapturer_Start(nullptr), AUDIOSTREAM_ERROR_INVALID_PARAM);
  EXPECT_EQ(OH_AudioRenderer_Release(r), AUDIOSTREAM_SUCCESS);  // never started
}

TEST_F(VirtualDevice, HardwareWithoutADeviceFailsCleanly) {
  vdev::use_hardware(true);
  Player p;
  OH_AudioRenderer* r = make_renderer(&p, 16000, 1, 20);
  const OH_AudioStream_Result started = OH_AudioRenderer_Start(r);
  if (started == AUDIOSTREAM_SUCCESS) {
    // A real output device is present.
    EXPECT_TRUE(eventually([&] { return p.calls > 0; }));
    EXPECT_EQ(OH_AudioRenderer_Stop(r), AUDIOSTREAM_SUCCESS);
  } else {
    EXPECT_EQ(started, AUDIOSTREAM_ERROR_SYSTEM);
    EXPECT_EQ(state_of(r), AUDIOSTREAM_STATE_PREPARED);
  }
  OH_AudioRenderer_Flush(r);
  EXPECT_EQ(OH_AudioRenderer_Release(r), AUDIOSTREAM_SUCCESS);
  Recorder rec;
  OH_AudioCapturer* c = make_capturer(&rec, 16000, 40);
  const OH_AudioStream_Result capturing = OH_AudioCapturer_Start(c);
  if (capturing != AUDIOSTREAM_SUCCESS) {
    EXPECT_EQ(capturing, AUDIOSTREAM_ERROR_SYSTEM);
  }
  EXPECT_EQ(OH_AudioCapturer_Release(c), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(vdev::render_requests(), 0u);  // nothing went to the virtual device

  // Back on the virtual device, new streams run again.
  vdev::use_hardware(false);
  Player q;
  OH_AudioRenderer* r2 = make_renderer(&q, 16000, 1, 20);
  ASSERT_EQ(OH_AudioRenderer_Start(r2), AUDIOSTREAM_SUCCESS);
  EXPECT_TRUE(vdev::wait_render_requests(1, 5000));
  EXPECT_EQ(OH_AudioRenderer_Release(r2), AUDIOSTREAM_SUCCESS);
}

// The state a stream was in when its interrupt callback ran, and the callbacks seen.
struct Interrupted {
  std::atomic<int> calls{0};
  std::atomic<int> state{-1};
};

int32_t on_renderer_interrupt(OH_AudioRenderer* r, void* user, OH_AudioInterrupt_ForceType,
                              OH_AudioInterrupt_Hint) {
  auto* seen = static_cast<Interrupted*>(user);
  OH_AudioStream_State s = AUDIOSTREAM_STATE_INVALID;
  OH_AudioRenderer_GetCurrentState(r, &s);
  seen->state = s;
  ++seen->calls;
  return 0;
}

int32_t on_capturer_interrupt(OH_AudioCapturer* c, void* user, OH_AudioInterrupt_ForceType,
                              OH_AudioInterrupt_Hint) {
  auto* seen = static_cast<Interrupted*>(user);
  OH_AudioStream_State s = AUDIOSTREAM_STATE_INVALID;
  OH_AudioCapturer_GetCurrentState(c, &s);
  seen->state = s;
  ++seen->calls;
  return 0;
}

int32_t write_nothing(OH_AudioRenderer*, void*, void*, int32_t) {
  return 0;
}

int32_t read_nothing(OH_AudioCapturer*, void*, void*, int32_t) {
  return 0;
}

TEST_F(VirtualDevice, ForceInterruptionsHaltTheStreamBeforeTheCallback) {
  // A FORCE pause or stop has already paused or stopped the stream when the application hears of
  // it, and no data callback follows; every other interruption leaves it running. Start resumes.
  struct Case {
    int force, hint;
    OH_AudioStream_State after;
  } cases[] = {
      {AUDIOSTREAM_INTERRUPT_FORCE, AUDIOSTREAM_INTERRUPT_HINT_PAUSE, AUDIOSTREAM_STATE_PAUSED},
      {AUDIOSTREAM_INTERRUPT_FORCE, AUDIOSTREAM_INTERRUPT_HINT_STOP, AUDIOSTREAM_STATE_STOPPED},
      {AUDIOSTREAM_INTERRUPT_FORCE, AUDIOSTREAM_INTERRUPT_HINT_DUCK, AUDIOSTREAM_STATE_RUNNING},
      {AUDIOSTREAM_INTERRUPT_FORCE, AUDIOSTREAM_INTERRUPT_HINT_RESUME, AUDIOSTREAM_STATE_RUNNING},
      {AUDIOSTREAM_INTERRUPT_SHARE, AUDIOSTREAM_INTERRUPT_HINT_PAUSE, AUDIOSTREAM_STATE_RUNNING},
      {AUDIOSTREAM_INTERRUPT_SHARE, AUDIOSTREAM_INTERRUPT_HINT_STOP, AUDIOSTREAM_STATE_RUNNING},
  };
  vdev::set_manual_clock(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "force " << c.force << " hint " << c.hint);
    Interrupted rs, cs;
    OH_AudioStreamBuilder* b = make_builder(AUDIOSTREAM_TYPE_RENDERER, 16000, 1, 0);
    OH_AudioRenderer_Callbacks rcb = {write_nothing, nullptr, on_renderer_interrupt, nullptr};
    EXPECT_EQ(OH_AudioStreamBuilder_SetRendererCallback(b, rcb, &rs), AUDIOSTREAM_SUCCESS);
    OH_AudioRenderer* r = nullptr;
    EXPECT_EQ(OH_AudioStreamBuilder_GenerateRenderer(b, &r), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), AUDIOSTREAM_SUCCESS);
    b = make_builder(AUDIOSTREAM_TYPE_CAPTURER, 16000, 1, 0);
    OH_AudioCapturer_Callbacks ccb = {read_nothing, nullptr, on_capturer_interrupt, nullptr};
    EXPECT_EQ(OH_AudioStreamBuilder_SetCapturerCallback(b, ccb, &cs), AUDIOSTREAM_SUCCESS);
    OH_AudioCapturer* cap = nullptr;
    EXPECT_EQ(OH_AudioStreamBuilder_GenerateCapturer(b, &cap), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), AUDIOSTREAM_SUCCESS);
    ASSERT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
    ASSERT_EQ(OH_AudioCapturer_Start(cap), AUDIOSTREAM_SUCCESS);

    vdev::inject_renderer_interrupt(c.force, c.hint);
    vdev::inject_capturer_interrupt(c.force, c.hint);
    EXPECT_EQ(rs.calls, 1);
    EXPECT_EQ(cs.calls, 1);
    EXPECT_EQ(rs.state, c.after);
    EXPECT_EQ(cs.state, c.after);
    const int runs = c.after == AUDIOSTREAM_STATE_RUNNING ? 1 : 0;
    EXPECT_EQ(vdev::pump_render(1), runs);
    EXPECT_EQ(vdev::pump_capture(1), runs);
    if (runs == 0) {
      // A halted stream hears no more interruptions, and starts again when asked.
      vdev::inject_renderer_interrupt(c.force, c.hint);
      EXPECT_EQ(rs.calls, 1);
      ASSERT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
      ASSERT_EQ(OH_AudioCapturer_Start(cap), AUDIOSTREAM_SUCCESS);
      EXPECT_EQ(vdev::pump_render(1), 1);
      EXPECT_EQ(vdev::pump_capture(1), 1);
    }
    EXPECT_EQ(OH_AudioRenderer_Release(r), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(OH_AudioCapturer_Release(cap), AUDIOSTREAM_SUCCESS);
  }
}

TEST_F(VirtualDevice, CaptureNeedsTheMicrophonePermission) {
  for (bool granted : {false, true, false}) {
    SCOPED_TRACE(granted);
    vdev::set_microphone_permission(granted);
    Recorder rec;
    OH_AudioCapturer* c = make_capturer(&rec, 16000, 0);
    EXPECT_EQ(OH_AudioCapturer_Start(c),
              granted ? AUDIOSTREAM_SUCCESS : AUDIOSTREAM_ERROR_ILLEGAL_STATE);
    OH_AudioStream_State s = AUDIOSTREAM_STATE_INVALID;
    EXPECT_EQ(OH_AudioCapturer_GetCurrentState(c, &s), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(s, granted ? AUDIOSTREAM_STATE_RUNNING : AUDIOSTREAM_STATE_PREPARED);
    EXPECT_EQ(OH_AudioCapturer_Release(c), AUDIOSTREAM_SUCCESS);
    // Playback does not need it.
    Player p;
    OH_AudioRenderer* r = make_renderer(&p, 16000, 1, 20);
    EXPECT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
    EXPECT_EQ(OH_AudioRenderer_Release(r), AUDIOSTREAM_SUCCESS);
  }
  vdev::reset();  // grants it again
  Recorder rec;
  OH_AudioCapturer* c = make_capturer(&rec, 16000, 0);
  EXPECT_EQ(OH_AudioCapturer_Start(c), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioCapturer_Release(c), AUDIOSTREAM_SUCCESS);
}

std::atomic<int> g_slow_state{0};  // 1: in the callback, 2: returned

int32_t slow_write(OH_AudioRenderer*, void*, void*, int32_t) {
  g_slow_state = 1;
  std::this_thread::sleep_for(milliseconds(100));
  g_slow_state = 2;
  return 0;
}

TEST_F(VirtualDevice, StopWaitsForARunningManualClockCallback) {
  vdev::set_manual_clock(true);
  OH_AudioStreamBuilder* b = make_builder(AUDIOSTREAM_TYPE_RENDERER, 16000, 1, 0);
  OH_AudioRenderer_Callbacks cb = {slow_write, nullptr, nullptr, nullptr};
  EXPECT_EQ(OH_AudioStreamBuilder_SetRendererCallback(b, cb, nullptr), AUDIOSTREAM_SUCCESS);
  OH_AudioRenderer* r = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateRenderer(b, &r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), AUDIOSTREAM_SUCCESS);
  ASSERT_EQ(OH_AudioRenderer_Start(r), AUDIOSTREAM_SUCCESS);
  g_slow_state = 0;
  std::thread pumping([] { vdev::pump_render(1); });
  ASSERT_TRUE(eventually([] { return g_slow_state.load() == 1; }));
  EXPECT_EQ(OH_AudioRenderer_Stop(r), AUDIOSTREAM_SUCCESS);
  EXPECT_EQ(g_slow_state.load(), 2);  // the callback had returned when Stop returned
  pumping.join();
  EXPECT_EQ(vdev::pump_render(1), 0);
  EXPECT_EQ(OH_AudioRenderer_Release(r), AUDIOSTREAM_SUCCESS);
}

}  // namespace
