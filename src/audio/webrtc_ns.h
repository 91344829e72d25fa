// Noise suppressor on WebRTC's fixed-point suppressor. Works only for 16-bit mono suits that
// enable noise suppression, at the rates the suppressor supports (8000 and 16000 Hz); otherwise
// it is inert and leaves blocks unchanged.
//
// A block is cut into 10 ms chunks of the suit's rate (160 bytes at 8000 Hz, 320 at 16000 Hz);
// a shorter remainder is processed as a zero-padded chunk of which only the remainder is written
// back. Nothing but the suppressor's own state carries over from one block to the next.
#ifndef AUDIO_WEBRTC_NS_H
#define AUDIO_WEBRTC_NS_H

#include <webrtc/noise_suppression_x.h>

#include "audio/ns.h"

namespace sonora {
namespace audio {

// Bytes per suppressor call at 8000 Hz (80 samples, 10 ms); at other rates the chunk is 10 ms of
// that rate.
const int kNSSample = 160;

typedef struct _webrtc_ns_body {
  int times;           // whole chunks in a block of the suit's size
  int left;            // bytes after the last whole chunk
  size_t block;        // the suit's block
  byte* buffer;        // one chunk: output of the suppressor
  NsxHandle* denoise;  // the suppressor instance
  size_t chunk;        // bytes per chunk (10 ms at the suit's rate)
  byte* scratch;       // one chunk: zero-padded remainder of a block
} WebRtcNSBody;

class WebRtcNS : public NS {
 public:
  explicit WebRtcNS(const Suit* suit);
  ~WebRtcNS() override;

  bool is_working() override;
  bool ns(Frame* frame) override;

 private:
  WebRtcNSBody* body_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_WEBRTC_NS_H
