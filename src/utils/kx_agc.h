// Automatic gain control for 16-bit PCM, sample by sample and in place.
//
// The control measures the peak level of the signal, steers an integer gain in whole dB by the
// distance between that peak and a target level (-1 dBFS), lowers the gain slowly while the
// signal stays under a noise gate (-75 dBFS), changes the applied gain only at zero crossings and
// limits every output sample to the target level.
//
// There is one process-wide instance and no lock: open and initialise it once, then configure and
// run it from one thread only. Diagnostics go to standard output.
//
// Fixed-point conventions: levels are dB relative to a magnitude of 32768 in Q10 (1024 per dB);
// gains are whole dB; the error integrators sum Q10 dB over samples.
#ifndef UTILS_KX_AGC_H
#define UTILS_KX_AGC_H

#include <cstddef>
#include <cstdint>

typedef int16_t INT16;
typedef int32_t INT32;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint32_t BOOL;  // 0 or 1

// Initialisation request. Only `sampling_rate` (recorded and printed) and `channel_count`
// (2 selects interleaved stereo, anything else mono) are read; the gain bounds come from
// kx_agc_set_config.
typedef struct _AGC_INFO {
  int enable;
  int sampling_rate;
  int channel_count;
  int gain;
} AGC_INFO_PARAM;

// In/out descriptor of one run; input and output are the same buffer, the length is not used.
typedef struct _AGC_BITSTREAM {
  short* bitstram_buffer_in;
  short* bitstram_buffer_out;
  unsigned int bitstram_buffer_length;
} AGC_BITSTREAM;

// State of the single instance.
typedef struct _AGC_STATE {
  BOOL bStereo;         // 1 when samples are interleaved left/right pairs
  INT32 iSampleRate;    // Hz, informational
  INT16 iMaxGain;       // upper gain bound, dB
  INT16 iMinGain;       // lower gain bound, dB
  INT32 iTargetLvl;     // target peak level, Q10 dBFS
  INT32 iNgTHD;         // noise-gate threshold, Q10 dBFS
  UINT8 pk_up_thd;      // peak publication period, sample frames
  UINT8 pk_up_curL;     // countdown to the next left peak publication
  UINT8 pk_up_curR;     // same, right
  UINT8 pk_idx;         // write position 0..3 in the magnitude rings
  UINT16 peakL;         // last published left peak magnitude
  UINT16 peakL_next;    // largest left local maximum since the last publication
  UINT16 peakL_update;  // 1 while peakL awaits conversion to dB
  UINT16 peakR;
  UINT16 peakR_next;
  UINT16 peakR_update;
  INT32 iPeakLDB;  // last published left peak, Q10 dBFS
  INT32 iPeakRDB;
  INT32 iCurGainL;  // gain the controller wants, dB
  INT32 iCurGainR;
  INT32 iActiveGainL;  // gain being applied, dB
  INT32 iActiveGainR;
  INT32 AccSumL;  // error integrators
  INT32 AccSumR;
} AGC_INFO;

extern "C" {

// Marks the instance open. Always 0.
int kx_agc_open(void);
// While open: gain bounds become +agc_cfg_value / -agc_cfg_value dB (stored in 16 bits).
// While closed: prints "No Opened." and changes nothing.
void kx_agc_set_config(INT32 agc_cfg_value);
// Resets every measurement, gain and integrator, sets the defaults (bounds +-24 dB), prints them
// and opens the instance. A null request counts as an all-zero one (mono). Always 1.
int kx_agc_init(AGC_INFO_PARAM* info);
// Closes the instance; its state is kept for a later open. Always 0.
int kx_agc_deinit(void);
// Processes `sample_count_per_frame` sample frames in place (one sample each in mono, a
// left/right pair each in stereo). Returns 1, or 0 without touching the buffer when the instance
// is closed or the buffer is null.
//
// Outputs and state are bit for bit those of kx_agc_internal::kx_agc_run_reference, at about a
// tenth of its cost: the gain-and-limit step is looked up in tables that the first kx_agc_init
// computes for the target level (gains -24..24 dB, every magnitude; 3.2 MB, some 30 ms once per
// process), other gains and target levels are computed per sample; the controller advances in
// closed form between peak publications and gain steps; channels are processed one after the
// other in chunks of 256 frames.
int kx_agc_run(short* audio_frame, int sample_count_per_frame);
}

// Internals, for the gain chain and the unit tests; not part of the exported C interface.
namespace kx_agc_internal {

// log2(x / 32768) in Q11 (2048 per octave); 0 counts as 1.
INT32 log2_Q15(UINT16 x);
// The single instance.
AGC_INFO* agc_info();
// kx_agc_open has run and kx_agc_deinit has not since.
bool opened();
// Number of sample frames held by `sample_count` 16-bit samples in the current channel layout,
// at most INT32_MAX.
int frames_for_samples(size_t sample_count);

// kx_agc_run computed straightforwardly: one logarithm and one power per sample, the state
// updated in place frame by frame. Same contract and printout as kx_agc_run.
int kx_agc_run_reference(short* audio_frame, int sample_count_per_frame);

// Everything a run reads or writes besides the buffer.
struct AgcState {
  AGC_INFO info;
  UINT16 ring_l[4];  // last four left (or mono) magnitudes
  UINT16 ring_r[4];
  INT32 target_old;  // target level and threshold the limits were last computed for
  INT32 noise_old;
  INT32 target_limit;
  INT32 noise_limit;
};
AgcState save_state();
void restore_state(const AgcState& state);

// Whether kx_agc_run looks the gain step for `gain_db` up in a table at the instance's current
// target level.
bool gain_tabulated(INT32 gain_db);

}  // namespace kx_agc_internal

#endif  // UTILS_KX_AGC_H
