// Platform-neutral half of capture: for one capture run it owns the pile buffer that cuts the
// microphone byte stream into blocks of the suit's size, the frame pool holding those blocks, the
// queue that hands them to the processing thread, and the noise suppressor. It also owns the
// capture timestamp record and the two gain settings applied to every block.
//
// Threads: start, stop and the volume setters run on application threads (the body serialises
// start and stop); pile_rec runs on the platform capture thread; the processing thread of the
// platform binding reads the queue, the pool, the gains, the callback and the suppressor; the
// render thread reads is_working.
#ifndef AUDIO_RECORDER_H
#define AUDIO_RECORDER_H

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

const int kRecordBuddyLevel = 6;

// Pile callback: stamps one completed block and queues it (runs on the capture thread).
byte* pile_rec(const byte* data, size_t capacity, void* user, const void* additional);

class Recorder {
 public:
  Recorder();
  virtual ~Recorder();

  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Prepares a run delivering processed blocks to `cb`: refused (false) while a run is active or
  // without a body, play suit or audio suit, or for a suit whose block cannot be captured.
  // Releases what an earlier run left, builds suppressor, pile, queue and pool, restarts the
  // timestamp counters. `audioRecordSource` is not used.
  virtual bool start(const Body* player, fetch_cb cb, int audioRecordSource);
  // Ends a run: not working, queue emptied and its consumer woken. false when no run was active.
  // The pool is reset by the platform binding once its processing thread has put its frame down.
  virtual bool stop();

  bool is_working();
  // The platform has ended the run (the system stopped the capturer, or it failed for good): not
  // working, queue emptied and its consumer woken, so the processing thread leaves its loop; the
  // run's capturer, thread, pile and pool are released by the next stop() (or start()). Safe from
  // the platform's callback threads: it never blocks for long.
  void end_by_platform();
  // end_by_platform() ended the current run, and stop() has not released it yet.
  bool ended_by_platform() const { return ended_.load(); }
  // The calling thread is this run's processing thread (it is inside fetch_cb).
  virtual bool on_processing_thread() { return false; }
  // The calling thread is inside an application's fetch_cb (of any run).
  static bool in_fetch_callback();
  // Gain and gain type for the gain chain; they apply from the next processed block and keep
  // their values across runs.
  void set_volume(float gain);
  void set_volume_type(int gain_type);
  float volume() const { return gain_.load(); }
  int volume_type() const { return gain_type_.load(); }

  // Blocks through this recorder since it was made, over all runs, for soak runs and
  // diagnostics; any thread. Between runs, captured = delivered + dropped_at_stop.
  struct Counters {
    std::atomic<uint64_t> captured{0};         // blocks cut from the microphone and queued
    std::atomic<uint64_t> delivered{0};        // blocks processed (and handed to fetch_cb)
    std::atomic<uint64_t> dropped_full{0};     // blocks dropped because the pool was full
    std::atomic<uint64_t> dropped_at_stop{0};  // queued blocks a stop dropped
  };
  const Counters& counters() const { return counters_; }
  // Blocks of the current (or last) run lost because the pool was full: the application's
  // fetch_cb fell behind. Any thread.
  uint64_t dropped_in_run() const { return dropped_in_run_.load(); }

  // The platform's capture thread is about to append `bytes` just captured (the callback's
  // buffer ends now): the blocks they complete are stamped with the time their last byte was
  // captured, so that blocks completed by one callback get their own times.
  void note_delivery(size_t bytes);

 protected:
  bool set_work(bool working);
  // Hands one processed block to the application's fetch_cb, marking the thread as inside it.
  void deliver(const byte* data, size_t size, uint64_t ts);

  friend byte* pile_rec(const byte* data, size_t capacity, void* user, const void* additional);

  Counters counters_;
  fetch_cb cb_;
  NS* ns_;
  TSSuit* ts_;
  const Body* parent_;
  FrameWrapper* fwrapper_;
  FILE* rec_file_;
  FILE* aec_file_;
  FILE* agc_file_;
  utils::PileBuffer* pile_;
  utils::BlockedQueue<Frame>* queue_;
  std::atomic<int> gain_type_;
  std::atomic<float> gain_;
  bool is_working_;
  pthread_mutex_t* mutex_;
  std::atomic<bool> ended_;
  // Capture thread only: bytes delivered in this run, the time the last delivery ended, and the
  // run's bytes per second.
  std::atomic<uint64_t> dropped_in_run_;
  // Capture thread only: blocks are being lost (reported once until one is queued again).
  bool overflowing_;
  uint64_t delivered_bytes_;
  uint64_t delivery_end_ms_;
  uint64_t bytes_per_second_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_RECORDER_H
