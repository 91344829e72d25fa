// Platform-neutral half of playback: checks appended audio, cuts it into blocks of the suit's
// size, wraps each block in a frame of its own pool, denoises it when asked and queues it for the
// renderer. Also owns the play flags, the playback clock record, the auto-stop countdown and the
// track gain. The renderer binding (OhosPlayer) takes frames from the queue in its callback.
#ifndef AUDIO_PLAYER_H
#define AUDIO_PLAYER_H

#include <pthread.h>

#include <atomic>
#include <cstdio>

#include "audio/ns.h"
#include "sonora/frame_wrapper.h"
#include "sonora/types.h"
#include "utils/blocked_queue.h"
#include "utils/pile_buffer.h"

namespace sonora {

class Body;

namespace audio {

const int kPlayerBuddyLevel = 6;

class Player;

// Pile callback: turns one block into a queued frame (runs on the appending thread).
byte* pile_play(const byte* data, size_t capacity, void* user, const void* additional);

class Player {
 public:
  Player();
  virtual ~Player();

  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Refused when working, without a body, play suit or audio suit, or when the suit's block is
  // unusable. Builds suppressor, pile, queue and pool, then resumes.
  virtual bool start(const Body* player);
  // Pauses, stops working, destroys pile (a partial block is dropped), pool and suppressor.
  virtual bool stop();
  // Base pause: sets paused and drops everything queued.
  virtual bool pause();
  // Base resume: drops everything queued, restarts the clock record, clears paused.
  virtual bool resume();
  virtual bool set_volume(float gain);
  float get_volume();

  // Queues `size` bytes; true when the chunk went into the pile. Refused when the renderer has not
  // started, when muted or paused, with append_jump_shreshold_size frames outstanding, for a coded
  // chunk of the wrong length, and for a chunk that needs more blocks than the pool has free.
  bool append(const byte* data, size_t size, const TSSuit* ts);
  // Turns a partial block into a short frame.
  void flush();
  // Mutes, drops what is queued, sleeps `ms` on the calling thread, unmutes.
  void mute_delay(size_t ms);
  // Frames queued for the renderer.
  size_t left();
  // Drops every queued frame and returns every frame to the pool. Safe against a render callback
  // that holds a frame: the two exclude each other.
  void clean();

  bool is_working();
  bool is_paused();
  bool is_mute();
  Mute mute_value() const { return mute_value_; }

  // The audio suit of the body, or null before the renderer has started.
  const Suit* suit() const;
  // Frames handed out by the pool (queued or being played); 0 without a pool.
  size_t outstanding();

 protected:
  bool set_work(bool working);
  bool set_pause(bool paused);
  bool set_mute(bool mute);
  // Reads or writes one of the flags under mutex_ (false, nothing written, without a mutex).
  bool read_flag(const bool* flag);
  bool write_flag(bool* flag, bool value);

  // Render side of one request, called by the platform binding's write-data callback with the
  // player's body set: takes one frame (thinning a backlog), scales it by the track gain, feeds the
  // echo canceller, copies it into `buffer` and fills the rest of the request with silence.
  int32_t render(void* buffer, int32_t length);

  friend byte* pile_play(const byte* data, size_t capacity, void* user, const void* additional);

  Mute mute_value_;
  TSSuit* ts_;
  std::atomic<Body*> parent_;
  FrameWrapper* fwrapper_;
  utils::BlockedQueue<Frame>* queue_;
  bool is_stopping_;
  int buffer_left_to_wait_;
  FILE* play_file_;
  float gain_;
  bool is_mute_;
  bool is_paused_;
  bool is_working_;
  pthread_mutex_t* mutex_;
  NS* ns_;
  utils::PileBuffer* pile_;

  // Excludes the render callback's take-copy-release step from clean() and from the release of
  // the pool at stop, so that a frame the callback holds stays valid and is never released into a
  // slot that a reset already handed to a new frame. pile_play queues under it too, so that the
  // callback's view of the queue length is exact and its polls never wait.
  pthread_mutex_t* render_mutex_;
  // Bumped by every clean(); a block built across a clean() is dropped, not queued.
  uint64_t clean_epoch_;
  bool auto_stop_reported_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_PLAYER_H
