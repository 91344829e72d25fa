// Entry point of the module: sonora.node on Node.js, libsonora.so loaded by ArkTS on the device.
// Exports: Player, sendConfig, stopConfig, version and, on the desktop, decode and virtualDevice.
#include "module.h"
#include "sonora/sonora.h"

namespace sonora_napi {

EnvData* env_data(napi_env env) {
  void* data = nullptr;
  if (napi_get_instance_data(env, &data) != napi_ok) return nullptr;
  return static_cast<EnvData*>(data);
}

bool set_function(napi_env env, napi_value object, const char* name, napi_callback fn) {
  napi_value f = nullptr;
  return napi_create_function(env, name, NAPI_AUTO_LENGTH, fn, nullptr, &f) == napi_ok &&
         napi_set_named_property(env, object, name, f) == napi_ok;
}

namespace {

void free_env_data(napi_env env, void* data, void*) {
  auto* d = static_cast<EnvData*>(data);
  if (d->state_key != nullptr) napi_delete_reference(env, d->state_key);
  delete d;
}

void env_cleanup(void* arg) {
  sound_config_env_cleanup(static_cast<EnvData*>(arg));
}

}  // namespace

napi_value init(napi_env env, napi_value exports) {
  auto* data = new EnvData();
  napi_value key = nullptr, version = nullptr;
  if (napi_create_symbol(env, make_string(env, "sonora.state"), &key) != napi_ok ||
      napi_create_reference(env, key, 1, &data->state_key) != napi_ok ||
      napi_set_instance_data(env, data, free_env_data, nullptr) != napi_ok) {
    delete data;
    throw_error(env, "sonora: the module could not set up");
    return nullptr;
  }
  napi_add_env_cleanup_hook(env, env_cleanup, data);
  napi_create_string_utf8(env, sonora::Sonora::version(), NAPI_AUTO_LENGTH, &version);
  napi_property_descriptor prop = {"version", nullptr, nullptr,         nullptr,
                                   nullptr,   version, napi_enumerable, nullptr};
  if (napi_define_properties(env, exports, 1, &prop) != napi_ok || !define_player(env, exports) ||
      !define_sound_config(env, exports)) {
    return nullptr;
  }
#ifdef SONORA_NAPI_DESKTOP
  if (!define_desktop(env, exports)) return nullptr;
#endif
  return exports;
}

}  // namespace sonora_napi

#if defined(__OHOS__) || defined(SONORA_NAPI_OHOS)
// The device loads the library by name (import sonora from 'libsonora.so') and finds the module
// it registered while loading.
static napi_module g_sonora_module = {
    1, 0, nullptr, sonora_napi::init, "sonora", nullptr, {nullptr, nullptr, nullptr, nullptr},
};

extern "C" __attribute__((constructor)) void sonora_register_module() {
  napi_module_register(&g_sonora_module);
}
#else
NAPI_MODULE(NODE_GYP_MODULE_NAME, sonora_napi::init)
#endif
