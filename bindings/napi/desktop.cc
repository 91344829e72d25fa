// Desktop-only exports: decode() over the receiver's decoders (so that a script can check what
// it sent), and `virtualDevice`, the controls of the virtual audio device that tests and examples
// use (what was rendered, what the microphone hears, the echo path and faults).
#include <hilog/log_sink.h>
#include <ohaudio/virtual_device.h>

#include <cstring>
#include <string>
#include <vector>

#include "module.h"
#include "receiver/mf_decoder.h"
#include "receiver/tone_decoder.h"

namespace sonora_napi {

namespace {

napi_value make_string_array(napi_env env, const std::vector<std::vector<uint8_t>>& texts) {
  napi_value array = nullptr;
  napi_create_array_with_length(env, texts.size(), &array);
  for (size_t i = 0; i < texts.size(); ++i) {
    napi_value s = nullptr;
    napi_create_string_utf8(env, reinterpret_cast<const char*>(texts[i].data()), texts[i].size(),
                            &s);
    napi_set_element(env, array, static_cast<uint32_t>(i), s);
  }
  return array;
}

// Feeds all of `pcm` to a decoder of `rate` and adds its texts; false when it does not take the
// rate.
template <typename Decoder>
bool run_decoder(const int16_t* pcm, size_t n, int64_t rate,
                 std::vector<std::vector<uint8_t>>* texts) {
  Decoder decoder(static_cast<int>(rate));
  if (!decoder.valid()) return false;
  decoder.feed(pcm, n);
  decoder.flush();
  for (auto& t : decoder.take_texts()) texts->push_back(std::move(t));
  return true;
}

// decode(pcm: Int16Array, sampleRate, {format: 'mf' | 'tone' | 'auto'}): string[]
napi_value decode(napi_env env, napi_callback_info info) {
  Args args;
  if (!get_args(env, info, &args)) return nullptr;
  const uint8_t* data = nullptr;
  size_t bytes = 0;
  if (!get_pcm(env, args.argv[0], false, &data, &bytes)) {
    return throw_type_error(env, "decode: pcm must be an Int16Array of mono samples");
  }
  int64_t rate = 0;
  if (!get_integer(env, args.argv[1], 1, 1e6, &rate)) {
    return throw_type_error(env, "decode: sampleRate must be a positive integer");
  }
  std::string format = "auto";
  napi_value v = nullptr;
  if (!check_options(env, args.argv[2], "decode options")) return nullptr;
  if (get_option(env, args.argv[2], "format", &v) &&
      (!get_string(env, v, &format) || (format != "mf" && format != "tone" && format != "auto"))) {
    return throw_type_error(env, "decode options: 'format' must be 'mf', 'tone' or 'auto'");
  }
  const auto* pcm = reinterpret_cast<const int16_t*>(data);
  std::vector<std::vector<uint8_t>> texts;
  bool any = false;
  if (format != "tone") {
    const bool valid = run_decoder<receiver::MfDecoder>(pcm, bytes / 2, rate, &texts);
    if (!valid && format == "mf") {
      return throw_type_error(env, "decode: the mf decoder takes 32000 to 192000 Hz");
    }
    any = any || valid;
  }
  if (format != "mf") {
    const bool valid = run_decoder<receiver::ToneDecoder>(pcm, bytes / 2, rate, &texts);
    if (!valid && format == "tone") {
      return throw_type_error(env, "decode: the tone decoder takes 22050 to 192000 Hz");
    }
    any = any || valid;
  }
  if (!any) return throw_type_error(env, "decode: no decoder takes this sampleRate");
  return make_string_array(env, texts);
}

// ---- virtualDevice ----

napi_value samples_of(napi_env env, const std::vector<uint8_t>& bytes) {
  return make_int16_array(env, reinterpret_cast<const int16_t*>(bytes.data()), bytes.size() / 2);
}

// The integer argument `i`, or a TypeError naming `what`.
bool int_arg(napi_env env, const Args& args, size_t i, const char* what, int64_t* out) {
  if (get_integer(env, args.argv[i], -2147483648.0, 2147483647.0, out)) return true;
  throw_type_error(env, std::string("virtualDevice: ") + what + " must be an integer");
  return false;
}

#define VDEV_FN(name) napi_value name(napi_env env, napi_callback_info info)
#define VDEV_ARGS \
  Args args;      \
  if (!get_args(env, info, &args)) return nullptr

VDEV_FN(vd_reset) {
  vdev::reset();
  (void)info;
  return undefined(env);
}

VDEV_FN(vd_rendered) {
  (void)info;
  return samples_of(env, vdev::rendered());
}

VDEV_FN(vd_captured) {
  (void)info;
  return samples_of(env, vdev::captured());
}

VDEV_FN(vd_set_capture_source) {
  VDEV_ARGS;
  const uint8_t* data = nullptr;
  size_t bytes = 0;
  if (!get_pcm(env, args.argv[0], true, &data, &bytes)) {
    return throw_type_error(env,
                            "virtualDevice.setCaptureSource: pcm must be an Int16Array or "
                            "a Buffer");
  }
  bool loop = false;
  if (!is_undefined(env, args.argv[1]) &&
      napi_get_value_bool(env, args.argv[1], &loop) != napi_ok) {
    return throw_type_error(env, "virtualDevice.setCaptureSource: loop must be a boolean");
  }
  vdev::set_capture_source(std::vector<uint8_t>(data, data + bytes), loop);
  return undefined(env);
}

VDEV_FN(vd_set_echo) {
  VDEV_ARGS;
  int64_t delay = 0;
  double gain = 0;
  if (!int_arg(env, args, 0, "delayMs", &delay)) return nullptr;
  if (!get_finite(env, args.argv[1], &gain)) {
    return throw_type_error(env, "virtualDevice.setEcho: gain must be a finite number");
  }
  vdev::set_echo(static_cast<int>(delay), static_cast<float>(gain));
  return undefined(env);
}

VDEV_FN(vd_set_echo_impulse_response) {
  VDEV_ARGS;
  bool typed = false;
  napi_typedarray_type type;
  size_t length = 0;
  void* base = nullptr;
  if (napi_is_typedarray(env, args.argv[0], &typed) != napi_ok || !typed ||
      napi_get_typedarray_info(env, args.argv[0], &type, &length, &base, nullptr, nullptr) !=
          napi_ok ||
      type != napi_float32_array) {
    return throw_type_error(env,
                            "virtualDevice.setEchoImpulseResponse: ir must be a "
                            "Float32Array");
  }
  const float* taps = static_cast<const float*>(base);
  return make_bool(
      env, vdev::set_echo_impulse_response(length > 0 ? std::vector<float>(taps, taps + length)
                                                      : std::vector<float>()));
}

VDEV_FN(vd_room_impulse_response) {
  VDEV_ARGS;
  int64_t rate = 0, length = 0, rt60 = 0, seed = 0;
  double drr = 0;
  if (!int_arg(env, args, 0, "rate", &rate) || !int_arg(env, args, 1, "lengthMs", &length) ||
      !int_arg(env, args, 2, "rt60Ms", &rt60)) {
    return nullptr;
  }
  if (!get_finite(env, args.argv[3], &drr)) {
    return throw_type_error(env, "virtualDevice.roomImpulseResponse: drrDb must be a number");
  }
  if (!is_undefined(env, args.argv[4]) && !get_integer(env, args.argv[4], 0, 4294967295.0, &seed)) {
    return throw_type_error(env, "virtualDevice.roomImpulseResponse: seed must be an integer");
  }
  const std::vector<float> ir = vdev::room_impulse_response(
      static_cast<int>(rate), static_cast<int>(length), static_cast<int>(rt60),
      static_cast<float>(drr), static_cast<uint32_t>(seed));
  void* base = nullptr;
  napi_value buffer = nullptr, array = nullptr;
  napi_create_arraybuffer(env, ir.size() * sizeof(float), &base, &buffer);
  if (!ir.empty()) std::memcpy(base, ir.data(), ir.size() * sizeof(float));
  napi_create_typedarray(env, napi_float32_array, ir.size(), buffer, 0, &array);
  return array;
}

VDEV_FN(vd_set_capture_noise) {
  VDEV_ARGS;
  double dbfs = 0;
  int64_t seed = 0;
  napi_value v = args.argv[0];
  if (type_of(env, v) != napi_number || napi_get_value_double(env, v, &dbfs) != napi_ok) {
    return throw_type_error(env, "virtualDevice.setCaptureNoise: rmsDbfs must be a number");
  }
  if (!is_undefined(env, args.argv[1]) && !get_integer(env, args.argv[1], 0, 4294967295.0, &seed)) {
    return throw_type_error(env, "virtualDevice.setCaptureNoise: seed must be an integer");
  }
  return make_bool(env,
                   vdev::set_capture_noise(static_cast<float>(dbfs), static_cast<uint32_t>(seed)));
}

// Functions of one integer argument.
template <void (*F)(int)>
napi_value int_setter(napi_env env, napi_callback_info info) {
  VDEV_ARGS;
  int64_t n = 0;
  if (!int_arg(env, args, 0, "the argument", &n)) return nullptr;
  F(static_cast<int>(n));
  return undefined(env);
}

template <int (*F)(int)>
napi_value int_pump(napi_env env, napi_callback_info info) {
  VDEV_ARGS;
  int64_t n = 0;
  if (!int_arg(env, args, 0, "requests", &n)) return nullptr;
  return make_number(env, F(static_cast<int>(n)));
}

// Functions of two integer arguments (interruptions: force, hint).
template <void (*F)(int, int)>
napi_value int2_setter(napi_env env, napi_callback_info info) {
  VDEV_ARGS;
  int64_t a = 0, b = 0;
  if (!int_arg(env, args, 0, "force", &a) || !int_arg(env, args, 1, "hint", &b)) return nullptr;
  F(static_cast<int>(a), static_cast<int>(b));
  return undefined(env);
}

template <void (*F)(bool)>
napi_value bool_setter(napi_env env, napi_callback_info info) {
  VDEV_ARGS;
  bool on = false;
  if (type_of(env, args.argv[0]) != napi_boolean) {
    return throw_type_error(env, "virtualDevice: the argument must be a boolean");
  }
  napi_get_value_bool(env, args.argv[0], &on);
  F(on);
  return undefined(env);
}

void drop_log_line(const hilog::Record&, void*) {}

// The engine's log lines on standard error (the default), or nowhere.
void set_log_enabled(bool on) {
  hilog::set_sink(on ? nullptr : drop_log_line, nullptr);
}

}  // namespace

bool define_desktop(napi_env env, napi_value exports) {
  napi_value vd = nullptr;
  if (!set_function(env, exports, "decode", decode) || napi_create_object(env, &vd) != napi_ok) {
    return false;
  }
  const struct {
    const char* name;
    napi_callback fn;
  } fns[] = {
      {"reset", vd_reset},
      {"rendered", vd_rendered},
      {"captured", vd_captured},
      {"setCaptureSource", vd_set_capture_source},
      {"setEcho", vd_set_echo},
      {"setEchoImpulseResponse", vd_set_echo_impulse_response},
      {"roomImpulseResponse", vd_room_impulse_response},
      {"setCaptureNoise", vd_set_capture_noise},
      {"setPlatformRequestMs", int_setter<vdev::set_platform_request_ms>},
      {"setCaptureCallbackMs", int_setter<vdev::set_capture_callback_ms>},
      {"setCallbackJitterMs", int_setter<vdev::set_callback_jitter_ms>},
      {"failNextRendererStart", int_setter<vdev::fail_next_renderer_start>},
      {"failNextCapturerStart", int_setter<vdev::fail_next_capturer_start>},
      {"injectRendererError", int_setter<vdev::inject_renderer_error>},
      {"injectCapturerError", int_setter<vdev::inject_capturer_error>},
      {"injectRendererInterrupt", int2_setter<vdev::inject_renderer_interrupt>},
      {"injectCapturerInterrupt", int2_setter<vdev::inject_capturer_interrupt>},
      {"setMicrophonePermission", bool_setter<vdev::set_microphone_permission>},
      {"setManualClock", bool_setter<vdev::set_manual_clock>},
      {"pumpRender", int_pump<vdev::pump_render>},
      {"pumpCapture", int_pump<vdev::pump_capture>},
      {"setLogEnabled", bool_setter<set_log_enabled>},
  };
  for (const auto& f : fns) {
    if (!set_function(env, vd, f.name, f.fn)) return false;
  }
  return napi_set_named_property(env, exports, "virtualDevice", vd) == napi_ok;
}

}  // namespace sonora_napi
