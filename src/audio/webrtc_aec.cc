#include "audio/webrtc_aec.h"

#include <webrtc/aecm.h>

#include <algorithm>
#include <cstring>

#include "sonora/play_suit.h"
#include "utils/commons.h"
#include "utils/log.h"

namespace sonora {
namespace audio {

namespace {

// How long a captured block waits for its far end at most, and how often it looks.
constexpr int kMaxWaitMs = 10;
constexpr int kWaitStepMs = 2;

void free_body(WebRtcAECBody* body) {
  if (body == nullptr) return;
  if (body->queue != nullptr) {
    body->queue->fin();
    delete body->queue;
  }
  delete body->fwrapper;
  if (body->aec != nullptr) WebRtcAecm_Free(body->aec);
  delete[] body->buffer;
  delete body;
}

// Bytes per canceller call. AECM works in whole 10 ms frames: called with less than 10 ms of
// audio (80 samples at 16 kHz) it never leaves its start-up phase and passes the microphone
// through unchanged. So a call carries at least 10 ms of 16-bit mono at the suit's rate: the
// suit's 160 bytes at 8 kHz, 320 bytes at 16 kHz.
int call_bytes(const Suit* suit) {
  const int ten_ms = suit->sample_rate / 100 * 2;
  return suit->aec_sample_in_bytes >= ten_ms ? suit->aec_sample_in_bytes : ten_ms;
}

}  // namespace

WebRtcAEC::WebRtcAEC(const Suit* suit) : AEC(suit), body_(nullptr), far_absent_(false) {
  if (suit == nullptr || !suit->enable_aec || suit->bit_per_channel != 16 ||
      suit->channel_per_frame != 1 || suit->aec_sample_in_bytes <= 0 ||
      !suit_has_valid_block(suit) || call_bytes(suit) <= 0 ||
      suit->block % static_cast<size_t>(call_bytes(suit)) != 0) {
    SLOG("aec not support the suit\n");
    return;
  }
  WebRtcAECBody* body = new WebRtcAECBody();
  body->delay = suit->delayed_per_block;
  body->max = static_cast<size_t>(suit->max_cached_frames);
  body->block = suit->block;
  body->aec_sample_in_bytes = call_bytes(suit);
  body->aec_sample_in_short = body->aec_sample_in_bytes / 2;
  body->aec_ms_in_sound_card = suit->aec_ms_in_sound_card;
  body->aec_start_by_ts = suit->aec_start_by_ts;
  body->aec_end_by_ts = suit->aec_end_by_ts;
  body->aec_wait_input_in_ms = suit->aec_wait_input_in_ms;
  body->buffer = new byte[static_cast<size_t>(body->aec_sample_in_bytes)]();
  body->aec = WebRtcAecm_Create();
  if (body->aec == nullptr) {
    SLOG("aec create failed\n");
    free_body(body);
    return;
  }
  if (WebRtcAecm_Init(body->aec, suit->sample_rate) != 0) {
    free_body(body);
    return;
  }
  AecmConfig config;
  config.cngMode = 1;
  config.echoMode = static_cast<int16_t>(is_range(suit->aec_value, 0, 4) ? suit->aec_value : 3);
  WebRtcAecm_set_config(body->aec, config);
  body->queue = new utils::BlockedQueue<Frame>(delete_nothing);
  body->fwrapper = new FrameWrapper(kWebRtcAECBuddyLevel, body->block);
  body_ = body;
}

WebRtcAEC::~WebRtcAEC() {
  free_body(body_);
  body_ = nullptr;
}

bool WebRtcAEC::is_working() {
  return body_ != nullptr;
}

bool WebRtcAEC::input(const byte* data, size_t size, const TSSuit* ts) {
  if (body_ == nullptr) return false;
  // Make room by dropping the oldest far-end block. The queue is only polled when it holds an
  // element, so the render thread never waits here.
  if (body_->fwrapper->size() >= body_->max && body_->queue->left() > 0) {
    Frame* oldest = body_->queue->poll();
    body_->fwrapper->delete_frame(oldest);
    counters_.far_overflow.fetch_add(1, std::memory_order_relaxed);
  }
  Frame* frame = body_->fwrapper->gen_frame(kFTypeA, data, size, ts);
  if (frame != nullptr) {
    body_->queue->offer(frame);
    return true;
  }
  counters_.far_refused.fetch_add(1, std::memory_order_relaxed);
  return false;
}

bool WebRtcAEC::output_for_aec(Frame* frame) {
  if (body_ == nullptr || body_->aec == nullptr || frame == nullptr || frame->data == nullptr ||
      frame->size != body_->block || frame->ts == nullptr) {
    counters_.near_refused.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  // A captured block waits for its far end at most kMaxWaitMs in all (the suit's
  // aec_wait_input_in_ms, if shorter), looking every kWaitStepMs: the renderer asks for a block
  // just before it plays, so the far end that lines up is usually a few milliseconds away, and
  // far-end audio that keeps arriving too old to line up (a far-end clock behind the capture
  // clock) must not hold the block for long.
  const int max_wait = std::min(kMaxWaitMs, std::max(0, body_->aec_wait_input_in_ms));
  int waited = 0;
  for (;;) {
    const Frame* far = body_->queue->head();
    if (far == nullptr) {
      // No usable far-end audio after the wait (playback paused, stopped or behind): the block
      // goes on uncancelled, and later blocks do not wait again until far-end audio that lines
      // up (or is ahead) arrives, so that capture does not fall behind and lose blocks.
      if (waited >= max_wait || far_absent_) {
        far_absent_ = true;
        return false;
      }
      if (waited == 0) counters_.waits.fetch_add(1, std::memory_order_relaxed);
      msleep(static_cast<size_t>(kWaitStepMs));
      waited += kWaitStepMs;
      continue;
    }
    uint64_t lead = (far->ts->sts - frame->ts->sts) +
                    (far->ts->tid - frame->ts->tid) * static_cast<uint64_t>(body_->delay);
    int leap = static_cast<int>(static_cast<uint32_t>(lead & 0xffffffffu));
    // Read by the application while capture runs: single words, stored atomically.
    __atomic_store_n(&status_->leap, leap, __ATOMIC_RELAXED);
    __atomic_store_n(&status_->tid, frame->ts->tid, __ATOMIC_RELAXED);
    if (leap < body_->aec_start_by_ts) {
      Frame* old = body_->queue->poll();
      body_->fwrapper->delete_frame(old);
      counters_.far_too_old.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    far_absent_ = false;  // far-end audio that lines up, or is ahead of this block
    if (leap < body_->aec_end_by_ts) {
      Frame* matched = body_->queue->poll();
      aec(matched, frame);
      body_->fwrapper->delete_frame(matched);
      return true;
    }
    counters_.far_ahead.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
}

bool WebRtcAEC::aec(const Frame* input, Frame* output) {
  if (body_ == nullptr || body_->aec == nullptr || input == nullptr || output == nullptr ||
      input->data == nullptr || output->data == nullptr || input->size != body_->block ||
      output->size != body_->block) {
    counters_.blocks_refused.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  bool any = false;
  const size_t step = static_cast<size_t>(body_->aec_sample_in_bytes);
  const size_t samples = static_cast<size_t>(body_->aec_sample_in_short);
  int16_t far[256];
  int16_t near[256];
  if (samples > 256) {
    counters_.blocks_refused.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  for (size_t offset = 0; offset < body_->block; offset += step) {
    std::memcpy(far, input->data + offset, step);
    if (WebRtcAecm_BufferFarend(body_->aec, far, samples) != 0) {
      counters_.chunks_failed.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    std::memcpy(near, output->data + offset, step);
    if (WebRtcAecm_Process(body_->aec, near, nullptr, reinterpret_cast<int16_t*>(body_->buffer),
                           samples, static_cast<int16_t>(body_->aec_ms_in_sound_card)) != 0) {
      counters_.chunks_failed.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    std::memcpy(output->data + offset, body_->buffer, step);
    any = true;
  }
  return any;
}

}  // namespace audio
}  // namespace sonora
