// Fixed pool of media frames carved out of one zero-filled arena. Slot n holds the Frame record,
// its TSSuit (kFramePageSize in) and block_ bytes of payload (kFrameTSPageSize in); slots are
// handed out lowest first by a Buddy, one unit per frame. Slots are kFrameTSPageSize + block_
// bytes apart, rounded up to a multiple of 8 so that every slot's records are aligned (blocks of
// 1764 bytes, 44.1 kHz 20 ms, would otherwise put every other Frame record on a 4-byte boundary).
#ifndef SONORA_FRAME_WRAPPER_H
#define SONORA_FRAME_WRAPPER_H

#include <cstddef>

#include "sonora/types.h"
#include "utils/buddy.h"

namespace sonora {

class FrameWrapper {
 public:
  // A block of 0 makes an inert pool (logged): it hands out no frame.
  FrameWrapper(int level, size_t block);
  virtual ~FrameWrapper();

  FrameWrapper(const FrameWrapper&) = delete;
  FrameWrapper& operator=(const FrameWrapper&) = delete;

  // Frames currently handed out.
  size_t size();
  // A frame holding a copy of `size` bytes of `data` and of `*ts` (zeroed when null); null when
  // `data` is null, `size` exceeds the block or the pool is exhausted (logged).
  Frame* gen_frame(FrameType type, const byte* data, size_t size, const TSSuit* ts);
  // Returns the frame's slot; false for null, a frame of no pool, or a frame outside this pool.
  bool delete_frame(Frame* frame);
  // Returns every slot at once.
  void clean();

  size_t block() const { return block_; }
  // Bytes from one slot to the next.
  size_t stride() const { return stride_; }

 private:
  size_t block_;
  byte* pool_;
  utils::Buddy* buddy_;
  size_t slots_;
  size_t stride_;
};

}  // namespace sonora

#endif  // SONORA_FRAME_WRAPPER_H
