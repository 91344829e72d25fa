// Cuts a stream of byte chunks of any length into blocks of one fixed length. Each completed block
// is handed to a callback on the appending thread, under the pile's mutex.
#ifndef UTILS_PILE_BUFFER_H
#define UTILS_PILE_BUFFER_H

#include <pthread.h>

#include <cstddef>

// The engine's byte (also declared in sonora/types.h); repeated here so that the pile needs no
// other header.
namespace sonora {
typedef unsigned char byte;
}  // namespace sonora

namespace utils {

using sonora::byte;

// Receives (block buffer, valid bytes, user, additional of the triggering call). Returns null to
// keep the buffer, or a new buffer of at least `capacity` bytes (allocated with new[]) that the
// pile uses from then on; the old one then belongs to the callback.
typedef byte* (*pile_cb)(const byte* data, size_t capacity, void* user, const void* additional);

class PileBuffer {
 public:
  // Takes over `ptr` (allocated with new[]) as its block buffer when given. A capacity of 0 makes
  // an inert pile: it logs the refusal, keeps no callback and refuses every append.
  PileBuffer(size_t capacity, void* user, pile_cb cb, byte* ptr);
  virtual ~PileBuffer();

  PileBuffer(const PileBuffer&) = delete;
  PileBuffer& operator=(const PileBuffer&) = delete;

  // Piles `size` bytes, handing over each completed block; false (nothing piled) for null data, a
  // zero size or a pile without callback.
  bool append(const byte* data, size_t size, const void* additional);
  // Hands over the piled bytes (possibly none) and starts an empty block.
  void flush(const void* additional);
  // Bytes piled towards the next block (less than the capacity).
  size_t pending();

 private:
  size_t capacity_;
  void* user_;
  pile_cb cb_;
  size_t left_;
  size_t index_;
  byte* buffer_;
  pthread_mutex_t* mutex_;
};

}  // namespace utils

#endif  // UTILS_PILE_BUFFER_H
