// sendConfig / stopConfig: the engine's sound-wave configuration calls, which block their caller
// for the whole transmission, run as async work on the runtime's worker threads; the promise
// settles on the script thread.
//
// The engine's calls return nothing, so a transmission that a stop cut short looks like one that
// played out. The module therefore numbers its stops: a call is reported stopped (the promise is
// rejected) when a stopConfig() came after sendConfig() and before the engine's call returned.
// A stop that races with the start of a call rejects it even when the engine had not yet begun
// it and played it in full; a stop is never taken for a completed transmission the other way.
#include <atomic>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "module.h"
#include "sonora/sonora.h"
#include "transmit/transmit.h"
#include "utils/voiceenc.h"

namespace sonora_napi {

namespace {

// gen_sound_config2 keeps the first 4096 codes of a text and drops the rest.
constexpr int kToneMaxCodes = 4096;

std::atomic<uint64_t> g_stops{0};  // stopConfig() calls so far, in the process

struct ConfigCall {
  napi_async_work work = nullptr;
  napi_deferred deferred = nullptr;
  EnvData* data = nullptr;
  std::string text;
  bool tone = false;
  int times = 1;
  uint64_t stops = 0;  // g_stops when sendConfig() was called
  bool stopped = false;
};

void execute(napi_env, void* arg) {
  auto* call = static_cast<ConfigCall*>(arg);
  if (g_stops.load() != call->stops) {
    call->stopped = true;
    return;
  }
  if (call->tone) {
    sonora::Sonora::gen_sound_config2(call->text.c_str(), call->times);
  } else {
    sonora::Sonora::gen_sound_config(call->text.c_str(), call->times);
  }
  call->stopped = g_stops.load() != call->stops;
}

void complete(napi_env env, napi_status status, void* arg) {
  auto* call = static_cast<ConfigCall*>(arg);
  --call->data->pending_configs;
  if (status != napi_ok || call->stopped) {
    napi_reject_deferred(
        env, call->deferred,
        make_error(env, "ERR_SONORA_STOPPED",
                   "sendConfig: stopped by stopConfig() before the transmission ended"));
  } else {
    napi_resolve_deferred(env, call->deferred, undefined(env));
  }
  napi_delete_async_work(env, call->work);
  delete call;
}

// Why `text` cannot be sent whole, or "".
std::string unsendable(const std::string& text, bool tone) {
  if (text.find('\0') != std::string::npos) return "text must not contain NUL characters";
  if (!tone) {
    if (text.size() > SOUND_WAVE_TRANSMIT_MAX_CHARS) {
      return "the mf format sends at most " + std::to_string(SOUND_WAVE_TRANSMIT_MAX_CHARS) +
             " bytes of UTF-8, the text has " + std::to_string(text.size());
    }
    return "";
  }
  const int codes = voiceenc_data2code(reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()), nullptr, 0);
  if (codes > kToneMaxCodes) {
    return "the tone format sends at most " + std::to_string(kToneMaxCodes) +
           " codes, the text needs " + std::to_string(codes);
  }
  return "";
}

napi_value send_config(napi_env env, napi_callback_info info) {
  Args args;
  if (!get_args(env, info, &args)) return nullptr;
  auto call = std::make_unique<ConfigCall>();
  if (!get_string(env, args.argv[0], &call->text)) {
    return throw_type_error(env, "sendConfig: text must be a string");
  }
  napi_value options = args.argv[1], v = nullptr;
  if (!check_options(env, options, "sendConfig options")) return nullptr;
  if (get_option(env, options, "format", &v)) {
    std::string format;
    if (!get_string(env, v, &format) || (format != "mf" && format != "tone")) {
      return throw_type_error(env, "sendConfig options: 'format' must be 'mf' or 'tone'");
    }
    call->tone = format == "tone";
  }
  int64_t times = 1;
  if (get_option(env, options, "times", &v) && !get_integer(env, v, 1, 100, &times)) {
    return throw_type_error(env, "sendConfig options: 'times' must be an integer from 1 to 100");
  }
  call->times = static_cast<int>(times);
  const std::string why = unsendable(call->text, call->tone);
  if (!why.empty()) return throw_type_error(env, "sendConfig: " + why);
  call->data = env_data(env);
  if (call->data == nullptr) return throw_error(env, "sendConfig: the module is not set up");
  call->stops = g_stops.load();

  napi_value promise = nullptr;
  napi_value name = make_string(env, "sonora.sendConfig");
  if (napi_create_promise(env, &call->deferred, &promise) != napi_ok ||
      napi_create_async_work(env, nullptr, name, execute, complete, call.get(), &call->work) !=
          napi_ok) {
    return throw_error(env, "sendConfig: could not queue the transmission");
  }
  if (napi_queue_async_work(env, call->work) != napi_ok) {
    napi_delete_async_work(env, call->work);
    return throw_error(env, "sendConfig: could not queue the transmission");
  }
  ++call->data->pending_configs;
  call.release();  // complete() frees it
  return promise;
}

napi_value stop_config(napi_env env, napi_callback_info) {
  g_stops.fetch_add(1);
  sonora::Sonora::stop_sound_config();
  return undefined(env);
}

}  // namespace

void sound_config_env_cleanup(EnvData* data) {
  // The environment's transmissions end within about 100 ms instead of playing out.
  if (data->pending_configs > 0) {
    g_stops.fetch_add(1);
    sonora::Sonora::stop_sound_config();
  }
}

bool define_sound_config(napi_env env, napi_value exports) {
  return set_function(env, exports, "sendConfig", send_config) &&
         set_function(env, exports, "stopConfig", stop_config);
}

}  // namespace sonora_napi
