// Playback hot paths: the append path (pile, frame pool, queue) and the renderer's write-data
// callback, each against a naive version (a heap block per frame in a locked std::deque) measured
// in the same run. Then a steady-state check that the callback allocates nothing.
#include <benchmark/benchmark.h>
#include <hilog/log_sink.h>
#include <ohaudio/virtual_device.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "audio/ohos_player.h"
#include "sonora/body.h"
#include "sonora/play_suit.h"

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Allocation counting: every operator new and malloc of the process while g_counting is set.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

extern "C" void* __libc_malloc(size_t);
extern "C" void* malloc(size_t n) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  return __libc_malloc(n);
}
void* operator new(size_t n) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  void* p = __libc_malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) {
  return operator new(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}

namespace {

using sonora::byte;
constexpr size_t kBlock = 640;  // 20 ms of 16 kHz mono

sonora::audio::Suit bench_suit() {
  sonora::audio::Suit s;
  std::memset(&s, 0, sizeof(s));
  s.type = sonora::audio::kTypeRawPCM;
  s.sample_rate = 16000;
  s.channel_per_frame = 1;
  s.bit_per_channel = 16;
  s.block = kBlock;
  s.buffer_frame_count = 50;
  return s;
}

// A player instance whose renderer is driven by hand.
struct Rig {
  sonora::audio::Suit audio = bench_suit();
  sonora::PlaySuit suit{1, sonora::kPTypeByFPS, &audio, nullptr};
  sonora::Body body{nullptr, &suit, nullptr};
  std::vector<byte> block = std::vector<byte>(kBlock, 7);
  std::vector<byte> out = std::vector<byte>(kBlock);
  Rig() { body.enable_audio(true); }
  int32_t request() {
    return sonora::audio::OH_AudioRenderer_OnWriteData_func(nullptr, body.audio_player_, out.data(),
                                                            kBlock);
  }
};

// The naive version: one heap block per frame, a locked deque.
struct Naive {
  std::mutex mutex;
  std::deque<std::vector<byte>> queue;
  std::vector<byte> out = std::vector<byte>(kBlock);
  void append(const byte* data, size_t n) {
    std::vector<byte> frame(data, data + n);
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(std::move(frame));
  }
  void request() {
    std::vector<byte> frame;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (queue.empty()) return;
      frame = std::move(queue.front());
      queue.pop_front();
    }
    std::memcpy(out.data(), frame.data(), frame.size());
  }
};

void BM_AppendThenRender_Engine(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    rig.body.append_audio_data(rig.block.data(), kBlock, nullptr);
    rig.request();
  }
  benchmark::DoNotOptimize(rig.out.data());
}
BENCHMARK(BM_AppendThenRender_Engine);

void BM_AppendThenRender_Naive(benchmark::State& state) {
  Naive naive;
  std::vector<byte> block(kBlock, 7);
  for (auto _ : state) {
    naive.append(block.data(), kBlock);
    naive.request();
  }
  benchmark::DoNotOptimize(naive.out.data());
}
BENCHMARK(BM_AppendThenRender_Naive);

// Per iteration: 40 blocks are queued untimed, then 40 requests are timed.
constexpr int kBatch = 40;

void BM_Callback_Engine(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < kBatch; ++i) rig.body.append_audio_data(rig.block.data(), kBlock, nullptr);
    state.ResumeTiming();
    for (int i = 0; i < kBatch; ++i) rig.request();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Callback_Engine);

void BM_Callback_Naive(benchmark::State& state) {
  Naive naive;
  std::vector<byte> block(kBlock, 7);
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < kBatch; ++i) naive.append(block.data(), kBlock);
    state.ResumeTiming();
    for (int i = 0; i < kBatch; ++i) naive.request();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Callback_Naive);

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) times[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

long allocations_in_steady_state(int requests) {
  Rig rig;
  for (int i = 0; i < 200; ++i) {  // warm up: every pool slot and queue slot touched
    rig.body.append_audio_data(rig.block.data(), kBlock, nullptr);
    rig.request();
  }
  long total = 0;
  for (int i = 0; i < requests; ++i) {
    rig.body.append_audio_data(rig.block.data(), kBlock, nullptr);
    g_allocations.store(0);
    g_counting.store(true);
    rig.request();
    g_counting.store(false);
    total += g_allocations.load();
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  hilog::Capture quiet;  // keep the library's log lines out of the tables
  vdev::set_manual_clock(true);
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);

  std::printf("\n%-28s %14s %14s %10s\n", "path (per 640-byte block)", "engine ns", "naive ns",
              "ratio");
  for (const char* name : {"AppendThenRender", "Callback"}) {
    double per = std::string(name) == "Callback" ? kBatch : 1;
    double e = collector.times["BM_" + std::string(name) + "_Engine"] / per;
    double n = collector.times["BM_" + std::string(name) + "_Naive"] / per;
    std::printf("%-28s %14.1f %14.1f %10.2f\n", name, e, n, n > 0 ? e / n : 0.0);
  }
  const int requests = 10000;
  long allocs = allocations_in_steady_state(requests);
  std::printf("\nwrite-data callback, steady state: %ld allocations in %d requests (%s)\n", allocs,
              requests, allocs == 0 ? "ok" : "FAIL");
  benchmark::Shutdown();
  return allocs == 0 ? 0 : 1;
}
