// The sonora command-line program plays WAV files through the engine on the virtual device,
// records through it, runs the duplex (echo cancellation) demo, sends sound-wave configurations
// and decodes them from files and from the microphone.
#include <cairo.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "sonora_" + std::to_string(getpid()) + "_" + name;
}

bool write_wav(const std::string& path, int rate, int channels, const std::vector<int16_t>& s,
               int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) return false;
  const sf_count_t n = static_cast<sf_count_t>(s.size());
  const bool ok = sf_write_short(f, s.data(), n) == n;
  return sf_close(f) == 0 && ok;
}

std::vector<int16_t> tone(int rate, int channels, double seconds) {
  std::vector<int16_t> s;
  const int frames = static_cast<int>(rate * seconds);
  for (int i = 0; i < frames; ++i) {
    for (int ch = 0; ch < channels; ++ch) {
      s.push_back(
          static_cast<int16_t>(std::lrint(8000 * std::sin(0.03 * i * (ch + 1)) + (i % 7) - 3)));
    }
  }
  return s;
}

bool file_exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct Result {
  int code = -1;  // exit code; -1 when the tool did not exit normally
  std::string out, err;
};

// Runs the tool with `args` (words separated by spaces), `env` (NAME=value ...) set for it.
Result run(const std::string& args, const std::string& env = "") {
  const std::string err_path = temp_path("stderr.txt");
  Result r;
  FILE* p =
      popen((env + " " + std::string(SONORA_TOOL) + " " + args + " 2>" + err_path).c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::stringstream ss;
  ss << std::ifstream(err_path).rdbuf();
  r.err = ss.str();
  std::remove(err_path.c_str());
  return r;
}

size_t lines(const std::string& s) {
  return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

// Reads `path` (and removes it): its format must be `rate` and `channels`, and with `expected`
// non-empty those samples must appear in it bit-exact.
std::vector<int16_t> take_wav(const std::string& path, int rate, int channels,
                              const std::vector<int16_t>& expected = {}) {
  SF_INFO info{};
  std::vector<int16_t> s;
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(f, nullptr) << path;
  if (f == nullptr) return s;
  s.resize(static_cast<size_t>(info.frames * info.channels));
  sf_read_short(f, s.data(), static_cast<sf_count_t>(s.size()));
  sf_close(f);
  std::remove(path.c_str());
  EXPECT_EQ(info.samplerate, rate);
  EXPECT_EQ(info.channels, channels);
  if (!expected.empty()) {
    EXPECT_NE(std::search(s.begin(), s.end(), expected.begin(), expected.end()), s.end())
        << "the input is not in " << path << " bit-exact";
  }
  return s;
}

TEST(SonoraTool, PlaysWavFilesBitExactOnTheVirtualDevice) {
  struct Case {
    int rate, channels;
    double seconds;  // not a whole number of blocks
    int major;       // header variant: plain, WAVE_FORMAT_EXTENSIBLE, RF64
  } cases[] = {{44100, 2, 1.0, SF_FORMAT_WAV},
               {8000, 1, 0.7, SF_FORMAT_WAV},
               {16000, 1, 0.5, SF_FORMAT_WAVEX},
               {48000, 2, 0.3, SF_FORMAT_RF64}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, major format " + std::to_string(c.major));
    const std::vector<int16_t> in = tone(c.rate, c.channels, c.seconds);
    const std::string wav = temp_path("in.wav"), out = temp_path("out.wav");
    ASSERT_TRUE(write_wav(wav, c.rate, c.channels, in, c.major | SF_FORMAT_PCM_16));
    Result r = run("play " + wav + " --device virtual --out " + out + " --quiet");
    ASSERT_EQ(r.code, 0) << r.err;
    take_wav(out, c.rate, c.channels, in);
    std::remove(wav.c_str());
  }
}

// Every file the tool cannot play is refused with exit code 1 and one line on standard error
// that names the file and every reason that applies (and no reason that does not).
TEST(SonoraTool, RefusesWhatItCannotPlayNamingTheFileAndTheReason) {
  const std::string dir = temp_path("files");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::vector<int16_t> second = tone(16000, 1, 1.0);
  auto wav = [](int rate, int channels, int format) {
    return [=](const std::string& path) {
      return write_wav(path, rate, channels, tone(rate, channels, 0.1), format);
    };
  };
  auto truncated = [&](off_t size) {
    return [&second, size](const std::string& path) {
      return write_wav(path, 16000, 1, second) && truncate(path.c_str(), size) == 0;
    };
  };
  struct Case {
    const char* name;
    std::function<bool(const std::string&)> make;  // null: no file at all
    std::vector<std::string> reasons;              // each appears in the message
    std::vector<std::string> not_reasons;          // none appears
  } cases[] = {
      {"rate.wav",
       wav(22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16),
       {"sample rate 22050"},
       {"channels", "samples"}},
      {"u8.wav", wav(16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8), {"8-bit"}, {"rate", "channels"}},
      {"float.wav",
       wav(16000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT),
       {"32-bit float"},
       {"rate", "channels"}},
      {"three.wav",
       wav(16000, 3, SF_FORMAT_WAVEX | SF_FORMAT_PCM_16),
       {"3 channels"},
       {"samples", "rate"}},
      {"three_plain.wav",
       wav(16000, 3, SF_FORMAT_WAV | SF_FORMAT_PCM_16),
       {"3 channels"},
       {"samples", "rate"}},
      {"all_wrong.wav",
       wav(22050, 3, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT),
       {"32-bit float", "sample rate 22050", "3 channels"},
       {}},
      {"missing.wav", nullptr, {"no such file"}, {}},
      {"empty.wav",
       [](const std::string& path) { return std::ofstream(path).good(); },
       {"empty"},
       {}},
      {"cut_in_header.wav", truncated(30), {"truncated"}, {}},
      {"cut_in_data.wav", truncated(20001), {"truncated"}, {}},
      {"no_audio.wav",
       [](const std::string& path) { return write_wav(path, 16000, 1, {}); },
       {"no audio"},
       {}},
      {"text.wav",
       [](const std::string& path) {
         return static_cast<bool>(std::ofstream(path) << "just some text, not audio\n");
       },
       {"not a wav file"},
       {}},
      {"aiff.wav", wav(16000, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16), {"not a wav file"}, {}},
      {"directory.wav",
       [](const std::string& path) { return mkdir(path.c_str(), 0700) == 0; },
       {"directory"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.name;
    if (c.make) {
      ASSERT_TRUE(c.make(path));
    }
    Result r = run("play " + path + " --quiet");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    for (const auto& reason : c.reasons) {
      EXPECT_NE(lower(r.err).find(lower(reason)), std::string::npos) << r.err;
    }
    for (const auto& reason : c.not_reasons) {
      EXPECT_EQ(lower(r.err).find(lower(reason)), std::string::npos) << r.err;
    }
    std::remove(path.c_str());  // files and the empty directory alike
  }
  rmdir(dir.c_str());
}

TEST(SonoraTool, UsageErrorsExitWithTwo) {
  const std::string wav = temp_path("usage.wav");
  ASSERT_TRUE(write_wav(wav, 16000, 1, tone(16000, 1, 0.1)));
  const std::string cases[] = {
      "",
      "frobnicate",
      "play",
      "play " + wav + " " + wav,
      "play " + wav + " --device nowhere",
      "play " + wav + " --bogus",
      "play " + wav + " --out",
      "demo --device nowhere",
      "demo --bogus",
      "demo " + wav,
      "version --device hw",
      "duplex --seconds 1",
      "duplex --seconds many",
      "duplex " + wav,
      "soundconfig",
      "soundconfig one two",
      "soundconfig hi --format auto",
      "soundconfig hi --format morse",
      "soundconfig hi --times 0",
      "soundconfig hi --times twice",
      "soundconfig hi --device hw --out " + wav,
      "soundconfig " + std::string(990, 'a'),  // longer than a header can announce
      "decode",
      "decode " + wav + " --format morse",
      "decode " + wav + " --seconds 1",
      "listen " + wav,
      "listen --seconds 0",
      "listen --format morse",
      "listen --device hw --source " + wav,
  };
  for (const auto& args : cases) {
    Result r = run(args);
    EXPECT_EQ(r.code, 2) << "sonora " << args;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << "sonora " << args << "\n" << r.err;
  }
  Result version = run("version --quiet --verbose");  // options every command accepts
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_FALSE(version.out.empty());
  std::remove(wav.c_str());
}

// The demo checks its output bit-exact on the virtual device only; with --device hw it plays on
// the hardware backend (or fails to, on a machine without one) and never falls back to the
// virtual device.
TEST(SonoraTool, DemoRunsOnTheDeviceAskedFor) {
  const std::string out = temp_path("demo.wav");
  Result v = run("demo --quiet --out " + out);
  ASSERT_EQ(v.code, 0) << v.err;
  EXPECT_NE(v.out.find("bit-exact: yes"), std::string::npos) << v.out;
  EXPECT_GE(take_wav(out, 16000, 1).size(), 3u * 16000u);

  Result hw = run("demo --quiet --device hw");
  EXPECT_TRUE(hw.code == 0 || hw.code == 1) << hw.code << "\n" << hw.err;
  EXPECT_EQ(hw.out.find("bit-exact: yes"), std::string::npos)
      << "the demo ran on the virtual device:\n"
      << hw.out;
  if (hw.code == 1) {
    EXPECT_NE(hw.err.find("sonora: "), std::string::npos) << hw.err;
  }
  EXPECT_EQ(run("demo --device hw --out " + out).code, 2);
  EXPECT_FALSE(file_exists(out));

  // Where no audio server answers there is no output device: a transmission that did not start
  // is a failure, not a success.
  Result none = run("soundconfig hi --device hw --quiet",
                    "JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=marlin-nowhere");
  EXPECT_EQ(none.code, 1) << none.err;
  EXPECT_NE(none.err.find("sonora: "), std::string::npos) << none.err;
}

// With no processing, what the virtual microphone hears comes back bit-exact, at the length asked
// for; with processing the recording has that length too.
TEST(SonoraTool, RecordCapturesWhatTheMicrophoneHears) {
  struct Case {
    int rate, channels;
    double source_seconds;  // not always a whole number of blocks
    std::string seconds;    // --seconds
    size_t frames;          // expected length: whole 20 ms blocks, at least --seconds
    std::string processing;
    bool bit_exact;
  } cases[] = {
      {16000, 1, 1.0, "1.5", 24000, "", true},
      {16000, 1, 0.51, "0.99", 16000, "", true},
      {16000, 1, 1.0, "1.2", 19200, "--aec --ns --gain-type 4 --gain 12", false},
      {8000, 1, 0.5, "0.5", 4000, "--aec", false},
      {16000, 2, 0.5, "0.5", 8000, "", true},
      {44100, 2, 0.5, "0.5", 22050, "", true},
      {48000, 1, 0.5, "0.51", 24960, "", true},
  };
  for (const auto& c : cases) {
    const std::string format =
        " --rate " + std::to_string(c.rate) + " --channels " + std::to_string(c.channels) + " ";
    SCOPED_TRACE(c.seconds + " s" + format + c.processing);
    const std::vector<int16_t> source = tone(c.rate, c.channels, c.source_seconds);
    const std::string src = temp_path("source.wav"), out = temp_path("recorded.wav");
    ASSERT_TRUE(write_wav(src, c.rate, c.channels, source));
    Result r = run("record " + out + " --seconds " + c.seconds + format + " --source " + src + " " +
                   c.processing + " --quiet");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");  // --quiet: nothing on standard output
    const auto recorded =
        take_wav(out, c.rate, c.channels, c.bit_exact ? source : std::vector<int16_t>());
    EXPECT_EQ(recorded.size(), c.frames * c.channels);
    std::remove(src.c_str());
  }
}

// What play, demo and record cannot do is refused before anything is played or captured (no
// progress is shown), and no output file is left.
TEST(SonoraTool, RefusesBeforePlayingOrCapturing) {
  const std::string dir = temp_path("refuse_dir");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string out = dir + "/out.wav";
  const std::string missing_dir = dir + "/no/such/dir/x.wav";
  const std::string wrong_rate = dir + "/44k.wav";
  ASSERT_TRUE(write_wav(wrong_rate, 44100, 1, tone(44100, 1, 0.1)));
  const std::string mono16k = dir + "/16k.wav";
  ASSERT_TRUE(write_wav(mono16k, 16000, 1, tone(16000, 1, 4.0)));
  struct Case {
    std::string args;
    int code;
    std::string named;  // appears on standard error
  } cases[] = {
      // An unwritable --out is reported in one line.
      {"play " + mono16k + " --out " + missing_dir, 1, missing_dir},
      {"play " + mono16k + " --out " + dir, 1, dir},
      {"demo --out " + missing_dir, 1, missing_dir},
      {"record " + out, 2, "--seconds"},
      {"record " + out + " --seconds soon", 2, "--seconds"},
      {"record " + out + " --seconds 0", 2, "--seconds"},
      {"record " + out + " --seconds 5 --gain-type 4.5", 2, "--gain-type"},
      {"record --seconds 5", 2, "usage:"},
      {"record " + out + " --seconds 5 --device hw --source " + wrong_rate, 2, "--source"},
      {"record " + missing_dir + " --seconds 5", 1, missing_dir},
      {"record " + dir + " --seconds 5", 1, dir},
      {"record " + out + " --seconds 5 --source " + dir + "/missing.wav", 1, "missing.wav"},
      {"record " + out + " --seconds 5 --source " + wrong_rate, 1, "44100"},
      {"record " + out + " --seconds 5 --rate 22050", 2, "--rate"},
      {"record " + out + " --seconds 5 --channels 3", 2, "--channels"},
      {"record " + out + " --seconds 5 --rate 48000 --aec", 2, "--aec"},
      {"record " + out + " --seconds 5 --channels 2 --ns", 2, "--ns"},
      {"record " + out + " --seconds 5 --channels 2 --source " + mono16k, 1, "channels"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    Result r = run(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    if (c.code == 1 && c.args.rfind("record", 0) != 0) {
      EXPECT_EQ(lines(r.err), 1u) << r.err;
    }
    for (const char* progress : {"playing", "recording"}) {
      EXPECT_EQ(r.err.find(progress), std::string::npos) << r.err;
    }
    EXPECT_FALSE(file_exists(out));
    EXPECT_FALSE(file_exists(missing_dir));
  }
  std::remove(wrong_rate.c_str());
  std::remove(mono16k.c_str());
  rmdir(dir.c_str());
}

// The value printed after `label` ("ERLE: 12.3 dB" gives 12.3); NaN when absent.
double printed_number(const std::string& out, const std::string& label) {
  const size_t at = out.find(label);
  if (at == std::string::npos) return NAN;
  const char* p = out.c_str() + at + label.size();
  char* end = nullptr;
  const double v = std::strtod(p, &end);
  return end == p ? NAN : v;
}

// The duplex demo writes the raw microphone, the processed capture (as long, block for block) and
// a PNG plot, and the canceller removes most of the echo of the far end.
TEST(SonoraTool, DuplexCancelsTheEchoAndWritesItsFiles) {
  const std::string dir = temp_path("duplex");
  Result r = run("duplex --seconds 8 --quiet --out-dir " + dir);
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* name : {"duplex-mic.wav", "duplex-processed.wav", "duplex-levels.png"}) {
    EXPECT_NE(r.out.find(dir + "/" + name), std::string::npos) << r.out;
  }
  const std::string png = dir + "/duplex-levels.png";
  cairo_surface_t* surface = cairo_image_surface_create_from_png(png.c_str());
  EXPECT_EQ(cairo_surface_status(surface), CAIRO_STATUS_SUCCESS) << png;
  EXPECT_GT(cairo_image_surface_get_width(surface), 0);
  EXPECT_GT(cairo_image_surface_get_height(surface), 0);
  cairo_surface_destroy(surface);
  std::remove(png.c_str());
  const auto mic = take_wav(dir + "/duplex-mic.wav", 16000, 1);
  EXPECT_GE(mic.size(), 7u * 16000u);
  EXPECT_EQ(take_wav(dir + "/duplex-processed.wav", 16000, 1).size(), mic.size());
  rmdir(dir.c_str());

  const double erle = printed_number(r.out, "ERLE: ");
  ASSERT_TRUE(std::isfinite(erle)) << r.out;
  EXPECT_GT(erle, 6.0) << r.out;
  EXPECT_TRUE(std::isfinite(printed_number(r.out, "processed vs microphone "))) << r.out;
}

// A text sent with soundconfig on the virtual device comes back from the rendered audio through
// decode (both decoders listening, only the right one answering) and, at 48 kHz, through listen
// from the virtual microphone; the printed duration is that of the rendered transmission.
TEST(SonoraTool, SoundConfigTransmissionsDecodeBackToTheText) {
  struct Case {
    std::string format;
    int rate;
    std::string text;     // sent (in single quotes on the command line)
    std::string printed;  // as decode prints it
  } cases[] = {
      {"mf", 44100, "ssid=net", "mf: ssid=net"},
      {"tone", 48000, "hi", "tone: hi"},
      {"tone", 48000, "\xc3\xa9\\", "tone: \\xc3\\xa9\\x5c"},
      {"tone", 48000, "-x", "tone: -x"},  // after "--", a text that looks like an option
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format + " " + c.printed);
    const std::string tx = temp_path("tx.wav");
    Result sent = run("soundconfig --format " + c.format + " --out " + tx + " -- '" + c.text + "'");
    ASSERT_EQ(sent.code, 0) << sent.err;
    Result decoded = run("decode " + tx);
    EXPECT_EQ(decoded.code, 0) << decoded.err;
    EXPECT_EQ(decoded.out, c.printed + "\n");
    if (c.rate == 48000) {
      Result heard = run("listen --source " + tx + " --quiet");
      EXPECT_EQ(heard.code, 0) << heard.err;
      EXPECT_EQ(heard.out, c.printed + "\n");
    }
    const double estimate = printed_number(sent.out, "about ");
    ASSERT_TRUE(std::isfinite(estimate)) << sent.out;
    EXPECT_NEAR(estimate, static_cast<double>(take_wav(tx, c.rate, 1).size()) / c.rate, 0.4)
        << sent.out;
  }
}

// Audio without a transmission, or that no chosen decoder can take, decodes to nothing: exit 1,
// nothing on standard output, the file named on standard error.
TEST(SonoraTool, DecodeOfAudioWithoutATransmissionExitsWithOne) {
  struct Case {
    std::string name;
    int rate;
    std::vector<int16_t> samples;
    std::string format;  // --format, "" for the default (both)
  } cases[] = {
      {"silence", 48000, std::vector<int16_t>(48000), ""},
      {"music at 44.1 kHz", 44100, tone(44100, 1, 2.0), ""},
      {"music, tone only", 48000, tone(48000, 1, 2.0), "--format tone"},
      {"music, mf only", 44100, tone(44100, 1, 2.0), "--format mf"},
      {"a rate neither decoder takes", 16000, tone(16000, 1, 1.0), ""},
  };
  const std::string wav = temp_path("quiet.wav");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_wav(wav, c.rate, 1, c.samples));
    Result r = run("decode " + wav + " " + c.format);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(wav), std::string::npos) << r.err;
  }
  std::remove(wav.c_str());
}

// Ctrl-C ends a long run early with exit code 130, and what was sent, rendered or recorded up to
// then is written as a valid WAV file: a long transmission (stop_sound_config, instead of letting
// its 30 repetitions run), a long file played with --out, a long recording.
TEST(SonoraTool, InterruptEndsTheRunAndKeepsWhatWasDone) {
  const std::string long_wav = temp_path("long.wav");
  ASSERT_TRUE(write_wav(long_wav, 16000, 1, tone(16000, 1, 30.0)));
  struct Case {
    const char* what;
    std::vector<std::string> args;  // after the tool's path; "OUT" is the written file
    int rate;
  } cases[] = {
      {"soundconfig mf",
       {"soundconfig", "hello", "--format", "mf", "--times", "30", "--out", "OUT"},
       44100},
      {"soundconfig tone",
       {"soundconfig", "hello", "--format", "tone", "--times", "30", "--out", "OUT"},
       48000},
      {"play --out", {"play", long_wav, "--out", "OUT"}, 16000},
      {"record", {"record", "OUT", "--seconds", "30", "--rate", "16000"}, 16000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = temp_path("interrupted.wav");
    std::vector<std::string> words = {SONORA_TOOL};
    for (const std::string& a : c.args) words.push_back(a == "OUT" ? out : a);
    words.push_back("--quiet");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execv(SONORA_TOOL, argv.data());
      _exit(127);
    }
    usleep(1500 * 1000);
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const size_t samples = take_wav(out, c.rate, 1).size();
    EXPECT_GT(samples, 0u) << "nothing was kept";
    EXPECT_LT(samples, 10u * static_cast<size_t>(c.rate)) << "the run went on after Ctrl-C";
  }
  std::remove(long_wav.c_str());
}

}  // namespace
