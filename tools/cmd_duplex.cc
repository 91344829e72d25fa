// sonora duplex [--out-dir DIR] [--seconds N] [--canceller mobile|full]
//                [--far FAR.wav] [--near NEAR.wav [--near-at SECONDS]]
//   The engine in a call on the virtual device: it plays a far-end talker into a simulated room
//   while capturing the microphone, which hears the echo of the far end (delay, gain, a decaying
//   room response and a noise floor) and, for part of the time, a second talker near the
//   microphone. Capture runs with echo cancellation (the mobile canceller, or --canceller full)
//   and noise suppression. Writes the raw microphone, the processed capture and a plot of both
//   levels, and prints the echo return loss enhancement over echo-only stretches and how the
//   near-end talker fares in double talk.
//   The talkers are speech synthesised with espeak-ng, or recordings of your own (16 kHz mono
//   16-bit WAV): --far is played (the run lasts as long, plus half a second, unless --seconds
//   says otherwise); --near is heard at the microphone from --near-at seconds on (default 0).
#include <ohaudio/virtual_device.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "cli.h"
#include "levels.h"
#include "numbers.h"
#include "plot.h"
#include "progress.h"
#include "sonora/sonora.h"
#include "speech.h"
#include "wav.h"

namespace {

constexpr int kRate = tool::kCaptureRate;
constexpr size_t kBlockSamples = tool::kCaptureBlock / 2;
constexpr double kBlockSeconds = static_cast<double>(kBlockSamples) / kRate;

// The scene.
constexpr const char* kFarVoice = "en";
constexpr int kFarWordsPerMinute = 150;
constexpr const char* kFarText =
    "Good morning, this is the far end speaking. The weather today is mild, with a light breeze "
    "from the west and a chance of rain in the evening. Please remember to bring an umbrella if "
    "you are going out later, and drive carefully on the wet roads.";
constexpr const char* kNearVoice = "en-us+f3";
constexpr int kNearWordsPerMinute = 170;
constexpr const char* kNearText =
    "Hello, can you hear me? Sorry to interrupt, I am talking over you right now.";
constexpr double kFarPeak = 16000, kNearPeak = 14000;  // sample peaks of the two talkers
constexpr int kEchoDelayMs = 40;
constexpr float kEchoGain = 0.6f;
constexpr int kRoomLengthMs = 150, kRoomRt60Ms = 300;
constexpr float kRoomDrrDb = 6.0f;
constexpr float kNoiseDbfs = -60.0f;
constexpr double kTailSeconds = 0.5;      // captured after the far end has played out
constexpr double kConvergeSeconds = 2.0;  // left out of the echo figures
constexpr double kActiveDbfs = -50.0;     // a talker's block above this is speech
constexpr int kBacklog = 4;               // blocks queued for playback at most

void fail(const std::string& message) {
  std::fprintf(stderr, "sonora: %s\n", message.c_str());
}

void scale_to_peak(std::vector<int16_t>* s, double peak) {
  int max = 1;
  for (int16_t v : *s) max = std::max(max, std::abs(static_cast<int>(v)));
  const double g = peak / max;
  for (int16_t& v : *s) v = static_cast<int16_t>(std::lrint(v * g));
}

std::vector<uint8_t> bytes_of(const std::vector<int16_t>& s) {
  std::vector<uint8_t> b(s.size() * 2);
  for (size_t i = 0; i < s.size(); ++i) {
    const auto u = static_cast<uint16_t>(s[i]);
    b[2 * i] = static_cast<uint8_t>(u & 0xff);
    b[2 * i + 1] = static_cast<uint8_t>(u >> 8);
  }
  return b;
}

bool make_dir(const std::string& dir, std::string* error) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *error = "cannot write to " + dir + ": not a directory";
    return false;
  }
  if (mkdir(dir.c_str(), 0777) != 0) {
    *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<double> levels(const std::vector<double>& energies) {
  std::vector<double> db;
  for (double e : energies) db.push_back(tool::energy_dbfs(e, kBlockSamples));
  return db;
}

// One call in the room: the far end played, the near end at the microphone.
struct Call {
  const std::vector<int16_t>* far = nullptr;  // played
  std::vector<uint8_t> near;                  // the capture source
  double seconds = 0;                         // captured at least
  bool quiet = false;
  bool verbose = false;
  sonora::EchoCanceller canceller = sonora::kEchoCancellerMobile;
  // Results.
  bool room = false, noise = false;  // the room response and the noise floor were set
  std::vector<uint8_t> mic, processed, rendered;
};

// Sets up the room on the virtual device and runs the call through the engine with echo
// cancellation and noise suppression. false with the reason in *error.
bool run_call(Call* call, std::string* error) {
  vdev::use_hardware(false);
  vdev::reset();
  vdev::set_echo(kEchoDelayMs, kEchoGain);
  call->room = vdev::set_echo_impulse_response(
      vdev::room_impulse_response(kRate, kRoomLengthMs, kRoomRt60Ms, kRoomDrrDb, 7));
  call->noise = vdev::set_capture_noise(kNoiseDbfs, 11);
  vdev::set_capture_source(call->near, false);

  tool::EngineProcess process(call->verbose);
  tool::EngineEvents events;
  sonora::audio::Suit audio = tool::capture_suit(true, true, 3);
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
  sonora::Sonora player(&suit, &events);
  if (call->canceller != sonora::kEchoCancellerMobile &&
      !player.use_echo_canceller(call->canceller)) {
    *error = "the full-band echo canceller is not in this build of the engine";
    return false;
  }
  tool::capture_sink_clear();
  if (!player.enable_audio(true)) {
    *error = "the virtual audio device did not start playing";
    return false;
  }
  if (!player.start_record_audio(tool::capture_sink_fetch, 0)) {
    *error = "the virtual audio device did not start capturing";
    return false;
  }
  tool::Progress progress("duplex", call->seconds, call->quiet);
  const sonora::byte* data = reinterpret_cast<const sonora::byte*>(call->far->data());
  const size_t total = call->far->size() * 2;
  size_t pos = 0;
  while (pos < total) {
    if (player.audio_left() >= static_cast<size_t>(kBacklog)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else {
      const size_t n = std::min(tool::kCaptureBlock, total - pos);
      if (player.append_audio_data(data + pos, n, nullptr)) {
        pos += n;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    progress.update(tool::capture_sink_bytes() / tool::kCaptureBytesPerSecond);
  }
  player.flush();
  // The far end plays out, then the tail; capture stops when the run's length is in.
  const size_t wanted = static_cast<size_t>(call->seconds * kRate) * 2;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(1000 * kTailSeconds) + 5000);
  while (player.audio_left() > 0 || tool::capture_sink_bytes() < wanted) {
    if (std::chrono::steady_clock::now() > deadline) {
      if (!call->quiet) std::fprintf(stderr, "\n");
      *error = "capture stalled: " + std::to_string(tool::capture_sink_bytes()) + " of " +
               std::to_string(wanted) + " bytes delivered";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    progress.update(tool::capture_sink_bytes() / tool::kCaptureBytesPerSecond);
  }
  player.stop_record_audio();
  player.enable_audio(false);
  progress.finish();
  call->mic = vdev::captured();
  call->processed = tool::capture_sink_take();
  call->rendered = vdev::rendered();
  return true;
}

// The two talkers: espeak-ng's, or the files given. *near_from is where the near end begins.
bool talkers(const cli::Args& args, double seconds, double near_at, std::vector<int16_t>* far,
             std::vector<int16_t>* near, size_t* near_from, size_t* near_to, std::string* error) {
  const tool::WavAccepts accepts{{kRate}, 1};
  tool::Pcm far_pcm, near_pcm;
  if (args.has("--far")) {
    if (!tool::read_wav(args.value("--far"), accepts, &far_pcm, error)) return false;
    *far = far_pcm.samples;
    far->resize(static_cast<size_t>((seconds - kTailSeconds) * kRate), 0);
  } else {
    tool::Pcm speech;
    if (!tool::speak(kFarVoice, kFarWordsPerMinute, kFarText, kRate, &speech, error)) return false;
    *far = tool::repeat_speech(
        speech.samples, static_cast<size_t>((seconds - kTailSeconds) * kRate), kRate * 4 / 10);
    scale_to_peak(far, kFarPeak);
  }
  std::vector<int16_t> near_alone;
  if (args.has("--near")) {
    if (!tool::read_wav(args.value("--near"), accepts, &near_pcm, error)) return false;
    near_alone = near_pcm.samples;
    *near_from =
        std::min(static_cast<size_t>(near_at * kRate), static_cast<size_t>(seconds * kRate));
    *near_to = std::min(*near_from + near_alone.size(), static_cast<size_t>(seconds * kRate));
  } else {
    if (!tool::speak(kNearVoice, kNearWordsPerMinute, kNearText, kRate, &near_pcm, error)) {
      return false;
    }
    near_alone = near_pcm.samples;
    *near_from = static_cast<size_t>(seconds * 0.5 * kRate);
    *near_to = static_cast<size_t>(seconds * 0.75 * kRate);
    scale_to_peak(&near_alone, kNearPeak);
  }
  near_alone.resize(std::min(near_alone.size(), *near_to - *near_from));
  *near_to = *near_from + near_alone.size();
  near->assign(*near_from, 0);
  near->insert(near->end(), near_alone.begin(), near_alone.end());
  near->resize(static_cast<size_t>(seconds * kRate) + kRate, 0);
  return true;
}

int run(const cli::Args& args) {
  double seconds = 12, near_at = 0;
  std::string error;
  Call call;
  if (!tool::number_option(args, "--seconds", 4, 600, &seconds, &error) ||
      !tool::number_option(args, "--near-at", 0, 600, &near_at, &error) ||
      !tool::canceller_option(args, &call.canceller, &error)) {
    return cli::usage_error(error);
  }
  if (args.has("--near-at") && !args.has("--near")) {
    return cli::usage_error("--near-at places the --near file; give it with --near NEAR.wav");
  }
  if (args.has("--far") && !args.has("--seconds")) {
    tool::Pcm far_pcm;  // the run lasts as long as the far end, plus the tail
    if (!tool::read_wav(args.value("--far"), tool::WavAccepts{{kRate}, 1}, &far_pcm, &error)) {
      fail(error);
      return 1;
    }
    seconds = std::max(4.0, static_cast<double>(far_pcm.samples.size()) / kRate + kTailSeconds);
  }
  const std::string dir = args.value("--out-dir", ".");
  const std::string mic_path = dir + "/duplex-mic.wav";
  const std::string processed_path = dir + "/duplex-processed.wav";
  const std::string plot_path = dir + "/duplex-levels.png";
  tool::WavWriter mic_writer, processed_writer;
  if (!make_dir(dir, &error) || !mic_writer.open(mic_path, kRate, 1, &error) ||
      !processed_writer.open(processed_path, kRate, 1, &error)) {
    fail(error);
    return 1;
  }

  // The two talkers: the far end fills the run but its last kTailSeconds; the near-end talker
  // speaks from half to three quarters of the run (or from --near-at on), silence otherwise.
  std::vector<int16_t> far, near;
  size_t near_from = 0, near_to = 0;
  if (!talkers(args, seconds, near_at, &far, &near, &near_from, &near_to, &error)) {
    fail(error);
    return 1;
  }

  std::printf("sonora duplex: %s, %.1f s on the virtual device\n", sonora::Sonora::version(),
              seconds);
  const std::string far_name =
      args.has("--far") ? args.value("--far") : std::string("espeak-ng ") + kFarVoice;
  const std::string near_name =
      args.has("--near") ? args.value("--near") : std::string("espeak-ng ") + kNearVoice;
  std::printf("  far end: %s, played; near end: %s at %.1f-%.1f s\n", far_name.c_str(),
              near_name.c_str(), near_from / static_cast<double>(kRate),
              near_to / static_cast<double>(kRate));
  std::fflush(stdout);

  call.far = &far;
  call.near = bytes_of(near);
  call.seconds = seconds;
  call.quiet = args.quiet;
  call.verbose = args.verbose;
  if (!run_call(&call, &error)) {
    fail(error);
    return 1;
  }
  std::printf("  room: echo %d ms x %.1f", kEchoDelayMs, kEchoGain);
  if (call.room) std::printf(", %d ms response (RT60 %d ms)", kRoomLengthMs, kRoomRt60Ms);
  if (call.noise) std::printf(", noise floor %.0f dBFS", kNoiseDbfs);
  std::printf("; capture: %s echo cancellation + noise suppression\n",
              call.canceller == sonora::kEchoCancellerFull ? "full-band" : "mobile");

  // Microphone and processed capture, block for block.
  std::vector<uint8_t> mic = std::move(call.mic);
  std::vector<uint8_t> processed = std::move(call.processed);
  const size_t blocks = std::min(mic.size(), processed.size()) / tool::kCaptureBlock;
  mic.resize(blocks * tool::kCaptureBlock);
  processed.resize(blocks * tool::kCaptureBlock);
  if (!(mic_writer.write_bytes(mic, &error) && mic_writer.close(&error) &&
        processed_writer.write_bytes(processed, &error) && processed_writer.close(&error))) {
    fail(error);
    return 1;
  }

  // Which blocks are echo only and which double talk. Capture block j holds the capture source's
  // block j; the far end is taken as heard in block j when it was played in any of the blocks
  // before it that the echo delay, the room response and the start of capture after playback
  // reach back to.
  const std::vector<double> mic_e = tool::block_energies(mic, kBlockSamples);
  const std::vector<double> out_e = tool::block_energies(processed, kBlockSamples);
  const std::vector<double> near_e = tool::block_energies(near, kBlockSamples);
  const std::vector<double> far_e = tool::block_energies(call.rendered, kBlockSamples);
  const int reach = static_cast<int>((kEchoDelayMs + kRoomLengthMs / 2 + 40) / 20);
  std::vector<bool> echo_only(blocks), double_talk(blocks);
  const size_t first = static_cast<size_t>(kConvergeSeconds / kBlockSeconds);
  const size_t dt_from = near_from / kBlockSamples;
  const size_t dt_to = near_to / kBlockSamples + static_cast<size_t>(0.2 / kBlockSeconds);
  for (size_t j = 0; j < blocks; ++j) {
    bool far_active = false;
    for (int k = 0; k <= reach && k <= static_cast<int>(j); ++k) {
      const size_t at = j - static_cast<size_t>(k);
      if (at < far_e.size() && tool::energy_dbfs(far_e[at], kBlockSamples) > kActiveDbfs) {
        far_active = true;
      }
    }
    const bool near_active =
        j < near_e.size() && tool::energy_dbfs(near_e[j], kBlockSamples) > kActiveDbfs;
    echo_only[j] = far_active && j >= first && (j < dt_from || j >= dt_to);
    double_talk[j] = far_active && near_active;
  }
  const double erle = tool::energy_ratio_db(mic_e, out_e, echo_only);
  const double near_change = tool::energy_ratio_db(out_e, mic_e, double_talk);
  const double near_vs_alone = tool::energy_ratio_db(out_e, near_e, double_talk);
  const auto count = [](const std::vector<bool>& v) {
    return static_cast<double>(std::count(v.begin(), v.end(), true)) * kBlockSeconds;
  };

  tool::LevelPlot plot;
  plot.title = "sonora duplex: microphone and processed capture";
  plot.seconds_per_step = kBlockSeconds;
  plot.db_min = -90;
  plot.db_max = 0;
  plot.curves.push_back({"microphone (echo + near end)", levels(mic_e), 0.55, 0.55, 0.6});
  plot.curves.push_back({"processed (AEC + NS)", levels(out_e), 0.85, 0.1, 0.1});
  plot.shade_from = static_cast<double>(near_from) / kRate;
  plot.shade_to = static_cast<double>(near_to) / kRate;
  plot.shade_label = "double talk (near end speaking)";
  if (!tool::write_level_plot_png(plot_path, plot, &error)) {
    fail(error);
    return 1;
  }

  std::printf("ERLE: %.1f dB (echo only: far end active, near end silent, from %.1f s; %.1f s)\n",
              erle, kConvergeSeconds, count(echo_only));
  std::printf(
      "near end in double talk: processed vs microphone %+.1f dB, processed vs near-end talker "
      "alone %+.1f dB (%.1f s)\n",
      near_change, near_vs_alone, count(double_talk));
  std::printf("wrote %s\nwrote %s\nwrote %s\n", mic_path.c_str(), processed_path.c_str(),
              plot_path.c_str());
  if (!std::isfinite(erle)) {
    fail("no echo-only stretch to measure: the run is too short or the far end too quiet");
    return 1;
  }
  return 0;
}

}  // namespace

extern const cli::Command duplex_command = {
    "duplex",
    "duplex [--out-dir DIR] [--seconds N] [--canceller mobile|full] [--far FAR.wav] "
    "[--near NEAR.wav [--near-at SECONDS]] [--quiet] [--verbose]",
    {{"--out-dir", true},
     {"--seconds", true},
     {"--canceller", true},
     {"--far", true},
     {"--near", true},
     {"--near-at", true}},
    0,
    0,
    run,
};
