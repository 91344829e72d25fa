#include "audio/recorder.h"

namespace sonora {
namespace audio {

Recorder::Recorder() : gain_type_(0), gain_(1.0f), is_working_(false), mutex_(new pthread_mutex_t) {
  pthread_mutex_init(mutex_, nullptr);
}

Recorder::~Recorder() {
  pthread_mutex_destroy(mutex_);
  delete mutex_;
  mutex_ = nullptr;
}

bool Recorder::is_working() {
  pthread_mutex_lock(mutex_);
  bool working = is_working_;
  pthread_mutex_unlock(mutex_);
  return working;
}

bool Recorder::set_work(bool working) {
  pthread_mutex_lock(mutex_);
  is_working_ = working;
  pthread_mutex_unlock(mutex_);
  return true;
}

void Recorder::set_volume(float gain) {
  pthread_mutex_lock(mutex_);
  gain_ = gain;
  pthread_mutex_unlock(mutex_);
}

void Recorder::set_volume_type(int gain_type) {
  pthread_mutex_lock(mutex_);
  gain_type_ = gain_type;
  pthread_mutex_unlock(mutex_);
}

float Recorder::volume() {
  pthread_mutex_lock(mutex_);
  float gain = gain_;
  pthread_mutex_unlock(mutex_);
  return gain;
}

int Recorder::volume_type() {
  pthread_mutex_lock(mutex_);
  int type = gain_type_;
  pthread_mutex_unlock(mutex_);
  return type;
}

}  // namespace audio
}  // namespace sonora
