// Echo canceller on WebRTC's full-band echo canceller (the audio-processing module's canceller
// with its extended filter), chosen per instance instead of the mobile canceller. Works for
// 16-bit mono suits that enable echo cancellation, at 8000, 16000, 32000 or 48000 Hz, whose block
// is a whole number of 10 ms; otherwise it is inert. Builds without WebRTC's audio-processing
// module (the device's) have no full-band canceller: make() returns null there.
//
// Threads: the render thread only queues played blocks with their play time (input, never
// waits). Everything else runs on the capture processing thread. Each captured block is cut into
// 10 ms chunks; before each chunk, the far-end chunks played up to its capture time move from the
// queue to a delay line, and the echo path's delay is estimated from them and the microphone
// (EchoDelayEstimator, on the engine's own timestamps). The module gets one far-end chunk per
// 10 ms of microphone, held back by the estimated delay less a margin (silence where nothing was
// played), so that it pairs each microphone chunk with the far end whose echo it holds. No
// captured block waits for far-end audio; far-end audio more than kStaleFarMs older than the
// microphone is dropped (counted as far_too_old). The estimate is published in AecStatus::delay.
#ifndef AUDIO_FULL_BAND_AEC_H
#define AUDIO_FULL_BAND_AEC_H

#include "audio/aec.h"

namespace sonora {
namespace audio {

class FullBandAEC {
 public:
  // Far-end audio older than this, against the captured chunk being cancelled, is dropped.
  static constexpr int kStaleFarMs = 500;

  // A new full-band canceller for `suit` (inert when the suit does not suit it); null in builds
  // without the module.
  static AEC* make(const Suit* suit);
  // Whether this build has the full-band canceller.
  static bool available();
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_FULL_BAND_AEC_H
