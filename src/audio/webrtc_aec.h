// Echo canceller on WebRTC's mobile echo canceller (AECM). Works for 16-bit mono suits that
// enable echo cancellation, whose block is a whole number of AECM calls, at the rates AECM
// accepts (8000 and 16000 Hz); otherwise it is inert.
//
// The render thread only copies played blocks into a far-end queue (input). The capture thread
// (output_for_aec) looks for the far-end block whose lead over the captured block lies in
// [aec_start_by_ts, aec_end_by_ts) milliseconds: older ones are dropped, a later one waits for a
// later captured block. All AECM calls happen on the capture thread.
#ifndef AUDIO_WEBRTC_AEC_H
#define AUDIO_WEBRTC_AEC_H

#include "audio/aec.h"
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

 private:
  WebRtcAECBody* body_;
  // A wait for far-end audio found none; cleared when far-end audio is seen again. Used only on
  // the capture processing thread.
  bool far_absent_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_WEBRTC_AEC_H
