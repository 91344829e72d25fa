#include "utils/kx_agc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using kx_agc_internal::agc_info;
using kx_agc_internal::AgcState;
using kx_agc_internal::log2_Q15;
using kx_agc_internal::save_state;

const INT32 kMax = std::numeric_limits<INT32>::max();
const INT32 kMin = std::numeric_limits<INT32>::min();
const double kPi = 3.14159265358979323846;

const char kLimitLines[] =
    "=====>agc: iTargetLvl[-1024] iNgTHD[-76800]\n"
    "=====>agc: target_limit[29204] noise_limit[5]\n";

// What `f` printed.
template <class F>
std::string printed(F f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

// A freshly initialised instance; its printout is swallowed.
void reset(int channels) {
  AGC_INFO_PARAM request = {1, 8000, channels, 24};
  printed([&] { kx_agc_init(&request); });
}

// Runs the control on `buf` and returns what it printed.
std::string run(std::vector<short>& buf, int frames, int* result = nullptr) {
  int r = 0;
  std::string text = printed([&] { r = kx_agc_run(buf.data(), frames); });
  if (result != nullptr) *result = r;
  return text;
}

std::vector<short> run_mono(std::vector<short> buf) {
  run(buf, static_cast<int>(buf.size()));
  return buf;
}

// States compare bytewise.
static_assert(std::has_unique_object_representations_v<AgcState>, "AgcState has padding");
bool same_state(const AgcState& x, const AgcState& y) {
  return std::memcmp(&x, &y, sizeof(x)) == 0;
}

TEST(KxAgc, Log2Q15) {
  // 100: normalised to 25600 after 8 doublings, segment 5: dy 1906, y -731, -731 - 8 * 2048.
  // 300: 19200 after 6 doublings, segment 1: dy 2957, y -1582, -1582 - 6 * 2048.
  const std::pair<UINT16, INT32> cases[] = {{0, -30720},    {1, -30720},   {2, -28672},
                                            {100, -17115},  {300, -13870}, {16384, -2048},
                                            {20000, -1461}, {32767, -1},   {32768, 0}};
  for (const auto& [x, expected] : cases) EXPECT_EQ(log2_Q15(x), expected) << "x=" << x;

  // Doubling adds exactly one octave below the normalised range, and the table never makes the
  // logarithm fall as its argument grows.
  for (INT32 x = 1; x <= 32768; ++x) {
    const INT32 y = log2_Q15(static_cast<UINT16>(x));
    ASSERT_GE(y, log2_Q15(static_cast<UINT16>(x - 1))) << "x=" << x;
    ASSERT_TRUE(x >= 16384 || log2_Q15(static_cast<UINT16>(2 * x)) == y + 2048) << "x=" << x;
  }
}

TEST(KxAgc, InitAndSetConfig) {
  reset(2);
  std::vector<short> noise = {0, 3000, -12000, 500, 20000, -7, 0, 32767};
  run(noise, 4);
  kx_agc_set_config(10);
  agc_info()->AccSumR = 77;

  AGC_INFO_PARAM stereo = {0, 44100, 2, 3};
  int result = 0;
  const std::string out = printed([&] { result = kx_agc_init(&stereo); });
  EXPECT_EQ(result, 1);
  // The printout names the request it was given.
  EXPECT_NE(out.find("CH= 2"), std::string::npos) << out;
  EXPECT_NE(out.find("SR= 44100 Hz"), std::string::npos) << out;
  // Stereo, rate, bounds, target level, gate and peak period; all else 0, magnitude rings too.
  AGC_INFO expected = {1, 44100, 24, -24, -1024, -76800, 96, 0, 0, 0, 0, 0,
                       0, 0,     0,  0,   0,     0,      0,  0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(agc_info(), &expected, sizeof(expected)), 0);
  const AgcState s = save_state();
  EXPECT_EQ(std::count(s.ring_l, s.ring_l + 4, 0) + std::count(s.ring_r, s.ring_r + 4, 0), 8);

  // Any channel count but 2 is mono; a null request counts as an all-zero one.
  for (int channels : {0, 1, 3, 2}) {
    reset(channels);
    EXPECT_EQ(agc_info()->bStereo, channels == 2 ? 1u : 0u) << channels;
  }
  kx_agc_set_config(5);
  EXPECT_NE(printed([&] { result = kx_agc_init(nullptr); }).find("SR= 0 Hz"), std::string::npos);
  EXPECT_EQ(result, 1);
  expected.bStereo = 0;
  expected.iSampleRate = 0;
  EXPECT_EQ(std::memcmp(agc_info(), &expected, sizeof(expected)), 0);

  // Bounds from kx_agc_set_config are stored in 16 bits.
  const std::tuple<INT32, INT16, INT16> cases[] = {
      {10, 10, -10},        {-5, -5, 5},  {32767, 32767, -32767},   {32768, -32768, -32768},
      {70000, 4464, -4464}, {kMin, 0, 0}, {-32768, -32768, -32768}, {0, 0, 0}};
  for (const auto& [value, max, min] : cases) {
    kx_agc_set_config(value);
    EXPECT_EQ(agc_info()->iMaxGain, max) << value;
    EXPECT_EQ(agc_info()->iMinGain, min) << value;
  }
}

// What a process sees before the control was ever opened, and the limit printout. Runs in a
// fresh process: the limits are printed only when they change, once per process.
int fresh_process_faults() {
  int faults = 0;
  auto check = [&faults](bool ok, const char* what) {
    if (!ok && ++faults > 0) fprintf(stderr, "failed: %s\n", what);
  };
  std::vector<short> buf = {32767, -32768, 100, 32767};
  const std::vector<short> original = buf;

  check(printed([] { kx_agc_set_config(10); }) == "No Opened.\r\n", "set_config while closed");
  check(agc_info()->iMaxGain == 0 && agc_info()->iMinGain == 0, "bounds unchanged");
  int result = -1;
  check(run(buf, 3, &result) == "AGC No Opened.\r\n", "run before open prints");
  check(result == 0 && buf == original, "run before open refused");

  reset(1);
  // A block of no frames computes and prints the limits but records nothing, so the next run
  // prints them again; after one processed frame they are not printed any more.
  check(run(buf, 0, &result) == kLimitLines && result == 1, "empty run prints limits");
  check(buf == original, "empty run leaves the block");
  check(run(buf, 0) == kLimitLines, "second empty run prints limits");
  check(run(buf, 3, &result) == kLimitLines && result == 1, "first real run prints limits");
  // Full scale is limited to -1 dBFS; in mono the count of frames is one of samples.
  check(buf[0] == 29204 && buf[1] == -29204 && buf[3] == 32767, "three samples processed");
  check(run(buf, 3).empty(), "later runs print nothing");
  check(run(buf, -5, &result).empty() && result == 1 && buf[3] == 32767, "negative count");
  reset(1);
  check(run(buf, 1).empty(), "initialisation does not bring the printout back");
  return faults;
}

TEST(KxAgcDeathTest, FreshProcessOpenCheckAndLimitPrintout) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(fresh_process_faults()), testing::ExitedWithCode(0), "");
}

TEST(KxAgc, DeinitKeepsStateAndRefusesRuns) {
  reset(1);
  std::vector<short> warm(300);
  for (size_t i = 0; i < warm.size(); ++i) warm[i] = static_cast<short>((i % 7) * 900 - 2700);
  run(warm, 300);
  const AgcState before = save_state();

  EXPECT_EQ(kx_agc_deinit(), 0);
  std::vector<short> buf = {30000, -30000, 0, 5};
  const std::vector<short> original = buf;
  int result = -1;
  EXPECT_EQ(run(buf, 4, &result), "AGC No Opened.\r\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(buf, original);
  EXPECT_EQ(printed([] { kx_agc_set_config(3); }), "No Opened.\r\n");
  EXPECT_TRUE(same_state(before, save_state()));

  // Reopening carries on with the same measurements and gains.
  EXPECT_EQ(kx_agc_open(), 0);
  EXPECT_EQ(kx_agc_open(), 0);
  EXPECT_TRUE(same_state(before, save_state()));
  EXPECT_EQ(run(buf, 4, &result), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(buf[0], 29204);
  EXPECT_EQ(kx_agc_run(nullptr, 16), 0);
}

TEST(KxAgc, GainAndLimiterPerSample) {
  // The step is a limiter at -1 dBFS (29204); everything below follows
  // trunc(10^((20 log10(|s| / 32768) + gain) / 20) * 32768) with the logarithm in single
  // precision, which lands one below some inputs at 0 dB (16384, 600, 2000).
  const std::tuple<short, INT32, short> cases[] = {
      {32767, 0, 29204},    {-32768, 0, -29204}, {0, 0, 0},         {0, 24, 0},
      {0, -24, 0},          {1000, 0, 1000},     {-1000, 0, -1000}, {16384, 0, 16383},
      {600, 0, 599},        {400, 0, 400},       {2000, 0, 1999},   {5000, 0, 5000},
      {1000, 1, 1122},      {1000, 6, 1995},     {1000, -6, 501},   {-1000, -6, -501},
      {1000, 24, 15848},    {3000, 24, 29204},   {3270, 19, 29143}, {3280, 19, 29204},
      {1, -24, 0},          {-1, -24, 0},        {-100, -24, -6},   {32767, -2, 26027},
      {-32768, -2, -26028}, {32767, -1, 29203}};
  for (const auto& [in, gain_db, expected] : cases) {
    reset(1);
    agc_info()->iActiveGainL = gain_db;
    EXPECT_EQ(run_mono({in})[0], expected) << in << " at " << gain_db << " dB";
  }

  // At the highest gain no sample leaves the limits, none changes sign and zero stays zero.
  reset(1);
  for (INT32 s = -32768; s <= 32767; ++s) {
    agc_info()->iActiveGainL = 24;
    short out = static_cast<short>(s);
    kx_agc_run(&out, 1);
    ASSERT_LE(std::abs(out), 29204) << s;
    ASSERT_TRUE(s == 0 ? out == 0 : (out == 0 || (out < 0) == (s < 0))) << s;
  }
}

TEST(KxAgc, ControllerSteps) {
  // Zero samples never publish a peak, so the measured level stays where it was put.
  // dist = -1024 - peak - 512 * gain above the gate, peak + 76800 - 512 * gain at or under it.
  // Name, peak level, gain, sum, frames, gain and sum after them, bounds.
  const std::tuple<const char*, INT32, INT32, INT32, int, INT32, INT32, INT32> cases[] = {
      {"-31 dBFS, first frame", -31744, 0, 0, 1, 0, 30720, 24},
      {"-31 dBFS, second frame", -31744, 0, 0, 2, 1, 10240, 24},
      {"-31 dBFS, fourth frame", -31744, 0, 0, 4, 2, 19456, 24},
      {"dist 350 is dead zone", -1374, 0, 60000, 1, 0, 60350, 24},
      {"dist 351 steps up", -1375, 0, 60000, 1, 1, 9151, 24},
      {"sum at decay threshold", -1375, 0, 50849, 1, 0, 51200, 24},
      {"sum one above decay threshold", -1375, 0, 50850, 1, 1, 1, 24},
      {"dist -350 is dead zone", -674, 0, -40000, 1, 0, -40350, 24},
      {"dist -351 steps down", -673, 0, -40000, 1, -1, -9631, 24},
      {"sum at attack threshold", -673, 0, -30369, 1, 0, -30720, 24},
      {"sum one below attack threshold", -673, 0, -30370, 1, -1, -1, 24},
      {"peak at the gate is gated", -76800, 0, 0, 1, 0, 0, 24},
      {"peak one above the gate", -76799, 0, 0, 1, 1, 24575, 24},
      {"peak one below the gate", -76801, 0, 0, 1, 0, -1, 24},
      {"gated rise at threshold", -76800, -2, 29696, 1, -2, 30720, 24},
      {"gated rise one above", -76800, -2, 29697, 1, -1, 1, 24},
      {"silence at threshold", -92467, 0, -1622733, 1, 0, -1638400, 24},
      {"silence one below: two dB down", -92467, 0, -1622734, 1, -2, -1, 24},
      {"upper bound", -31744, 24, 51200, 1, 24, 18432, 24},
      {"gated lower bound", -92467, -23, -1638400, 1, -24, -3891, 24},
      {"bounds 0: step down undone", -673, 0, -40000, 1, 0, -9631, 0},
      {"bounds 0: step up undone", -1375, 0, 60000, 1, 0, 9151, 0},
      {"integrator saturates up", -1324, 0, kMax - 100, 1, 0, kMax, 24},
      {"integrator saturates down", -724, 0, kMin + 100, 1, 0, kMin, 24},
      {"saturated integrator steps", -1375, 0, kMax - 100, 1, 1, kMax - 51200, 24},
  };
  for (const auto& [name, peak_db, gain0, acc0, frames, want_gain, want_acc, bound] : cases) {
    for (int channels : {1, 2}) {
      SCOPED_TRACE(testing::Message() << name << ", channels " << channels);
      reset(channels);
      kx_agc_set_config(bound);
      AGC_INFO* a = agc_info();
      // In stereo the right channel gets the case and the left one stays quiet in the dead zone.
      a->iPeakLDB = channels == 2 ? -1024 : peak_db;
      a->iPeakRDB = peak_db;
      const INT32& gain = (channels == 2 ? a->iCurGainR : a->iCurGainL) = gain0;
      const INT32& acc = (channels == 2 ? a->AccSumR : a->AccSumL) = acc0;
      std::vector<short> zeros(static_cast<size_t>(frames * channels));
      run(zeros, frames);
      EXPECT_EQ(gain, want_gain);
      EXPECT_EQ(acc, want_acc);
      if (channels == 2) {
        EXPECT_EQ(std::make_pair(a->iCurGainL, a->AccSumL), std::make_pair(0, 0));
      }
    }
  }
}

TEST(KxAgc, PeakDetector) {
  // The oldest of four magnitudes is a candidate when the two after it fall and the newest is
  // below it. 100: log2 -17115 Q11, times 301 / 100 truncated toward zero: -51516 Q10. The
  // integrator sees -1024 a frame until a peak is published, -1024 - level from that frame on.
  // Name, samples, published peak, its level, the countdown to the next publication, the sum.
  const std::tuple<const char*, std::vector<short>, UINT16, INT32, UINT8, INT32> cases[] = {
      {"falling after 100", {0, 100, 50, 20, 10}, 100, -51516, 96, -4 * 1024 + 50492},
      {"negative full scale", {0, -32768, -100, -50, -10}, 32768, 0, 96, -5 * 1024},
      {"plateau not yet", {0, 100, 100, 20, 10}, 0, 0, 0, -5 * 1024},
      {"plateau second sample", {0, 100, 100, 20, 10, 5}, 100, -51516, 96, -5 * 1024 + 50492},
      {"newest not below", {0, 100, 50, 20, 100}, 0, 0, 0, -5 * 1024},
      {"no fall after the first", {0, 100, 50, 50, 10, 5}, 0, 0, 0, -6 * 1024},
      {"constant", {500, 500, 500, 500, 500, 500}, 0, 0, 0, -6 * 1024},
  };
  for (const auto& [name, in, peak, peak_db, countdown, acc] : cases) {
    // The magnitude ring carries over from block to block: any split gives the same result.
    for (long split = 0; split <= static_cast<long>(in.size()); ++split) {
      SCOPED_TRACE(testing::Message() << name << ", split at " << split);
      reset(1);
      run_mono(std::vector<short>(in.begin(), in.begin() + split));
      run_mono(std::vector<short>(in.begin() + split, in.end()));
      const AGC_INFO* a = agc_info();
      EXPECT_EQ(std::make_tuple(a->peakL, a->iPeakLDB, a->pk_up_curL, a->AccSumL),
                std::tie(peak, peak_db, countdown, acc));
      EXPECT_EQ(a->peakL_next, 0);
      EXPECT_EQ(a->peakL_update, 0);
    }
  }

  // After a publication the next candidate waits 96 frames: published at frame 4, the larger
  // peak found at frame 8 comes out at frame 100, not at frame 99. Each channel of a stereo
  // pair counts on its own.
  const short head[] = {0, 100, 50, 20, 10, 300, 200, 100, 50};
  for (int lane : {0, 1, 2}) {  // mono, stereo left, stereo right
    SCOPED_TRACE(lane);
    const int channels = lane == 0 ? 1 : 2;
    reset(channels);
    std::vector<short> block(static_cast<size_t>(100 * channels), 0);
    for (size_t i = 0; i < std::size(head); ++i) block[i * channels + (lane == 2)] = head[i];
    run(block, 100);
    const AGC_INFO* a = agc_info();
    auto lane_state = [&] {
      return lane == 2 ? std::make_tuple(a->peakR, a->iPeakRDB, a->peakR_next, a->pk_up_curR)
                       : std::make_tuple(a->peakL, a->iPeakLDB, a->peakL_next, a->pk_up_curL);
    };
    EXPECT_EQ(lane_state(), std::make_tuple(UINT16{100}, -51516, UINT16{300}, UINT8{1}));
    std::vector<short> one(static_cast<size_t>(channels), 0);
    run(one, 1);
    EXPECT_EQ(lane_state(), std::make_tuple(UINT16{300}, -41748, UINT16{0}, UINT8{96}));
    // The other channel of the pair saw only zeros.
    EXPECT_EQ(lane == 1 ? a->peakR : lane == 2 ? a->peakL : 0, 0);
  }
}

TEST(KxAgc, GainChangesOnlyAtZeroCrossings) {
  // The controller wants +6 dB and sits in its dead zone (dist 0); the applied gain is `active`.
  // Constant magnitudes publish no peak, so nothing else moves.
  auto prime = [](int channels, INT32 active) {
    reset(channels);
    AGC_INFO* a = agc_info();
    a->iCurGainL = a->iCurGainR = 6;
    a->iPeakLDB = a->iPeakRDB = -1024 - 6 * 512;
    a->iActiveGainL = active;
  };
  auto expect = [&](const char* name, int channels, INT32 active, std::vector<short> buf,
                    const std::vector<short>& out, INT32 active_l, INT32 active_r) {
    SCOPED_TRACE(name);
    prime(channels, active);
    run(buf, static_cast<int>(buf.size()) / channels);
    EXPECT_EQ(buf, out);
    EXPECT_EQ(agc_info()->iActiveGainL, active_l);
    EXPECT_EQ(agc_info()->iActiveGainR, active_r);
    EXPECT_EQ(agc_info()->iCurGainL, 6);
  };
  const std::vector<short> constant(200, 5000);
  expect("constant positive keeps the gain", 1, 0, constant, constant, 0, 0);
  expect("each sign change takes the wanted gain", 1, 0, {5000, 5000, -5000, -5000, 5000},
         {5000, 5000, -9976, -9976, 9976}, 6, 0);
  expect("zero counts as positive", 1, 0, {-5000, 0, 5000}, {-5000, 0, 9976}, 6, 0);
  expect("minus full scale is negative", 1, 0, {5000, -32768, -5000}, {5000, -29204, -9976}, 6, 0);
  // The previous sample is read after it was rewritten: at -24 dB a -1 becomes 0, so a
  // following positive sample is no crossing; a -100 stays negative (-6) and is one.
  expect("rewritten -1 is not negative", 1, -24, {-1, 5}, {0, 0}, -24, 0);
  expect("rewritten -100 is negative", 1, -24, {-100, 5}, {-6, 9}, 6, 0);
  // Zero crossings are judged per channel.
  expect("stereo, right crosses", 2, 0, {5000, 5000, 5000, -5000, 5000, 5000, 5000, -5000},
         {5000, 5000, 5000, -9976, 5000, 9976, 5000, -9976}, 0, 6);
  expect("stereo, left crosses", 2, 0, {5000, 5000, -5000, 5000, 5000, 5000, -5000, 5000},
         {5000, 5000, -9976, 5000, 9976, 5000, -9976, 5000}, 6, 0);

  // The first frame of a call is never compared with the last frame of the one before.
  prime(1, 0);
  EXPECT_EQ(run_mono({5000}), std::vector<short>{5000});
  EXPECT_EQ(run_mono({-5000}), std::vector<short>{-5000});
  EXPECT_EQ(agc_info()->iActiveGainL, 0);
}

TEST(KxAgc, LoudAndQuietChannelsFindTheirOwnLevel) {
  // Left a full-scale sine (period 40), right a quiet pattern whose every sample changes sign,
  // in blocks of 160 frames: each channel finds its own level.
  const size_t kFrames = 2400;
  const short quiet[4] = {600, -400, 200, -100};
  std::vector<short> buf(2 * kFrames);
  for (size_t i = 0; i < kFrames; ++i) {
    buf[2 * i] = static_cast<short>(std::lround(32767.0 * std::sin(2.0 * kPi * i / 40.0)));
    buf[2 * i + 1] = quiet[i % 4];
  }
  reset(2);
  printed([&] {
    for (size_t at = 0; at < buf.size(); at += 2 * 160) kx_agc_run(&buf[at], 160);
  });
  // Left: peak -1 Q11 octave is -3 Q10 dB, the error -1021 - 512 * gain settles at -2 dB
  // (error 3), which the last block has at every crest.
  // Right: every frame is a zero crossing, so the applied gain follows the controller, which
  // moves at most one dB per frame and only upwards until it reaches the bound.
  short last_max = 0, last_min = 0;
  long prev = 0;
  for (size_t i = 0; i < kFrames; ++i) {
    if (i >= kFrames - 160) {
      last_max = std::max(last_max, buf[2 * i]);
      last_min = std::min(last_min, buf[2 * i]);
    }
    const long db =
        std::lround(20.0 * std::log10(buf[2 * i + 1] / static_cast<double>(quiet[i % 4])));
    ASSERT_GE(db, prev) << i;
    ASSERT_LE(db, i == 0 ? 0 : prev + 1) << i;
    prev = db;
  }
  EXPECT_EQ(last_min, -26027);
  EXPECT_EQ(last_max, 26027);
  EXPECT_EQ(prev, 24);
  const AGC_INFO* a = agc_info();
  EXPECT_EQ(std::make_tuple(a->iPeakLDB, a->iCurGainL, a->iCurGainR), std::make_tuple(-3, -2, 24));
  EXPECT_EQ(buf[2 * (kFrames - 4) + 1], 9509);  // 600 raised by 24 dB
}

// Fast path (gain steps from tables, the controller in closed form between events) against the
// straightforward computation: runs `frames` frames of `buf` through both from the current state,
// which must leave the same samples, state (fields, magnitude rings, limits) and printout, and
// leaves the instance where the fast path left it. The samples lie between guard bytes that
// neither may touch; blocks of odd length start at an odd address (samples go bytewise).
testing::AssertionResult same_through_both(const std::vector<short>& buf, int frames) {
  const AgcState start = save_state();
  const size_t at = 4 + buf.size() % 2;  // byte offset of the first sample
  int (*const paths[2])(short*, int) = {kx_agc_internal::kx_agc_run_reference, kx_agc_run};
  std::vector<unsigned char> bytes[2];
  std::string text[2];
  int result[2];
  AgcState state[2];
  for (int p = 0; p < 2; ++p) {  // the fast path last
    kx_agc_internal::restore_state(start);
    bytes[p].assign(2 * buf.size() + 2 * at, 0xA5);
    std::copy_n(reinterpret_cast<const unsigned char*>(buf.data()), 2 * buf.size(), &bytes[p][at]);
    short* samples = reinterpret_cast<short*>(&bytes[p][at]);
    text[p] = printed([&] { result[p] = paths[p](samples, frames); });
    state[p] = save_state();
  }
  const bool guarded = std::count(bytes[0].begin(), bytes[0].begin() + at, 0xA5) +
                           std::count(bytes[0].end() - at, bytes[0].end(), 0xA5) ==
                       2 * static_cast<long>(at);
  if (!guarded || result[0] != result[1] || text[0] != text[1] || bytes[0] != bytes[1] ||
      !same_state(state[0], state[1])) {
    const auto byte = std::mismatch(bytes[0].begin(), bytes[0].end(), bytes[1].begin()).first;
    return testing::AssertionFailure()
           << (guarded ? "" : "wrote outside the block; ") << "result " << result[1] << " vs "
           << result[0] << "; first difference at byte " << (byte - bytes[0].begin())
           << ", samples from byte " << at << "; printed\n"
           << text[1] << "vs\n"
           << text[0] << "state\n  fast " << testing::PrintToString(state[1]) << "\n  ref  "
           << testing::PrintToString(state[0]) << "\nfrom " << testing::PrintToString(start);
  }
  return testing::AssertionSuccess();
}

TEST(KxAgcFastPath, EveryInputAtEveryGainAndTargetLevel) {
  // At the default target level gains up to +-24 are tabulated, the rest computed per sample; the
  // bounds kx_agc_set_config can set are +-32768, and beyond about +-91 dB every gain gives the
  // same samples. Other target levels have no tables (they belong to the level they were computed
  // for): 0 and -512 both truncate to 0 dB, positive ones raise the ceiling above full scale.
  const INT32 kDefault = -1024;
  std::vector<INT32> all_gains = {-32768, -32767, -1000, -120, -92,  -91,  -90,
                                  90,     91,     92,    120,  1000, 32767};
  for (INT32 g = -40; g <= 40; ++g) all_gains.push_back(g);
  const std::vector<INT32> some_gains = {-24, -3, 0, 1, 5, 24, 40};
  // Every 16-bit value once in each channel, in two orders.
  std::vector<short> left(65536), right(65536), stereo(2 * 65536);
  for (size_t i = 0; i < 65536; ++i) left[i] = right[i] = static_cast<short>(i - 32768);
  std::shuffle(left.begin(), left.end(), std::mt19937(1));
  std::shuffle(right.begin(), right.end(), std::mt19937(2));
  for (size_t i = 0; i < 2 * 65536; ++i) stereo[i] = i % 2 ? right[i / 2] : left[i / 2];
  for (INT32 target :
       {-1023, -1025, -512, 0, kDefault, 1023, 1024, 3072, -2048, -6144, -30720, -102400}) {
    for (INT32 g : target == kDefault ? all_gains : some_gains) {
      for (int channels : {1, 2}) {
        SCOPED_TRACE(testing::Message()
                     << "target " << target << ", gain " << g << ", channels " << channels);
        reset(channels);
        AGC_INFO* a = agc_info();
        a->iTargetLvl = target;
        std::vector<short> first(2);
        if (target == kDefault) run(first, 1);  // limits computed before the comparison
        if (target == kDefault || target == -2048) {
          EXPECT_EQ(kx_agc_internal::gain_tabulated(g), target == kDefault && std::abs(g) <= 24);
        }
        // Bounds pinned to one gain: every frame is rewritten at exactly that gain, whatever the
        // controller measures.
        a->iMaxGain = a->iMinGain = static_cast<INT16>(g);
        a->iCurGainL = a->iCurGainR = a->iActiveGainL = a->iActiveGainR = g;
        ASSERT_TRUE(same_through_both(channels == 1 ? left : stereo, 65536));
        ASSERT_EQ(a->iActiveGainL, g);
      }
    }
  }
}

// One block of `frames` frames of a randomly chosen kind of signal.
std::vector<short> random_block(size_t frames, int channels, std::mt19937& rng) {
  const size_t n = frames * static_cast<size_t>(channels);
  std::vector<short> v(n);
  std::uniform_int_distribution<int> any(-32768, 32767);
  std::uniform_real_distribution<double> level(0.0, 1.0);
  switch (rng() % 9) {
    case 0:  // white noise at full scale
      for (short& s : v) s = static_cast<short>(any(rng));
      break;
    case 1: {  // white noise at a random level, down to a few LSB
      const int amp = static_cast<int>(std::pow(10.0, 4.5 * level(rng)));
      std::uniform_int_distribution<int> d(-amp, amp);
      for (short& s : v) s = static_cast<short>(d(rng));
      break;
    }
    case 2:  // silence
      break;
    case 3:  // a constant
      std::fill(v.begin(), v.end(), static_cast<short>(any(rng)));
      break;
    case 4: {  // a square wave
      const size_t period = 1 + rng() % 64;
      const short c = static_cast<short>(any(rng));
      for (size_t i = 0; i < n; ++i) v[i] = (i / period) % 2 ? c : static_cast<short>(-c);
      break;
    }
    case 5: {  // a sine at a random level and frequency
      const double amp = 32767.0 * level(rng);
      const double f = 20.0 + 4000.0 * level(rng);
      for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<short>(std::lround(amp * std::sin(2.0 * kPi * f * i / 16000.0)));
      }
      break;
    }
    default: {  // the suites' speech-like signal, loud or quiet
      const double peak = std::pow(10.0, 4.52 - 4.0 * level(rng));
      const std::vector<int16_t> x =
          testing_support::speech_like(16000, n / 16000.0 + 1, static_cast<unsigned>(rng()));
      int max = 1;  // of the first n samples
      for (size_t i = 0; i < n; ++i) max = std::max(max, std::abs(static_cast<int>(x[i])));
      for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<short>(std::clamp(std::lround(x[i] * peak / max), -32768L, 32767L));
      }
    }
  }
  return v;
}

TEST(KxAgcFastPath, RandomStatesAndBlocks) {
  // From fresh and from arbitrary states (countdowns, pending peaks and conversions, integrators
  // at their limits, gains outside or between crossed bounds, other periods, levels and ring
  // contents), a few blocks of the library's sizes (20 ms at 8 and 16 kHz) or odd ones, now and
  // then a long run of them from the fresh state; the bounds change between blocks as the capture
  // chain changes them.
  std::mt19937 rng(99);
  auto pick = [&rng](std::initializer_list<INT32> values) {
    return *(values.begin() + rng() % values.size());
  };
  auto acc = [&]() -> INT32 {
    const unsigned kind = rng() % 4;
    if (kind == 0) return std::uniform_int_distribution<INT32>(kMin, kMax)(rng);
    if (kind == 1) return std::uniform_int_distribution<INT32>(-2000000, 2000000)(rng);
    if (kind == 2) return pick({kMax, kMax - 1, kMax - 30000, kMin, kMin + 1, kMin + 60000});
    return pick({0, 51200, 51201, 30720, -30720, -30721, 1638400, -1638400, -1638401});
  };
  auto gain = [&]() -> INT32 {
    if (rng() % 8 == 0) return pick({-32768, -100, 100, 32767});
    return std::uniform_int_distribution<INT32>(-40, 40)(rng);
  };
  auto peak = [&]() { return static_cast<UINT16>(std::uniform_int_distribution<>(0, 32768)(rng)); };
  std::uniform_int_distribution<INT32> peak_db(-100000, 0);
  const INT32 sizes[] = {0, 1, 2, 3, 4, 5, 7, 96, 97, 160, 255, 256, 257, 320, 333, 640, 2000};
  for (int trial = 0; trial < 3000; ++trial) {
    SCOPED_TRACE(trial);
    const int channels = 1 + static_cast<int>(rng() % 2);
    reset(channels);
    if (rng() % 2) kx_agc_set_config(pick({-5, 0, 1, 2, 3, 5, 15, 24, 30, 100, 32768}));
    std::vector<short> one(2);
    if (rng() % 4 == 0) agc_info()->iTargetLvl = pick({0, -3072, -512, -30000});
    if (rng() % 4 == 0) agc_info()->iNgTHD = pick({-76800, -40000, -3000, 0});
    run(one, 0);  // limits for the chosen levels
    AGC_INFO* a = agc_info();
    if (trial % 4 != 0) {  // one trial in four from the fresh state
      if (rng() % 4 == 0) a->pk_up_thd = static_cast<UINT8>(pick({0, 1, 2, 5, 255}));
      a->pk_idx = static_cast<UINT8>(rng() % 4);
      auto lane = [&](UINT8& countdown, UINT16& pk, UINT16& next, UINT16& update, INT32& pk_db,
                      INT32& cur, INT32& active, INT32& sum) {
        countdown = static_cast<UINT8>(rng() % (a->pk_up_thd + 1u));
        pk = peak();
        next = static_cast<UINT16>(rng() % 2 ? peak() : 0);
        update = static_cast<UINT16>(rng() % 2);
        pk_db = rng() % 3 ? peak_db(rng) : pick({-76800, -76801, -76799, -1024, -674, -1374});
        cur = gain();
        active = rng() % 2 ? cur : gain();
        sum = acc();
      };
      lane(a->pk_up_curL, a->peakL, a->peakL_next, a->peakL_update, a->iPeakLDB, a->iCurGainL,
           a->iActiveGainL, a->AccSumL);
      lane(a->pk_up_curR, a->peakR, a->peakR_next, a->peakR_update, a->iPeakRDB, a->iCurGainR,
           a->iActiveGainR, a->AccSumR);
      AgcState s = save_state();
      for (UINT16& v : s.ring_l) v = peak();
      for (UINT16& v : s.ring_r) v = peak();
      kx_agc_internal::restore_state(s);
    }
    const int blocks = trial % 100 == 0 ? 150 : 1 + static_cast<int>(rng() % 3);
    for (int b = 0; b < blocks; ++b) {
      if (b > 0 && rng() % 3 == 0) kx_agc_set_config(pick({6, 24}));
      const INT32 frames =
          rng() % 2 ? sizes[rng() % std::size(sizes)] : static_cast<INT32>(rng() % 600);
      ASSERT_TRUE(same_through_both(random_block(frames, channels, rng), frames)) << "block " << b;
    }
  }
}

TEST(KxAgcFastPath, ControllerAtThresholdsAndBounds) {
  // Silence publishes no peak, so the error stays fixed for a whole block and the fast path
  // advances the integrator many frames at once. Errors that divide the thresholds, sums at and
  // next to them, gains free, on a bound and beyond it, lengths around the step points.
  // dist = target - peak - 512 gain above the gate, peak - gate - 512 gain at or under it.
  // Each error in both regimes where it can occur.
  for (INT32 dist : {351,   512,   1024,   5120,    25600,    51200,    51201,   70000, -351,
                     -1024, -3072, -30720, -30721,  -50000,   350,      -350,    0,     1,
                     -1,    30720, 30721,  -409600, -1638400, -1638401, -2000000}) {
    for (const bool gated : {false, true}) {
      for (INT32 gain : {-24, -23, 0, 24, 30, -30}) {
        for (INT32 acc :
             {0, 1, -1, 51201, -30721, 1638400, -1638401, kMax, kMax - 1000, kMin, kMin + 1000}) {
          for (int frames : {1, 2, 30, 31, 60, 61, 151, 400}) {
            // At the default target level (-1024) and gate (-76800).
            const INT32 peak = gated ? dist - 76800 + 512 * gain : -1024 - dist - 512 * gain;
            if ((peak > -76800) == gated) continue;  // not in the intended regime
            reset(1);
            AGC_INFO* a = agc_info();
            a->iPeakLDB = peak;
            a->iCurGainL = a->iActiveGainL = gain;
            a->AccSumL = acc;
            ASSERT_TRUE(same_through_both(std::vector<short>(static_cast<size_t>(frames)), frames))
                << "dist " << dist << (gated ? " gated" : "") << ", gain " << gain << ", acc "
                << acc << ", frames " << frames;
          }
        }
      }
    }
  }
}

}  // namespace
