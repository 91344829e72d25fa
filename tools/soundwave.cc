#include "soundwave.h"

#include <algorithm>
#include <cstdio>

#include "receiver/mf_decoder.h"
#include "receiver/tone_decoder.h"
#include "stdout_silencer.h"
#include "transmit/transmit.h"
#include "utils/voiceenc.h"

namespace tool {

namespace {

constexpr int kMfRate = 44100;
constexpr int kToneRate = 48000;
// gen_sound_config2 keeps the first 4096 codes of a text and drops the rest.
constexpr int kToneMaxCodes = 4096;
// The fixed pauses of the calls: gen_sound_config waits 1 s after the last frame has been played
// and 0.1 s after the player stops; gen_sound_config2 waits 1.5 s after queueing each repetition,
// then 1 s and 0.03 s as it stops.
constexpr double kMfTailSeconds = 1.1;
constexpr double kToneRepetitionPauseSeconds = 1.5;
constexpr double kToneTailSeconds = 1.03;
// A player queues up to 50 blocks (of 20 ms in both calls) ahead of what it plays: the last second
// of a repetition is still playing while gen_sound_config2 begins its pause.
constexpr double kQueuedSeconds = 50 * 0.020;

// The code stream of `text`. voiceenc_data2code prints a checksum line on standard output; the
// call itself prints it when it sends, so this look-ahead keeps it off.
std::vector<unsigned char> tone_codes(const std::string& text) {
  StdoutSilencer silencer;
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  const int len = static_cast<int>(text.size());
  std::vector<unsigned char> codes(static_cast<size_t>(voiceenc_data2code(data, len, nullptr, 0)));
  voiceenc_data2code(data, len, codes.data(), static_cast<int>(codes.size()));
  return codes;
}

// Samples `encode` delivers; it calls back synchronously on this thread.
size_t g_mf_samples = 0;

void count_mf_frame(const void*, size_t size) {
  g_mf_samples += size / 2;
}

}  // namespace

const char* format_name(Format format) {
  return format == Format::kMf ? "mf" : "tone";
}

int format_rate(Format format) {
  return format == Format::kMf ? kMfRate : kToneRate;
}

bool parse_formats(const cli::Args& args, bool allow_auto, const std::vector<Format>& fallback,
                   std::vector<Format>* formats, std::string* error) {
  if (!args.has(kFormatOption.name)) {
    *formats = fallback;
    return true;
  }
  const std::string name = args.value(kFormatOption.name);
  if (name == "mf") {
    *formats = {Format::kMf};
  } else if (name == "tone") {
    *formats = {Format::kTone};
  } else if (allow_auto && name == "auto") {
    *formats = {Format::kMf, Format::kTone};
  } else {
    *error = "unknown format " + name + (allow_auto ? " (mf, tone or auto)" : " (mf or tone)");
    return false;
  }
  return true;
}

std::string unsendable(Format format, const std::string& text) {
  if (format == Format::kMf) {
    if (text.size() > SOUND_WAVE_TRANSMIT_MAX_CHARS) {
      return "the mf format sends at most " + std::to_string(SOUND_WAVE_TRANSMIT_MAX_CHARS) +
             " bytes, the text has " + std::to_string(text.size());
    }
    return "";
  }
  const size_t codes = tone_codes(text).size();
  if (codes > static_cast<size_t>(kToneMaxCodes)) {
    return "the tone format sends at most " + std::to_string(kToneMaxCodes) +
           " codes, the text needs " + std::to_string(codes);
  }
  return "";
}

double transmission_seconds(Format format, const std::string& text, int times) {
  if (format == Format::kMf) {
    g_mf_samples = 0;
    encode(text.c_str(), count_mf_frame);
    return times * static_cast<double>(g_mf_samples) / kMfRate + kMfTailSeconds;
  }
  // Code c is 60 periods of a tone of 16000 / (10 - c) x 3 Hz: 60 x (10 - c) samples at 48 kHz.
  size_t samples = 0;
  for (unsigned char c : tone_codes(text)) samples += 60u * (10u - c);
  const double audio = static_cast<double>(samples) / kToneRate;
  const double played_before_pause = std::max(audio - kQueuedSeconds, 0.0);
  const double after_pause =
      std::max(std::min(audio, kQueuedSeconds) - kToneRepetitionPauseSeconds, 0.0);
  return times * (played_before_pause + kToneRepetitionPauseSeconds) + after_pause +
         kToneTailSeconds;
}

std::string escape_text(const std::vector<uint8_t>& text) {
  std::string s;
  for (uint8_t b : text) {
    if (b >= 0x20 && b < 0x7f && b != '\\') {
      s += static_cast<char>(b);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02x", b);
      s += hex;
    }
  }
  return s;
}

Decoders::Decoders(const std::vector<Format>& formats, int rate, OnText on_text)
    : on_text_(std::move(on_text)) {
  for (Format f : formats) {
    if (f == Format::kMf) {
      mf_ = std::make_unique<receiver::MfDecoder>(
          rate, [this](const receiver::MfDecoder::Text& text, int) {
            ++decoded_;
            on_text_(Format::kMf, text);
          });
    } else {
      tone_ = std::make_unique<receiver::ToneDecoder>(
          rate, [this](const receiver::ToneDecoder::Text& text) {
            ++decoded_;
            on_text_(Format::kTone, text);
          });
    }
  }
}

Decoders::~Decoders() = default;

std::vector<Format> Decoders::refused() const {
  std::vector<Format> refused;
  if (mf_ && !mf_->valid()) refused.push_back(Format::kMf);
  if (tone_ && !tone_->valid()) refused.push_back(Format::kTone);
  return refused;
}

void Decoders::feed(const int16_t* pcm, size_t n) {
  if (mf_) mf_->feed(pcm, n);
  if (tone_) tone_->feed(pcm, n);
}

void Decoders::flush() {
  if (mf_) mf_->flush();
  if (tone_) tone_->flush();
}

void print_text(Format format, const std::vector<uint8_t>& text) {
  std::printf("%s: %s\n", format_name(format), escape_text(text).c_str());
  std::fflush(stdout);
}

}  // namespace tool
