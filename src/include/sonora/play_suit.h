// Play configuration: window, play type and owned, normalised copies of the audio and video suits.
#ifndef SONORA_PLAY_SUIT_H
#define SONORA_PLAY_SUIT_H

#include "types.h"

namespace sonora {

class PlaySuit {
 public:
  PlaySuit(int window, PlayType type, const audio::Suit* audio, const video::Suit* video);
  virtual ~PlaySuit();

  PlaySuit() = delete;
  PlaySuit(const PlaySuit&) = delete;
  PlaySuit& operator=(const PlaySuit&) = delete;

  int window() const { return window_; }
  PlayType type() const { return type_; }
  const audio::Suit* audio() const { return audio_; }
  const video::Suit* video() const { return video_; }

  void set_window(int window) { window_ = window; }
  void set_type(PlayType type) { type_ = type; }

  // Stores a normalised copy of `audio` (null releases the copy). The processing fields are forced
  // to the engine's values; max_cached_frames and delayed_per_block are derived from rate, width
  // and block. A block of 0, or larger than one second of audio, cannot be divided into: the suit
  // is stored with both derived fields 0, and every component that needs a block refuses it.
  void set_audio(const audio::Suit* audio);
  // Stores a copy of `video` with its own copy of the path (null or empty path gives null).
  void set_video(const video::Suit* video);

 private:
  int32_t window_;
  PlayType type_;
  audio::Suit* audio_;
  video::Suit* video_;
};

// True when the suit describes blocks that the playback and capture paths can work with: a
// positive block no longer than one second of audio (so the derived fields are valid), a positive
// rate and channel count and a known sample width.
bool suit_has_valid_block(const audio::Suit* suit);
// Why a stream of this suit cannot be played or captured as asked, or null when it can: sample
// size other than 8, 16, 24 or 32 bits, no channels, no rate, a negative buffer_frame_count, a
// block of 0, longer than one second or not a whole number of sample frames. Rates and channel
// counts are further checked by the platform stream builder.
const char* suit_stream_refusal(const audio::Suit* suit);

}  // namespace sonora

#endif  // SONORA_PLAY_SUIT_H
