#include "audio/full_band_aec.h"

#include "audio/echo_delay.h"

#if defined(MARLIN_FULL_BAND_AEC)

// WebRTC's headers are third-party code that the engine's warnings do not hold to.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "sonora/frame_wrapper.h"
#include "sonora/play_suit.h"
#include "utils/blocked_queue.h"
#include "utils/commons.h"
#include "utils/log.h"

namespace sonora {
namespace audio {

namespace {

const int kFarEndPoolLevel = 6;
const int kDelayMarginMs = 24;
// Far end and microphone further apart than this start their pairing again.
const uint64_t kResyncMs = 1000;
// The delay line holds the longest echo path the estimator looks for, and more.
const size_t kLineChunks = (EchoDelayEstimator::kMaxLagMs + 200) / 10;

bool rate_supported(int rate) {
  return rate == 8000 || rate == 16000 || rate == 32000 || rate == 48000;
}

class WebRtcFullBandAEC : public AEC {
 public:
  explicit WebRtcFullBandAEC(const Suit* suit);
  ~WebRtcFullBandAEC() override;

  bool is_working() override { return apm_ != nullptr; }
  bool aec(const Frame* input, Frame* output) override;
  bool input(const byte* data, size_t size, const TSSuit* ts) override;
  bool output_for_aec(Frame* frame) override;

 private:
  void take_far_until(uint64_t until_ms);
  // Gives the module the far end up to `until_ms`; true when any of it was played audio.
  bool give_far_until(uint64_t until_ms);
  void drop_line_head();
  bool process_reverse(const byte* data);
  bool process_near(byte* data, int delay_ms);

  std::unique_ptr<webrtc::AudioProcessing> apm_;
  webrtc::AudioFrame reverse_;
  webrtc::AudioFrame near_;
  int rate_ = 0;
  size_t block_ = 0;
  size_t chunk_bytes_ = 0;     // 10 ms
  uint64_t block_ms_ = 0;      // a block's duration
  size_t max_far_blocks_ = 0;  // far-end blocks queued at most
  int shift_ms_ = 0;           // how long the far end is held back
  uint64_t reverse_ms_ = 0;    // time of the next chunk the module's far end gets
  bool far_seen_ = false;
  std::unique_ptr<EchoDelayEstimator> delay_;
  // Far-end chunks taken from the queue, waiting to be given to the module: 10 ms each, with
  // their play times; a ring of kLineChunks.
  std::vector<int16_t> line_;
  std::vector<uint64_t> line_ms_;
  size_t line_head_ = 0;
  size_t line_count_ = 0;
  std::vector<int16_t> silence_;
  std::unique_ptr<FrameWrapper> fwrapper_;
  std::unique_ptr<utils::BlockedQueue<Frame>> queue_;
};

WebRtcFullBandAEC::WebRtcFullBandAEC(const Suit* suit) : AEC(suit) {
  if (suit == nullptr || !suit->enable_aec || suit->bit_per_channel != 16 ||
      suit->channel_per_frame != 1 || !rate_supported(suit->sample_rate) ||
      !suit_has_valid_block(suit) ||
      suit->block % static_cast<size_t>(suit->sample_rate / 100 * 2) != 0) {
    SLOG(
        "full-band aec: the suit cannot be served (16-bit mono, 8/16/32/48 kHz, blocks of whole "
        "10 ms)\n");
    return;
  }
  rate_ = suit->sample_rate;
  block_ = suit->block;
  chunk_bytes_ = static_cast<size_t>(rate_ / 100 * 2);
  block_ms_ = block_ / chunk_bytes_ * 10;
  max_far_blocks_ = static_cast<size_t>(std::max(1, suit->max_cached_frames));
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  // The engine estimates the echo path itself and holds the far end back by it; the module's own
  // delay-agnostic mode, tried as well, removed less echo at paths beyond 40 ms.
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
  apm_.reset(webrtc::AudioProcessing::Create(config));
  if (apm_ == nullptr || apm_->echo_cancellation()->Enable(true) != 0 ||
      apm_->echo_cancellation()->set_suppression_level(
          webrtc::EchoCancellation::kModerateSuppression) != 0 ||
      apm_->echo_cancellation()->enable_drift_compensation(false) != 0 ||
      apm_->high_pass_filter()->Enable(true) != 0) {
    SLOG("full-band aec: the audio-processing module did not start\n");
    apm_.reset();
    return;
  }
  for (webrtc::AudioFrame* f : {&reverse_, &near_}) {
    f->sample_rate_hz_ = rate_;
    f->num_channels_ = 1;
    f->samples_per_channel_ = chunk_bytes_ / 2;
  }
  delay_.reset(new EchoDelayEstimator(rate_));
  line_.assign(kLineChunks * chunk_bytes_ / 2, 0);
  line_ms_.assign(kLineChunks, 0);
  silence_.assign(chunk_bytes_ / 2, 0);
  fwrapper_.reset(new FrameWrapper(kFarEndPoolLevel, block_));
  queue_.reset(new utils::BlockedQueue<Frame>(delete_nothing));
}

WebRtcFullBandAEC::~WebRtcFullBandAEC() {
  if (queue_ != nullptr) queue_->fin();
}

bool WebRtcFullBandAEC::input(const byte* data, size_t size, const TSSuit* ts) {
  if (apm_ == nullptr || size != block_ || ts == nullptr) {
    counters_.far_refused.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  // Make room by dropping the oldest far-end block; the queue is only polled when it holds one,
  // so the render thread never waits here.
  if (fwrapper_->size() >= max_far_blocks_ && queue_->left() > 0) {
    fwrapper_->delete_frame(queue_->poll());
    counters_.far_overflow.fetch_add(1, std::memory_order_relaxed);
  }
  Frame* frame = fwrapper_->gen_frame(kFTypeA, data, size, ts);
  if (frame == nullptr) {
    counters_.far_refused.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  queue_->offer(frame);
  return true;
}

bool WebRtcFullBandAEC::process_reverse(const byte* data) {
  std::memcpy(reverse_.data_, data, chunk_bytes_);
  return apm_->ProcessReverseStream(&reverse_) == 0;
}

bool WebRtcFullBandAEC::process_near(byte* data, int delay_ms) {
  std::memcpy(near_.data_, data, chunk_bytes_);
  apm_->set_stream_delay_ms(delay_ms);
  if (apm_->ProcessStream(&near_) != 0) return false;
  std::memcpy(data, near_.data_, chunk_bytes_);
  return true;
}

// Moves each far-end block whose play has begun by `until_ms` from the queue into the delay line,
// chunk by chunk with their play times; the estimator hears them at those times.
void WebRtcFullBandAEC::take_far_until(uint64_t until_ms) {
  for (const Frame* head = queue_->head(); head != nullptr; head = queue_->head()) {
    // A played block's record holds its play time minus one block.
    const uint64_t start_ms = head->ts->ts + block_ms_;
    if (start_ms > until_ms) break;
    // Taken out of the queue before it is read: the render thread, making room, drops only
    // blocks still queued.
    Frame* far = queue_->poll();
    if (far == nullptr) break;
    for (size_t pos = 0; pos + chunk_bytes_ <= far->size; pos += chunk_bytes_) {
      const uint64_t chunk_ms = far->ts->ts + block_ms_ + pos / chunk_bytes_ * 10;
      if (chunk_ms + FullBandAEC::kStaleFarMs < until_ms) {
        counters_.far_too_old.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      const auto* samples = reinterpret_cast<const int16_t*>(far->data + pos);
      delay_->add_far(samples, chunk_bytes_ / 2, chunk_ms);
      if (line_count_ == line_ms_.size()) {  // the oldest chunk makes room
        line_head_ = (line_head_ + 1) % line_ms_.size();
        --line_count_;
        counters_.far_overflow.fetch_add(1, std::memory_order_relaxed);
      }
      const size_t slot = (line_head_ + line_count_) % line_ms_.size();
      std::memcpy(&line_[slot * chunk_bytes_ / 2], samples, chunk_bytes_);
      line_ms_[slot] = chunk_ms;
      ++line_count_;
    }
    fwrapper_->delete_frame(far);
  }
}

// Keeps the module's far end continuous up to `until_ms`: one chunk per 10 ms, the line's chunk
// due then (delayed by the echo path less a margin, so that the start of the echo stays inside
// the filter when the estimate is a step late) or silence where there is none. The module pairs
// far end and microphone by count, so a gap would shift them for good; when the delay grows the
// far end is held back by silence, when it shrinks the chunks it skips are dropped.
bool WebRtcFullBandAEC::give_far_until(uint64_t until_ms) {
  // The far end is held back by whole chunks; a new estimate moves it only when it differs by
  // more than a chunk and a half, so that an estimate wavering by a step does not.
  const int path = delay_->delay_ms();
  const int wanted = path > kDelayMarginMs ? path - kDelayMarginMs : 0;
  if (std::abs(wanted - shift_ms_) >= 15) shift_ms_ = wanted / 10 * 10;
  const uint64_t shift = static_cast<uint64_t>(shift_ms_);
  if (!far_seen_ || until_ms > reverse_ms_ + kResyncMs || until_ms + kResyncMs < reverse_ms_) {
    reverse_ms_ = until_ms;  // the first chunk, or the streams jumped: start again here
  }
  bool any = false;
  for (; reverse_ms_ <= until_ms; reverse_ms_ += 10) {
    // Chunks due before this one are too late now.
    while (line_count_ > 0 && line_ms_[line_head_] + shift + 5 < reverse_ms_) drop_line_head();
    const bool due = line_count_ > 0 && line_ms_[line_head_] + shift < reverse_ms_ + 5;
    const byte* chunk = due ? reinterpret_cast<const byte*>(&line_[line_head_ * chunk_bytes_ / 2])
                            : reinterpret_cast<const byte*>(silence_.data());
    if (process_reverse(chunk)) {
      any = any || due;
    } else {
      counters_.chunks_failed.fetch_add(1, std::memory_order_relaxed);
    }
    if (due) {
      line_head_ = (line_head_ + 1) % line_ms_.size();
      --line_count_;
    }
  }
  far_seen_ = true;
  return any;
}

void WebRtcFullBandAEC::drop_line_head() {
  line_head_ = (line_head_ + 1) % line_ms_.size();
  --line_count_;
  counters_.far_too_old.fetch_add(1, std::memory_order_relaxed);
}

bool WebRtcFullBandAEC::output_for_aec(Frame* frame) {
  if (apm_ == nullptr || frame == nullptr || frame->data == nullptr || frame->size != block_ ||
      frame->ts == nullptr) {
    counters_.near_refused.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  // A captured block's record holds the capture time of its last sample.
  const uint64_t start_ms = frame->ts->ts > block_ms_ ? frame->ts->ts - block_ms_ : 0;
  bool matched = false;
  int delay = 0;
  for (size_t offset = 0; offset < block_; offset += chunk_bytes_) {
    const uint64_t chunk_ms = start_ms + offset / chunk_bytes_ * 10;
    take_far_until(chunk_ms);
    matched = give_far_until(chunk_ms) || matched;
    delay_->add_near(reinterpret_cast<const int16_t*>(frame->data + offset), chunk_bytes_ / 2,
                     chunk_ms);
    delay = delay_->delay_ms();
    if (!process_near(frame->data + offset, 0)) {
      counters_.chunks_failed.fetch_add(1, std::memory_order_relaxed);
    }
  }
  // Read by the application while capture runs: single words, stored atomically.
  __atomic_store_n(&status_->leap, delay, __ATOMIC_RELAXED);
  __atomic_store_n(&status_->tid, frame->ts->tid, __ATOMIC_RELAXED);
  __atomic_store_n(&status_->delay, delay_->delay_ms(), __ATOMIC_RELAXED);
  return matched;
}

bool WebRtcFullBandAEC::aec(const Frame* input, Frame* output) {
  if (apm_ == nullptr || input == nullptr || output == nullptr || input->data == nullptr ||
      output->data == nullptr || input->size != block_ || output->size != block_) {
    counters_.blocks_refused.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  bool any = false;
  for (size_t offset = 0; offset < block_; offset += chunk_bytes_) {
    if (!process_reverse(input->data + offset) || !process_near(output->data + offset, 0)) {
      counters_.chunks_failed.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    any = true;
  }
  return any;
}

}  // namespace

AEC* FullBandAEC::make(const Suit* suit) {
  return new WebRtcFullBandAEC(suit);
}

bool FullBandAEC::available() {
  return true;
}

}  // namespace audio
}  // namespace sonora

#else  // no audio-processing module in this build

namespace sonora {
namespace audio {

AEC* FullBandAEC::make(const Suit*) {
  return nullptr;
}

bool FullBandAEC::available() {
  return false;
}

}  // namespace audio
}  // namespace sonora

#endif
