// The module's parts and what they share per JavaScript environment (main thread or worker; on
// the device, each ArkTS worker): every export is made once per environment, and a Player
// belongs to the environment that made it.
#ifndef SONORA_NAPI_MODULE_H
#define SONORA_NAPI_MODULE_H

#include "napi_util.h"

namespace sonora_napi {

// Per environment (napi_set_instance_data); freed when the environment ends.
struct EnvData {
  napi_ref state_key = nullptr;  // symbol keying a Player's hidden state (listeners, onBlock)
  int pending_configs = 0;       // sendConfig calls of this environment not settled yet
};
EnvData* env_data(napi_env env);

// Each adds its exports to `exports`; false with a JavaScript exception pending on failure.
bool define_player(napi_env env, napi_value exports);
bool define_sound_config(napi_env env, napi_value exports);
// Desktop only: decode() through the receiver's decoders, and `virtualDevice`.
bool define_desktop(napi_env env, napi_value exports);

// The environment is ending: sendConfig calls of this environment are stopped.
void sound_config_env_cleanup(EnvData* data);

// Adds a function property `name` to `object`.
bool set_function(napi_env env, napi_value object, const char* name, napi_callback fn);

}  // namespace sonora_napi

#endif  // SONORA_NAPI_MODULE_H
