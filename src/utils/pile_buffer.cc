#include "utils/pile_buffer.h"

#include <cstring>

#include "utils/log.h"

namespace utils {

PileBuffer::PileBuffer(size_t capacity, void* user, pile_cb cb, byte* ptr)
    : capacity_(capacity),
      user_(user),
      cb_(cb),
      left_(capacity),
      index_(0),
      buffer_(ptr),
      mutex_(new pthread_mutex_t) {
  pthread_mutex_init(mutex_, nullptr);
  // With no room in a block the append loop could never make progress; such a pile refuses
  // every append instead (a given buffer is still released by the destructor).
  if (capacity_ == 0) {
    SLOG("PileBuffer: capacity 0 refused");
    cb_ = nullptr;
    return;
  }
  if (buffer_ == nullptr) buffer_ = new byte[capacity_];
}

PileBuffer::~PileBuffer() {
  pthread_mutex_lock(mutex_);
  cb_ = nullptr;
  pthread_mutex_unlock(mutex_);
  pthread_mutex_destroy(mutex_);
  delete mutex_;
  mutex_ = nullptr;
  delete[] buffer_;
  buffer_ = nullptr;
}

bool PileBuffer::append(const byte* data, size_t size, const void* additional) {
  if (data == nullptr || size == 0) return false;
  pthread_mutex_lock(mutex_);
  if (cb_ == nullptr) {
    pthread_mutex_unlock(mutex_);
    return false;
  }
  size_t remaining = size;
  size_t position = 0;
  while (left_ <= remaining) {
    std::memcpy(buffer_ + index_, data + position, left_);
    position += left_;
    remaining -= left_;
    if (cb_ != nullptr) {
      byte* next = cb_(buffer_, capacity_, user_, additional);
      if (next != nullptr) buffer_ = next;
    }
    index_ = 0;
    left_ = capacity_;
  }
  if (remaining > 0) {
    std::memcpy(buffer_ + index_, data + position, remaining);
    index_ += remaining;
    left_ -= remaining;
  }
  pthread_mutex_unlock(mutex_);
  return true;
}

void PileBuffer::flush(const void* additional) {
  pthread_mutex_lock(mutex_);
  if (cb_ != nullptr) {
    byte* next = cb_(buffer_, index_, user_, additional);
    if (next != nullptr) buffer_ = next;
  }
  index_ = 0;
  left_ = capacity_;
  pthread_mutex_unlock(mutex_);
}

size_t PileBuffer::pending() {
  pthread_mutex_lock(mutex_);
  size_t n = index_;
  pthread_mutex_unlock(mutex_);
  return n;
}

}  // namespace utils
