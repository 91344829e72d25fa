// sonora: command-line front end of the engine.
//
//   sonora play FILE.wav [--device virtual|hw] [--out rendered.wav] [--quiet]
//       Plays a 16-bit PCM WAV file (8000/16000/44100/48000 Hz, mono or stereo) gap-free. On the
//       virtual device, --out writes what the device rendered as a WAV file of the same format.
//   sonora demo [--out rendered.wav]
//       Synthesises three seconds of audio, plays it on the virtual device and checks that the
//       rendered stream holds it bit-exact.
//   sonora version
//
// The engine's log lines are shown with --verbose.
#include <hilog/log_sink.h>
#include <ohaudio/virtual_device.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sonora/sonora.h"

namespace {

using sonora::byte;

struct Pcm {
  int rate = 0;
  int channels = 0;
  std::vector<int16_t> samples;  // interleaved
};

// Receives the player's events on the handler's thread.
class StartEvents : public utils::Handler {
 public:
  bool handle(int, int arg1, int arg2, void*) override {
    if (arg1 == sonora::kArg1AudioPlayerStart) start_result.store(arg2);
    return true;
  }
  // Waits for the start event: after it nothing more is sent to this handler (a by-FPS player
  // reports nothing else), so it can then be destroyed while its loop sits idle.
  int wait_start(int timeout_ms) {
    for (int i = 0; i < timeout_ms && start_result.load() < 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return start_result.load();
  }
  std::atomic<int> start_result{-1};
};

bool read_wav(const std::string& path, Pcm* pcm, std::string* error) {
  SF_INFO info;
  std::memset(&info, 0, sizeof(info));
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) {
    *error = "cannot open " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  const int major = info.format & SF_FORMAT_TYPEMASK;
  const int minor = info.format & SF_FORMAT_SUBMASK;
  bool ok = true;
  if (major != SF_FORMAT_WAV || minor != SF_FORMAT_PCM_16) {
    *error = path + ": not a 16-bit PCM WAV file";
    ok = false;
  } else if (info.samplerate != 8000 && info.samplerate != 16000 && info.samplerate != 44100 &&
             info.samplerate != 48000) {
    *error = path + ": sample rate " + std::to_string(info.samplerate) +
             " not supported (8000, 16000, 44100, 48000)";
    ok = false;
  } else if (info.channels != 1 && info.channels != 2) {
    *error = path + ": " + std::to_string(info.channels) + " channels not supported (1 or 2)";
    ok = false;
  }
  if (ok) {
    pcm->rate = info.samplerate;
    pcm->channels = info.channels;
    pcm->samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_count_t got =
        sf_read_short(f, pcm->samples.data(), static_cast<sf_count_t>(pcm->samples.size()));
    pcm->samples.resize(static_cast<size_t>(std::max<sf_count_t>(got, 0)));
  }
  sf_close(f);
  return ok;
}

bool write_wav(const std::string& path, int rate, int channels, const std::vector<uint8_t>& bytes) {
  SF_INFO info;
  std::memset(&info, 0, sizeof(info));
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) {
    std::fprintf(stderr, "sonora: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
    return false;
  }
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(f);
  return true;
}

// Plays `pcm` through a player instance; returns the process exit code.
int play(const Pcm& pcm, bool hardware, const std::string& out, bool quiet) {
  vdev::use_hardware(hardware);
  if (!hardware) vdev::reset();

  const int bytes_per_frame = pcm.channels * 2;
  sonora::audio::Suit audio;
  std::memset(&audio, 0, sizeof(audio));
  audio.type = sonora::audio::kTypeRawPCM;
  audio.sample_rate = pcm.rate;
  audio.channel_per_frame = pcm.channels;
  audio.bit_per_channel = 16;
  audio.block = static_cast<size_t>(pcm.rate / 50 * bytes_per_frame);  // 20 ms
  audio.buffer_frame_count = 10;  // 200 ms of lead keeps playback gap-free on a busy machine
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
  const int backlog = suit.audio()->buffer_frame_count;

  StartEvents handler;
  int code = 0;
  {
    sonora::Sonora player(&suit, &handler);
    bool started = player.enable_audio(true);
    handler.wait_start(2000);
    if (!started) {
      std::fprintf(stderr, "sonora: the audio device did not start\n");
      return 1;
    }
    const byte* data = reinterpret_cast<const byte*>(pcm.samples.data());
    const size_t total = pcm.samples.size() * 2;
    const size_t block = audio.block;
    const double seconds = static_cast<double>(total) / (pcm.rate * bytes_per_frame);
    size_t pos = 0;
    auto last_print = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    // Keep at most 2 x buffer_frame_count blocks queued: the renderer thins the queue only beyond
    // that, so no block is ever skipped. One block per append keeps the count exact.
    while (pos < total) {
      if (player.audio_left() >= static_cast<size_t>(2 * backlog)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      } else {
        size_t n = std::min(block, total - pos);
        if (player.append_audio_data(data + pos, n, nullptr)) {
          pos += n;
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      }
      auto now = std::chrono::steady_clock::now();
      if (!quiet && now - last_print > std::chrono::milliseconds(100)) {
        last_print = now;
        std::fprintf(stderr, "\rplaying: %6.2f / %6.2f s",
                     static_cast<double>(pos) / (pcm.rate * bytes_per_frame), seconds);
      }
    }
    player.flush();
    // Drain: the queue empties, then the last block still has to pass through the device.
    while (player.audio_left() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!hardware) {
      uint64_t target = vdev::render_requests() + 3;
      vdev::wait_render_requests(target, 2000);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!quiet) std::fprintf(stderr, "\rplaying: %6.2f / %6.2f s\n", seconds, seconds);
    player.enable_audio(false);
  }
  if (!hardware && !out.empty()) {
    if (!write_wav(out, pcm.rate, pcm.channels, vdev::rendered())) code = 1;
  }
  return code;
}

bool contains(const std::vector<uint8_t>& hay, const byte* needle, size_t n, size_t* at) {
  auto it = std::search(hay.begin(), hay.end(), needle, needle + n);
  if (it == hay.end()) return false;
  *at = static_cast<size_t>(it - hay.begin());
  return true;
}

int demo(const std::string& out) {
  Pcm pcm;
  pcm.rate = 16000;
  pcm.channels = 1;
  // A rising chirp followed by a short arpeggio: three seconds.
  const double pi = 3.14159265358979323846;
  double phase = 0;
  for (int i = 0; i < 3 * pcm.rate; ++i) {
    double t = static_cast<double>(i) / pcm.rate;
    double f = t < 2.0 ? 200.0 + 900.0 * t : (t < 2.33 ? 523.25 : (t < 2.66 ? 659.25 : 783.99));
    phase += 2 * pi * f / pcm.rate;
    pcm.samples.push_back(static_cast<int16_t>(std::lrint(9000.0 * std::sin(phase))));
  }
  std::printf("sonora demo: %s, 3.00 s of 16 kHz mono through the virtual device\n",
              sonora::Sonora::version());
  int code = play(pcm, false, out, false);
  if (code != 0) return code;
  std::vector<uint8_t> rendered = vdev::rendered();
  size_t at = 0;
  const byte* in = reinterpret_cast<const byte*>(pcm.samples.data());
  bool exact = contains(rendered, in, pcm.samples.size() * 2, &at);
  std::printf("rendered %zu bytes in %llu requests; input found bit-exact: %s", rendered.size(),
              static_cast<unsigned long long>(vdev::render_requests()), exact ? "yes" : "NO");
  if (exact) std::printf(" (after %.1f ms of lead-in silence)", at / 32.0);
  std::printf("\n");
  if (!out.empty()) std::printf("wrote %s\n", out.c_str());
  return exact ? 0 : 1;
}

void drop_line(const hilog::Record&, void*) {}

int usage() {
  std::fprintf(stderr,
               "usage: sonora play FILE.wav [--device virtual|hw] [--out rendered.wav] [--quiet] "
               "[--verbose]\n"
               "       sonora demo [--out rendered.wav] [--verbose]\n"
               "       sonora version\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  std::string file;
  std::string out;
  std::string device = "virtual";
  bool quiet = false;
  bool verbose = false;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "--device" && i + 1 < argc) {
      device = argv[++i];
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (!a.empty() && a[0] != '-' && file.empty()) {
      file = a;
    } else {
      return usage();
    }
  }
  if (!verbose) hilog::set_sink(drop_line, nullptr);
  if (cmd == "version") {
    std::printf("%s\n", sonora::Sonora::version());
    return 0;
  }
  if (cmd == "demo") return demo(out);
  if (cmd != "play" || file.empty()) return usage();
  if (device != "virtual" && device != "hw") return usage();
  bool hardware = device == "hw";
  if (hardware && !vdev::hardware_available()) {
    std::fprintf(stderr, "sonora: this build has no hardware audio backend\n");
    return 1;
  }
  if (hardware && !out.empty()) {
    std::fprintf(stderr, "sonora: --out records the virtual device only\n");
    return 2;
  }
  Pcm pcm;
  std::string error;
  if (!read_wav(file, &pcm, &error)) {
    std::fprintf(stderr, "sonora: %s\n", error.c_str());
    return 1;
  }
  return play(pcm, hardware, out, quiet);
}
