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

  // Refused (false, one log line) when working, without a body, play suit or audio suit, or for
  // a suit that cannot be played as asked: sample size other than 8, 16, 24 or 32 bits, a
  // negative buffer_frame_count, a block of 0, longer than one second or not a whole number of
  // sample frames. Builds suppressor, pile, queue and pool, then resumes.
  virtual bool start(const Body* player);
  // Ends a mute delay in progress, pauses, stops working, destroys pile (a partial block is
  // dropped), pool and suppressor.
  virtual bool stop();
  // Base pause: sets paused and drops everything queued.
  virtual bool pause();
  // Base resume: drops everything queued, restarts the clock record, clears paused.
  virtual bool resume();
  // The platform has ended the stream (the system stopped it, or it failed for good): the player
  // stops working at once, so appends are refused and a mute delay ends; stop() still releases
  // what it holds. Safe from the platform's callback threads: it never blocks for long.
  void end_by_platform();
  // end_by_platform() ran since the last start.
  bool ended_by_platform() const { return ended_.load(); }
  // Refuses NaN and infinity (false, the previous gain stays).
  virtual bool set_volume(float gain);
  float get_volume();

  // Queues `size` bytes; true when the chunk went into the pile and every block it completes is
  // queued. Refused when the renderer has not started, when muted or paused, once an auto-stop
  // playback has begun to stop, with append_jump_shreshold_size frames outstanding, for a coded
  // chunk of the wrong length, and for a chunk that needs more blocks than the pool has free.
  // Concurrent appends are serialised: the check and the taking of pool slots are one step.
  bool append(const byte* data, size_t size, const TSSuit* ts);
  // Turns a partial block into a short frame.
  void flush();
  // Mutes, drops what is queued, waits `ms` on the calling thread (or until stop() or
  // cancel_waits()), unmutes.
  void mute_delay(size_t ms);
  // Ends a mute delay in progress at once and makes later ones return at once, until the next
  // start. Safe from any thread while the player exists.
  void cancel_waits();
  // Frames queued for the renderer.
  size_t left();
  // Drops every queued frame and returns every frame to the pool. Safe against a render callback
  // that holds a frame: the two exclude each other.
  void clean();

  bool is_working();
  bool is_paused();
  bool is_mute();
  // An auto-stop playback has run dry after playing: it plays nothing more.
  bool is_stopping() const { return is_stopping_.load(); }
  Mute mute_value() const { return mute_value_; }

  // The audio suit of the body, or null before the renderer has started.
  const Suit* suit() const;
  // Frames handed out by the pool (queued or being played); 0 without a pool.
  size_t outstanding();

  // Blocks through this player since it was made, for soak runs and diagnostics; any thread.
  // Once nothing is in flight, queued = played + skipped + cleared + left().
  struct Counters {
    std::atomic<uint64_t> queued{0};     // appended blocks that went into the queue
    std::atomic<uint64_t> played{0};     // blocks copied into a renderer request
    std::atomic<uint64_t> skipped{0};    // blocks the renderer dropped to catch up a backlog
    std::atomic<uint64_t> cleared{0};    // blocks dropped by clean, pause, a mute delay or stop
    std::atomic<uint64_t> underruns{0};  // requests answered with silence while playing
  };
  const Counters& counters() const { return counters_; }

 protected:
  bool set_work(bool working);
  bool set_pause(bool paused);
  bool set_mute(bool mute);
  // Reads or writes one of the flags under mutex_ (false, nothing written, without a mutex).
  bool read_flag(const bool* flag);
  bool write_flag(bool* flag, bool value);

  // Render side of one request of any length, called by the platform binding's write-data
  // callback with the player's body set. Runs on the renderer's thread: never allocates, logs or
  // sleeps. See player.cc for its steps.
  int32_t render(void* buffer, int32_t length);

  friend byte* pile_play(const byte* data, size_t capacity, void* user, const void* additional);

  Mute mute_value_;
  TSSuit* ts_;
  std::atomic<Body*> parent_;
  FrameWrapper* fwrapper_;
  utils::BlockedQueue<Frame>* queue_;
  // Written by the render callback, read by appending threads.
  std::atomic<bool> is_stopping_;
  std::atomic<bool> ended_;
  int buffer_left_to_wait_;
  FILE* play_file_;
  float gain_;
  bool is_mute_;
  bool is_paused_;
  bool is_working_;
  pthread_mutex_t* mutex_;
  NS* ns_;
  utils::PileBuffer* pile_;

 private:
  // One renderer request as the render steps see it.
  struct Request {
    byte* buffer;
    size_t bytes;
    Body* body;
    const Suit* suit;
    int silence;
    bool working;
    bool paused;
    float gain;
    uint64_t time_ms;  // wall-clock time of the request: its first byte plays now
  };
  // The steps of render(); each is described where it is defined. None allocates, logs or
  // sleeps; they take render_mutex_, the flag mutex and the canceller's own locks only.
  Request begin_request(void* buffer, int32_t length);
  void fill_silence(const Request& req, size_t from);
  size_t fill_from_queue(const Request& req);
  Frame* take_with_catch_up(const Suit& suit, size_t needed);
  int32_t underrun(const Request& req, size_t filled);
  void count_down_stopping(const Request& req, size_t silent_bytes);
  void account_output(const Request& req);
  void advance_clock(const Suit& suit, uint64_t play_ms);
  void feed_echo_reference(const Request& req, const byte* data, size_t n);

  // Excludes the render callback's take-copy-release step from clean() and from the release of
  // the pool at stop, so that a frame the callback holds stays valid and is never released into a
  // slot that a reset already handed to a new frame. pile_play queues under it too, so that the
  // callback's view of the queue length is exact and its polls never wait.
  pthread_mutex_t* render_mutex_;
  // Serialises appends and flushes: the backlog check and the pile's taking of pool slots must
  // not interleave between two appending threads.
  pthread_mutex_t* append_mutex_;
  // Bumped by every clean(); a block built across a clean() is dropped, not queued.
  uint64_t clean_epoch_;
  Counters counters_;
  bool auto_stop_reported_;
  // A frame has been played since start: only then may an empty queue begin an auto-stop.
  bool played_since_start_;
  // Mute delays wait on wait_cond_ until their deadline or until waits_cancelled_ is set.
  pthread_mutex_t* wait_mutex_;
  pthread_cond_t* wait_cond_;
  bool waits_cancelled_;
  // Render thread only (and clean()/stop() under render_mutex_ for current_): the block being
  // played and how much of it has gone into requests.
  Frame* current_;
  size_t current_offset_;
  // Auto-stop countdown: silence played since stopping began, and the blocks counted for it.
  uint64_t stopping_silence_;
  uint64_t stopping_blocks_;
  // The block of the output stream being gathered (what was played, audio or silence), its
  // length so far and the time its first byte was played. Made by start.
  byte* staging_;
  size_t staged_;
  uint64_t staged_time_ms_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_PLAYER_H
