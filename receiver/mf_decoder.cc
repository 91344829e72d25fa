#include "receiver/mf_decoder.h"

#include "receiver/detail/hermitian.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <deque>
#include <limits>
#include <numeric>

namespace receiver {

namespace {

using Complex = std::complex<double>;

constexpr double kPi = 3.14159265358979323846;

constexpr int kTones = 11;
constexpr int kSymbols = 330;
constexpr int kBytes = 256;
constexpr int kStartSymbol = 294;
constexpr int kEndSymbol = 295;
constexpr int kDigitZero = '0';
constexpr int kMaxChars = 989;  // three digits of (length + 10)
constexpr int kLengthOffset = 10;

constexpr double kLowestToneHz = 10000.0;
constexpr double kToneStepHz = 200.0;
constexpr double kCenterHz = 11000.0;
constexpr double kSymbolSeconds = 0.03;  // 1323 samples at 44100 Hz
constexpr double kToneSeconds = 0.02;    // 882 samples at 44100 Hz
constexpr double kBasebandHz = 3675.0;   // approximate rate after decimation

constexpr int kHopsPerSymbol = 6;
// Clock offsets tried while searching for a start pair (the refinement covers the gaps).
constexpr double kSearchOffsets[] = {-0.01, -0.005, 0.0, 0.005, 0.01};
constexpr int kSearchOffsetCount = sizeof(kSearchOffsets) / sizeof(kSearchOffsets[0]);
// A start symbol's weakest tone must beat the strongest other tone by this factor.
constexpr double kStartRatio = 2.0;
// Refinement grid around the search hit: clock offset steps, timing steps in samples.
constexpr double kRefineOffsetStep = 0.0005;
constexpr int kRefineOffsetSteps = 6;
constexpr double kRefineTimeStep = 0.5;
// Every symbol is measured at 2 * kTrackSteps + 1 start times, 1/18 of a tone frame (about 1.1 ms)
// apart, and read at the best one.
constexpr int kTrackSteps = 3;
constexpr double kTrackStepFraction = 1.0 / 18.0;
// Timing loop gains (phase, period).
constexpr double kLoopPhaseGain = 0.35;
constexpr double kLoopPeriodGain = 0.02;
constexpr double kMaxClockOffset = 0.015;
// Passes further apart than this belong to different transmissions.
constexpr double kJoinSeconds = 0.6;
// Tone levels: memory per symbol, largest boost of a weak tone (energy ratio).
constexpr double kLevelMemory = 0.9;
constexpr double kMaxToneBoost = 10.0;
// Shorter texts are joined without comparing their bytes.
constexpr size_t kCompareFrom = 8;
// The format has no checksum, so a text is reported only when every byte is sure: at least two
// passes must have read the byte on their own, and their summed soft values must put it this far
// (per pass, in shares of a symbol's energy; a clean symbol gives about 0.25) above the next best
// byte. Noise rarely makes two passes agree on the same wrong byte; a reverberant room makes
// every pass repeat the same error, but with a narrow margin: at 0.03 rooms with as much echo as
// direct sound pass on a quarter of the wrong texts they did at 0.01 and lose 1 % of the right
// ones. A text heard in one pass only needs a wide margin on every symbol, its length field and
// its end symbols included.
constexpr int kVotes = 2;
// In a room the second end symbol loses some of its tones to the ringing the first one is
// expected to leave (and the first to the last byte's), and a byte sharing three of its tones may
// beat it by a little: the pair is taken when one of the two beats the bytes and the other loses
// by no more than this.
constexpr double kEndSlack = 0.1;
// Where both copies of the length field agree, the first end symbol may lose more (the ringing of
// the last byte) as long as the second clearly wins. A length field misread alike in both copies
// and every pass, one byte short, with a last byte this close to the end symbol, would cut the
// text: none of the 2100 noise and 2700 room transmissions of the bench did.
constexpr double kAgreedEndSlack = 0.25;
constexpr double kAgreedEndWin = 0.05;
constexpr double kByteMargin = 0.03;
constexpr double kSinglePassMargin = 0.12;

// The room reading: a tone's ringing is followed over the symbol's own frame and 8 symbols after
// (240 ms). The fit's ridge is kRoomRidge of the mean diagonal at delay 0 and doubles with every
// symbol of delay: a tone sent only a few times in a short text still gets a response that dies
// away instead of one that explains its own errors.
constexpr int kRoomTaps = 9;
constexpr double kRoomRidge = 0.05;
constexpr double kRoomRidgeGrowth = 2.0;
// Readings with the room taken off, at most; they stop early once the bytes repeat.
constexpr int kRoomReadings = 6;
// The start pair leaves the clock offset up to a few 0.1 % off in a room; the drift search covers
// 0.2 % either way (a symbol's 30 ms would alias a drift of about 0.3 %).
constexpr double kMaxDrift = 2e-3;
// A byte of the room reading is sure when its evidence beats the next best byte's by this share
// of what a clean symbol gives in this room (and the rival check below passes). Of the wrong
// bytes the room reading took in the bench's rooms, all but one stood at most 0.08 clear of the
// next best (the one, 0.7 clear, only the rival check catches); right texts in noise stood 0.4
// and more clear.
constexpr double kRoomMargin = 0.15;
// Each byte of the room reading is also held against its kRivals nearest rivals with the room
// fitted anew for each: the rival must leave at least kRefitMargin more unexplained (in units of
// the fit's residual variance) than the byte. Reported texts gave 50 and more; a wrong byte that
// every reading had taken (the fit had shaped the room around it) gave -21.
constexpr int kRivals = 8;
constexpr double kRefitMargin = 25.0;
// Below this evidence of a clean symbol per pass the symbols do not follow one fixed room well
// enough to be read by it (a player that skipped or stalled turns every tone's phase; passes that
// carry different bytes; deep noise): the passes keep their own reading. The bench's rooms gave
// 100 and more, a player stalling by up to 3 ms below 1, passes with a third of their bytes
// different 13.
constexpr double kRoomMinStrength = 50.0;

using Energies = std::array<double, kTones>;
using Phasors = std::array<Complex, kTones>;
// One symbol as heard: each tone's complex amplitude over the tone frame and over the frame's
// middle half, in a phase that runs on with the tone from one symbol to the next (referred to the
// baseband sample index, not to the frame), and the frame's centre in baseband samples. The
// transmitter keeps every tone's phase running across symbols and passes, so a room gives each
// tone a fixed complex response per symbol of delay.
struct Heard {
  Phasors whole{};
  Phasors middle{};
  double centre = 0.0;
};

const Complex& frame_of(const Heard& h, int frame, int k) {
  return frame == 0 ? h.whole[k] : h.middle[k];
}

// Turns tone k of `h` by hz(k) Hz (times the centre, in samples at `rate`).
template <typename Hz>
void turn(Heard* h, double rate, Hz hz) {
  for (int k = 0; k < kTones; ++k) {
    const Complex by = std::polar(1.0, 2.0 * kPi * hz(k) * h->centre / rate);
    h->whole[k] *= by;
    h->middle[k] *= by;
  }
}

// The relative clock drift within +-kMaxDrift at which every tone, summed over the symbols that
// sent it, adds up most in phase: first over the first symbols (a short span, a coarse grid), then
// around that over ever longer spans. on(i, k): heard[i] was sent with tone k.
template <typename On>
double find_drift(const std::vector<Heard>& heard, double rate, On on) {
  auto coherence = [&](double drift, int symbols) {
    double total = 0.0;
    for (int k = 0; k < kTones; ++k) {
      const double turns = (kLowestToneHz + kToneStepHz * k) * drift / rate;
      Complex sum;
      for (int i = 0; i < symbols; ++i) {
        const Heard& h = heard[static_cast<size_t>(i)];
        if (on(i, k)) sum += h.whole[k] * std::polar(1.0, -2.0 * kPi * turns * h.centre);
      }
      total += std::norm(sum);
    }
    return total;
  };
  auto search = [&](double from, double to, int symbols, double* step) {
    // Steps of a twentieth of a turn of the highest tone over the span.
    const double span = (heard[static_cast<size_t>(symbols - 1)].centre - heard[0].centre) / rate;
    *step = 0.05 / (kLowestToneHz + kToneStepHz * (kTones - 1)) / std::max(span, 0.1);
    double best = 0.0, best_value = -1.0;
    for (double d = from; d <= to; d += *step) {
      const double v = coherence(d, symbols);
      if (v > best_value) {
        best_value = v;
        best = d;
      }
    }
    return best;
  };
  // Spans of 40, 160, 640 ... symbols, each searched around the drift the one before found.
  const int total = static_cast<int>(heard.size());
  int symbols = std::min(total, 40);
  double step = 0.0;
  double drift = search(-kMaxDrift, kMaxDrift, symbols, &step);
  while (symbols < total) {
    symbols = std::min(total, 4 * symbols);
    const double reach = 2.0 * step;
    drift = search(drift - reach, drift + reach, symbols, &step);
  }
  return drift;
}

// The least-squares system of one tone and frame: m = X^T X and p = X^H y over every symbol of
// every pass (row i of X: whether symbol i - d sent the tone, d = 0 .. kRoomTaps - 1), and y^H y.
struct ToneSystem {
  std::array<double, kRoomTaps * kRoomTaps> m{};
  std::array<Complex, kRoomTaps> p{};
  double yy = 0.0;
};

// Adds (sign 1) or takes off (-1) row i of the system.
template <typename On>
void add_row(const std::vector<Heard>& heard, int count, int frame, int k, On on, int i,
             double sign, ToneSystem* sys) {
  const int n = i % count;
  const Complex& y = frame_of(heard[static_cast<size_t>(i)], frame, k);
  for (int d = 0; d < kRoomTaps && d <= n; ++d) {
    if (!on(i - d, k)) continue;
    sys->p[static_cast<size_t>(d)] += sign * y;
    for (int e = 0; e < kRoomTaps && e <= n; ++e) {
      if (on(i - e, k)) sys->m[static_cast<size_t>(d * kRoomTaps + e)] += sign;
    }
  }
}

template <typename On>
ToneSystem tone_system(const std::vector<Heard>& heard, int count, int frame, int k, On on) {
  ToneSystem sys;
  for (int i = 0; i < static_cast<int>(heard.size()); ++i) {
    add_row(heard, count, frame, k, on, i, 1.0, &sys);
    sys.yy += std::norm(frame_of(heard[static_cast<size_t>(i)], frame, k));
  }
  return sys;
}

// Solves the system (with the ridge) for the response `a`; returns the energy the fit leaves
// unexplained, or -1 when it cannot be solved.
double solve_tone(const ToneSystem& sys, std::array<Complex, kRoomTaps>* a) {
  std::vector<Complex> m(sys.m.begin(), sys.m.end()), p(sys.p.begin(), sys.p.end());
  double ridge = kRoomRidge * sys.m[0] + 1e-9;
  for (int d = 0; d < kRoomTaps; ++d, ridge *= kRoomRidgeGrowth) {
    m[static_cast<size_t>(d * kRoomTaps + d)] += ridge;
  }
  std::vector<Complex> g;
  if (!detail::solve_hermitian(std::move(m), std::move(p), kRoomTaps, &g)) return -1.0;
  std::copy(g.begin(), g.end(), a->begin());
  // |y - X g|^2 = y^H y - 2 Re(g^H p) + g^H m g.
  double residual = sys.yy;
  for (int d = 0; d < kRoomTaps; ++d) {
    const Complex gd = (*a)[static_cast<size_t>(d)];
    residual -= 2.0 * std::real(std::conj(gd) * sys.p[static_cast<size_t>(d)]);
    for (int e = 0; e < kRoomTaps; ++e) {
      residual += sys.m[static_cast<size_t>(d * kRoomTaps + e)] *
                  std::real(std::conj(gd) * (*a)[static_cast<size_t>(e)]);
    }
  }
  return std::max(residual, 0.0);
}

// One frame's room: per tone the response a[k][d] to its own symbol (d = 0) and to the symbol d
// back, the variance of what it leaves unexplained, and the evidence a clean symbol gives (mean
// over the tones of sum |a|^2 / variance), and each tone's least-squares system.
struct RoomFit {
  std::array<std::array<Complex, kRoomTaps>, kTones> a{};
  std::array<ToneSystem, kTones> system{};
  Energies residual{};
  Energies spread{};
  double strength = 0.0;
};

// Fits the room of `frame` to the symbols of every pass; false when the fit cannot be solved.
template <typename On>
bool fit_room(const std::vector<Heard>& heard, int count, int frame, On on, RoomFit* fit) {
  fit->strength = 0.0;
  for (int k = 0; k < kTones; ++k) {
    fit->system[k] = tone_system(heard, count, frame, k, on);
    const double residual = solve_tone(fit->system[k], &fit->a[k]);
    if (residual < 0.0) return false;
    const int equations = static_cast<int>(heard.size());
    fit->residual[k] = residual;
    fit->spread[k] = std::max(residual / std::max(1, equations - kRoomTaps), 1e-30);
    double response = 0.0;
    for (const Complex& a : fit->a[k]) response += std::norm(a);
    fit->strength += response / fit->spread[k] / kTones;
  }
  return true;
}

// Per tone, the evidence that symbol n of pass `pass` sent it: its frame and the frames after it,
// with every other symbol's ringing taken off, matched to the response (log-likelihood ratio of
// sent against not sent).
template <typename On>
Energies byte_evidence(const std::vector<Heard>& heard, int count, int pass, int n, int frame,
                       const RoomFit& fit, On on) {
  Energies evidence{};
  for (int k = 0; k < kTones; ++k) {
    double v = 0.0;
    for (int d = 0; d < kRoomTaps && n + d < count; ++d) {
      Complex rest = frame_of(heard[static_cast<size_t>(pass * count + n + d)], frame, k);
      for (int e = 0; e < kRoomTaps && e <= n + d; ++e) {
        if (e != d && on(pass * count + n + d - e, k)) rest -= fit.a[k][e];
      }
      const Complex& a = fit.a[k][d];
      v += 2.0 * std::real(rest * std::conj(a)) - std::norm(a);
    }
    evidence[k] = v / fit.spread[k];
  }
  return evidence;
}
using ToneSet = std::array<int, 4>;

// The 330 four-tone subsets of the eleven tones, in lexicographic order.
const std::array<ToneSet, kSymbols>& alphabet() {
  static const std::array<ToneSet, kSymbols> table = [] {
    std::array<ToneSet, kSymbols> t{};
    int r = 0;
    for (int a = 0; a < kTones; ++a)
      for (int b = a + 1; b < kTones; ++b)
        for (int c = b + 1; c < kTones; ++c)
          for (int d = c + 1; d < kTones; ++d) t[r++] = {a, b, c, d};
    return t;
  }();
  return table;
}

double score(const Energies& e, int symbol) {
  const ToneSet& s = alphabet()[symbol];
  return e[s[0]] + e[s[1]] + e[s[2]] + e[s[3]];
}

// Best symbol in [first, last) and its score.
int best_in(const Energies& e, int first, int last, double* best_score) {
  int best = first;
  double best_value = -std::numeric_limits<double>::infinity();
  for (int s = first; s < last; ++s) {
    const double v = score(e, s);
    if (v > best_value) {
      best_value = v;
      best = s;
    }
  }
  if (best_score != nullptr) *best_score = best_value;
  return best;
}

// How far the best symbol in [first, last) stands above the next best one.
double margin_in(const Energies& e, int first, int last) {
  double best = -std::numeric_limits<double>::infinity(), second = best;
  for (int s = first; s < last; ++s) {
    const double v = score(e, s);
    if (v > best) {
      second = best;
      best = v;
    } else if (v > second) {
      second = v;
    }
  }
  return best - second;
}

// Weakest of the symbol's tones over the strongest of the others.
double pattern_ratio(const Energies& e, int symbol) {
  const ToneSet& s = alphabet()[symbol];
  double in = e[s[0]];
  for (int i = 1; i < 4; ++i) in = std::min(in, e[s[i]]);
  double out = 0.0;
  for (int k = 0; k < kTones; ++k) {
    if (k != s[0] && k != s[1] && k != s[2] && k != s[3]) out = std::max(out, e[k]);
  }
  return in / (out + 1e-30);
}

Energies normalised(const Energies& e) {
  const double sum = std::accumulate(e.begin(), e.end(), 0.0);
  Energies out{};
  if (sum <= 0.0) return out;
  for (int k = 0; k < kTones; ++k) out[k] = e[k] / sum;
  return out;
}

}  // namespace

struct MfDecoder::Impl {
  Impl(int sample_rate, TextCallback on_text);

  void feed(const int16_t* pcm, size_t n);
  void flush();
  void reset();

  // Front end: mix 11 kHz to 0, low-pass, decimate.
  void push_sample(double x);

  // Baseband access.
  double end_time() const { return static_cast<double>(bb_base_ + bb_.size()); }
  bool available(double t, double length) const { return t + length + 2.0 < end_time(); }
  // Raised-cosine weighted samples of a frame of `length` starting at `t`.
  int weigh(double t, double length, Complex* out) const {
    return weigh(bb_, bb_base_, t, length, out);
  }
  // The same from `samples`, whose first one is baseband sample `base`.
  int weigh(const std::vector<Complex>& samples, int64_t base, double t, double length,
            Complex* out) const;
  // Baseband frequency of tone k at clock offset `offset`.
  double tone_hz(int k, double offset) const {
    return (kLowestToneHz + kToneStepHz * k) * (1.0 + offset) - kCenterHz;
  }
  // The weighted samples `x` correlated with a tone of `hz`, phase 0 at x[0].
  Complex tone_sum(const Complex* x, int count, double hz) const;
  // Energies of the eleven tones at clock offset `offset` for weighted samples `x`.
  void tone_energies(const Complex* x, int count, double offset, Energies* e) const;
  // The tones' complex amplitudes over a frame, phase referred to the baseband sample index.
  void phasors_at(const std::vector<Complex>& samples, int64_t base, double t, double length,
                  double offset, Phasors* out) const;
  // The symbol whose tone frame starts at `t` in `samples`, as the room reading needs it.
  Heard hear(const std::vector<Complex>& samples, int64_t base, double t, double offset) const;
  void energies_at(double t, double offset, Energies* e) const;
  double start_energy(double t, double offset) const;

  void process();
  bool search_step();
  bool ensure_hops(int64_t last);
  void refine(double t, double offset, double* t0, double* offset0) const;
  void start_pass(double t0, double offset);
  bool decode_step();
  Energies clean_symbol(const Energies& e, int first, int last);
  void header_done();
  double end_margin(int position) const;
  bool end_pair_at(int position) const;
  void finish_pass(int length, double end);
  void abandon_pass();
  void resume_search_at(double t);
  double pass_confidence(int length) const;
  void add_pass(std::vector<Energies> chars, double confidence, double start, double end);
  bool read_room();
  bool sure() const;
  void report_session();
  void trim();

  double tone_length(double offset) const { return tone_length_ / (1.0 + offset); }
  double symbol_period(double offset) const { return symbol_period_ / (1.0 + offset); }

  bool valid_ = false;
  int sample_rate_ = 0;
  TextCallback on_text_;
  std::vector<Text> queue_;
  size_t decoded_ = 0;
  size_t accepted_ = 0;
  size_t rejected_ = 0;
  size_t texts_rejected_ = 0;

  // Front end.
  int decimation_ = 1;
  double baseband_rate_ = 0.0;
  std::vector<double> taps_;
  std::vector<double> mix_cos_, mix_sin_;
  size_t mix_phase_ = 0;
  std::vector<Complex> history_;  // twice the tap count, so a window is contiguous
  size_t history_pos_ = 0;
  int decimate_count_ = 0;

  // Baseband samples; bb_[i] is sample bb_base_ + i.
  std::vector<Complex> bb_;
  int64_t bb_base_ = 0;

  // Nominal frame sizes in baseband samples.
  double symbol_period_ = 0.0;
  double tone_length_ = 0.0;
  double hop_ = 0.0;

  // Search.
  enum class State { kSearch, kPass };
  State state_ = State::kSearch;
  struct Hop {
    std::array<Energies, kSearchOffsetCount> e;
  };
  std::deque<Hop> hops_;
  int64_t hops_base_ = 0;  // hop index of hops_.front()
  int64_t scan_hop_ = 0;

  // Pass being read.
  double pass_start_ = 0.0;  // start of the first start symbol
  double clock_offset_ = 0.0;
  double next_time_ = 0.0;  // predicted start of the next symbol
  double period_ = 0.0;
  int index_ = 0;                  // symbol index in the pass (0, 1: start pair)
  std::vector<Energies> symbols_;  // soft values from index 2 on
  std::vector<int> candidates_;    // lengths announced by the two header copies
  int longest_candidate_ = 0;
  int agreed_ = -1;  // the length both copies of the length field gave (-1: they differ)
  mutable std::vector<Complex> scratch_;

  // Level of each tone when sent, share of its symbol's energy (0: not seen yet).
  Energies tone_level_{};
  // The two symbols decided before in this pass (the start pair at its beginning), and how much
  // of a tone's share is the room's tail of those symbols: leak_[j] for the symbol j + 1 back.
  std::array<int, 2> prev_{{-1, -1}};
  std::array<Energies, 2> leak_{};
  // Every symbol of the pass as read, the start pair included: the centre of its tone frame in
  // baseband samples and the symbol decided.
  struct Read {
    double centre;
    int symbol;
  };
  std::vector<Read> read_;

  // Passes being combined.
  struct Session {
    std::vector<Energies> sums;
    std::vector<std::vector<int>> pass_bytes;  // each pass's own decisions
    double first_confidence = 0.0;             // the first pass's length field and end symbols
    int passes = 0;
    double end = 0.0;
    // Each pass as read and the clock offset it was read at.
    std::vector<std::vector<Read>> heard;
    std::vector<double> offsets;
    // Each pass's baseband (from the first sample of its start pair's frame) and where it starts.
    std::vector<std::vector<Complex>> baseband;
    std::vector<int64_t> baseband_at;
    // After the room reading: the evidence a clean byte gets over all passes (0: not read so).
    double room_scale = 0.0;
    // The least a rival byte leaves unexplained beyond the byte read (see kRefitMargin).
    double refit = 0.0;
  };
  bool has_session_ = false;
  Session session_;
};

MfDecoder::Impl::Impl(int sample_rate, TextCallback on_text)
    : sample_rate_(sample_rate), on_text_(std::move(on_text)) {
  if (sample_rate < 32000 || sample_rate > 192000) return;
  valid_ = true;
  decimation_ = std::max(1, static_cast<int>(sample_rate / kBasebandHz));
  baseband_rate_ = static_cast<double>(sample_rate) / decimation_;
  symbol_period_ = kSymbolSeconds * baseband_rate_;
  tone_length_ = kToneSeconds * baseband_rate_;
  hop_ = symbol_period_ / kHopsPerSymbol;

  // Blackman-windowed sinc, cut-off at half the baseband rate: flat to about +-1.2 kHz (the tones
  // span -1000..+1000 Hz, +-1% clock offset included) and more than 70 dB down where the
  // decimation would fold energy onto the tones.
  int taps = static_cast<int>(std::lround(0.0044 * sample_rate)) | 1;
  taps_.resize(taps);
  const double cutoff = 0.5 * baseband_rate_ / sample_rate;  // cycles per sample
  const int mid = taps / 2;
  double sum = 0.0;
  for (int i = 0; i < taps; ++i) {
    const double n = i - mid;
    const double sinc = n == 0 ? 2.0 * cutoff : std::sin(2.0 * kPi * cutoff * n) / (kPi * n);
    const double w = 0.42 - 0.5 * std::cos(2.0 * kPi * i / (taps - 1)) +
                     0.08 * std::cos(4.0 * kPi * i / (taps - 1));
    taps_[i] = sinc * w;
    sum += taps_[i];
  }
  for (double& t : taps_) t /= sum;
  history_.assign(2 * taps_.size(), Complex());

  // The mixer repeats exactly every sample_rate / gcd(sample_rate, 11000) samples.
  const int centre = static_cast<int>(kCenterHz);
  const int period = sample_rate / std::gcd(sample_rate, centre);
  mix_cos_.resize(period);
  mix_sin_.resize(period);
  for (int n = 0; n < period; ++n) {
    const double phase =
        2.0 * kPi * std::fmod(static_cast<double>(centre) * n, sample_rate) / sample_rate;
    mix_cos_[n] = std::cos(phase);
    mix_sin_[n] = std::sin(phase);
  }
  scratch_.resize(static_cast<size_t>(tone_length_ * 1.1) + 8);
}

void MfDecoder::Impl::reset() {
  queue_.clear();
  decoded_ = accepted_ = rejected_ = texts_rejected_ = 0;
  mix_phase_ = 0;
  std::fill(history_.begin(), history_.end(), Complex());
  history_pos_ = 0;
  decimate_count_ = 0;
  bb_.clear();
  bb_base_ = 0;
  state_ = State::kSearch;
  hops_.clear();
  hops_base_ = 0;
  scan_hop_ = 0;
  symbols_.clear();
  candidates_.clear();
  tone_level_ = Energies{};
  leak_ = {};
  read_.clear();
  has_session_ = false;
  session_ = Session();
}

void MfDecoder::Impl::push_sample(double x) {
  const Complex mixed(x * mix_cos_[mix_phase_], -x * mix_sin_[mix_phase_]);
  if (++mix_phase_ == mix_cos_.size()) mix_phase_ = 0;
  const size_t taps = taps_.size();
  history_[history_pos_] = mixed;
  history_[history_pos_ + taps] = mixed;
  if (++history_pos_ == taps) history_pos_ = 0;
  if (++decimate_count_ < decimation_) return;
  decimate_count_ = 0;
  // history_[history_pos_ .. + taps) holds the last `taps` samples, oldest first.
  const Complex* h = &history_[history_pos_];
  double re = 0.0, im = 0.0;
  for (size_t i = 0; i < taps; ++i) {
    re += taps_[i] * h[i].real();
    im += taps_[i] * h[i].imag();
  }
  bb_.emplace_back(re, im);
}

void MfDecoder::Impl::feed(const int16_t* pcm, size_t n) {
  if (!valid_ || pcm == nullptr) return;
  // Work in slices so that the buffered baseband stays short while long inputs arrive.
  const size_t slice = static_cast<size_t>(sample_rate_) / 10;
  for (size_t done = 0; done < n;) {
    const size_t count = std::min(slice, n - done);
    for (size_t i = 0; i < count; ++i) push_sample(pcm[done + i] / 32768.0);
    done += count;
    process();
  }
}

void MfDecoder::Impl::flush() {
  if (!valid_) return;
  process();
  if (has_session_) report_session();
}

int MfDecoder::Impl::weigh(const std::vector<Complex>& samples, int64_t base, double t,
                           double length, Complex* out) const {
  const int64_t first = static_cast<int64_t>(std::ceil(t));
  const int64_t last = static_cast<int64_t>(std::floor(t + length));
  int count = 0;
  for (int64_t m = first; m <= last; ++m) {
    const double u = (static_cast<double>(m) - t) / length;
    const double w = 1.0 - std::cos(2.0 * kPi * u);
    const int64_t i = m - base;
    const Complex z = (i >= 0 && i < static_cast<int64_t>(samples.size()))
                          ? samples[static_cast<size_t>(i)]
                          : Complex();
    out[count++] = w * z;
  }
  return count;
}

Complex MfDecoder::Impl::tone_sum(const Complex* x, int count, double hz) const {
  const Complex step = std::polar(1.0, -2.0 * kPi * hz / baseband_rate_);
  Complex rot(1.0, 0.0);
  Complex acc;
  for (int m = 0; m < count; ++m) {
    acc += x[m] * rot;
    rot *= step;
  }
  return acc;
}

void MfDecoder::Impl::tone_energies(const Complex* x, int count, double offset, Energies* e) const {
  for (int k = 0; k < kTones; ++k) (*e)[k] = std::norm(tone_sum(x, count, tone_hz(k, offset)));
}

void MfDecoder::Impl::phasors_at(const std::vector<Complex>& samples, int64_t base, double t,
                                 double length, double offset, Phasors* out) const {
  const int count = weigh(samples, base, t, length, scratch_.data());
  const double first = std::ceil(t);
  for (int k = 0; k < kTones; ++k) {
    const double hz = tone_hz(k, offset);
    const double turns = hz * first / baseband_rate_;
    (*out)[k] = tone_sum(scratch_.data(), count, hz) *
                std::polar(1.0, -2.0 * kPi * (turns - std::floor(turns)));
  }
}

Heard MfDecoder::Impl::hear(const std::vector<Complex>& samples, int64_t base, double t,
                            double offset) const {
  const double length = tone_length(offset);
  Heard h;
  phasors_at(samples, base, t, length, offset, &h.whole);
  phasors_at(samples, base, t + 0.25 * length, 0.5 * length, offset, &h.middle);
  h.centre = t + 0.5 * length;
  return h;
}

void MfDecoder::Impl::energies_at(double t, double offset, Energies* e) const {
  const int count = weigh(t, tone_length(offset), scratch_.data());
  tone_energies(scratch_.data(), count, offset, e);
}

double MfDecoder::Impl::start_energy(double t, double offset) const {
  Energies e;
  energies_at(t, offset, &e);
  return score(e, kStartSymbol);
}

void MfDecoder::Impl::process() {
  for (;;) {
    const bool progressed = state_ == State::kSearch ? search_step() : decode_step();
    if (!progressed) break;
  }
  trim();
}

bool MfDecoder::Impl::ensure_hops(int64_t last) {
  while (hops_base_ + static_cast<int64_t>(hops_.size()) <= last) {
    const int64_t index = hops_base_ + static_cast<int64_t>(hops_.size());
    const double t = static_cast<double>(index) * hop_;
    if (!available(t, tone_length_)) return false;
    Hop hop;
    const int count = weigh(t, tone_length_, scratch_.data());
    for (int c = 0; c < kSearchOffsetCount; ++c) {
      tone_energies(scratch_.data(), count, kSearchOffsets[c], &hop.e[c]);
    }
    hops_.push_back(hop);
  }
  return true;
}

bool MfDecoder::Impl::search_step() {
  // Passes stop arriving: report what was gathered.
  if (has_session_ &&
      static_cast<double>(scan_hop_) * hop_ > session_.end + kJoinSeconds * baseband_rate_) {
    report_session();
  }
  const int64_t j = scan_hop_;
  // The hit may come up to one tone frame before the best alignment; look that far ahead.
  constexpr int kAhead = kHopsPerSymbol - 1;
  if (!ensure_hops(j + kAhead + kHopsPerSymbol)) return false;
  auto at = [this](int64_t index) -> const Hop& { return hops_[index - hops_base_]; };
  bool hit = false;
  for (int c = 0; c < kSearchOffsetCount && !hit; ++c) {
    hit = pattern_ratio(at(j).e[c], kStartSymbol) > kStartRatio &&
          pattern_ratio(at(j + kHopsPerSymbol).e[c], kStartSymbol) > kStartRatio;
  }
  if (hit) {
    double best = -1.0;
    int64_t best_hop = j;
    int best_offset = 0;
    for (int64_t jj = j; jj <= j + kAhead; ++jj) {
      for (int c = 0; c < kSearchOffsetCount; ++c) {
        const double v =
            score(at(jj).e[c], kStartSymbol) + score(at(jj + kHopsPerSymbol).e[c], kStartSymbol);
        if (v > best) {
          best = v;
          best_hop = jj;
          best_offset = c;
        }
      }
    }
    double t0 = 0.0, offset = 0.0;
    refine(static_cast<double>(best_hop) * hop_, kSearchOffsets[best_offset], &t0, &offset);
    start_pass(t0, offset);
    return true;
  }
  ++scan_hop_;
  while (hops_base_ < scan_hop_ && !hops_.empty()) {
    hops_.pop_front();
    ++hops_base_;
  }
  return true;
}

void MfDecoder::Impl::refine(double t, double offset, double* t0, double* offset0) const {
  double best = -1.0;
  *t0 = t;
  *offset0 = offset;
  for (int o = -kRefineOffsetSteps; o <= kRefineOffsetSteps; ++o) {
    const double off =
        std::clamp(offset + o * kRefineOffsetStep, -kMaxClockOffset, kMaxClockOffset);
    for (double dt = -hop_; dt <= hop_; dt += kRefineTimeStep) {
      const double a = t + dt;
      const double v = start_energy(a, off) + start_energy(a + symbol_period(off), off);
      if (v > best) {
        best = v;
        *t0 = a;
        *offset0 = off;
      }
    }
  }
}

void MfDecoder::Impl::start_pass(double t0, double offset) {
  state_ = State::kPass;
  pass_start_ = t0;
  clock_offset_ = offset;
  period_ = symbol_period(offset);
  next_time_ = t0 + 2.0 * period_;
  index_ = 2;
  symbols_.clear();
  candidates_.clear();
  longest_candidate_ = -1;
  prev_ = {{kStartSymbol, kStartSymbol}};
  const double half = 0.5 * tone_length(offset);
  read_.clear();
  read_.push_back({t0 + half, kStartSymbol});
  read_.push_back({t0 + period_ + half, kStartSymbol});
}

bool MfDecoder::Impl::decode_step() {
  const double length = tone_length(clock_offset_);
  const double step = length * kTrackStepFraction;
  const double reach = kTrackSteps * step;
  if (!available(next_time_ + reach, length)) return false;

  // Header digits are 48-57; after the header a byte or the end symbol.
  const bool header = index_ < 8;
  const int first = header ? kDigitZero : 0;
  const int last = header ? kDigitZero + 10 : kBytes;
  std::array<Energies, 2 * kTrackSteps + 1> e;
  std::array<double, 2 * kTrackSteps + 1> fit;
  int best = 0;
  for (int s = -kTrackSteps; s <= kTrackSteps; ++s) {
    Energies& es = e[s + kTrackSteps];
    energies_at(next_time_ + s * step, clock_offset_, &es);
    double v = 0.0;
    best_in(es, first, last, &v);
    if (!header) v = std::max(v, score(es, kEndSymbol));
    fit[s + kTrackSteps] = v;
    if (v > fit[best]) best = s + kTrackSteps;
  }
  // Sub-step timing from a parabola through the best point and its neighbours.
  double measured = (best - kTrackSteps) * step;
  if (best > 0 && best < 2 * kTrackSteps) {
    const double l = fit[best - 1], c = fit[best], r = fit[best + 1];
    const double den = l - 2.0 * c + r;
    if (den < 0.0) measured += std::clamp(0.5 * (l - r) / den, -0.5, 0.5) * step;
  }
  // In a room the edges of a tone frame hold the most of the symbols before (the tail of the last
  // one at the start, while this one's raised cosine is still low): the tones are read as the
  // mean of their shares over the whole frame and over its middle half.
  const double at = next_time_ + (best - kTrackSteps) * step;
  Energies middle;
  tone_energies(scratch_.data(), weigh(at + 0.25 * length, 0.5 * length, scratch_.data()),
                clock_offset_, &middle);
  const Energies whole = normalised(e[best]);
  middle = normalised(middle);
  Energies read;
  for (int k = 0; k < kTones; ++k) read[k] = 0.5 * (whole[k] + middle[k]);
  const Energies cleaned = clean_symbol(read, header ? first : 0, header ? last : kSymbols);
  read_.push_back({at + 0.5 * length, prev_[0]});
  const double symbol_time = next_time_ + kLoopPhaseGain * measured;
  const double nominal = symbol_period(0.0);
  period_ = std::clamp(period_ + kLoopPeriodGain * measured, nominal / (1.0 + kMaxClockOffset),
                       nominal / (1.0 - kMaxClockOffset));
  next_time_ = symbol_time + period_;
  symbols_.push_back(cleaned);
  ++index_;

  if (index_ == 8) {
    header_done();
    return true;
  }
  if (index_ > 8) {
    // Positions after the header: symbols_[6 + p] is position p. The end pair may start at any
    // announced length; it is complete once position p + 1 has been read.
    const int read = index_ - 8;
    const int p = read - 2;
    if (p >= 0 && std::find(candidates_.begin(), candidates_.end(), p) != candidates_.end() &&
        end_pair_at(p)) {
      finish_pass(p, symbol_time + length);
    } else if (p >= longest_candidate_) {
      abandon_pass();
    }
  }
  return true;
}

Energies MfDecoder::Impl::clean_symbol(const Energies& e, int first, int last) {
  const Energies cleaned = normalised(e);

  // Room response: each tone arrives with its own strength. Every tone is scaled by the level
  // it had when it was sent (learnt from the decided symbols), within kMaxToneBoost.
  double known = 0.0, strongest = 0.0;
  int known_count = 0;
  for (int k = 0; k < kTones; ++k) {
    if (tone_level_[k] > 0.0) {
      known += tone_level_[k];
      strongest = std::max(strongest, tone_level_[k]);
      ++known_count;
    }
  }
  Energies equalised = cleaned;
  if (known_count > 0) {
    const double fallback = known / known_count;
    for (int k = 0; k < kTones; ++k) {
      const double level = tone_level_[k] > 0.0 ? tone_level_[k] : fallback;
      equalised[k] = cleaned[k] / std::max(level, strongest / kMaxToneBoost);
    }
    equalised = normalised(equalised);
  }

  // The room's tail: the tones of the last two symbols still ring. Their learnt share is taken
  // off those tones before the symbol is decided.
  Energies dry = equalised;
  for (int j = 0; j < 2; ++j) {
    if (prev_[j] < 0) continue;
    for (int k : alphabet()[prev_[j]]) dry[k] = std::max(0.0, dry[k] - leak_[j][k]);
  }
  dry = normalised(dry);
  const int decided = best_in(dry, first, last, nullptr);
  const ToneSet& used = alphabet()[decided];
  for (int k : used) {
    tone_level_[k] = tone_level_[k] > 0.0
                         ? kLevelMemory * tone_level_[k] + (1.0 - kLevelMemory) * cleaned[k]
                         : cleaned[k];
  }
  // What the last two symbols leave: the share of their tones that this one does not use, over
  // that of the tones none of the three uses.
  auto tones = [](int symbol) {
    unsigned bits = 0;
    if (symbol >= 0)
      for (int k : alphabet()[symbol]) bits |= 1u << k;
    return bits;
  };
  const unsigned now = tones(decided), back1 = tones(prev_[0]), back2 = tones(prev_[1]);
  double base = 0.0;
  int base_n = 0;
  for (int k = 0; k < kTones; ++k) {
    if (((now | back1 | back2) >> k & 1u) == 0) {
      base += equalised[k];
      ++base_n;
    }
  }
  if (prev_[1] >= 0 && base_n > 0) {
    base /= base_n;
    for (int k = 0; k < kTones; ++k) {
      if (now >> k & 1u) continue;
      const int j = (back1 >> k & 1u) ? 0 : (back2 >> k & 1u) ? 1 : -1;
      if (j < 0) continue;
      leak_[j][k] =
          kLevelMemory * leak_[j][k] + (1.0 - kLevelMemory) * std::max(0.0, equalised[k] - base);
    }
  }
  prev_[1] = prev_[0];
  prev_[0] = decided;
  return dry;
}

void MfDecoder::Impl::header_done() {
  // symbols_[0..2] and [3..5] are the two copies of the three digits, each read as the digit
  // whose tones stand out most (in a room a non-digit symbol may stand out more; the end pair
  // still has to come where the length says).
  int lengths[2] = {-1, -2};
  for (int copy = 0; copy < 2; ++copy) {
    int value = 0;
    for (int d = 0; d < 3; ++d) {
      value = value * 10 +
              (best_in(symbols_[copy * 3 + d], kDigitZero, kDigitZero + 10, nullptr) - kDigitZero);
    }
    const int length = value - kLengthOffset;
    lengths[copy] = length;
    if (length >= 0 && length <= kMaxChars &&
        std::find(candidates_.begin(), candidates_.end(), length) == candidates_.end()) {
      candidates_.push_back(length);
    }
  }
  agreed_ = lengths[0] == lengths[1] ? lengths[0] : -1;
  // A pass that follows the passes gathered so far as closely as a repetition does may also have
  // their length: a room or a noise burst may have damaged both copies of its length field.
  const int gathered = static_cast<int>(session_.sums.size());
  if (has_session_ && pass_start_ - session_.end <= kJoinSeconds * baseband_rate_ &&
      std::find(candidates_.begin(), candidates_.end(), gathered) == candidates_.end()) {
    candidates_.push_back(gathered);
  }
  if (candidates_.empty()) {
    abandon_pass();
    return;
  }
  longest_candidate_ = *std::max_element(candidates_.begin(), candidates_.end());
}

double MfDecoder::Impl::end_margin(int position) const {
  const Energies& e = symbols_[6 + position];
  double byte_score = 0.0;
  best_in(e, 0, kBytes, &byte_score);
  return score(e, kEndSymbol) - byte_score;
}

bool MfDecoder::Impl::end_pair_at(int position) const {
  // One end symbol must beat every byte in its place and the other come within kEndSlack,
  // and the place before them must not hold one (a length field announcing one byte too many
  // would otherwise take the first end symbol for a byte).
  const double a = end_margin(position), b = end_margin(position + 1);
  const bool pair = (std::max(a, b) > 0.0 && std::min(a, b) > -kEndSlack) ||
                    (position == agreed_ && b > kAgreedEndWin && a > -kAgreedEndSlack);
  return pair && (position == 0 || end_margin(position - 1) < 0.0);
}

void MfDecoder::Impl::finish_pass(int length, double end) {
  ++accepted_;
  std::vector<Energies> chars(symbols_.begin() + 6, symbols_.begin() + 6 + length);
  const double confidence = pass_confidence(length);
  const double start = pass_start_;
  resume_search_at(end);
  add_pass(std::move(chars), confidence, start, end);
  const double margin = symbol_period_;
  const int64_t kept = bb_base_ + static_cast<int64_t>(bb_.size());
  const int64_t from =
      std::clamp(static_cast<int64_t>(read_.front().centre - margin), bb_base_, kept);
  const int64_t to = std::clamp(static_cast<int64_t>(read_.back().centre + margin), from, kept);
  session_.baseband.emplace_back(bb_.begin() + (from - bb_base_), bb_.begin() + (to - bb_base_));
  session_.baseband_at.push_back(from);
  session_.heard.push_back(std::move(read_));
  session_.offsets.push_back(clock_offset_);
  read_.clear();
}

double MfDecoder::Impl::pass_confidence(int length) const {
  // The surer copy of the length field that announced `length`, and both end symbols.
  double header = 0.0;
  for (int copy = 0; copy < 2; ++copy) {
    int value = 0;
    double weakest = 1.0;
    for (int d = 0; d < 3; ++d) {
      const Energies& e = symbols_[copy * 3 + d];
      value = value * 10 + (best_in(e, kDigitZero, kDigitZero + 10, nullptr) - kDigitZero);
      weakest = std::min(weakest, margin_in(e, kDigitZero, kDigitZero + 10));
    }
    if (value - kLengthOffset == length) header = std::max(header, weakest);
  }
  return std::min({header, end_margin(length), end_margin(length + 1)});
}

void MfDecoder::Impl::abandon_pass() {
  ++rejected_;
  // Look again from just after the start pair: a real start may hide behind a false one.
  resume_search_at(pass_start_ + 1.5 * period_);
}

void MfDecoder::Impl::resume_search_at(double t) {
  state_ = State::kSearch;
  scan_hop_ = static_cast<int64_t>(std::ceil(t / hop_));
  hops_.clear();
  hops_base_ = scan_hop_;
}

void MfDecoder::Impl::add_pass(std::vector<Energies> chars, double confidence, double start,
                               double end) {
  bool join = has_session_ && session_.sums.size() == chars.size() &&
              start - session_.end <= kJoinSeconds * baseband_rate_;
  std::vector<int> bytes(chars.size());
  for (size_t i = 0; i < chars.size(); ++i) bytes[i] = best_in(chars[i], 0, kBytes, nullptr);
  if (join && chars.size() >= kCompareFrom) {
    // A different text of the same length is not voted into this one: noise leaves most bytes
    // of a pass right, another text changes nearly all of them. Compared pass by pass, as two
    // damaged passes may each be closer to the text than their sum.
    bool similar = false;
    for (const std::vector<int>& other : session_.pass_bytes) {
      size_t differ = 0;
      for (size_t i = 0; i < bytes.size(); ++i) differ += bytes[i] != other[i];
      similar = similar || 4 * differ <= 3 * bytes.size();
    }
    join = similar;
  }
  if (!join) {
    if (has_session_) report_session();
    has_session_ = true;
    session_ = Session();
    session_.sums.assign(chars.size(), Energies{});
    session_.first_confidence = confidence;
  }
  for (size_t i = 0; i < chars.size(); ++i) {
    for (int k = 0; k < kTones; ++k) session_.sums[i][k] += chars[i][k];
  }
  ++session_.passes;
  session_.pass_bytes.push_back(std::move(bytes));
  session_.end = end;
}

// The room reading of a session. Every pass was read symbol by symbol with only an energy model
// of the room; here the passes are read again knowing the room's complex response per tone.
//  1. what was sent, as far as known: start pair, length field, end pair; bytes as decided;
//  2. every pass referred to one demodulation frequency, and the player's remaining clock drift
//     found as the one at which each tone adds up in phase where it was sent;
//  3. per tone and frame (whole, middle half), a linear fit over every symbol of every pass: the
//     frame holds a(0) when its own symbol has the tone and a(d) when the symbol d back had it,
//     with a ridge that grows with d (a room's ringing dies away);
//  4. each byte read again from its own frame and the ringing it leaves in the frames after it,
//     with the ringing of every other symbol taken off (a matched filter over the fitted
//     response, in units of the fit's residual);
//  5. 2-4 again with the new bytes until they repeat;
//  6. every byte held against its nearest rivals, the room fitted anew for each.
// Only sessions of two passes or more: a single pass fits its own errors too easily. When the
// fit explains too little (kRoomMinStrength) the passes' own reading stands.
bool MfDecoder::Impl::read_room() {
  Session& s = session_;
  const int length = static_cast<int>(s.sums.size());
  const int count = length + 10;  // start pair, length field twice, bytes, end pair
  const int passes = static_cast<int>(s.heard.size());
  if (passes < 2 || passes != s.passes) return false;
  for (const std::vector<Read>& h : s.heard) {
    if (static_cast<int>(h.size()) != count) return false;
  }

  // 1. What was sent.
  // Per pass: the start pair, the length field as that pass heard it (a copy may have been
  // damaged), the bytes of all passes together, the end pair.
  std::vector<int> sent(static_cast<size_t>(passes * count));
  for (int p = 0; p < passes; ++p) {
    int* at = &sent[static_cast<size_t>(p * count)];
    for (int n = 0; n < 8; ++n)
      at[n] = s.heard[static_cast<size_t>(p)][static_cast<size_t>(n)].symbol;
    for (int i = 0; i < length; ++i)
      at[8 + i] = best_in(s.sums[static_cast<size_t>(i)], 0, kBytes, nullptr);
    at[8 + length] = at[9 + length] = kEndSymbol;
  }
  auto on = [&sent](int n, int k) {
    const ToneSet& t = alphabet()[sent[static_cast<size_t>(n)]];
    return t[0] == k || t[1] == k || t[2] == k || t[3] == k;
  };

  // 2. Every symbol measured again at the times the clock offset of its pass gives, through the
  // mean of the times it was read at (those wander by a millisecond or two in a room, moving the
  // ringing each frame sees, and the timing loop may follow the ringing away for a while); one
  // demodulation frequency for all passes; then the drift.
  std::vector<Heard> heard;
  heard.reserve(static_cast<size_t>(passes * count));
  for (int p = 0; p < passes; ++p) {
    const std::vector<Read>& read = s.heard[static_cast<size_t>(p)];
    const double period = symbol_period(s.offsets[static_cast<size_t>(p)]);
    double first = 0.0;
    for (int n = 0; n < count; ++n) first += read[static_cast<size_t>(n)].centre - n * period;
    first /= count;
    const double half = 0.5 * tone_length(s.offsets[static_cast<size_t>(p)]);
    for (int n = 0; n < count; ++n) {
      const double centre = first + n * period;
      heard.push_back(hear(s.baseband[static_cast<size_t>(p)],
                           s.baseband_at[static_cast<size_t>(p)], centre - half,
                           s.offsets[static_cast<size_t>(p)]));
      turn(&heard.back(), baseband_rate_,
           [&](int k) { return tone_hz(k, s.offsets[p]) - tone_hz(k, s.offsets[0]); });
    }
  }
  const double drift = find_drift(heard, baseband_rate_, on);
  for (Heard& h : heard) {
    turn(&h, baseband_rate_, [&](int k) { return -(kLowestToneHz + kToneStepHz * k) * drift; });
  }

  std::vector<Energies> sums;
  std::vector<std::vector<int>> pass_bytes;
  double scale = 0.0;
  for (int reading = 0; reading < kRoomReadings; ++reading) {
    // 3. The room's response and what it leaves unexplained.
    RoomFit fit[2];
    for (int frame = 0; frame < 2; ++frame) {
      if (!fit_room(heard, count, frame, on, &fit[frame])) return false;
    }
    // 4. The bytes again.
    sums.assign(static_cast<size_t>(length), Energies{});
    pass_bytes.assign(static_cast<size_t>(passes), std::vector<int>(static_cast<size_t>(length)));
    const double strength = 0.5 * (fit[0].strength + fit[1].strength);
    if (strength < kRoomMinStrength) return false;
    scale = passes * strength;
    for (int p = 0; p < passes; ++p) {
      for (int i = 0; i < length; ++i) {
        Energies evidence{};
        for (int frame = 0; frame < 2; ++frame) {
          const Energies e = byte_evidence(heard, count, p, 8 + i, frame, fit[frame], on);
          for (int k = 0; k < kTones; ++k) evidence[k] += 0.5 * e[k];
        }
        pass_bytes[static_cast<size_t>(p)][static_cast<size_t>(i)] =
            best_in(evidence, 0, kBytes, nullptr);
        for (int k = 0; k < kTones; ++k) sums[static_cast<size_t>(i)][k] += evidence[k];
      }
    }
    // 5. Until the bytes repeat.
    bool same = true;
    for (int i = 0; i < length; ++i) {
      const int byte = best_in(sums[static_cast<size_t>(i)], 0, kBytes, nullptr);
      for (int p = 0; p < passes; ++p) {
        int& was = sent[static_cast<size_t>(p * count + 8 + i)];
        same = same && was == byte;
        was = byte;
      }
    }
    if (same) break;
  }
  // 6. Every byte against its nearest rivals, the room fitted anew for each: a rival that the
  // room explains about as well leaves the byte unsure.
  RoomFit fit[2];
  for (int frame = 0; frame < 2; ++frame) {
    if (!fit_room(heard, count, frame, on, &fit[frame])) return false;
  }
  double refit = std::numeric_limits<double>::infinity();
  for (int i = 0; i < length; ++i) {
    const Energies& sum = sums[static_cast<size_t>(i)];
    const int byte = sent[static_cast<size_t>(8 + i)];
    std::array<std::pair<double, int>, kBytes> ranked;
    for (int b = 0; b < kBytes; ++b) ranked[static_cast<size_t>(b)] = {-score(sum, b), b};
    std::partial_sort(ranked.begin(), ranked.begin() + kRivals + 1, ranked.end());
    for (int r = 0; r <= kRivals; ++r) {
      const int rival = ranked[static_cast<size_t>(r)].second;
      if (rival == byte) continue;
      unsigned differ = 0;
      for (int k : alphabet()[byte]) differ ^= 1u << k;
      for (int k : alphabet()[rival]) differ ^= 1u << k;
      double cost = 0.0;
      for (int frame = 0; frame < 2; ++frame) {
        for (int k = 0; k < kTones; ++k) {
          if ((differ >> k & 1u) == 0) continue;
          // Only the rows of the byte and of the symbols its ringing reaches change.
          ToneSystem sys = fit[frame].system[k];
          auto rows = [&](double sign) {
            for (int p = 0; p < passes; ++p) {
              for (int n = 8 + i; n < std::min(count, 8 + i + kRoomTaps); ++n) {
                add_row(heard, count, frame, k, on, p * count + n, sign, &sys);
              }
            }
          };
          rows(-1.0);
          for (int p = 0; p < passes; ++p) sent[static_cast<size_t>(p * count + 8 + i)] = rival;
          rows(1.0);
          for (int p = 0; p < passes; ++p) sent[static_cast<size_t>(p * count + 8 + i)] = byte;
          std::array<Complex, kRoomTaps> a;
          const double residual = solve_tone(sys, &a);
          cost += 0.5 * (residual - fit[frame].residual[k]) / fit[frame].spread[k];
        }
      }
      refit = std::min(refit, cost);
    }
  }
  s.refit = refit;
  s.sums = std::move(sums);
  s.pass_bytes = std::move(pass_bytes);
  s.room_scale = scale;
  return true;
}

bool MfDecoder::Impl::sure() const {
  const int passes = session_.passes;
  if (passes == 1 && session_.first_confidence < kSinglePassMargin) return false;
  for (size_t i = 0; i < session_.sums.size(); ++i) {
    const Energies& sum = session_.sums[i];
    const int byte = best_in(sum, 0, kBytes, nullptr);
    int votes = 0;
    for (const std::vector<int>& bytes : session_.pass_bytes) votes += bytes[i] == byte;
    bool ok = false;
    if (session_.room_scale > 0.0) {
      ok = votes >= kVotes && margin_in(sum, 0, kBytes) >= kRoomMargin * session_.room_scale &&
           session_.refit >= kRefitMargin;
    } else {
      const double margin = margin_in(sum, 0, kBytes) / passes;
      ok = passes == 1 ? margin >= kSinglePassMargin : votes >= kVotes && margin >= kByteMargin;
    }
    if (!ok) return false;
  }
  return true;
}

void MfDecoder::Impl::report_session() {
  has_session_ = false;
  read_room();
  if (!sure()) {
    ++texts_rejected_;
    session_ = Session();
    return;
  }
  Text text(session_.sums.size());
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<uint8_t>(best_in(session_.sums[i], 0, kBytes, nullptr));
  }
  const int passes = session_.passes;
  session_ = Session();
  ++decoded_;
  if (on_text_) {
    on_text_(text, passes);
  } else {
    queue_.push_back(std::move(text));
  }
}

void MfDecoder::Impl::trim() {
  const double needed =
      (state_ == State::kSearch ? static_cast<double>(hops_base_) * hop_ : pass_start_) -
      2.0 * symbol_period_;
  const int64_t keep = static_cast<int64_t>(std::floor(needed));
  const int64_t drop = keep - bb_base_;
  if (drop > 8192 && drop <= static_cast<int64_t>(bb_.size())) {
    bb_.erase(bb_.begin(), bb_.begin() + drop);
    bb_base_ += drop;
  }
}

MfDecoder::MfDecoder(int sample_rate, TextCallback on_text)
    : impl_(new Impl(sample_rate, std::move(on_text))) {}

MfDecoder::~MfDecoder() = default;

bool MfDecoder::valid() const {
  return impl_->valid_;
}
int MfDecoder::sample_rate() const {
  return impl_->sample_rate_;
}
void MfDecoder::feed(const int16_t* pcm, size_t n) {
  impl_->feed(pcm, n);
}
void MfDecoder::flush() {
  impl_->flush();
}
void MfDecoder::reset() {
  impl_->reset();
}

std::vector<MfDecoder::Text> MfDecoder::take_texts() {
  std::vector<Text> out;
  out.swap(impl_->queue_);
  return out;
}

size_t MfDecoder::decoded() const {
  return impl_->decoded_;
}
size_t MfDecoder::passes_accepted() const {
  return impl_->accepted_;
}
size_t MfDecoder::passes_rejected() const {
  return impl_->rejected_;
}
size_t MfDecoder::texts_rejected() const {
  return impl_->texts_rejected_;
}

}  // namespace receiver
