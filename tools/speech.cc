#include "speech.h"

#include <fcntl.h>
#include <spawn.h>
#include <speex/speex_resampler.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace tool {

namespace {

// Runs argv (looked up in PATH) with its output discarded; the exit status, or -1 with errno set
// when it could not be started.
int run_quietly(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    errno = err;
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool speak(const std::string& voice, int words_per_minute, const std::string& text, int rate,
           Pcm* pcm, std::string* error) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string path =
      std::string(tmpdir != nullptr && *tmpdir ? tmpdir : "/tmp") + "/sonora-speech-XXXXXX.wav";
  const int fd = mkstemps(&path[0], 4);
  if (fd < 0) {
    *error = "cannot create a temporary file " + path + ": " + std::strerror(errno);
    return false;
  }
  close(fd);
  const int status = run_quietly(
      {"espeak-ng", "-v", voice, "-s", std::to_string(words_per_minute), "-w", path, text});
  if (status != 0) {
    const int err = errno;
    std::remove(path.c_str());
    if (status < 0 && err == ENOENT) {
      *error = "espeak-ng not found: install the Debian package espeak-ng (scripts/bootstrap)";
    } else if (status < 0) {
      *error = std::string("cannot run espeak-ng: ") + std::strerror(err);
    } else {
      *error = "espeak-ng -v " + voice + " failed with exit status " + std::to_string(status);
    }
    return false;
  }
  Pcm spoken;
  const bool read = read_wav(path, {{}, 1}, &spoken, error);
  std::remove(path.c_str());
  if (!read) {
    *error = "espeak-ng output: " + *error;
    return false;
  }
  return resample(spoken, rate, pcm, error);
}

bool resample(const Pcm& in, int rate, Pcm* out, std::string* error) {
  out->rate = rate;
  out->channels = in.channels;
  if (in.rate == rate) {
    out->samples = in.samples;
    return true;
  }
  const auto channels = static_cast<spx_uint32_t>(in.channels);
  int err = 0;
  SpeexResamplerState* st = speex_resampler_init(channels, static_cast<spx_uint32_t>(in.rate),
                                                 static_cast<spx_uint32_t>(rate), 8, &err);
  if (st == nullptr) {
    *error = std::string("resampler: ") + speex_resampler_strerror(err);
    return false;
  }
  // The input, then the filter's latency in silence so that the tail comes out too; the output
  // starts after that latency.
  const size_t frames_in = in.samples.size() / channels;
  const size_t latency_in = static_cast<size_t>(speex_resampler_get_input_latency(st));
  const size_t latency_out = static_cast<size_t>(speex_resampler_get_output_latency(st));
  std::vector<int16_t> padded(in.samples);
  padded.resize((frames_in + latency_in) * channels, 0);
  const size_t frames_out = static_cast<size_t>(
      (static_cast<double>(frames_in) * rate + in.rate - 1) / in.rate);  // rounded up
  std::vector<int16_t> converted((frames_out + latency_out + 16) * channels);
  spx_uint32_t in_len = static_cast<spx_uint32_t>(frames_in + latency_in);
  spx_uint32_t out_len = static_cast<spx_uint32_t>(converted.size() / channels);
  err = speex_resampler_process_interleaved_int(st, padded.data(), &in_len, converted.data(),
                                                &out_len);
  speex_resampler_destroy(st);
  if (err != RESAMPLER_ERR_SUCCESS) {
    *error = std::string("resampler: ") + speex_resampler_strerror(err);
    return false;
  }
  const size_t first = std::min<size_t>(latency_out, out_len);
  const size_t last = std::min<size_t>(out_len, first + frames_out);
  out->samples.assign(converted.begin() + static_cast<std::ptrdiff_t>(first * channels),
                      converted.begin() + static_cast<std::ptrdiff_t>(last * channels));
  return true;
}

std::vector<int16_t> repeat_speech(const std::vector<int16_t>& speech, size_t samples,
                                   size_t pause) {
  std::vector<int16_t> out;
  while (out.size() < samples && !speech.empty()) {
    out.insert(out.end(), speech.begin(), speech.end());
    out.resize(out.size() + pause, 0);
  }
  out.resize(samples, 0);
  return out;
}

}  // namespace tool
