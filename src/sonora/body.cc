#include "sonora/body.h"

#include "audio/aec.h"
#include "audio/factory.h"
#include "audio/player.h"
#include "audio/recorder.h"
#include "utils/log.h"

namespace sonora {

const char* const kSonoraVersion = "[sonora-2017-2-4-ridge-Debug]";

const char* Body::version() {
  return kSonoraVersion;
}

bool Body::init(const char* debug_path) {
  SLOG("Sonora init: %s, path:%s\n", kSonoraVersion, debug_path != nullptr ? debug_path : "");
  return audio::Factory::instance(debug_path) != nullptr;
}

bool Body::deinit() {
  audio::Factory::destroy();
  return true;
}

Body::Body(Sonora* parent, const PlaySuit* suit, Handler* handler)
    : parent_(parent),
      suit_(nullptr),
      handler_(handler),
      aec_(nullptr),
      audio_player_(nullptr),
      audio_recorder_(nullptr),
      is_audio_recording_(false),
      is_recording_to_mp4_(false),
      try_fast_forward_(false),
      try_take_screenshot_(false),
      state_mutex_(new pthread_mutex_t) {
  if (suit != nullptr) {
    suit_ = new PlaySuit(suit->window(), suit->type(), suit->audio(), suit->video());
  } else {
    // Without a play suit nothing can play or capture; keep an empty one so that every call
    // refuses cleanly instead of dereferencing null.
    SLOG("Body: no play suit, playback and capture will refuse to start\n");
    suit_ = new PlaySuit(0, kPTypeByFile, nullptr, nullptr);
  }
  // The canceller copes with a missing audio suit: it is then inert.
  aec_ = audio::Factory::gen_aec(suit_->audio());
  pthread_mutex_init(state_mutex_, nullptr);
}

Body::~Body() {
  stop_record_audio();
  stop_record_to_mp4();
  enable_audio(false);
  enable_video(false);
  if (audio_player_ != nullptr) {
    delete audio_player_;
    audio_player_ = nullptr;
  }
  delete aec_;
  aec_ = nullptr;
  pthread_mutex_destroy(state_mutex_);
  delete state_mutex_;
  state_mutex_ = nullptr;
  delete suit_;
  suit_ = nullptr;
  parent_ = nullptr;
}

bool Body::enable_audio(bool enable) {
  SLOG("Body::enable_audio, enable:%d, audio_working:%d, audio_player_:%p", enable ? 1 : 0,
       audio_working() ? 1 : 0, static_cast<void*>(audio_player_));
  bool result = false;
  if (audio_working() == enable) return false;
  if (enable) {
    if (audio_player_ == nullptr) audio_player_ = audio::Factory::gen_player();
    if (audio_player_ != nullptr) result = audio_player_->start(this);
  } else {
    result = audio_player_->stop();
    delete audio_player_;
    audio_player_ = nullptr;
  }
  return result;
}

bool Body::audio_working() {
  return audio_player_ != nullptr && audio_player_->is_working();
}

size_t Body::audio_left() {
  return audio_player_ != nullptr ? audio_player_->left() : 0;
}

bool Body::append_audio_data(const byte* data, size_t size, const TSSuit* ts) {
  if (!audio_working() || is_paused()) return false;
  return audio_player_->append(data, size, ts);
}

bool Body::pause() {
  return audio_working() ? audio_player_->pause() : false;
}

bool Body::resume() {
  return audio_working() ? audio_player_->resume() : false;
}

void Body::flush() {
  if (audio_working()) audio_player_->flush();
}

bool Body::is_paused() {
  return !audio_working() || audio_player_->is_paused();
}

bool Body::add_mute_delay_blocked(unsigned int ms) {
  if (!audio_working() || is_paused()) return false;
  audio_player_->mute_delay(ms);
  return true;
}

void Body::clean_buffer() {
  if (audio_player_ != nullptr) audio_player_->clean();
}

bool Body::adjust_track_volume(float gain) {
  return audio_player_ != nullptr ? audio_player_->set_volume(gain) : false;
}

bool Body::start_record_audio(fetch_cb callback, int audioRecordSource) {
  audio::Factory* factory = audio::Factory::instance(nullptr);
  if (factory == nullptr) return false;
  audio_recorder_ = factory->get_recorder(audioRecordSource);
  if (audio_recorder_ == nullptr) return false;
  if (audio_recorder_->is_working()) return false;
  if (!audio_recorder_->start(this, callback, audioRecordSource)) return false;
  is_audio_recording_ = true;
  return true;
}

bool Body::stop_record_audio() {
  if (audio_recorder_ == nullptr || !audio_recorder_->is_working()) return false;
  bool result = audio_recorder_->stop();
  if (result) is_audio_recording_ = false;
  return result;
}

bool Body::adjust_capture_volume(float gain) {
  if (audio_recorder_ == nullptr || !is_audio_recording_ || !audio_recorder_->is_working()) {
    return false;
  }
  audio_recorder_->set_volume(gain);
  return true;
}

bool Body::adjust_capture_volume_type(int gain_type) {
  if (audio_recorder_ == nullptr || !is_audio_recording_ || !audio_recorder_->is_working()) {
    return false;
  }
  audio_recorder_->set_volume_type(gain_type);
  return true;
}

const audio::AecStatus* Body::get_aec_status() {
  return aec_ != nullptr ? aec_->get_status() : nullptr;
}

void Body::report(Arg1 arg1, Arg2 arg2, void* obj) const {
  if (handler_ != nullptr && suit_ != nullptr) {
    handler_->send(suit_->window(), static_cast<int>(arg1), static_cast<int>(arg2), obj);
  }
}

bool Body::enable_video(bool enable) {
  return enable;
}
bool Body::video_working() {
  return false;
}
size_t Body::video_left() {
  return 0;
}
bool Body::append_video_data(const byte*, size_t, FrameType, const TSSuit*) {
  return false;
}
bool Body::start_record_to_mp4(const char*) {
  return false;
}
bool Body::stop_record_to_mp4() {
  return false;
}
bool Body::try_fast_forward() {
  return false;
}
bool Body::request_pure_color(const video::Color*) {
  return false;
}
bool Body::screenshot(const char*, bool) {
  return false;
}

// The sound-wave configuration calls need the two tone encoders, which this build does not have
// yet: they log and return at once without playing anything.
void Body::gen_sound_config(const char*, int) {
  SLOG("gen_sound_config: sound-wave configuration is not available in this build\n");
}
void Body::gen_sound_config2(const char*, int) {
  SLOG("gen_sound_config2: sound-wave configuration is not available in this build\n");
}
void Body::stop_sound_config() {}

}  // namespace sonora
