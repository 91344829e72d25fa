// Echo cancellation on speech: the engine with its mobile canceller and with the full-band one,
// and speexdsp's echo canceller with its preprocessor's echo suppression, on the same call.
//
// Scene (16000 Hz mono): espeak-ng sentences at both ends in different voices, the far end at
// -20 dBFS played through the engine on the virtual device into a room (echo 50 ms x 0.5, a 150 ms
// response with RT60 300 ms, direct 6 dB above the reverberation, noise at -55 dBFS); the near end
// at -20 dBFS talks over the far end for 5.7 s and alone for 5.6 s after it. The engine captures
// with echo cancellation and noise suppression in real time; speexdsp runs afterwards on the same
// microphone and far end (aligned as a real-time caller would give it: the far end of the same
// moment), in 10 ms chunks. Several runs each (the engine's runs differ in where capture starts).
//   ERLE: microphone power / output power over echo-only 10 ms chunks after 2 s;
//   DT level: output power / near-end talker power over double-talk chunks (nearer 0 dB is
//         better); DT SI-SDR: scale-invariant signal-to-distortion ratio of the output against
//         the near-end talker over the same chunks (higher is better);
//   latency: how long after a captured block's last sample the application received it.
//
// Usage: aec_speech_bench [--runs N] [--canceller mobile|full]
//   N runs of each (default 3); one of the engine's cancellers only (speexdsp runs beside the
//   mobile one).
#include <hilog/log_sink.h>
#include <ohaudio/virtual_device.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alignment.h"
#include "sonora/play_suit.h"
#include "sonora/sonora.h"
#include "speech.h"
#include "utils/commons.h"

namespace {

constexpr int kRate = 16000;
constexpr size_t kBlock = 640;  // 20 ms
constexpr double kFarSeconds = 11.5;
constexpr double kNearFrom = 5.8;      // double talk until the far end ends, then alone
constexpr double kNearSeconds = 11.3;  //
constexpr double kRunSeconds = 17.6;   // captured
constexpr double kConvergeSeconds = 2.0;
constexpr double kTalkerDbfs = -20.0;
constexpr int kEchoMs = 50;
constexpr float kEchoGain = 0.5f;

const char* kFarText =
    "Good morning, this is the far end speaking. The weather today is mild, with a light breeze "
    "from the west and a chance of rain in the evening. Please remember to bring an umbrella.";
const char* kNearText =
    "Hello, can you hear me? Sorry to interrupt, I am talking over you right now. Let me tell you "
    "about the meeting tomorrow morning, it starts at nine sharp in the small room.";

// Scales to `dbfs` RMS over the 10 ms chunks that hold speech.
void scale_active(std::vector<int16_t>* s, double dbfs) {
  double e = 0;
  size_t n = 0;
  for (size_t k = 0; k + 160 <= s->size(); k += 160) {
    double c = 0;
    for (size_t i = k; i < k + 160; ++i) c += static_cast<double>((*s)[i]) * (*s)[i];
    if (c / 160 > 100.0 * 100.0) {
      e += c;
      n += 160;
    }
  }
  if (n == 0) return;
  const double g = 32768.0 * std::pow(10.0, dbfs / 20) / std::sqrt(e / n);
  for (int16_t& v : *s) v = static_cast<int16_t>(std::clamp(std::lrint(v * g), -32768L, 32767L));
}

std::mutex g_mutex;
std::vector<int16_t> g_out;
std::vector<double> g_latency_ms;

void collect(const sonora::byte* data, size_t size, uint64_t ts) {
  const uint64_t now = current_ts();
  std::lock_guard<std::mutex> lock(g_mutex);
  const size_t at = g_out.size();
  g_out.resize(at + size / 2);
  std::memcpy(g_out.data() + at, data, size / 2 * 2);
  g_latency_ms.push_back(static_cast<double>(now) - static_cast<double>(ts));
}

std::vector<int16_t> as_samples(const std::vector<uint8_t>& b) {
  std::vector<int16_t> s(b.size() / 2);
  std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

struct Call {
  std::vector<int16_t> mic, out, rendered;
  std::vector<double> latency_ms;
  int path_ms = -1;  // the canceller's estimate of the echo path at the end
};

bool run_engine(const std::vector<int16_t>& far, const std::vector<int16_t>& near,
                sonora::EchoCanceller canceller, unsigned seed, Call* call) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_out.clear();
    g_latency_ms.clear();
  }
  vdev::use_hardware(false);
  vdev::set_manual_clock(false);
  vdev::reset();
  vdev::set_echo(kEchoMs, kEchoGain);
  vdev::set_echo_impulse_response(vdev::room_impulse_response(kRate, 150, 300, 6.0f, 7));
  vdev::set_capture_noise(-55.0f, seed);
  std::vector<uint8_t> source(near.size() * 2);
  std::memcpy(source.data(), near.data(), source.size());
  vdev::set_capture_source(source, false);
  sonora::audio::Suit a;
  std::memset(&a, 0, sizeof(a));
  a.type = sonora::audio::kTypeRawPCM;
  a.sample_rate = kRate;
  a.channel_per_frame = 1;
  a.bit_per_channel = 16;
  a.block = kBlock;
  a.buffer_frame_count = 3;
  a.enable_aec = true;
  a.enable_ns = true;
  {
    sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    sonora::Sonora player(&suit, nullptr);
    if ((canceller != sonora::kEchoCancellerMobile && !player.use_echo_canceller(canceller)) ||
        !player.enable_audio(true) || !player.start_record_audio(collect, 0)) {
      return false;
    }
    // Where capture starts against playback differs from run to run, as on a device.
    std::this_thread::sleep_for(std::chrono::microseconds(seed * 2731 % 20000));
    const auto* data = reinterpret_cast<const sonora::byte*>(far.data());
    for (size_t pos = 0; pos < far.size() * 2;) {
      if (player.audio_left() >= 4) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      const size_t n = std::min(kBlock, far.size() * 2 - pos);
      if (player.append_audio_data(data + pos, n, nullptr)) pos += n;
    }
    const size_t wanted = static_cast<size_t>(kRunSeconds * kRate);
    for (int i = 0; i < 20000; ++i) {
      {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_out.size() >= wanted) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    call->path_ms = player.get_aec_status()->delay;
    player.stop_record_audio();
    player.enable_audio(false);
  }
  call->mic = as_samples(vdev::captured());
  call->rendered = as_samples(vdev::rendered());
  vdev::reset();
  std::lock_guard<std::mutex> lock(g_mutex);
  call->out = g_out;
  call->latency_ms = g_latency_ms;
  return true;
}

// speexdsp on the microphone of `call` with the far end of the same moment.
std::vector<int16_t> run_speex(const Call& call) {
  const long lag = bench::best_lag(call.mic, call.rendered, kRate, 2 * kRate, kRate);
  const long now = lag - static_cast<long>(kEchoMs) * kRate / 1000;  // played, not yet heard
  const int chunk = kRate / 100;
  SpeexEchoState* echo = speex_echo_state_init(chunk, kRate / 5);
  SpeexPreprocessState* pre = speex_preprocess_state_init(chunk, kRate);
  int rate = kRate;
  speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
  std::vector<int16_t> far(chunk), out(call.mic.size(), 0);
  for (size_t k = 0; k + chunk <= call.mic.size(); k += chunk) {
    for (int i = 0; i < chunk; ++i) {
      const long at = static_cast<long>(k) + i - now;
      far[i] = at >= 0 && at < static_cast<long>(call.rendered.size()) ? call.rendered[at] : 0;
    }
    speex_echo_cancellation(echo, &call.mic[k], far.data(), &out[k]);
    speex_preprocess_run(pre, &out[k]);
  }
  speex_preprocess_state_destroy(pre);
  speex_echo_state_destroy(echo);
  return out;
}

struct Figures {
  double erle = NAN, dt_level = NAN, dt_sdr = NAN;
};

double energy(const std::vector<int16_t>& s, size_t from, size_t n) {
  double e = 0;
  for (size_t i = from; i < from + n && i < s.size(); ++i) e += static_cast<double>(s[i]) * s[i];
  return e;
}

// `out` is aligned with the microphone sample for sample, and so is the near-end talker.
Figures measure(const Call& call, const std::vector<int16_t>& near,
                const std::vector<int16_t>& out) {
  const size_t chunk = kRate / 100;
  const double active = chunk * std::pow(32768.0 * std::pow(10.0, -50.0 / 20), 2);
  const size_t far_end = static_cast<size_t>((kFarSeconds + 0.3) * kRate);  // echo tail included
  const size_t n = std::min({call.mic.size(), out.size(), near.size()});
  double mic_eo = 0, out_eo = 0, near_dt = 0, out_dt = 0;
  std::vector<size_t> dt_chunks;
  for (size_t k = static_cast<size_t>(kConvergeSeconds * kRate); k + chunk <= n; k += chunk) {
    const bool far_active = k < far_end && energy(call.mic, k, chunk) > active;
    const bool near_active = energy(near, k, chunk) > active;
    const bool near_far_away = k + chunk + kRate / 5 <= kNearFrom * kRate;
    if (far_active && near_far_away) {
      mic_eo += energy(call.mic, k, chunk);
      out_eo += energy(out, k, chunk);
    }
    if (k < far_end && near_active && k >= kNearFrom * kRate) {
      near_dt += energy(near, k, chunk);
      out_dt += energy(out, k, chunk);
      dt_chunks.push_back(k);
    }
  }
  Figures f;
  if (out_eo > 0) f.erle = 10 * std::log10(mic_eo / out_eo);
  if (near_dt <= 0 || out_dt <= 0) return f;
  f.dt_level = 10 * std::log10(out_dt / near_dt);
  // The output lags the talker by what the processing holds back (the suppressors' overlap):
  // the distortion is measured at the lag where they match best, up to 20 ms.
  auto cross_at = [&](size_t lag) {
    double c = 0;
    for (size_t k : dt_chunks) {
      for (size_t i = k; i < k + chunk && i + lag < n; ++i)
        c += static_cast<double>(near[i]) * out[i + lag];
    }
    return c;
  };
  size_t lag = 0;
  double cross = cross_at(0);
  for (size_t l = 1; l <= kRate / 50; ++l) {
    const double c = cross_at(l);
    if (c > cross) {
      cross = c;
      lag = l;
    }
  }
  const double alpha = cross / near_dt;  // the near end's share of the output
  double target = 0, distortion = 0;
  for (size_t k : dt_chunks) {
    for (size_t i = k; i < k + chunk && i + lag < n; ++i) {
      const double t = alpha * near[i];
      target += t * t;
      distortion += (out[i + lag] - t) * (out[i + lag] - t);
    }
  }
  f.dt_sdr = 10 * std::log10(target / std::max(distortion, 1.0));
  return f;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void print_row(const char* name, const std::vector<Figures>& runs, const std::vector<double>& lat) {
  auto stats = [&](double Figures::*field) {
    std::vector<double> v;
    for (const Figures& f : runs) v.push_back(f.*field);
    char s[48];
    std::snprintf(s, sizeof(s), "%5.1f %5.1f %5.1f", percentile(v, 0.0), percentile(v, 0.5),
                  percentile(v, 1.0));
    return std::string(s);
  };
  char latency[32] = "-";
  if (!lat.empty()) {
    std::snprintf(latency, sizeof(latency), "%4.0f %4.0f", percentile(lat, 0.5),
                  percentile(lat, 0.95));
  }
  std::printf("%-30s %-17s %-17s %-17s %s\n", name, stats(&Figures::erle).c_str(),
              stats(&Figures::dt_level).c_str(), stats(&Figures::dt_sdr).c_str(), latency);
}

}  // namespace

int main(int argc, char** argv) {
  hilog::Capture quiet;
  int runs = 3;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) {
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else if (std::strcmp(argv[i], "--canceller") == 0 &&
               (std::strcmp(argv[i + 1], "mobile") == 0 || std::strcmp(argv[i + 1], "full") == 0)) {
      only = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: aec_speech_bench [--runs N] [--canceller mobile|full]\n");
      return 2;
    }
  }
  tool::Pcm far_speech, near_speech;
  std::string error;
  if (!tool::speak("en", 150, kFarText, kRate, &far_speech, &error) ||
      !tool::speak("en-us+f3", 170, kNearText, kRate, &near_speech, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::vector<int16_t> far = tool::repeat_speech(
      far_speech.samples, static_cast<size_t>(kFarSeconds * kRate), kRate * 3 / 10);
  scale_active(&far, kTalkerDbfs);
  std::vector<int16_t> talker = tool::repeat_speech(
      near_speech.samples, static_cast<size_t>(kNearSeconds * kRate), kRate * 3 / 10);
  scale_active(&talker, kTalkerDbfs);
  std::vector<int16_t> near(static_cast<size_t>(kNearFrom * kRate), 0);
  near.insert(near.end(), talker.begin(), talker.end());
  near.resize(static_cast<size_t>((kRunSeconds + 1) * kRate), 0);

  std::printf(
      "echo cancellation on speech, %d runs each: espeak-ng talkers at %.0f dBFS, echo %d ms "
      "x %.1f + 150 ms room (RT60 300 ms, DRR 6 dB), noise -55 dBFS, double talk %.1f s\n",
      runs, kTalkerDbfs, kEchoMs, kEchoGain, kFarSeconds - kNearFrom);
  std::printf("%-30s %-17s %-17s %-17s %s\n", "", "ERLE dB", "DT level dB", "DT SI-SDR dB",
              "latency ms");
  std::printf("%-30s %-17s %-17s %-17s %s\n", "", "min   med   max", "min   med   max",
              "min   med   max", " med  p95");
  struct Canceller {
    const char* name;
    const char* option;
    sonora::EchoCanceller kind;
  };
  std::vector<Figures> speex;
  for (const Canceller& c :
       {Canceller{"engine, mobile canceller + NS", "mobile", sonora::kEchoCancellerMobile},
        Canceller{"engine, full-band + NS", "full", sonora::kEchoCancellerFull}}) {
    if (!only.empty() && only != c.option) continue;
    std::vector<Figures> figures;
    std::vector<double> latency;
    std::string each;
    for (int r = 0; r < runs; ++r) {
      Call call;
      if (!run_engine(far, near, c.kind, static_cast<unsigned>(r + 1), &call)) {
        std::fprintf(stderr, "%s: the engine did not start\n", c.name);
        return 1;
      }
      figures.push_back(measure(call, near, call.out));
      char one[48];
      std::snprintf(one, sizeof(one), " %.1f (%d ms)", figures.back().erle, call.path_ms);
      each += one;
      latency.insert(latency.end(), call.latency_ms.begin(), call.latency_ms.end());
      if (c.kind == sonora::kEchoCancellerMobile)
        speex.push_back(measure(call, near, run_speex(call)));
    }
    print_row(c.name, figures, latency);
    std::printf("  each run's ERLE dB (echo path found):%s\n", each.c_str());
  }
  if (!speex.empty()) print_row("speexdsp echo (200 ms) + preproc", speex, {});
  return 0;
}
