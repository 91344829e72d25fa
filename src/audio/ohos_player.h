// Playback through the platform audio renderer. start() starts the base player, then builds and
// starts a renderer stream shaped by the audio suit; the renderer pulls one block per request
// through the write-data callback on its own thread.
#ifndef AUDIO_OHOS_PLAYER_H
#define AUDIO_OHOS_PLAYER_H

#include <ohaudio/native_audiorenderer.h>
#include <ohaudio/native_audiostreambuilder.h>

#include "audio/player.h"

namespace sonora {
namespace audio {

class RingQueue;

int32_t OH_AudioRenderer_OnWriteData_func(OH_AudioRenderer* renderer, void* userData, void* buffer,
                                          int32_t length);
int32_t OH_AudioRenderer_OnStreamEvent_func(OH_AudioRenderer* renderer, void* userData,
                                            OH_AudioStream_Event event);
int32_t OH_AudioRenderer_OnInterruptEvent_func(OH_AudioRenderer* renderer, void* userData,
                                               OH_AudioInterrupt_ForceType type,
                                               OH_AudioInterrupt_Hint hint);
int32_t OH_AudioRenderer_OnError_func(OH_AudioRenderer* renderer, void* userData,
                                      OH_AudioStream_Result error);

class OhosPlayer : public Player {
 public:
  OhosPlayer();
  ~OhosPlayer() override;

  static bool init();
  static bool deinit();

  // Starts the base player and the renderer; reports the outcome as kArg1AudioPlayerStart and
  // returns it (false when the base refused or the renderer did not start).
  bool start(const Body* player) override;
  // Stops and releases the renderer (no callback runs after that), then stops the base player.
  bool stop() override;
  // Renderer control only: the base flags and queue are untouched.
  bool pause() override;
  bool resume() override;

 private:
  friend int32_t OH_AudioRenderer_OnWriteData_func(OH_AudioRenderer* renderer, void* userData,
                                                   void* buffer, int32_t length);

  Suit* suit_;
  RingQueue* ring_queue_;
  OH_AudioStreamBuilder* builder;
  OH_AudioRenderer_Callbacks callbacks;
  OH_AudioRenderer* audioRenderer;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_OHOS_PLAYER_H
