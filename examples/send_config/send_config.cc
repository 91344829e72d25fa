// send_config: sends a text as a sound-wave configuration and decodes it again.
//
//   send_config [TEXT]    (default "ssid=home;pass=secret")
//
// Sonora::gen_sound_config2 plays TEXT as six-tone symbols (48 kHz mono) on the virtual audio
// device and returns when it has been played. What the device rendered (vdev::rendered()) is
// then fed to receiver::ToneDecoder, the listening side of the same format, and the decoded text
// is printed. Succeeds when it is TEXT.
#include <hilog/log_sink.h>          // hilog::set_sink, where the engine's log lines go
#include <ohaudio/virtual_device.h>  // vdev::, the desktop virtual audio device
#include <receiver/tone_decoder.h>   // marlin::receiver (libmarlin_receiver.a)
#include <sonora/sonora.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: send_config [TEXT]\n");
    return 2;
  }
  const std::string text = argc == 2 ? argv[1] : "ssid=home;pass=secret";
  // The engine logs to standard error; keep this program's output short.
  hilog::set_sink([](const hilog::Record&, void*) {}, nullptr);

  // The virtual device records everything rendered since reset().
  vdev::use_hardware(false);
  vdev::reset();

  std::printf("sending \"%s\" as tones\n", text.c_str());
  std::fflush(stdout);
  sonora::Sonora::gen_sound_config2(text.c_str(), 1);  // once; blocks until it has been played

  // The rendered stream: 16-bit mono samples at 48000 Hz.
  const std::vector<uint8_t> rendered = vdev::rendered();
  std::vector<int16_t> pcm(rendered.size() / 2);
  std::memcpy(pcm.data(), rendered.data(), pcm.size() * 2);
  std::printf("rendered %.2f s\n", static_cast<double>(pcm.size()) / 48000);

  // Without a callback the decoder queues the texts; flush() decodes what ended with the input.
  receiver::ToneDecoder decoder(48000);
  decoder.feed(pcm.data(), pcm.size());
  decoder.flush();
  bool ok = false;
  for (const receiver::ToneDecoder::Text& t : decoder.take_texts()) {
    const std::string decoded(t.begin(), t.end());
    std::printf("decoded \"%s\"\n", decoded.c_str());
    ok = ok || decoded == text;
  }
  if (!ok) {
    std::fprintf(stderr, "send_config: the text was not decoded\n");
    return 1;
  }
  return 0;
}
