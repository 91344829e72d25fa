// C interface of WebRTC's mobile echo canceller (AECM), as exported by the installed
// libwebrtc_audio_processing (0.3), which ships no header for it. A device build uses this
// declaration too: its WebRTC library has no installed header for these functions either.
//
// Facts of this build: 8000 and 16000 Hz only (Init returns -1 for other rates); 80 or 160
// samples per call; msInSndCardBuf is clamped to 0..500 (a clamped call still processes and
// returns -1); the far-end buffer holds 4000 samples.
#ifndef WEBRTC_AECM_H
#define WEBRTC_AECM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  int16_t cngMode;   // 0 off, 1 on
  int16_t echoMode;  // 0..4
} AecmConfig;

void* WebRtcAecm_Create(void);
void WebRtcAecm_Free(void* aecmInst);
int32_t WebRtcAecm_Init(void* aecmInst, int32_t sampFreq);
int32_t WebRtcAecm_BufferFarend(void* aecmInst, const int16_t* farend, size_t nrOfSamples);
int32_t WebRtcAecm_Process(void* aecmInst, const int16_t* nearendNoisy, const int16_t* nearendClean,
                           int16_t* out, size_t nrOfSamples, int16_t msInSndCardBuf);
int32_t WebRtcAecm_set_config(void* aecmInst, AecmConfig config);

#ifdef __cplusplus
}
#endif

#endif  // WEBRTC_AECM_H
