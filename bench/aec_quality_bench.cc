// Echo cancellation quality and cost: the engine's capture pipeline (real time, on the virtual
// device) against WebRTC's AECM and speexdsp's echo canceller run directly on the same signals.
//
// Scene: mono 16-bit, a speech-like far end (low-passed noise under a syllable-rate envelope) at
// about -21 dBFS is played through the engine into a simulated room: echo delay D ms, gain 0.4
// (8 dB loss), a 150 ms room response (rt60 250 ms, direct-to-reverberant 6 dB), a -50 dBFS
// microphone noise floor and a second, different talker near the microphone from 5 s to 8 s
// (double talk). The microphone (vdev::captured()) and what the capture callback received are
// taken block for block; the played far end (vdev::rendered()) is aligned to the microphone by
// cross-correlation, then given to AECM and Speex in 10 ms chunks as a real-time caller would
// (the far end of the same moment; the acoustic delay stays in the signals).
//   ERLE: microphone power / output power over echo-only 10 ms chunks (far-end echo present,
//         near end silent) after the first 2 s (higher is better);
//   double talk: output power / microphone power over chunks where both talk (nearer 0 dB is
//         better);
//   cost: thread CPU time per 10 ms of audio (whole stream / number of chunks).
#include <hilog/log_sink.h>
#include <ohaudio/virtual_device.h>
#include <speex/speex_echo.h>
#include <time.h>
#include <webrtc/aecm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "alignment.h"
#include "sonora/play_suit.h"
#include "sonora/sonora.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSeconds = 10.0;  // far end played
constexpr double kNearFrom = 5.0;  // near-end talker, in microphone time
constexpr double kNearTo = 8.0;    //
constexpr double kConvergeSeconds = 2.0;
constexpr double kFarDbfs = -21.0;   // RMS of the far end over the whole run
constexpr double kNearDbfs = -24.0;  // RMS of the near end over its stretch
constexpr float kNoiseDbfs = -50.0f;
constexpr float kEchoGain = 0.4f;

double now_cpu(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void scale_to_dbfs(std::vector<double>* s, size_t from, size_t to, double dbfs) {
  double e = 0;
  for (size_t i = from; i < to; ++i) e += (*s)[i] * (*s)[i];
  const double rms = std::sqrt(e / static_cast<double>(to - from));
  const double g = 32768.0 * std::pow(10.0, dbfs / 20) / rms;
  for (double& v : *s) v *= g;
}

std::vector<int16_t> to_pcm(const std::vector<double>& s) {
  std::vector<int16_t> out(s.size());
  for (size_t i = 0; i < s.size(); ++i)
    out[i] = static_cast<int16_t>(std::lrint(std::clamp(s[i], -32767.0, 32767.0)));
  return out;
}

// Far end: low-passed noise under a 3 Hz syllable envelope with a slow 0.7 Hz swell.
std::vector<int16_t> far_end(int rate) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 1.0);
  const size_t n = static_cast<size_t>(rate * kSeconds);
  std::vector<double> s(n);
  double lp = 0, lp2 = 0;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double env =
        std::max(0.0, std::sin(2 * kPi * 3.0 * t)) * (0.6 + 0.4 * std::sin(2 * kPi * 0.7 * t));
    lp = 0.7 * lp + 0.3 * noise(rng);
    lp2 = 0.8 * lp2 + 0.2 * lp;
    s[i] = lp2 * env;
  }
  scale_to_dbfs(&s, 0, n, kFarDbfs);
  return to_pcm(s);
}

// Near end: a voiced talker (gliding harmonic tone plus some breath noise) under a 4.3 Hz
// envelope, silent outside [kNearFrom, kNearTo); `n` samples long.
std::vector<int16_t> near_end(int rate, size_t n) {
  std::mt19937 rng(23);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> s(n, 0.0);
  const size_t from = static_cast<size_t>(kNearFrom * rate);
  const size_t to = std::min(n, static_cast<size_t>(kNearTo * rate));
  double phase = 0, lp = 0;
  for (size_t i = from; i < to; ++i) {
    const double t = static_cast<double>(i - from) / rate;
    const double env = std::max(0.0, std::sin(2 * kPi * 4.3 * t + 0.5));
    const double f0 = 170 + 40 * std::sin(2 * kPi * 0.9 * t);
    phase += 2 * kPi * f0 / rate;
    lp = 0.5 * lp + 0.5 * noise(rng);
    s[i] =
        env * (std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.3 * std::sin(3 * phase) + 0.15 * lp);
  }
  scale_to_dbfs(&s, from, to, kNearDbfs);
  return to_pcm(s);
}

std::mutex g_mutex;
std::vector<int16_t> g_out;

void collect(const sonora::byte* data, size_t size, uint64_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const size_t n = size / 2;
  const size_t at = g_out.size();
  g_out.resize(at + n);
  std::memcpy(g_out.data() + at, data, n * 2);
}

std::vector<int16_t> as_samples(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> s(bytes.size() / 2);
  std::memcpy(s.data(), bytes.data(), s.size() * 2);
  return s;
}

struct Run {
  int rate = 16000;
  int delay_ms = 50;
  std::vector<int16_t> near;       // what the microphone's talker said, microphone time
  std::vector<int16_t> mic;        // vdev::captured()
  std::vector<int16_t> processed;  // what the capture callback received
  std::vector<int16_t> rendered;   // vdev::rendered()
  double process_cpu_s = 0;        // whole process, during the run
  int estimated_delay_ms = -1;     // the canceller's estimate of the echo path at the end
};

// Plays the far end through the engine on the virtual device in real time while capturing.
// request_ms / capture_ms: the renderer request and capture callback sizes the platform picks
// (0: the renderer asks for one block's duration, the capturer delivers its default 20 ms).
Run duplex_run(int rate, int delay_ms, bool aec, int request_ms = 0, int capture_ms = 0,
               sonora::EchoCanceller canceller = sonora::kEchoCancellerMobile) {
  Run r;
  r.rate = rate;
  r.delay_ms = delay_ms;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_out.clear();
  }
  vdev::use_hardware(false);
  vdev::set_manual_clock(false);
  vdev::reset();
  vdev::set_platform_request_ms(request_ms);
  vdev::set_capture_callback_ms(capture_ms);
  vdev::set_echo(delay_ms, kEchoGain);
  vdev::set_echo_impulse_response(vdev::room_impulse_response(rate, 150, 250, 6.0f, 11));
  vdev::set_capture_noise(kNoiseDbfs, 5);
  const std::vector<int16_t> far = far_end(rate);
  r.near = near_end(rate, static_cast<size_t>(rate * (kSeconds + 2)));
  std::vector<uint8_t> near_bytes(r.near.size() * 2);
  std::memcpy(near_bytes.data(), r.near.data(), near_bytes.size());
  vdev::set_capture_source(near_bytes, false);

  const size_t block = static_cast<size_t>(rate / 50) * 2;  // 20 ms
  sonora::audio::Suit a;
  std::memset(&a, 0, sizeof(a));
  a.type = sonora::audio::kTypeRawPCM;
  a.sample_rate = rate;
  a.channel_per_frame = 1;
  a.bit_per_channel = 16;
  a.block = block;
  a.buffer_frame_count = 3;
  a.enable_aec = aec;
  a.enable_ns = false;
  const double cpu0 = now_cpu(CLOCK_PROCESS_CPUTIME_ID);
  {
    sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
    sonora::Sonora player(&suit, nullptr);
    if ((canceller != sonora::kEchoCancellerMobile && !player.use_echo_canceller(canceller)) ||
        !player.enable_audio(true) || !player.start_record_audio(collect, 0)) {
      std::fprintf(stderr, "cannot start playback and capture\n");
      return r;
    }
    const auto* data = reinterpret_cast<const sonora::byte*>(far.data());
    size_t pos = 0;
    const size_t total = far.size() * 2;
    while (pos < total) {
      if (player.audio_left() >= 4) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      const size_t n = std::min(block, total - pos);
      if (player.append_audio_data(data + pos, n, nullptr)) pos += n;
    }
    for (int i = 0; i < 2000 && player.audio_left() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    player.stop_record_audio();
    player.enable_audio(false);
    r.estimated_delay_ms = player.get_aec_status()->delay;
  }
  r.process_cpu_s = now_cpu(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  r.mic = as_samples(vdev::captured());
  r.rendered = as_samples(vdev::rendered());
  vdev::reset();
  std::lock_guard<std::mutex> lock(g_mutex);
  r.processed = g_out;
  return r;
}

struct Aligned {
  std::vector<int16_t> far_now;   // the far end played while each microphone sample was taken
  std::vector<int16_t> far_echo;  // the far end whose direct echo is in each microphone sample
  long lag = 0, lag_late = 0;
};

Aligned align(const Run& r) {
  Aligned a;
  const size_t win = static_cast<size_t>(r.rate) * 2;
  a.lag = bench::best_lag(r.mic, r.rendered, static_cast<size_t>(r.rate), win, r.rate);
  a.lag_late = bench::best_lag(r.mic, r.rendered, static_cast<size_t>(r.rate) * 7, win, r.rate);
  const long d = static_cast<long>(r.delay_ms) * r.rate / 1000;
  a.far_now.assign(r.mic.size(), 0);
  a.far_echo.assign(r.mic.size(), 0);
  for (size_t k = 0; k < r.mic.size(); ++k) {
    const long e = static_cast<long>(k) - a.lag;
    const long n = e + d;
    if (e >= 0 && e < static_cast<long>(r.rendered.size())) a.far_echo[k] = r.rendered[e];
    if (n >= 0 && n < static_cast<long>(r.rendered.size())) a.far_now[k] = r.rendered[n];
  }
  return a;
}

double chunk_energy(const std::vector<int16_t>& s, size_t from, size_t n) {
  double e = 0;
  for (size_t i = from; i < from + n && i < s.size(); ++i) e += static_cast<double>(s[i]) * s[i];
  return e;
}

struct Quality {
  double erle_db = NAN;
  double dt_change_db = NAN;
  double echo_only_s = 0, dt_s = 0;
};

// Figures of `out` (aligned with r.mic sample for sample) over 10 ms chunks.
Quality measure(const Run& r, const Aligned& a, const std::vector<int16_t>& out) {
  const size_t chunk = static_cast<size_t>(r.rate / 100);
  const size_t n = std::min(r.mic.size(), out.size());
  const double active = chunk * std::pow(32768.0 * std::pow(10.0, -50.0 / 20), 2);
  double mic_eo = 0, out_eo = 0, mic_dt = 0, out_dt = 0;
  size_t eo = 0, dt = 0;
  const size_t near_from = static_cast<size_t>(kNearFrom * r.rate);
  const size_t near_to = static_cast<size_t>(kNearTo * r.rate);
  // The near end's stretch, widened by the echo tail either side, is not echo only.
  const size_t guard = static_cast<size_t>(r.rate / 5);
  for (size_t k = static_cast<size_t>(kConvergeSeconds * r.rate); k + chunk <= n; k += chunk) {
    const bool far_active = chunk_energy(a.far_echo, k, chunk) > active;
    const bool near_silent = k + chunk + guard <= near_from || k >= near_to + guard;
    const bool near_active = chunk_energy(r.near, k, chunk) > active;
    if (far_active && near_silent) {
      mic_eo += chunk_energy(r.mic, k, chunk);
      out_eo += chunk_energy(out, k, chunk);
      ++eo;
    }
    if (far_active && near_active) {
      mic_dt += chunk_energy(r.mic, k, chunk);
      out_dt += chunk_energy(out, k, chunk);
      ++dt;
    }
  }
  Quality q;
  if (eo > 0) q.erle_db = 10 * std::log10(mic_eo / std::max(out_eo, 1.0));
  if (dt > 0) q.dt_change_db = 10 * std::log10(std::max(out_dt, 1.0) / mic_dt);
  q.echo_only_s = eo * 0.01;
  q.dt_s = dt * 0.01;
  return q;
}

struct Direct {
  std::vector<int16_t> out;
  double us_per_10ms = 0;
};

Direct run_aecm(const Run& r, const Aligned& a) {
  Direct d;
  const size_t chunk = static_cast<size_t>(r.rate / 100);
  d.out.assign(r.mic.size(), 0);
  void* st = WebRtcAecm_Create();
  WebRtcAecm_Init(st, r.rate);
  AecmConfig cfg;
  cfg.cngMode = 1;
  cfg.echoMode = 3;
  WebRtcAecm_set_config(st, cfg);
  size_t chunks = 0;
  const double t0 = now_cpu(CLOCK_THREAD_CPUTIME_ID);
  for (size_t k = 0; k + chunk <= r.mic.size(); k += chunk, ++chunks) {
    WebRtcAecm_BufferFarend(st, &a.far_now[k], chunk);
    WebRtcAecm_Process(st, &r.mic[k], nullptr, &d.out[k], chunk, 40);
  }
  const double t1 = now_cpu(CLOCK_THREAD_CPUTIME_ID);
  WebRtcAecm_Free(st);
  d.us_per_10ms = (t1 - t0) * 1e6 / static_cast<double>(chunks);
  return d;
}

Direct run_speex(const Run& r, const Aligned& a) {
  Direct d;
  const int chunk = r.rate / 100;
  d.out.assign(r.mic.size(), 0);
  SpeexEchoState* st = speex_echo_state_init(chunk, r.rate / 5);  // 200 ms tail
  int rate = r.rate;
  speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
  size_t chunks = 0;
  const double t0 = now_cpu(CLOCK_THREAD_CPUTIME_ID);
  for (size_t k = 0; k + static_cast<size_t>(chunk) <= r.mic.size(); k += chunk, ++chunks)
    speex_echo_cancellation(st, &r.mic[k], &a.far_now[k], &d.out[k]);
  const double t1 = now_cpu(CLOCK_THREAD_CPUTIME_ID);
  speex_echo_state_destroy(st);
  d.us_per_10ms = (t1 - t0) * 1e6 / static_cast<double>(chunks);
  return d;
}

void print_row(const char* scene, const char* canceller, const Quality& q, double us) {
  char cost[32] = "-";
  if (us >= 0) std::snprintf(cost, sizeof(cost), "%.1f", us);
  std::printf("%-24s %-30s %8.1f %10.1f %9.1f %7.1f %10s\n", scene, canceller, q.erle_db,
              q.dt_change_db, q.echo_only_s, q.dt_s, cost);
}

}  // namespace

// The engine at 16 kHz, echo 50 ms, with the request and callback sizes a device may pick.
int platform_sizes() {
  struct Sizes {
    int request_ms, capture_ms;
  };
  std::printf("\n%-40s %8s %10s\n", "16000 Hz, echo 50 ms: platform sizes", "ERLE dB", "DT chg dB");
  for (const Sizes& z :
       {Sizes{0, 20}, Sizes{40, 20}, Sizes{100, 20}, Sizes{0, 7}, Sizes{0, 33}, Sizes{100, 33}}) {
    Run r = duplex_run(16000, 50, true, z.request_ms, z.capture_ms);
    if (r.processed.empty()) return 1;
    const Aligned a = align(r);
    const Quality q = measure(r, a, r.processed);
    char what[64];
    std::snprintf(what, sizeof(what), "requests %s ms, capture callbacks %d ms",
                  z.request_ms == 0 ? "20" : std::to_string(z.request_ms).c_str(), z.capture_ms);
    std::printf("%-40s %8.1f %10.1f\n", what, q.erle_db, q.dt_change_db);
  }
  return 0;
}

int main(int argc, char** argv) {
  hilog::Capture quiet;
  if (argc > 1 && std::strcmp(argv[1], "--platform-sizes") == 0) return platform_sizes();
  std::printf(
      "echo cancellation, mono 16-bit, 20 ms blocks, %.0f s far end at %.0f dBFS, echo gain %.1f "
      "+ 150 ms room response, mic noise %.0f dBFS, near-end talker %.0f-%.0f s at %.0f dBFS\n",
      kSeconds, kFarDbfs, kEchoGain, kNoiseDbfs, kNearFrom, kNearTo, kNearDbfs);
  std::printf(
      "ERLE over echo-only 10 ms chunks after %.0f s; DT = output vs microphone level in "
      "double talk\n\n",
      kConvergeSeconds);
  std::printf("%-24s %-30s %8s %10s %9s %7s %10s\n", "scene", "canceller", "ERLE dB", "DT chg dB",
              "echo s", "DT s", "us/10ms");

  struct Scene {
    int rate;
    int delay_ms;
  };
  const Scene scenes[] = {{16000, 50}, {8000, 50}, {16000, 20}, {16000, 80}, {16000, 150}};
  double aec_cpu = 0, aec_chunks = 0;
  for (const Scene& s : scenes) {
    Run r = duplex_run(s.rate, s.delay_ms, true);
    if (r.processed.empty()) return 1;
    const Aligned a = align(r);
    char scene[64];
    std::snprintf(scene, sizeof(scene), "%d Hz, echo %d ms", s.rate, s.delay_ms);
    const Quality mic = measure(r, a, r.mic);
    print_row(scene, "none (microphone)", mic, -1);
    print_row("", "engine pipeline (real time)", measure(r, a, r.processed), -1);
    const Run full = duplex_run(s.rate, s.delay_ms, true, 0, 0, sonora::kEchoCancellerFull);
    if (!full.processed.empty()) {
      const Aligned af = align(full);
      print_row("", "engine, full-band canceller", measure(full, af, full.processed), -1);
      std::printf("%-24s echo path estimated at %d ms\n", "", full.estimated_delay_ms);
    }
    const Direct am = run_aecm(r, a);
    print_row("", "AECM direct (cng 1, mode 3)", measure(r, a, am.out), am.us_per_10ms);
    const Direct sp = run_speex(r, a);
    print_row("", "speexdsp echo (200 ms tail)", measure(r, a, sp.out), sp.us_per_10ms);
    std::printf("%-24s alignment lag %ld samples (1-3 s), %ld (7-9 s); mic %zu, out %zu samples\n",
                "", a.lag, a.lag_late, r.mic.size(), r.processed.size());
    if (s.rate == 16000 && s.delay_ms == 50) {
      aec_cpu = r.process_cpu_s;
      aec_chunks = static_cast<double>(r.mic.size()) / (s.rate / 100);
    }
  }
  // The engine's capture chain runs on its own threads; its cost is estimated as the process CPU
  // time of the reference run minus that of the same run without echo cancellation.
  const Run off = duplex_run(16000, 50, false);
  const double off_chunks = static_cast<double>(off.mic.size()) / 160;
  std::printf(
      "\nengine, 16000 Hz echo 50 ms: process CPU %.1f us per 10 ms with AEC, %.1f without; "
      "difference %.1f us per 10 ms\n",
      aec_cpu * 1e6 / aec_chunks, off.process_cpu_s * 1e6 / off_chunks,
      aec_cpu * 1e6 / aec_chunks - off.process_cpu_s * 1e6 / off_chunks);
  return platform_sizes();
}
