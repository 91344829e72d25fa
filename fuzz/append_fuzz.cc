// A player instance on the virtual device (manual clock) driven by a random sequence of public
// playback calls: append_audio_data (sizes from 0 to 1 MiB, random bytes), flush, clean_buffer,
// pause/resume, rendering requests, adjust_track_volume (NaN and infinity included), stop/start
// and short mute delays, with a random audio suit (invalid enum values and refused formats
// included).
//
// The first input byte chooses the mode:
//  - free: every field of the suit and every call is random; checked: no sanitizer report and
//    audio_left() never exceeds the pool of 64 blocks.
//  - model (odd byte): a raw PCM suit that starts, buffer_frame_count 50 (no catch-up thinning),
//    no suppressor and unit gain, with requests of the platform's choosing (the block's duration
//    clamped to 20 .. 100 ms, or 7, 20, 33 or 100 ms). A reference model predicts every append's
//    result, audio_left() and every byte rendered: each request is filled from the queued blocks
//    in order across block boundaries (a flushed partial block adds its own bytes only), silence
//    where the queue ran dry; clean_buffer drops the queue and the block being played but not the
//    partial block; a paused renderer runs no request.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <vector>

#include "hilog/log_sink.h"
#include "ohaudio/virtual_device.h"
#include "sonora/sonora.h"

namespace {

constexpr size_t kPoolSlots = 64;
constexpr size_t kMaxAppend = 1 << 20;
constexpr size_t kMaxBlock = 1 << 18;

void quiet(const hilog::Record&, void*) {}

void fail(const char* what, size_t a, size_t b) {
  std::fprintf(stderr, "append_fuzz: %s (%zu vs %zu)\n", what, a, b);
  std::abort();
}

// A block size for the suit: mostly a plausible one (a whole number of sample frames, at most
// one second), sometimes anything.
size_t pick_block(FuzzedDataProvider& fdp, int32_t rate, int32_t channels, int32_t bits,
                  bool plausible) {
  const size_t frame = (channels > 0 && bits > 0)
                           ? static_cast<size_t>(channels) * static_cast<size_t>((bits + 7) / 8)
                           : 1;
  const size_t second_frames = rate > 0 ? static_cast<size_t>(rate) : 1;
  switch (plausible ? 0 : fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
      size_t frames = fdp.ConsumeIntegralInRange<size_t>(1, second_frames);
      size_t block = frames * frame;
      while (block > kMaxBlock && frames > 1) {
        frames /= 2;
        block = frames * frame;
      }
      return block;
    }
    case 1:
      return fdp.ConsumeIntegralInRange<size_t>(0, 16);
    case 2:
      return fdp.ConsumeIntegralInRange<size_t>(0, kMaxBlock);
    default:
      return frame * second_frames / 50 + fdp.ConsumeIntegralInRange<size_t>(0, 3);
  }
}

float pick_gain(FuzzedDataProvider& fdp) {
  switch (fdp.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      return std::numeric_limits<float>::quiet_NaN();
    case 1:
      return std::numeric_limits<float>::infinity();
    case 2:
      return -std::numeric_limits<float>::infinity();
    case 3:
      return 1.0f;
    default:
      return fdp.ConsumeFloatingPoint<float>();
  }
}

// The model of a working raw PCM player.
struct Model {
  size_t block = 0;
  size_t request = 0;  // bytes per renderer request
  int silence = 0;
  std::vector<uint8_t> pile;               // bytes towards the next block
  std::deque<std::vector<uint8_t>> queue;  // queued blocks, oldest first
  std::vector<uint8_t> current;            // the block being played, taken off the queue
  size_t played = 0;                       // bytes of it already in a request
  std::vector<uint8_t> rendered;           // what the device must have recorded
  bool paused = false;

  bool append(const uint8_t* data, size_t size) {
    if (size == 0) return false;
    // The blocks the chunk completes, plus a slot for the partial block it leaves, which a later
    // flush turns into a frame; the block being played still holds its slot.
    const size_t blocks = (pile.size() + size + block - 1) / block;
    const size_t q = queue.size() + (current.empty() ? 0 : 1);
    if (!(q < 50 && blocks <= kPoolSlots && q + blocks <= kPoolSlots)) return false;
    pile.insert(pile.end(), data, data + size);
    while (pile.size() >= block) {
      queue.emplace_back(pile.begin(), pile.begin() + static_cast<long>(block));
      pile.erase(pile.begin(), pile.begin() + static_cast<long>(block));
    }
    return true;
  }
  void flush() {
    if (!pile.empty()) queue.push_back(pile);
    pile.clear();
  }
  void clean() {
    queue.clear();
    current.clear();
  }
  void render(int requests) {
    for (int i = 0; i < requests; ++i) {
      std::vector<uint8_t> out(request, static_cast<uint8_t>(silence));
      size_t filled = 0;
      while (filled < request) {
        if (current.empty()) {
          if (queue.empty()) break;
          current = std::move(queue.front());
          queue.pop_front();
          played = 0;
        }
        const size_t n = std::min(current.size() - played, request - filled);
        std::memcpy(out.data() + filled, current.data() + played, n);
        filled += n;
        played += n;
        if (played == current.size()) current.clear();
      }
      rendered.insert(rendered.end(), out.begin(), out.end());
    }
  }
};

std::vector<uint8_t>& scratch() {
  static std::vector<uint8_t> buffer(kMaxAppend);
  return buffer;
}

// Fills `n` bytes of the scratch buffer from the input (repeating it when the input runs short).
const uint8_t* fill(FuzzedDataProvider& fdp, size_t n) {
  std::vector<uint8_t>& buf = scratch();
  const size_t take = fdp.ConsumeIntegralInRange<size_t>(0, std::min<size_t>(n, 256));
  std::vector<uint8_t> pattern = fdp.ConsumeBytes<uint8_t>(take);
  if (pattern.empty()) pattern.push_back(static_cast<uint8_t>(n * 31 + 7));
  // Repeat the pattern by doubling copies (a byte loop here would dominate the run time).
  size_t have = std::min(n, pattern.size());
  if (have > 0) std::memcpy(buf.data(), pattern.data(), have);
  while (have < n) {
    const size_t more = std::min(have, n - have);
    std::memcpy(buf.data() + have, buf.data(), more);
    have += more;
  }
  return buf.data();
}

size_t pick_append_size(FuzzedDataProvider& fdp, size_t block) {
  const size_t b = block > 0 ? block : 1;
  switch (fdp.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      return 0;
    case 1:
      return fdp.ConsumeIntegralInRange<size_t>(1, 64);
    case 2:
      return std::min(kMaxAppend, b * fdp.ConsumeIntegralInRange<size_t>(1, 70));
    case 3:
      return std::min(kMaxAppend, b * fdp.ConsumeIntegralInRange<size_t>(1, 70) +
                                      fdp.ConsumeIntegralInRange<size_t>(0, 2) - 1);
    case 4:
      return kMaxAppend - fdp.ConsumeIntegralInRange<size_t>(0, 1);
    default:
      return fdp.ConsumeIntegralInRange<size_t>(0, kMaxAppend);
  }
}

void run_free(FuzzedDataProvider& fdp) {
  static const int32_t kRates[] = {8000, 16000, 22050, 44100, 48000, 96000, 0, -1, 999, 384001};
  static const int32_t kBits[] = {8, 16, 24, 32, 0, 1, 12, -16};
  sonora::audio::Suit a;
  std::memset(&a, 0, sizeof(a));
  a.type = static_cast<sonora::audio::Type>(fdp.ConsumeIntegralInRange<uint32_t>(0, 6));
  a.sample_rate = fdp.ConsumeBool() ? fdp.PickValueInArray(kRates)
                                    : fdp.ConsumeIntegralInRange<int32_t>(-10, 400000);
  a.channel_per_frame = fdp.ConsumeIntegralInRange<int32_t>(-1, 9);
  a.bit_per_channel = fdp.PickValueInArray(kBits);
  a.block = pick_block(fdp, a.sample_rate, a.channel_per_frame, a.bit_per_channel, false);
  a.buffer_frame_count = fdp.ConsumeIntegralInRange<int32_t>(-2, 60);
  a.enable_ns = fdp.ConsumeBool();
  a.enable_aec = fdp.ConsumeBool();
  const auto play_type = static_cast<sonora::PlayType>(fdp.ConsumeIntegralInRange<uint32_t>(0, 5));
  sonora::PlaySuit suit(1, play_type, &a, nullptr);
  sonora::Sonora player(&suit, nullptr);
  player.enable_audio(true);
  while (fdp.remaining_bytes() > 0) {
    switch (fdp.ConsumeIntegralInRange<int>(0, 11)) {
      case 0:
      case 1:
      case 2: {
        const size_t n = pick_append_size(fdp, a.block);
        const uint8_t* p = fill(fdp, n);
        player.append_audio_data(fdp.ConsumeBool() ? p : nullptr, n, nullptr);
        break;
      }
      case 3: {
        // A coded unit of exactly its size.
        static const size_t kUnits[] = {42, 320, 60};
        const size_t n = fdp.PickValueInArray(kUnits);
        sonora::TSSuit ts = {20, 1, 2, 3};
        player.append_audio_data(fill(fdp, n), n, fdp.ConsumeBool() ? &ts : nullptr);
        break;
      }
      case 4:
        player.flush();
        break;
      case 5:
        player.clean_buffer();
        break;
      case 6:
        if (fdp.ConsumeBool()) {
          player.pause();
        } else {
          player.resume();
        }
        break;
      case 7:
      case 8:
        vdev::pump_render(fdp.ConsumeIntegralInRange<int>(0, 8));
        break;
      case 9:
        player.adjust_track_volume(pick_gain(fdp));
        break;
      case 10:
        player.enable_audio(fdp.ConsumeBool());
        break;
      default:
        player.add_mute_delay_blocked(fdp.ConsumeIntegralInRange<unsigned>(0, 1));
        break;
    }
    const size_t left = player.audio_left();
    if (left > kPoolSlots) fail("audio_left() beyond the pool", left, kPoolSlots);
  }
}

void run_model(FuzzedDataProvider& fdp) {
  static const int32_t kRates[] = {8000, 16000, 44100, 48000};
  static const int32_t kBits[] = {8, 16, 24, 32};
  sonora::audio::Suit a;
  std::memset(&a, 0, sizeof(a));
  a.type = sonora::audio::kTypeRawPCM;
  a.sample_rate = fdp.PickValueInArray(kRates);
  a.channel_per_frame = fdp.ConsumeIntegralInRange<int32_t>(1, 2);
  a.bit_per_channel = fdp.PickValueInArray(kBits);
  // Small blocks keep the model cheap: up to 64 sample frames.
  const size_t frame = static_cast<size_t>(a.channel_per_frame * a.bit_per_channel / 8);
  a.block = frame * fdp.ConsumeIntegralInRange<size_t>(1, 64);
  a.buffer_frame_count = 50;
  // The request: the block's duration, clamped to 20 .. 100 ms, or the platform's own size.
  static const int kPlatformMs[] = {0, 7, 20, 33, 100};
  const int platform_ms = fdp.PickValueInArray(kPlatformMs);
  vdev::set_platform_request_ms(platform_ms);
  const int64_t rate = a.sample_rate;
  const int64_t frames = platform_ms > 0
                             ? rate * platform_ms / 1000
                             : std::clamp<int64_t>(static_cast<int64_t>(a.block / frame),
                                                   rate * 20 / 1000, rate * 100 / 1000);
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &a, nullptr);
  sonora::Sonora player(&suit, nullptr);
  if (!player.enable_audio(true)) fail("a valid raw PCM suit did not start", a.block, 0);
  Model m;
  m.block = a.block;
  m.request = static_cast<size_t>(frames) * frame;
  m.silence = a.bit_per_channel == 8 ? 0x80 : 0;
  while (fdp.remaining_bytes() > 0) {
    switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
      case 1: {
        const size_t n = std::min<size_t>(pick_append_size(fdp, a.block), 64 * 64 * 8 + 1);
        const uint8_t* p = fill(fdp, n);
        const bool expected = m.append(p, n);
        const bool got = player.append_audio_data(p, n, nullptr);
        if (got != expected) fail("append result differs from the model", got, expected);
        break;
      }
      case 2:
        player.flush();
        m.flush();
        break;
      case 3:
        player.clean_buffer();
        m.clean();
        break;
      case 4:
        if (fdp.ConsumeBool()) {
          player.pause();
          m.paused = true;
        } else {
          player.resume();
          m.paused = false;
        }
        break;
      case 5: {
        // Refused gains leave the unit gain in place.
        const float g = fdp.ConsumeBool() ? std::numeric_limits<float>::quiet_NaN() : 1.0f;
        player.adjust_track_volume(g);
        break;
      }
      default: {
        const int want = fdp.ConsumeIntegralInRange<int>(0, 8);
        const int ran = vdev::pump_render(want);
        const int expected = m.paused ? 0 : want;
        if (ran != expected) fail("pump_render ran a different number of requests", ran, expected);
        m.render(ran);
        break;
      }
    }
    if (player.audio_left() != m.queue.size()) {
      fail("audio_left() differs from the model", player.audio_left(), m.queue.size());
    }
  }
  const std::vector<uint8_t> got = vdev::rendered();
  if (got.size() != m.rendered.size()) fail("rendered size", got.size(), m.rendered.size());
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != m.rendered[i]) fail("rendered byte differs at offset (first, block)", i, m.block);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  hilog::set_sink(quiet, nullptr);
  vdev::use_hardware(false);
  vdev::set_manual_clock(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  vdev::reset();
  FuzzedDataProvider fdp(data + 1, size - 1);
  if (data[0] & 1) {
    run_model(fdp);
  } else {
    run_free(fdp);
  }
  vdev::reset();
  return 0;
}
