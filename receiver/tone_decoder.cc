#include "receiver/tone_decoder.h"

#include "receiver/detail/hermitian.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <iterator>
#include <numeric>
#include <utility>

namespace receiver {

namespace {

constexpr int kCodes = 6;
// A code's score is kept once for every code that may precede it (and once for none), since the
// preceding code is expected to ring on beneath it.
constexpr int kStreams = kCodes * (kCodes + 1);
// What each analysis frame keeps: the six band levels and the six bonuses.
constexpr int kFeatures = 2 * kCodes;
inline int stream(int code, int before) {
  return code * (kCodes + 1) + (before < 0 || before == code ? kCodes : before);
}
constexpr int kRepeat = 4;
constexpr int kSeparator = 5;

// Search states. Inside a transmission the search follows the format: a separator, four
// dibits with markers only between equal ones, then a separator again or the closing copies.
// Outside, any tone is "stray" (the end of an earlier repetition, a whistle).
constexpr int kSilenceState = 0;
constexpr int kSeparatorState = 1;
inline int dibit_state(int d, int k) {
  return 2 + d * 4 + (k - 1);
}  // k-th dibit, 1-4
inline int marker_state(int d, int k) {
  return 18 + d * 3 + (k - 1);
}  // after k-th, 1-3
inline int closing_state(int d) {
  return 30 + d;
}
inline int stray_state(int c) {
  return 34 + c;
}
constexpr int kStates = 40;
// Boundaries kept for the search's look-back (longer than the longest code).
constexpr size_t kRing = 32;

// The transmitter renders at 48000 Hz with whole-sample periods of 10 down to 5 samples and
// 60 periods per code; tone and duration are fixed in Hz and seconds whatever rate we capture at.
constexpr double kRenderRate = 48000.0;
constexpr int kPeriodsPerCode = 60;
inline double tone_hz(int code) {
  return kRenderRate / (10 - code);
}
inline double code_seconds(int code) {
  return kPeriodsPerCode * (10 - code) / kRenderRate;
}

constexpr double kPi = 3.14159265358979323846;
constexpr double kFrameSeconds = 0.001;
constexpr double kWindowSeconds = 0.004;

// Scores are in dB of how far a tone stands above the strongest other tone, clipped so that a
// few wild frames cannot outvote a whole code.
constexpr float kClipDb = 12.0f;
// A tone less than this far above its band's background loses half the shortfall.
constexpr float kPresenceDb = 8.0f;
constexpr float kPresenceWeight = 0.5f;
// Background tracking per frame: up by this much when above, down four times as fast when
// below, which settles on the band's 20th percentile.
constexpr float kFloorStepDb = 0.05f;
// In a reverberant room a tone that just ended keeps ringing as loud as the next one's direct
// sound; what tells them apart is that the new one has just risen. A band gains this much per dB
// it rose over the last few frames, up to kRiseCapDb.
constexpr float kRiseWeight = 0.2f;
constexpr float kRiseCapDb = 12.0f;
// How much the code before is expected to ring beneath a code.
constexpr float kRingingDb = 6.0f;
// The first frames of a code hold the loudest ringing of the code before (and straddle the
// boundary): they count this much.
constexpr int kOnsetFrames = 2;
constexpr double kOnsetWeight = 0.3;
// What a frame of silence scores: a code must stand this far above the rest on average.
constexpr float kSilenceScore = 3.0f;
// Cost per frame by which a code's length misses its nominal length.
constexpr float kDurationPenalty = 1.0f;
// Cost of a code following a code of the same tone: that happens only at both ends of a
// transmission (and where a repeat marker was lost), so a long tone is one code by default.
constexpr float kSameCodePenalty = 6.0f;
// Cost of ending a transmission without closing copies.
constexpr float kCutEndPenalty = 8.0f;
// Cost of each stray tone: a tone that fits the format is taken as part of a transmission.
constexpr float kStrayPenalty = 3.0f;
// Cost of each closing copy: two are sent, reverberation may add more.
constexpr float kClosingPenalty = 1.0f;
// Cost of falling silent after a code: codes follow each other without gaps, so inside a
// transmission an unclear stretch is still some code.
constexpr float kCodeToSilencePenalty = 20.0f;
// Inside a transmission separators come at least every 80 ms (a byte of four equal dibits);
// this long without one, the transmission is over.
constexpr double kNoSeparatorSeconds = 0.15;
// Readings within this score of the best one still count when deciding whether a
// transmission is over.
constexpr double kDecisionMargin = 12.0;
// Frames re-examined after a decision: a transmission that was just starting when we decided.
constexpr double kReplaySeconds = 0.04;
// The longest stretch searched in one go: longer than the longest transmission (4096 codes of
// at most 12.5 ms).
constexpr double kMaxStretchSeconds = 75.0;

constexpr double kUnreachable = -1e300;

// A zero byte behind a CRC (see parse): sent when its level is at most this far below the
// transmission's typical byte, ringing when at least this far.
constexpr float kSentByteDb = 3.0f;
constexpr float kRingingByteDb = 6.0f;

// Taking the room off. Input kept for reading a stretch again: longer than a transmission of 32
// bytes (under 2 s) together with a stretch carried over.
constexpr double kKeptSeconds = 6.0;
// Readings with the room taken off, each from the codes of the one before, until one reads the
// same codes as the one before.
constexpr int kRoomPasses = 4;
// The room's response per band is learnt this long (in frames of 1 ms); what rings this many
// frames or more after a tone is taken off.
constexpr double kRoomSeconds = 0.08;
constexpr int kRoomLagFrames = 3;
// Regularisation of the learning, against the band's tone energy.
constexpr double kRoomRidge = 1e-3;
// A stretch that did not check is read again with the next one, up to this much of it.
constexpr double kCarrySeconds = 4.0;
// Onsets. The first code's: the codes of the first kAnchorSpanSeconds matched against the input
// within kOnsetSearchSeconds of where the reading puts them. Each next onset follows from the
// code's length unless the reading puts the code further away than kOnsetToleranceSeconds; then
// the step counts within kOnsetSteps of the reading's are tried on the codes kOnsetSpanSeconds
// before and after it.
constexpr double kAnchorSpanSeconds = 0.3;
constexpr double kOnsetSearchSeconds = 0.003;
constexpr double kOnsetToleranceSeconds = 0.0015;
constexpr double kOnsetSpanSeconds = 0.05;
constexpr int kOnsetSteps = 3;
// When the room reading still does not check, each code is held against the loudest other tone
// when that stood within kRecheckDb of it: the one that leaves the least of the input unexplained
// over the code, the next one and the kRecheckRingSeconds after them, the room's response as
// learnt, is taken; up to kRecheckPasses times.
constexpr double kRecheckDb = 8.0;
constexpr double kRecheckRingSeconds = 0.03;
constexpr int kRecheckPasses = 3;
// ... and only when the room as learnt leaves at most this share of the stretch's energy in the
// tones' bands unexplained (in the rooms of the bench a tenth to a third; in noise at -12 dB SNR
// and below, from a quarter up).
constexpr double kRecheckUnexplained = 0.35;
// A stretch that gave nothing but holds this many codes in a row without gaps is carried over to
// the next one like a stretch that did not check.
constexpr size_t kBusyCodes = 20;

using Complex = std::complex<double>;

uint16_t crc16_modbus(const uint8_t* data, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1u) ? ((crc >> 1) ^ 0xA001u) : (crc >> 1);
  }
  return crc;
}

// The first `k` bytes are a text followed by its CRC (low byte first).
bool checks(const std::vector<uint8_t>& bytes, size_t k) {
  if (k < 2 || k > bytes.size()) return false;
  const uint16_t crc = crc16_modbus(bytes.data(), k - 2);
  return bytes[k - 2] == (crc & 0xFF) && bytes[k - 1] == (crc >> 8);
}

// The room's response in one band from its normal equations: the codes' autocorrelation per lag
// `rho` (a Toeplitz matrix) and their correlation with the input `p`, regularised by kRoomRidge.
bool solve_room(const std::vector<Complex>& rho, std::vector<Complex> p, std::vector<Complex>* g) {
  const size_t taps = rho.size();
  if (taps == 0 || !(rho[0].real() > 0.0)) return false;
  std::vector<Complex> m(taps * taps);
  for (size_t a = 0; a < taps; ++a) {
    for (size_t b = 0; b < taps; ++b) m[a * taps + b] = a >= b ? rho[a - b] : std::conj(rho[b - a]);
    m[a * taps + a] += kRoomRidge * rho[0].real();
  }
  return detail::solve_hermitian(std::move(m), std::move(p), taps, g);
}

}  // namespace

ToneDecoder::ToneDecoder(int sample_rate, TextCallback on_text)
    : valid_(sample_rate >= 22050 && sample_rate <= 192000),
      sample_rate_(sample_rate),
      on_text_(std::move(on_text)) {
  if (!valid_) return;
  hop_ = static_cast<int>(std::lround(sample_rate * kFrameSeconds));
  window_ = static_cast<int>(std::lround(sample_rate * kWindowSeconds));
  cos_table_.resize(static_cast<size_t>(kCodes * window_));
  sin_table_.resize(cos_table_.size());
  for (int c = 0; c < kCodes; ++c) {
    const double w = 2.0 * kPi * tone_hz(c) / sample_rate;
    for (int n = 0; n < window_; ++n) {
      const double hann = 0.5 - 0.5 * std::cos(2.0 * kPi * (n + 0.5) / window_);
      cos_table_[static_cast<size_t>(c * window_ + n)] = static_cast<float>(hann * std::cos(w * n));
      sin_table_[static_cast<size_t>(c * window_ + n)] = static_cast<float>(hann * std::sin(w * n));
    }
  }
  samples_.assign(static_cast<size_t>(window_), 0.0f);
  // Energy of a tone of amplitude 2 through the window: quieter counts as nothing.
  energy_floor_ = static_cast<float>(window_) * static_cast<float>(window_) / 4.0f;
  floor_min_db_ = 10.0f * std::log10(energy_floor_);
  reset_tracker(&bands_);

  const double frame_seconds = static_cast<double>(hop_) / sample_rate;
  for (int c = 0; c < kCodes; ++c) {
    code_frames_[c] = static_cast<float>(code_seconds(c) / frame_seconds);
    min_frames_[c] = std::max(3, static_cast<int>(std::floor(0.55 * code_frames_[c])));
    max_frames_[c] = static_cast<int>(std::ceil(1.5 * code_frames_[c]));
  }
  build_transitions();
  start_search();
}

ToneDecoder::~ToneDecoder() = default;

void ToneDecoder::reset() {
  if (!valid_) return;
  std::fill(samples_.begin(), samples_.end(), 0.0f);
  reset_tracker(&bands_);
  raw_.clear();
  carry_end_.clear();
  carry_segments_.clear();
  raw_start_ = 0;
  heard_ = 0;
  pending_ = 0;
  queue_.clear();
  rejected_ = 0;
  decoded_ = 0;
  start_search();
}

std::vector<ToneDecoder::Text> ToneDecoder::take_texts() {
  std::vector<Text> out;
  out.swap(queue_);
  return out;
}

void ToneDecoder::feed(const int16_t* pcm, size_t n) {
  if (!valid_ || pcm == nullptr) return;
  const size_t w = static_cast<size_t>(window_);
  const size_t h = static_cast<size_t>(hop_);
  for (size_t i = 0; i < n;) {
    // New samples go behind the window, which moves by one hop per frame.
    const size_t take = std::min(n - i, h - static_cast<size_t>(pending_));
    for (size_t k = 0; k < take; ++k) {
      samples_[w - h + static_cast<size_t>(pending_) + k] = static_cast<float>(pcm[i + k]);
    }
    raw_.insert(raw_.end(), pcm + i, pcm + i + take);
    heard_ += take;
    pending_ += static_cast<int>(take);
    i += take;
    if (pending_ == hop_) {
      analyse_frame();
      std::memmove(samples_.data(), samples_.data() + h, (w - h) * sizeof(float));
      pending_ = 0;
    }
  }
  // Keep the last kKeptSeconds of input; trim once a second more has gathered.
  const size_t kept = static_cast<size_t>(kKeptSeconds * sample_rate_);
  if (raw_.size() > kept + static_cast<size_t>(sample_rate_)) {
    const size_t drop = raw_.size() - kept;
    raw_.erase(raw_.begin(), raw_.begin() + static_cast<long>(drop));
    raw_start_ += drop;
  }
}

void ToneDecoder::flush() {
  if (!valid_) return;
  decide(true);
}

void ToneDecoder::analyse_frame() {
  float level[kCodes];
  const float* x = samples_.data();
  for (int c = 0; c < kCodes; ++c) {
    const float* ct = cos_table_.data() + c * window_;
    const float* st = sin_table_.data() + c * window_;
    float re = 0.0f;
    float im = 0.0f;
    for (int n = 0; n < window_; ++n) {
      re += x[n] * ct[n];
      im += x[n] * st[n];
    }
    const double energy = static_cast<double>(re) * re + static_cast<double>(im) * im;
    level[c] = static_cast<float>(10.0 * std::log10(energy + energy_floor_));
  }
  float features[kFeatures];
  features_of(level, &bands_, features);
  push_scores(features, heard_);

  const size_t b = frames_;
  const double* best = &best_[(b % kRing) * kStates];
  const int* separators = &last_separator_[(b % kRing) * kStates];
  const int top = static_cast<int>(std::max_element(best, best + kStates) - best);
  // The latest separator of any path that is nearly as good as the best one: between two
  // codes the best path may briefly be another reading.
  int separator = -1;
  for (int st = 0; st < kStates; ++st) {
    if (best[st] >= best[top] - kDecisionMargin) separator = std::max(separator, separators[st]);
  }
  const int quiet = static_cast<int>(std::lround(kNoSeparatorSeconds / kFrameSeconds));
  const size_t max_frames = static_cast<size_t>(std::lround(kMaxStretchSeconds / kFrameSeconds));
  const bool over = separator >= 0 && static_cast<int>(b) - separator >= quiet;
  const bool idle = separator < 0 && top == kSilenceState && static_cast<int>(b) >= quiet;
  if (over || idle) {
    // A transmission is over, or nothing began: decide on what the best path holds.
    decide(false);
  } else if (frames_ >= max_frames) {
    decide(true);
  }
}

void ToneDecoder::reset_tracker(BandTracker* t) const {
  std::fill(std::begin(t->floor_db), std::end(t->floor_db), floor_min_db_);
  for (auto& past : t->history_db) std::fill(std::begin(past), std::end(past), floor_min_db_);
  t->history_at = 0;
}

void ToneDecoder::features_of(const float* level, BandTracker* t, float* features) const {
  float rise[kCodes];
  for (int c = 0; c < kCodes; ++c) {
    float lowest = level[c];
    for (const auto& past : t->history_db) lowest = std::min(lowest, past[c]);
    rise[c] = std::min(level[c] - lowest, kRiseCapDb) * kRiseWeight;
  }
  std::copy(level, level + kCodes, t->history_db[t->history_at]);
  t->history_at = (t->history_at + 1) % kRiseFrames;
  // What a frame keeps: each band's level and its bonus (rise, less any shortfall against the
  // band's background). The scores against the other bands are worked out from them.
  for (int c = 0; c < kCodes; ++c) {
    const float shortfall = std::max(0.0f, kPresenceDb - (level[c] - t->floor_db[c]));
    features[c] = level[c];
    features[kCodes + c] = rise[c] - kPresenceWeight * shortfall;
    t->floor_db[c] += level[c] > t->floor_db[c] ? kFloorStepDb : -4.0f * kFloorStepDb;
    t->floor_db[c] = std::max(t->floor_db[c], floor_min_db_);
  }
}

void ToneDecoder::build_transitions() {
  state_code_.assign(kStates, -1);
  from_.assign(kStates, {});
  auto link = [this](int to, int from, float cost) { from_[to].push_back({from, cost}); };
  state_code_[kSeparatorState] = kSeparator;
  link(kSeparatorState, kSilenceState, 0);
  link(kSeparatorState, kSeparatorState, kSameCodePenalty);
  for (int d = 0; d < 4; ++d) {
    state_code_[dibit_state(d, 1)] = d;
    link(dibit_state(d, 1), kSeparatorState, 0);
    for (int k = 2; k <= 4; ++k) {
      state_code_[dibit_state(d, k)] = d;
      for (int e = 0; e < 4; ++e) {
        link(dibit_state(d, k), dibit_state(e, k - 1), e == d ? kSameCodePenalty : 0.0f);
      }
      link(dibit_state(d, k), marker_state(d, k - 1), 0);
    }
    for (int k = 1; k <= 3; ++k) {
      state_code_[marker_state(d, k)] = kRepeat;
      link(marker_state(d, k), dibit_state(d, k), 0);
    }
    state_code_[closing_state(d)] = d;
    link(closing_state(d), dibit_state(d, 4), 0);
    link(closing_state(d), closing_state(d), kClosingPenalty);
    link(kSeparatorState, dibit_state(d, 4), 0);
    // The next repetition right behind the closing copies: rare, so it has to show.
    link(kSeparatorState, closing_state(d), kCodeToSilencePenalty);
  }
  for (int c = 0; c < kCodes; ++c) {
    state_code_[stray_state(c)] = c;
    link(stray_state(c), kSilenceState, kStrayPenalty);
    for (int e = 0; e < kCodes; ++e) {
      link(stray_state(c), stray_state(e), kStrayPenalty + (e == c ? kSameCodePenalty : 0.0f));
    }
    for (int d = 0; d < 4; ++d) link(stray_state(c), closing_state(d), kStrayPenalty);
    link(kSeparatorState, stray_state(c), 0);
  }
  // Silence may follow anything. Inside a transmission codes follow each other without gaps,
  // so there only at a price. A transmission ends after its closing copies, or, when the player
  // cut those off, after a whole byte.
  for (int st = 0; st < kStates; ++st) {
    float cost = kCodeToSilencePenalty;
    if (st == kSilenceState || (st >= closing_state(0) && st < stray_state(0))) cost = 0.0f;
    for (int d = 0; d < 4; ++d) {
      if (st == dibit_state(d, 4)) cost = kCutEndPenalty;
    }
    link(kSilenceState, st, cost);
  }
}

void ToneDecoder::start_search() {
  frames_ = 0;
  stretch_.clear();
  stretch_end_.clear();
  prefix_.assign(kRing * kStreams, 0.0);
  best_.assign(kRing * kStates, kUnreachable);
  best_[kSilenceState] = 0.0;
  last_separator_.assign(kRing * kStates, -1);
  back_len_.assign(kStates, 0);
  back_prev_.assign(kStates, kSilenceState);
}

void ToneDecoder::push_scores(const float* features, uint64_t end) {
  stretch_.insert(stretch_.end(), features, features + kFeatures);
  stretch_end_.push_back(end);
  const size_t b = frames_ + 1;  // the boundary after this frame
  const size_t row = b % kRing;
  const float* level = features;
  for (int c = 0; c < kCodes; ++c) {
    for (int before = -1; before < kCodes; ++before) {
      if (before == c) continue;  // the same stream as none before
      // How far the band stands above the strongest other one, the code before counting
      // kRingingDb less.
      float other = floor_min_db_;
      for (int k = 0; k < kCodes; ++k) {
        if (k != c) other = std::max(other, k == before ? level[k] - kRingingDb : level[k]);
      }
      const float score = std::clamp(level[c] - other, -kClipDb, kClipDb) + features[kCodes + c];
      const int i = stream(c, before);
      prefix_[row * kStreams + i] = prefix_[((b - 1) % kRing) * kStreams + i] + score;
    }
  }
  back_len_.resize((b + 1) * kStates, 0);
  back_prev_.resize((b + 1) * kStates, kSilenceState);

  for (int st = 0; st < kStates; ++st) {
    const int code = state_code_[static_cast<size_t>(st)];
    double top = kUnreachable;
    if (!strays_allowed_ && st >= stray_state(0)) {
      best_[row * kStates + st] = kUnreachable;
      back_len_[b * kStates + st] = 0;
      last_separator_[row * kStates + st] = -1;
      continue;
    }
    int top_len = 0;
    int top_prev = kSilenceState;
    // Silence lasts one frame at a time; a code a plausible length.
    const int shortest = code < 0 ? 1 : min_frames_[code];
    const int longest = code < 0 ? 1 : max_frames_[code];
    for (int len = shortest; len <= longest; ++len) {
      if (static_cast<size_t>(len) > b) break;
      const size_t s = b - static_cast<size_t>(len);
      const double duration =
          code < 0 ? 0.0 : kDurationPenalty * std::fabs(len - code_frames_[code]);
      const double* prev = &best_[(s % kRing) * kStates];
      for (const auto& t : from_[static_cast<size_t>(st)]) {
        if (prev[t.from] <= kUnreachable) continue;
        const int k = code < 0 ? 0 : stream(code, state_code_[static_cast<size_t>(t.from)]);
        double segment =
            code < 0 ? kSilenceScore
                     : prefix_[row * kStreams + k] - prefix_[(s % kRing) * kStreams + k] - duration;
        if (code >= 0) {
          // The first frames of a code, which the code before still rings into, count less.
          segment -= (1.0 - kOnsetWeight) * (prefix_[((s + kOnsetFrames) % kRing) * kStreams + k] -
                                             prefix_[(s % kRing) * kStreams + k]);
        }
        const double v = prev[t.from] + segment - t.cost;
        if (v > top) {
          top = v;
          top_len = len;
          top_prev = t.from;
        }
      }
    }
    best_[row * kStates + st] = top;
    back_len_[b * kStates + st] = static_cast<uint8_t>(top_len);
    back_prev_[b * kStates + st] = static_cast<uint8_t>(top_prev);
    last_separator_[row * kStates + st] =
        st == kSeparatorState ? static_cast<int>(b)
        : top_len > 0
            ? last_separator_[((b - static_cast<size_t>(top_len)) % kRing) * kStates + top_prev]
            : -1;
  }
  frames_ = b;
}

std::vector<ToneDecoder::Segment> ToneDecoder::best_segments() {
  size_t b = frames_;
  const double* last = &best_[(b % kRing) * kStates];
  int state = static_cast<int>(std::max_element(last, last + kStates) - last);
  std::vector<Segment> segments;
  while (b > 0) {
    const size_t len = back_len_[b * kStates + static_cast<size_t>(state)];
    if (len == 0) break;
    const int code = state_code_[static_cast<size_t>(state)];
    if (code >= 0) segments.push_back({code, state >= stray_state(0), b - len, len});
    const int prev = back_prev_[b * kStates + static_cast<size_t>(state)];
    b -= len;
    state = prev;
  }
  std::reverse(segments.begin(), segments.end());
  return segments;
}

std::vector<ToneDecoder::Segment> ToneDecoder::parse_best(const std::vector<float>& frames,
                                                          bool* stray) {
  std::vector<Segment> segments = best_segments();
  const size_t b = frames_;
  const double* last = &best_[(b % kRing) * kStates];
  const size_t state = static_cast<size_t>(std::max_element(last, last + kStates) - last);
  // A path without a separator holds no transmission.
  const bool any = last_separator_[(b % kRing) * kStates + state] >= 0;
  if (stray != nullptr) {
    *stray = any && std::any_of(segments.begin(), segments.end(),
                                [](const Segment& seg) { return seg.stray; });
  }
  parse_segments(any ? segments : std::vector<Segment>(), frames);
  return segments;
}

void ToneDecoder::parse_segments(const std::vector<Segment>& segments,
                                 const std::vector<float>& frames) {
  std::vector<int> codes;
  std::vector<float> levels;
  for (const Segment& seg : segments) {
    codes.push_back(seg.stray ? -1 : seg.code);
    // The code's mean level in its band.
    double sum = 0.0;
    for (size_t f = seg.start; f < seg.start + seg.frames; ++f) {
      sum += frames[f * kFeatures + static_cast<size_t>(seg.code)];
    }
    levels.push_back(
        static_cast<float>(sum / static_cast<double>(std::max<size_t>(seg.frames, 1))));
  }
  parse(codes, levels);
}

std::vector<ToneDecoder::Segment> ToneDecoder::read(const std::vector<float>& frames,
                                                    const std::vector<uint64_t>& ends) {
  start_search();
  reading_texts_.clear();
  for (size_t i = 0; i < ends.size(); ++i) push_scores(&frames[i * kFeatures], ends[i]);
  return parse_best(frames);
}

void ToneDecoder::decide(bool forced) {
  // Every frame of the stretch: for more readings, and for the replay of its end.
  std::vector<float> frames;
  std::vector<uint64_t> ends;
  frames.swap(stretch_);
  ends.swap(stretch_end_);
  stretch_texts_.clear();
  reading_texts_.clear();
  candidates_.clear();
  first_reading_ = true;
  const size_t rejected_before = rejected_;
  const size_t fragments_before = fragments_;
  const size_t decoded_first = decoded_;
  bool stray = false;
  std::vector<Segment> segments = parse_best(frames, &stray);
  first_reading_ = false;
  // Each further reading is the stretch's last word so far: only its rejections count.
  auto read_again = [&](const std::vector<float>& f, const std::vector<uint64_t>& e) {
    const size_t rejected_first = rejected_;
    std::vector<Segment> read_segments = read(f, e);
    rejected_ = rejected_before + (rejected_ - rejected_first);
    return read_segments;
  };
  if (rejected_ > rejected_before && stray) {
    // A transmission did not check and the best reading took some tone for a stray one: read
    // the stretch again as nothing but transmissions. The CRC still decides; only texts the
    // first reading did not report are reported.
    strays_allowed_ = false;
    segments = read_again(frames, ends);
    strays_allowed_ = true;
  }
  // Still a transmission that did not check, a run of bytes too short for a text and its CRC (a
  // short transmission the room turned largely into stray tones), or a text found by one further
  // reading only: take the room's ringing off and read again, with the codes of each reading
  // telling the next what rang.
  // A transmission that looked over halfway (the room rang over its separators) is read whole:
  // the stretch before, when it did not check and ran up to this one, goes first (whether or not
  // this one's own reading made out a transmission: it may hold no more than the last bytes).
  bool unread =
      rejected_ > rejected_before || (fragments_ > fragments_before && decoded_ == decoded_first);
  std::vector<uint64_t> all_ends;
  std::vector<Segment> all_segments;
  if (!carry_end_.empty() && !ends.empty() && !segments.empty() &&
      carry_end_.back() + static_cast<uint64_t>(hop_) >= ends.front()) {
    unread = true;
    const size_t cut = static_cast<size_t>(
        std::lower_bound(carry_end_.begin(), carry_end_.end(), ends.front()) - carry_end_.begin());
    all_ends.assign(carry_end_.begin(), carry_end_.begin() + static_cast<long>(cut));
    for (const Segment& seg : carry_segments_) {
      if (seg.start + seg.frames <= cut) all_segments.push_back(seg);
    }
  }
  const size_t shift = all_ends.size();
  all_ends.insert(all_ends.end(), ends.begin(), ends.end());
  for (Segment seg : segments) {
    seg.start += shift;
    all_segments.push_back(seg);
  }
  // One reading with the room taken off, from the codes of `codes`; false when the input is no
  // longer kept.
  std::vector<float> cleaned;
  auto read_without_room = [&](const std::vector<Segment>& codes, std::vector<Segment>* read) {
    if (!features_without_room(all_ends, codes, &cleaned)) return false;
    strays_allowed_ = false;
    room_reading_ = true;
    *read = read_again(cleaned, all_ends);
    room_reading_ = false;
    strays_allowed_ = true;
    return true;
  };
  for (int pass = 0; pass < kRoomPasses && (unread || !candidates_.empty()); ++pass) {
    std::vector<Segment> read_segments;
    if (!read_without_room(all_segments, &read_segments)) break;
    const bool same = std::equal(
        read_segments.begin(), read_segments.end(), all_segments.begin(), all_segments.end(),
        [](const Segment& a, const Segment& b) { return a.code == b.code; });
    all_segments.swap(read_segments);
    unread = rejected_ > rejected_before && !same;
    if (same && !candidates_.empty()) break;
  }
  // Still a transmission that did not check: each code held against its rival with the room as
  // learnt (see recheck_codes), the codes so found parsed, and the stretch read again from them,
  // until no code changes.
  // A stretch that gave a text, its first reading included, is read no further and not carried
  // over: the ringing after a text's end may not check, but read with the next stretch it would
  // give the text again.
  auto unchecked = [&] { return rejected_ > rejected_before && decoded_ == decoded_first; };
  for (int pass = 0; pass < kRecheckPasses && !cleaned.empty() && unchecked(); ++pass) {
    if (!recheck_codes(all_ends, cleaned, &all_segments)) break;
    const size_t rejected_first = rejected_;
    reading_texts_.clear();
    room_reading_ = true;
    parse_segments(all_segments, cleaned);
    room_reading_ = false;
    rejected_ = rejected_before + (rejected_ - rejected_first);
    if (unchecked()) {
      std::vector<Segment> read_segments;
      if (!read_without_room(all_segments, &read_segments)) break;
      all_segments.swap(read_segments);
    }
  }
  carry_end_.clear();
  carry_segments_.clear();
  // A stretch that gave nothing but holds a long run of codes without gaps (a transmission's
  // start that the room turned into stray tones, cut off where the reading lost its separators)
  // is carried over too.
  size_t run = 0, longest = 0;
  for (size_t k = 0; k < all_segments.size(); ++k) {
    const bool follows =
        k > 0 && all_segments[k - 1].start + all_segments[k - 1].frames == all_segments[k].start;
    run = follows ? run + 1 : 1;
    longest = std::max(longest, run);
  }
  const bool busy = longest >= kBusyCodes && decoded_ == decoded_first;
  if (unchecked() || busy) {
    // Kept for the next stretch, up to kCarrySeconds.
    const size_t most = static_cast<size_t>(std::lround(kCarrySeconds / kFrameSeconds));
    const size_t drop = all_ends.size() > most ? all_ends.size() - most : 0;
    carry_end_.assign(all_ends.begin() + static_cast<long>(drop), all_ends.end());
    for (Segment seg : all_segments) {
      if (seg.start < drop) continue;
      seg.start -= drop;
      carry_segments_.push_back(seg);
    }
  }
  first_reading_ = true;
  start_search();
  if (forced) return;
  // Re-examine the last frames: the start of a transmission may lie among them.
  const size_t keep = static_cast<size_t>(std::lround(kReplaySeconds / kFrameSeconds));
  for (size_t i = ends.size() > keep ? ends.size() - keep : 0; i < ends.size(); ++i) {
    push_scores(&frames[i * kFeatures], ends[i]);
  }
}

double ToneDecoder::find_onset(const std::vector<Segment>& segments, double guess) const {
  const double rate = sample_rate_;
  // What the codes sound like from the guess on (each tone's fundamental).
  std::vector<float> model;
  double at = 0.0;
  for (size_t j = 0; j < segments.size() && at < kAnchorSpanSeconds * rate; ++j) {
    const int code = segments[j].code;
    const double len = code_seconds(code) * rate;
    const double w = 2.0 * kPi * tone_hz(code) / rate;
    model.resize(static_cast<size_t>(std::ceil(at + len)), 0.0f);
    for (auto t = static_cast<size_t>(std::ceil(at)); t < model.size(); ++t) {
      model[t] = static_cast<float>(-std::cos(w * (static_cast<double>(t) - at)));
    }
    at += len;
  }
  const auto reach = static_cast<int64_t>(std::lround(kOnsetSearchSeconds * rate));
  const int64_t origin = std::llround(guess);
  double best = -1.0;
  int64_t best_shift = 0;
  for (int64_t shift = -reach; shift <= reach; ++shift) {
    double sum = 0.0;
    for (size_t t = 0; t < model.size(); ++t) {
      sum += static_cast<double>(heard_at(origin + shift + static_cast<int64_t>(t))) * model[t];
    }
    // Either polarity: a speaker or microphone may invert.
    if (std::fabs(sum) > best) {
      best = std::fabs(sum);
      best_shift = shift;
    }
  }
  return static_cast<double>(origin + best_shift);
}

float ToneDecoder::heard_at(int64_t i) const {
  const int64_t r = i - static_cast<int64_t>(raw_start_);
  return r >= 0 && r < static_cast<int64_t>(raw_.size()) ? raw_[static_cast<size_t>(r)] : 0.0f;
}

std::complex<double> ToneDecoder::tone_at(int code, double onset) const {
  const double rate = sample_rate_;
  const double w = 2.0 * kPi * tone_hz(code) / rate;
  const double first = std::ceil(onset);
  const double end = onset + code_seconds(code) * rate;
  std::complex<double> turn = std::polar(1.0, -w * (first - onset));
  const std::complex<double> step = std::polar(1.0, -w);
  std::complex<double> sum;
  for (double t = first; t < end; t += 1.0) {
    sum += turn * static_cast<double>(heard_at(static_cast<int64_t>(t)));
    turn *= step;
  }
  return sum;
}

double ToneDecoder::choose_onset(const std::vector<Segment>& segments,
                                 const std::vector<double>& onsets, size_t k, double first,
                                 double step, int steps) const {
  const double reach = kOnsetSpanSeconds * sample_rate_;
  // Per tone, the codes before k as placed already.
  std::complex<double> before[kCodes];
  for (size_t j = k; j-- > 0 && onsets[k - 1] - onsets[j] < reach;) {
    before[segments[j].code] += tone_at(segments[j].code, onsets[j]);
  }
  double best = -1.0;
  double best_onset = first;
  for (int i = -steps; i <= steps; ++i) {
    const double start = first + i * step;
    std::complex<double> sum[kCodes];
    std::copy(std::begin(before), std::end(before), std::begin(sum));
    double at = start;
    for (size_t j = k; j < segments.size() && at - start < reach; ++j) {
      sum[segments[j].code] += tone_at(segments[j].code, at);
      at += code_seconds(segments[j].code) * sample_rate_;
    }
    double score = 0.0;
    for (const auto& v : sum) score += std::abs(v);
    if (score > best) {
      best = score;
      best_onset = start;
    }
  }
  return best_onset;
}

bool ToneDecoder::fit_room(const std::vector<uint64_t>& ends, const std::vector<Segment>& segments,
                           RoomFit* fit) const {
  if (ends.empty() || segments.empty()) return false;
  const size_t n = ends.size();
  const auto w = static_cast<int64_t>(window_);
  const int64_t first = static_cast<int64_t>(ends[0]) - w;  // the first window's start
  if (first < static_cast<int64_t>(raw_start_) && raw_start_ > 0) return false;
  const double rate = sample_rate_;

  // 1. When each code began. The first is found by matching the codes against the input; codes
  // follow each other without gaps, so each onset gives the next. Where the reading puts a code
  // elsewhere (it missed a code, or read one too many or a wrong one), the codes as sent lie a
  // whole number of 1.25 ms steps (every code's length is a multiple) from where the onsets so
  // far put them: of the step counts near the reading's, the one at which each tone's codes add
  // up in phase best.
  fit->codes.resize(segments.size());
  fit->onset.resize(segments.size());
  fit->phase.resize(segments.size());
  const double unit = kPeriodsPerCode * rate / kRenderRate;
  double next = 0.0;
  for (size_t k = 0; k < segments.size(); ++k) {
    const double guess = static_cast<double>(ends[segments[k].start]) - 0.5 * window_ - 0.5 * hop_;
    if (k == 0) {
      next = find_onset(segments, guess);
    } else if (std::fabs(next - guess) > kOnsetToleranceSeconds * rate) {
      next = choose_onset(segments, fit->onset, k, next + unit * std::round((guess - next) / unit),
                          unit, kOnsetSteps);
    }
    fit->codes[k] = segments[k].code;
    fit->onset[k] = next;
    next += code_seconds(segments[k].code) * rate;
  }
  // 2. Each code in the phase it is heard in: an onset a few samples off then costs nothing but
  // a little of the code's edges.
  for (size_t k = 0; k < segments.size(); ++k) {
    fit->phase[k] = std::arg(tone_at(fit->codes[k], fit->onset[k]));
  }

  // 3. Per band and frame, the same measurement of the input and of the codes as sent.
  fit->y.assign(n * kCodes, Complex());
  std::vector<double> heard(static_cast<size_t>(window_));
  for (size_t i = 0; i < n; ++i) {
    const int64_t start = static_cast<int64_t>(ends[i]) - w;
    for (int m = 0; m < window_; ++m) heard[static_cast<size_t>(m)] = heard_at(start + m);
    in_bands(heard.data(), &fit->y[i * kCodes]);
  }
  fit->x.assign(n * kCodes, Complex());
  sent_in_bands(ends, 0, n, *fit, fit->x.data());

  // 4. Per band, the room's response to the band's tones: least squares over the stretch.
  const auto taps = static_cast<size_t>(std::lround(kRoomSeconds / kFrameSeconds));
  for (int c = 0; c < kCodes; ++c) {
    auto X = [&](size_t i) { return fit->x[i * kCodes + static_cast<size_t>(c)]; };
    auto Y = [&](size_t i) { return fit->y[i * kCodes + static_cast<size_t>(c)]; };
    std::vector<Complex>& rho = fit->rho[c];
    rho.assign(taps, Complex());
    fit->p[c].assign(taps, Complex());
    for (size_t d = 0; d < taps; ++d) {
      for (size_t u = 0; u + d < n; ++u) rho[d] += std::conj(X(u)) * X(u + d);
      for (size_t i = d; i < n; ++i) fit->p[c][d] += std::conj(X(i - d)) * Y(i);
    }
    if (!solve_room(rho, fit->p[c], &fit->g[c])) fit->g[c].clear();
  }
  return true;
}

void ToneDecoder::sent_in_bands(const std::vector<uint64_t>& ends, size_t from, size_t to,
                                const RoomFit& fit, Complex* out) const {
  if (from >= to) return;
  const auto w = static_cast<int64_t>(window_);
  const int64_t begin = static_cast<int64_t>(ends[from]) - w;
  const int64_t end = static_cast<int64_t>(ends[to - 1]);
  std::vector<double> sent(static_cast<size_t>(end - begin), 0.0);
  for (size_t k = 0; k < fit.codes.size(); ++k) {
    const int code = fit.codes[k];
    const double onset = fit.onset[k];
    const double stop =
        std::min(onset + code_seconds(code) * sample_rate_, static_cast<double>(end));
    const double t0 = std::max(std::ceil(onset), static_cast<double>(begin));
    if (t0 >= stop) continue;
    const double wk = 2.0 * kPi * tone_hz(code) / sample_rate_;
    Complex turn = std::polar(1.0, wk * (t0 - onset) + fit.phase[k]);
    const Complex step = std::polar(1.0, wk);
    for (double t = t0; t < stop; t += 1.0) {
      sent[static_cast<size_t>(static_cast<int64_t>(t) - begin)] += turn.real();
      turn *= step;
    }
  }
  for (size_t i = from; i < to; ++i) {
    const int64_t start = static_cast<int64_t>(ends[i]) - w - begin;
    in_bands(&sent[static_cast<size_t>(start)], out + (i - from) * kCodes);
  }
}

void ToneDecoder::in_bands(const double* window, Complex* out) const {
  for (int c = 0; c < kCodes; ++c) {
    const float* ct = cos_table_.data() + c * window_;
    const float* st = sin_table_.data() + c * window_;
    double re = 0, im = 0;
    for (int m = 0; m < window_; ++m) {
      re += window[m] * ct[m];
      im += window[m] * st[m];
    }
    out[c] = Complex(re, im);
  }
}

double ToneDecoder::unexplained(size_t from, size_t to, const RoomFit& fit,
                                const std::vector<Complex>* g, const Complex* sent) const {
  double sum = 0.0;
  for (int c = 0; c < kCodes; ++c) {
    const std::vector<Complex>& taps = g[c];
    if (taps.empty()) continue;
    for (size_t i = from; i < to; ++i) {
      Complex v = fit.y[i * kCodes + static_cast<size_t>(c)];
      for (size_t k = 0; k < taps.size() && k <= i; ++k) {
        const size_t j = i - k;
        v -= taps[k] * (j >= from ? sent[(j - from) * kCodes + static_cast<size_t>(c)]
                                  : fit.x[j * kCodes + static_cast<size_t>(c)]);
      }
      sum += std::norm(v);
    }
  }
  return sum;
}

bool ToneDecoder::learn_without(const std::vector<uint64_t>& ends, const RoomFit& fit, size_t k,
                                std::vector<Complex>* g) const {
  const int c = fit.codes[k];
  const size_t n = ends.size();
  const auto w = static_cast<double>(window_);
  // The frames the code reaches, and what it measures there in its band.
  const double onset = fit.onset[k];
  const double stop = onset + code_seconds(c) * sample_rate_;
  const size_t from = static_cast<size_t>(
      std::upper_bound(ends.begin(), ends.end(), static_cast<uint64_t>(std::max(0.0, onset))) -
      ends.begin());
  size_t to = from;
  while (to < n && static_cast<double>(ends[to]) - w < stop) ++to;
  if (from >= to) return false;
  RoomFit one;
  one.codes = {c};
  one.onset = {onset};
  one.phase = {fit.phase[k]};
  std::vector<Complex> own((to - from) * kCodes);
  sent_in_bands(ends, from, to, one, own.data());
  auto X = [&](size_t i) { return fit.x[i * kCodes + static_cast<size_t>(c)]; };
  auto Xw = [&](size_t i) {
    return i >= from && i < to ? X(i) - own[(i - from) * kCodes + static_cast<size_t>(c)] : X(i);
  };
  const size_t taps = fit.rho[c].size();
  std::vector<Complex> rho = fit.rho[c], p = fit.p[c];
  for (size_t d = 0; d < taps; ++d) {
    const size_t lo = from > d ? from - d : 0;
    for (size_t u = lo; u < to && u + d < n; ++u) {
      rho[d] += std::conj(Xw(u)) * Xw(u + d) - std::conj(X(u)) * X(u + d);
    }
    for (size_t u = from; u < to && u + d < n; ++u) {
      p[d] += std::conj(Xw(u) - X(u)) * fit.y[(u + d) * kCodes + static_cast<size_t>(c)];
    }
  }
  return solve_room(rho, std::move(p), g);
}

bool ToneDecoder::recheck_codes(const std::vector<uint64_t>& ends, const std::vector<float>& frames,
                                std::vector<Segment>* segments) const {
  RoomFit fit;
  if (!fit_room(ends, *segments, &fit)) return false;
  const size_t n = ends.size();
  const double rate = sample_rate_;
  // Only a room the codes as read explain well: in deep noise every further reading is one more
  // chance for a misreading to check by accident.
  double heard = 0.0;
  for (const Complex& v : fit.y) heard += std::norm(v);
  if (!(unexplained(0, n, fit, fit.g, fit.x.data()) <= kRecheckUnexplained * heard)) return false;
  const auto ring = static_cast<size_t>(std::lround(kRecheckRingSeconds / kFrameSeconds));
  bool changed = false;
  std::vector<Complex> sent;
  RoomFit trial;
  // Code k as tone b, the codes after it following on at its length (`shift`: the change in
  // length) or staying where they were placed (shift 0). The phases of moved codes are found
  // again only for those that begin before `upto` (the rest are not measured).
  auto place = [&](size_t k, int b, double shift, int64_t upto, RoomFit* t) {
    t->codes = fit.codes;
    t->onset = fit.onset;
    t->phase = fit.phase;
    t->codes[k] = b;
    t->phase[k] = std::arg(tone_at(b, fit.onset[k]));
    for (size_t j = k + 1; j < t->codes.size() && shift != 0.0; ++j) {
      t->onset[j] += shift;
      if (t->onset[j] < static_cast<double>(upto)) {
        t->phase[j] = std::arg(tone_at(t->codes[j], t->onset[j]));
      }
    }
  };
  for (size_t k = 0; k < fit.codes.size(); ++k) {
    const Segment& seg = (*segments)[k];
    const int a = fit.codes[k];
    // 1. The rival: the loudest other tone over the code's frames, when it stood within
    // kRecheckDb of the code's own.
    double mean[kCodes] = {};
    for (size_t f = seg.start; f < seg.start + seg.frames && f < n; ++f) {
      for (int c = 0; c < kCodes; ++c) mean[c] += frames[f * kFeatures + static_cast<size_t>(c)];
    }
    int rival = a == 0 ? 1 : 0;
    for (int c = 0; c < kCodes; ++c) {
      if (c != a && mean[c] > mean[rival]) rival = c;
    }
    if (mean[rival] < mean[a] - kRecheckDb * static_cast<double>(seg.frames)) continue;
    // 2. The room as learnt without this code in its band, so that the fit does not favour it.
    std::vector<Complex> g[kCodes];
    for (int c = 0; c < kCodes; ++c) g[c] = fit.g[c];
    if (!learn_without(ends, fit, k, &g[a])) g[a] = fit.g[a];
    // 3. The frames the code and the one after it (as the longest tone each), and their
    // ringing, reach.
    const double onset = fit.onset[k];
    const size_t from = static_cast<size_t>(
        std::upper_bound(ends.begin(), ends.end(), static_cast<uint64_t>(std::max(0.0, onset))) -
        ends.begin());
    const double reach = onset + 2.0 * code_seconds(0) * rate + window_;
    size_t to = from;
    while (to < n && static_cast<double>(ends[to]) < reach) ++to;
    to = std::min(n, to + ring);
    if (from >= to) continue;
    // 4. The code or its rival, whichever leaves less unexplained there; the rival with the codes
    // after it following on at its length, or staying where they were placed.
    sent.resize((to - from) * kCodes);
    sent_in_bands(ends, from, to, fit, sent.data());
    double best = unexplained(from, to, fit, g, sent.data());
    bool taken = false;
    double best_shift = 0.0;
    const double lengthen = (code_seconds(rival) - code_seconds(a)) * rate;
    for (const double shift : {0.0, lengthen}) {
      place(k, rival, shift, static_cast<int64_t>(ends[to - 1]), &trial);
      sent_in_bands(ends, from, to, trial, sent.data());
      const double left = unexplained(from, to, fit, g, sent.data());
      if (left < best) {
        best = left;
        taken = true;
        best_shift = shift;
      }
      if (lengthen == 0.0) break;
    }
    if (!taken) continue;
    // 5. Taken: the codes as sent from here on (only within the frames above when the codes after
    // it stay), measured anew.
    changed = true;
    (*segments)[k].code = rival;
    place(k, rival, best_shift, static_cast<int64_t>(ends.back()), &trial);
    fit.codes.swap(trial.codes);
    fit.onset.swap(trial.onset);
    fit.phase.swap(trial.phase);
    sent_in_bands(ends, from, best_shift == 0.0 ? to : n, fit, fit.x.data() + from * kCodes);
  }
  return changed;
}

bool ToneDecoder::features_without_room(const std::vector<uint64_t>& ends,
                                        const std::vector<Segment>& segments,
                                        std::vector<float>* out) {
  RoomFit fit;
  if (!fit_room(ends, segments, &fit)) return false;
  const size_t n = ends.size();
  // What of the room's response rings kRoomLagFrames or more after each tone, taken off.
  std::vector<float> level(n * kCodes);
  for (int c = 0; c < kCodes; ++c) {
    const std::vector<Complex>& g = fit.g[c];
    for (size_t i = 0; i < n; ++i) {
      Complex v = fit.y[i * kCodes + static_cast<size_t>(c)];
      for (size_t k = kRoomLagFrames; k < g.size() && k <= i; ++k) {
        v -= g[k] * fit.x[(i - k) * kCodes + static_cast<size_t>(c)];
      }
      level[i * kCodes + static_cast<size_t>(c)] =
          static_cast<float>(10.0 * std::log10(std::norm(v) + energy_floor_));
    }
  }

  // The features, with the bands' background as now and no history.
  BandTracker tracker = bands_;
  for (auto& past : tracker.history_db) std::fill(std::begin(past), std::end(past), floor_min_db_);
  out->assign(n * kFeatures, 0.0f);
  for (size_t i = 0; i < n; ++i) features_of(&level[i * kCodes], &tracker, &(*out)[i * kFeatures]);
  return true;
}

void ToneDecoder::parse(const std::vector<int>& codes, const std::vector<float>& levels) {
  const size_t n = codes.size();
  size_t i = 0;
  while (i < n) {
    if (codes[i] != kSeparator) {
      ++i;
      continue;
    }
    while (i < n && codes[i] == kSeparator) ++i;
    // Bytes: a separator (already passed) and four dibits; a marker repeats the dibit before it.
    // Two codes of the same dibit in a row count as a repeat whose marker was lost.
    Text bytes;
    std::vector<float> byte_levels;  // each byte's codes' mean level
    bool tail = false;
    bool broken = false;
    for (;;) {
      int value = 0;
      int prev = -1;
      int count = 0;
      const size_t from = i;
      while (count < 4 && i < n && codes[i] != kSeparator && codes[i] >= 0) {
        int dibit = codes[i];
        ++i;
        if (dibit == kRepeat) {
          if (prev < 0) {
            broken = true;
            break;
          }
          // Normally the repeated dibit follows the marker; if it was lost, the marker stands in.
          if (i < n && codes[i] == prev) continue;
          dibit = prev;
        }
        value = (value << 2) | dibit;
        prev = dibit;
        ++count;
      }
      if (broken || count < 4) break;
      bytes.push_back(static_cast<uint8_t>(value));
      byte_levels.push_back(std::accumulate(levels.begin() + static_cast<long>(from),
                                            levels.begin() + static_cast<long>(i), 0.0f) /
                            static_cast<float>(i - from));
      if (i >= n) break;
      if (codes[i] == kSeparator) {
        while (i < n && codes[i] == kSeparator) ++i;
        continue;
      }
      // The closing copies of the last dibit: the transmission ends here.
      if (codes[i] == prev) {
        tail = true;
        while (i < n && codes[i] == prev) ++i;
      }
      break;
    }
    if (bytes.size() < 2) {
      if (!bytes.empty()) ++fragments_;
      continue;
    }

    // No length field: the text ends where the tones end. Without the closing copies, up to
    // two bytes read past the end are tolerated; the shortest reading that checks wins, since a
    // text followed by its CRC checks again with a zero CRC behind it.
    const size_t total = bytes.size();
    size_t accepted = 0;
    if (tail && checks(bytes, total)) {
      accepted = total;
    } else {
      for (size_t k = std::max<size_t>(2, total - 2); k <= total; ++k) {
        if (checks(bytes, k)) {
          accepted = k;
          break;
        }
      }
    }
    // A text followed by its CRC and a byte 00 checks again one byte longer (the CRC over the
    // text and the CRC's low byte is the CRC's high byte, then 00): X, its CRC and a byte 00 are
    // also what the text X plus that low byte sounds like (its CRC ends in 00, one text in 256).
    // The ringing after the end of a transmission in a room reads as such a byte, and the last
    // byte of a text whose CRC ends in 00 may drown in it. The zero byte's level tells them
    // apart: ringing is well below the transmission's bytes, a byte sent stands with them (and
    // then only counts when the closing copies follow it). In between, nothing is reported.
    size_t shorter = 0;
    if (accepted > 2 && checks(bytes, accepted - 1)) {
      shorter = accepted - 1;
    } else if (accepted > 0 && accepted < total && checks(bytes, accepted + 1)) {
      shorter = accepted;
    }
    if (shorter > 0) {
      std::vector<float> sent(byte_levels.begin(),
                              byte_levels.begin() + static_cast<long>(shorter));
      std::nth_element(sent.begin(), sent.begin() + static_cast<long>(sent.size() / 2), sent.end());
      const float typical = sent[sent.size() / 2];
      const float zero = byte_levels[shorter];
      if (zero >= typical - kSentByteDb && tail && shorter + 1 == total) {
        accepted = shorter + 1;
      } else if (zero <= typical - kRingingByteDb) {
        accepted = shorter;
      } else {
        accepted = 0;
      }
    }
    // An empty text's CRC is FF FF: dibits 3 only, which the ringing of code 3 after a
    // transmission's end reads as well. A further reading does not report an empty text.
    if (!first_reading_ && accepted == 2) accepted = 0;
    if (accepted == 0) {
      ++rejected_;
      continue;
    }
    bytes.resize(accepted - 2);
    report(std::move(bytes));
  }
}

void ToneDecoder::report(Text text) {
  if (!first_reading_) {
    // A further reading of a stretch reports a text only as often as it read it beyond the times
    // it was reported already (so that repetitions still count).
    reading_texts_.push_back(text);
    const auto count = [&text](const std::vector<Text>& v) {
      return std::count(v.begin(), v.end(), text);
    };
    if (count(reading_texts_) <= count(stretch_texts_)) return;
    // Every further reading is one more chance for a misread transmission to check by accident
    // (one in 65536 per candidate length). The reading without stray tones forces every tone
    // into the format, the ringing after the end included: a text only it finds is reported once
    // a reading with the room taken off finds it too (or it reads the same text twice).
    const auto seen = std::find(candidates_.begin(), candidates_.end(), text);
    if (seen == candidates_.end() && !room_reading_) {
      candidates_.push_back(text);
      return;
    }
    if (seen != candidates_.end()) candidates_.erase(seen);
  }
  stretch_texts_.push_back(text);
  ++decoded_;
  if (on_text_) {
    on_text_(text);
  } else {
    queue_.push_back(std::move(text));
  }
}

}  // namespace receiver
