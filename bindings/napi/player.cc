// The Player class: one sonora::Sonora per script object.
//
// Threads. Every method runs on the script thread of the environment that made the Player (it
// throws anywhere else). The engine reports events on its handler's thread and delivers captured
// blocks on its capture processing thread; neither ever calls JavaScript: events go through a
// thread-safe function as small integers, and each captured block is copied into a slot of a
// fixed pool and queued, without waiting, to a second thread-safe function. When no slot is free
// or the queue is full the block is dropped and counted (captureDropped, 'drop' event).
//
// Lifetime. The native player is freed when its script object is collected; the environment
// ending (worker exit, process exit) stops playback and capture first, through cleanup hooks
// registered after the thread-safe functions they must outlive. Listeners and the capture
// callback are kept on the script object itself (under a symbol), so that the collector sees
// them: a listener that refers to its Player does not keep it alive.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "module.h"
#include "sonora/sonora.h"

namespace sonora_napi {

namespace {

// ---- events: what the handler thread (and capture) post, as one integer ----

enum EventKind : uintptr_t { kEngineEvent = 1, kDropEvent = 2 };

uintptr_t encode_event(int arg1, int arg2, const void* obj) {
  uintptr_t code = kEngineEvent | (static_cast<uintptr_t>(arg1 & 0xf) << 4) |
                   (static_cast<uintptr_t>(arg2 & 0xf) << 8);
  if (obj != nullptr) {
    const auto* in = static_cast<const sonora::Interruption*>(obj);
    code |= (uintptr_t{1} << 12) | (static_cast<uintptr_t>(in->force & 0x3) << 13) |
            (static_cast<uintptr_t>(in->hint & 0xf) << 16);
  }
  return code;
}

void post(napi_threadsafe_function tsfn, uintptr_t code) {
  napi_call_threadsafe_function(tsfn, reinterpret_cast<void*>(code), napi_tsfn_nonblocking);
}

// The player's event sink: handle() runs on the handler's own thread and only posts.
class EventSink : public utils::Handler {
 public:
  explicit EventSink(napi_threadsafe_function tsfn) : tsfn_(tsfn) {}
  ~EventSink() override { stop(); }
  bool handle(int, int arg1, int arg2, void* obj) override {
    post(tsfn_, encode_event(arg1, arg2, obj));
    return true;
  }

 private:
  napi_threadsafe_function tsfn_;
};

const char* const kEventNames[] = {"start", "failed",      "autostop", "interruption",
                                   "drop",  "streamError", "error"};

bool known_event(const std::string& name) {
  for (const char* n : kEventNames) {
    if (name == n) return true;
  }
  return false;
}

const char* const kHintNames[] = {"none", "resume", "pause", "stop", "duck", "unduck"};

// ---- capture: the process's one microphone, routed to the Player that owns it ----

struct Slot {
  uint8_t* data = nullptr;
  size_t size = 0;
  uint64_t ts = 0;
};

// One capture run of one Player. Freed by its thread-safe function's finaliser, after the queue
// holding its slots has drained.
struct CaptureSink {
  CaptureSink(size_t block, size_t count) : storage(block * count), block_bytes(block) {
    slots.resize(count);
    free.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      slots[i].data = storage.data() + i * block;
      free.push_back(&slots[i]);
    }
  }
  Slot* take() {
    std::lock_guard<std::mutex> lock(mutex);
    if (free.empty()) return nullptr;
    Slot* s = free.back();
    free.pop_back();
    return s;
  }
  void give(Slot* s) {
    std::lock_guard<std::mutex> lock(mutex);
    free.push_back(s);
  }
  // Counts a lost block; the first loss since the last notice is posted as a 'drop' event.
  void drop() {
    dropped.fetch_add(1, std::memory_order_relaxed);
    if (!drop_notice_pending.exchange(true)) post(events, kDropEvent);
  }

  std::vector<uint8_t> storage;
  std::vector<Slot> slots;
  std::vector<Slot*> free;  // never grows beyond its reserve
  std::mutex mutex;
  size_t block_bytes;
  napi_threadsafe_function blocks = nullptr;  // delivers slots
  napi_threadsafe_function events = nullptr;  // the owner's events (drop notices)
  napi_ref wrapper = nullptr;                 // weak: the owner's script object
  std::atomic<uint64_t> dropped{0};
  std::atomic<bool> drop_notice_pending{false};
  // Script thread only.
  bool active = true;  // false once the run was stopped
  // Deliveries back to back, without the event loop getting a turn in between; beyond the
  // queue's length the script has fallen behind for good, and what is queued is dropped so that
  // the loop runs (the runtime would otherwise go on delivering for as long as blocks come).
  size_t streak = 0;
  std::chrono::steady_clock::time_point last_end;
};

std::mutex g_route_mutex;
CaptureSink* g_route = nullptr;  // the sink of the capture running in the process, if any

// fetch_cb of every capture the module starts: on the capture processing thread.
void fetch_block(const sonora::byte* data, size_t size, uint64_t ts) {
  std::lock_guard<std::mutex> lock(g_route_mutex);
  CaptureSink* sink = g_route;
  if (sink == nullptr) return;
  Slot* slot = sink->take();
  if (slot == nullptr) {
    sink->drop();
    return;
  }
  slot->size = size < sink->block_bytes ? size : sink->block_bytes;
  std::memcpy(slot->data, data, slot->size);
  slot->ts = ts;
  if (napi_call_threadsafe_function(sink->blocks, slot, napi_tsfn_nonblocking) != napi_ok) {
    sink->give(slot);
    sink->drop();
  }
}

// ---- options ----

struct Field {
  const char* name;
  bool boolean;
  double min, max;
};

// The audio suit's fields a script may set. The engine fixes the processing parameters itself
// (PlaySuit::set_audio); they are not options.
const Field kFields[] = {
    {"sampleRate", false, 8000, 96000},
    {"channels", false, 1, 8},
    {"bitsPerSample", false, 8, 32},
    {"block", false, 1, 1 << 24},
    {"bufferFrameCount", false, 0, 50},
    {"type", false, 0, 4},
    {"source", false, 0, 1 << 30},
    {"window", false, -(1 << 30), 1 << 30},
    {"autoStop", true, 0, 0},
    {"aec", true, 0, 0},
    {"ns", true, 0, 0},
};

// Reads `options` into the suit and play type; throws a TypeError naming the field otherwise.
bool parse_options(napi_env env, napi_value options, sonora::audio::Suit* audio, int* window,
                   bool* auto_stop, sonora::EchoCanceller* canceller) {
  if (!check_options(env, options, "Player options")) return false;
  std::memset(audio, 0, sizeof(*audio));
  audio->type = sonora::audio::kTypeRawPCM;
  audio->sample_rate = 16000;
  audio->channel_per_frame = 1;
  audio->bit_per_channel = 16;
  audio->block = 640;
  audio->buffer_frame_count = 3;
  *window = 1;
  *auto_stop = false;
  *canceller = sonora::kEchoCancellerMobile;
  if (is_undefined(env, options)) return true;

  napi_value names = nullptr;
  uint32_t count = 0;
  napi_get_property_names(env, options, &names);
  napi_get_array_length(env, names, &count);
  for (uint32_t i = 0; i < count; ++i) {
    napi_value key = nullptr, value = nullptr;
    std::string name;
    napi_get_element(env, names, i, &key);
    get_string(env, key, &name);
    if (name == "canceller") {
      napi_get_property(env, options, key, &value);
      std::string kind;
      if (is_undefined(env, value)) continue;
      if (!get_string(env, value, &kind) || (kind != "mobile" && kind != "full")) {
        throw_type_error(env, "Player options: 'canceller' must be 'mobile' or 'full'");
        return false;
      }
      *canceller = kind == "full" ? sonora::kEchoCancellerFull : sonora::kEchoCancellerMobile;
      continue;
    }
    const Field* field = nullptr;
    for (const Field& f : kFields) {
      if (name == f.name) field = &f;
    }
    if (field == nullptr) {
      throw_type_error(env, "Player options: unknown option '" + name + "'");
      return false;
    }
    napi_get_property(env, options, key, &value);
    if (is_undefined(env, value)) continue;
    int64_t n = 0;
    bool flag = false;
    if (field->boolean) {
      if (type_of(env, value) != napi_boolean) {
        throw_type_error(env, "Player options: '" + name + "' must be a boolean");
        return false;
      }
      napi_get_value_bool(env, value, &flag);
    } else if (!get_integer(env, value, field->min, field->max, &n)) {
      throw_type_error(env, "Player options: '" + name + "' must be an integer from " +
                                std::to_string(static_cast<int64_t>(field->min)) + " to " +
                                std::to_string(static_cast<int64_t>(field->max)));
      return false;
    }
    if (name == "sampleRate") audio->sample_rate = static_cast<int32_t>(n);
    if (name == "channels") audio->channel_per_frame = static_cast<int32_t>(n);
    if (name == "bitsPerSample") audio->bit_per_channel = static_cast<int32_t>(n);
    if (name == "block") audio->block = static_cast<size_t>(n);
    if (name == "bufferFrameCount") audio->buffer_frame_count = static_cast<int32_t>(n);
    if (name == "type") audio->type = static_cast<sonora::audio::Type>(n);
    if (name == "source") audio->source = static_cast<int32_t>(n);
    if (name == "window") *window = static_cast<int>(n);
    if (name == "autoStop") *auto_stop = flag;
    if (name == "aec") audio->enable_aec = flag;
    if (name == "ns") audio->enable_ns = flag;
  }
  const int bits = audio->bit_per_channel;
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    throw_type_error(env, "Player options: 'bitsPerSample' must be 8, 16, 24 or 32");
    return false;
  }
  const sonora::PlaySuit normalised(1, sonora::kPTypeByFPS, audio, nullptr);
  if (const char* why = sonora::suit_stream_refusal(normalised.audio())) {
    throw_type_error(env, std::string("Player options: 'block': ") + why);
    return false;
  }
  return true;
}

// ---- the Player ----

const napi_type_tag kPlayerTag = {0x5a1c0b3e8d2f4a61ULL, 0x9e07c4d2b1f35a88ULL};

class Player;

// Context of the events' thread-safe function: outlives the player until the queue drains.
struct EventLink {
  Player* player = nullptr;
};

class Player {
 public:
  static napi_value construct(napi_env env, napi_callback_info info);
  static bool define(napi_env env, napi_value exports);

 private:
  explicit Player(napi_env env) : env_(env), thread_(std::this_thread::get_id()) {}
  ~Player() = default;

  // `this` of a method call, checked: a Player of this script thread. Throws otherwise.
  static Player* self(napi_env env, napi_callback_info info, Args* args);
  // A method's callback: `this` checked, then the method.
  template <napi_value (*Method)(napi_env, Player*, const Args&)>
  static napi_value bound(napi_env env, napi_callback_info info) {
    Args args;
    Player* p = self(env, info, &args);
    return p == nullptr ? nullptr : Method(env, p, args);
  }

  static napi_value start(napi_env env, Player* p, const Args& args);
  static napi_value stop(napi_env env, Player* p, const Args& args);
  static napi_value append(napi_env env, Player* p, const Args& args);
  static napi_value pause(napi_env env, Player* p, const Args& args);
  static napi_value resume(napi_env env, Player* p, const Args& args);
  static napi_value flush(napi_env env, Player* p, const Args& args);
  static napi_value clear(napi_env env, Player* p, const Args& args);
  static napi_value get_volume(napi_env env, Player* p, const Args& args);
  static napi_value set_volume(napi_env env, Player* p, const Args& args);
  static napi_value get_queued(napi_env env, Player* p, const Args& args);
  static napi_value get_working(napi_env env, Player* p, const Args& args);
  static napi_value get_capturing(napi_env env, Player* p, const Args& args);
  static napi_value get_capture_dropped(napi_env env, Player* p, const Args& args);
  static napi_value on(napi_env env, Player* p, const Args& args);
  static napi_value off(napi_env env, Player* p, const Args& args);
  static napi_value start_capture(napi_env env, Player* p, const Args& args);
  static napi_value stop_capture_js(napi_env env, Player* p, const Args& args);

  static void finalize(napi_env env, void* data, void* hint);
  static void env_cleanup(void* arg);
  static void capture_cleanup(void* arg);
  static void call_events(napi_env env, napi_value fn, void* context, void* data);
  static void finalize_link(napi_env env, void* data, void* hint);
  static void call_block(napi_env env, napi_value fn, void* context, void* data);
  static void finalize_sink(napi_env env, void* data, void* hint);

  bool init(napi_env env, napi_value wrapper, const sonora::audio::Suit& audio, int window,
            bool auto_stop);
  // Stops capture and playback and releases the engine; idempotent. No script is called.
  void shutdown();
  bool stop_capture();
  void update_keepalive();
  uint64_t capture_dropped() const;

  // Hidden state on the script object: {events: {name: [fn]}, onBlock: fn}.
  napi_value state(napi_env env, napi_value wrapper);
  void emit(napi_env env, napi_value wrapper, const char* name, napi_value arg);
  // An exception a script callback threw: 'error' listeners, else a process warning.
  void report_exception(napi_env env, napi_value wrapper);
  void deliver_event(napi_env env, uintptr_t code);

  napi_env env_;
  std::thread::id thread_;
  napi_ref wrapper_ = nullptr;  // weak
  EventLink* link_ = nullptr;
  napi_threadsafe_function events_ = nullptr;
  EventSink* handler_ = nullptr;
  sonora::PlaySuit* suit_ = nullptr;
  sonora::Sonora* sonora_ = nullptr;
  CaptureSink* sink_ = nullptr;
  uint64_t last_module_dropped_ = 0;
  double volume_ = 1.0;
  bool playing_ = false;
  bool keepalive_ = false;
  bool down_ = false;
  bool env_hook_ = false;
  bool capture_hook_ = false;
};

Player* Player::self(napi_env env, napi_callback_info info, Args* args) {
  if (!get_args(env, info, args)) return nullptr;
  bool tagged = false;
  void* native = nullptr;
  if (type_of(env, args->self) != napi_object ||
      napi_check_object_type_tag(env, args->self, &kPlayerTag, &tagged) != napi_ok || !tagged ||
      napi_unwrap(env, args->self, &native) != napi_ok || native == nullptr) {
    throw_type_error(env, "not a Player: call the method on an object made by new Player()");
    return nullptr;
  }
  auto* p = static_cast<Player*>(native);
  if (p->env_ != env || p->thread_ != std::this_thread::get_id()) {
    throw_error(env, "a Player can only be used on the script thread that created it");
    return nullptr;
  }
  if (p->down_) {
    throw_error(env, "the Player's environment is shutting down");
    return nullptr;
  }
  return p;
}

napi_value Player::construct(napi_env env, napi_callback_info info) {
  Args args;
  if (!get_args(env, info, &args)) return nullptr;
  napi_value target = nullptr;
  napi_get_new_target(env, info, &target);
  if (target == nullptr) return throw_type_error(env, "Player must be called with new");
  sonora::audio::Suit audio;
  int window = 1;
  bool auto_stop = false;
  sonora::EchoCanceller canceller = sonora::kEchoCancellerMobile;
  if (!parse_options(env, args.argv[0], &audio, &window, &auto_stop, &canceller)) return nullptr;
  auto* p = new Player(env);
  if (!p->init(env, args.self, audio, window, auto_stop)) {
    p->shutdown();  // init fails before the object is wrapped: nothing else refers to p
    delete p;
    return throw_error(env, "Player: the module could not set up the player");
  }
  // The player is wrapped now; refused here, it is collected like any other.
  if (canceller != sonora::kEchoCancellerMobile && !p->sonora_->use_echo_canceller(canceller)) {
    return throw_type_error(env,
                            "Player options: 'canceller': the full-band canceller needs aec: true, "
                            "16-bit mono at 8000, 16000, 32000 or 48000 Hz and blocks of whole "
                            "10 ms, in a build that has it");
  }
  return args.self;
}

bool Player::init(napi_env env, napi_value wrapper, const sonora::audio::Suit& audio, int window,
                  bool auto_stop) {
  napi_value name = make_string(env, "sonora.Player events");
  link_ = new EventLink{this};
  if (napi_create_threadsafe_function(env, nullptr, nullptr, name, 0, 1, link_, finalize_link,
                                      link_, call_events, &events_) != napi_ok) {
    delete link_;
    link_ = nullptr;
    return false;
  }
  napi_unref_threadsafe_function(env, events_);
  // After the thread-safe function: cleanup hooks run in reverse order, so this one stops the
  // engine before the environment closes the function it posts to.
  napi_add_env_cleanup_hook(env, env_cleanup, this);
  env_hook_ = true;

  suit_ = new sonora::PlaySuit(window, auto_stop ? sonora::kPTypeAutoStop : sonora::kPTypeByFPS,
                               &audio, nullptr);
  handler_ = new EventSink(events_);
  sonora_ = new sonora::Sonora(suit_, handler_);

  napi_value st = nullptr, events = nullptr;
  napi_create_object(env, &st);
  napi_create_object(env, &events);
  napi_set_named_property(env, st, "events", events);
  napi_value key = nullptr;
  EnvData* data = env_data(env);
  if (data == nullptr || napi_get_reference_value(env, data->state_key, &key) != napi_ok) {
    return false;
  }
  napi_property_descriptor hidden = {nullptr, key, nullptr,      nullptr,
                                     nullptr, st,  napi_default, nullptr};
  if (napi_define_properties(env, wrapper, 1, &hidden) != napi_ok ||
      napi_type_tag_object(env, wrapper, &kPlayerTag) != napi_ok ||
      napi_wrap(env, wrapper, this, finalize, nullptr, nullptr) != napi_ok) {
    return false;
  }
  napi_create_reference(env, wrapper, 0, &wrapper_);
  return true;
}

void Player::shutdown() {
  if (down_) return;
  down_ = true;
  stop_capture();
  delete sonora_;  // stops playback; no engine thread posts afterwards
  sonora_ = nullptr;
  delete handler_;
  handler_ = nullptr;
  delete suit_;
  suit_ = nullptr;
  if (env_hook_) {
    napi_remove_env_cleanup_hook(env_, env_cleanup, this);
    env_hook_ = false;
  }
  if (events_ != nullptr) {
    link_->player = nullptr;
    napi_release_threadsafe_function(events_, napi_tsfn_abort);
    events_ = nullptr;
  }
}

void Player::finalize(napi_env env, void* data, void*) {
  auto* p = static_cast<Player*>(data);
  p->shutdown();
  if (p->wrapper_ != nullptr) napi_delete_reference(env, p->wrapper_);
  delete p;
}

void Player::env_cleanup(void* arg) {
  auto* p = static_cast<Player*>(arg);
  p->env_hook_ = false;  // the environment drops the hook itself
  p->shutdown();
}

void Player::capture_cleanup(void* arg) {
  auto* p = static_cast<Player*>(arg);
  p->capture_hook_ = false;
  p->stop_capture();
}

bool Player::stop_capture() {
  if (sink_ == nullptr) return false;
  sonora_->stop_record_audio();  // no fetch_cb runs after it returns
  {
    std::lock_guard<std::mutex> lock(g_route_mutex);
    if (g_route == sink_) g_route = nullptr;
  }
  sink_->active = false;
  last_module_dropped_ = sink_->dropped.load();
  if (capture_hook_) {
    napi_remove_env_cleanup_hook(env_, capture_cleanup, this);
    capture_hook_ = false;
  }
  napi_release_threadsafe_function(sink_->blocks, napi_tsfn_abort);
  sink_ = nullptr;
  if (!down_) update_keepalive();
  return true;
}

void Player::update_keepalive() {
  const bool want = playing_ || sink_ != nullptr;
  if (events_ == nullptr || want == keepalive_) return;
  if (want) {
    napi_ref_threadsafe_function(env_, events_);
  } else {
    napi_unref_threadsafe_function(env_, events_);
  }
  keepalive_ = want;
}

uint64_t Player::capture_dropped() const {
  const uint64_t module = sink_ != nullptr ? sink_->dropped.load() : last_module_dropped_;
  return module + (sonora_ != nullptr ? sonora_->capture_dropped() : 0);
}

napi_value Player::state(napi_env env, napi_value wrapper) {
  napi_value key = nullptr, st = nullptr;
  EnvData* data = env_data(env);
  if (data == nullptr || napi_get_reference_value(env, data->state_key, &key) != napi_ok ||
      napi_get_property(env, wrapper, key, &st) != napi_ok) {
    return nullptr;
  }
  return st;
}

void Player::emit(napi_env env, napi_value wrapper, const char* name, napi_value arg) {
  napi_value st = state(env, wrapper), events = nullptr, list = nullptr;
  if (!get_option(env, st, "events", &events) || !get_option(env, events, name, &list)) {
    if (std::strcmp(name, "error") == 0 && arg != nullptr) emit_warning(env, arg);
    return;
  }
  // A copy, so that a listener may add or remove listeners.
  uint32_t n = 0;
  napi_get_array_length(env, list, &n);
  if (n == 0 && std::strcmp(name, "error") == 0 && arg != nullptr) emit_warning(env, arg);
  std::vector<napi_value> fns(n);
  for (uint32_t i = 0; i < n; ++i) napi_get_element(env, list, i, &fns[i]);
  for (napi_value fn : fns) {
    napi_value result = nullptr;
    const size_t argc = arg != nullptr ? 1 : 0;
    if (napi_call_function(env, wrapper, fn, argc, &arg, &result) != napi_ok) {
      if (std::strcmp(name, "error") == 0) {
        napi_value error = nullptr;
        napi_get_and_clear_last_exception(env, &error);
        emit_warning(env, error);
      } else {
        report_exception(env, wrapper);
      }
    }
  }
}

void Player::report_exception(napi_env env, napi_value wrapper) {
  bool pending = false;
  napi_is_exception_pending(env, &pending);
  if (!pending) return;  // e.g. the environment is terminating
  napi_value error = nullptr;
  napi_get_and_clear_last_exception(env, &error);
  emit(env, wrapper, "error", error);
}

void Player::deliver_event(napi_env env, uintptr_t code) {
  napi_value wrapper = nullptr;
  if (napi_get_reference_value(env, wrapper_, &wrapper) != napi_ok || wrapper == nullptr) return;
  napi_value info = nullptr;
  napi_create_object(env, &info);
  if ((code & 0xf) == kDropEvent) {
    if (sink_ != nullptr) sink_->drop_notice_pending.store(false);
    napi_set_named_property(env, info, "dropped",
                            make_number(env, static_cast<double>(capture_dropped())));
    emit(env, wrapper, "drop", info);
    return;
  }
  const auto arg1 = static_cast<sonora::Arg1>((code >> 4) & 0xf);
  const auto arg2 = static_cast<sonora::Arg2>((code >> 8) & 0xf);
  const bool capture = arg1 >= sonora::kArg1AudioRecordStart;
  const bool stopped = arg1 == sonora::kArg1AudioPlayerStop || arg1 == sonora::kArg1AudioRecordStop;
  napi_set_named_property(env, info, "stream", make_string(env, capture ? "capture" : "playback"));
  // The engine has ended a stream (system stop, fatal error): so does the module.
  if (stopped && capture) stop_capture();
  if (stopped && !capture) playing_ = false;
  if (arg1 == sonora::kArg1AudioPlayerWorking && arg2 == sonora::kArg2AutoStop) playing_ = false;
  update_keepalive();

  const char* name = nullptr;
  if (code & (uintptr_t{1} << 12)) {
    const unsigned force = (code >> 13) & 0x3, hint = (code >> 16) & 0xf;
    napi_set_named_property(env, info, "force", make_string(env, force == 0 ? "force" : "share"));
    napi_set_named_property(env, info, "hint",
                            make_string(env, hint < 6 ? kHintNames[hint] : "none"));
    napi_set_named_property(env, info, "stopped", make_bool(env, stopped));
    name = "interruption";
  } else if (arg1 == sonora::kArg1AudioPlayerStart || arg1 == sonora::kArg1AudioRecordStart) {
    name = arg2 == sonora::kArg2Success ? "start" : "failed";
  } else if (arg2 == sonora::kArg2AutoStop) {
    name = "autostop";
  } else if (arg2 == sonora::kArg2Error || arg2 == sonora::kArg2FatalError) {
    napi_set_named_property(env, info, "fatal", make_bool(env, arg2 == sonora::kArg2FatalError));
    name = "streamError";
  } else if (arg1 == sonora::kArg1AudioRecordWorking && arg2 == sonora::kArg2Failed) {
    napi_set_named_property(env, info, "dropped",
                            make_number(env, static_cast<double>(capture_dropped())));
    name = "drop";
  }
  if (name != nullptr) emit(env, wrapper, name, info);
}

void Player::call_events(napi_env env, napi_value, void* context, void* data) {
  auto* link = static_cast<EventLink*>(context);
  if (env == nullptr || link->player == nullptr) return;
  link->player->deliver_event(env, reinterpret_cast<uintptr_t>(data));
}

void Player::finalize_link(napi_env, void* data, void*) {
  delete static_cast<EventLink*>(data);
}

void Player::call_block(napi_env env, napi_value, void* context, void* data) {
  // Without an environment the function is being torn down, possibly after its finaliser has
  // freed the sink: the slot is not touched.
  if (env == nullptr) return;
  auto* sink = static_cast<CaptureSink*>(context);
  auto* slot = static_cast<Slot*>(data);
  if (!sink->active) {
    sink->give(slot);
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - sink->last_end > std::chrono::milliseconds(1)) sink->streak = 0;
  if (sink->streak >= sink->slots.size()) {
    sink->give(slot);
    sink->drop();
    sink->last_end = now;
    return;
  }
  ++sink->streak;
  napi_value pcm =
      make_int16_array(env, reinterpret_cast<const int16_t*>(slot->data), slot->size / 2);
  napi_value ts = make_number(env, static_cast<double>(slot->ts));
  sink->give(slot);
  napi_value wrapper = nullptr, fn = nullptr, result = nullptr;
  if (napi_get_reference_value(env, sink->wrapper, &wrapper) != napi_ok || wrapper == nullptr) {
    return;
  }
  void* native = nullptr;
  napi_unwrap(env, wrapper, &native);
  auto* p = static_cast<Player*>(native);
  if (p == nullptr || !get_option(env, p->state(env, wrapper), "onBlock", &fn)) return;
  napi_value argv[2] = {pcm, ts};
  if (napi_call_function(env, wrapper, fn, 2, argv, &result) != napi_ok) {
    p->report_exception(env, wrapper);
  }
  sink->last_end = std::chrono::steady_clock::now();
}

void Player::finalize_sink(napi_env env, void* data, void*) {
  auto* sink = static_cast<CaptureSink*>(data);
  if (sink->wrapper != nullptr) napi_delete_reference(env, sink->wrapper);
  delete sink;
}

// ---- methods ----

napi_value Player::start(napi_env env, Player* p, const Args&) {
  const bool ok = p->sonora_->enable_audio(true);
  if (ok) {
    p->sonora_->adjust_track_volume(static_cast<float>(p->volume_));
    p->playing_ = true;
    p->update_keepalive();
  }
  return make_bool(env, ok);
}

napi_value Player::stop(napi_env env, Player* p, const Args&) {
  const bool ok = p->sonora_->enable_audio(false);
  p->playing_ = false;
  p->update_keepalive();
  return make_bool(env, ok);
}

napi_value Player::append(napi_env env, Player* p, const Args& args) {
  const uint8_t* data = nullptr;
  size_t bytes = 0;
  if (!get_pcm(env, args.argv[0], true, &data, &bytes)) {
    return throw_type_error(env, "append: pcm must be an Int16Array or a Buffer (Uint8Array)");
  }
  return make_bool(env, p->sonora_->append_audio_data(data, bytes, nullptr));
}

napi_value Player::pause(napi_env env, Player* p, const Args&) {
  return make_bool(env, p->sonora_->pause());
}

napi_value Player::resume(napi_env env, Player* p, const Args&) {
  return make_bool(env, p->sonora_->resume());
}

napi_value Player::flush(napi_env env, Player* p, const Args&) {
  p->sonora_->flush();
  return undefined(env);
}

napi_value Player::clear(napi_env env, Player* p, const Args&) {
  p->sonora_->clean_buffer();
  return undefined(env);
}

napi_value Player::get_volume(napi_env env, Player* p, const Args&) {
  return make_number(env, p->volume_);
}

napi_value Player::set_volume(napi_env env, Player* p, const Args& args) {
  double gain = 0;
  if (!get_finite(env, args.argv[0], &gain) || gain < 0 || gain > 1000) {
    return throw_type_error(env, "volume must be a number from 0 to 1000 (a linear gain)");
  }
  p->volume_ = gain;
  p->sonora_->adjust_track_volume(static_cast<float>(gain));  // false while not playing
  return undefined(env);
}

napi_value Player::get_queued(napi_env env, Player* p, const Args&) {
  return make_number(env, static_cast<double>(p->sonora_->audio_left()));
}

napi_value Player::get_working(napi_env env, Player* p, const Args&) {
  return make_bool(env, p->sonora_->audio_working());
}

napi_value Player::get_capturing(napi_env env, Player* p, const Args&) {
  return make_bool(env, p->sink_ != nullptr);
}

napi_value Player::get_capture_dropped(napi_env env, Player* p, const Args&) {
  return make_number(env, static_cast<double>(p->capture_dropped()));
}

napi_value Player::on(napi_env env, Player* p, const Args& args) {
  std::string name;
  if (!get_string(env, args.argv[0], &name) || !known_event(name)) {
    return throw_type_error(env,
                            "on: unknown event; events are start, failed, autostop, "
                            "interruption, drop, streamError and error");
  }
  if (type_of(env, args.argv[1]) != napi_function) {
    return throw_type_error(env, "on: the listener must be a function");
  }
  napi_value events = nullptr, list = nullptr;
  if (!get_option(env, p->state(env, args.self), "events", &events)) return nullptr;
  if (!get_option(env, events, name.c_str(), &list)) {
    napi_create_array(env, &list);
    napi_set_named_property(env, events, name.c_str(), list);
  }
  uint32_t n = 0;
  napi_get_array_length(env, list, &n);
  napi_set_element(env, list, n, args.argv[1]);
  return args.self;
}

napi_value Player::off(napi_env env, Player* p, const Args& args) {
  std::string name;
  if (!get_string(env, args.argv[0], &name) || !known_event(name)) {
    return throw_type_error(env, "off: unknown event");
  }
  napi_value events = nullptr, list = nullptr;
  if (!get_option(env, p->state(env, args.self), "events", &events) ||
      !get_option(env, events, name.c_str(), &list)) {
    return args.self;
  }
  uint32_t n = 0;
  napi_get_array_length(env, list, &n);
  napi_value kept = nullptr;
  napi_create_array(env, &kept);
  uint32_t k = 0;
  bool removed = false;
  for (uint32_t i = 0; i < n; ++i) {
    napi_value fn = nullptr;
    bool same = false;
    napi_get_element(env, list, i, &fn);
    napi_strict_equals(env, fn, args.argv[1], &same);
    if (same && !removed) {
      removed = true;
    } else {
      napi_set_element(env, kept, k++, fn);
    }
  }
  napi_set_named_property(env, events, name.c_str(), kept);
  return args.self;
}

napi_value Player::start_capture(napi_env env, Player* p, const Args& args) {
  napi_value on_block = args.argv[0], options = args.argv[1], v = nullptr;
  if (type_of(env, on_block) != napi_function) {
    return throw_type_error(env, "startCapture: onBlock must be a function");
  }
  if (!check_options(env, options, "startCapture options")) return nullptr;
  bool agc = false;
  double gain = 1;
  int64_t max_queued = 16, source = 0;
  if (get_option(env, options, "gainType", &v)) {
    std::string type;
    if (!get_string(env, v, &type) || (type != "fixed" && type != "agc")) {
      return throw_type_error(env, "startCapture options: 'gainType' must be 'fixed' or 'agc'");
    }
    agc = type == "agc";
  }
  const bool has_gain = get_option(env, options, "gain", &v);
  if (has_gain && (!get_finite(env, v, &gain) || gain < 0 || gain > (agc ? 60 : 1000))) {
    return throw_type_error(env, agc ? "startCapture options: 'gain' must be 0 to 60 (dB) for agc"
                                     : "startCapture options: 'gain' must be 0 to 1000 (linear)");
  }
  if (get_option(env, options, "maxQueued", &v) && !get_integer(env, v, 1, 1024, &max_queued)) {
    return throw_type_error(env, "startCapture options: 'maxQueued' must be an integer 1 to 1024");
  }
  if (get_option(env, options, "source", &v) && !get_integer(env, v, 0, 1 << 30, &source)) {
    return throw_type_error(env, "startCapture options: 'source' must be a non-negative integer");
  }
  const sonora::audio::Suit* suit = p->suit_->audio();
  if (suit->bit_per_channel != 16) {
    return throw_type_error(env,
                            "startCapture: capture delivers 16-bit samples; the Player has "
                            "bitsPerSample " +
                                std::to_string(suit->bit_per_channel));
  }
  if (p->sink_ != nullptr)
    return throw_error(env, "startCapture: this Player is capturing already");

  auto* sink = new CaptureSink(suit->block, static_cast<size_t>(max_queued));
  sink->events = p->events_;
  napi_create_reference(env, args.self, 0, &sink->wrapper);
  napi_value name = make_string(env, "sonora.Player capture");
  if (napi_create_threadsafe_function(env, nullptr, nullptr, name, static_cast<size_t>(max_queued),
                                      1, sink, finalize_sink, sink, call_block,
                                      &sink->blocks) != napi_ok) {
    napi_delete_reference(env, sink->wrapper);
    delete sink;
    return throw_error(env, "startCapture: the module could not set up delivery");
  }
  napi_unref_threadsafe_function(env, sink->blocks);
  {
    std::lock_guard<std::mutex> lock(g_route_mutex);
    if (g_route != nullptr) {
      sink->active = false;
      napi_release_threadsafe_function(sink->blocks, napi_tsfn_abort);
      return throw_error(env,
                         "startCapture: another Player is capturing (the process has one "
                         "microphone); stop it first");
    }
    g_route = sink;
  }
  p->sink_ = sink;
  napi_set_named_property(env, p->state(env, args.self), "onBlock", on_block);
  napi_add_env_cleanup_hook(env, capture_cleanup, p);
  p->capture_hook_ = true;
  if (!p->sonora_->start_record_audio(fetch_block, static_cast<int>(source))) {
    p->stop_capture();
    return make_bool(env, false);
  }
  if (agc) p->sonora_->adjust_capture_volume_type(4);
  if (has_gain) p->sonora_->adjust_capture_volume(static_cast<float>(gain));
  p->update_keepalive();
  return make_bool(env, true);
}

napi_value Player::stop_capture_js(napi_env env, Player* p, const Args&) {
  return make_bool(env, p->stop_capture());
}

bool Player::define(napi_env env, napi_value exports) {
  auto method = [](const char* name, napi_callback fn) {
    return napi_property_descriptor{name,    nullptr, fn,           nullptr,
                                    nullptr, nullptr, napi_default, nullptr};
  };
  auto getter = [](const char* name, napi_callback get, napi_callback set) {
    return napi_property_descriptor{name, nullptr, nullptr,      get,
                                    set,  nullptr, napi_default, nullptr};
  };
  const napi_property_descriptor props[] = {
      method("start", bound<start>),
      method("stop", bound<stop>),
      method("append", bound<append>),
      method("pause", bound<pause>),
      method("resume", bound<resume>),
      method("flush", bound<flush>),
      method("clear", bound<clear>),
      method("on", bound<on>),
      method("off", bound<off>),
      method("startCapture", bound<start_capture>),
      method("stopCapture", bound<stop_capture_js>),
      getter("volume", bound<get_volume>, bound<set_volume>),
      getter("queued", bound<get_queued>, nullptr),
      getter("working", bound<get_working>, nullptr),
      getter("capturing", bound<get_capturing>, nullptr),
      getter("captureDropped", bound<get_capture_dropped>, nullptr),
  };
  napi_value cls = nullptr;
  if (napi_define_class(env, "Player", NAPI_AUTO_LENGTH, construct, nullptr,
                        sizeof(props) / sizeof(props[0]), props, &cls) != napi_ok) {
    return false;
  }
  return napi_set_named_property(env, exports, "Player", cls) == napi_ok;
}

}  // namespace

bool define_player(napi_env env, napi_value exports) {
  return Player::define(env, exports);
}

}  // namespace sonora_napi
