#include "sonora/play_suit.h"

#include <climits>

#include "utils/commons.h"

namespace sonora {

PlaySuit::PlaySuit(int window, PlayType type, const audio::Suit* audio, const video::Suit* video)
    : window_(window), type_(type), audio_(nullptr), video_(nullptr) {
  set_audio(audio);
  set_video(video);
}

PlaySuit::~PlaySuit() {
  set_audio(nullptr);
  set_video(nullptr);
}

void PlaySuit::set_audio(const audio::Suit* audio) {
  if (audio == nullptr) {
    delete audio_;
    audio_ = nullptr;
    return;
  }
  if (audio_ == nullptr) audio_ = new audio::Suit();
  if (audio_ != audio) *audio_ = *audio;

  audio_->enable_agc = false;
  audio_->enable_vad = false;
  audio_->ns_value = 1;
  audio_->aec_value = 3;
  audio_->aec_value_active = 25;
  audio_->aec_sample_in_bytes = 160;
  audio_->aec_ms_in_sound_card = 40;
  audio_->aec_start_by_ts = 5;
  audio_->aec_end_by_ts = 45;
  audio_->aec_wait_input_in_ms = 80;
  if (audio_->buffer_frame_count == 0) audio_->buffer_frame_count = 3;
  audio_->max_cache_delay_in_second = 1;
  audio_->append_jump_shreshold_size = 50;

  // Blocks per second of audio (all channels), and milliseconds per block. Computed in 64 bits so
  // that no suit, however odd, overflows; for every suit whose second of audio fits 32 bits the
  // result is the same as in 32-bit arithmetic. A block of 0, or one longer than a second of audio,
  // has no valid answer: both fields stay 0 and the components that need a block refuse the suit.
  int64_t bytes_per_second = static_cast<int64_t>(audio_->max_cache_delay_in_second) *
                             audio_->sample_rate * audio_->bit_per_channel / 8 *
                             (audio_->channel_per_frame > 0 ? audio_->channel_per_frame : 1);
  audio_->max_cached_frames = 0;
  audio_->delayed_per_block = 0;
  if (audio_->block > 0 && bytes_per_second > 0 && bytes_per_second <= INT32_MAX &&
      audio_->block <= static_cast<uint64_t>(bytes_per_second)) {
    audio_->max_cached_frames =
        static_cast<int32_t>(static_cast<uint64_t>(bytes_per_second) / audio_->block);
    audio_->delayed_per_block = 1000 / audio_->max_cached_frames;
  }
}

void PlaySuit::set_video(const video::Suit* video) {
  if (video != nullptr && video == video_) return;  // already ours
  if (video_ != nullptr) {
    delete[] video_->local_video_path;
    video_->local_video_path = nullptr;
    if (video == nullptr) {
      delete video_;
      video_ = nullptr;
    }
  }
  if (video == nullptr) return;
  if (video_ == nullptr) video_ = new video::Suit();
  video_->type = video->type;
  video_->width = video->width;
  video_->height = video->height;
  video_->fps = video->fps;
  video_->local_video_path = cat(video->local_video_path, nullptr);
}

bool suit_has_valid_block(const audio::Suit* suit) {
  return suit != nullptr && suit->block > 0 && suit->max_cached_frames > 0 &&
         suit->sample_rate > 0 && suit->channel_per_frame > 0 && suit->bit_per_channel > 0;
}

const char* suit_stream_refusal(const audio::Suit* suit) {
  if (suit == nullptr) return "no audio suit";
  if (suit->bit_per_channel != 8 && suit->bit_per_channel != 16 && suit->bit_per_channel != 24 &&
      suit->bit_per_channel != 32) {
    return "sample size not supported (8, 16, 24 or 32 bits)";
  }
  if (suit->channel_per_frame <= 0) return "channel count must be positive";
  if (suit->sample_rate <= 0) return "sample rate must be positive";
  if (suit->buffer_frame_count < 0) return "negative buffer_frame_count";
  if (!suit_has_valid_block(suit)) return "block is 0 or longer than one second of audio";
  const size_t frame_bytes =
      static_cast<size_t>(suit->channel_per_frame) * static_cast<size_t>(suit->bit_per_channel / 8);
  if (suit->block % frame_bytes != 0) return "block is not a whole number of sample frames";
  return nullptr;
}

}  // namespace sonora
