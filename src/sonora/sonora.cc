#include "sonora/sonora.h"

#include "sonora/body.h"

namespace sonora {

const char* Sonora::version() {
  return Body::version();
}
bool Sonora::init(const char* debug_path) {
  return Body::init(debug_path);
}
bool Sonora::deinit() {
  return Body::deinit();
}
void Sonora::gen_sound_config(const char* config, int times) {
  Body::gen_sound_config(config, times);
}
void Sonora::gen_sound_config2(const char* data, int times) {
  Body::gen_sound_config2(data, times);
}
void Sonora::stop_sound_config() {
  Body::stop_sound_config();
}

Sonora::Sonora(const PlaySuit* suit, utils::Handler* handler)
    : body_(new Body(this, suit, handler)) {}

Sonora::~Sonora() {
  delete body_;
  body_ = nullptr;
}

bool Sonora::enable_audio(bool enable) {
  return body_->enable_audio(enable);
}
bool Sonora::audio_working() {
  return body_->audio_working();
}
size_t Sonora::audio_left() {
  return body_->audio_left();
}
bool Sonora::append_audio_data(const byte* data, size_t size, const TSSuit* ts) {
  return body_->append_audio_data(data, size, ts);
}
bool Sonora::pause() {
  return body_->pause();
}
bool Sonora::resume() {
  return body_->resume();
}
void Sonora::flush() {
  body_->flush();
}
bool Sonora::add_mute_delay_blocked(unsigned int ms) {
  return body_->add_mute_delay_blocked(ms);
}
void Sonora::clean_buffer() {
  body_->clean_buffer();
}
bool Sonora::adjust_track_volume(float gain) {
  return body_->adjust_track_volume(gain);
}
bool Sonora::start_record_audio(fetch_cb callback, int audioRecordSource) {
  return body_->start_record_audio(callback, audioRecordSource);
}
bool Sonora::stop_record_audio() {
  return body_->stop_record_audio();
}
bool Sonora::adjust_capture_volume(float gain) {
  return body_->adjust_capture_volume(gain);
}
bool Sonora::adjust_capture_volume_type(int gain_type) {
  return body_->adjust_capture_volume_type(gain_type);
}
const audio::AecStatus* Sonora::get_aec_status() {
  return body_->get_aec_status();
}

bool Sonora::use_echo_canceller(EchoCanceller canceller) {
  return body_->use_echo_canceller(canceller);
}

uint64_t Sonora::capture_dropped() {
  return body_->capture_dropped();
}
bool Sonora::enable_video(bool enable) {
  return body_->enable_video(enable);
}
bool Sonora::video_working() {
  return body_->video_working();
}
size_t Sonora::video_left() {
  return 0;
}
bool Sonora::append_video_data(const byte* data, size_t size, FrameType type, const TSSuit* ts) {
  return body_->append_video_data(data, size, type, ts);
}
bool Sonora::start_record_to_mp4(const char* path) {
  return body_->start_record_to_mp4(path);
}
bool Sonora::stop_record_to_mp4() {
  return body_->stop_record_to_mp4();
}
bool Sonora::try_fast_forward() {
  return body_->try_fast_forward();
}
bool Sonora::request_pure_color(const video::Color* color) {
  return body_->request_pure_color(color);
}
bool Sonora::screenshot(const char* path, bool thumb) {
  return body_->screenshot(path, thumb);
}

}  // namespace sonora
