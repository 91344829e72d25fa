#include "receiver/tone_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
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
  const double pi = 3.14159265358979323846;
  for (int c = 0; c < kCodes; ++c) {
    const double w = 2.0 * pi * tone_hz(c) / sample_rate;
    for (int n = 0; n < window_; ++n) {
      const double hann = 0.5 - 0.5 * std::cos(2.0 * pi * (n + 0.5) / window_);
      cos_table_[static_cast<size_t>(c * window_ + n)] = static_cast<float>(hann * std::cos(w * n));
      sin_table_[static_cast<size_t>(c * window_ + n)] = static_cast<float>(hann * std::sin(w * n));
    }
  }
  samples_.assign(static_cast<size_t>(window_), 0.0f);
  // Energy of a tone of amplitude 2 through the window: quieter counts as nothing.
  energy_floor_ = static_cast<float>(window_) * static_cast<float>(window_) / 4.0f;
  floor_min_db_ = 10.0f * std::log10(energy_floor_);
  std::fill(std::begin(floor_db_), std::end(floor_db_), floor_min_db_);
  for (auto& past : history_db_) std::fill(std::begin(past), std::end(past), floor_min_db_);

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
  std::fill(std::begin(floor_db_), std::end(floor_db_), floor_min_db_);
  for (auto& past : history_db_) std::fill(std::begin(past), std::end(past), floor_min_db_);
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
    pending_ += static_cast<int>(take);
    i += take;
    if (pending_ == hop_) {
      analyse_frame();
      std::memmove(samples_.data(), samples_.data() + h, (w - h) * sizeof(float));
      pending_ = 0;
    }
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
  float rise[kCodes];
  for (int c = 0; c < kCodes; ++c) {
    float lowest = level[c];
    for (const auto& past : history_db_) lowest = std::min(lowest, past[c]);
    rise[c] = std::min(level[c] - lowest, kRiseCapDb) * kRiseWeight;
  }
  std::copy(level, level + kCodes, history_db_[history_at_]);
  history_at_ = (history_at_ + 1) % kRiseFrames;
  // What a frame keeps: each band's level and its bonus (rise, less any shortfall against the
  // band's background). The scores against the other bands are worked out from them.
  float features[kFeatures];
  for (int c = 0; c < kCodes; ++c) {
    const float shortfall = std::max(0.0f, kPresenceDb - (level[c] - floor_db_[c]));
    features[c] = level[c];
    features[kCodes + c] = rise[c] - kPresenceWeight * shortfall;
    floor_db_[c] += level[c] > floor_db_[c] ? kFloorStepDb : -4.0f * kFloorStepDb;
    floor_db_[c] = std::max(floor_db_[c], floor_min_db_);
  }
  push_scores(features);

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
  prefix_.assign(kRing * kStreams, 0.0);
  best_.assign(kRing * kStates, kUnreachable);
  best_[kSilenceState] = 0.0;
  last_separator_.assign(kRing * kStates, -1);
  back_len_.assign(kStates, 0);
  back_prev_.assign(kStates, kSilenceState);
}

void ToneDecoder::push_scores(const float* features) {
  stretch_.insert(stretch_.end(), features, features + kFeatures);
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

std::vector<int> ToneDecoder::best_codes() {
  size_t b = frames_;
  const double* last = &best_[(b % kRing) * kStates];
  int state = static_cast<int>(std::max_element(last, last + kStates) - last);
  std::vector<int> codes;
  if (last_separator_[(b % kRing) * kStates + static_cast<size_t>(state)] < 0) return codes;
  while (b > 0) {
    const size_t len = back_len_[b * kStates + static_cast<size_t>(state)];
    if (len == 0) break;
    const int code = state_code_[static_cast<size_t>(state)];
    if (state >= stray_state(0)) {
      codes.push_back(-1);
    } else if (code >= 0) {
      codes.push_back(code);
    }
    const int prev = back_prev_[b * kStates + static_cast<size_t>(state)];
    b -= len;
    state = prev;
  }
  std::reverse(codes.begin(), codes.end());
  return codes;
}

void ToneDecoder::decide(bool forced) {
  // Every frame of the stretch: for a second reading, and for the replay of its end.
  std::vector<float> frames;
  frames.swap(stretch_);
  const std::vector<int> codes = best_codes();
  stretch_texts_.clear();
  const size_t rejected_before = rejected_;
  parse(codes);
  if (rejected_ > rejected_before && std::find(codes.begin(), codes.end(), -1) != codes.end()) {
    // A transmission did not check and the best reading took some tone for a stray one: read
    // the stretch again as nothing but transmissions. The CRC still decides; only texts the
    // first reading did not report are reported.
    start_search();
    strays_allowed_ = false;
    for (size_t i = 0; i < frames.size(); i += kFeatures) push_scores(&frames[i]);
    const size_t rejected_first = rejected_;
    parse(best_codes());
    strays_allowed_ = true;
    // The second reading is the stretch's last word: only its rejections count.
    rejected_ = rejected_before + (rejected_ - rejected_first);
  }
  start_search();
  if (forced) return;
  // Re-examine the last frames: the start of a transmission may lie among them.
  const size_t keep = static_cast<size_t>(std::lround(kReplaySeconds / kFrameSeconds)) * kFeatures;
  const size_t from = frames.size() > keep ? frames.size() - keep : 0;
  for (size_t i = from; i < frames.size(); i += kFeatures) push_scores(&frames[i]);
}

void ToneDecoder::parse(const std::vector<int>& codes) {
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
    bool tail = false;
    bool broken = false;
    for (;;) {
      int value = 0;
      int prev = -1;
      int count = 0;
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
    if (bytes.size() < 2) continue;

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
    // text and the CRC's low byte is the CRC's high byte, then 00). A second reading, which takes
    // every tone for part of a transmission, may read the ringing after the end as such a byte:
    // there the two readings cannot be told apart, and neither is reported.
    if (!strays_allowed_ && accepted > 2 && checks(bytes, accepted - 1)) accepted = 0;
    if (accepted == 0) {
      ++rejected_;
      continue;
    }
    bytes.resize(accepted - 2);
    report(std::move(bytes));
  }
}

void ToneDecoder::report(Text text) {
  if (strays_allowed_) {
    stretch_texts_.push_back(text);
  } else {
    // The second reading of a stretch: a text the first reading reported is not reported again
    // (once per time it was reported, so that repetitions still count).
    const auto seen = std::find(stretch_texts_.begin(), stretch_texts_.end(), text);
    if (seen != stretch_texts_.end()) {
      stretch_texts_.erase(seen);
      return;
    }
  }
  ++decoded_;
  if (on_text_) {
    on_text_(text);
  } else {
    queue_.push_back(std::move(text));
  }
}

}  // namespace receiver
