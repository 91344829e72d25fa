#include "audio/ring_queue.h"

#include <cerrno>
#include <cstring>

#include "utils/commons.h"
#include "utils/log.h"
#include "utils/thread_start.h"

namespace sonora {
namespace audio {

RingQueue::RingQueue(int capacity, Mute mute_value, const Suit* suit, ring_cb cb, void* user)
    : user_(user),
      cb_(cb),
      pframes_(nullptr),
      frame_size_(0),
      queue_(nullptr),
      head_(0),
      tail_(0),
      offset_(0),
      capacity_(capacity),
      mutex_(nullptr),
      pid_(),
      payload_(nullptr),
      records_(nullptr) {
  // A block of 0 would give frames that nothing can be copied into; refused like the others.
  if (capacity < 2 || suit == nullptr || cb == nullptr || suit->block == 0) {
    SLOG("Error: RQ open sem failed: %d!\n", errno);
    cb_ = nullptr;
    capacity_ = 0;
    return;
  }
  mutex_ = new pthread_mutex_t;
  pthread_mutex_init(mutex_, nullptr);
  frame_size_ = suit->block;
  const size_t n = static_cast<size_t>(capacity_);
  payload_ = new byte[n * frame_size_];
  std::memset(payload_, static_cast<int>(mute_value) & 0xff, n * frame_size_);
  records_ = new byte[n * kFrameTSPageSize]();
  pframes_ = new Frame*[n];
  for (size_t i = 0; i < n; ++i) {
    Frame* frame = reinterpret_cast<Frame*>(records_ + i * kFrameTSPageSize);
    frame->ts = reinterpret_cast<TSSuit*>(records_ + i * kFrameTSPageSize + kFramePageSize);
    frame->data = payload_ + i * frame_size_;
    frame->size = frame_size_;
    frame->offset = -1;
    frame->type = kFTypeA;
    pframes_[i] = frame;
  }
  offset_ = capacity_;
  queue_ = new utils::BlockedQueue<Frame>(delete_nothing);
  if (utils::start_thread(&pid_, ring_dequeued, this) != 0) {
    pid_ = pthread_t();
    SLOG("Error: RQ internal error\n");
  }
}

RingQueue::~RingQueue() {
  if (mutex_ != nullptr) pthread_mutex_lock(mutex_);
  cb_ = nullptr;
  user_ = nullptr;
  if (mutex_ != nullptr) pthread_mutex_unlock(mutex_);
  if (pid_ != pthread_t()) {
    queue_->fin();
    pthread_join(pid_, nullptr);
    pid_ = pthread_t();
  }
  delete queue_;
  queue_ = nullptr;
  if (mutex_ != nullptr) {
    pthread_mutex_destroy(mutex_);
    delete mutex_;
    mutex_ = nullptr;
  }
  delete[] payload_;
  delete[] records_;
  delete[] pframes_;
  pframes_ = nullptr;
}

int RingQueue::left() {
  if (mutex_ == nullptr) return 0;
  pthread_mutex_lock(mutex_);
  int n = offset_;
  pthread_mutex_unlock(mutex_);
  return n;
}

const Frame* RingQueue::head() {
  if (mutex_ == nullptr) return nullptr;
  pthread_mutex_lock(mutex_);
  const Frame* frame = offset_ > 0 ? pframes_[head_] : nullptr;
  pthread_mutex_unlock(mutex_);
  return frame;
}

const Frame* RingQueue::dequeue() {
  if (pframes_ == nullptr || mutex_ == nullptr) return nullptr;
  pthread_mutex_lock(mutex_);
  Frame* frame = nullptr;
  if (cb_ != nullptr && offset_ > 0) {
    frame = pframes_[head_];
    head_ = (head_ + 1) % capacity_;
    --offset_;
    queue_->offer(frame);
  }
  pthread_mutex_unlock(mutex_);
  return frame;
}

bool RingQueue::enqueue(const Frame* frame) {
  if (pframes_ == nullptr || mutex_ == nullptr || frame == nullptr) return false;
  pthread_mutex_lock(mutex_);
  bool ok = false;
  if (cb_ != nullptr && offset_ < capacity_ &&
      update_frame(pframes_[tail_], kFTypeA, frame->data, frame->size, frame->ts)) {
    tail_ = (tail_ + 1) % capacity_;
    ++offset_;
    ok = true;
  }
  pthread_mutex_unlock(mutex_);
  return ok;
}

void RingQueue::full_fill() {
  if (pframes_ == nullptr || mutex_ == nullptr) return;
  pthread_mutex_lock(mutex_);
  std::memset(payload_, 0, static_cast<size_t>(capacity_) * frame_size_);
  head_ = 0;
  tail_ = 0;
  offset_ = capacity_;
  pthread_mutex_unlock(mutex_);
}

void RingQueue::clean() {
  if (pframes_ == nullptr || mutex_ == nullptr) return;
  pthread_mutex_lock(mutex_);
  while (offset_ > 0) {
    head_ = (head_ + 1) % capacity_;
    --offset_;
  }
  pthread_mutex_unlock(mutex_);
}

void* ring_dequeued(void* handle) {
  RingQueue* ring = static_cast<RingQueue*>(handle);
  for (;;) {
    Frame* frame = ring->queue_->poll();
    if (frame == nullptr) break;
    // The callback and its user are read under the mutex, so a destructor that has cleared them
    // is never followed by a call.
    pthread_mutex_lock(ring->mutex_);
    ring_cb cb = ring->cb_;
    void* user = ring->user_;
    pthread_mutex_unlock(ring->mutex_);
    if (cb != nullptr) cb(user, ring, frame);
  }
  return nullptr;
}

}  // namespace audio
}  // namespace sonora
