// Buddy allocator over an index space of 2^level units. It manages no memory: it tells its owner
// which unit offsets are free. Every block is a power of two long and starts at a multiple of its
// length; allocation always returns the lowest offset at which an aligned block of the needed
// length is free. Thread-safe: every public call holds the allocator's mutex.
#ifndef UTILS_BUDDY_H
#define UTILS_BUDDY_H

#include <pthread.h>

#include <cstdint>

namespace utils {

typedef void (*buddy_clean_cb)(int offset, void* user);

const int8_t kNodeUnused = 0;
const int8_t kNodeUsed = 1;
const int8_t kNodeSplit = 2;
const int8_t kNodeFull = 3;

const int kBuddyAllocFailed = -1;
const int kBuddySizeBadOffset = -2;
const int kBuddySizeUnallocated = -3;

class Buddy {
 public:
  // 0 < level < 31. A null `user` makes the Buddy itself the value passed to `cb`.
  Buddy(uint8_t level, buddy_clean_cb cb, void* user);
  virtual ~Buddy();

  Buddy(const Buddy&) = delete;
  Buddy& operator=(const Buddy&) = delete;

  // First unit of a block of at least `s` units (0 counts as 1), or kBuddyAllocFailed.
  int alloc(int s);
  // Releases the block that starts at `offset`; an offset in free space is ignored.
  void free(int offset);
  // offset < 0: units in use. Otherwise the length of the used block starting at `offset`,
  // kBuddySizeBadOffset inside a used block, kBuddySizeUnallocated in free space.
  int size(int offset);
  // Releases every used block, calling the clean callback first for each, lowest offset first.
  void clean();
  int level() const { return level_; }

 private:
  int alloc_with_mark(int s);
  void mark(int index);
  void free_with_combine(int offset);
  void combine(int index);
  int size_of_offset(int offset);
  int64_t find_used(int offset, int* first, int* length);
  void clean(int index, uint8_t depth);

  void* user_;
  buddy_clean_cb cb_;
  pthread_mutex_t* mutex_;
  int size_;
  int left_;
  uint8_t level_;
  uint8_t* tree_;
};

}  // namespace utils

#endif  // UTILS_BUDDY_H
