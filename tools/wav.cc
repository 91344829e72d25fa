#include "wav.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tool {

namespace {

// Where a RIFF-family file stands, found by walking its chunks up to "data".
struct RiffScan {
  enum Kind {
    kNotRiff,          // no RIFF/RIFX/RF64 ... WAVE header
    kWhole,            // the data chunk is all there (or its length is left open)
    kTruncatedHeader,  // the file ends before the data chunk starts
    kTruncatedData,    // the data chunk is shorter than it declares
  } kind = kNotRiff;
  uint64_t declared = 0;  // data bytes the header declares
  uint64_t present = 0;   // data bytes the file holds
};

uint64_t le(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint64_t be(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

RiffScan scan_riff(std::FILE* f, uint64_t size) {
  RiffScan scan;
  unsigned char head[12];
  const size_t got = std::fread(head, 1, sizeof(head), f);
  if (got < 4) return scan;
  const bool riff = std::memcmp(head, "RIFF", 4) == 0;
  const bool rifx = std::memcmp(head, "RIFX", 4) == 0;
  const bool rf64 = std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0;
  if (!riff && !rifx && !rf64) return scan;
  if (got < sizeof(head)) {
    scan.kind = RiffScan::kTruncatedHeader;
    return scan;
  }
  if (std::memcmp(head + 8, "WAVE", 4) != 0) return scan;
  auto u32 = [rifx](const unsigned char* p) { return rifx ? be(p, 4) : le(p, 4); };
  uint64_t ds64_data = 0;
  uint64_t pos = sizeof(head);
  for (int chunks = 0; chunks < 10000; ++chunks) {
    unsigned char chunk[8];
    if (pos + 8 > size || std::fseek(f, static_cast<long>(pos), SEEK_SET) != 0 ||
        std::fread(chunk, 1, 8, f) != 8) {
      scan.kind = RiffScan::kTruncatedHeader;
      return scan;
    }
    const uint64_t length = u32(chunk + 4);
    if (std::memcmp(chunk, "ds64", 4) == 0 && length >= 16) {
      unsigned char body[16];
      if (std::fread(body, 1, 16, f) != 16) {
        scan.kind = RiffScan::kTruncatedHeader;
        return scan;
      }
      ds64_data = le(body + 8, 8);
    }
    if (std::memcmp(chunk, "data", 4) == 0) {
      const uint64_t declared = rf64 && length == 0xFFFFFFFFu ? ds64_data : length;
      scan.kind = RiffScan::kWhole;
      // 0 and 0xFFFFFFFF are what streaming writers leave when the length is not known.
      if (declared == 0 || (!rf64 && length == 0xFFFFFFFFu)) return scan;
      scan.declared = declared;
      scan.present = size - (pos + 8);
      if (scan.present < scan.declared) scan.kind = RiffScan::kTruncatedData;
      return scan;
    }
    pos += 8 + length + (length & 1);
  }
  scan.kind = RiffScan::kWhole;  // too many chunks to follow: leave it to libsndfile
  return scan;
}

std::string sample_format_name(int subformat) {
  switch (subformat) {
    case SF_FORMAT_PCM_S8:
      return "8-bit signed PCM";
    case SF_FORMAT_PCM_U8:
      return "8-bit unsigned PCM";
    case SF_FORMAT_PCM_24:
      return "24-bit PCM";
    case SF_FORMAT_PCM_32:
      return "32-bit PCM";
    case SF_FORMAT_FLOAT:
      return "32-bit float";
    case SF_FORMAT_DOUBLE:
      return "64-bit float";
    case SF_FORMAT_ULAW:
      return "u-law";
    case SF_FORMAT_ALAW:
      return "A-law";
    default:
      break;
  }
  SF_FORMAT_INFO info;
  std::memset(&info, 0, sizeof(info));
  info.format = subformat;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) == 0 && info.name != nullptr) {
    return info.name;
  }
  char hex[32];
  std::snprintf(hex, sizeof(hex), "sub-format 0x%04x", subformat);
  return hex;
}

std::string major_format_name(int major) {
  SF_FORMAT_INFO info;
  std::memset(&info, 0, sizeof(info));
  info.format = major;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) == 0 && info.name != nullptr) {
    return info.name;
  }
  char hex[32];
  std::snprintf(hex, sizeof(hex), "format 0x%06x", major);
  return hex;
}

std::string join_rates(const std::vector<int>& rates) {
  std::string s;
  for (int r : rates) s += (s.empty() ? "" : ", ") + std::to_string(r);
  return s;
}

// Everything that keeps `info` from being played; empty when it is accepted.
std::vector<std::string> refusals(const SF_INFO& info, const WavAccepts& accepts) {
  std::vector<std::string> why;
  const int subformat = info.format & SF_FORMAT_SUBMASK;
  if (subformat != SF_FORMAT_PCM_16) {
    why.push_back(sample_format_name(subformat) + " samples not supported (16-bit PCM only)");
  }
  if (!accepts.rates.empty() && std::find(accepts.rates.begin(), accepts.rates.end(),
                                          info.samplerate) == accepts.rates.end()) {
    why.push_back("sample rate " + std::to_string(info.samplerate) + " not supported (" +
                  join_rates(accepts.rates) + ")");
  }
  if (info.channels < 1 || info.channels > accepts.max_channels) {
    std::string allowed = accepts.max_channels == 1 ? std::string("mono only")
                          : accepts.max_channels == 2
                              ? std::string("1 or 2")
                              : "1 to " + std::to_string(accepts.max_channels);
    why.push_back(std::to_string(info.channels) + " channels not supported (" + allowed + ")");
  }
  return why;
}

}  // namespace

bool read_wav(const std::string& path, const WavAccepts& accepts, Pcm* pcm, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = path + ": is a directory";
    return false;
  }
  if (S_ISREG(st.st_mode) && st.st_size == 0) {
    *error = path + ": empty file";
    return false;
  }
  RiffScan scan;
  if (S_ISREG(st.st_mode)) {
    std::FILE* raw = std::fopen(path.c_str(), "rb");
    if (raw == nullptr) {
      *error = path + ": " + std::strerror(errno);
      return false;
    }
    scan = scan_riff(raw, static_cast<uint64_t>(st.st_size));
    std::fclose(raw);
  }
  if (scan.kind == RiffScan::kTruncatedData) {
    *error = path + ": truncated: the data chunk declares " + std::to_string(scan.declared) +
             " bytes, the file holds " + std::to_string(scan.present);
    return false;
  }

  SF_INFO info;
  std::memset(&info, 0, sizeof(info));
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) {
    const std::string reason = sf_strerror(nullptr);
    if (scan.kind == RiffScan::kTruncatedHeader) {
      *error = path + ": truncated WAV header (" + reason + ")";
    } else if (scan.kind == RiffScan::kWhole) {
      *error = path + ": damaged WAV file (" + reason + ")";
    } else {
      *error = path + ": not a WAV file (" + reason + ")";
    }
    return false;
  }
  const int major = info.format & SF_FORMAT_TYPEMASK;
  if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_RF64) {
    *error = path + ": not a WAV file (" + major_format_name(major) + ")";
    sf_close(f);
    return false;
  }
  std::vector<std::string> why = refusals(info, accepts);
  if (!why.empty()) {
    *error = path + ": ";
    for (size_t i = 0; i < why.size(); ++i) *error += (i == 0 ? "" : "; ") + why[i];
    sf_close(f);
    return false;
  }
  if (info.frames <= 0) {
    *error = path + ": holds no audio";
    sf_close(f);
    return false;
  }

  pcm->rate = info.samplerate;
  pcm->channels = info.channels;
  pcm->samples.clear();
  // In pieces, so that a bogus frame count costs no more memory than the file really holds.
  std::vector<int16_t> piece(static_cast<size_t>(4096 * info.channels));
  sf_count_t frames = 0;
  for (;;) {
    const sf_count_t got = sf_readf_short(f, piece.data(), 4096);
    if (got <= 0) break;
    pcm->samples.insert(pcm->samples.end(), piece.begin(),
                        piece.begin() + static_cast<ptrdiff_t>(got * info.channels));
    frames += got;
  }
  const bool complete = frames == info.frames && sf_error(f) == SF_ERR_NO_ERROR;
  if (!complete) {
    *error = path + ": read " + std::to_string(frames) + " of " + std::to_string(info.frames) +
             " frames (" + sf_strerror(f) + ")";
  }
  sf_close(f);
  return complete;
}

WavWriter::~WavWriter() {
  discard();
}

bool WavWriter::open(const std::string& path, int rate, int channels, std::string* error) {
  discard();
  struct stat st;
  const bool existed = stat(path.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) {
    *error = "cannot write " + path + ": is a directory";
    return false;
  }
  SF_INFO info;
  std::memset(&info, 0, sizeof(info));
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  file_ = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file_ == nullptr) {
    *error = "cannot write " + path + ": " + sf_strerror(nullptr);
    // A failed open may have created the file before it failed.
    if (!existed) std::remove(path.c_str());
    return false;
  }
  path_ = path;
  created_ = !existed;
  return true;
}

bool WavWriter::write(const int16_t* samples, size_t count, std::string* error) {
  if (file_ == nullptr) {
    *error = "cannot write: no file open";
    return false;
  }
  const sf_count_t n = static_cast<sf_count_t>(count);
  if (sf_write_short(file_, samples, n) != n) {
    *error = "cannot write " + path_ + ": " + sf_strerror(file_);
    return false;
  }
  return true;
}

bool WavWriter::write_bytes(const std::vector<uint8_t>& bytes, std::string* error) {
  std::vector<int16_t> samples(bytes.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return write(samples.data(), samples.size(), error);
}

bool WavWriter::close(std::string* error) {
  if (file_ == nullptr) {
    *error = "cannot write: no file open";
    return false;
  }
  const int result = sf_close(file_);
  file_ = nullptr;
  if (result != 0) {
    *error = "cannot write " + path_ + ": " + sf_error_number(result);
    if (created_) std::remove(path_.c_str());
    return false;
  }
  return true;
}

void WavWriter::discard() {
  if (file_ == nullptr) return;
  sf_close(file_);
  file_ = nullptr;
  if (created_) std::remove(path_.c_str());
}

}  // namespace tool
