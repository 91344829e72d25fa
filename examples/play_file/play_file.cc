// play_file: plays a 16-bit PCM WAV file through libmarlin.
//
//   play_file FILE.wav        on the virtual audio device (no sound card needed), then checks that
//                             the device rendered the file's audio sample for sample
//   play_file FILE.wav --hw   on the default sound card (PortAudio)
//
// The file must be 16-bit PCM at 8000, 16000, 44100 or 48000 Hz, mono or stereo.
#include <hilog/log_sink.h>          // hilog::set_sink, where the engine's log lines go
#include <ohaudio/virtual_device.h>  // vdev::, the desktop virtual audio device
#include <sonora/sonora.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Wav {
  int rate = 0;
  int channels = 0;
  std::vector<uint8_t> pcm;  // interleaved little-endian 16-bit samples
};

uint32_t le16(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
  return le16(p) | le16(p + 2) << 16;
}

// Reads a plain RIFF/WAVE file: walks the chunks for "fmt " and "data". Returns an error or "".
std::string read_wav(const char* path, Wav* wav) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string("cannot open ") + path;
  const std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), {});
  if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) || std::memcmp(f.data() + 8, "WAVE", 4)) {
    return std::string(path) + " is not a WAV file";
  }
  uint32_t format = 0, bits = 0;
  for (size_t pos = 12; pos + 8 <= f.size();) {
    const uint8_t* id = f.data() + pos;
    const size_t body = pos + 8;
    const size_t size = std::min<size_t>(le32(id + 4), f.size() - body);  // a cut data chunk
    if (!std::memcmp(id, "fmt ", 4) && size >= 16) {
      format = le16(f.data() + body);  // 1: PCM, 0xFFFE: WAVE_FORMAT_EXTENSIBLE
      wav->channels = static_cast<int>(le16(f.data() + body + 2));
      wav->rate = static_cast<int>(le32(f.data() + body + 4));
      bits = le16(f.data() + body + 14);
    } else if (!std::memcmp(id, "data", 4)) {
      wav->pcm.assign(f.begin() + body, f.begin() + body + size);
    }
    pos = body + size + (size & 1);  // chunks are padded to an even length
  }
  if ((format != 1 && format != 0xFFFE) || bits != 16) return "not 16-bit PCM";
  if (wav->channels != 1 && wav->channels != 2) return "not mono or stereo";
  if (wav->rate != 8000 && wav->rate != 16000 && wav->rate != 44100 && wav->rate != 48000) {
    return "rate " + std::to_string(wav->rate) + " Hz is not 8000, 16000, 44100 or 48000";
  }
  wav->pcm.resize(wav->pcm.size() / (2 * wav->channels) * (2 * wav->channels));  // whole frames
  return "";
}

// The player's events arrive here, on the handler's own thread.
class Events : public utils::Handler {
 public:
  ~Events() override { stop(); }  // no handle() may run while this object is destroyed
  bool handle(int, int arg1, int arg2, void*) override {
    if (arg1 == sonora::kArg1AudioPlayerStart) {
      std::printf("event: player start, %s\n", arg2 == sonora::kArg2Success ? "success" : "failed");
    }
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "--hw") != 0)) {
    std::fprintf(stderr, "usage: play_file FILE.wav [--hw]\n");
    return 2;
  }
  const bool hardware = argc == 3;
  // The engine logs to standard error; keep this program's output short.
  hilog::set_sink([](const hilog::Record&, void*) {}, nullptr);
  Wav wav;
  const std::string error = read_wav(argv[1], &wav);
  if (!error.empty()) {
    std::fprintf(stderr, "play_file: %s: %s\n", argv[1], error.c_str());
    return 1;
  }

  // Choose the device before the player is created; reset() empties the virtual recording.
  if (hardware && !vdev::hardware_available()) {
    std::fprintf(stderr, "play_file: this libmarlin has no PortAudio backend\n");
    return 1;
  }
  vdev::use_hardware(hardware);
  vdev::reset();

  // The stream: raw 16-bit PCM in the file's format, appended in blocks of 20 ms.
  const size_t frame_bytes = 2 * static_cast<size_t>(wav.channels);
  sonora::audio::Suit audio = {};
  audio.type = sonora::audio::kTypeRawPCM;
  audio.sample_rate = wav.rate;
  audio.channel_per_frame = wav.channels;
  audio.bit_per_channel = 16;
  audio.block = static_cast<size_t>(wav.rate / 50) * frame_bytes;
  audio.buffer_frame_count = 10;  // the renderer thins a backlog beyond twice this many blocks
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);

  const double seconds = static_cast<double>(wav.pcm.size()) / frame_bytes / wav.rate;
  std::printf("playing %s: %.2f s, %d Hz, %d channel(s), on the %s device\n", argv[1], seconds,
              wav.rate, wav.channels, hardware ? "hardware" : "virtual");

  Events events;  // declared before the player: it must outlive it
  sonora::Sonora player(&suit, &events);
  if (!player.enable_audio(true)) {
    std::fprintf(stderr, "play_file: the audio device did not start\n");
    return 1;
  }
  // Append one block at a time, keeping at most 2 x buffer_frame_count blocks queued, so that
  // the renderer never has to skip one. An append may be refused (false): wait and try again.
  const size_t max_queued = 2 * static_cast<size_t>(suit.audio()->buffer_frame_count);
  for (size_t pos = 0; pos < wav.pcm.size();) {
    const size_t n = std::min(audio.block, wav.pcm.size() - pos);
    if (player.audio_left() < max_queued && player.append_audio_data(&wav.pcm[pos], n, nullptr)) {
      pos += n;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  player.flush();  // a partial last block is queued too
  while (player.audio_left() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  // The last block is being rendered: give the device a few more requests.
  if (hardware) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  } else {
    vdev::wait_render_requests(vdev::render_requests() + 3, 2000);
  }
  player.enable_audio(false);

  if (!hardware) {
    // The virtual device recorded every request: the file's audio must be in it unchanged.
    const std::vector<uint8_t> rendered = vdev::rendered();
    const bool found = std::search(rendered.begin(), rendered.end(), wav.pcm.begin(),
                                   wav.pcm.end()) != rendered.end();
    std::printf("the virtual device rendered %.2f s; the file's audio %s\n",
                static_cast<double>(rendered.size()) / frame_bytes / wav.rate,
                found ? "is in it sample for sample" : "is NOT in it");
    if (!found) return 1;
  }
  std::printf("done\n");
  return 0;
}
