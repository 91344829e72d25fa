// WAV files of the tool: reading 16-bit PCM and writing it, through libsndfile.
#ifndef TOOLS_WAV_H
#define TOOLS_WAV_H

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tool {

struct Pcm {
  int rate = 0;
  int channels = 0;
  std::vector<int16_t> samples;  // interleaved
};

// What a command takes.
struct WavAccepts {
  std::vector<int> rates;  // empty: any rate
  int max_channels = 2;
};

// Reads a 16-bit PCM WAV file, whatever the header variant libsndfile reads (RIFF or RIFX WAV,
// WAVE_FORMAT_EXTENSIBLE, RF64). false with one line "PATH: reason" in *error when the file is
// missing, empty, truncated, not a WAV file, holds no audio, or is of a format `accepts` refuses
// (every reason that applies is named).
bool read_wav(const std::string& path, const WavAccepts& accepts, Pcm* pcm, std::string* error);

// Writes a 16-bit PCM WAV file. Open it before the work whose result it keeps, so that an
// unwritable path is found at once. A file the writer created is removed again unless close()
// succeeded; an existing file that was opened is left as it is.
class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // false with "cannot write PATH: reason" in *error.
  bool open(const std::string& path, int rate, int channels, std::string* error);
  bool is_open() const { return file_ != nullptr; }
  // Appends interleaved samples.
  bool write(const int16_t* samples, size_t count, std::string* error);
  // Appends raw little-endian 16-bit bytes (an odd last byte is ignored).
  bool write_bytes(const std::vector<uint8_t>& bytes, std::string* error);
  // Completes the file.
  bool close(std::string* error);
  // Closes, and removes the file if this writer created it.
  void discard();

 private:
  std::string path_;
  SNDFILE* file_ = nullptr;
  bool created_ = false;
};

}  // namespace tool

#endif  // TOOLS_WAV_H
