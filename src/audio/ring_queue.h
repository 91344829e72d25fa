// A fixed ring of pre-allocated audio frames of one block each, born full of silence, with a
// thread of its own that hands every frame taken out of the ring to a callback. Frames enter by
// being copied into the ring's own frames; every ring frame is exactly one block long.
//
// Threads: enqueue, dequeue, head, left, clean and full_fill may be called from any threads;
// each holds the ring's mutex for its whole run, payload copy included. The callback runs on the
// ring's thread, one frame at a time, in dequeue order, concurrently with further ring calls. A
// dequeued frame is the ring's own: its slot is free at once, so the consumer must be done with
// it before an enqueue can reach that slot again.
#ifndef AUDIO_RING_QUEUE_H
#define AUDIO_RING_QUEUE_H

#include <pthread.h>

#include "sonora/types.h"
#include "utils/blocked_queue.h"

namespace sonora {
namespace audio {

class RingQueue;

typedef void (*ring_cb)(void* user, RingQueue* queue, Frame* frame);

// Body of the ring's thread.
void* ring_dequeued(void* handle);

class RingQueue {
 public:
  // A capacity below 2, a null suit or callback, or a suit whose block is 0 give an inert ring
  // (logged): no frames, no thread; every call refuses or does nothing.
  RingQueue(int capacity, Mute mute_value, const Suit* suit, ring_cb cb, void* user);
  virtual ~RingQueue();

  RingQueue(const RingQueue&) = delete;
  RingQueue& operator=(const RingQueue&) = delete;

  // Filled frames.
  int left();
  // The oldest filled frame, or null when empty.
  const Frame* head();
  // Removes the oldest filled frame, hands it to the ring's thread and returns it; null when
  // empty.
  const Frame* dequeue();
  // Copies `frame` (payload and timestamp record) into the next free ring frame; false when the
  // ring is full or the frame is not exactly one block.
  bool enqueue(const Frame* frame);
  // Makes the ring full of zero-filled frames.
  void full_fill();
  // Empties the ring; removed frames do not reach the callback.
  void clean();

 private:
  friend void* ring_dequeued(void* handle);

  void* user_;
  ring_cb cb_;
  Frame** pframes_;
  size_t frame_size_;
  utils::BlockedQueue<Frame>* queue_;
  int head_;
  int tail_;
  int offset_;
  int capacity_;
  pthread_mutex_t* mutex_;
  pthread_t pid_;
  byte* payload_;
  byte* records_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_RING_QUEUE_H
