// Interface of an acoustic echo canceller: played blocks go in as the far end (render thread),
// captured blocks are cancelled against the far-end block that lines up in time (capture thread).
#ifndef AUDIO_AEC_H
#define AUDIO_AEC_H

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

  virtual bool is_working() = 0;
  // Cancels the echo of far-end frame `input` in near-end frame `output`, in place.
  virtual bool aec(const Frame* input, Frame* output) = 0;
  // Queues one played block with its playback clock record.
  virtual bool input(const byte* data, size_t size, const TSSuit* ts) = 0;
  // Aligns and cancels one captured block in place; true when a far-end block was matched.
  virtual bool output_for_aec(Frame* frame) = 0;

 protected:
  AecStatus* status_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_AEC_H
