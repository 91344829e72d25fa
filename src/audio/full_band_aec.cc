#include "audio/full_band_aec.h"

#if defined(MARLIN_FULL_BAND_AEC)

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "sonora/frame_wrapper.h"
#include "sonora/play_suit.h"
#include "utils/blocked_queue.h"
#include "utils/commons.h"
#include "utils/log.h"

namespace sonora {
namespace audio {

namespace {

const int kFarEndPoolLevel = 6;

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
  // Gives the module every far-end chunk played up to `until_ms`; true when it gave any.
  bool feed_far_until(uint64_t until_ms);
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
  size_t far_pos_ = 0;         // bytes of the head far-end block already given
  uint64_t newest_far_ms_ = 0;
  bool far_seen_ = false;
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
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
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

bool WebRtcFullBandAEC::feed_far_until(uint64_t until_ms) {
  bool any = false;
  for (const Frame* far = queue_->head(); far != nullptr; far = queue_->head()) {
    // A played block's record holds its play time minus one block.
    const uint64_t chunk_ms = far->ts->ts + block_ms_ + far_pos_ / chunk_bytes_ * 10;
    if (chunk_ms > until_ms) break;
    if (chunk_ms + FullBandAEC::kStaleFarMs < until_ms) {
      counters_.far_too_old.fetch_add(1, std::memory_order_relaxed);
    } else if (process_reverse(far->data + far_pos_)) {
      newest_far_ms_ = chunk_ms;
      far_seen_ = true;
      any = true;
    } else {
      counters_.chunks_failed.fetch_add(1, std::memory_order_relaxed);
    }
    far_pos_ += chunk_bytes_;
    if (far_pos_ >= far->size) {
      fwrapper_->delete_frame(queue_->poll());
      far_pos_ = 0;
    }
  }
  return any;
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
    matched = feed_far_until(chunk_ms) || matched;
    delay = far_seen_ && chunk_ms > newest_far_ms_
                ? static_cast<int>(
                      std::min<uint64_t>(chunk_ms - newest_far_ms_, FullBandAEC::kStaleFarMs))
                : 0;
    if (!process_near(frame->data + offset, delay)) {
      counters_.chunks_failed.fetch_add(1, std::memory_order_relaxed);
    }
  }
  // Read by the application while capture runs: single words, stored atomically.
  __atomic_store_n(&status_->leap, delay, __ATOMIC_RELAXED);
  __atomic_store_n(&status_->tid, frame->ts->tid, __ATOMIC_RELAXED);
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
