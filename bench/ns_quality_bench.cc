// Noise suppression quality and cost: the engine's suppressor (as playback and capture run it, one
// 20 ms block at a time) against the Speex preprocessor's denoiser on the same signal.
//
// Signal: 16 kHz mono, 12 s, one second of speech-like sound (a gliding tone and low-passed noise
// under a syllable-rate envelope) alternating with one second of pause, all under stationary white
// noise. Figures over the last 8 s (the first 4 s let both estimators settle):
//   noise attenuation: level drop in the pauses, where there is only noise (higher is better);
//   speech change: level change in the speech seconds (nearer 0 dB is better);
//   cost: microseconds per 20 ms block.
#include <hilog/log_sink.h>
#include <speex/speex_preprocess.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "audio/webrtc_ns.h"
#include "sonora/frame_wrapper.h"
#include "sonora/play_suit.h"

namespace {

constexpr int kRate = 16000;
constexpr int kBlockSamples = 320;  // 20 ms
constexpr int kSeconds = 12;
constexpr int kSettleSeconds = 4;

struct Signal {
  std::vector<int16_t> mixed;
  std::vector<bool> speech;  // per sample: inside a speech second
};

Signal make_signal(double noise_rms) {
  Signal s;
  std::mt19937 rng(11);
  std::normal_distribution<double> white(0, 1);
  const double pi = 3.14159265358979323846;
  double lp = 0;
  for (long t = 0; t < static_cast<long>(kRate) * kSeconds; ++t) {
    bool talking = (t / kRate) % 2 == 0;
    double v = 0;
    if (talking) {
      double env = 0.5 + 0.5 * std::sin(2 * pi * t / kRate * 4.0);
      double tone = std::sin(2 * pi * t * (220 + 120 * std::sin(t / 9000.0)) / kRate);
      lp = 0.6 * lp + 0.4 * white(rng);
      v = env * (5000 * tone + 1500 * lp);
    }
    v += noise_rms * white(rng);
    v = std::max(-32768.0, std::min(32767.0, v));
    s.mixed.push_back(static_cast<int16_t>(std::lrint(v)));
    s.speech.push_back(talking);
  }
  return s;
}

struct Figures {
  double noise_attenuation_db;
  double speech_change_db;
  double us_per_block;
};

Figures measure(const Signal& in, const std::vector<int16_t>& out, double seconds_of_work) {
  double in_noise = 0, out_noise = 0, in_speech = 0, out_speech = 0;
  for (size_t i = static_cast<size_t>(kRate) * kSettleSeconds; i < in.mixed.size(); ++i) {
    double a = in.mixed[i], b = out[i];
    if (in.speech[i]) {
      in_speech += a * a;
      out_speech += b * b;
    } else {
      in_noise += a * a;
      out_noise += b * b;
    }
  }
  double blocks = static_cast<double>(in.mixed.size()) / kBlockSamples;
  return {10 * std::log10(in_noise / std::max(out_noise, 1.0)),
          10 * std::log10(std::max(out_speech, 1.0) / in_speech), seconds_of_work * 1e6 / blocks};
}

Figures run_engine(const Signal& in) {
  sonora::audio::Suit audio;
  std::memset(&audio, 0, sizeof(audio));
  audio.type = sonora::audio::kTypeRawPCM;
  audio.sample_rate = kRate;
  audio.channel_per_frame = 1;
  audio.bit_per_channel = 16;
  audio.block = kBlockSamples * 2;
  audio.enable_ns = true;
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
  sonora::audio::WebRtcNS ns(suit.audio());
  sonora::FrameWrapper pool(6, audio.block);
  std::vector<int16_t> out(in.mixed.size());
  double work = 0;
  for (size_t pos = 0; pos + kBlockSamples <= in.mixed.size(); pos += kBlockSamples) {
    sonora::Frame* f =
        pool.gen_frame(sonora::kFTypeA, reinterpret_cast<const sonora::byte*>(&in.mixed[pos]),
                       audio.block, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    ns.ns(f);
    work += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::memcpy(&out[pos], f->data, audio.block);
    pool.delete_frame(f);
  }
  return measure(in, out, work);
}

Figures run_speex(const Signal& in) {
  SpeexPreprocessState* st = speex_preprocess_state_init(kBlockSamples, kRate);
  int on = 1;
  int suppress_db = -15;
  speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DENOISE, &on);
  speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress_db);
  std::vector<int16_t> out(in.mixed);
  double work = 0;
  for (size_t pos = 0; pos + kBlockSamples <= out.size(); pos += kBlockSamples) {
    auto t0 = std::chrono::steady_clock::now();
    speex_preprocess_run(st, &out[pos]);
    work += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  speex_preprocess_state_destroy(st);
  return measure(in, out, work);
}

}  // namespace

int main() {
  hilog::Capture quiet;
  std::printf("noise suppression, 16 kHz mono, 20 ms blocks, %d s (figures over the last %d s)\n",
              kSeconds, kSeconds - kSettleSeconds);
  std::printf("%-10s %-26s %18s %16s %14s\n", "noise", "suppressor", "noise atten. dB",
              "speech chg. dB", "us / block");
  for (double noise_rms : {300.0, 1000.0}) {
    Signal in = make_signal(noise_rms);
    Figures e = run_engine(in);
    Figures s = run_speex(in);
    char label[32];
    std::snprintf(label, sizeof(label), "rms %.0f", noise_rms);
    std::printf("%-10s %-26s %18.1f %16.1f %14.1f\n", label, "engine (WebRTC NS, mode 1)",
                e.noise_attenuation_db, e.speech_change_db, e.us_per_block);
    std::printf("%-10s %-26s %18.1f %16.1f %14.1f\n", "", "peer (Speex, -15 dB)",
                s.noise_attenuation_db, s.speech_change_db, s.us_per_block);
    std::printf("%-10s %-26s %18.2f %16s %14.2f\n", "", "ratio engine / peer",
                e.noise_attenuation_db / s.noise_attenuation_db, "",
                e.us_per_block / s.us_per_block);
  }
  return 0;
}
