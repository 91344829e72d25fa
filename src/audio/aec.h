// Interface of an acoustic echo canceller: played blocks go in as the far end (render thread),
// captured blocks are cancelled against the far-end block that lines up in time (capture thread).
#ifndef AUDIO_AEC_H
#define AUDIO_AEC_H

#include <atomic>
#include <cstdint>

#include "sonora/types.h"

namespace sonora {
namespace audio {

class AEC {
 public:
  explicit AEC(const Suit* suit);
  virtual ~AEC();

  AEC(const AEC&) = delete;
  AEC& operator=(const AEC&) = delete;

  // Last alignment result; valid while the canceller lives.
  const AecStatus* get_status() { return status_; }

  // What happened to far-end and captured blocks, counted on the render and capture threads
  // (which never log) and read from any thread.
  struct Counters {
    std::atomic<uint64_t> waits{0};           // captured blocks that waited for far-end audio
    std::atomic<uint64_t> far_too_old{0};     // far-end blocks dropped: too old to line up
    std::atomic<uint64_t> far_ahead{0};       // captured blocks whose far end was still ahead
    std::atomic<uint64_t> far_overflow{0};    // far-end blocks dropped to make room
    std::atomic<uint64_t> far_refused{0};     // far-end blocks not queued (pool full, too long)
    std::atomic<uint64_t> near_refused{0};    // captured blocks refused (wrong size, inert)
    std::atomic<uint64_t> blocks_refused{0};  // matched pairs the canceller could not run
    std::atomic<uint64_t> chunks_failed{0};   // canceller calls that failed on one chunk
  };
  const Counters& counters() const { return counters_; }

  virtual bool is_working() = 0;
  // Cancels the echo of far-end frame `input` in near-end frame `output`, in place.
  virtual bool aec(const Frame* input, Frame* output) = 0;
  // Queues one played block with its playback clock record.
  virtual bool input(const byte* data, size_t size, const TSSuit* ts) = 0;
  // Aligns and cancels one captured block in place; true when a far-end block was matched.
  virtual bool output_for_aec(Frame* frame) = 0;

 protected:
  AecStatus* status_;
  Counters counters_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_AEC_H
