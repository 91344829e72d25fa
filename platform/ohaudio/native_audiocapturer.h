// Desktop stand-in for the platform audio capturer (<ohaudio/native_audiocapturer.h>).
//
// Same states and guarantees as the renderer (native_audiorenderer.h): once Pause, Stop or
// Release has returned, no OnReadData runs any more and none is in progress.
#ifndef OHAUDIO_NATIVE_AUDIOCAPTURER_H
#define OHAUDIO_NATIVE_AUDIOCAPTURER_H

#include "ohaudio/native_audiostream_base.h"

#ifdef __cplusplus
extern "C" {
#endif

OH_AudioStream_Result OH_AudioCapturer_Start(OH_AudioCapturer* capturer);
OH_AudioStream_Result OH_AudioCapturer_Pause(OH_AudioCapturer* capturer);
OH_AudioStream_Result OH_AudioCapturer_Stop(OH_AudioCapturer* capturer);
OH_AudioStream_Result OH_AudioCapturer_Flush(OH_AudioCapturer* capturer);
OH_AudioStream_Result OH_AudioCapturer_Release(OH_AudioCapturer* capturer);
OH_AudioStream_Result OH_AudioCapturer_GetCurrentState(OH_AudioCapturer* capturer,
                                                       OH_AudioStream_State* state);

#ifdef __cplusplus
}
#endif

#endif  // OHAUDIO_NATIVE_AUDIOCAPTURER_H
