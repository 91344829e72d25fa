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
#include <vector>

#include "test_support.h"

namespace {

using kx_agc_internal::agc_info;
using kx_agc_internal::AgcState;
using kx_agc_internal::log2_Q15;

const char kLimitLines[] =
    "=====>agc: iTargetLvl[-1024] iNgTHD[-76800]\n"
    "=====>agc: target_limit[29204] noise_limit[5]\n";

// A freshly initialised instance; its printout is swallowed.
void reset(int channels) {
  AGC_INFO_PARAM request = {1, 8000, channels, 24};
  testing::internal::CaptureStdout();
  kx_agc_init(&request);
  testing::internal::GetCapturedStdout();
}

// Runs the control on `buf` and returns what it printed.
std::string run(std::vector<short>& buf, int frames, int* result = nullptr) {
  testing::internal::CaptureStdout();
  int r = kx_agc_run(buf.data(), frames);
  if (result != nullptr) *result = r;
  return testing::internal::GetCapturedStdout();
}

std::vector<short> run_mono(std::vector<short> buf) {
  run(buf, static_cast<int>(buf.size()));
  return buf;
}

// Gain in whole dB that turned `in` into `out`.
int applied_db(short in, short out) {
  return static_cast<int>(std::lround(20.0 * std::log10(std::fabs(out / static_cast<double>(in)))));
}

TEST(KxAgc, Log2Q15) {
  struct Case {
    UINT16 x;
    INT32 expected;
  };
  // 100: normalised to 25600 after 8 doublings, segment 5: dy 1906, y -731, -731 - 8 * 2048.
  // 300: 19200 after 6 doublings, segment 1: dy 2957, y -1582, -1582 - 6 * 2048.
  const Case cases[] = {{0, -30720},    {1, -30720},    {2, -28672}, {100, -17115}, {300, -13870},
                        {16384, -2048}, {20000, -1461}, {32767, -1}, {32768, 0}};
  for (const Case& c : cases) EXPECT_EQ(log2_Q15(c.x), c.expected) << "x=" << c.x;

  // Doubling adds exactly one octave below the normalised range, and the table never makes the
  // logarithm fall as its argument grows.
  for (INT32 x = 1; x < 16384; ++x) {
    ASSERT_EQ(log2_Q15(static_cast<UINT16>(2 * x)), log2_Q15(static_cast<UINT16>(x)) + 2048)
        << "x=" << x;
  }
  for (INT32 x = 1; x <= 32768; ++x) {
    ASSERT_GE(log2_Q15(static_cast<UINT16>(x)), log2_Q15(static_cast<UINT16>(x - 1))) << "x=" << x;
  }
}

TEST(KxAgc, InitResetsAndPrintsParameters) {
  reset(1);
  std::vector<short> noise = {0, 3000, -12000, 500, 20000, -7, 0, 32767};
  run(noise, 8);
  kx_agc_set_config(10);
  agc_info()->AccSumR = 77;

  AGC_INFO_PARAM stereo = {0, 44100, 2, 3};
  testing::internal::CaptureStdout();
  EXPECT_EQ(kx_agc_init(&stereo), 1);
  std::string out = testing::internal::GetCapturedStdout();
  // The printout names the request it was given.
  EXPECT_NE(out.find("CH= 2"), std::string::npos) << out;
  EXPECT_NE(out.find("SR= 44100 Hz"), std::string::npos) << out;

  AGC_INFO expected;
  std::memset(&expected, 0, sizeof(expected));
  expected.bStereo = 1;
  expected.iSampleRate = 44100;
  expected.iMaxGain = 24;
  expected.iMinGain = -24;
  expected.iTargetLvl = -1024;
  expected.iNgTHD = -76800;
  expected.pk_up_thd = 96;
  EXPECT_EQ(std::memcmp(agc_info(), &expected, sizeof(expected)), 0);

  // Any channel count but 2 is mono; a null request counts as an all-zero one.
  struct Case {
    int channels;
    BOOL stereo;
  };
  for (Case c : {Case{1, 0}, Case{2, 1}, Case{3, 0}, Case{0, 0}}) {
    reset(c.channels);
    EXPECT_EQ(agc_info()->bStereo, c.stereo) << c.channels;
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(kx_agc_init(nullptr), 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("SR= 0 Hz"), std::string::npos);
  EXPECT_EQ(agc_info()->bStereo, 0u);
  EXPECT_EQ(agc_info()->iMaxGain, 24);
}

TEST(KxAgc, SetConfigStoresBoundsIn16Bits) {
  struct Case {
    INT32 value;
    INT16 max;
    INT16 min;
  };
  const Case cases[] = {
      {10, 10, -10},
      {0, 0, 0},
      {-5, -5, 5},
      {32767, 32767, -32767},
      {32768, -32768, -32768},
      {70000, 4464, -4464},
      {std::numeric_limits<INT32>::min(), 0, 0},
  };
  reset(1);
  for (const Case& c : cases) {
    kx_agc_set_config(c.value);
    EXPECT_EQ(agc_info()->iMaxGain, c.max) << c.value;
    EXPECT_EQ(agc_info()->iMinGain, c.min) << c.value;
  }
}

// What a process sees before the control was ever opened, and the limit printout. Runs in a
// fresh process: the limits are printed only when they change, once per process.
int fresh_process_faults() {
  int faults = 0;
  auto check = [&faults](bool ok, const char* what) {
    if (!ok) {
      fprintf(stderr, "failed: %s\n", what);
      faults++;
    }
  };
  std::vector<short> buf = {32767, -32768, 100};
  const std::vector<short> original = buf;

  testing::internal::CaptureStdout();
  kx_agc_set_config(10);
  check(testing::internal::GetCapturedStdout() == "No Opened.\r\n", "set_config while closed");
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
  check(buf[0] == 29204 && buf[1] == -29204, "full scale limited to -1 dBFS");
  check(run(buf, 3).empty(), "later runs print nothing");
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
  AGC_INFO before;
  std::memcpy(&before, agc_info(), sizeof(before));

  EXPECT_EQ(kx_agc_deinit(), 0);
  std::vector<short> buf = {30000, -30000, 0, 5};
  const std::vector<short> original = buf;
  int result = -1;
  EXPECT_EQ(run(buf, 4, &result), "AGC No Opened.\r\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(buf, original);
  testing::internal::CaptureStdout();
  kx_agc_set_config(3);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "No Opened.\r\n");
  EXPECT_EQ(std::memcmp(&before, agc_info(), sizeof(before)), 0);

  // Reopening carries on with the same measurements and gains.
  EXPECT_EQ(kx_agc_open(), 0);
  EXPECT_EQ(kx_agc_open(), 0);
  EXPECT_EQ(std::memcmp(&before, agc_info(), sizeof(before)), 0);
  EXPECT_EQ(run(buf, 4, &result), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(buf[0], 29204);

  EXPECT_EQ(kx_agc_run(nullptr, 16), 0);
}

TEST(KxAgc, GainAndLimiterPerSample) {
  struct Case {
    short in;
    INT32 gain_db;
    short out;
  };
  // The step is a limiter at -1 dBFS (29204); everything below follows
  // trunc(10^((20 log10(|s| / 32768) + gain) / 20) * 32768) with the logarithm in single
  // precision, which lands one below some inputs at 0 dB (16384, 600, 2000).
  const Case cases[] = {
      {32767, 0, 29204},    {-32768, 0, -29204}, {0, 0, 0},         {0, 24, 0},
      {0, -24, 0},          {1000, 0, 1000},     {-1000, 0, -1000}, {16384, 0, 16383},
      {600, 0, 599},        {400, 0, 400},       {2000, 0, 1999},   {5000, 0, 5000},
      {1000, 1, 1122},      {1000, 6, 1995},     {1000, -6, 501},   {-1000, -6, -501},
      {1000, 24, 15848},    {3000, 24, 29204},   {3270, 19, 29143}, {3280, 19, 29204},
      {1, -24, 0},          {-1, -24, 0},        {-100, -24, -6},   {32767, -2, 26027},
      {-32768, -2, -26028}, {32767, -1, 29203},
  };
  for (const Case& c : cases) {
    reset(1);
    agc_info()->iActiveGainL = c.gain_db;
    std::vector<short> buf = {c.in};
    run(buf, 1);
    EXPECT_EQ(buf[0], c.out) << c.in << " at " << c.gain_db << " dB";
  }

  // At the highest gain no sample leaves the limits, none changes sign and zero stays zero.
  reset(1);
  for (INT32 s = -32768; s <= 32767; ++s) {
    agc_info()->iActiveGainL = 24;
    short sample = static_cast<short>(s);
    kx_agc_run(&sample, 1);
    const short buf[1] = {sample};
    ASSERT_LE(std::abs(buf[0]), 29204) << s;
    ASSERT_TRUE(s == 0 ? buf[0] == 0 : (buf[0] == 0 || (buf[0] < 0) == (s < 0))) << s;
  }
}

TEST(KxAgc, ControllerSteps) {
  struct Case {
    const char* name;
    INT32 peak_db;
    INT32 gain;
    INT32 acc;
    int frames;
    INT32 want_gain;
    INT32 want_acc;
    INT32 bound = 24;
  };
  const INT32 kMax = std::numeric_limits<INT32>::max();
  const INT32 kMin = std::numeric_limits<INT32>::min();
  // Zero samples never publish a peak, so the measured level stays where it was put.
  // dist = -1024 - peak - 512 * gain above the gate, peak + 76800 - 512 * gain at or under it.
  const Case cases[] = {
      {"-31 dBFS, first frame", -31744, 0, 0, 1, 0, 30720},
      {"-31 dBFS, second frame", -31744, 0, 0, 2, 1, 10240},
      {"-31 dBFS, fourth frame", -31744, 0, 0, 4, 2, 19456},
      {"dist 350 is dead zone", -1374, 0, 60000, 1, 0, 60350},
      {"dist 351 steps up", -1375, 0, 60000, 1, 1, 9151},
      {"sum at decay threshold", -1375, 0, 50849, 1, 0, 51200},
      {"sum one above decay threshold", -1375, 0, 50850, 1, 1, 1},
      {"dist -350 is dead zone", -674, 0, -40000, 1, 0, -40350},
      {"dist -351 steps down", -673, 0, -40000, 1, -1, -9631},
      {"sum at attack threshold", -673, 0, -30369, 1, 0, -30720},
      {"sum one below attack threshold", -673, 0, -30370, 1, -1, -1},
      {"peak at the gate is gated", -76800, 0, 0, 1, 0, 0},
      {"peak one above the gate", -76799, 0, 0, 1, 1, 24575},
      {"peak one below the gate", -76801, 0, 0, 1, 0, -1},
      {"gated rise at threshold", -76800, -2, 29696, 1, -2, 30720},
      {"gated rise one above", -76800, -2, 29697, 1, -1, 1},
      {"silence at threshold", -92467, 0, -1622733, 1, 0, -1638400},
      {"silence one below: two dB down", -92467, 0, -1622734, 1, -2, -1},
      {"upper bound", -31744, 24, 51200, 1, 24, 18432},
      {"gated lower bound", -92467, -23, -1638400, 1, -24, -3891},
      {"bounds 0: step down undone", -673, 0, -40000, 1, 0, -9631, 0},
      {"bounds 0: step up undone", -1375, 0, 60000, 1, 0, 9151, 0},
      {"integrator saturates up", -1324, 0, kMax - 100, 1, 0, kMax},
      {"integrator saturates down", -724, 0, kMin + 100, 1, 0, kMin},
      {"saturated integrator steps", -1375, 0, kMax - 100, 1, 1, kMax - 51200},
  };
  for (const Case& c : cases) {
    for (int channels : {1, 2}) {
      reset(channels);
      kx_agc_set_config(c.bound);
      AGC_INFO* a = agc_info();
      // In stereo the right channel gets the case and the left one stays quiet in the dead zone.
      INT32& peak = channels == 2 ? a->iPeakRDB : a->iPeakLDB;
      INT32& gain = channels == 2 ? a->iCurGainR : a->iCurGainL;
      INT32& acc = channels == 2 ? a->AccSumR : a->AccSumL;
      if (channels == 2) a->iPeakLDB = -1024;
      peak = c.peak_db;
      gain = c.gain;
      acc = c.acc;
      std::vector<short> zeros(static_cast<size_t>(c.frames * channels));
      run(zeros, c.frames);
      EXPECT_EQ(gain, c.want_gain) << c.name << ", channels " << channels;
      EXPECT_EQ(acc, c.want_acc) << c.name << ", channels " << channels;
      if (channels == 2) {
        EXPECT_EQ(a->iCurGainL, 0) << c.name;
        EXPECT_EQ(a->AccSumL, 0) << c.name;
      }
    }
  }
}

TEST(KxAgc, PeakDetector) {
  // The oldest of four magnitudes is a candidate when the two after it fall and the newest is
  // below it. 100: log2 -17115 Q11, times 301 / 100 truncated toward zero: -51516 Q10.
  // The integrator sees -1024 for four frames (no peak yet) and then -1024 + 51516.
  struct Case {
    const char* name;
    std::vector<short> in;
    UINT16 peak;
    INT32 peak_db;
    UINT8 countdown;
  };
  const Case cases[] = {
      {"falling after 100", {0, 100, 50, 20, 10}, 100, -51516, 96},
      {"negative full scale", {0, -32768, -100, -50, -10}, 32768, 0, 96},
      {"plateau not yet", {0, 100, 100, 20, 10}, 0, 0, 0},
      {"plateau second sample", {0, 100, 100, 20, 10, 5}, 100, -51516, 96},
      {"newest not below", {0, 100, 50, 20, 100}, 0, 0, 0},
      {"no fall after the first", {0, 100, 50, 50, 10, 5}, 0, 0, 0},
      {"constant", {500, 500, 500, 500, 500, 500}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    reset(1);
    run_mono(c.in);
    const AGC_INFO* a = agc_info();
    EXPECT_EQ(a->peakL, c.peak) << c.name;
    EXPECT_EQ(a->iPeakLDB, c.peak_db) << c.name;
    EXPECT_EQ(a->pk_up_curL, c.countdown) << c.name;
    EXPECT_EQ(a->peakL_next, 0) << c.name;
    EXPECT_EQ(a->peakL_update, 0) << c.name;
  }
  reset(1);
  run_mono({0, 100, 50, 20, 10});
  EXPECT_EQ(agc_info()->AccSumL, -4 * 1024 + (-1024 + 51516));

  // The magnitude ring carries over from block to block: any split finds the same peak.
  const std::vector<short> in = {0, 100, 50, 20, 10};
  for (size_t split = 0; split <= in.size(); ++split) {
    reset(1);
    run_mono(std::vector<short>(in.begin(), in.begin() + static_cast<long>(split)));
    run_mono(std::vector<short>(in.begin() + static_cast<long>(split), in.end()));
    EXPECT_EQ(agc_info()->peakL, 100) << split;
    EXPECT_EQ(agc_info()->iPeakLDB, -51516) << split;
    EXPECT_EQ(agc_info()->AccSumL, 46396) << split;
  }

  // After a publication the next candidate waits 96 frames: published at frame 4, the larger
  // peak found at frame 8 comes out at frame 100, not at frame 99. Each channel of a stereo
  // pair counts on its own.
  const short head[] = {0, 100, 50, 20, 10, 300, 200, 100, 50};
  for (int lane : {0, 1, 2}) {  // mono, stereo left, stereo right
    const int channels = lane == 0 ? 1 : 2;
    const size_t offset = lane == 2 ? 1 : 0;
    reset(channels);
    std::vector<short> block(static_cast<size_t>(100 * channels), 0);
    for (size_t i = 0; i < std::size(head); ++i) block[i * channels + offset] = head[i];
    run(block, 100);
    const AGC_INFO* a = agc_info();
    const UINT16& peak = lane == 2 ? a->peakR : a->peakL;
    const UINT16& next = lane == 2 ? a->peakR_next : a->peakL_next;
    const UINT8& countdown = lane == 2 ? a->pk_up_curR : a->pk_up_curL;
    EXPECT_EQ(peak, 100) << lane;
    EXPECT_EQ(lane == 2 ? a->iPeakRDB : a->iPeakLDB, -51516) << lane;
    EXPECT_EQ(next, 300) << lane;
    EXPECT_EQ(countdown, 1) << lane;
    std::vector<short> one(static_cast<size_t>(channels), 0);
    run(one, 1);
    EXPECT_EQ(peak, 300) << lane;
    EXPECT_EQ(next, 0) << lane;
    EXPECT_EQ(countdown, 96) << lane;
    // The other channel of the pair saw only zeros.
    if (channels == 2) {
      EXPECT_EQ(lane == 2 ? a->peakL : a->peakR, 0) << lane;
    }
  }
}

TEST(KxAgc, GainChangesOnlyAtZeroCrossings) {
  // The controller wants +6 dB and sits in its dead zone (dist 0); the applied gain is 0 dB.
  // Constant magnitudes publish no peak, so nothing else moves.
  auto prime = [](int channels) {
    reset(channels);
    AGC_INFO* a = agc_info();
    a->iCurGainL = a->iCurGainR = 6;
    a->iPeakLDB = a->iPeakRDB = -1024 - 6 * 512;
  };
  struct Case {
    const char* name;
    int channels;
    std::vector<short> in;
    std::vector<short> out;
    INT32 active_l;
    INT32 active_r;
  };
  const Case cases[] = {
      {"constant positive keeps the gain", 1, std::vector<short>(200, 5000),
       std::vector<short>(200, 5000), 0, 0},
      {"each sign change takes the wanted gain",
       1,
       {5000, 5000, -5000, -5000, 5000},
       {5000, 5000, -9976, -9976, 9976},
       6,
       0},
      {"zero counts as positive", 1, {-5000, 0, 5000}, {-5000, 0, 9976}, 6, 0},
      {"minus full scale is negative", 1, {5000, -32768, -5000}, {5000, -29204, -9976}, 6, 0},
      // Zero crossings are judged per channel.
      {"stereo, right crosses",
       2,
       {5000, 5000, 5000, -5000, 5000, 5000, 5000, -5000},
       {5000, 5000, 5000, -9976, 5000, 9976, 5000, -9976},
       0,
       6},
      {"stereo, left crosses",
       2,
       {5000, 5000, -5000, 5000, 5000, 5000, -5000, 5000},
       {5000, 5000, -9976, 5000, 9976, 5000, -9976, 5000},
       6,
       0},
  };
  for (const Case& c : cases) {
    prime(c.channels);
    std::vector<short> out = c.in;
    run(out, static_cast<int>(out.size()) / c.channels);
    EXPECT_EQ(out, c.out) << c.name;
    EXPECT_EQ(agc_info()->iActiveGainL, c.active_l) << c.name;
    EXPECT_EQ(agc_info()->iActiveGainR, c.active_r) << c.name;
    EXPECT_EQ(agc_info()->iCurGainL, 6) << c.name;
  }

  // The first frame of a call is never compared with the last frame of the one before.
  prime(1);
  EXPECT_EQ(run_mono({5000}), std::vector<short>{5000});
  EXPECT_EQ(run_mono({-5000}), std::vector<short>{-5000});
  EXPECT_EQ(agc_info()->iActiveGainL, 0);

  // The previous sample is read after it was rewritten: at -24 dB a -1 becomes 0, so a
  // following positive sample is no crossing; a -100 stays negative (-6) and is one.
  for (short first : {-1, -100}) {
    reset(1);
    agc_info()->iActiveGainL = -24;
    agc_info()->iPeakLDB = -1024;  // dist 0 at gain 0
    std::vector<short> out = run_mono({first, 5});
    if (first == -1) {
      EXPECT_EQ(out, (std::vector<short>{0, 0}));
      EXPECT_EQ(agc_info()->iActiveGainL, -24);
    } else {
      EXPECT_EQ(out, (std::vector<short>{-6, 5}));
      EXPECT_EQ(agc_info()->iActiveGainL, 0);
    }
  }
}

const double kPi = 3.14159265358979323846;

std::vector<short> interleave(const std::vector<short>& l, const std::vector<short>& r) {
  std::vector<short> v(2 * l.size());
  for (size_t i = 0; i < l.size(); ++i) {
    v[2 * i] = l[i];
    v[2 * i + 1] = r[i];
  }
  return v;
}

// A full-scale sine (period 40) and a quiet pattern whose every sample changes sign.
std::vector<short> loud_sine(size_t n) {
  std::vector<short> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<short>(
        std::lround(32767.0 * std::sin(2.0 * kPi * static_cast<double>(i) / 40.0)));
  }
  return v;
}

std::vector<short> quiet_pattern(size_t n) {
  const short m[4] = {600, 400, 200, 100};
  std::vector<short> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<short>(i % 2 ? -m[i % 4] : m[i % 4]);
  return v;
}

TEST(KxAgc, LoudAndQuietChannelsFindTheirOwnLevel) {
  // Left loud, right quiet, in blocks of 160 frames: each channel finds its own level.
  reset(2);
  const size_t kBlock = 160;
  const size_t kFrames = 2400;
  const std::vector<short> left = loud_sine(kFrames);
  const std::vector<short> right = quiet_pattern(kFrames);
  std::vector<short> buf = interleave(left, right);
  buf.insert(buf.end(), 2, 12345);  // two guard samples past the last frame
  for (size_t at = 0; at < kFrames; at += kBlock) {
    std::vector<short> block(buf.begin() + static_cast<long>(2 * at),
                             buf.begin() + static_cast<long>(2 * (at + kBlock)));
    run(block, static_cast<int>(kBlock));
    std::copy(block.begin(), block.end(), buf.begin() + static_cast<long>(2 * at));
  }
  EXPECT_EQ(buf[2 * kFrames], 12345);
  EXPECT_EQ(buf[2 * kFrames + 1], 12345);
  // Left: limited at -1 dBFS from the start, then turned down. Peak -1 Q11 octave is -3 Q10 dB:
  // the error -1021 - 512 * gain settles at -2 dB (error 3).
  short first_max = 0, last_max = 0, last_min = 0;
  for (size_t i = 0; i < kFrames; ++i) {
    ASSERT_LE(std::abs(buf[2 * i]), 29204) << i;
    if (i < kBlock) first_max = std::max(first_max, buf[2 * i]);
    if (i >= kFrames - kBlock) {
      last_max = std::max(last_max, buf[2 * i]);
      last_min = std::min(last_min, buf[2 * i]);
    }
  }
  EXPECT_EQ(first_max, 29204);
  EXPECT_EQ(agc_info()->iPeakLDB, -3);
  EXPECT_EQ(agc_info()->iCurGainL, -2);
  EXPECT_EQ(last_max, 26027);
  EXPECT_EQ(last_min, -26027);
  // Right: every frame is a zero crossing, so the applied gain follows the controller, which
  // moves at most one dB per frame and only upwards until it reaches the bound.
  int prev = applied_db(right[0], buf[1]);
  EXPECT_EQ(prev, 0);
  int raises = 0;
  for (size_t i = 1; i < kFrames; ++i) {
    int db = applied_db(right[i], buf[2 * i + 1]);
    ASSERT_GE(db, prev) << i;
    ASSERT_LE(db, prev + 1) << i;
    raises += db - prev;
    prev = db;
  }
  EXPECT_EQ(raises, 24);
  EXPECT_EQ(agc_info()->iCurGainR, 24);
  EXPECT_EQ(buf[2 * (kFrames - 4) + 1], 9509);  // 600 raised by 24 dB
}

TEST(KxAgc, MonoCountIsSamples) {
  reset(1);
  std::vector<short> buf = {32767, 32767, 32767, 32767};
  run(buf, 3);
  EXPECT_EQ(buf, (std::vector<short>{29204, 29204, 29204, 32767}));
  run(buf, 0);
  run(buf, -5);
  EXPECT_EQ(buf, (std::vector<short>{29204, 29204, 29204, 32767}));
}

// Fast path against the straightforward computation. kx_agc_run looks the gain step up in tables
// and runs the controller in closed form between events; kx_agc_run_reference computes every
// step per sample. From the same state, both must leave the same samples, the same state (fields,
// magnitude rings, limits) and print the same text.

// Runs `frames` frames of `buf` through both paths from the current state and leaves the
// instance where the fast path left it. Failure messages show a state as its bytes.
testing::AssertionResult same_through_both(const std::vector<short>& buf, int frames) {
  const AgcState start = kx_agc_internal::save_state();
  struct Outcome {
    std::vector<short> out;
    int result;
    std::string text;
    AgcState state;
  };
  auto through = [&](int (*path)(short*, int)) {
    kx_agc_internal::restore_state(start);
    Outcome o{buf, 0, {}, {}};
    testing::internal::CaptureStdout();
    o.result = path(o.out.data(), frames);
    o.text = testing::internal::GetCapturedStdout();
    o.state = kx_agc_internal::save_state();
    return o;
  };
  const Outcome ref = through(kx_agc_internal::kx_agc_run_reference);
  const Outcome fast = through(kx_agc_run);
  const AgcState& x = fast.state;
  const AgcState& y = ref.state;
  if (fast.result != ref.result) {
    return testing::AssertionFailure() << "result " << fast.result << " vs " << ref.result;
  }
  if (fast.text != ref.text) {
    return testing::AssertionFailure() << "printed\n" << fast.text << "vs\n" << ref.text;
  }
  for (size_t i = 0; i < buf.size(); ++i) {
    if (fast.out[i] != ref.out[i]) {
      return testing::AssertionFailure()
             << "sample " << i << " (in " << buf[i] << "): " << fast.out[i] << " vs " << ref.out[i]
             << "\nstart " << testing::PrintToString(start);
    }
  }
  if (std::memcmp(&x.info, &y.info, sizeof(x.info)) != 0 ||
      std::memcmp(x.ring_l, y.ring_l, sizeof(x.ring_l)) != 0 ||
      std::memcmp(x.ring_r, y.ring_r, sizeof(x.ring_r)) != 0 || x.target_old != y.target_old ||
      x.noise_old != y.noise_old || x.target_limit != y.target_limit ||
      x.noise_limit != y.noise_limit) {
    return testing::AssertionFailure()
           << "state\n  fast " << testing::PrintToString(x) << "\n  ref  "
           << testing::PrintToString(y) << "\nfrom " << testing::PrintToString(start);
  }
  return testing::AssertionSuccess();
}

// Every 16-bit value once, in an order fixed by `seed`.
std::vector<short> all_values(unsigned seed) {
  std::vector<short> v(65536);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<short>(static_cast<int>(i) - 32768);
  std::mt19937 rng(seed);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

// Bounds pinned to one gain: every frame of the run is rewritten at exactly that gain, whatever
// the controller measures.
void pin_gain(INT32 gain) {
  AGC_INFO* a = agc_info();
  a->iMaxGain = a->iMinGain = static_cast<INT16>(gain);
  a->iCurGainL = a->iCurGainR = a->iActiveGainL = a->iActiveGainR = gain;
}

TEST(KxAgcFastPath, EveryInputAtEveryGainAndTargetLevel) {
  // At the default target level gains up to +-24 are tabulated, the rest computed per sample; the
  // bounds kx_agc_set_config can set are +-32768, and beyond about +-91 dB every gain gives the
  // same samples. Other target levels have no tables (they belong to the level they were computed
  // for): 0 and -512 both truncate to 0 dB, positive ones raise the ceiling above full scale.
  const INT32 kDefault = -1024;
  std::vector<INT32> all_gains;
  for (INT32 g = -40; g <= 40; ++g) all_gains.push_back(g);
  for (INT32 g : {-32768, -32767, -1000, -120, -92, -91, -90, 90, 91, 92, 120, 1000, 32767}) {
    all_gains.push_back(g);
  }
  const std::vector<INT32> some_gains = {-24, -3, 0, 1, 5, 24, 40};
  const std::vector<short> left = all_values(1);
  const std::vector<short> stereo = interleave(left, all_values(2));
  for (INT32 target :
       {-1023, -1025, -512, 0, kDefault, 1023, 1024, 3072, -2048, -6144, -30720, -102400}) {
    for (INT32 g : target == kDefault ? all_gains : some_gains) {
      for (int channels : {1, 2}) {
        reset(channels);
        agc_info()->iTargetLvl = target;
        if (target == kDefault) {
          std::vector<short> first(static_cast<size_t>(channels), 0);
          run(first, 1);  // limits computed before the comparison
        }
        if (target == kDefault || target == -2048) {
          EXPECT_EQ(kx_agc_internal::gain_tabulated(g), target == kDefault && std::abs(g) <= 24)
              << "target " << target << ", gain " << g;
        }
        pin_gain(g);
        ASSERT_TRUE(same_through_both(channels == 1 ? left : stereo, 65536))
            << "target " << target << ", gain " << g << ", channels " << channels;
        ASSERT_EQ(agc_info()->iActiveGainL, g);
      }
    }
  }
}

const double kTwoPi = 2.0 * kPi;

// The suites' speech-like signal, `n` samples scaled so that the largest is about `peak`.
std::vector<short> speech_like(size_t n, double peak, std::mt19937& rng) {
  std::vector<int16_t> x = testing_support::speech_like(16000, static_cast<double>(n) / 16000 + 1,
                                                        static_cast<unsigned>(rng()));
  x.resize(n);
  int max = 1;
  for (int16_t v : x) max = std::max(max, std::abs(static_cast<int>(v)));
  std::vector<short> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<short>(std::clamp(std::lround(x[i] * peak / max), -32768L, 32767L));
  }
  return out;
}

// One block of `frames` frames of a randomly chosen kind of signal.
std::vector<short> random_block(size_t frames, int channels, std::mt19937& rng) {
  const size_t n = frames * static_cast<size_t>(channels);
  std::vector<short> v(n);
  std::uniform_int_distribution<int> kind(0, 8);
  std::uniform_int_distribution<int> any(-32768, 32767);
  std::uniform_real_distribution<double> level(0.0, 1.0);
  switch (kind(rng)) {
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
    case 3: {  // a constant
      const short c = static_cast<short>(any(rng));
      std::fill(v.begin(), v.end(), c);
      break;
    }
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
        v[i] = static_cast<short>(std::lround(amp * std::sin(kTwoPi * f * i / 16000.0)));
      }
      break;
    }
    default: {  // speech-like, loud or quiet
      const double peak = std::pow(10.0, 4.52 - 4.0 * level(rng));
      v = speech_like(n, peak, rng);
      break;
    }
  }
  return v;
}

TEST(KxAgcFastPath, RandomAndSpeechLikeBlocks) {
  // Block sizes of the library (20 ms at 8 and 16 kHz) and odd ones, bounds as the capture chain
  // sets them; each combination from a fresh state through both paths, block by block.
  const size_t sizes[] = {0, 1, 2, 3, 4, 5, 7, 96, 97, 160, 255, 256, 257, 320, 333, 640, 2000};
  for (int channels : {1, 2}) {
    for (INT32 config : {-1, 0, 1, 2, 5, 15, 24, 30, 100}) {  // -1: left at the default 24
      std::mt19937 rng(static_cast<unsigned>(1000 * channels + config + 7));
      reset(channels);
      if (config >= 0) kx_agc_set_config(config);
      for (int b = 0; b < 150; ++b) {
        const size_t frames = sizes[rng() % std::size(sizes)];
        const std::vector<short> block = random_block(frames, channels, rng);
        ASSERT_TRUE(same_through_both(block, static_cast<int>(frames)))
            << "channels " << channels << ", config " << config << ", block " << b;
      }
    }
    // A minute of 20 ms blocks at 16 kHz, loud and quiet stretches, the capture chain's
    // set_config before each block.
    std::mt19937 rng(static_cast<unsigned>(42 + channels));
    reset(channels);
    const size_t block = 320 * static_cast<size_t>(channels);
    for (int stretch = 0; stretch < 30; ++stretch) {
      const double peak = stretch % 3 == 0 ? 300.0 : (stretch % 3 == 1 ? 31000.0 : 3000.0);
      const std::vector<short> s = speech_like(100 * block, peak, rng);
      for (size_t at = 0; at < s.size(); at += block) {
        kx_agc_set_config(at % (7 * block) == 0 ? 6 : 24);
        ASSERT_TRUE(same_through_both(
            {s.begin() + static_cast<long>(at), s.begin() + static_cast<long>(at + block)}, 320))
            << "channels " << channels << ", stretch " << stretch << ", at " << at;
      }
    }
  }
}

TEST(KxAgcFastPath, RandomStates) {
  // Whatever the state: countdowns, pending peaks and conversions, integrators at their limits,
  // gains outside or between crossed bounds, other periods, levels and ring contents.
  std::mt19937 rng(99);
  const INT32 kMax = std::numeric_limits<INT32>::max();
  const INT32 kMin = std::numeric_limits<INT32>::min();
  auto pick = [&rng](std::initializer_list<INT32> values) {
    return *(values.begin() + rng() % values.size());
  };
  auto acc = [&]() {
    std::uniform_int_distribution<INT32> any(kMin, kMax);
    std::uniform_int_distribution<INT32> near(-2000000, 2000000);
    switch (rng() % 4) {
      case 0:
        return any(rng);
      case 1:
        return near(rng);
      case 2:
        return pick({kMax, kMax - 1, kMax - 30000, kMin, kMin + 1, kMin + 60000});
      default:
        return pick({0, 51200, 51201, 30720, -30720, -30721, 1638400, -1638400, -1638401});
    }
  };
  auto gain = [&]() {
    std::uniform_int_distribution<INT32> g(-40, 40);
    return rng() % 8 == 0 ? pick({-32768, -100, 100, 32767}) : g(rng);
  };
  std::uniform_int_distribution<int> magnitude(0, 32768);
  std::uniform_int_distribution<INT32> peak_db(-100000, 0);
  for (int trial = 0; trial < 3000; ++trial) {
    const int channels = 1 + static_cast<int>(rng() % 2);
    reset(channels);
    if (rng() % 2) kx_agc_set_config(pick({-5, 0, 1, 3, 24, 30, 32768}));
    std::vector<short> one(static_cast<size_t>(channels), 0);
    if (rng() % 4 == 0) {
      agc_info()->iTargetLvl = pick({0, -3072, -512, -30000});
      agc_info()->iNgTHD = pick({-76800, -40000, -3000, 0});
    }
    run(one, 0);  // limits for the chosen levels
    AGC_INFO* a = agc_info();
    if (rng() % 4 == 0) a->pk_up_thd = static_cast<UINT8>(pick({0, 1, 2, 5, 255}));
    a->pk_up_curL = static_cast<UINT8>(rng() % (a->pk_up_thd + 1u));
    a->pk_up_curR = static_cast<UINT8>(rng() % (a->pk_up_thd + 1u));
    a->pk_idx = static_cast<UINT8>(rng() % 4);
    a->peakL = static_cast<UINT16>(magnitude(rng));
    a->peakR = static_cast<UINT16>(magnitude(rng));
    a->peakL_next = static_cast<UINT16>(rng() % 2 ? magnitude(rng) : 0);
    a->peakR_next = static_cast<UINT16>(rng() % 2 ? magnitude(rng) : 0);
    a->peakL_update = static_cast<UINT16>(rng() % 2);
    a->peakR_update = static_cast<UINT16>(rng() % 2);
    a->iPeakLDB = rng() % 3 ? peak_db(rng) : pick({-76800, -76801, -76799, -1024, -674, -1374});
    a->iPeakRDB = peak_db(rng);
    a->iCurGainL = gain();
    a->iCurGainR = gain();
    a->iActiveGainL = rng() % 2 ? a->iCurGainL : gain();
    a->iActiveGainR = gain();
    a->AccSumL = acc();
    a->AccSumR = acc();
    AgcState s = kx_agc_internal::save_state();
    for (UINT16& v : s.ring_l) v = static_cast<UINT16>(magnitude(rng));
    for (UINT16& v : s.ring_r) v = static_cast<UINT16>(magnitude(rng));
    kx_agc_internal::restore_state(s);
    const size_t frames = rng() % 600;
    const std::vector<short> block = random_block(frames, channels, rng);
    ASSERT_TRUE(same_through_both(block, static_cast<int>(frames))) << "trial " << trial;
  }
}

TEST(KxAgcFastPath, ControllerAtThresholdsAndBounds) {
  // Silence publishes no peak, so the error stays fixed for a whole block and the fast path
  // advances the integrator many frames at once. Errors that divide the thresholds, sums at and
  // next to them, gains free, on a bound and beyond it, lengths around the step points.
  struct Error {
    INT32 dist;
    bool gated;
  };
  const Error errors[] = {{351, false},     {512, false},     {1024, false},   {5120, false},
                          {25600, false},   {51200, false},   {51201, false},  {70000, false},
                          {-351, false},    {-1024, false},   {-3072, false},  {-30720, false},
                          {-30721, false},  {-50000, false},  {350, false},    {-350, false},
                          {0, false},       {1, false},       {-1, false},     {512, true},
                          {30720, true},    {30721, true},    {-1024, true},   {-409600, true},
                          {-1638400, true}, {-1638401, true}, {-2000000, true}};
  const INT32 kMax = std::numeric_limits<INT32>::max();
  const INT32 kMin = std::numeric_limits<INT32>::min();
  const int lengths[] = {1, 2, 30, 31, 60, 61, 151, 400};
  for (const Error& e : errors) {
    for (INT32 gain : {-24, -23, 0, 24, 30, -30}) {
      for (INT32 acc :
           {0, 1, -1, 51201, -30721, 1638400, -1638401, kMax, kMax - 1000, kMin, kMin + 1000}) {
        for (int frames : lengths) {
          reset(1);
          AGC_INFO* a = agc_info();
          // dist = target - peak - 512 gain above the gate, peak - gate - 512 gain under it.
          const INT32 peak =
              e.gated ? e.dist + a->iNgTHD + 512 * gain : a->iTargetLvl - e.dist - 512 * gain;
          if ((peak > a->iNgTHD) == e.gated) continue;  // not in the intended regime
          a->iPeakLDB = peak;
          a->iCurGainL = gain;
          a->iActiveGainL = gain;
          a->AccSumL = acc;
          const std::vector<short> zeros(static_cast<size_t>(frames), 0);
          ASSERT_TRUE(same_through_both(zeros, frames))
              << "dist " << e.dist << (e.gated ? " gated" : "") << ", gain " << gain << ", acc "
              << acc << ", frames " << frames;
        }
      }
    }
  }
}

TEST(KxAgcFastPath, UnalignedBuffer) {
  // Samples read and written bytewise: a buffer at an odd address works the same.
  std::mt19937 rng(5);
  for (int channels : {1, 2}) {
    const std::vector<short> in = random_block(500, channels, rng);
    std::vector<unsigned char> bytes[2];
    for (int path = 0; path < 2; ++path) {
      reset(channels);
      bytes[path].assign(in.size() * 2 + 1, 0);
      std::memcpy(bytes[path].data() + 1, in.data(), in.size() * 2);
      short* at = reinterpret_cast<short*>(bytes[path].data() + 1);
      testing::internal::CaptureStdout();
      path == 0 ? kx_agc_run(at, 500) : kx_agc_internal::kx_agc_run_reference(at, 500);
      testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(bytes[0], bytes[1]) << channels;
  }
}

}  // namespace
