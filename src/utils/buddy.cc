#include "utils/buddy.h"

#include <cstdio>
#include <cstdlib>

#include "utils/log.h"

// Programming errors inside the allocator (a request the public calls have already filtered, a
// release in the middle of a used block) stop the process, whatever NDEBUG says: the tree would
// be corrupt from then on.
#define BUDDY_CHECK(cond, text)                                                       \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, \
                   __PRETTY_FUNCTION__, text);                                        \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace utils {
namespace {

// Number of nodes of a complete binary tree of depth `level`.
inline size_t _level_size(int level) {
  return (static_cast<size_t>(2) << level) - 1;
}

// 0 counts as a power of two.
inline bool is_power_of_2(uint64_t n) {
  return (n & (n - 1)) == 0;
}

inline uint64_t next_pow_of_2(uint64_t n) {
  if (is_power_of_2(n)) return n;
  n |= n >> 1;
  n |= n >> 2;
  n |= n >> 4;
  n |= n >> 8;
  n |= n >> 16;
  n |= n >> 32;
  return n + 1;
}

inline int64_t _leaf_left(int64_t index) {
  return index * 2 + 1;
}
inline int64_t _leaf_right(int64_t index) {
  return index * 2 + 2;
}
inline int64_t _parent(int64_t index) {
  return (index + 1) / 2 - 1;
}
// Left children have odd indices; the root has no buddy.
inline int64_t _buddy(int64_t index) {
  if (index == 0) return -1;
  return (index & 1) ? index + 1 : index - 1;
}
// First unit covered by node `index` at `depth` of a tree of `level`.
inline int _index_offset(int64_t index, int depth, int level) {
  return static_cast<int>((index + 1 - (static_cast<int64_t>(1) << depth)) << (level - depth));
}

class Lock {
 public:
  explicit Lock(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
  ~Lock() { pthread_mutex_unlock(m_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  pthread_mutex_t* m_;
};

}  // namespace

Buddy::Buddy(uint8_t level, buddy_clean_cb cb, void* user)
    : user_(user != nullptr ? user : this),
      cb_(cb),
      mutex_(new pthread_mutex_t),
      size_(0),
      left_(0),
      level_(level),
      tree_(nullptr) {
  pthread_mutex_init(mutex_, nullptr);
  // A level outside 1..30 is refused rather than fatal: the allocator stays inert, so every
  // alloc fails and the owner sees an exhausted pool instead of a dead process.
  if (level < 1 || level > 30) {
    SLOG("Buddy: level %d refused (1..30)", static_cast<int>(level));
    return;
  }
  // calloc: large trees are zero-filled lazily by the system.
  tree_ = static_cast<uint8_t*>(std::calloc(_level_size(level), 1));
  if (tree_ == nullptr) {
    SLOG("Buddy: cannot allocate the tree of level %d", static_cast<int>(level));
    return;
  }
  size_ = 1 << level;
  left_ = size_;
}

Buddy::~Buddy() {
  pthread_mutex_destroy(mutex_);
  delete mutex_;
  mutex_ = nullptr;
  cb_ = nullptr;
  user_ = nullptr;
  std::free(tree_);
  tree_ = nullptr;
}

int Buddy::alloc(int s) {
  Lock lock(mutex_);
  if (tree_ == nullptr || s < 0 || s > size_) return kBuddyAllocFailed;
  return alloc_with_mark(s);
}

void Buddy::free(int offset) {
  Lock lock(mutex_);
  if (tree_ == nullptr || offset < 0 || offset >= size_) return;
  free_with_combine(offset);
}

int Buddy::size(int offset) {
  Lock lock(mutex_);
  if (offset >= size_) return kBuddySizeBadOffset;
  return size_of_offset(offset);
}

void Buddy::clean() {
  Lock lock(mutex_);
  if (tree_ == nullptr) return;
  clean(0, 0);
}

int Buddy::alloc_with_mark(int s) {
  BUDDY_CHECK(0 <= s && size_ >= s, "0 <= s && size_ >= s");
  const int64_t need = s == 0 ? 1 : static_cast<int64_t>(next_pow_of_2(static_cast<uint64_t>(s)));

  int64_t index = 0;
  int64_t length = size_;
  for (;;) {
    const uint8_t state = tree_[index];
    if (length > need) {
      if (state == kNodeUnused) {
        tree_[index] = kNodeSplit;
        tree_[_leaf_left(index)] = kNodeUnused;
        tree_[_leaf_right(index)] = kNodeUnused;
        index = _leaf_left(index);
        length /= 2;
        continue;
      }
      if (state == kNodeSplit) {
        index = _leaf_left(index);
        length /= 2;
        continue;
      }
    } else if (state == kNodeUnused) {
      break;
    }
    // Move on to the next candidate to the right: the right sibling of this node or of the
    // nearest ancestor that is a left child.
    while ((index & 1) == 0) {
      if (index == 0) return kBuddyAllocFailed;
      index = _parent(index);
      length *= 2;
    }
    index += 1;
  }

  mark(static_cast<int>(index));
  left_ -= static_cast<int>(length);
  int depth = 0;
  for (int64_t l = length; l < size_; l *= 2) ++depth;
  return _index_offset(index, depth, level_);
}

void Buddy::mark(int index) {
  int64_t i = index;
  tree_[i] = kNodeUsed;
  while (i != 0) {
    const uint8_t b = tree_[_buddy(i)];
    if (b != kNodeUsed && b != kNodeFull) break;
    i = _parent(i);
    tree_[i] = kNodeFull;
  }
}

// Walks from the root towards `offset`: the index of the used block covering it, with that
// block's first unit and length, or -1 when the offset lies in free space.
int64_t Buddy::find_used(int offset, int* first, int* length) {
  int64_t index = 0;
  *length = size_;
  *first = 0;
  for (;;) {
    const uint8_t state = tree_[index];
    if (state == kNodeUnused) return -1;
    if (state == kNodeUsed) return index;
    *length /= 2;
    if (*first + *length <= offset) {
      *first += *length;
      index = _leaf_right(index);
    } else {
      index = _leaf_left(index);
    }
  }
}

void Buddy::free_with_combine(int offset) {
  BUDDY_CHECK(size_ > offset, "(1 << level_) > offset");
  int left = 0;
  int length = 0;
  const int64_t index = find_used(offset, &left, &length);
  if (index < 0) return;
  BUDDY_CHECK(left == offset, "left == offset");
  combine(static_cast<int>(index));
  left_ += length;
}

void Buddy::combine(int index) {
  int64_t i = index;
  while (i != 0 && tree_[_buddy(i)] == kNodeUnused) i = _parent(i);
  tree_[i] = kNodeUnused;
  for (int64_t p = _parent(i); p >= 0 && tree_[p] == kNodeFull; p = _parent(p)) {
    tree_[p] = kNodeSplit;
  }
}

int Buddy::size_of_offset(int offset) {
  if (offset < 0) return size_ - left_;
  BUDDY_CHECK(size_ > offset, "(1 << level_) > offset");
  int left = 0;
  int length = 0;
  if (find_used(offset, &left, &length) < 0) return kBuddySizeUnallocated;
  return left == offset ? length : kBuddySizeBadOffset;
}

void Buddy::clean(int index, uint8_t depth) {
  switch (tree_[index]) {
    case kNodeUsed: {
      const int offset = _index_offset(index, depth, level_);
      if (cb_ != nullptr) cb_(offset, user_);
      free_with_combine(offset);
      break;
    }
    case kNodeSplit:
    case kNodeFull:
      clean(static_cast<int>(_leaf_left(index)), static_cast<uint8_t>(depth + 1));
      clean(static_cast<int>(_leaf_right(index)), static_cast<uint8_t>(depth + 1));
      break;
    default:
      break;
  }
}

}  // namespace utils
