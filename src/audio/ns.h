// Interface of a noise suppressor that cleans one block of 16-bit PCM in place.
#ifndef AUDIO_NS_H
#define AUDIO_NS_H

#include "sonora/types.h"

namespace sonora {
namespace audio {

class NS {
 public:
  explicit NS(const Suit* suit);
  virtual ~NS();

  NS(const NS&) = delete;
  NS& operator=(const NS&) = delete;

  virtual bool is_working() = 0;
  // Suppresses noise in the frame's payload in place; true when it was processed.
  virtual bool ns(Frame* frame) = 0;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_NS_H
