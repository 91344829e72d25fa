#include "utils/kx_agc.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

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
// twice the distance between target and peak, within the bounds.
void control_gain(const AGC_INFO& a, Channel& c) {
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

// Applies `gain_db` to one sample and limits it to the target level.
short apply_gain(const AGC_INFO& a, short s, INT32 gain_db) {
  float act_vol = s < 0 ? -static_cast<float>(s) : static_cast<float>(s);
  float old_dB = 20.0f * log10f(act_vol / 32768.0f);  // minus infinity for 0
  float new_dB = old_dB + static_cast<float>(gain_db);
  const float ceiling = static_cast<float>(a.iTargetLvl / 1024);
  if (new_dB > ceiling) new_dB = ceiling;
  float exponent = new_dB / 20.0f;
  float gain_volume = static_cast<float>(pow(10.0, static_cast<double>(exponent)) * 32768.0);
  INT32 temp = static_cast<INT32>(gain_volume);
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
  kx_agc_open();
  return 1;
}

int kx_agc_deinit(void) {
  bAgcOpened = 0;
  return 0;
}

int kx_agc_run(short* audio_frame, int sample_count_per_frame) {
  if (!bAgcOpened) {
    printf("AGC No Opened.\r\n");
    return 0;
  }
  if (audio_frame == nullptr) return 0;
  AGC_INFO& a = AgcInfo;

  if (target_old != a.iTargetLvl || noise_old != a.iNgTHD) {
    target_limit = level_to_limit(a.iTargetLvl);
    noise_limit = level_to_limit(a.iNgTHD);
    printf("=====>agc: iTargetLvl[%d] iNgTHD[%d]\n", a.iTargetLvl, a.iNgTHD);
    printf("=====>agc: target_limit[%d] noise_limit[%d]\n", target_limit, noise_limit);
  }

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
  return 1;
}
}
