#include "sonora/body.h"

#include "sonora/sonora.h"

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "audio/aec.h"
#include "audio/factory.h"
#include "audio/player.h"
#include "audio/recorder.h"
#include "transmit/transmit.h"
#include "utils/commons.h"
#include "utils/kx_agc.h"
#include "utils/voiceenc.h"
#include "utils/log.h"

namespace sonora {

const char* const kSonoraVersion = "[sonora-2017-2-4-ridge-Debug]";

const char* Body::version() {
  return kSonoraVersion;
}

namespace {

// Capture uses the process's one recorder: starting and stopping it is serialised across every
// player instance, so two instances cannot both find it idle and start it. Under the same mutex:
// the instance that captures now, if any (init and deinit wait for none).
pthread_mutex_t g_capture_mutex = PTHREAD_MUTEX_INITIALIZER;
Body* g_capture_owner = nullptr;
// Player instances alive (the sound configuration's own included): deinit waits for none, since
// their renderers reach the recorder that deinit destroys.
std::atomic<int> g_instances{0};

// Holds a mutex for the scope.
class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~MutexLock() { pthread_mutex_unlock(mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace

// A capture that the platform ended (the system stopped the capturer, or it failed for good) is
// released here: its thread joined, its capturer and buffers freed, its instance no longer
// capturing. g_capture_mutex held.
void Body::release_ended_capture() {
  Body* owner = g_capture_owner;
  if (owner == nullptr) return;
  audio::Recorder* recorder = owner->audio_recorder_.load();
  if (recorder != nullptr && recorder->ended_by_platform()) owner->stop_record_audio_locked();
}

namespace {

// Guards opening and closing the process's gain control; taken after g_capture_mutex.
pthread_mutex_t g_agc_mutex = PTHREAD_MUTEX_INITIALIZER;

// Opens and sets up the process's gain control with the engine's defaults. g_agc_mutex held.
void open_gain_control() {
  kx_agc_open();
  kx_agc_set_config(15);
  AGC_INFO_PARAM info;
  info.enable = 1;
  info.sampling_rate = 8000;
  info.channel_count = 1;
  info.gain = 24;
  kx_agc_init(&info);
}

// Takes a lock the way a caller may: an application thread waits for it; a fetch_cb only tries,
// since the thread that holds it may be a stop waiting for this very callback to return.
class CallerLock {
 public:
  CallerLock(pthread_mutex_t* mutex, const char* call) : mutex_(mutex) {
    if (!audio::Recorder::in_fetch_callback()) {
      pthread_mutex_lock(mutex_);
      held_ = true;
    } else if (pthread_mutex_trylock(mutex_) == 0) {
      held_ = true;
    } else {
      SLOG(
          "%s refused: called from fetch_cb while capture or playback is being started or "
          "stopped on another thread\n",
          call);
    }
  }
  ~CallerLock() {
    if (held_) pthread_mutex_unlock(mutex_);
  }
  CallerLock(const CallerLock&) = delete;
  CallerLock& operator=(const CallerLock&) = delete;
  bool held() const { return held_; }

 private:
  pthread_mutex_t* mutex_;
  bool held_ = false;
};

// The automatic gain control's maximum gain, in dB, that adjust_capture_volume accepts.
constexpr float kMaxAgcGainDb = 60.0f;

}  // namespace

bool Body::init(const char* debug_path) {
  CallerLock capture(&g_capture_mutex, "Sonora init");
  if (!capture.held()) return false;
  release_ended_capture();
  // The gain control is re-initialised here; the processing thread of a running capture uses it.
  if (g_capture_owner != nullptr) {
    SLOG("Sonora init refused: capture is running; stop it first\n");
    return false;
  }
  SLOG("Sonora init: %s, path:%s\n", kSonoraVersion, debug_path != nullptr ? debug_path : "");
  const bool result = audio::Factory::instance(debug_path) != nullptr;
  MutexLock agc(&g_agc_mutex);
  open_gain_control();
  return result;
}

bool Body::deinit() {
  CallerLock capture(&g_capture_mutex, "Sonora deinit");
  if (!capture.held()) return false;
  release_ended_capture();
  // The factory owns the recorder that a running capture uses.
  if (g_capture_owner != nullptr) {
    SLOG("Sonora deinit refused: capture is running; stop it first\n");
    return false;
  }
  const int instances = g_instances.load();
  if (instances > 0) {
    SLOG("Sonora deinit refused: %d player instances exist; destroy them first\n", instances);
    return false;
  }
  audio::Factory::destroy();
  MutexLock agc(&g_agc_mutex);
  kx_agc_deinit();
  return true;
}

namespace {

// Holds a lock for the scope.
class ReadLock {
 public:
  explicit ReadLock(pthread_rwlock_t* lock) : lock_(lock) { pthread_rwlock_rdlock(lock_); }
  ~ReadLock() { pthread_rwlock_unlock(lock_); }
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;

 private:
  pthread_rwlock_t* lock_;
};

class WriteLock {
 public:
  explicit WriteLock(pthread_rwlock_t* lock) : lock_(lock) { pthread_rwlock_wrlock(lock_); }
  ~WriteLock() { pthread_rwlock_unlock(lock_); }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  pthread_rwlock_t* lock_;
};

}  // namespace

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
  pthread_mutex_init(&control_mutex_, nullptr);
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&player_lock_, &attr);
  pthread_rwlockattr_destroy(&attr);
  g_instances.fetch_add(1);
}

Body::~Body() {
  {
    MutexLock control(&control_mutex_);
    {
      MutexLock capture(&g_capture_mutex);
      stop_record_audio_locked();
    }
    stop_record_to_mp4();
    enable_audio_locked(false);
    enable_video(false);
  }
  delete audio_player_;  // one that never worked
  audio_player_ = nullptr;
  delete aec_;
  aec_ = nullptr;
  pthread_rwlock_destroy(&player_lock_);
  pthread_mutex_destroy(&control_mutex_);
  pthread_mutex_destroy(state_mutex_);
  delete state_mutex_;
  state_mutex_ = nullptr;
  delete suit_;
  suit_ = nullptr;
  parent_ = nullptr;
  g_instances.fetch_sub(1);
}

bool Body::enable_audio(bool enable) {
  CallerLock control(&control_mutex_, "enable_audio");
  return control.held() && enable_audio_locked(enable);
}

bool Body::enable_audio_locked(bool enable) {
  bool working;
  bool ended;
  {
    ReadLock lock(&player_lock_);
    working = audio_working_locked();
    ended = audio_player_ != nullptr && audio_player_->ended_by_platform();
  }
  SLOG("Body::enable_audio, enable:%d, audio_working:%d, audio_player_:%p", enable ? 1 : 0,
       working ? 1 : 0, static_cast<void*>(audio_player_));
  // A playback that the platform ended is released by either call: disabling it succeeds, and
  // enabling starts a new one.
  if (working == enable && !ended) return false;
  bool result = false;
  if (!working && ended) {
    WriteLock lock(&player_lock_);
    result = audio_player_->stop();
    delete audio_player_;
    audio_player_ = nullptr;
    if (!enable) return result;
  }
  if (enable) {
    WriteLock lock(&player_lock_);
    if (audio_player_ == nullptr) audio_player_ = audio::Factory::gen_player();
    if (audio_player_ != nullptr) result = audio_player_->start(this);
    if (!result) {
      // A failed start leaves nothing behind: the next enable_audio(true) starts afresh.
      delete audio_player_;
      audio_player_ = nullptr;
    }
  } else {
    // A mute delay in progress ends now; the calls in flight finish before the player goes.
    audio_player_->cancel_waits();
    WriteLock lock(&player_lock_);
    result = audio_player_->stop();
    delete audio_player_;
    audio_player_ = nullptr;
  }
  return result;
}

bool Body::audio_working_locked() {
  return audio_player_ != nullptr && audio_player_->is_working();
}

bool Body::is_paused_locked() {
  return !audio_working_locked() || audio_player_->is_paused();
}

bool Body::audio_working() {
  ReadLock lock(&player_lock_);
  return audio_working_locked();
}

size_t Body::audio_left() {
  ReadLock lock(&player_lock_);
  return audio_player_ != nullptr ? audio_player_->left() : 0;
}

bool Body::append_audio_data(const byte* data, size_t size, const TSSuit* ts) {
  ReadLock lock(&player_lock_);
  if (audio_player_ != nullptr && audio_player_->ended_by_platform()) {
    SLOG("append refused: the system stopped playback; enable_audio(true) starts it again\n");
    return false;
  }
  if (is_paused_locked()) return false;
  return audio_player_->append(data, size, ts);
}

bool Body::pause() {
  ReadLock lock(&player_lock_);
  return audio_working_locked() ? audio_player_->pause() : false;
}

bool Body::resume() {
  ReadLock lock(&player_lock_);
  return audio_working_locked() ? audio_player_->resume() : false;
}

void Body::flush() {
  ReadLock lock(&player_lock_);
  if (audio_working_locked()) audio_player_->flush();
}

bool Body::is_paused() {
  ReadLock lock(&player_lock_);
  return is_paused_locked();
}

bool Body::add_mute_delay_blocked(unsigned int ms) {
  ReadLock lock(&player_lock_);
  if (is_paused_locked()) return false;
  audio_player_->mute_delay(ms);
  return true;
}

void Body::clean_buffer() {
  ReadLock lock(&player_lock_);
  if (audio_player_ != nullptr) audio_player_->clean();
}

bool Body::adjust_track_volume(float gain) {
  ReadLock lock(&player_lock_);
  return audio_player_ != nullptr ? audio_player_->set_volume(gain) : false;
}

bool Body::start_record_audio(fetch_cb callback, int audioRecordSource) {
  // The process has one capture, and fetch_cb runs inside it: a new one starts from another
  // thread once this one has ended.
  if (audio::Recorder::in_fetch_callback()) {
    SLOG("start_record_audio refused: called from fetch_cb; start capture from another thread\n");
    return false;
  }
  MutexLock control(&control_mutex_);
  MutexLock capture(&g_capture_mutex);
  audio::Factory* factory = audio::Factory::instance(nullptr);
  if (factory == nullptr) return false;
  audio::Recorder* recorder = factory->get_recorder(audioRecordSource);
  release_ended_capture();
  // Another instance's capture: the recorder it uses stays in its hands.
  if (g_capture_owner != nullptr && g_capture_owner != this) return false;
  audio_recorder_.store(recorder);
  if (recorder == nullptr) return false;
  if (recorder->is_working()) return false;
  if (!recorder->start(this, callback, audioRecordSource)) return false;
  is_audio_recording_.store(true);
  g_capture_owner = this;
  return true;
}

bool Body::stop_record_audio() {
  // An instance that is not capturing has nothing to stop (the recorder it last used may be
  // another instance's now, or gone after deinit).
  if (!is_audio_recording_.load()) return false;
  CallerLock control(&control_mutex_, "stop_record_audio");
  if (!control.held()) return false;
  CallerLock capture(&g_capture_mutex, "stop_record_audio");
  return capture.held() && stop_record_audio_locked();
}

bool Body::stop_record_audio_locked() {
  if (!is_audio_recording_.load()) return false;
  audio::Recorder* recorder = audio_recorder_.load();
  // A run the platform ended is released like a running one (its thread is joined here).
  const bool result = recorder != nullptr &&
                      (recorder->is_working() || recorder->ended_by_platform()) && recorder->stop();
  // Once the recorder is idle (stopped here, or never running) this instance captures no more.
  if (recorder == nullptr || !recorder->is_working()) {
    is_audio_recording_.store(false);
    if (g_capture_owner == this) g_capture_owner = nullptr;
  }
  return result;
}

// Capture gain applies to 16-bit samples only; with the automatic gain control (type 4) the gain
// is its maximum gain in dB, 0 .. kMaxAgcGainDb.
bool Body::capture_gain_accepted(int gain_type, float gain) const {
  const audio::Suit* suit = suit_ != nullptr ? suit_->audio() : nullptr;
  if (suit == nullptr || suit->bit_per_channel != 16) {
    SLOG("capture gain refused: the gain chain takes 16-bit samples, the suit has %d bits\n",
         suit != nullptr ? suit->bit_per_channel : 0);
    return false;
  }
  if (gain_type == 4 && !(gain >= 0.0f && gain <= kMaxAgcGainDb)) {
    SLOG(
        "capture gain refused: the automatic gain control's maximum gain %g dB is outside 0 .. "
        "%g dB\n",
        static_cast<double>(gain), static_cast<double>(kMaxAgcGainDb));
    return false;
  }
  return true;
}

bool Body::adjust_capture_volume(float gain) {
  if (!std::isfinite(gain)) {
    SLOG("Body::adjust_capture_volume refused: gain is not a finite number\n");
    return false;
  }
  audio::Recorder* recorder = audio_recorder_.load();
  if (recorder == nullptr || !is_audio_recording_.load() || !recorder->is_working()) {
    return false;
  }
  if (!capture_gain_accepted(recorder->volume_type(), gain)) return false;
  recorder->set_volume(gain);
  return true;
}

bool Body::adjust_capture_volume_type(int gain_type) {
  audio::Recorder* recorder = audio_recorder_.load();
  if (recorder == nullptr || !is_audio_recording_.load() || !recorder->is_working()) {
    return false;
  }
  if (!capture_gain_accepted(gain_type, recorder->volume())) return false;
  if (gain_type == 4) {
    // The gain control opens on first use when init was not called (deinit closes it). Not under
    // the capture mutex: a stop holds it while it waits for the thread that may be calling this.
    MutexLock agc(&g_agc_mutex);
    if (!kx_agc_internal::opened()) open_gain_control();
  }
  recorder->set_volume_type(gain_type);
  return true;
}

// No lock: fetch_cb may ask while a stop holds the capture mutex and waits for it.
uint64_t Body::capture_dropped() {
  audio::Recorder* recorder = audio_recorder_.load();
  return recorder != nullptr ? recorder->dropped_in_run() : 0;
}

bool Body::use_echo_canceller(EchoCanceller canceller) {
  CallerLock control(&control_mutex_, "use_echo_canceller");
  if (!control.held()) return false;
  MutexLock capture(&g_capture_mutex);
  release_ended_capture();
  if (audio_working_locked() || is_audio_recording_.load()) {
    SLOG("use_echo_canceller refused: playback or capture is running; stop them first\n");
    return false;
  }
  audio::AEC* next = audio::Factory::gen_aec(suit_->audio(), canceller);
  if (next == nullptr || !next->is_working()) {
    SLOG("use_echo_canceller refused: canceller %u %s\n", static_cast<unsigned>(canceller),
         next == nullptr ? "does not exist in this build" : "cannot serve this instance's suit");
    delete next;
    return false;
  }
  delete aec_;
  aec_ = next;
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

// Sound-wave configuration. One call runs at a time; a call made while another runs waits for its
// turn. Every stop request is counted: a call ends (or never starts) once a stop was requested
// after it began, so a stop made while a call is still starting is never lost. g_sound_configing
// is true while the running call has not been stopped; the paced waits look at it.
std::atomic<bool> g_sound_configing{false};
std::atomic<Sonora*> g_player{nullptr};

namespace {

std::mutex g_config_mutex;
std::condition_variable g_config_changed;
bool g_config_running = false;            // guarded by g_config_mutex
std::atomic<uint64_t> g_config_stops{0};  // stop requests so far; written under g_config_mutex

// How long the calls wait for the temporary player to take more audio, between tries.
const size_t kRetryMs = 40;

// A call's hold on the speaker: waits until no other call runs, unless a stop comes first.
class ConfigTurn {
 public:
  ConfigTurn() : stops_(g_config_stops.load()) {
    std::unique_lock<std::mutex> lock(g_config_mutex);
    g_config_changed.wait(lock, [this] { return !g_config_running || stopped(); });
    if (stopped()) return;
    g_config_running = true;
    g_sound_configing.store(true);
    granted_ = true;
  }
  ~ConfigTurn() {
    if (!granted_) return;
    {
      std::lock_guard<std::mutex> lock(g_config_mutex);
      g_config_running = false;
      g_sound_configing.store(false);
    }
    g_config_changed.notify_all();
  }
  ConfigTurn(const ConfigTurn&) = delete;
  ConfigTurn& operator=(const ConfigTurn&) = delete;

  // The call may play: it holds the speaker and no stop came since it began.
  bool granted() const { return granted_; }
  bool stopped() const { return g_config_stops.load() != stops_; }

 private:
  const uint64_t stops_;
  bool granted_ = false;
};

bool playback_ended(Sonora* player) {
  return Body::of(player)->playback_ended();
}

// Appends `size` bytes to the temporary player, waiting while its backlog is full, so that every
// code is played. false, the bytes dropped, once a stop was requested or the player can take no
// more (it stopped working, or its auto-stop playback has played out).
bool append_paced(Sonora* player, const void* data, size_t size) {
  for (;;) {
    if (!g_sound_configing.load() || playback_ended(player)) return false;
    if (player->append_audio_data(static_cast<const byte*>(data), size, nullptr)) return true;
    for (size_t slept = 0; slept < kRetryMs && g_sound_configing.load(); slept += 10) msleep(10);
  }
}

// Waits until the temporary player has played what is queued, unless stopped or ended.
void drain(Sonora* player) {
  while (g_sound_configing.load() && player->audio_left() != 0 && !playback_ended(player)) {
    msleep(1);
  }
}

// Sleeps `ms`, ending early when a stop is requested.
void sleep_unless_stopped(size_t ms) {
  for (size_t slept = 0; slept < ms && g_sound_configing.load(); slept += 10) msleep(10);
}

audio::Suit config_suit(int rate, size_t block) {
  audio::Suit audio;
  std::memset(&audio, 0, sizeof(audio));
  audio.type = audio::kTypeRawPCM;
  audio.sample_rate = rate;
  audio.channel_per_frame = 1;
  audio.bit_per_channel = 16;
  audio.block = block;
  audio.buffer_frame_count = 50;
  audio.max_cache_delay_in_second = 1;
  audio.append_jump_shreshold_size = 50;
  return audio;
}

// Refuses (one log line) what cannot be sent.
bool config_accepted(const char* call, const char* text, int times) {
  if (text == nullptr) {
    SLOG("%s refused: no text\n", call);
    return false;
  }
  if (times <= 0) {
    SLOG("%s refused: times %d, nothing to send\n", call, times);
    return false;
  }
  return true;
}

}  // namespace

Body* Body::of(Sonora* facade) {
  return facade->body_;
}

bool Body::playback_ended() {
  ReadLock lock(&player_lock_);
  return !audio_working_locked() || audio_player_->is_stopping();
}

void fetching(const void* data, size_t size) {
  Sonora* player = g_player.load();
  if (player == nullptr || !player->audio_working()) {
    SLOG("g_player is nil or not working!");
    return;
  }
  append_paced(player, data, size);
}

void Body::gen_sound_config(const char* config, int times) {
  if (!config_accepted("gen_sound_config", config, times)) return;
  ConfigTurn turn;
  if (!turn.granted()) return;
  audio::Suit audio = config_suit(44100, 1764);
  PlaySuit* suit = new PlaySuit(999, kPTypeAutoStop, &audio, nullptr);
  Sonora* player = new Sonora(suit, nullptr);
  g_player.store(player);
  player->resume();
  player->enable_audio(true);
  for (int i = 0; i < times; ++i) {
    if (encode(config, fetching) != 0 || !g_sound_configing.load()) break;
  }
  // Silence frames are half a block: a transmission may end on one, which waits in the pile.
  player->flush();
  drain(player);
  // What the renderer still holds is played out, unless stopped.
  sleep_unless_stopped(1000);
  delete suit;
  g_player.store(nullptr);
  player->enable_audio(false);
  delete player;
}

void Body::gen_sound_config2(const char* data, int times) {
  if (!config_accepted("gen_sound_config2", data, times)) return;
  const int capacity = 4096;
  std::vector<unsigned char> codes(capacity);
  int len = voiceenc_data2code(reinterpret_cast<const unsigned char*>(data),
                               static_cast<int>(std::strlen(data)), codes.data(), capacity);
  if (len > capacity || len < 0) {
    // Cut to the buffer, the text would fail its checksum at every receiver: nothing is sent.
    SLOG("gen_sound_config2 refused: the text needs %d codes, more than %d\n", len, capacity);
    return;
  }
  ConfigTurn turn;
  if (!turn.granted()) return;
  std::vector<unsigned char> pcm(96000);
  audio::Suit audio = config_suit(48000, 1920);
  PlaySuit* suit = new PlaySuit(888, kPTypeByFPS, &audio, nullptr);
  suit->set_audio(&audio);
  Sonora* player = new Sonora(suit, nullptr);
  player->resume();
  player->enable_audio(true);
  for (int k = 0; k < times; ++k) {
    bool sent = true;
    for (int i = 0; i < len && sent; ++i) {
      const int n = voiceenc_code2pcm_16K16Bit(48000, 60, codes[static_cast<size_t>(i)], pcm.data(),
                                               static_cast<int>(pcm.size()));
      if (n > 0) sent = append_paced(player, pcm.data(), static_cast<size_t>(n));
    }
    // The last partial block of the repetition is played now, not at the start of the next.
    player->flush();
    if (!sent || !g_sound_configing.load()) break;
    sleep_unless_stopped(1500);
  }
  // What is queued is played before the player stops, so the end of the text is not cut.
  drain(player);
  sleep_unless_stopped(1000);
  player->enable_audio(false);
  delete player;
  delete suit;
}

void Body::stop_sound_config() {
  {
    std::lock_guard<std::mutex> lock(g_config_mutex);
    g_config_stops.fetch_add(1);
    g_sound_configing.store(false);
  }
  g_config_changed.notify_all();
}

}  // namespace sonora
