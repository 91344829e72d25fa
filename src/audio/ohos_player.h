// Playback through the platform audio renderer. start() starts the base player, then builds and
// starts a renderer stream shaped by the audio suit. The renderer pulls requests of the platform's
// choosing (one block's duration is asked for, but a device clamps it to 20 .. 100 ms or picks its
// own) through the write-data callback on its own thread; the callback fills each from the queue
// across block boundaries.
#ifndef AUDIO_OHOS_PLAYER_H
#define AUDIO_OHOS_PLAYER_H

#include <ohaudio/native_audiorenderer.h>
#include <ohaudio/native_audiostreambuilder.h>

#include "audio/player.h"

namespace sonora {
namespace audio {

class RingQueue;

// The renderer's callbacks, on the platform's threads, with the player as userData.
//
// Write-data: fills the whole request (any length) from the queue, silence where it ran dry.
//   May: take the player's render mutex (against clean and stop), its flag mutex, the pool's and
//   the queue's own locks, and the echo canceller's far-end queue and pool locks; post to the
//   handler (Handler::send never blocks or allocates). May not: allocate, log, sleep, wait on the
//   queue, or take the body's locks. Returns 0, or -1 while an auto-stop playback is stopping or
//   without a player (the platform ignores it).
// Interrupt and error: report to the handler; a FORCE stop or a fatal error ends the player
//   (its flag mutex and the mute-delay wait mutex, briefly). Same may-not list.
// Stream event (routing change): nothing.
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
  // returns it. False when the base refused the suit, when the stream builder refused one of the
  // suit's values (logged by name) or when the renderer did not start; the player is then not
  // working, holds no platform handle, and may be started again.
  bool start(const Body* player) override;
  // Stops and releases the renderer (no callback runs after that), then stops the base player.
  bool stop() override;
  // Renderer control only: the base flags and queue are untouched.
  bool pause() override;
  bool resume() override;

 private:
  friend int32_t OH_AudioRenderer_OnWriteData_func(OH_AudioRenderer* renderer, void* userData,
                                                   void* buffer, int32_t length);
  friend int32_t OH_AudioRenderer_OnInterruptEvent_func(OH_AudioRenderer* renderer, void* userData,
                                                        OH_AudioInterrupt_ForceType type,
                                                        OH_AudioInterrupt_Hint hint);
  friend int32_t OH_AudioRenderer_OnError_func(OH_AudioRenderer* renderer, void* userData,
                                               OH_AudioStream_Result error);

  // Builds and starts the renderer for the body's suit; false at the first refused call (logged).
  bool open_renderer(const Body* body);
  // Stops and releases the renderer and destroys the builder, whichever exist.
  void release_renderer();

  [[maybe_unused]] Suit* suit_;
  [[maybe_unused]] RingQueue* ring_queue_;
  OH_AudioStreamBuilder* builder;
  OH_AudioRenderer_Callbacks callbacks;
  OH_AudioRenderer* audioRenderer;
  // Serialises renderer control (pause, resume, release) between application threads.
  pthread_mutex_t control_mutex_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_OHOS_PLAYER_H
