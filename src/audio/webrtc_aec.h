// Echo canceller on WebRTC's mobile echo canceller (AECM). Works for 16-bit mono suits that
// enable echo cancellation, whose block is a whole number of AECM calls, at the rates AECM
// accepts (8000 and 16000 Hz); otherwise it is inert.
//
// The render thread only copies played blocks into a far-end queue (input). The capture thread
// (output_for_aec) looks for the far-end block whose lead over the captured block lies in
// [aec_start_by_ts, aec_end_by_ts) milliseconds: older ones are dropped, a later one waits for a
// later captured block. All AECM calls happen on the capture thread.
//
// Alignment. AECM cancels well only when its far end leads the echo by at least the sound-card
// delay it is told (aec_ms_in_sound_card), and by no more than some 150 ms beyond it; the echo
// path from a matched far-end block to the microphone differs from device to device and from run
// to run with where capture started against playback. So the matched far end goes through a delay
// line: an EchoDelayEstimator follows the echo path between the far end as matched and the
// microphone. While an instance's far end leads the echo by kMinExcessMs to kMaxExcessMs more
// than the sound-card delay it is told, its feed is left alone (a move costs AECM a second or two
// of convergence); otherwise it is held back so that it leads by kLeadMs more (kSpreadMs more
// again for each further instance). A path too short for that is told to AECM as a shorter
// sound-card delay instead. An echo that arrives before the far end it is paired with (clocks that
// label played blocks late) cannot be cancelled at all: the pairing then moves to the far-end block
// one later, up to kMaxShiftBlocks, each move found by a new estimate.
//
// Three instances. How well AECM converges on speech depends on chance: the exact sample offset
// between far end and echo decides whether it loses 5 to 10 dB for a second or two now and then.
// kInstances AECM instances run side by side on the same microphone, their far ends kSpreadMs
// apart, and each call the output of the one that currently leaves least (smoothed over a few
// calls, and by 1 dB at least, against flapping) is taken; a change of instance is crossfaded over
// the call. Their chance losses seldom coincide. The cost is three times AECM's: some 95 us of the
// capture thread per 10 ms of 16 kHz audio on a desktop, against 32 us for one instance.
#ifndef AUDIO_WEBRTC_AEC_H
#define AUDIO_WEBRTC_AEC_H

#include <memory>
#include <vector>

#include "audio/aec.h"
#include "audio/echo_delay.h"
#include "sonora/frame_wrapper.h"
#include "utils/blocked_queue.h"

namespace sonora {
namespace audio {

const int kWebRtcAECBuddyLevel = 6;

typedef struct _webrtc_aec_body {
  int delay;
  size_t max;
  size_t block;
  int aec_sample_in_bytes;
  int aec_sample_in_short;
  int aec_ms_in_sound_card;
  int aec_start_by_ts;
  int aec_end_by_ts;
  int aec_wait_input_in_ms;
  byte* buffer;
  void* aec;
  FrameWrapper* fwrapper;
  utils::BlockedQueue<Frame>* queue;
} WebRtcAECBody;

class WebRtcAEC : public AEC {
 public:
  explicit WebRtcAEC(const Suit* suit);
  ~WebRtcAEC() override;

  bool is_working() override;
  bool aec(const Frame* input, Frame* output) override;
  bool input(const byte* data, size_t size, const TSSuit* ts) override;
  bool output_for_aec(Frame* frame) override;

  // Instance i, when moved, leads the echo by the sound-card delay and kLeadMs + i x kSpreadMs.
  static constexpr int kLeadMs = 8;
  static constexpr int kSpreadMs = 10;
  static constexpr int kInstances = 3;
  // The lead beyond the sound-card delay that an instance keeps without being moved.
  static constexpr int kMinExcessMs = 0;
  static constexpr int kMaxExcessMs = 150;
  // How far ahead of the far end paired by the clocks an echo is looked for, and how many blocks
  // later the pairing may move to find it behind a far end.
  static constexpr int kEarlyMs = 40;
  static constexpr int kMaxShiftBlocks = 2;

 private:
  struct Instance {
    void* aecm = nullptr;
    int hold_ms = 0;        // how long the far end is held back
    size_t hold = 0;        // the same in samples
    int sound_card_ms = 0;  // the sound-card delay it is told
    double level = 0.0;     // smoothed output energy per call
    bool ok = false;        // its last call worked
    std::vector<int16_t> far;
    std::vector<int16_t> out;
  };
  // Follows the echo path between the far end as matched and the microphone; moves the
  // instances' hold-back when the estimate moves by more than one step.
  void track_path(const int16_t* far, const int16_t* near, size_t n);
  // Writes `n` far-end samples into the delay line.
  void write_line(const int16_t* far, size_t n);
  // Runs one instance on its held-back far end and the microphone.
  void run_instance(Instance* inst, const int16_t* near, size_t n);
  void free_instances();
  // Picks the instance whose output is used and writes it to `out`.
  bool choose_output(int16_t* out, size_t n);

  WebRtcAECBody* body_;
  // A wait for far-end audio found none; cleared when far-end audio is seen again. Used only on
  // the capture processing thread.
  bool far_absent_;
  // Delay line of matched far-end samples and the two instances (the first's AECM is the body's);
  // used only on the capture processing thread.
  std::unique_ptr<EchoDelayEstimator> path_;
  std::vector<int16_t> line_;
  Instance inst_[kInstances];
  int chosen_ = 0;
  int shift_blocks_ = 0;  // blocks later than the clocks' pairing the far end is paired
  // The echo path after the far end as paired, in ms (AecStatus::delay); -1 while unknown.
  int path_ms_ = -1;
  int rate_ = 0;
  size_t line_pos_ = 0;  // where the next sample is written
  uint64_t paired_ = 0;  // samples paired so far: the clock of the estimator
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_WEBRTC_AEC_H
