// Small helpers over the C Node-API shared by the module's files: argument fetching, type checks
// that throw errors naming what was wrong, and value constructors.
//
// On the device the platform's <napi/native_api.h> (which includes Node's node_api.h) is the
// header; on the desktop it is Node's own node_api.h.
#ifndef SONORA_NAPI_UTIL_H
#define SONORA_NAPI_UTIL_H

#if defined(__OHOS__) || defined(SONORA_NAPI_OHOS)
// The platform's header asks for NAPI_EXPERIMENTAL and redeclares some functions with a plain
// napi_env; Node's newer headers would declare them with a const "basic" env unless opted out.
#ifndef NODE_API_EXPERIMENTAL_BASIC_ENV_OPT_OUT
#define NODE_API_EXPERIMENTAL_BASIC_ENV_OPT_OUT
#endif
#include <napi/native_api.h>
#else
#include <node_api.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>

namespace sonora_napi {

// Throws a TypeError (Error) with `message`; returns null for a callback to return.
napi_value throw_type_error(napi_env env, const std::string& message);
napi_value throw_error(napi_env env, const std::string& message);
// An Error object with `message` and, when not null, a `code` property.
napi_value make_error(napi_env env, const char* code, const std::string& message);

// The arguments of a call: up to kMaxArgs; missing ones are undefined.
struct Args {
  static constexpr size_t kMaxArgs = 5;
  napi_value self = nullptr;
  napi_value argv[kMaxArgs] = {};
  size_t argc = kMaxArgs;
  void* data = nullptr;
};
bool get_args(napi_env env, napi_callback_info info, Args* args);

napi_valuetype type_of(napi_env env, napi_value value);
bool is_undefined(napi_env env, napi_value value);
napi_value undefined(napi_env env);
napi_value make_bool(napi_env env, bool value);
napi_value make_number(napi_env env, double value);
napi_value make_string(napi_env env, const std::string& value);

// A string value as UTF-8; false (nothing thrown) when it is not a string.
bool get_string(napi_env env, napi_value value, std::string* out);
// A number that is an integer in [min, max]; false (nothing thrown) otherwise.
bool get_integer(napi_env env, napi_value value, double min, double max, int64_t* out);
// A finite number; false (nothing thrown) otherwise.
bool get_finite(napi_env env, napi_value value, double* out);

// Property `name` of an object: false when the object has none or it is undefined.
bool get_option(napi_env env, napi_value object, const char* name, napi_value* out);
// Whether `value` is undefined or a plain object (an options bag); throws a TypeError naming
// `what` and returns false otherwise.
bool check_options(napi_env env, napi_value value, const char* what);

// The bytes of an Int16Array, or of a Uint8Array (Buffer) when `bytes_too`. false (nothing
// thrown) for anything else.
bool get_pcm(napi_env env, napi_value value, bool bytes_too, const uint8_t** data, size_t* bytes);
// A new Int16Array holding a copy of `samples` samples.
napi_value make_int16_array(napi_env env, const int16_t* samples, size_t count);

// Reports an error that no script handler took: process.emitWarning when there is a process
// object, else console.error; never throws.
void emit_warning(napi_env env, napi_value error);

}  // namespace sonora_napi

#endif  // SONORA_NAPI_UTIL_H
