// Sound-wave configuration robustness: how many random texts the receivers get back, for both
// formats, through simulated speaker-to-microphone paths at a range of noise levels.
//
// Transmissions are rendered as the configuration calls render them, sent once:
//   tone: voiceenc_data2code, then every code as voiceenc_code2pcm_16K16Bit(48000, 60, ...),
//         back to back (gen_sound_config2);
//   mf:   the frames of encode() at 44100 Hz, three passes (gen_sound_config).
// Each is put between 0.3 s and 0.5 s of silence and goes through one condition:
//   white:   nothing else;
//   babble:  six-talker babble instead of white noise;
//   reverb:  a room with a 150 ms tail, direct sound 6 dB above the reverberation;
//   +0.5 %:  the player's clock 0.5 % fast (-0.5 %: slow);
//   48 kHz:  (mf) the 44100 Hz transmission captured at 48000 Hz;
// then -20 dB of gain and noise at the SNR of the column (against the power of the transmission
// between its first and last non-zero sample). The capture is fed to the decoder of its rate in
// 20 ms chunks and flushed.
//
// Two more modes run one transmission per SNR and print counts instead of the grid:
//   --rooms: rooms with a reverberation time (RT60) of 150, 300 and 400 ms and the direct sound
//            0, 3 and 6 dB above the reverberation, white noise at 10 dB SNR;
//   --sweep: no room, 0 down to -18 dB SNR of white noise, of babble, of white noise with noise
//            bursts up to 12 dB louder and of white noise with clicks: a receiver that cannot read
//            a text must report nothing rather than a wrong one.
// A text is decoded when the decoder reports exactly that text; any other text it reports is a
// wrong decode. Texts: 1-32 random bytes; tone any byte value 0-255 (the encoder takes a length),
// mf 1-255 (encode() takes a NUL-terminated string, as the configuration call passes it). Every
// seed is fixed: runs repeat exactly.
//
// Usage: sound_robustness_bench [--texts N] [--threads N] [--format tone|mf] [--only CONDITION]
//                               [--rooms | --sweep] [--show-wrong]
//   (defaults 200 texts, 2 threads, both formats, every condition whose name contains CONDITION;
//   --rooms and --sweep: N transmissions per row, default 100 and 75; --show-wrong prints each
//   wrong text with what was sent)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "receiver/mf_decoder.h"
#include "receiver/tone_decoder.h"
#include "sound_channel.h"
#include "transmit/transmit.h"
#include "utils/voiceenc.h"

namespace {

namespace sc = sound_channel;
using Bytes = std::vector<uint8_t>;

constexpr double kSnrs[] = {0, 2, 5, 10, 15, 20};
constexpr int kSnrCount = static_cast<int>(sizeof(kSnrs) / sizeof(kSnrs[0]));
constexpr double kGainDb = -20.0;
constexpr double kPassPercent = 95.0;

enum Format { kTone = 0, kMf = 1 };
const char* const kFormatNames[] = {"tone (48000 Hz)", "multi-frequency (44100 Hz)"};
constexpr int kToneRate = 48000;
constexpr int kMfRate = 44100;

struct Condition {
  const char* name;
  bool babble;       // babble instead of white noise
  double reverb;     // tail seconds, 0: none
  double speed;      // player clock relative to nominal
  int capture_rate;  // 0: the transmitter's rate
};

const Condition kToneConditions[] = {
    {"white noise", false, 0, 1.0, 0},
    {"babble (6 talkers)", true, 0, 1.0, 0},
    {"reverb 150 ms, D/R 6 dB + white", false, 0.15, 1.0, 0},
    {"clock +0.5 % + white", false, 0, 1.005, 0},
    {"clock -0.5 % + white", false, 0, 0.995, 0},
};

const Condition kMfConditions[] = {
    {"white noise", false, 0, 1.0, 0},
    {"babble (6 talkers)", true, 0, 1.0, 0},
    {"reverb 150 ms, D/R 6 dB + white", false, 0.15, 1.0, 0},
    {"clock +0.5 % + white", false, 0, 1.005, 0},
    {"clock -0.5 % + white", false, 0, 0.995, 0},
    {"captured at 48000 Hz + white", false, 0, 1.0, 48000},
};

struct FormatSetup {
  const Condition* conditions;
  int condition_count;
  int rate;
};

const FormatSetup kSetups[] = {
    {kToneConditions, static_cast<int>(sizeof(kToneConditions) / sizeof(kToneConditions[0])),
     kToneRate},
    {kMfConditions, static_cast<int>(sizeof(kMfConditions) / sizeof(kMfConditions[0])), kMfRate},
};

// ---- Rendering ------------------------------------------------------------------------------

// Codes of every tone text, computed up front: the encoder prints a checksum line per text,
// which goes to /dev/null instead of the tables.
std::vector<std::vector<unsigned char>> tone_codes(const std::vector<Bytes>& texts) {
  constexpr int kCapacity = 4096;  // the configuration call's code buffer
  std::vector<std::vector<unsigned char>> all;
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
  for (const Bytes& t : texts) {
    std::vector<unsigned char> codes(kCapacity);
    const int n = voiceenc_data2code(t.data(), static_cast<int>(t.size()), codes.data(), kCapacity);
    codes.resize(static_cast<size_t>(std::clamp(n, 0, kCapacity)));
    all.push_back(std::move(codes));
  }
  fflush(stdout);
  if (saved >= 0) {
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }
  if (null_fd >= 0) close(null_fd);
  return all;
}

sc::Signal render_tone(const std::vector<unsigned char>& codes) {
  std::vector<unsigned char> pcm(96000);  // the configuration call's buffer
  sc::Signal out;
  for (unsigned char c : codes) {
    const int bytes =
        voiceenc_code2pcm_16K16Bit(kToneRate, 60, c, pcm.data(), static_cast<int>(pcm.size()));
    for (int i = 0; i + 1 < bytes; i += 2) {
      int16_t s;
      std::memcpy(&s, pcm.data() + i, 2);
      out.push_back(s);
    }
  }
  return out;
}

// encode() keeps its callback in one module-level variable: one transmission at a time.
std::mutex g_encode_mutex;
sc::Signal* g_mf_out = nullptr;
void collect_mf(const void* data, size_t size) {
  const int16_t* p = static_cast<const int16_t*>(data);
  g_mf_out->insert(g_mf_out->end(), p, p + size / 2);
}

sc::Signal render_mf(const Bytes& text) {
  const std::string s(text.begin(), text.end());
  sc::Signal out;
  std::lock_guard<std::mutex> lock(g_encode_mutex);
  g_mf_out = &out;
  if (encode(s.c_str(), collect_mf) != 0) out.clear();
  g_mf_out = nullptr;
  return out;
}

// ---- Decoding -------------------------------------------------------------------------------

std::vector<Bytes> decode(Format format, const std::vector<int16_t>& pcm, int rate) {
  std::vector<Bytes> texts;
  const size_t chunk = static_cast<size_t>(rate / 50);
  auto feed_all = [&](auto& dec) {
    for (size_t at = 0; at < pcm.size(); at += chunk) {
      dec.feed(pcm.data() + at, std::min(chunk, pcm.size() - at));
    }
    dec.flush();
  };
  if (format == kTone) {
    receiver::ToneDecoder dec(rate, [&](const Bytes& t) { texts.push_back(t); });
    feed_all(dec);
  } else {
    receiver::MfDecoder dec(rate, [&](const Bytes& t, int) { texts.push_back(t); });
    feed_all(dec);
  }
  return texts;
}

// ---- The run --------------------------------------------------------------------------------

struct Cell {
  int decoded = 0;
  int wrong = 0;  // wrong texts reported
};

struct Job {
  Format format;
  int condition;
  int text;
};

struct Run {
  std::vector<Bytes> texts[2];
  std::vector<std::vector<unsigned char>> codes;  // tone
  // results[format][condition][snr]: one Cell per text, summed at the end.
  std::vector<std::vector<std::vector<std::vector<Cell>>>> results;
};

uint32_t seed_of(const Job& j) {
  return static_cast<uint32_t>(1000003u * static_cast<uint32_t>(j.format) +
                               10007u * static_cast<uint32_t>(j.condition) +
                               static_cast<uint32_t>(j.text) * 7u + 12345u);
}

void run_job(const Job& j, Run* run) {
  const FormatSetup& setup = kSetups[j.format];
  const Condition& c = setup.conditions[j.condition];
  const Bytes& text = run->texts[j.format][static_cast<size_t>(j.text)];
  const uint32_t seed = seed_of(j);
  const int tx_rate = setup.rate;
  const int rate = c.capture_rate != 0 ? c.capture_rate : tx_rate;

  sc::Signal x = sc::silence(0.3, tx_rate);
  sc::append(x, j.format == kTone ? render_tone(run->codes[static_cast<size_t>(j.text)])
                                  : render_mf(text));
  sc::append(x, sc::silence(0.5, tx_rate));
  if (c.speed != 1.0 || rate != tx_rate) x = sc::change_rate(x, tx_rate * c.speed, rate);
  if (c.reverb > 0) x = sc::convolve(x, sc::room_response(rate, c.reverb, 6.0, seed + 1));
  sc::scale_db(x, kGainDb);
  const double p = sc::active_power(x);
  const sc::Signal noise =
      c.babble ? sc::babble(x.size(), rate, 6, seed + 2) : sc::white_noise(x.size(), seed + 3);
  for (int s = 0; s < kSnrCount; ++s) {
    sc::Signal y = x;
    sc::add_at_snr(y, noise, p, kSnrs[s]);
    const auto heard = decode(j.format, sc::to_pcm(y), rate);
    Cell& cell = run->results[j.format][static_cast<size_t>(j.condition)][static_cast<size_t>(s)]
                             [static_cast<size_t>(j.text)];
    for (const Bytes& h : heard) {
      if (h == text) {
        cell.decoded = 1;
      } else {
        ++cell.wrong;
      }
    }
  }
}

std::vector<Bytes> random_texts(int count, uint32_t seed, int min_byte) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> length(1, 32);
  std::uniform_int_distribution<int> byte(min_byte, 255);
  std::vector<Bytes> texts;
  for (int i = 0; i < count; ++i) {
    Bytes t(static_cast<size_t>(length(rng)));
    for (auto& b : t) b = static_cast<uint8_t>(byte(rng));
    texts.push_back(std::move(t));
  }
  return texts;
}

// Conditions whose name contains this (all when empty).
std::string g_only;
// --rooms and --sweep: print every wrong text with what was sent (bytes in decimal).
bool g_show_wrong = false;
bool selected(const Condition& c) {
  return g_only.empty() || std::string(c.name).find(g_only) != std::string::npos;
}

void print_format(Format f, const Run& run, int count) {
  const FormatSetup& setup = kSetups[f];
  printf("\n%s, %d texts per cell, gain %.0f dB: %% decoded [wrong decodes]\n", kFormatNames[f],
         count, kGainDb);
  printf("%-34s", "condition \\ SNR dB");
  for (double s : kSnrs) printf("%12.0f", s);
  printf("   lowest SNR >= %.0f %%\n", kPassPercent);
  for (int c = 0; c < setup.condition_count; ++c) {
    if (!selected(setup.conditions[c])) continue;
    printf("%-34s", setup.conditions[c].name);
    double pct[kSnrCount];
    for (int s = 0; s < kSnrCount; ++s) {
      int ok = 0, wrong = 0;
      for (const Cell& cell : run.results[f][static_cast<size_t>(c)][static_cast<size_t>(s)]) {
        ok += cell.decoded;
        wrong += cell.wrong;
      }
      pct[s] = 100.0 * ok / count;
      char buf[32];
      snprintf(buf, sizeof(buf), "%.1f [%d]", pct[s], wrong);
      printf("%12s", buf);
    }
    // The lowest SNR from which on every higher one still decodes at least kPassPercent.
    int lowest = kSnrCount;
    while (lowest > 0 && pct[lowest - 1] >= kPassPercent) --lowest;
    if (lowest == kSnrCount) {
      printf("   none (< %.0f %% at %.0f dB)\n", kPassPercent, kSnrs[kSnrCount - 1]);
    } else {
      printf("   %.0f dB\n", kSnrs[lowest]);
    }
  }
}

// ---- Counts: rooms and the low-SNR sweep ----------------------------------------------------

enum class Noise { kWhite, kBabble, kBursts, kClicks };

struct Row {
  Format format;
  uint32_t index;  // place in the format's full list: the seeds do not depend on --only
  std::string name;
  double tail;  // reverberation time (RT60), seconds; 0: no room
  double drr;   // direct sound over reverberation, dB
  Noise noise;
  double snr;
};

struct Tally {
  std::atomic<int> correct{0};
  std::atomic<int> wrong{0};  // wrong texts reported
};

std::vector<Row> room_rows(Format f) {
  std::vector<Row> rows;
  for (double tail : {0.15, 0.3, 0.4}) {
    for (double drr : {0.0, 3.0, 6.0}) {
      char name[64];
      snprintf(name, sizeof(name), "RT60 %.0f ms, D/R %.0f dB", tail * 1000, drr);
      rows.push_back({f, static_cast<uint32_t>(rows.size()), name, tail, drr, Noise::kWhite, 10.0});
    }
  }
  return rows;
}

std::vector<Row> sweep_rows(Format f) {
  const struct {
    Noise noise;
    const char* name;
  } kinds[] = {{Noise::kWhite, "white"},
               {Noise::kBabble, "babble"},
               {Noise::kBursts, "white + bursts"},
               {Noise::kClicks, "white + clicks"}};
  std::vector<Row> rows;
  for (const auto& k : kinds) {
    for (double snr = 0; snr >= -18; snr -= 3) {
      char name[64];
      snprintf(name, sizeof(name), "%s, %.0f dB", k.name, snr);
      rows.push_back({f, static_cast<uint32_t>(rows.size()), name, 0.0, 0.0, k.noise, snr});
    }
  }
  return rows;
}

void run_row_job(const Row& row, const Bytes& text, const std::vector<unsigned char>& codes,
                 uint32_t seed, Tally* tally) {
  const int rate = kSetups[row.format].rate;
  sc::Signal x = sc::silence(0.3, rate);
  sc::append(x, row.format == kTone ? render_tone(codes) : render_mf(text));
  sc::append(x, sc::silence(0.5, rate));
  if (row.tail > 0) x = sc::convolve(x, sc::room_response(rate, row.tail, row.drr, seed + 1));
  sc::scale_db(x, kGainDb);
  const double p = sc::active_power(x);
  sc::Signal noise = row.noise == Noise::kBabble ? sc::babble(x.size(), rate, 6, seed + 2)
                                                 : sc::white_noise(x.size(), seed + 3);
  // The SNR is against the steady noise; bursts and clicks come on top of it.
  const float g =
      static_cast<float>(std::sqrt(p / sc::power(noise) * std::pow(10.0, -row.snr / 10.0)));
  sc::Signal extra;
  if (row.noise == Noise::kBursts) extra = sc::bursts(x.size(), rate, 1.5, 12.0, seed + 4);
  if (row.noise == Noise::kClicks) extra = sc::clicks(x.size(), rate, 3.0, 40.0, seed + 5);
  for (size_t i = 0; i < x.size(); ++i) x[i] += g * (noise[i] + (extra.empty() ? 0.0f : extra[i]));
  bool correct = false;
  int wrong = 0;
  const std::vector<Bytes> heard = decode(row.format, sc::to_pcm(x), rate);
  for (const Bytes& h : heard) {
    if (h == text) {
      correct = true;
    } else {
      ++wrong;
    }
  }
  if (wrong > 0 && g_show_wrong) {
    std::string line = "WRONG " + row.name + " seed " + std::to_string(seed) + "\n  sent:";
    auto hex = [&line](const Bytes& t) {
      for (uint8_t b : t) line += " " + std::to_string(b);
    };
    hex(text);
    for (const Bytes& h : heard) {
      line += "\n  heard:";
      hex(h);
    }
    fprintf(stderr, "%s\n", line.c_str());
  }
  tally->correct += correct ? 1 : 0;
  tally->wrong += wrong;
}

// Runs `count` transmissions through every row of the chosen formats and prints, per row,
// transmissions, texts decoded, missed and wrong.
void run_counts(bool sweep, int count, int threads, const bool formats[2]) {
  std::vector<Row> rows;
  for (int f = 0; f < 2; ++f) {
    if (!formats[f]) continue;
    for (Row& r : sweep ? sweep_rows(static_cast<Format>(f)) : room_rows(static_cast<Format>(f))) {
      if (g_only.empty() || r.name.find(g_only) != std::string::npos) rows.push_back(r);
    }
  }
  const std::vector<Bytes> texts[2] = {random_texts(count, 303, 0), random_texts(count, 404, 1)};
  const auto codes = tone_codes(texts[kTone]);
  std::vector<Tally> tallies(rows.size());
  const size_t jobs = rows.size() * static_cast<size_t>(count);
  const auto start = std::chrono::steady_clock::now();
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t j = next++; j < jobs; j = next++) {
      const size_t r = j / static_cast<size_t>(count), t = j % static_cast<size_t>(count);
      const uint32_t seed =
          static_cast<uint32_t>(7919u * rows[r].index + 31u * t + (sweep ? 555u : 777u));
      run_row_job(rows[r], texts[rows[r].format][t], codes[t], seed, &tallies[r]);
    }
  };
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back(worker);
  for (auto& t : pool) t.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  printf(
      "Sound-wave configuration, %s (texts of 1-32 bytes, gain %.0f dB, fixed seeds)\n",
      sweep ? "low-SNR sweep: nothing rather than a wrong text" : "rooms, white noise at 10 dB SNR",
      kGainDb);
  int totals[2][3] = {};
  for (size_t r = 0; r < rows.size(); ++r) {
    if (r == 0 || rows[r].format != rows[r - 1].format) {
      printf("\n%-30s %14s %8s %8s %8s\n", kFormatNames[rows[r].format], "transmissions", "correct",
             "missed", "WRONG");
    }
    const int ok = tallies[r].correct, wrong = tallies[r].wrong;
    printf("%-30s %14d %8d %8d %8d   %5.1f %%\n", rows[r].name.c_str(), count, ok, count - ok,
           wrong, 100.0 * ok / count);
    int* t = totals[rows[r].format];
    t[0] += count;
    t[1] += ok;
    t[2] += wrong;
  }
  for (int f = 0; f < 2; ++f) {
    if (totals[f][0] == 0) continue;
    printf("%s: %d transmissions, %d correct, %d missed, %d WRONG\n", kFormatNames[f], totals[f][0],
           totals[f][1], totals[f][0] - totals[f][1], totals[f][2]);
  }
  printf("\n%zu transmissions decoded in %.1f s on %d threads\n", jobs, seconds, threads);
}
}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  int threads = 2;
  bool formats[2] = {true, true};
  enum { kGrid, kRooms, kSweep } mode = kGrid;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--texts") == 0 && i + 1 < argc) {
      count = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--format") == 0 && i + 1 < argc &&
               (std::strcmp(argv[i + 1], "tone") == 0 || std::strcmp(argv[i + 1], "mf") == 0)) {
      const bool tone = std::strcmp(argv[++i], "tone") == 0;
      formats[kTone] = tone;
      formats[kMf] = !tone;
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      g_only = argv[++i];
    } else if (std::strcmp(argv[i], "--rooms") == 0) {
      mode = kRooms;
    } else if (std::strcmp(argv[i], "--sweep") == 0) {
      mode = kSweep;
    } else if (std::strcmp(argv[i], "--show-wrong") == 0) {
      g_show_wrong = true;
    } else {
      fprintf(stderr,
              "usage: %s [--texts N] [--threads N] [--format tone|mf] [--only CONDITION] "
              "[--rooms | --sweep] [--show-wrong]\n",
              argv[0]);
      return 2;
    }
  }
  if (count == 0) count = mode == kGrid ? 200 : mode == kRooms ? 100 : 75;
  if (count < 1 || threads < 1) {
    fprintf(stderr, "--texts and --threads need a positive count\n");
    return 2;
  }
  if (mode != kGrid) {
    run_counts(mode == kSweep, count, threads, formats);
    return 0;
  }

  Run run;
  run.texts[kTone] = random_texts(count, 101, 0);
  run.texts[kMf] = random_texts(count, 202, 1);
  run.codes = tone_codes(run.texts[kTone]);
  std::vector<Job> jobs;
  run.results.resize(2);
  for (int f = 0; f < 2; ++f) {
    const FormatSetup& setup = kSetups[f];
    run.results[static_cast<size_t>(f)].assign(
        static_cast<size_t>(setup.condition_count),
        std::vector<std::vector<Cell>>(kSnrCount, std::vector<Cell>(static_cast<size_t>(count))));
    if (!formats[f]) continue;
    for (int c = 0; c < setup.condition_count; ++c) {
      if (!selected(setup.conditions[c])) continue;
      for (int t = 0; t < count; ++t) jobs.push_back({static_cast<Format>(f), c, t});
    }
  }

  const auto start = std::chrono::steady_clock::now();
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t i = next++; i < jobs.size(); i = next++) run_job(jobs[i], &run);
  };
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back(worker);
  for (auto& t : pool) t.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  printf("Sound-wave configuration robustness (text lengths 1-32 bytes, fixed seeds)\n");
  if (formats[kTone]) print_format(kTone, run, count);
  if (formats[kMf]) print_format(kMf, run, count);
  printf("\n%zu transmissions x %d SNRs decoded in %.1f s on %d threads\n", jobs.size(), kSnrCount,
         seconds, threads);
  return 0;
}
