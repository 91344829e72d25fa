// Fixed-point noise-suppressor interface (WebRTC "NSx" names and signatures).
//
// On a device the WebRTC library provides these functions. The desktop's
// libwebrtc_audio_processing (0.3) exports only the floating-point suppressor, so there they come
// from an adapter over it (../../noise_suppression_x.cc): int16 samples are converted to floats in
// int16 scale, analysed and processed by WebRtcNs_*, and converted back with rounding and
// saturation.
//
// Frames are 10 ms: 80 samples at 8000 Hz, 160 samples at 16000 Hz, one band. At 32000 and
// 48000 Hz the suppressor would need the signal split into bands, which callers of this interface
// do not do, so Init refuses every rate but 8000 and 16000 (returns -1).
#ifndef WEBRTC_NOISE_SUPPRESSION_X_H
#define WEBRTC_NOISE_SUPPRESSION_X_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NsxHandleT NsxHandle;

NsxHandle* WebRtcNsx_Create(void);
void WebRtcNsx_Free(NsxHandle* nsxInst);
// 0 on success; -1 for a null instance or an unsupported rate.
int WebRtcNsx_Init(NsxHandle* nsxInst, uint32_t fs);
// mode 0 (mildest) .. 3 (most aggressive); -1 when refused.
int WebRtcNsx_set_policy(NsxHandle* nsxInst, int mode);
// Processes one 10 ms frame of band 0; other bands are not supported.
void WebRtcNsx_Process(NsxHandle* nsxInst, const short* const* speechFrame, int num_bands,
                       short* const* outFrame);

#ifdef __cplusplus
}
#endif

#endif  // WEBRTC_NOISE_SUPPRESSION_X_H
