#include "audio/factory.h"

#include <cstring>

#include "audio/full_band_aec.h"
#include "audio/ohos_player.h"
#include "audio/ohos_recorder.h"
#include "audio/webrtc_aec.h"
#include "audio/webrtc_ns.h"
#include "utils/log.h"

namespace sonora {
namespace audio {

char Factory::s_debug_path[2048] = {0};
Factory* Factory::s_audio_factory = nullptr;

Factory::Factory() : recorder_(nullptr) {}

Factory::~Factory() {
  delete recorder_;
  recorder_ = nullptr;
}

Factory* Factory::instance(const char* debug_path) {
  if (s_audio_factory != nullptr) return s_audio_factory;
  if (debug_path != nullptr) {
    size_t n = std::strlen(debug_path);
    if (n >= sizeof(s_debug_path)) {
      SLOG("Factory: debug path of %zu characters cut to %zu\n", n, sizeof(s_debug_path) - 1);
      n = sizeof(s_debug_path) - 1;
    }
    std::memcpy(s_debug_path, debug_path, n);
    s_debug_path[n] = '\0';
  } else {
    s_debug_path[0] = '\0';
  }
  const bool player_ready = OhosPlayer::init();
  const bool recorder_ready = OhosRecorder::init();
  if (player_ready && recorder_ready) s_audio_factory = new Factory();
  return s_audio_factory;
}

void Factory::destroy() {
  if (s_audio_factory != nullptr) {
    delete s_audio_factory;
    s_audio_factory = nullptr;
  }
  OhosPlayer::deinit();
  OhosRecorder::deinit();
}

const char* Factory::get_debug_path() {
  return s_debug_path;
}

NS* Factory::gen_ns(const Suit* suit) {
  return new WebRtcNS(suit);
}

AEC* Factory::gen_aec(const Suit* suit, EchoCanceller kind) {
  switch (kind) {
    case kEchoCancellerMobile:
      return new WebRtcAEC(suit);
    case kEchoCancellerFull:
      return FullBandAEC::make(suit);
  }
  return nullptr;
}

Player* Factory::gen_player() {
  Player* player = new OhosPlayer();
  SLOG("Factory::gen_player, player:%p", static_cast<void*>(player));
  return player;
}

Recorder* Factory::get_recorder(int) {
  if (recorder_ == nullptr) {
    recorder_ = new OhosRecorder();
    SLOG("Factory::gen_recorder, recorder:%p", static_cast<void*>(recorder_));
  }
  return recorder_;
}

}  // namespace audio
}  // namespace sonora
