// Desktop stand-in for the platform audio renderer (<ohaudio/native_audiorenderer.h>).
//
// States: PREPARED after generation; Start moves PREPARED, PAUSED or STOPPED to RUNNING; Pause
// moves RUNNING to PAUSED; Stop moves RUNNING or PAUSED to STOPPED; Flush discards audio the
// backend holds and keeps the state (RUNNING, PAUSED or STOPPED); Release stops the stream in any
// state and frees it. A call in a state it does not accept returns AUDIOSTREAM_ERROR_ILLEGAL_STATE
// and changes nothing; a null stream gives AUDIOSTREAM_ERROR_INVALID_PARAM.
//
// Once Pause, Stop or Release has returned, no callback of the stream runs any more and none is
// in progress (until the next Start), so the caller may free what its callbacks use. Called from
// inside one of the stream's own callbacks, Pause and Stop take effect when that callback
// returns, and Start and Release refuse with AUDIOSTREAM_ERROR_ILLEGAL_STATE.
#ifndef OHAUDIO_NATIVE_AUDIORENDERER_H
#define OHAUDIO_NATIVE_AUDIORENDERER_H

#include "ohaudio/native_audiostream_base.h"

#ifdef __cplusplus
extern "C" {
#endif

OH_AudioStream_Result OH_AudioRenderer_Start(OH_AudioRenderer* renderer);
OH_AudioStream_Result OH_AudioRenderer_Pause(OH_AudioRenderer* renderer);
OH_AudioStream_Result OH_AudioRenderer_Stop(OH_AudioRenderer* renderer);
OH_AudioStream_Result OH_AudioRenderer_Flush(OH_AudioRenderer* renderer);
OH_AudioStream_Result OH_AudioRenderer_Release(OH_AudioRenderer* renderer);
OH_AudioStream_Result OH_AudioRenderer_GetCurrentState(OH_AudioRenderer* renderer,
                                                       OH_AudioStream_State* state);

#ifdef __cplusplus
}
#endif

#endif  // OHAUDIO_NATIVE_AUDIORENDERER_H
