// The body behind the Sonora facade: owns one player instance's play suit copy, echo canceller and
// playback object, borrows the process-wide recorder, and reports events to the Handler. The
// playback and capture components read its public fields through their parent_ pointer.
#ifndef SONORA_BODY_H
#define SONORA_BODY_H

#include <pthread.h>

#include <atomic>

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

// The sound configuration in progress (true while a call runs; cleared to stop it) and the
// temporary player of gen_sound_config.
extern std::atomic<bool> g_sound_configing;
extern std::atomic<Sonora*> g_player;
// The transmitter's frame callback: hands one frame to g_player, waiting while its backlog is
// full; drops it once a stop was requested or the player can take no more.
void fetching(const void* data, size_t size);

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
  bool use_echo_canceller(EchoCanceller canceller);
  uint64_t capture_dropped();

  void report(Arg1 arg1, Arg2 arg2, void* obj) const;
  // No playback, or an auto-stop playback that has played out: appends will never be taken.
  bool playback_ended();
  // The body behind a facade.
  static Body* of(Sonora* facade);

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
  // Read by the render callback while capture starts and stops on an application thread.
  std::atomic<audio::Recorder*> audio_recorder_;

 private:
  // Callers hold control_mutex_; stop_record_audio_locked also the process's capture mutex.
  bool enable_audio_locked(bool enable);
  bool audio_working_locked();
  bool is_paused_locked();
  bool stop_record_audio_locked();
  static void release_ended_capture();
  // One log line and false when the gain cannot be applied to this instance's captured blocks.
  bool capture_gain_accepted(int gain_type, float gain) const;

  std::atomic<bool> is_audio_recording_;
  [[maybe_unused]] bool is_recording_to_mp4_;
  [[maybe_unused]] bool try_fast_forward_;
  [[maybe_unused]] bool try_take_screenshot_;
  pthread_mutex_t* state_mutex_;
  // Serialises the calls that create, start, stop or destroy playback and capture.
  pthread_mutex_t control_mutex_;
  // Guards audio_player_: every call that uses the playback object holds it for reading, and
  // enable_audio holds it for writing while it makes or destroys that object, so stopping waits
  // for the calls in flight. Writers are preferred, so a busy feeder cannot hold a stop off.
  pthread_rwlock_t player_lock_;
};

}  // namespace sonora

#endif  // SONORA_BODY_H
