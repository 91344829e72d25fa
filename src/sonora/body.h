// The body behind the Sonora facade: owns one player instance's play suit copy, echo canceller and
// playback object, borrows the process-wide recorder, and reports events to the Handler. The
// playback and capture components read its public fields through their parent_ pointer.
#ifndef SONORA_BODY_H
#define SONORA_BODY_H

#include <pthread.h>

#include "sonora/handler.h"
#include "sonora/play_suit.h"
#include "sonora/types.h"

namespace sonora {

class Sonora;

namespace audio {
class AEC;
class Player;
class Recorder;
}  // namespace audio

using utils::Handler;

extern const char* const kSonoraVersion;

class Body {
 public:
  Body(Sonora* parent, const PlaySuit* suit, Handler* handler);
  ~Body();

  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;

  static const char* version();
  static bool init(const char* debug_path);
  static bool deinit();
  static void gen_sound_config(const char* config, int times);
  static void gen_sound_config2(const char* data, int times);
  static void stop_sound_config();

  bool enable_audio(bool enable);
  bool audio_working();
  size_t audio_left();
  bool append_audio_data(const byte* data, size_t size, const TSSuit* ts);
  bool pause();
  bool resume();
  void flush();
  bool is_paused();
  bool add_mute_delay_blocked(unsigned int ms);
  void clean_buffer();
  bool adjust_track_volume(float gain);

  bool start_record_audio(fetch_cb callback, int audioRecordSource);
  bool stop_record_audio();
  bool adjust_capture_volume(float gain);
  bool adjust_capture_volume_type(int gain_type);
  const audio::AecStatus* get_aec_status();

  void report(Arg1 arg1, Arg2 arg2, void* obj) const;

  bool enable_video(bool enable);
  bool video_working();
  size_t video_left();
  bool append_video_data(const byte* data, size_t size, FrameType type, const TSSuit* ts);
  bool start_record_to_mp4(const char* path);
  bool stop_record_to_mp4();
  bool try_fast_forward();
  bool request_pure_color(const video::Color* color);
  bool screenshot(const char* path, bool thumb);

  Sonora* parent_;
  PlaySuit* suit_;
  Handler* handler_;
  audio::AEC* aec_;
  audio::Player* audio_player_;
  audio::Recorder* audio_recorder_;

 private:
  bool is_audio_recording_;
  bool is_recording_to_mp4_;
  bool try_fast_forward_;
  bool try_take_screenshot_;
  pthread_mutex_t* state_mutex_;
};

}  // namespace sonora

#endif  // SONORA_BODY_H
