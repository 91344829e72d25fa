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
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using std::chrono::milliseconds;
using testing_support::eventually;

constexpr OH_AudioStream_Result kOk = AUDIOSTREAM_SUCCESS;
constexpr OH_AudioStream_Result kInvalid = AUDIOSTREAM_ERROR_INVALID_PARAM;
constexpr OH_AudioStream_Result kIllegal = AUDIOSTREAM_ERROR_ILLEGAL_STATE;

OH_AudioStream_State state_of(OH_AudioRenderer* r) {
  OH_AudioStream_State s = AUDIOSTREAM_STATE_INVALID;
  return OH_AudioRenderer_GetCurrentState(r, &s) == kOk ? s : AUDIOSTREAM_STATE_INVALID;
}

OH_AudioStream_State state_of(OH_AudioCapturer* c) {
  OH_AudioStream_State s = AUDIOSTREAM_STATE_INVALID;
  return OH_AudioCapturer_GetCurrentState(c, &s) == kOk ? s : AUDIOSTREAM_STATE_INVALID;
}

// Counts the interruptions a test stream hears and keeps its state when the last one arrived.
template <typename Stream, typename User>
int32_t on_interrupt(Stream* s, void* user, OH_AudioInterrupt_ForceType, OH_AudioInterrupt_Hint) {
  static_cast<User*>(user)->interrupted_state = state_of(s);
  ++static_cast<User*>(user)->interrupts;
  return 0;
}

// What a test renderer does per request, and what it saw.
struct Player {
  enum Mode { kPattern, kAlternate, kSlow, kPauseOnThird, kScript };
  std::atomic<Mode> mode{kPattern};
  uint8_t fill = 0xAB;  // what kAlternate writes into even requests
  OH_AudioRenderer* self = nullptr;
  std::atomic<int> calls{0}, interrupts{0}, interrupted_state{-1};
  std::atomic<bool> in_callback{false}, wrong_length{false};
  int32_t expected_length = 0;  // 0: any
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
  if (p->expected_length != 0 && length != p->expected_length) p->wrong_length = true;
  auto* bytes = static_cast<uint8_t*>(buffer);
  p->threads.push_back(std::this_thread::get_id());
  const Player::Mode mode = p->mode;
  for (int32_t i = 0; mode == Player::kPattern && i < length; ++i) {
    bytes[i] = static_cast<uint8_t>((p->seed = p->seed * 1103515245u + 12345u) >> 16);
  }
  if (mode == Player::kAlternate && index % 2 == 0) std::memset(bytes, p->fill, length);
  if (mode == Player::kSlow) std::this_thread::sleep_for(milliseconds(50));
  EXPECT_TRUE(mode != Player::kPauseOnThird || index != 2 ||
              OH_AudioRenderer_Pause(p->self) == kOk);
  for (int32_t i = 0; mode == Player::kScript && i + 1 < length && p->script_pos < p->script.size();
       i += 2) {
    std::memcpy(bytes + i, &p->script[p->script_pos++], 2);
  }
  p->written.insert(p->written.end(), bytes, bytes + length);
  p->in_callback = false;
  return index * 10 - 5;
}

// A builder for 16-bit streams of the given format; `frames` per renderer request as the
// application asks (0: not set). It has also refused a rate and a channel count, keeping its own.
OH_AudioStreamBuilder* make_builder(OH_AudioStream_Type type, int32_t rate, int32_t channels,
                                    int32_t frames) {
  OH_AudioStreamBuilder* b = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_Create(&b, type), kOk);
  EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(b, rate), kOk);
  EXPECT_EQ(OH_AudioStreamBuilder_SetChannelCount(b, channels), kOk);
  EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(b, rate + 1), kInvalid);
  EXPECT_EQ(OH_AudioStreamBuilder_SetChannelCount(b, 9), kInvalid);
  EXPECT_EQ(frames > 0 ? OH_AudioStreamBuilder_SetFrameSizeInCallback(b, frames) : kOk, kOk);
  return b;
}

// A renderer of `frames` per request as the builder asks (0: not asked), or of `platform_ms` as
// the platform chooses (0: no choice).
OH_AudioRenderer* make_renderer(Player* p, int32_t rate, int32_t channels, int32_t frames,
                                int platform_ms = 0) {
  vdev::set_platform_request_ms(platform_ms);
  OH_AudioStreamBuilder* b = make_builder(AUDIOSTREAM_TYPE_RENDERER, rate, channels, frames);
  OH_AudioRenderer_Callbacks cb = {on_write, nullptr, on_interrupt<OH_AudioRenderer, Player>,
                                   nullptr};
  EXPECT_EQ(OH_AudioStreamBuilder_SetRendererCallback(b, cb, p), kOk);
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateRenderer(b, &p->self), kOk);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), kOk);
  vdev::set_platform_request_ms(0);
  return p->self;
}

// What a test capturer was given.
struct Recorder {
  std::atomic<int> frames{0}, interrupts{0}, interrupted_state{-1};
  // Touched only by the callback, or after the stream has stopped.
  std::vector<int16_t> samples;
  std::vector<int32_t> lengths;
};

int32_t on_read(OH_AudioCapturer*, void* user, void* buffer, int32_t length) {
  auto* rec = static_cast<Recorder*>(user);
  rec->lengths.push_back(length);
  const auto* samples = static_cast<const int16_t*>(buffer);
  rec->samples.insert(rec->samples.end(), samples, samples + length / 2);
  ++rec->frames;
  return 0;
}

// A capturer delivering `callback_ms` of audio per callback (0: the default 20 ms), the size the
// platform picks: the frame size its builder is given is ignored.
OH_AudioCapturer* make_capturer(Recorder* rec, int32_t rate, int32_t callback_ms,
                                int32_t channels = 1) {
  vdev::set_capture_callback_ms(callback_ms);
  OH_AudioStreamBuilder* b = make_builder(AUDIOSTREAM_TYPE_CAPTURER, rate, channels, 4321);
  EXPECT_EQ(OH_AudioStreamBuilder_SetCapturerInfo(b, AUDIOSTREAM_SOURCE_TYPE_VOICE_COMMUNICATION),
            kOk);
  OH_AudioCapturer_Callbacks cb = {on_read, nullptr, on_interrupt<OH_AudioCapturer, Recorder>,
                                   nullptr};
  EXPECT_EQ(OH_AudioStreamBuilder_SetCapturerCallback(b, cb, rec), kOk);
  OH_AudioCapturer* c = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateCapturer(b, &c), kOk);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), kOk);
  vdev::set_capture_callback_ms(0);
  return c;
}

// Runs one manual-clock renderer and one capturer: `renders` requests of 10 ms playing `script`
// (interleaved), then `captures` frames of capture_ms. Returns what was heard.
std::vector<int16_t> play_and_hear(int32_t render_rate, int32_t render_channels,
                                   std::vector<int16_t> script, int renders, int32_t capture_rate,
                                   int32_t capture_channels, int captures,
                                   int32_t capture_ms = 10) {
  Player p;
  p.mode = Player::kScript;
  p.script = std::move(script);
  OH_AudioRenderer* r = make_renderer(&p, render_rate, render_channels, 0, 10);
  Recorder rec;
  OH_AudioCapturer* c = make_capturer(&rec, capture_rate, capture_ms, capture_channels);
  EXPECT_EQ(OH_AudioRenderer_Start(r), kOk);
  EXPECT_EQ(OH_AudioCapturer_Start(c), kOk);
  EXPECT_EQ(vdev::pump_render(renders), renders);
  EXPECT_EQ(vdev::pump_capture(captures), captures);
  EXPECT_EQ(OH_AudioRenderer_Release(r), kOk);
  EXPECT_EQ(OH_AudioCapturer_Release(c), kOk);
  const int32_t bytes = capture_rate * capture_ms / 1000 * capture_channels * 2;
  EXPECT_EQ(rec.lengths, std::vector<int32_t>(static_cast<size_t>(captures), bytes));
  return rec.samples;
}

// True when the player gets no request for 100 ms.
bool quiet(const Player& p) {
  const int calls = p.calls;
  std::this_thread::sleep_for(milliseconds(100));
  return p.calls == calls;
}

// Every test starts, and leaves the device, as reset() and the defaults leave it.
struct VirtualDevice : ::testing::Test {
  void SetUp() override { TearDown(); }
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
    SCOPED_TRACE(testing::Message() << c.frames << " frames, " << c.expected_bytes << " bytes");
    vdev::reset();
    Player p;
    p.expected_length = c.expected_bytes;
    OH_AudioRenderer* r = make_renderer(&p, c.rate, c.channels, c.frames, c.platform_ms);
    vdev::set_platform_request_ms(30);  // too late: the size was fixed when it was generated
    ASSERT_EQ(OH_AudioRenderer_Start(r), kOk);
    ASSERT_TRUE(vdev::wait_render_requests(4, 5000));
    EXPECT_EQ(OH_AudioRenderer_Release(r), kOk);
    EXPECT_FALSE(p.wrong_length);
    EXPECT_EQ(vdev::last_request_bytes(), c.expected_bytes);
    EXPECT_EQ(vdev::rendered_size(), static_cast<size_t>(p.calls) * c.expected_bytes);
    EXPECT_TRUE(vdev::rendered() == p.written) << "recording differs from what was written";
  }
  // Concurrent renderers append whole requests. Each fills only its even requests, with a byte
  // of its own: the others start silent.
  vdev::reset();
  Player a, b;
  a.mode = b.mode = Player::kAlternate;
  b.fill = 0x5C;
  ASSERT_EQ(OH_AudioRenderer_Start(make_renderer(&a, 16000, 1, 0, 5)), kOk);  // 160 bytes
  ASSERT_EQ(OH_AudioRenderer_Start(make_renderer(&b, 16000, 1, 0, 5)), kOk);
  ASSERT_TRUE(vdev::wait_render_requests(40, 5000));
  EXPECT_EQ(OH_AudioRenderer_Release(a.self), kOk);
  EXPECT_EQ(OH_AudioRenderer_Release(b.self), kOk);
  const std::vector<uint8_t> rec = vdev::rendered();
  ASSERT_EQ(rec.size(), static_cast<size_t>(a.calls + b.calls) * 160);
  int filled[256] = {};
  for (size_t off = 0; off < rec.size(); off += 160) {
    const auto first = rec.begin() + static_cast<long>(off);
    ASSERT_TRUE(std::all_of(first, first + 160, [&](uint8_t v) { return v == *first; }))
        << "request at byte " << off << " was interleaved with another";
    ++filled[*first];
  }
  EXPECT_EQ(filled[0xAB], (a.calls + 1) / 2);
  EXPECT_EQ(filled[0x5C], (b.calls + 1) / 2);
}

TEST_F(VirtualDevice, NoCallbackAfterPauseStopOrRelease) {
  // A callback that pauses its own stream neither deadlocks nor gets another request.
  Player p;
  p.mode = Player::kPauseOnThird;
  OH_AudioRenderer* r = make_renderer(&p, 16000, 1, 0, 10);
  EXPECT_EQ(state_of(r), AUDIOSTREAM_STATE_PREPARED);
  ASSERT_EQ(OH_AudioRenderer_Start(r), kOk);
  ASSERT_TRUE(eventually([&] { return state_of(r) == AUDIOSTREAM_STATE_PAUSED; }));
  EXPECT_TRUE(quiet(p));
  EXPECT_EQ(p.calls, 3);
  // Start resumes; Pause holds requests back until the next Start.
  p.mode = Player::kPattern;
  ASSERT_EQ(OH_AudioRenderer_Start(r), kOk);
  ASSERT_TRUE(eventually([&] { return p.calls > 5; }));
  ASSERT_EQ(OH_AudioRenderer_Pause(r), kOk);
  EXPECT_EQ(state_of(r), AUDIOSTREAM_STATE_PAUSED);
  const int paused_at = p.calls;
  EXPECT_TRUE(quiet(p));
  ASSERT_EQ(OH_AudioRenderer_Start(r), kOk);
  EXPECT_TRUE(eventually([&] { return p.calls > paused_at + 2; }));
  // Stop waits for a callback in progress; Flush keeps the state.
  p.mode = Player::kSlow;
  ASSERT_TRUE(eventually([&] { return p.in_callback.load(); }));
  ASSERT_EQ(OH_AudioRenderer_Stop(r), kOk);
  EXPECT_FALSE(p.in_callback);
  EXPECT_TRUE(quiet(p));
  EXPECT_EQ(OH_AudioRenderer_Stop(r), kIllegal);
  EXPECT_EQ(OH_AudioRenderer_Flush(r), kOk);
  EXPECT_EQ(state_of(r), AUDIOSTREAM_STATE_STOPPED);
  // So does Release, straight from running.
  const int stopped_at = p.calls;
  ASSERT_EQ(OH_AudioRenderer_Start(r), kOk);
  ASSERT_TRUE(eventually([&] { return p.calls > stopped_at && p.in_callback.load(); }));
  ASSERT_EQ(OH_AudioRenderer_Release(r), kOk);
  EXPECT_FALSE(p.in_callback);
  EXPECT_TRUE(quiet(p));
}

TEST_F(VirtualDevice, ManualClockPumpsOnTheCallingThread) {
  vdev::set_manual_clock(true);
  EXPECT_EQ(vdev::pump_render(3), 0);  // nothing running
  Player a, b;
  OH_AudioRenderer* ra = make_renderer(&a, 16000, 1, 0, 10);
  OH_AudioRenderer* rb = make_renderer(&b, 16000, 1, 0, 10);
  ASSERT_EQ(OH_AudioRenderer_Start(ra), kOk);
  ASSERT_EQ(OH_AudioRenderer_Start(rb), kOk);
  EXPECT_EQ(OH_AudioRenderer_Start(rb), kIllegal);
  EXPECT_EQ(vdev::pump_render(5), 5);  // the most recently started one
  EXPECT_EQ(a.calls, 0);
  ASSERT_EQ(b.calls, 5);
  for (const auto& id : b.threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(vdev::render_results(), (std::vector<int32_t>{-5, 5, 15, 25, 35}));
  EXPECT_EQ(vdev::render_requests(), 5u);
  EXPECT_FALSE(vdev::wait_render_requests(6, 50));  // no thread runs them

  ASSERT_EQ(OH_AudioRenderer_Pause(rb), kOk);
  EXPECT_EQ(vdev::pump_render(2), 2);
  EXPECT_EQ(a.calls, 2);
  // Stop waits for a callback in progress on a pumping thread too.
  a.mode = Player::kSlow;
  std::thread pumping([] { vdev::pump_render(1); });
  EXPECT_TRUE(eventually([&] { return a.in_callback.load(); }));
  EXPECT_EQ(OH_AudioRenderer_Stop(ra), kOk);
  EXPECT_FALSE(a.in_callback);
  pumping.join();
  EXPECT_EQ(vdev::pump_render(2), 0);
  EXPECT_EQ(OH_AudioRenderer_Release(ra), kOk);
  EXPECT_EQ(OH_AudioRenderer_Release(rb), kOk);
  // A manual-clock capturer delivers the source in order, then silence or the source again.
  std::vector<uint8_t> source(250);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7 + 1);
  for (bool loop : {true, false}) {  // each set_capture_source starts from the beginning
    SCOPED_TRACE(loop);
    vdev::set_capture_source(source, loop);
    const std::vector<int16_t> heard = play_and_hear(16000, 1, {}, 0, 16000, 1, 6, 3);  // 96 bytes
    ASSERT_EQ(heard.size(), 288u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(heard.data());
    for (size_t i = 0; i < 576; ++i) {
      ASSERT_EQ(bytes[i], loop || i < source.size() ? source[i % source.size()] : 0) << i;
    }
  }
}

TEST_F(VirtualDevice, EchoIsThePlayedStreamFilteredDelayedAndScaled) {
  // The synthetic room: direct path, then a tail of the requested energy and decay, by seed.
  const std::vector<float> room = vdev::room_impulse_response(16000, 150, 300, 3.0f, 11);
  ASSERT_EQ(room.size(), 2400u);
  EXPECT_EQ(room[0], 1.0f);
  const float* tap = room.data();
  auto energy_db = [&](size_t from, size_t to) {
    return 10.0 * std::log10(std::inner_product(tap + from, tap + to, tap + from, 0.0));
  };
  EXPECT_NEAR(energy_db(1, 2400), -3.0, 0.01);
  EXPECT_NEAR(energy_db(1760, 2080) - energy_db(160, 480), -20.0, 2.5);  // 60 dB per 300 ms
  EXPECT_EQ(vdev::room_impulse_response(16000, 150, 300, 3.0f, 11), room);
  EXPECT_NE(vdev::room_impulse_response(16000, 150, 300, 3.0f, 12), room);
  EXPECT_TRUE(vdev::room_impulse_response(0, 150, 300, 3.0f, 1).empty());
  EXPECT_TRUE(vdev::room_impulse_response(16000, 0, 300, 3.0f, 1).empty());
  EXPECT_TRUE(vdev::room_impulse_response(16000, 150, 0, 3.0f, 1).empty());
  EXPECT_TRUE(vdev::room_impulse_response(16000, 150, 300, NAN, 1).empty());
  EXPECT_EQ(vdev::room_impulse_response(65536, 1000, 300, 3.0f, 1).size(), 65536u);
  EXPECT_TRUE(vdev::room_impulse_response(65537, 1000, 300, 3.0f, 1).empty());  // one tap too many
  // Manual clock, 16 kHz both ways, full-scale noise played: capture sample k is the source
  // (+-20000) plus gain x (ir * played)[k - delay], saturating. A response and noise that were
  // cleared, or dropped by reset(), leave no trace. Frames of 7 ms cut the filter's blocks.
  std::minstd_rand random(5);
  std::uniform_int_distribution<int16_t> draw(-32767, 32767);
  std::vector<int16_t> played(6400), square(6400);
  for (size_t i = 0; i < played.size(); ++i) {
    played[i] = draw(random);
    square[i] = i % 2 == 0 ? 20000 : -20000;
  }
  std::vector<uint8_t> source(square.size() * 2);
  std::memcpy(source.data(), square.data(), source.size());
  enum Extras { kNone, kCleared, kReset };
  struct Case {
    const char* name;
    Extras extras;
    std::vector<float> ir;
    int delay_ms, capture_ms;
    float gain;
  };
  for (const Case& c :
       {Case{"extras cleared", kCleared, {}, 40, 10, 0.5f},
        Case{"extras reset", kReset, {}, 40, 10, 0.5f}, Case{"room", kNone, room, 30, 10, 0.5f},
        Case{"room, 7 ms frames", kNone, room, 25, 7, 0.8f}}) {
    SCOPED_TRACE(c.name);
    vdev::reset();
    vdev::set_manual_clock(true);
    if (c.extras != kNone) {
      ASSERT_TRUE(vdev::set_echo_impulse_response(room));
      ASSERT_TRUE(vdev::set_capture_noise(-40.0f, 9));
    }
    if (c.extras == kCleared) {
      ASSERT_TRUE(vdev::set_echo_impulse_response({}));
      ASSERT_TRUE(vdev::set_capture_noise(-INFINITY, 9));
    }
    if (c.extras == kReset) vdev::reset();
    vdev::set_echo(c.delay_ms, c.gain);
    if (!c.ir.empty()) {
      EXPECT_TRUE(vdev::set_echo_impulse_response(std::vector<float>(65536, 0.0f)));
      ASSERT_TRUE(vdev::set_echo_impulse_response(c.ir));
      EXPECT_FALSE(vdev::set_echo_impulse_response({0.5f, NAN}));  // refused: c.ir stays
      EXPECT_FALSE(vdev::set_echo_impulse_response(std::vector<float>(65537, 0.0f)));
    }
    vdev::set_capture_source(source, false);
    const int captures = 6000 / (c.capture_ms * 16);
    const std::vector<int16_t> heard =
        play_and_hear(16000, 1, played, 40, 16000, 1, captures, c.capture_ms);
    ASSERT_EQ(heard.size(), static_cast<size_t>(captures * c.capture_ms * 16));
    const size_t delay = static_cast<size_t>(c.delay_ms) * 16;
    int differ = 0;
    for (size_t k = 0; k < heard.size(); ++k) {
      double y = c.ir.empty() && k >= delay ? played[k - delay] : 0.0;
      for (size_t i = 0; i < c.ir.size() && i + delay <= k; ++i) {
        y += double{c.ir[i]} * played[k - delay - i];
      }
      const double want = std::clamp(square[k] + c.gain * y, -32768.0, 32767.0);
      const auto exact = static_cast<int16_t>(std::lround(want));
      // Bit for bit without a response; within float rounding with one.
      ASSERT_NEAR(heard[k], c.ir.empty() ? exact : want, c.ir.empty() ? 0.0 : 1.0)
          << "sample " << k;
      differ += heard[k] != exact;
    }
    EXPECT_LT(differ, static_cast<int>(heard.size() / 100));  // float rounding, rarely visible
  }
  // The noise floor: the level asked for, zero mean, the same samples for the same seed.
  vdev::reset();
  auto capture = [] { return play_and_hear(16000, 1, {}, 0, 16000, 1, 100); };  // 1 s
  for (float level : {-70.0f, -45.0f, -20.0f, -6.0f}) {
    SCOPED_TRACE(level);
    ASSERT_TRUE(vdev::set_capture_noise(level, 42));
    const std::vector<int16_t> a = capture();
    const double n = static_cast<double>(a.size()),
                 mean = std::accumulate(a.begin(), a.end(), 0.0) / n;
    const double rms = std::sqrt(std::inner_product(a.begin(), a.end(), a.begin(), 0.0) / n);
    EXPECT_NEAR(20.0 * std::log10(rms / 32768.0), level, 0.5);
    EXPECT_LT(std::abs(mean), 0.05 * rms);
    EXPECT_EQ(capture(), a) << "the same seed gave other noise";
    ASSERT_TRUE(vdev::set_capture_noise(level, 43));
    EXPECT_NE(capture(), a);
  }
  // Up to 0 dBFS; refusals keep the setting.
  ASSERT_TRUE(vdev::set_capture_noise(0.0f, 1));
  const std::vector<int16_t> loudest = capture();
  EXPECT_GT(*std::max_element(loudest.begin(), loudest.end()), 30000);
  EXPECT_FALSE(vdev::set_capture_noise(NAN, 2));
  EXPECT_FALSE(vdev::set_capture_noise(0.5f, 2));
  EXPECT_EQ(capture(), loudest);
}

TEST_F(VirtualDevice, OtherFormatsAreHeardConverted) {
  // Each played channel a sine of its own; the capturer hears gain x the mean of the played
  // channels that fold onto each of its channels (i % capture channels == c, or channel
  // c % played channels), 20 ms later, at its own rate: exactly with equal rates, else with less
  // than 1% of the echo unexplained (right pitch, level, mix and delay).
  const double kHz[2] = {1000.0, 1500.0}, kAmp[2] = {8000.0, 6000.0}, kGain = 0.9f;
  auto sine = [&](int ch, double t) {
    return t < 0.0 ? 0.0 : kAmp[ch] * std::sin(2.0 * M_PI * kHz[ch] * t + ch);
  };
  struct Case {
    int32_t render_rate, render_channels, capture_rate, capture_channels;
  };
  vdev::set_manual_clock(true);
  for (const Case& c :
       {Case{44100, 1, 48000, 1}, Case{48000, 1, 44100, 1}, Case{16000, 2, 48000, 1},
        Case{48000, 1, 16000, 2}, Case{44100, 2, 48000, 2}, Case{48000, 2, 48000, 1},
        Case{16000, 1, 16000, 2}}) {
    SCOPED_TRACE(testing::Message() << c.render_rate << "x" << c.render_channels << " -> "
                                    << c.capture_rate << "x" << c.capture_channels);
    vdev::reset();
    vdev::set_echo(20, kGain);
    const int rc = c.render_channels, cc = c.capture_channels;
    std::vector<int16_t> script;  // 500 ms
    for (int i = 0; i < c.render_rate / 2 * rc; ++i)
      script.push_back(
          static_cast<int16_t>(std::lround(sine(i % rc, double(i / rc) / c.render_rate))));
    const std::vector<int16_t> heard =
        play_and_hear(c.render_rate, rc, script, 50, c.capture_rate, cc, 45);
    ASSERT_EQ(heard.size(), static_cast<size_t>(c.capture_rate / 100 * 45 * cc));
    double error = 0.0, energy = 0.0;
    for (size_t j = 0; j < heard.size() / cc; ++j) {
      const double t = double(j) / c.capture_rate - 0.020;
      const int64_t i = static_cast<int64_t>(j) - c.render_rate / 50;  // with equal rates
      for (int ch = 0; ch < cc; ++ch) {
        const int16_t got = heard[j * cc + ch];
        double want = 0.0, played = 0.0;
        int count = 0;
        for (int k = ch % rc; k < rc; k += std::min(cc, rc), ++count) {
          want += sine(k, t);
          // The played sample is only known frame for frame when the rates are equal.
          if (c.render_rate == c.capture_rate && i >= 0)
            played += script[static_cast<size_t>(i * rc + k)];
        }
        if (c.render_rate == c.capture_rate) {
          ASSERT_EQ(got, std::lround(kGain * played / count)) << "frame " << j;
        }
        want = kGain * want / count;
        if (t < 0.010) continue;  // the resampler rings for a moment where the tone begins
        error += (got - want) * (got - want);
        energy += want * want;
      }
    }
    EXPECT_LT(std::sqrt(error / energy), 0.01);
  }
}

TEST_F(VirtualDevice, CapturerOnItsOwnThreadNeedsThePermissionAndHearsTheEcho) {
  // Without the microphone permission a capturer does not start and stays as it was; playback
  // does not need it. reset() grants it again.
  vdev::set_microphone_permission(false);
  Player p;
  p.mode = Player::kScript;
  for (int i = 0; i < 44100 * 5; ++i)
    p.script.insert(
        p.script.end(), 2,
        static_cast<int16_t>(std::lround(8000 * std::sin(2.0 * M_PI * 750.0 * i / 44100))));
  OH_AudioRenderer* r = make_renderer(&p, 44100, 2, 0, 10);
  Recorder rec;
  OH_AudioCapturer* c = make_capturer(&rec, 48000, 0);
  EXPECT_EQ(OH_AudioCapturer_Start(c), kIllegal);
  EXPECT_EQ(state_of(c), AUDIOSTREAM_STATE_PREPARED);
  ASSERT_EQ(OH_AudioRenderer_Start(r), kOk);
  vdev::reset();
  // The 44.1 kHz stereo renderer heard through a room by a 48 kHz mono microphone with a noise
  // floor, in 20 ms frames (the default size); none follows Stop.
  vdev::set_echo(20, 1.0f);
  ASSERT_TRUE(
      vdev::set_echo_impulse_response(vdev::room_impulse_response(48000, 50, 150, 6.0f, 1)));
  ASSERT_TRUE(vdev::set_capture_noise(-80.0f, 1));
  ASSERT_EQ(OH_AudioCapturer_Start(c), kOk);
  ASSERT_TRUE(eventually([&] { return rec.frames >= 30; }));  // 600 ms
  ASSERT_EQ(OH_AudioCapturer_Stop(c), kOk);
  const int stopped_at = rec.frames;
  std::this_thread::sleep_for(milliseconds(60));
  EXPECT_EQ(rec.frames, stopped_at);
  EXPECT_EQ(rec.lengths, std::vector<int32_t>(static_cast<size_t>(stopped_at), 1920));
  // The last 300 ms are loud, and at 750 Hz (225 rising zero crossings). A resync on a loaded
  // machine may cut the tone once or twice.
  const std::vector<int16_t> last(rec.samples.end() - 14400, rec.samples.end());
  int crossings = 0;
  for (size_t i = 1; i < last.size(); ++i) crossings += last[i - 1] < 0 && last[i] >= 0;
  EXPECT_NEAR(crossings, 225, 7);
  EXPECT_GT(std::inner_product(last.begin(), last.end(), last.begin(), 0.0) / 14400, 2000.0 * 2000);
  // The permission counts at every Start.
  vdev::set_microphone_permission(false);
  EXPECT_EQ(OH_AudioCapturer_Start(c), kIllegal);
  EXPECT_EQ(state_of(c), AUDIOSTREAM_STATE_STOPPED);
  vdev::set_microphone_permission(true);
  EXPECT_EQ(OH_AudioCapturer_Start(c), kOk);
  EXPECT_EQ(OH_AudioCapturer_Release(c), kOk);
  EXPECT_EQ(OH_AudioRenderer_Release(r), kOk);
}

TEST_F(VirtualDevice, BuilderRefusesBadArguments) {
  OH_AudioStreamBuilder* b = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_Create(&b, static_cast<OH_AudioStream_Type>(3)), kInvalid);
  EXPECT_EQ(b, nullptr);
  int call = 0;  // null builders and streams
  for (OH_AudioStream_Result result :
       {OH_AudioStreamBuilder_Create(nullptr, AUDIOSTREAM_TYPE_RENDERER),
        OH_AudioStreamBuilder_Destroy(nullptr),
        OH_AudioStreamBuilder_SetSamplingRate(nullptr, 16000),
        OH_AudioStreamBuilder_SetChannelCount(nullptr, 1),
        OH_AudioStreamBuilder_SetFrameSizeInCallback(nullptr, 640),
        OH_AudioStreamBuilder_SetRendererCallback(nullptr, {}, nullptr),
        OH_AudioStreamBuilder_GenerateRenderer(nullptr, nullptr), OH_AudioRenderer_Start(nullptr),
        OH_AudioRenderer_Release(nullptr), OH_AudioCapturer_Start(nullptr)}) {
    EXPECT_EQ(result, kInvalid) << "call " << call++;
  }
  ASSERT_EQ(OH_AudioStreamBuilder_Create(&b, AUDIOSTREAM_TYPE_CAPTURER), kOk);
  // Only the platform's rates, 1 .. 8 channels and a positive number of frames.
  for (int32_t rate :
       {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 96000}) {
    EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(b, rate - 1), kInvalid);
    EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(b, rate), kOk) << rate;
    EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(b, rate + 1), kInvalid);
  }
  for (int32_t rate : {0, 44000, 192000})
    EXPECT_EQ(OH_AudioStreamBuilder_SetSamplingRate(b, rate), kInvalid);
  for (int32_t n = 0; n <= 16; ++n)
    EXPECT_EQ(OH_AudioStreamBuilder_SetChannelCount(b, n), n >= 1 && n <= 8 ? kOk : kInvalid) << n;
  for (int32_t frames : {-640, 0, 1})
    EXPECT_EQ(OH_AudioStreamBuilder_SetFrameSizeInCallback(b, frames), frames > 0 ? kOk : kInvalid);
  EXPECT_EQ(OH_AudioStreamBuilder_SetCapturerInfo(b, static_cast<OH_AudioStream_SourceType>(5)),
            kInvalid);
  EXPECT_EQ(OH_AudioStreamBuilder_SetRendererCallback(b, {}, nullptr), kInvalid);
  OH_AudioRenderer* r = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateRenderer(b, &r), kInvalid);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateCapturer(b, nullptr), kInvalid);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), kOk);
  ASSERT_EQ(OH_AudioStreamBuilder_Create(&b, AUDIOSTREAM_TYPE_RENDERER), kOk);
  EXPECT_EQ(OH_AudioStreamBuilder_SetRendererInfo(b, static_cast<OH_AudioStream_Usage>(9)),
            kInvalid);
  OH_AudioCapturer* c = nullptr;
  EXPECT_EQ(OH_AudioStreamBuilder_GenerateCapturer(b, &c), kInvalid);
  EXPECT_EQ(c, nullptr);
  ASSERT_EQ(OH_AudioStreamBuilder_GenerateRenderer(b, &r), kOk);
  EXPECT_EQ(OH_AudioStreamBuilder_Destroy(b), kOk);
  EXPECT_EQ(OH_AudioRenderer_Pause(r), kIllegal);
  EXPECT_EQ(OH_AudioRenderer_Stop(r), kIllegal);
  EXPECT_EQ(OH_AudioRenderer_GetCurrentState(r, nullptr), kInvalid);
  EXPECT_EQ(OH_AudioRenderer_Release(r), kOk);  // never started
}

TEST_F(VirtualDevice, HardwareStreamsLeaveTheVirtualDeviceAlone) {
  // With a device present they run; without one Start fails and the stream stays prepared.
  vdev::use_hardware(true);
  Player p;
  Recorder rec;
  OH_AudioRenderer* r = make_renderer(&p, 16000, 1, 0);
  OH_AudioCapturer* c = make_capturer(&rec, 16000, 40);
  const OH_AudioStream_Result played = OH_AudioRenderer_Start(r);
  const OH_AudioStream_Result captured = OH_AudioCapturer_Start(c);
  EXPECT_TRUE(captured == kOk || captured == AUDIOSTREAM_ERROR_SYSTEM) << captured;
  if (played == kOk) {
    EXPECT_TRUE(eventually([&] { return p.calls > 0; }));
    EXPECT_EQ(OH_AudioRenderer_Stop(r), kOk);
  } else {
    EXPECT_EQ(played, AUDIOSTREAM_ERROR_SYSTEM);
    EXPECT_EQ(state_of(r), AUDIOSTREAM_STATE_PREPARED);
  }
  OH_AudioRenderer_Flush(r);
  EXPECT_EQ(OH_AudioRenderer_Release(r), kOk);
  EXPECT_EQ(OH_AudioCapturer_Release(c), kOk);
  EXPECT_EQ(vdev::render_requests(), 0u);  // nothing went to the virtual device
  // Back on the virtual device, new streams run again; the first request comes at once.
  vdev::use_hardware(false);
  ASSERT_EQ(OH_AudioRenderer_Start(make_renderer(&p, 16000, 1, 0, 1000)), kOk);
  EXPECT_TRUE(vdev::wait_render_requests(1, 800));  // the second is due after 1 s
  EXPECT_EQ(OH_AudioRenderer_Release(p.self), kOk);
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
    Player p;
    Recorder rec;
    OH_AudioRenderer* r = make_renderer(&p, 16000, 1, 0);
    OH_AudioCapturer* cap = make_capturer(&rec, 16000, 0);
    ASSERT_EQ(OH_AudioRenderer_Start(r), kOk);
    ASSERT_EQ(OH_AudioCapturer_Start(cap), kOk);
    vdev::inject_renderer_interrupt(c.force, c.hint);
    vdev::inject_capturer_interrupt(c.force, c.hint);
    EXPECT_EQ(p.interrupts, 1);
    EXPECT_EQ(rec.interrupts, 1);
    EXPECT_EQ(p.interrupted_state, c.after);
    EXPECT_EQ(rec.interrupted_state, c.after);
    const bool runs = c.after == AUDIOSTREAM_STATE_RUNNING;
    EXPECT_EQ(vdev::pump_render(1), runs ? 1 : 0);
    EXPECT_EQ(vdev::pump_capture(1), runs ? 1 : 0);
    // A halted stream hears no more interruptions, and starts again when asked.
    vdev::inject_renderer_interrupt(c.force, c.hint);
    EXPECT_EQ(p.interrupts, runs ? 2 : 1);
    EXPECT_EQ(runs ? kOk : OH_AudioRenderer_Start(r), kOk);
    EXPECT_EQ(runs ? kOk : OH_AudioCapturer_Start(cap), kOk);
    EXPECT_EQ(vdev::pump_render(1), 1);
    EXPECT_EQ(vdev::pump_capture(1), 1);
    EXPECT_EQ(OH_AudioRenderer_Release(r), kOk);
    EXPECT_EQ(OH_AudioCapturer_Release(cap), kOk);
  }
}

}  // namespace
