#include "napi_util.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sonora_napi {

napi_value throw_type_error(napi_env env, const std::string& message) {
  napi_throw_type_error(env, nullptr, message.c_str());
  return nullptr;
}

napi_value throw_error(napi_env env, const std::string& message) {
  napi_throw_error(env, nullptr, message.c_str());
  return nullptr;
}

napi_value make_error(napi_env env, const char* code, const std::string& message) {
  napi_value msg = make_string(env, message), error = nullptr;
  napi_value code_value = code != nullptr ? make_string(env, code) : nullptr;
  napi_create_error(env, code_value, msg, &error);
  return error;
}

bool get_args(napi_env env, napi_callback_info info, Args* args) {
  args->argc = Args::kMaxArgs;
  if (napi_get_cb_info(env, info, &args->argc, args->argv, &args->self, &args->data) != napi_ok) {
    return false;
  }
  napi_value undef = undefined(env);
  for (size_t i = args->argc; i < Args::kMaxArgs; ++i) args->argv[i] = undef;
  return true;
}

napi_valuetype type_of(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  if (value == nullptr || napi_typeof(env, value, &type) != napi_ok) return napi_undefined;
  return type;
}

bool is_undefined(napi_env env, napi_value value) {
  return type_of(env, value) == napi_undefined;
}

napi_value undefined(napi_env env) {
  napi_value v = nullptr;
  napi_get_undefined(env, &v);
  return v;
}

napi_value make_bool(napi_env env, bool value) {
  napi_value v = nullptr;
  napi_get_boolean(env, value, &v);
  return v;
}

napi_value make_number(napi_env env, double value) {
  napi_value v = nullptr;
  napi_create_double(env, value, &v);
  return v;
}

napi_value make_string(napi_env env, const std::string& value) {
  napi_value v = nullptr;
  napi_create_string_utf8(env, value.data(), value.size(), &v);
  return v;
}

bool get_string(napi_env env, napi_value value, std::string* out) {
  if (type_of(env, value) != napi_string) return false;
  size_t length = 0;
  if (napi_get_value_string_utf8(env, value, nullptr, 0, &length) != napi_ok) return false;
  std::vector<char> buffer(length + 1);
  if (napi_get_value_string_utf8(env, value, buffer.data(), buffer.size(), &length) != napi_ok) {
    return false;
  }
  out->assign(buffer.data(), length);
  return true;
}

bool get_integer(napi_env env, napi_value value, double min, double max, int64_t* out) {
  double d = 0;
  if (!get_finite(env, value, &d) || std::floor(d) != d || d < min || d > max) return false;
  *out = static_cast<int64_t>(d);
  return true;
}

bool get_finite(napi_env env, napi_value value, double* out) {
  if (type_of(env, value) != napi_number) return false;
  double d = 0;
  if (napi_get_value_double(env, value, &d) != napi_ok || !std::isfinite(d)) return false;
  *out = d;
  return true;
}

bool get_option(napi_env env, napi_value object, const char* name, napi_value* out) {
  if (type_of(env, object) != napi_object) return false;
  bool has = false;
  if (napi_has_named_property(env, object, name, &has) != napi_ok || !has) return false;
  if (napi_get_named_property(env, object, name, out) != napi_ok) return false;
  return !is_undefined(env, *out);
}

bool check_options(napi_env env, napi_value value, const char* what) {
  const napi_valuetype type = type_of(env, value);
  if (type == napi_undefined) return true;
  bool array = false;
  if (type == napi_object) napi_is_array(env, value, &array);
  if (type != napi_object || array) {
    throw_type_error(env, std::string(what) + " must be an object");
    return false;
  }
  return true;
}

bool get_pcm(napi_env env, napi_value value, bool bytes_too, const uint8_t** data, size_t* bytes) {
  bool typed = false;
  if (value == nullptr || napi_is_typedarray(env, value, &typed) != napi_ok || !typed) return false;
  napi_typedarray_type type;
  size_t length = 0;
  void* base = nullptr;
  if (napi_get_typedarray_info(env, value, &type, &length, &base, nullptr, nullptr) != napi_ok) {
    return false;
  }
  if (type == napi_int16_array) {
    *bytes = length * 2;
  } else if (bytes_too && type == napi_uint8_array) {
    *bytes = length;
  } else {
    return false;
  }
  static const uint8_t kEmpty = 0;
  *data = base != nullptr ? static_cast<const uint8_t*>(base) : &kEmpty;
  return true;
}

napi_value make_int16_array(napi_env env, const int16_t* samples, size_t count) {
  void* base = nullptr;
  napi_value buffer = nullptr, array = nullptr;
  if (napi_create_arraybuffer(env, count * 2, &base, &buffer) != napi_ok) return nullptr;
  if (count > 0) std::memcpy(base, samples, count * 2);
  napi_create_typedarray(env, napi_int16_array, count, buffer, 0, &array);
  return array;
}

namespace {

// Calls global[object][method](arg); true when it was there and returned normally.
bool call_global(napi_env env, const char* object, const char* method, napi_value arg) {
  napi_value global = nullptr, holder = nullptr, fn = nullptr, result = nullptr;
  if (napi_get_global(env, &global) != napi_ok || !get_option(env, global, object, &holder) ||
      !get_option(env, holder, method, &fn) || type_of(env, fn) != napi_function) {
    return false;
  }
  if (napi_call_function(env, holder, fn, 1, &arg, &result) == napi_ok) return true;
  napi_value ignored = nullptr;
  napi_get_and_clear_last_exception(env, &ignored);
  return false;
}

}  // namespace

void emit_warning(napi_env env, napi_value error) {
  if (call_global(env, "process", "emitWarning", error)) return;
  if (call_global(env, "console", "error", error)) return;
  std::fprintf(stderr, "sonora: an exception thrown by a script callback was not handled\n");
}

}  // namespace sonora_napi
