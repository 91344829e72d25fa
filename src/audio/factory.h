// The one place that names the concrete audio components, and the holder of what the audio layer
// shares process-wide: the singleton factory, its one recorder and the debug path.
#ifndef AUDIO_FACTORY_H
#define AUDIO_FACTORY_H

#include "sonora/types.h"

namespace sonora {
namespace audio {

class AEC;
class NS;
class Player;
class Recorder;

class Factory {
 public:
  // The process-wide factory, created by the first call (which keeps `debug_path`, cut to 2047
  // characters); null only when a platform binding cannot initialise.
  static Factory* instance(const char* debug_path);
  // Destroys the factory and its recorder.
  static void destroy();
  static const char* get_debug_path();

  static NS* gen_ns(const Suit* suit);
  // The canceller of `kind` for `suit` (inert when it cannot serve the suit); null for a kind
  // this build does not have.
  static AEC* gen_aec(const Suit* suit, EchoCanceller kind = kEchoCancellerMobile);
  static Player* gen_player();

  // The process's one recorder, made by the first call and shared by every player instance.
  Recorder* get_recorder(int audioRecordSource);

  Factory(const Factory&) = delete;
  Factory& operator=(const Factory&) = delete;

 private:
  Factory();
  ~Factory();

  Recorder* recorder_;

  static char s_debug_path[2048];
  static Factory* s_audio_factory;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_FACTORY_H
