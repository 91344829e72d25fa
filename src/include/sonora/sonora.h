// The sonora audio engine: one class per player instance.
//
//   sonora::audio::Suit audio = {};            // 16-bit mono 16 kHz, 20 ms blocks
//   audio.type = sonora::audio::kTypeRawPCM;
//   audio.sample_rate = 16000; audio.channel_per_frame = 1; audio.bit_per_channel = 16;
//   audio.block = 640;
//   sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
//   sonora::Sonora player(&suit, &my_handler);   // my_handler derives from utils::Handler
//   player.enable_audio(true);                   // the handler receives kArg1AudioPlayerStart
//   player.append_audio_data(pcm, bytes, nullptr);
//
// Appends are accepted (true) or refused (false), never silently dropped: keep the backlog
// (audio_left()) small, the renderer thins it when it grows past twice buffer_frame_count.
#ifndef SONORA_SONORA_H
#define SONORA_SONORA_H

#include <cstddef>

#include "handler.h"
#include "play_suit.h"
#include "types.h"

namespace sonora {

class Body;

class Sonora {
 public:
  static const char* version();
  // Process set-up: creates the audio factory (keeping `debug_path`); call once.
  static bool init(const char* debug_path);
  // Process tear-down, after every player instance is gone. Always true.
  static bool deinit();
  static void gen_sound_config(const char* config, int times);
  static void gen_sound_config2(const char* data, int times);
  static void stop_sound_config();

  // Copies `suit`; `handler` (may be null) must outlive the player instance.
  Sonora(const PlaySuit* suit, utils::Handler* handler);
  virtual ~Sonora();

  Sonora(const Sonora&) = delete;
  Sonora& operator=(const Sonora&) = delete;

  // true starts playback (the outcome also reaches the handler); false stops it.
  bool enable_audio(bool enable);
  bool audio_working();
  // Frames queued for playback.
  size_t audio_left();
  bool append_audio_data(const byte* data, size_t size, const TSSuit* ts);
  bool pause();
  bool resume();
  void flush();
  // Drops what is queued and refuses appends for `ms` milliseconds; blocks that long.
  bool add_mute_delay_blocked(unsigned int ms);
  void clean_buffer();
  // Track gain applied to 16-bit PCM as it is played (saturating).
  bool adjust_track_volume(float gain);

  bool start_record_audio(fetch_cb callback, int audioRecordSource);
  bool stop_record_audio();
  bool adjust_capture_volume(float gain);
  bool adjust_capture_volume_type(int gain_type);
  const audio::AecStatus* get_aec_status();

  // Video, recording to file, screenshots and pure colour are not supported: they do nothing.
  bool enable_video(bool enable);
  bool video_working();
  size_t video_left();
  bool append_video_data(const byte* data, size_t size, FrameType type, const TSSuit* ts);
  bool start_record_to_mp4(const char* path);
  bool stop_record_to_mp4();
  bool try_fast_forward();
  bool request_pure_color(const video::Color* color);
  bool screenshot(const char* path, bool thumb);

 private:
  Body* body_;
};

}  // namespace sonora

#endif  // SONORA_SONORA_H
