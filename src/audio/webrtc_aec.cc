#include "audio/webrtc_aec.h"

#include <webrtc/aecm.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
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
  // The other instances, like the first.
  inst_[0].aecm = body->aec;
  for (int i = 1; i < kInstances; ++i) {
    inst_[i].aecm = WebRtcAecm_Create();
    if (inst_[i].aecm == nullptr || WebRtcAecm_Init(inst_[i].aecm, suit->sample_rate) != 0) {
      SLOG("aec create failed\n");
      free_instances();
      free_body(body);
      return;
    }
    WebRtcAecm_set_config(inst_[i].aecm, config);
  }
  body->queue = new utils::BlockedQueue<Frame>(delete_nothing);
  body->fwrapper = new FrameWrapper(kWebRtcAECBuddyLevel, body->block);
  rate_ = suit->sample_rate;
  path_.reset(new EchoDelayEstimator(suit->sample_rate));
  // The longest path the estimator reports, and one call more.
  const size_t call = static_cast<size_t>(body->aec_sample_in_short);
  line_.assign(static_cast<size_t>(EchoDelayEstimator::kMaxLagMs) *
                       static_cast<size_t>(suit->sample_rate) / 1000 +
                   call,
               0);
  // Until the path is known each instance's far end leads by kSpreadMs less than the one before.
  for (int i = 0; i < kInstances; ++i) {
    inst_[i].sound_card_ms = body->aec_ms_in_sound_card;
    inst_[i].hold_ms = i * kSpreadMs;
    inst_[i].hold = static_cast<size_t>(inst_[i].hold_ms * rate_ / 1000);
  }
  for (Instance& inst : inst_) {
    inst.far.assign(call, 0);
    inst.out.assign(call, 0);
  }
  body_ = body;
}

void WebRtcAEC::free_instances() {
  // The first instance's AECM is the body's.
  for (int i = 1; i < kInstances; ++i) {
    if (inst_[i].aecm != nullptr) WebRtcAecm_Free(inst_[i].aecm);
    inst_[i].aecm = nullptr;
  }
}

WebRtcAEC::~WebRtcAEC() {
  free_instances();
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
  // The status shows the lead of the far-end block this captured block ended with (used, ahead,
  // or the last one dropped), not the ones looked at on the way: an application reading it during
  // a wait sees no passing value.
  bool examined = false;
  int leap = 0;
  auto publish = [&] {
    if (!examined) return;
    // Read by the application while capture runs: single words, stored atomically.
    __atomic_store_n(&status_->leap, leap, __ATOMIC_RELAXED);
    __atomic_store_n(&status_->tid, frame->ts->tid, __ATOMIC_RELAXED);
  };
  for (;;) {
    const Frame* far = body_->queue->head();
    if (far == nullptr) {
      // No usable far-end audio after the wait (playback paused, stopped or behind): the block
      // goes on uncancelled, and later blocks do not wait again until far-end audio that lines
      // up, is ahead, or only just missed a block arrives, so that capture does not fall behind
      // and lose blocks.
      if (waited >= max_wait || far_absent_) {
        far_absent_ = true;
        publish();
        return false;
      }
      if (waited == 0) counters_.waits.fetch_add(1, std::memory_order_relaxed);
      msleep(static_cast<size_t>(kWaitStepMs));
      waited += kWaitStepMs;
      continue;
    }
    uint64_t lead = (far->ts->sts - frame->ts->sts) +
                    (far->ts->tid - frame->ts->tid) * static_cast<uint64_t>(body_->delay);
    leap = static_cast<int>(static_cast<uint32_t>(lead & 0xffffffffu));
    examined = true;
    // When the echo was found to arrive before the far end paired by the clocks, later far-end
    // blocks are paired instead.
    const int shift = shift_blocks_ * body_->delay;
    if (leap < body_->aec_start_by_ts + shift) {
      // A block too old by less than one block lined up with the captured block before this one:
      // the far end is arriving just after the capture, and its next block lines up with this
      // one, so it is waited for even when far-end audio was missing before. Otherwise, with the
      // two clocks in that phase, every far-end block would be dropped and nothing cancelled.
      if (leap >= body_->aec_start_by_ts + shift - body_->delay) far_absent_ = false;
      Frame* old = body_->queue->poll();
      body_->fwrapper->delete_frame(old);
      counters_.far_too_old.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    far_absent_ = false;  // far-end audio that lines up, or is ahead of this block
    publish();
    if (leap < body_->aec_end_by_ts + shift) {
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
    std::memcpy(near, output->data + offset, step);
    track_path(far, near, samples);
    write_line(far, samples);
    for (Instance& inst : inst_) run_instance(&inst, near, samples);
    line_pos_ = (line_pos_ + samples) % line_.size();
    if (!choose_output(near, samples)) {
      counters_.chunks_failed.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    std::memcpy(output->data + offset, near, step);
    any = true;
  }
  __atomic_store_n(&status_->delay, path_ms_, __ATOMIC_RELAXED);
  return any;
}

void WebRtcAEC::track_path(const int16_t* far, const int16_t* near, size_t n) {
  // Far end and microphone are paired call by call, so one sample clock serves both.
  const uint64_t at_ms = paired_ * 1000 / static_cast<uint64_t>(rate_);
  paired_ += n;
  // The far end is labelled kEarlyMs early, so that an echo up to that much ahead of it is found.
  path_->add_far(far, n, at_ms);
  path_->add_near(near, n, at_ms + kEarlyMs);
  if (path_->delay_ms() < 0) return;
  const int path = path_->delay_ms() - kEarlyMs;
  path_ms_ = path;
  if (path < 0) {
    // The echo arrives before the far end it is paired with, which AECM cannot cancel: pair the
    // far-end block one later (up to kMaxShiftBlocks), and wait for the estimate of that pairing.
    if (shift_blocks_ < kMaxShiftBlocks) {
      ++shift_blocks_;
      path_->reset();
      path_ms_ = -1;
    }
    return;
  }
  for (int i = 0; i < kInstances; ++i) {
    Instance& inst = inst_[i];
    // An instance whose far end leads the echo by a little more than the sound-card delay it is
    // told keeps its feed (every move costs AECM a second or two of convergence); one outside
    // that is moved to lead by kLeadMs more, and each further one by kSpreadMs more again.
    const int excess = path - inst.hold_ms - inst.sound_card_ms;
    if (excess >= kMinExcessMs && excess <= kMaxExcessMs) continue;
    const int lead = kLeadMs + i * kSpreadMs;
    // A path too short to hold the far end back by is told to AECM as a shorter sound-card delay.
    inst.hold_ms = std::max(0, path - body_->aec_ms_in_sound_card - lead);
    inst.hold = static_cast<size_t>(inst.hold_ms * rate_ / 1000);
    inst.sound_card_ms = std::clamp(path - lead, 0, body_->aec_ms_in_sound_card);
  }
}

void WebRtcAEC::write_line(const int16_t* far, size_t n) {
  for (size_t i = 0; i < n; ++i) line_[(line_pos_ + i) % line_.size()] = far[i];
}

void WebRtcAEC::run_instance(Instance* inst, const int16_t* near, size_t n) {
  const size_t size = line_.size();
  // hold <= size - n: what is read was written in this call or before.
  const size_t from = (line_pos_ + size - inst->hold) % size;
  for (size_t i = 0; i < n; ++i) inst->far[i] = line_[(from + i) % size];
  inst->ok = WebRtcAecm_BufferFarend(inst->aecm, inst->far.data(), n) == 0 &&
             WebRtcAecm_Process(inst->aecm, near, nullptr, inst->out.data(), n,
                                static_cast<int16_t>(inst->sound_card_ms)) == 0;
  if (!inst->ok) return;
  double energy = 0.0;
  for (size_t i = 0; i < n; ++i) energy += static_cast<double>(inst->out[i]) * inst->out[i];
  inst->level = 0.6 * inst->level + 0.4 * energy;
}

bool WebRtcAEC::choose_output(int16_t* out, size_t n) {
  const int was = chosen_;
  // Another instance takes over when the chosen one failed, or when it leaves clearly less
  // (1 dB) than the chosen one: the one that leaves least.
  int best = -1;
  for (int i = 0; i < kInstances; ++i) {
    if (inst_[i].ok && (best < 0 || inst_[i].level < inst_[best].level)) best = i;
  }
  if (best >= 0 && (!inst_[was].ok || inst_[best].level < 0.8 * inst_[was].level)) chosen_ = best;
  const Instance& now = inst_[chosen_];
  if (!now.ok) return false;
  if (chosen_ == was || !inst_[was].ok) {
    std::memcpy(out, now.out.data(), n * sizeof(int16_t));
    return true;
  }
  // A change of instance fades from the old one's output to the new one's over this call.
  const Instance& before = inst_[was];
  for (size_t i = 0; i < n; ++i) {
    const double w = static_cast<double>(i) / static_cast<double>(n);
    out[i] = static_cast<int16_t>(std::lrint((1.0 - w) * before.out[i] + w * now.out[i]));
  }
  return true;
}

}  // namespace audio
}  // namespace sonora
