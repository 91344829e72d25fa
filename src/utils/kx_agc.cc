#include "utils/kx_agc.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

// The per-frame steps of the fast run are kept in its frame loop, where the working copies of the
// state live in registers.
#define KX_AGC_INLINE inline __attribute__((always_inline))

namespace {

// Integrator thresholds, Q10 dB summed over samples: one dB up per 50 dB*samples of shortfall,
// one down per 30 of excess; under the noise gate one up per 30, two down per 1600.
const INT32 iStepTHDDecay = 51200;
const INT32 iStepTHDAttack = 30720;
const INT32 iNGStepTHDDecay = 30720;
const INT32 iNGStepTHDAttack = 1638400;

// The controller moves only while the error lies outside this band (Q10 dB).
const INT32 kDeadZone = 350;

// Piecewise-linear log2 over ten segments of [16384, 32768): segment start, slope (Q13) and
// log2 at the start minus one (Q15).
const INT32 logtab2[10] = {16384, 18022, 19660, 21299, 22938, 24576, 26214, 27853, 29491, 31130};
const INT32 logtab1[10] = {22529, 20567, 18920, 17517, 16308, 15255, 14330, 13511, 12780, 12124};
const INT32 logtab0[10] = {-32768, -28262, -24149, -20365, -16862,
                           -13600, -10549, -7683,  -4981,  -2425};

BOOL bAgcOpened = 0;
AGC_INFO AgcInfo;
UINT16 iAudPkL[4];
UINT16 iAudPkR[4];
const BOOL bMsgDump = 1;

// Limits last computed by kx_agc_run and the target and threshold they were computed for.
INT32 target_old = 0;
INT32 noise_old = 0;
INT32 target_limit = 0;
INT32 noise_limit = 0;

// Samples are read and written bytewise so that a buffer of bytes that is not 2-byte aligned
// can be processed too.
inline short load_sample(const short* p) {
  short v;
  std::memcpy(&v, static_cast<const void*>(p), sizeof(v));
  return v;
}

inline void store_sample(short* p, short v) {
  std::memcpy(static_cast<void*>(p), &v, sizeof(v));
}

// The integrator saturates instead of wrapping: a signal that holds the error inside the dead
// zone keeps adding to it for as long as it lasts.
inline INT32 accumulate(INT32 acc, INT32 dist) {
  int64_t sum = static_cast<int64_t>(acc) + dist;
  if (sum > std::numeric_limits<INT32>::max()) return std::numeric_limits<INT32>::max();
  if (sum < std::numeric_limits<INT32>::min()) return std::numeric_limits<INT32>::min();
  return static_cast<INT32>(sum);
}

// Limit of a level in Q10 dBFS as a linear magnitude.
INT32 level_to_limit(INT32 level_q10) {
  float limit_f = static_cast<float>(static_cast<double>(level_q10 / 1024) / 20.0 + log10(32768.0));
  return static_cast<INT32>(pow(10.0, static_cast<double>(limit_f)));
}

// One channel of the peak detector. The oldest of the last four magnitudes is a candidate when
// the two after it fall and the newest is below it; candidates are published at most once per
// `pk_up_thd` frames.
void detect_channel(short sample, UINT8& countdown, UINT16* ring, UINT16& next, UINT16& peak,
                    UINT16& update, UINT8 idx0, UINT8 idx1, UINT8 idx2, UINT8 idx3) {
  if (countdown != 0) countdown--;
  int magnitude = sample > 0 ? sample : -static_cast<int>(sample);
  ring[idx3] = static_cast<UINT16>(magnitude);
  if (ring[idx0] > next && ring[idx0] > ring[idx1] && ring[idx1] > ring[idx2] &&
      ring[idx0] > ring[idx3]) {
    next = ring[idx0];
  }
  if (countdown == 0 && next != 0) {
    peak = next;
    next = 0;
    countdown = AgcInfo.pk_up_thd;
    update = 1;
  }
}

void agc_detect_peak(short* uiAddr) {
  AGC_INFO& a = AgcInfo;
  UINT8 idx0 = static_cast<UINT8>((a.pk_idx + 1) % 4);
  UINT8 idx1 = static_cast<UINT8>((a.pk_idx + 2) % 4);
  UINT8 idx2 = static_cast<UINT8>((a.pk_idx + 3) % 4);
  UINT8 idx3 = a.pk_idx;
  detect_channel(load_sample(uiAddr), a.pk_up_curL, iAudPkL, a.peakL_next, a.peakL, a.peakL_update,
                 idx0, idx1, idx2, idx3);
  if (a.bStereo) {
    detect_channel(load_sample(uiAddr + 1), a.pk_up_curR, iAudPkR, a.peakR_next, a.peakR,
                   a.peakR_update, idx0, idx1, idx2, idx3);
  }
  a.pk_idx = static_cast<UINT8>((a.pk_idx + 1) % 4);
}

// Per-channel fields of the instance.
struct Channel {
  UINT16& peak;
  UINT16& update;
  INT32& peak_db;
  INT32& cur_gain;
  INT32& acc_sum;
  INT32& active_gain;
};

// Integer controller: the gain enters the error at half weight (512 per dB), so it settles at
// twice the distance between target and peak, within the bounds. `C` has the fields `peak_db`,
// `cur_gain` and `acc_sum`: the instance's own (Channel) or a working copy (Lane).
template <class C>
KX_AGC_INLINE void control_gain(const AGC_INFO& a, C& c) {
  if (c.peak_db > a.iNgTHD) {
    INT32 dist = a.iTargetLvl - c.peak_db - c.cur_gain * 512;
    c.acc_sum = accumulate(c.acc_sum, dist);
    if (dist > kDeadZone) {
      if (c.acc_sum > iStepTHDDecay) {
        c.cur_gain += 1;
        c.acc_sum -= iStepTHDDecay;
      }
      if (c.cur_gain > a.iMaxGain) c.cur_gain = a.iMaxGain;
    } else if (dist < -kDeadZone) {
      if (c.acc_sum < -iStepTHDAttack) {
        c.cur_gain -= 1;
        c.acc_sum += iStepTHDAttack;
      }
      if (c.cur_gain < a.iMinGain) c.cur_gain = a.iMinGain;
    }
  } else {
    // At or under the noise gate the gain follows the distance to the gate instead.
    INT32 dist = c.peak_db - a.iNgTHD - c.cur_gain * 512;
    c.acc_sum = accumulate(c.acc_sum, dist);
    if (dist > kDeadZone) {
      if (c.acc_sum > iNGStepTHDDecay) {
        c.cur_gain += 1;
        c.acc_sum -= iNGStepTHDDecay;
      }
      if (c.cur_gain > a.iMaxGain) c.cur_gain = a.iMaxGain;
    } else if (dist < -kDeadZone) {
      if (c.acc_sum < -iNGStepTHDAttack) {
        c.cur_gain -= 2;
        c.acc_sum += iNGStepTHDAttack;
      }
      if (c.cur_gain < a.iMinGain) c.cur_gain = a.iMinGain;
    }
  }
}

// Level of a magnitude (0..32768 as float) in dBFS, single precision; minus infinity for 0.
float magnitude_db(float act_vol) {
  return 20.0f * log10f(act_vol / 32768.0f);
}

// Magnitude, before the sign and the limit, of a sample at `old_dB` raised by `gain_db` and held
// at or under `ceiling` dBFS.
INT32 raised_magnitude(float old_dB, INT32 gain_db, float ceiling) {
  float new_dB = old_dB + static_cast<float>(gain_db);
  if (new_dB > ceiling) new_dB = ceiling;
  float exponent = new_dB / 20.0f;
  float gain_volume = static_cast<float>(pow(10.0, static_cast<double>(exponent)) * 32768.0);
  return static_cast<INT32>(gain_volume);
}

// The ceiling of the gain step: the target level in whole dB.
float target_ceiling(const AGC_INFO& a) {
  return static_cast<float>(a.iTargetLvl / 1024);
}

// Applies `gain_db` to one sample and limits it to the target level.
short apply_gain(const AGC_INFO& a, short s, INT32 gain_db) {
  float act_vol = s < 0 ? -static_cast<float>(s) : static_cast<float>(s);
  INT32 temp = raised_magnitude(magnitude_db(act_vol), gain_db, target_ceiling(a));
  if (s < 0) temp = -temp;
  if (temp > target_limit) temp = target_limit;
  if (temp < -target_limit) temp = -target_limit;
  return static_cast<short>(temp);
}

// Steps 2 to 5 of one frame for one channel; `pos` is the sample's index in the buffer and
// `stride` the distance to the same channel's sample of the previous frame.
void process_sample(const AGC_INFO& a, Channel c, const AGC_BITSTREAM& bs, ptrdiff_t idx,
                    ptrdiff_t pos, ptrdiff_t stride) {
  if (c.update) {
    c.peak_db = (kx_agc_internal::log2_Q15(c.peak) * 301) / 100;
    c.update = 0;
  }
  control_gain(a, c);
  short s = load_sample(bs.bitstram_buffer_in + pos);
  // The previous frame's sample has already been rewritten; the first frame of a call is
  // never compared with the previous call.
  if (idx > 0) {
    short prev = load_sample(bs.bitstram_buffer_out + pos - stride);
    if ((s < 0) != (prev < 0)) c.active_gain = c.cur_gain;
  }
  store_sample(bs.bitstram_buffer_out + pos, apply_gain(a, s, c.active_gain));
}

// The straightforward run: every step on the instance itself, one logarithm and one power per
// sample.
void run_frames_reference(short* audio_frame, int sample_count_per_frame) {
  AGC_INFO& a = AgcInfo;
  AGC_BITSTREAM bs = {audio_frame, audio_frame, 0};
  Channel left = {a.peakL, a.peakL_update, a.iPeakLDB, a.iCurGainL, a.AccSumL, a.iActiveGainL};
  Channel right = {a.peakR, a.peakR_update, a.iPeakRDB, a.iCurGainR, a.AccSumR, a.iActiveGainR};
  const ptrdiff_t stride = a.bStereo ? 2 : 1;
  for (ptrdiff_t idx = 0; idx < sample_count_per_frame; ++idx) {
    const ptrdiff_t pos = idx * stride;
    agc_detect_peak(bs.bitstram_buffer_in + pos);
    process_sample(a, left, bs, idx, pos, stride);
    if (a.bStereo) process_sample(a, right, bs, idx, pos + 1, stride);
    target_old = a.iTargetLvl;
    noise_old = a.iNgTHD;
  }
}

// Gain tables: for every tabulated gain and every magnitude 0..32768, the limited magnitude that
// apply_gain produces, computed with the same functions. They depend only on the target level
// (its whole dB and the limit derived from it), so they are computed once per target level.
const INT32 kTableMinGain = -24;
const INT32 kTableMaxGain = 24;
const size_t kTableGains = static_cast<size_t>(kTableMaxGain - kTableMinGain + 1);
const size_t kMagnitudes = 32769;

// One tabulated gain: min(raised magnitude, limit) for every magnitude 0..32768.
struct GainRow {
  const UINT16* values;  // null: not tabulated
};

struct GainTables {
  bool ready = false;
  INT32 ceiling_db = 0;              // iTargetLvl / 1024 they were computed for
  INT32 limit = 0;                   // target_limit they were computed for
  std::unique_ptr<UINT16[]> values;  // [gain - kTableMinGain][magnitude]
  GainRow rows[kTableGains] = {};
};
GainTables gain_tables;

// Computes the tables for `target_lvl` unless they are already there. Targets above 0 dBFS are
// not tabulated (their magnitudes could exceed 16 bits); those runs compute every sample.
void prepare_gain_tables(INT32 target_lvl) {
  GainTables& t = gain_tables;
  const INT32 ceiling_db = target_lvl / 1024;
  if (ceiling_db > 0) return;
  const INT32 limit = level_to_limit(target_lvl);
  if (t.ready && t.ceiling_db == ceiling_db && t.limit == limit) return;
  t.ready = false;
  if (!t.values) t.values.reset(new (std::nothrow) UINT16[kTableGains * kMagnitudes]);
  if (!t.values) return;
  std::vector<float> old_db(kMagnitudes);
  for (size_t m = 0; m < kMagnitudes; ++m) old_db[m] = magnitude_db(static_cast<float>(m));
  const float ceiling = static_cast<float>(ceiling_db);
  for (size_t g = 0; g < kTableGains; ++g) {
    const INT32 gain = kTableMinGain + static_cast<INT32>(g);
    UINT16* row = &t.values[g * kMagnitudes];
    for (size_t m = 0; m < kMagnitudes; ++m) {
      // Non-negative and at most 32768 for a ceiling at or under 0 dB, as is the limit.
      INT32 v = raised_magnitude(old_db[m], gain, ceiling);
      row[m] = static_cast<UINT16>(v < limit ? v : limit);
    }
    t.rows[g].values = row;
  }
  t.ceiling_db = ceiling_db;
  t.limit = limit;
  t.ready = true;
}

// The rows for the current target level and limit, or null.
const GainRow* usable_gain_rows(const AGC_INFO& a) {
  const GainTables& t = gain_tables;
  if (!t.ready || t.ceiling_db != a.iTargetLvl / 1024 || t.limit != target_limit) return nullptr;
  return t.rows;
}

// The row of `gain_db`; its values are null when it is not tabulated.
KX_AGC_INLINE GainRow gain_row(const GainRow* rows, INT32 gain_db) {
  const UINT32 index = static_cast<UINT32>(gain_db) - static_cast<UINT32>(kTableMinGain);
  if (rows == nullptr || index >= kTableGains) return GainRow{nullptr};
  return rows[index];
}

// Controller shortcut for one peak level and gain. While lo <= sum <= hi a frame adds `dist` to
// the integrator without saturating it and either leaves the gain alone or steps it against the
// bound it sits on, which only subtracts `down_above` from a sum above it or `up_below` from a
// sum below it (both are the step threshold, negated for the latter).
struct Plan {
  INT32 dist;
  INT32 lo;
  INT32 hi;
  INT32 down_above;
  INT32 up_below;
};

// The shortcut for `peak_db` and `cur_gain` (see control_gain).
Plan plan_control(const AGC_INFO& a, INT32 peak_db, INT32 cur_gain) {
  const INT32 kMin = std::numeric_limits<INT32>::min();
  const INT32 kMax = std::numeric_limits<INT32>::max();
  const bool above = peak_db > a.iNgTHD;
  const INT32 dist =
      above ? a.iTargetLvl - peak_db - cur_gain * 512 : peak_db - a.iNgTHD - cur_gain * 512;
  // An empty range sends every frame to control_gain.
  Plan plan = {dist, kMax, kMin, kMax, kMin};
  if (dist > kDeadZone) {
    const INT32 step = above ? iStepTHDDecay : iNGStepTHDDecay;
    if (cur_gain == a.iMaxGain) {
      // A step up is clamped straight back: only the sum moves.
      plan.lo = kMin;
      plan.hi = kMax - dist;
      plan.down_above = step;
    } else if (cur_gain < a.iMaxGain) {
      // Until the sum passes the threshold nothing but the sum moves.
      plan.lo = kMin;
      plan.hi = step - dist;
    }
  } else if (dist < -kDeadZone) {
    const INT32 step = above ? iStepTHDAttack : iNGStepTHDAttack;
    if (cur_gain == a.iMinGain) {
      plan.lo = kMin - dist;
      plan.hi = kMax;
      plan.up_below = -step;
    } else if (cur_gain > a.iMinGain) {
      plan.lo = -step - dist;
      plan.hi = kMax;
    }
  } else {
    // Dead zone: only the saturation of the sum needs the full step.
    plan.lo = dist < 0 ? kMin - dist : kMin;
    plan.hi = dist > 0 ? kMax - dist : kMax;
  }
  return plan;
}

// Working copy of the measuring part of one channel for the fast run: peak detector, magnitude
// ring and controller, held in locals and written back once per call.
struct Meter {
  UINT16 back3;  // magnitude three frames back: the candidate of the next frame
  UINT16 back2;
  UINT16 back1;  // previous frame
  UINT8 countdown;
  UINT16 next;
  UINT16 peak;
  INT32 peak_db;
  INT32 cur_gain;
  INT32 acc_sum;
  Plan plan;  // for peak_db and cur_gain
};

// The controller's gain over a chunk of frames, as runs of equal gain.
struct Runs {
  static const ptrdiff_t kMax = 256;  // frames per chunk, so at most as many runs
  ptrdiff_t end[kMax];                // one past the run's last frame
  INT32 gain[kMax];
  ptrdiff_t count = 0;

  void add(ptrdiff_t to, INT32 g) {
    if (count > 0 && gain[count - 1] == g) {
      end[count - 1] = to;
    } else {
      end[count] = to;
      gain[count] = g;
      count++;
    }
  }
};

// Working copy of the output part of one channel: the applied gain and its table row.
struct Output {
  INT32 active_gain;
  GainRow row;         // of active_gain
  bool prev_negative;  // sign of the previous frame's rewritten sample
};

KX_AGC_INLINE UINT16 magnitude_of(short s) {
  return static_cast<UINT16>(s > 0 ? s : -static_cast<int>(s));
}

// Frames of a gain sitting on its upper bound (see Plan): each adds `d` (> 0) to the sum `a` and
// takes `s` off a result above `s`; a frame may start only at a sum of at most `hi`. Advances
// `a` by as many of at most `frames` frames as one closed form covers and returns that number.
int64_t sawtooth(int64_t& a, int64_t d, int64_t s, int64_t hi, int64_t frames) {
  if (d <= s && a <= s) {
    // Under the threshold for good: every frame adds d, every wrap takes s.
    const int64_t x = a + frames * d;
    a = x <= s ? x : (x - 1) % s + 1;
    return frames;
  }
  int64_t jump;
  int64_t slope;
  if (a + d <= s) {
    jump = (s - a) / d;  // frames up to the threshold without a wrap
    slope = d;
  } else if (d >= s) {
    // A wrap every frame, and the sum keeps rising (or stands) towards hi.
    slope = d - s;
    jump = slope == 0 ? frames : (hi - a) / slope + 1;
  } else {
    // Above the threshold: a wrap every frame until the sum is back to s - d or below.
    slope = d - s;
    jump = (a - (s - d) - 1) / (s - d) + 1;
  }
  if (jump > frames) jump = frames;
  a += jump * slope;
  return jump;
}

// The fast run of one channel. `ring` and the references are the channel's fields of the
// instance; `samples` points at its first sample, `stride` apart.
class LaneRun {
 public:
  LaneRun(const AGC_INFO& a, const GainRow* rows, UINT16* ring, UINT8& countdown, UINT16& next,
          UINT16& peak, UINT16& update, INT32& peak_db, INT32& cur_gain, INT32& acc_sum,
          INT32& active_gain)
      : a_(a),
        rows_(rows),
        ring_(ring),
        countdown_(countdown),
        next_(next),
        peak_(peak),
        update_(update),
        peak_db_(peak_db),
        cur_gain_(cur_gain),
        acc_sum_(acc_sum),
        active_gain_(active_gain) {}

  void run(short* samples, ptrdiff_t stride, int frames) {
    const UINT8 p0 = a_.pk_idx;
    // The slot that the next frame after the run overwrites: frame `frames` - 4, or for short
    // runs what the ring already had there.
    const UINT16 back4 = frames >= 4 ? magnitude_of(load_sample(samples + (frames - 4) * stride))
                                     : ring_[(p0 + static_cast<unsigned>(frames)) % 4];
    Meter m;
    m.back3 = ring_[(p0 + 1) % 4];
    m.back2 = ring_[(p0 + 2) % 4];
    m.back1 = ring_[(p0 + 3) % 4];
    m.countdown = countdown_;
    m.next = next_;
    m.peak = peak_;
    // A peak awaiting conversion is converted in the first frame, after its detector: unless
    // that publishes a newer one (converted there), the first frame sees this conversion.
    m.peak_db = update_ ? (kx_agc_internal::log2_Q15(peak_) * 301) / 100 : peak_db_;
    m.cur_gain = cur_gain_;
    m.acc_sum = acc_sum_;
    m.plan = plan_control(a_, m.peak_db, m.cur_gain);
    Output o;
    o.active_gain = active_gain_;
    o.row = gain_row(rows_, active_gain_);
    // The first frame is never a crossing: compare it with itself.
    o.prev_negative = load_sample(samples) < 0;

    // Chunk by chunk: magnitudes and peak candidates, then detector and controller, then the
    // rewritten samples.
    UINT16 mags[Runs::kMax + 3];
    UINT16 candidates[Runs::kMax];
    UINT16 block_max[Runs::kMax / kBlock];
    Runs runs;
    for (ptrdiff_t done = 0; done < frames;) {
      const ptrdiff_t n = frames - done < Runs::kMax ? frames - done : Runs::kMax;
      short* chunk = samples + done * stride;
      if (stride == 1) {
        scan<1>(m, chunk, n, mags, candidates, block_max);
      } else {
        scan<2>(m, chunk, n, mags, candidates, block_max);
      }
      runs.count = 0;
      measure(m, candidates, block_max, n, runs);
      output(o, chunk, stride, mags + 3, runs);
      m.back3 = mags[n];
      m.back2 = mags[n + 1];
      m.back1 = mags[n + 2];
      done += n;
    }

    const UINT8 p1 = static_cast<UINT8>((p0 + static_cast<unsigned>(frames) % 4u) % 4u);
    ring_[p1 % 4] = back4;
    ring_[(p1 + 1) % 4] = m.back3;
    ring_[(p1 + 2) % 4] = m.back2;
    ring_[(p1 + 3) % 4] = m.back1;
    countdown_ = m.countdown;
    next_ = m.next;
    peak_ = m.peak;
    update_ = 0;
    peak_db_ = m.peak_db;
    cur_gain_ = m.cur_gain;
    acc_sum_ = m.acc_sum;
    active_gain_ = o.active_gain;
  }

 private:
  static const ptrdiff_t kBlock = 16;  // frames per largest candidate kept by scan

  // Magnitudes of `n` frames into `mags` after the three frames before them, each frame's peak
  // candidate and the largest candidate of every kBlock frames. A candidate is the magnitude
  // three frames back when the two after it fall and the frame's own is below it, else 0 (see
  // detect_channel; whether it beats the pending peak is left to the detector). The pattern is
  // irregular and must not become branches: a > b is taken as the sign bit of b - a, and each
  // "falls" is found once and kept for the next two frames.
  template <ptrdiff_t kStride>
  static void scan(const Meter& m, const short* in, ptrdiff_t n, UINT16* mags, UINT16* candidates,
                   UINT16* block_max) {
    INT32 oldest = m.back3;
    INT32 b2 = m.back2;
    INT32 b1 = m.back1;
    UINT32 fell2 = static_cast<UINT32>(b2 - oldest) >> 31;  // oldest > b2
    UINT32 fell1 = static_cast<UINT32>(b1 - b2) >> 31;      // b2 > b1
    mags[0] = m.back3;
    mags[1] = m.back2;
    mags[2] = m.back1;
    for (ptrdiff_t start = 0; start < n; start += kBlock) {
      const ptrdiff_t end = n - start < kBlock ? n : start + kBlock;
      UINT32 largest = 0;
      for (ptrdiff_t i = start; i < end; ++i) {
        const INT32 now = magnitude_of(load_sample(in + i * kStride));
        mags[i + 3] = static_cast<UINT16>(now);
        const UINT32 fell0 = static_cast<UINT32>(now - b1) >> 31;  // b1 > now
        const UINT32 above = static_cast<UINT32>(now - oldest) >> 31;
        const UINT32 candidate = static_cast<UINT32>(oldest) & (0u - (fell2 & fell1 & above));
        candidates[i] = static_cast<UINT16>(candidate);
        largest = candidate > largest ? candidate : largest;
        oldest = b2;
        b2 = b1;
        b1 = now;
        fell2 = fell1;
        fell1 = fell0;
      }
      block_max[start / kBlock] = static_cast<UINT16>(largest);
    }
  }

  // The largest candidate of frames [from, to), 0 for none.
  static UINT16 largest_candidate(const UINT16* candidates, const UINT16* block_max, ptrdiff_t from,
                                  ptrdiff_t to) {
    UINT16 largest = 0;
    ptrdiff_t i = from;
    for (; i < to && i % kBlock != 0; ++i)
      largest = candidates[i] > largest ? candidates[i] : largest;
    for (; i + kBlock <= to; i += kBlock) {
      largest = block_max[i / kBlock] > largest ? block_max[i / kBlock] : largest;
    }
    for (; i < to; ++i) largest = candidates[i] > largest ? candidates[i] : largest;
    return largest;
  }

  // Peak detector and controller for `n` frames; `runs` receives the gain after each frame's
  // controller step. Between two publications the peak level is constant, and so is the
  // controller's input: the detector finds the next publication, the controller runs up to it
  // in closed form.
  void measure(Meter& m, const UINT16* candidates, const UINT16* block_max, ptrdiff_t n,
               Runs& runs) const {
    ptrdiff_t control_from = 0;  // first frame whose controller step is due
    ptrdiff_t detect_from = 0;   // first frame whose detector step is due
    while (control_from < n) {
      const ptrdiff_t published = detect(m, candidates, block_max, detect_from, n);
      control(m, control_from, published, runs);
      if (published == n) break;
      m.peak_db = (kx_agc_internal::log2_Q15(m.peak) * 301) / 100;
      m.plan = plan_control(a_, m.peak_db, m.cur_gain);
      control_from = published;
      detect_from = published + 1;
    }
  }

  // The peak detector (see detect_channel) from frame `from` up to and including the first
  // frame of [from, n) that publishes a peak; returns that frame, or n.
  ptrdiff_t detect(Meter& m, const UINT16* candidates, const UINT16* block_max, ptrdiff_t from,
                   ptrdiff_t n) const {
    // The countdown reaches 0 in frame `zero` and stays there; no frame before it publishes.
    const ptrdiff_t zero = m.countdown == 0 ? from : from + m.countdown - 1;
    UINT16 next = m.next;
    if (zero >= n) {
      const UINT16 largest = largest_candidate(candidates, block_max, from, n);
      m.next = largest > next ? largest : next;
      m.countdown = static_cast<UINT8>(m.countdown - (n - from));
      return n;
    }
    const UINT16 largest = largest_candidate(candidates, block_max, from, zero + 1);
    next = largest > next ? largest : next;
    ptrdiff_t published = zero;
    // From then on the first candidate is published (next is 0 until one comes).
    while (next == 0 && ++published < n) next = candidates[published];
    m.countdown = 0;
    m.next = next;
    if (published == n) return n;
    m.peak = next;
    m.next = 0;
    m.countdown = a_.pk_up_thd;
    return published;
  }

  // The controller (see control_gain) for frames [from, to) at the current peak level; `runs`
  // receives the gain after each frame's step.
  void control(Meter& m, ptrdiff_t from, ptrdiff_t to, Runs& runs) const {
    const INT32 kMin = std::numeric_limits<INT32>::min();
    const INT32 kMax = std::numeric_limits<INT32>::max();
    ptrdiff_t i = from;
    while (i < to) {
      const Plan& p = m.plan;
      if (m.acc_sum < p.lo || m.acc_sum > p.hi) {
        const INT32 gain = m.cur_gain;
        const INT32 acc = m.acc_sum;
        control_gain(a_, m);
        if (m.cur_gain == gain && m.acc_sum == acc) {
          // A fixed point (a saturated sum stepped against a bound): so are all further frames.
          i = to;
        } else {
          m.plan = plan_control(a_, m.peak_db, m.cur_gain);
          ++i;
        }
        runs.add(i, m.cur_gain);
        continue;
      }
      // Frames that only move the sum: as many at once as the plan allows.
      const int64_t frames = to - i;
      int64_t jump;
      int64_t acc = m.acc_sum;
      if (p.down_above != kMax) {
        jump = sawtooth(acc, p.dist, p.down_above, p.hi, frames);
      } else if (p.up_below != kMin) {
        // The lower bound mirrors the upper one.
        acc = -acc;
        jump = sawtooth(acc, -static_cast<int64_t>(p.dist), -static_cast<int64_t>(p.up_below),
                        -static_cast<int64_t>(p.lo), frames);
        acc = -acc;
      } else {
        // Straight towards lo or hi (or standing still): every frame until the sum would leave
        // the range.
        if (p.dist > 0) {
          jump = (static_cast<int64_t>(p.hi) - acc) / p.dist + 1;
        } else if (p.dist < 0) {
          jump = (acc - p.lo) / -static_cast<int64_t>(p.dist) + 1;
        } else {
          jump = frames;
        }
        if (jump > frames) jump = frames;
        acc += jump * p.dist;
      }
      m.acc_sum = static_cast<INT32>(acc);
      i += static_cast<ptrdiff_t>(jump);
      runs.add(i, m.cur_gain);
    }
  }

  // Zero crossings and the gain step (see process_sample) for the frames of `runs`, whose
  // magnitudes are in `mags`. A crossing matters only while the wanted gain is not the one
  // applied; until then (usually the whole run) frames are just looked up.
  void output(Output& state, short* buf, ptrdiff_t stride, const UINT16* mags,
              const Runs& runs) const {
    Output o = state;  // a local copy stays in registers
    ptrdiff_t i = 0;
    for (ptrdiff_t r = 0; r < runs.count; ++r) {
      const ptrdiff_t end = runs.end[r];
      const INT32 wanted = runs.gain[r];
      if (wanted != o.active_gain) {
        // Frame by frame up to the first crossing, which takes the wanted gain.
        for (; i < end; ++i) {
          short* p = buf + i * stride;
          const short s = load_sample(p);
          if ((s < 0) != o.prev_negative) {
            o.active_gain = wanted;
            o.row = gain_row(rows_, wanted);
            break;
          }
          const short out = rewrite(o, s, mags[i]);
          store_sample(p, out);
          o.prev_negative = out < 0;
        }
      }
      if (i == end) continue;
      // The rest of the run at the applied gain: crossings change nothing.
      short out = 0;
      if (o.row.values != nullptr) {
        const UINT16* row = o.row.values;
        for (; i < end; ++i) {
          short* p = buf + i * stride;
          // The table holds min(raised magnitude, limit); the sign is put back as apply_gain
          // does, without a branch (signs are irregular).
          const INT32 sign = -static_cast<INT32>(load_sample(p) < 0);  // all ones or 0
          out = static_cast<short>((row[mags[i]] ^ sign) - sign);
          store_sample(p, out);
        }
      } else {
        for (; i < end; ++i) {
          short* p = buf + i * stride;
          out = apply_gain(a_, load_sample(p), o.active_gain);
          store_sample(p, out);
        }
      }
      o.prev_negative = out < 0;
    }
    state = o;
  }

  // One sample at the applied gain.
  KX_AGC_INLINE short rewrite(const Output& o, short s, UINT16 magnitude) const {
    if (o.row.values == nullptr) return apply_gain(a_, s, o.active_gain);
    const INT32 sign = -static_cast<INT32>(s < 0);  // all ones or 0
    return static_cast<short>((o.row.values[magnitude] ^ sign) - sign);
  }

  const AGC_INFO& a_;
  const GainRow* rows_;
  UINT16* ring_;
  UINT8& countdown_;
  UINT16& next_;
  UINT16& peak_;
  UINT16& update_;
  INT32& peak_db_;
  INT32& cur_gain_;
  INT32& acc_sum_;
  INT32& active_gain_;
};

// The fast run: the same steps, channel by channel (they share nothing but the ring position and
// the configuration), with the gain step looked up in the tables whenever the applied gain is
// tabulated for the current target level.
void run_frames_fast(short* audio_frame, int frames) {
  AGC_INFO& a = AgcInfo;
  const AGC_INFO cfg = a;  // bounds, levels and period do not change during a run
  const GainRow* rows = usable_gain_rows(cfg);
  const ptrdiff_t stride = cfg.bStereo ? 2 : 1;
  LaneRun(cfg, rows, iAudPkL, a.pk_up_curL, a.peakL_next, a.peakL, a.peakL_update, a.iPeakLDB,
          a.iCurGainL, a.AccSumL, a.iActiveGainL)
      .run(audio_frame, stride, frames);
  if (cfg.bStereo) {
    LaneRun(cfg, rows, iAudPkR, a.pk_up_curR, a.peakR_next, a.peakR, a.peakR_update, a.iPeakRDB,
            a.iCurGainR, a.AccSumR, a.iActiveGainR)
        .run(audio_frame + 1, stride, frames);
  }
  a.pk_idx = static_cast<UINT8>((cfg.pk_idx + static_cast<unsigned>(frames) % 4u) % 4u);
  target_old = a.iTargetLvl;
  noise_old = a.iNgTHD;
}

// The checks and the limit refresh that precede the frames of a run; false when the run returns
// 0 without touching the buffer.
bool begin_run(const short* audio_frame) {
  if (!bAgcOpened) {
    printf("AGC No Opened.\r\n");
    return false;
  }
  if (audio_frame == nullptr) return false;
  const AGC_INFO& a = AgcInfo;
  if (target_old != a.iTargetLvl || noise_old != a.iNgTHD) {
    target_limit = level_to_limit(a.iTargetLvl);
    noise_limit = level_to_limit(a.iNgTHD);
    printf("=====>agc: iTargetLvl[%d] iNgTHD[%d]\n", a.iTargetLvl, a.iNgTHD);
    printf("=====>agc: target_limit[%d] noise_limit[%d]\n", target_limit, noise_limit);
  }
  return true;
}

}  // namespace

namespace kx_agc_internal {

INT32 log2_Q15(UINT16 x_in) {
  INT32 x = x_in;
  INT32 point = 0;
  while (x < 16384) {
    if (x == 0) x = 1;
    point++;
    x <<= 1;
  }
  INT32 index = ((x - 16384) * 20) >> 15;
  INT32 y = 0;  // x == 32768 is exactly one octave up: log2 0
  if (index < 10) {
    INT32 dx = x - logtab2[index];
    INT32 dy = (dx * logtab1[index]) >> 13;
    y = (dy + logtab0[index]) >> 4;
  }
  INT32 point1 = -2048 * point;
  return y + point1;
}

AGC_INFO* agc_info() {
  return &AgcInfo;
}

int frames_for_samples(size_t sample_count) {
  size_t frames = AgcInfo.bStereo ? sample_count / 2 : sample_count;
  const size_t max = static_cast<size_t>(std::numeric_limits<int>::max());
  return static_cast<int>(frames < max ? frames : max);
}

int kx_agc_run_reference(short* audio_frame, int sample_count_per_frame) {
  if (!begin_run(audio_frame)) return 0;
  run_frames_reference(audio_frame, sample_count_per_frame);
  return 1;
}

AgcState save_state() {
  AgcState s;
  s.info = AgcInfo;
  std::memcpy(s.ring_l, iAudPkL, sizeof(s.ring_l));
  std::memcpy(s.ring_r, iAudPkR, sizeof(s.ring_r));
  s.target_old = target_old;
  s.noise_old = noise_old;
  s.target_limit = target_limit;
  s.noise_limit = noise_limit;
  return s;
}

void restore_state(const AgcState& s) {
  AgcInfo = s.info;
  std::memcpy(iAudPkL, s.ring_l, sizeof(iAudPkL));
  std::memcpy(iAudPkR, s.ring_r, sizeof(iAudPkR));
  target_old = s.target_old;
  noise_old = s.noise_old;
  target_limit = s.target_limit;
  noise_limit = s.noise_limit;
}

bool opened() {
  return bAgcOpened != 0;
}

bool gain_tabulated(INT32 gain_db) {
  const GainTables& t = gain_tables;
  const AGC_INFO& a = AgcInfo;
  return t.ready && t.ceiling_db == a.iTargetLvl / 1024 &&
         t.limit == level_to_limit(a.iTargetLvl) && gain_row(t.rows, gain_db).values != nullptr;
}

}  // namespace kx_agc_internal

extern "C" {

int kx_agc_open(void) {
  if (bAgcOpened == 0) bAgcOpened = 1;
  return 0;
}

void kx_agc_set_config(INT32 agc_cfg_value) {
  if (!bAgcOpened) {
    printf("No Opened.\r\n");
    return;
  }
  AgcInfo.iMaxGain = static_cast<INT16>(agc_cfg_value);
  // Negated in unsigned arithmetic: the most negative value has no positive counterpart.
  AgcInfo.iMinGain = static_cast<INT16>(0u - static_cast<UINT32>(agc_cfg_value));
}

int kx_agc_init(AGC_INFO_PARAM* info) {
  AGC_INFO_PARAM request = {};
  if (info != nullptr) request = *info;

  std::memset(iAudPkL, 0, sizeof(iAudPkL));
  std::memset(iAudPkR, 0, sizeof(iAudPkR));
  std::memset(&AgcInfo, 0, sizeof(AgcInfo));
  AGC_INFO& a = AgcInfo;
  a.iTargetLvl = -1024;  // -1 dBFS
  a.pk_up_thd = 96;
  a.iMaxGain = 24;
  a.iMinGain = -24;
  a.iNgTHD = -76800;  // -75 dBFS
  a.bStereo = request.channel_count == 2 ? 1 : 0;
  a.iSampleRate = request.sampling_rate;

  if (bMsgDump) {
    printf("[AGC] CH= %d       \tSR= %d Hz\r\n", static_cast<int>(a.bStereo + 1), a.iSampleRate);
    printf("[AGC] target= %d DB \tNG-THD= %d DB\r\n", a.iTargetLvl >> 10, a.iNgTHD >> 10);
    printf("[AGC] MaxG= %d DB\tMinG= %d DB\r\n", a.iMaxGain, a.iMinGain);
    printf("[AGC] PEAKDET-THD= %d samples \r\n", a.pk_up_thd);
    printf("[AGC] DECAY= %d DB\tATTACK= %d DB\r\n", iStepTHDDecay >> 10, iStepTHDAttack >> 10);
    printf("[AGC] NG-DECAY= %d DB\tNG-ATTACK= %d DB\r\n", iNGStepTHDDecay >> 10,
           iNGStepTHDAttack >> 10);
  }
  prepare_gain_tables(a.iTargetLvl);
  kx_agc_open();
  return 1;
}

int kx_agc_deinit(void) {
  bAgcOpened = 0;
  return 0;
}

int kx_agc_run(short* audio_frame, int sample_count_per_frame) {
  if (!begin_run(audio_frame)) return 0;
  if (sample_count_per_frame > 0) run_frames_fast(audio_frame, sample_count_per_frame);
  return 1;
}
}
