#include "sonora/frame_wrapper.h"

#include <pthread.h>

#include <cstring>
#include <new>

#include "utils/log.h"

namespace sonora {

FrameWrapper::FrameWrapper(int level, size_t block)
    : block_(block),
      pool_(nullptr),
      buddy_(nullptr),
      slots_(0),
      stride_((kFrameTSPageSize + block + 7) / 8 * 8) {
  if (block == 0 || level <= 0 || level >= 31) {
    SLOG("FrameWrapper: refused level %d, block %zu\n", level, block);
    return;
  }
  buddy_ = new utils::Buddy(static_cast<uint8_t>(level), nullptr, nullptr);
  slots_ = static_cast<size_t>(1) << level;
  pool_ = new (std::nothrow) byte[slots_ * stride_]();
  if (pool_ == nullptr) {
    SLOG("FrameWrapper: no memory for %zu slots of %zu bytes\n", slots_, block_);
    delete buddy_;
    buddy_ = nullptr;
    slots_ = 0;
  }
}

FrameWrapper::~FrameWrapper() {
  delete[] pool_;
  pool_ = nullptr;
  delete buddy_;
  buddy_ = nullptr;
}

size_t FrameWrapper::size() {
  if (buddy_ == nullptr) return 0;
  int used = buddy_->size(-1);
  return used > 0 ? static_cast<size_t>(used) : 0;
}

Frame* FrameWrapper::gen_frame(FrameType type, const byte* data, size_t size, const TSSuit* ts) {
  if (data == nullptr || size > block_ || buddy_ == nullptr) return nullptr;
  int offset = buddy_->alloc(1);
  if (offset < 0) {
    SLOG("[%p] %s: Cannot alloc any more, level = %d\n", reinterpret_cast<void*>(pthread_self()),
         "gen_frame", buddy_->level());
    return nullptr;
  }
  byte* slot = pool_ + static_cast<size_t>(offset) * stride_;
  Frame* frame = reinterpret_cast<Frame*>(slot);
  frame->ts = reinterpret_cast<TSSuit*>(slot + kFramePageSize);
  frame->data = slot + kFrameTSPageSize;
  frame->offset = offset;
  frame->type = type;
  if (size > 0) std::memcpy(frame->data, data, size);
  frame->size = size;
  if (ts != nullptr) {
    std::memcpy(frame->ts, ts, sizeof(TSSuit));
  } else {
    std::memset(frame->ts, 0, kTSPageSize);
  }
  return frame;
}

bool FrameWrapper::delete_frame(Frame* frame) {
  if (frame == nullptr || frame->offset < 0 || buddy_ == nullptr) return false;
  // A frame of another pool (or a stray pointer) must not release one of our slots.
  if (static_cast<size_t>(frame->offset) >= slots_) return false;
  byte* slot = pool_ + static_cast<size_t>(frame->offset) * stride_;
  if (reinterpret_cast<byte*>(frame) != slot) return false;
  if (buddy_->size(frame->offset) != 1) return false;  // already released
  buddy_->free(frame->offset);
  return true;
}

void FrameWrapper::clean() {
  if (buddy_ != nullptr) buddy_->clean();
}

}  // namespace sonora
