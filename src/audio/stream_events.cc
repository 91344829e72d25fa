#include "audio/stream_events.h"

#include "sonora/body.h"

namespace sonora {
namespace audio {

namespace {

constexpr uint32_t kForceTypes = 2;
constexpr uint32_t kHints = 6;

// One constant record per interruption the platform can send, handed to the application as obj.
const Interruption kInterruptions[kForceTypes][kHints] = {
    {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}},
    {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}},
};

Arg2 outcome_of(OH_AudioInterrupt_Hint hint) {
  switch (hint) {
    case AUDIOSTREAM_INTERRUPT_HINT_PAUSE:
    case AUDIOSTREAM_INTERRUPT_HINT_DUCK:
      return kArg2Mute;
    case AUDIOSTREAM_INTERRUPT_HINT_STOP:
      return kArg2Fin;
    default:
      return kArg2Success;
  }
}

}  // namespace

bool interruption_ends_stream(OH_AudioInterrupt_ForceType force, OH_AudioInterrupt_Hint hint) {
  return force == AUDIOSTREAM_INTERRUPT_FORCE && hint == AUDIOSTREAM_INTERRUPT_HINT_STOP;
}

bool error_ends_stream(OH_AudioStream_Result error) {
  return error == AUDIOSTREAM_ERROR_SYSTEM;
}

void report_interruption(const Body* body, bool renderer, OH_AudioInterrupt_ForceType force,
                         OH_AudioInterrupt_Hint hint) {
  const uint32_t f = static_cast<uint32_t>(force);
  const uint32_t h = static_cast<uint32_t>(hint);
  if (body == nullptr || f >= kForceTypes || h >= kHints) return;
  const bool ends = interruption_ends_stream(force, hint);
  const Arg1 arg1 = renderer ? (ends ? kArg1AudioPlayerStop : kArg1AudioPlayerWorking)
                             : (ends ? kArg1AudioRecordStop : kArg1AudioRecordWorking);
  body->report(arg1, outcome_of(hint), const_cast<Interruption*>(&kInterruptions[f][h]));
}

void report_stream_error(const Body* body, bool renderer, OH_AudioStream_Result error) {
  if (body == nullptr) return;
  const bool ends = error_ends_stream(error);
  const Arg1 arg1 = renderer ? (ends ? kArg1AudioPlayerStop : kArg1AudioPlayerWorking)
                             : (ends ? kArg1AudioRecordStop : kArg1AudioRecordWorking);
  body->report(arg1, ends ? kArg2FatalError : kArg2Error, nullptr);
}

}  // namespace audio
}  // namespace sonora
