// Automatic gain control: the table-driven kx_agc_run against the straightforward per-sample
// computation (kx_agc_internal::kx_agc_run_reference) on 20 ms blocks of 16 kHz mono speech-like
// signal, loud (peaks near full scale) and quiet (peaks near -40 dBFS). Both paths see the same
// block sequence from the same settled state; each iteration copies one block and runs it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "utils/kx_agc.h"

namespace {

constexpr int kRate = 16000;
constexpr size_t kBlock = 320;   // 20 ms
constexpr size_t kBlocks = 250;  // 5 s, cycled

// Voiced stretches with a gliding fundamental and falling harmonics under a syllable envelope,
// pauses with faint noise between them, scaled so that the largest sample is `peak`.
std::vector<short> speech_like(double peak, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  const double kTwoPi = 6.283185307179586;
  std::vector<double> x(kBlock * kBlocks);
  double phase = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double f0 = 150.0 + 40.0 * std::sin(kTwoPi * 0.7 * t);
    phase += kTwoPi * f0 / kRate;
    double voiced = 0.0;
    for (int h = 1; h <= 12; ++h) voiced += std::sin(h * phase) / h;
    // Syllables at about 4 Hz, every third one a pause.
    const double syl = std::sin(kTwoPi * 4.0 * t);
    const bool pause = static_cast<int>(t * 4.0) % 3 == 2;
    const double env = pause ? 0.0 : syl * syl;
    x[i] = env * voiced + 0.02 * noise(rng) + (pause ? 0.0 : 0.1 * env * noise(rng));
  }
  double max = 0.0;
  for (double v : x) max = std::max(max, std::fabs(v));
  std::vector<short> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    out[i] = static_cast<short>(std::lround(x[i] / max * peak));
  }
  return out;
}

const std::vector<short>& signal(bool loud) {
  static const std::vector<short> kLoud = speech_like(31000.0, 1);
  static const std::vector<short> kQuiet = speech_like(330.0, 2);
  return loud ? kLoud : kQuiet;
}

// Runs `f` with standard output sent to /dev/null (the control prints its parameters).
template <class F>
void silently(F f) {
  std::fflush(stdout);
  const int saved = dup(1);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  f();
  std::fflush(stdout);
  dup2(saved, 1);
  close(null);
  close(saved);
}

using RunFn = int (*)(short*, int);

// A freshly initialised mono instance settled on one pass over the signal.
void settle(const std::vector<short>& in, RunFn run) {
  silently([&] {
    AGC_INFO_PARAM request = {1, kRate, 1, 24};
    kx_agc_init(&request);
    std::vector<short> block(kBlock);
    for (size_t b = 0; b < kBlocks; ++b) {
      std::memcpy(block.data(), in.data() + b * kBlock, sizeof(short) * kBlock);
      run(block.data(), static_cast<int>(kBlock));
    }
  });
}

void run_blocks(benchmark::State& state, bool loud, RunFn run) {
  const std::vector<short>& in = signal(loud);
  settle(in, run);
  std::vector<short> block(kBlock);
  size_t b = 0;
  for (auto _ : state) {
    std::memcpy(block.data(), in.data() + b * kBlock, sizeof(short) * kBlock);
    run(block.data(), static_cast<int>(kBlock));
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
    b = b + 1 == kBlocks ? 0 : b + 1;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBlock));
}

void BM_Loud_Fast(benchmark::State& state) {
  run_blocks(state, true, kx_agc_run);
}
BENCHMARK(BM_Loud_Fast);
void BM_Loud_Reference(benchmark::State& state) {
  run_blocks(state, true, kx_agc_internal::kx_agc_run_reference);
}
BENCHMARK(BM_Loud_Reference);
void BM_Quiet_Fast(benchmark::State& state) {
  run_blocks(state, false, kx_agc_run);
}
BENCHMARK(BM_Quiet_Fast);
void BM_Quiet_Reference(benchmark::State& state) {
  run_blocks(state, false, kx_agc_internal::kx_agc_run_reference);
}
BENCHMARK(BM_Quiet_Reference);

// Whether both paths turn the whole signal into the same samples, from fresh instances.
bool same_output(bool loud) {
  std::vector<short> out[2];
  const RunFn paths[2] = {kx_agc_run, kx_agc_internal::kx_agc_run_reference};
  for (int p = 0; p < 2; ++p) {
    out[p] = signal(loud);
    silently([&] {
      AGC_INFO_PARAM request = {1, kRate, 1, 24};
      kx_agc_init(&request);
      for (size_t b = 0; b < kBlocks; ++b) paths[p](out[p].data() + b * kBlock, kBlock);
    });
  }
  return out[0] == out[1];
}

// Keeps the fastest repetition of each benchmark: other processes on the machine only ever add
// time.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      const std::string name = r.run_name.function_name;
      const double t = r.GetAdjustedRealTime();
      if (times.count(name) == 0 || t < times[name]) times[name] = t;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  // The tables are computed once per process by the first initialisation; time it here.
  const auto start = std::chrono::steady_clock::now();
  silently([] { kx_agc_init(nullptr); });
  const double init_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

  // Five repetitions unless asked otherwise; the table below uses the fastest of each.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  bool has_repetitions = false;
  for (char* arg : args) has_repetitions |= std::strncmp(arg, "--benchmark_repetitions", 23) == 0;
  if (!has_repetitions) args.push_back(&repetitions[0]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);

  std::printf("\n%-32s %12s %14s %8s\n", "signal (per 20 ms 16 kHz block)", "fast ns",
              "reference ns", "ratio");
  std::printf("(fastest of the repetitions)\n");
  for (const char* name : {"Loud", "Quiet"}) {
    const double f = collector.times["BM_" + std::string(name) + "_Fast"];
    const double r = collector.times["BM_" + std::string(name) + "_Reference"];
    std::printf("%-32s %12.1f %14.1f %8.1f\n", name, f, r, f > 0 ? r / f : 0.0);
  }
  const bool same = same_output(true) && same_output(false);
  std::printf("\nsame samples from both paths: %s\n", same ? "yes" : "NO");
  std::printf("\nfirst initialisation (tables): %.1f ms\n", init_ms);
  benchmark::Shutdown();
  return same ? 0 : 1;
}
