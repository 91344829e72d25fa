// Echo canceller on WebRTC's full-band echo canceller (the audio-processing module's canceller
// with its extended filter and its own delay estimation), chosen per instance instead of the
// mobile canceller. Works for 16-bit mono suits that enable echo cancellation, at 8000, 16000,
// 32000 or 48000 Hz, whose block is a whole number of 10 ms; otherwise it is inert. Builds without
// WebRTC's audio-processing module (the device's) have no full-band canceller: make() returns
// null there.
//
// Threads: the render thread only queues played blocks with their play time (input, never
// waits). Everything else runs on the capture processing thread: each captured block is cut into
// 10 ms chunks, and before each chunk the module is given every far-end chunk played up to that
// chunk's capture time. Far end and microphone thus reach the module in the order they happened,
// and the stream delay it is told is the engine's own measure: the chunk's capture time minus the
// play time of the newest far-end chunk given. No captured block waits for far-end audio; far-end
// audio more than kStaleFarMs older than the microphone is dropped (counted as far_too_old).
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
