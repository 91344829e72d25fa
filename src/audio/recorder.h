// Capture half of the audio layer: the process-wide recorder that the factory hands out. Only its
// interface towards the body lives here; the platform capturer builds on it.
#ifndef AUDIO_RECORDER_H
#define AUDIO_RECORDER_H

#include <pthread.h>

#include "sonora/types.h"

namespace sonora {

class Body;

namespace audio {

class Recorder {
 public:
  Recorder();
  virtual ~Recorder();

  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Starts capture delivering processed blocks to `cb`; true when capture runs.
  virtual bool start(const Body* parent, fetch_cb cb, int audioRecordSource) = 0;
  // Ends capture and its processing before returning.
  virtual bool stop() = 0;

  bool is_working();
  void set_volume(float gain);
  void set_volume_type(int gain_type);
  float volume();
  int volume_type();

 protected:
  bool set_work(bool working);

  int gain_type_;
  float gain_;
  bool is_working_;
  pthread_mutex_t* mutex_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_RECORDER_H
