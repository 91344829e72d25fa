// The sonora command-line program plays WAV files through the engine on the virtual device.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "sonora_" + std::to_string(getpid()) + "_" + name;
}

bool write_wav(const std::string& path, int rate, int channels, const std::vector<int16_t>& s,
               int subformat = SF_FORMAT_PCM_16) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | subformat;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) return false;
  sf_write_short(f, s.data(), static_cast<sf_count_t>(s.size()));
  sf_close(f);
  return true;
}

bool read_wav(const std::string& path, SF_INFO* info, std::vector<int16_t>* s) {
  *info = SF_INFO{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, info);
  if (f == nullptr) return false;
  s->resize(static_cast<size_t>(info->frames * info->channels));
  sf_read_short(f, s->data(), static_cast<sf_count_t>(s->size()));
  sf_close(f);
  return true;
}

int run(const std::string& args) {
  std::string cmd = std::string(SONORA_TOOL) + " " + args + " > /dev/null 2>&1";
  int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SonoraTool, PlaysWavFilesBitExactOnTheVirtualDevice) {
  struct Case {
    int rate, channels;
    double seconds;
  } cases[] = {{44100, 2, 1.0}, {8000, 1, 0.7}};
  for (const auto& c : cases) {
    std::vector<int16_t> in;
    const int frames = static_cast<int>(c.rate * c.seconds);  // not a whole number of blocks
    for (int i = 0; i < frames; ++i) {
      for (int ch = 0; ch < c.channels; ++ch) {
        in.push_back(
            static_cast<int16_t>(std::lrint(8000 * std::sin(0.03 * i * (ch + 1)) + (i % 7) - 3)));
      }
    }
    std::string wav = temp_path("in.wav");
    std::string out = temp_path("out.wav");
    ASSERT_TRUE(write_wav(wav, c.rate, c.channels, in));
    ASSERT_EQ(run("play " + wav + " --device virtual --out " + out + " --quiet"), 0);
    SF_INFO info;
    std::vector<int16_t> rendered;
    ASSERT_TRUE(read_wav(out, &info, &rendered));
    EXPECT_EQ(info.samplerate, c.rate);
    EXPECT_EQ(info.channels, c.channels);
    auto at = std::search(rendered.begin(), rendered.end(), in.begin(), in.end());
    EXPECT_NE(at, rendered.end()) << c.rate << " Hz: input not found bit-exact in the output";
    std::remove(wav.c_str());
    std::remove(out.c_str());
  }
}

TEST(SonoraTool, RefusesWhatItCannotPlay) {
  std::string wav = temp_path("bad.wav");
  ASSERT_TRUE(write_wav(wav, 22050, 1, std::vector<int16_t>(100, 1)));
  EXPECT_EQ(run("play " + wav), 1);  // unsupported rate
  ASSERT_TRUE(write_wav(wav, 16000, 1, std::vector<int16_t>(100, 1), SF_FORMAT_PCM_U8));
  EXPECT_EQ(run("play " + wav), 1);  // not 16-bit
  EXPECT_EQ(run("play " + temp_path("missing.wav")), 1);
  EXPECT_EQ(run("play"), 2);
  EXPECT_EQ(run("play " + wav + " --device nowhere"), 2);
  EXPECT_EQ(run("version"), 0);
  std::remove(wav.c_str());
}

}  // namespace
