// What the mobile echo canceller costs its capture thread: the engine's canceller (three AECM
// instances, the echo-path estimator and the choice between them) against one AECM instance
// called directly, per 10 ms of 16 kHz speech-like audio with its echo 60 ms later.
#include <benchmark/benchmark.h>
#include <webrtc/aecm.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "audio/webrtc_aec.h"
#include "sonora/play_suit.h"

namespace {

constexpr int kRate = 16000;
constexpr size_t kChunk = kRate / 100;  // 10 ms

// 20 s of far end (noise under a syllable-rate envelope) and its echo, half as loud, 60 ms later.
struct Scene {
  std::vector<int16_t> far, mic;
  Scene() : far(20 * kRate), mic(20 * kRate) {
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, 1);
    double lp = 0;
    for (size_t i = 0; i < far.size(); ++i) {
      const double env = std::max(0.0, std::sin(6.2831853 * 3.0 * i / kRate));
      lp = 0.7 * lp + 0.3 * noise(rng);
      far[i] = static_cast<int16_t>(std::lrint(8000 * env * lp));
    }
    const size_t d = 60 * kRate / 1000;
    for (size_t i = d; i < mic.size(); ++i) mic[i] = static_cast<int16_t>(far[i - d] / 2);
  }
};

const Scene& scene() {
  static const Scene s;
  return s;
}

void BM_EngineMobileCanceller(benchmark::State& state) {
  sonora::audio::Suit a;
  std::memset(&a, 0, sizeof(a));
  a.type = sonora::audio::kTypeRawPCM;
  a.sample_rate = kRate;
  a.channel_per_frame = 1;
  a.bit_per_channel = 16;
  a.block = 2 * kChunk * 2;  // 20 ms
  a.buffer_frame_count = 3;
  a.enable_aec = true;
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  sonora::audio::WebRtcAEC aec(suit.audio());
  sonora::FrameWrapper pool(6, a.block);
  const size_t n = a.block / 2;
  size_t at = 0;
  for (auto _ : state) {
    if (at + n > scene().far.size()) at = 0;
    sonora::Frame* far = pool.gen_frame(
        sonora::kFTypeA, reinterpret_cast<const sonora::byte*>(&scene().far[at]), a.block, nullptr);
    sonora::Frame* near = pool.gen_frame(
        sonora::kFTypeA, reinterpret_cast<const sonora::byte*>(&scene().mic[at]), a.block, nullptr);
    benchmark::DoNotOptimize(aec.aec(far, near));
    pool.delete_frame(far);
    pool.delete_frame(near);
    at += n;
  }
  state.counters["us_per_10ms"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 2,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EngineMobileCanceller)->Unit(benchmark::kMicrosecond);

void BM_OneAecmInstance(benchmark::State& state) {
  void* aecm = WebRtcAecm_Create();
  WebRtcAecm_Init(aecm, kRate);
  AecmConfig config;
  config.cngMode = 1;
  config.echoMode = 3;
  WebRtcAecm_set_config(aecm, config);
  std::vector<int16_t> out(kChunk);
  size_t at = 0;
  for (auto _ : state) {
    if (at + kChunk > scene().far.size()) at = 0;
    WebRtcAecm_BufferFarend(aecm, &scene().far[at], kChunk);
    benchmark::DoNotOptimize(
        WebRtcAecm_Process(aecm, &scene().mic[at], nullptr, out.data(), kChunk, 40));
    at += kChunk;
  }
  WebRtcAecm_Free(aecm);
  state.counters["us_per_10ms"] =
      benchmark::Counter(static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OneAecmInstance)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
