// Internal to the virtual device: the signal processing of its acoustic echo path (format
// conversion of what was played, the room's impulse response, the microphone's noise floor).
// Not for library code.
#ifndef OHAUDIO_ECHO_DSP_H
#define OHAUDIO_ECHO_DSP_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

struct SpeexResamplerState_;

namespace ohaudio_impl {

// Floor of a / b for b > 0, also for negative a.
inline int64_t floor_div(int64_t a, int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// Streaming FIR filter by uniformly partitioned overlap-save FFT convolution. It has no latency:
// every call returns as many outputs as it is given inputs, out[i] = sum_k ir[k] x[t + i - k]
// over everything given since the last reset, whatever the call sizes (a partly filled block is
// evaluated with the missing inputs taken as zero and evaluated again when it fills). Cost per
// second of audio is about that of two FFTs of 2 x block plus ir.size() / block spectrum
// products per block; block grows with the response (64 .. 2048 taps).
class Convolver {
 public:
  explicit Convolver(const std::vector<float>& ir);
  ~Convolver();
  Convolver(const Convolver&) = delete;
  Convolver& operator=(const Convolver&) = delete;

  void reset();
  void process(const float* in, float* out, size_t n);
  size_t block() const { return block_; }

 private:
  struct Cpx {
    float re, im;
  };
  void fft(Cpx* a, bool inverse) const;
  // Spectrum of the window [previous block, current block so far, zeros] into x_.
  void transform_window();

  size_t block_;       // B: samples per partition
  size_t size_;        // N = 2B
  size_t bins_;        // N / 2 + 1: the spectra of real signals are stored up to Nyquist
  size_t partitions_;  // P
  std::vector<Cpx> twiddle_;
  std::vector<uint32_t> bitrev_;
  std::vector<Cpx> h_;    // P x bins: spectra of the partitions, scaled by 1 / N
  std::vector<Cpx> fdl_;  // P x bins: spectra of the last input windows, newest at head_
  size_t head_ = 0;
  std::vector<Cpx> acc_;  // sum over p >= 1 of window(m - p) x H_p for the current block m
  std::vector<float> prev_, cur_;
  size_t fill_ = 0;  // samples of the current block
  std::vector<Cpx> work_;
};

// Played audio of one format as heard in another: channels are mapped first when the capturer
// has fewer (capture channel c is the mean of the played channels i with i % out_channels == c),
// then the rate is converted by the speexdsp resampler, then channels are mapped when the
// capturer has more (capture channel c is played channel c % in_channels). The conversion is
// time-aligned: output frame j is the played audio at input frame j x in_rate / out_rate, with
// no latency of its own; the resampler reads lookahead() input frames beyond that.
// With equal rates nothing is resampled and the samples pass unchanged.
class Converter {
 public:
  Converter(int in_rate, int in_channels, int out_rate, int out_channels);
  ~Converter();
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Makes the next output frame `out_frame`, with the resampler primed on the input before it.
  void seek(int64_t out_frame);
  // First input frame the next run reads, and how many it may read at most for n output frames.
  int64_t next_input() const { return next_in_; }
  int64_t input_bound(int64_t n) const;
  // Input frames the resampler reads ahead of the one that aligns with an output frame.
  int lookahead() const;
  // Makes n output frames from `in` (input frames from next_input() on, `in_frames` of them,
  // interleaved) and adds them to `out` (n frames of out_channels, interleaved).
  void run_add(const float* in, int64_t in_frames, float* out, int64_t n);

 private:
  const int in_rate_, in_channels_, out_rate_, out_channels_;
  const int mid_channels_;                     // channels through the resampler: min(in, out)
  int64_t in_step_ = 1;                        // in_rate / gcd: input frames per ...
  int64_t out_step_ = 1;                       // ... out_rate / gcd output frames
  SpeexResamplerState_* resampler_ = nullptr;  // null when the rates are equal
  int64_t next_in_ = 0;
  int64_t skip_ = 0;  // output frames to make and drop before the next one handed out
  std::vector<float> reduced_, resampled_;
};

// Gaussian noise from a 32-bit seed, the same sequence on every platform's mt19937.
class GaussianNoise {
 public:
  explicit GaussianNoise(uint32_t seed = 1) : engine_(seed) {}
  void seed(uint32_t seed) {
    engine_.seed(seed);
    spare_valid_ = false;
  }
  // Zero mean, unit variance.
  double next();

 private:
  std::mt19937 engine_;
  double spare_ = 0.0;
  bool spare_valid_ = false;
};

// A room's response: 1.0 at tap 0, then a Gaussian tail with an exponential envelope that falls
// 60 dB in rt60_ms, scaled so that direct / tail energy is drr_db. Empty when an argument is out
// of range (rate <= 0, length_ms < 1, rt60_ms <= 0, drr_db not finite, more than max_taps taps).
std::vector<float> make_room_response(int rate, int length_ms, int rt60_ms, float drr_db,
                                      uint32_t seed, size_t max_taps);

}  // namespace ohaudio_impl

#endif  // OHAUDIO_ECHO_DSP_H
