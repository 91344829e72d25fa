// Synthetic speech for the demos: espeak-ng (Debian package espeak-ng) speaks a text, and the
// speexdsp resampler brings it to the rate the engine runs at.
#ifndef TOOLS_SPEECH_H
#define TOOLS_SPEECH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wav.h"

namespace tool {

// Speaks `text` with espeak-ng's `voice` (e.g. "en", "en-us+f3") at `words_per_minute`, into
// mono 16-bit PCM at `rate` Hz. false with the reason in *error, which says how to install
// espeak-ng when it is missing.
bool speak(const std::string& voice, int words_per_minute, const std::string& text, int rate,
           Pcm* pcm, std::string* error);

// `speech` repeated, `pause` samples of silence after each time, until it fills `samples`; cut
// there.
std::vector<int16_t> repeat_speech(const std::vector<int16_t>& speech, size_t samples,
                                   size_t pause);

// Converts mono or interleaved `in` to `rate` Hz (speexdsp, quality 8), keeping its length in
// time. false with the reason in *error.
bool resample(const Pcm& in, int rate, Pcm* out, std::string* error);

}  // namespace tool

#endif  // TOOLS_SPEECH_H
