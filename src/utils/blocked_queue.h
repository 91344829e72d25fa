// First-in, first-out hand-over of pointers between threads. Producers never wait; a consumer
// either waits in poll() for a wake-up or looks first with left()/head(). The queue never owns its
// elements: what it discards (clean(), destructor) goes to the clean callback.
//
// The semaphore counts wake-ups, not elements: offer adds one with its element, fin adds one
// without, poll consumes one, clean removes elements but leaves their wake-ups. A null result of
// poll therefore means "woken without an element" and consumers treat it as the order to stop.
#ifndef UTILS_BLOCKED_QUEUE_H
#define UTILS_BLOCKED_QUEUE_H

#include <pthread.h>
#include <semaphore.h>

#include <cerrno>
#include <cstddef>

#include "utils/log.h"

namespace utils {

typedef void (*blocked_queue_clean_cb)(void*);

// Growable ring of pointers: push grows the storage when it is full (on the producer's thread),
// pop never allocates or frees, so a real-time consumer can take elements without touching the
// heap.
template <typename T>
class PointerRing {
 public:
  PointerRing() = default;
  ~PointerRing() { delete[] slots_; }
  PointerRing(const PointerRing&) = delete;
  PointerRing& operator=(const PointerRing&) = delete;

  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  T* front() const { return slots_[head_]; }
  void pop_front() {
    head_ = (head_ + 1) % capacity_;
    --count_;
  }
  void push_back(T* t) {
    if (count_ == capacity_) grow();
    slots_[(head_ + count_) % capacity_] = t;
    ++count_;
  }

 private:
  void grow() {
    size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
    T** slots = new T*[capacity];
    for (size_t i = 0; i < count_; ++i) slots[i] = slots_[(head_ + i) % capacity_];
    delete[] slots_;
    slots_ = slots;
    capacity_ = capacity;
    head_ = 0;
  }

  T** slots_ = nullptr;
  size_t capacity_ = 0;
  size_t head_ = 0;
  size_t count_ = 0;
};

template <typename T>
class BlockedQueue {
 public:
  explicit BlockedQueue(blocked_queue_clean_cb cb)
      : queue_(new PointerRing<T>()),
        sem_name_(nullptr),
        semaphore_(nullptr),
        mutex_(new pthread_mutex_t),
        cb_(cb) {
    pthread_mutex_init(mutex_, nullptr);
    semaphore_ = new sem_t;
    if (sem_init(semaphore_, 0, 0) != 0) {
      SLOG("Error: BQ open sem failed: %d!\n", errno);
      delete semaphore_;
      semaphore_ = nullptr;
    }
  }

  virtual ~BlockedQueue() {
    if (semaphore_ != nullptr) {
      sem_post(semaphore_);
      sem_destroy(semaphore_);
      delete semaphore_;
      semaphore_ = nullptr;
    }
    if (mutex_ != nullptr) {
      pthread_mutex_destroy(mutex_);
      delete mutex_;
      mutex_ = nullptr;
    }
    if (queue_ != nullptr) {
      while (!queue_->empty()) {
        T* t = queue_->front();
        queue_->pop_front();
        if (cb_ != nullptr) cb_(t);
      }
      delete queue_;
      queue_ = nullptr;
    }
  }

  BlockedQueue() = delete;
  BlockedQueue(const BlockedQueue&) = delete;
  BlockedQueue& operator=(const BlockedQueue&) = delete;

  // Appends `t` and adds one wake-up; null is ignored entirely.
  void offer(T* t) {
    if (t == nullptr) return;
    pthread_mutex_lock(mutex_);
    queue_->push_back(t);
    pthread_mutex_unlock(mutex_);
    if (semaphore_ != nullptr) sem_post(semaphore_);
  }

  // Consumes one wake-up (waiting for one), then returns the oldest element or null when the queue
  // is empty at that moment. A wait interrupted by a signal is resumed: only a real wake-up ends
  // it.
  T* poll() {
    if (semaphore_ != nullptr) {
      while (sem_wait(semaphore_) != 0 && errno == EINTR) {
      }
    }
    T* t = nullptr;
    pthread_mutex_lock(mutex_);
    if (!queue_->empty()) {
      t = queue_->front();
      queue_->pop_front();
    }
    pthread_mutex_unlock(mutex_);
    return t;
  }

  // Adds one wake-up without an element, so that a waiting (or the next) poll returns.
  void fin() {
    if (semaphore_ != nullptr) sem_post(semaphore_);
  }

  size_t left() {
    pthread_mutex_lock(mutex_);
    size_t n = queue_->size();
    pthread_mutex_unlock(mutex_);
    return n;
  }

  // The oldest element without removing it, or null; never waits.
  const T* head() {
    pthread_mutex_lock(mutex_);
    const T* t = queue_->empty() ? nullptr : queue_->front();
    pthread_mutex_unlock(mutex_);
    return t;
  }

  // Removes every element, oldest first, handing each to the clean callback. Wake-ups stay.
  void clean() {
    pthread_mutex_lock(mutex_);
    while (!queue_->empty()) {
      T* t = queue_->front();
      queue_->pop_front();
      if (cb_ != nullptr) cb_(t);
    }
    pthread_mutex_unlock(mutex_);
  }

 private:
  PointerRing<T>* queue_;
  char* sem_name_;
  sem_t* semaphore_;
  pthread_mutex_t* mutex_;
  blocked_queue_clean_cb cb_;
};

}  // namespace utils

#endif  // UTILS_BLOCKED_QUEUE_H
