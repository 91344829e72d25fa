// What the engine makes of the platform's interruptions and stream errors, for the renderer and
// the capturer alike: which of them end the stream, and the report the application receives.
//
// Reports (Handler::handle(what, arg1, arg2, obj)); arg1 names the stream: kArg1AudioPlayer* for
// playback, kArg1AudioRecord* for capture.
//
//   platform                          arg1            arg2              obj           the engine
//   FORCE stop                        ...Stop         kArg2Fin          Interruption  ends the
//   stream FORCE pause                       ...Working      kArg2Mute         Interruption (paused
//   by the system) FORCE duck                        ...Working      kArg2Mute         Interruption
//   nothing FORCE unduck, resume hint, none   ...Working      kArg2Success      Interruption
//   nothing SHARE pause / duck                ...Working      kArg2Mute         Interruption
//   nothing SHARE stop                        ...Working      kArg2Fin          Interruption
//   nothing SHARE resume / unduck / none      ...Working      kArg2Success      Interruption
//   nothing error AUDIOSTREAM_ERROR_SYSTEM    ...Stop         kArg2FatalError   null          ends
//   the stream any other error                   ...Working      kArg2Error        null nothing
//
// These functions run on the platform's callback threads: they never allocate, log or block
// (Handler::send only queues).
#ifndef AUDIO_STREAM_EVENTS_H
#define AUDIO_STREAM_EVENTS_H

#include <ohaudio/native_audiostream_base.h>

#include "sonora/types.h"

namespace sonora {

class Body;

namespace audio {

// The system has ended the stream: a FORCE stop.
bool interruption_ends_stream(OH_AudioInterrupt_ForceType force, OH_AudioInterrupt_Hint hint);
// The stream cannot go on after this error.
bool error_ends_stream(OH_AudioStream_Result error);

// Reports the interruption to the body's handler (body may be null: nothing is sent).
void report_interruption(const Body* body, bool renderer, OH_AudioInterrupt_ForceType force,
                         OH_AudioInterrupt_Hint hint);
void report_stream_error(const Body* body, bool renderer, OH_AudioStream_Result error);

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_STREAM_EVENTS_H
