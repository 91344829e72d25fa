// Sound-wave configuration in the tool, shared by soundconfig, decode and listen: the two formats,
// how long a transmission lasts, and the decoders that turn PCM back into texts.
#ifndef TOOLS_SOUNDWAVE_H
#define TOOLS_SOUNDWAVE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"

namespace receiver {
class MfDecoder;
class ToneDecoder;
}  // namespace receiver

namespace tool {

// mf: Sonora::gen_sound_config (four-tone symbols, 44100 Hz); tone: Sonora::gen_sound_config2
// (six triangle tones, 48000 Hz).
enum class Format { kMf, kTone };

// The option to list in a command's options.
inline constexpr cli::Option kFormatOption = {"--format", true};

// "mf" or "tone".
const char* format_name(Format format);
// The sample rate the format is sent at.
int format_rate(Format format);

// The formats --format asks for: "mf" or "tone", and with `allow_auto` "auto" (both); absent it
// is `fallback`. false with the reason in *error (a usage error) for any other value.
bool parse_formats(const cli::Args& args, bool allow_auto, const std::vector<Format>& fallback,
                   std::vector<Format>* formats, std::string* error);

// Why `text` cannot be sent in `format` (the call would send it cut or not at all), or ""
// when it can.
std::string unsendable(Format format, const std::string& text);

// Seconds the configuration call of `format` takes to send `text` `times` times: the audio of
// every repetition (worked out by encoding the text as the call does) plus the call's fixed
// pauses.
double transmission_seconds(Format format, const std::string& text, int times);

// `text` with every byte that is not printable ASCII, and the backslash, written as \xHH.
std::string escape_text(const std::vector<uint8_t>& text);

// The streaming decoders of some formats, fed the same mono 16-bit PCM. Not thread-safe.
class Decoders {
 public:
  using OnText = std::function<void(Format format, const std::vector<uint8_t>& text)>;

  // Decoders of `formats` for PCM at `rate`; `on_text` receives each decoded text inside feed or
  // flush.
  Decoders(const std::vector<Format>& formats, int rate, OnText on_text);
  ~Decoders();
  Decoders(const Decoders&) = delete;
  Decoders& operator=(const Decoders&) = delete;

  // The formats whose decoder does not take the rate (they ignore what is fed).
  std::vector<Format> refused() const;
  void feed(const int16_t* pcm, size_t n);
  // End of input: transmissions heard so far are reported now.
  void flush();
  // Texts reported so far, all formats together.
  size_t decoded() const { return decoded_; }

 private:
  OnText on_text_;
  size_t decoded_ = 0;
  std::unique_ptr<receiver::MfDecoder> mf_;
  std::unique_ptr<receiver::ToneDecoder> tone_;
};

// Writes "FORMAT: text" (escaped) and a newline to standard output, and flushes it.
void print_text(Format format, const std::vector<uint8_t>& text);

}  // namespace tool

#endif  // TOOLS_SOUNDWAVE_H
