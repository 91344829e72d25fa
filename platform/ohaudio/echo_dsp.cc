// The echo path's signal processing: FFT convolution, format conversion through the speexdsp
// resampler, Gaussian noise and synthetic room responses.
#include "ohaudio/echo_dsp.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace ohaudio_impl {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Resampler quality (0..10): 5 keeps the conversion error some 50 dB below the signal.
constexpr int kResamplerQuality = SPEEX_RESAMPLER_QUALITY_DESKTOP;

size_t next_pow2(size_t n) {
  size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

}  // namespace

// ---- Convolver ----

Convolver::Convolver(const std::vector<float>& ir) {
  const size_t taps = std::max<size_t>(ir.size(), 1);
  // Larger blocks for longer responses keep the number of spectrum products per block near 16.
  block_ = std::clamp<size_t>(next_pow2((taps + 15) / 16), 64, 2048);
  size_ = 2 * block_;
  bins_ = block_ + 1;
  partitions_ = (taps + block_ - 1) / block_;

  twiddle_.resize(size_ / 2);
  for (size_t k = 0; k < twiddle_.size(); ++k) {
    const double a = -2.0 * kPi * static_cast<double>(k) / static_cast<double>(size_);
    twiddle_[k] = {static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))};
  }
  bitrev_.resize(size_);
  int bits = 0;
  while ((size_t{1} << bits) < size_) ++bits;
  for (size_t i = 0; i < size_; ++i) {
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b) r |= static_cast<uint32_t>((i >> b) & 1u) << (bits - 1 - b);
    bitrev_[i] = r;
  }

  work_.assign(size_, Cpx{0.0f, 0.0f});
  h_.assign(partitions_ * bins_, Cpx{0.0f, 0.0f});
  const float scale = 1.0f / static_cast<float>(size_);
  for (size_t p = 0; p < partitions_; ++p) {
    std::fill(work_.begin(), work_.end(), Cpx{0.0f, 0.0f});
    for (size_t i = 0; i < block_ && p * block_ + i < ir.size(); ++i) {
      work_[i].re = ir[p * block_ + i];
    }
    fft(work_.data(), false);
    for (size_t k = 0; k < bins_; ++k) {
      h_[p * bins_ + k] = {work_[k].re * scale, work_[k].im * scale};
    }
  }
  fdl_.resize(partitions_ * bins_);
  acc_.resize(bins_);
  prev_.resize(block_);
  cur_.resize(block_);
  reset();
}

Convolver::~Convolver() = default;

void Convolver::reset() {
  std::fill(fdl_.begin(), fdl_.end(), Cpx{0.0f, 0.0f});
  std::fill(acc_.begin(), acc_.end(), Cpx{0.0f, 0.0f});
  std::fill(prev_.begin(), prev_.end(), 0.0f);
  std::fill(cur_.begin(), cur_.end(), 0.0f);
  head_ = 0;
  fill_ = 0;
}

void Convolver::fft(Cpx* a, bool inverse) const {
  for (size_t i = 0; i < size_; ++i) {
    const size_t j = bitrev_[i];
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= size_; len <<= 1) {
    const size_t half = len / 2;
    const size_t step = size_ / len;
    for (size_t i = 0; i < size_; i += len) {
      for (size_t j = 0; j < half; ++j) {
        const Cpx w = twiddle_[j * step];
        const float wi = inverse ? -w.im : w.im;
        Cpx& u = a[i + j];
        Cpx& v = a[i + j + half];
        const float tr = v.re * w.re - v.im * wi;
        const float ti = v.re * wi + v.im * w.re;
        v.re = u.re - tr;
        v.im = u.im - ti;
        u.re += tr;
        u.im += ti;
      }
    }
  }
}

void Convolver::transform_window() {
  for (size_t i = 0; i < block_; ++i) work_[i] = {prev_[i], 0.0f};
  for (size_t i = 0; i < block_; ++i) work_[block_ + i] = {i < fill_ ? cur_[i] : 0.0f, 0.0f};
  fft(work_.data(), false);
}

void Convolver::process(const float* in, float* out, size_t n) {
  while (n > 0) {
    const size_t k = std::min(n, block_ - fill_);
    std::copy(in, in + k, cur_.begin() + static_cast<long>(fill_));
    const size_t start = fill_;
    fill_ += k;

    transform_window();
    const bool complete = fill_ == block_;
    if (complete) {
      // The window's spectrum joins the delay line.
      head_ = (head_ + 1) % partitions_;
      std::copy(work_.begin(), work_.begin() + static_cast<long>(bins_),
                fdl_.begin() + static_cast<long>(head_ * bins_));
    }
    // Output spectrum: acc + X x H_0, completed to the full (Hermitian) spectrum.
    for (size_t b = 0; b < bins_; ++b) {
      const Cpx x = work_[b];
      const Cpx h = h_[b];
      work_[b] = {acc_[b].re + x.re * h.re - x.im * h.im, acc_[b].im + x.re * h.im + x.im * h.re};
    }
    for (size_t b = 1; b < block_; ++b) work_[size_ - b] = {work_[b].re, -work_[b].im};
    fft(work_.data(), true);
    for (size_t i = 0; i < k; ++i) out[i] = work_[block_ + start + i].re;

    if (complete) {
      std::swap(prev_, cur_);
      fill_ = 0;
      // Partitions 1 .. P-1 of the next block see the windows that are complete by now.
      std::fill(acc_.begin(), acc_.end(), Cpx{0.0f, 0.0f});
      for (size_t p = 1; p < partitions_; ++p) {
        const Cpx* x = &fdl_[((head_ + partitions_ - (p - 1)) % partitions_) * bins_];
        const Cpx* h = &h_[p * bins_];
        for (size_t b = 0; b < bins_; ++b) {
          acc_[b].re += x[b].re * h[b].re - x[b].im * h[b].im;
          acc_[b].im += x[b].re * h[b].im + x[b].im * h[b].re;
        }
      }
    }
    in += k;
    out += k;
    n -= k;
  }
}

// ---- Converter ----

Converter::Converter(int in_rate, int in_channels, int out_rate, int out_channels)
    : in_rate_(in_rate),
      in_channels_(in_channels),
      out_rate_(out_rate),
      out_channels_(out_channels),
      mid_channels_(std::min(in_channels, out_channels)) {
  const int g = std::gcd(in_rate, out_rate);
  in_step_ = in_rate / g;
  out_step_ = out_rate / g;
  if (in_rate != out_rate) {
    int err = 0;
    resampler_ = speex_resampler_init(static_cast<spx_uint32_t>(mid_channels_),
                                      static_cast<spx_uint32_t>(in_rate),
                                      static_cast<spx_uint32_t>(out_rate), kResamplerQuality, &err);
  }
  seek(0);
}

Converter::~Converter() {
  if (resampler_ != nullptr) speex_resampler_destroy(resampler_);
}

int Converter::lookahead() const {
  return resampler_ != nullptr ? speex_resampler_get_input_latency(resampler_) : 0;
}

void Converter::seek(int64_t out_frame) {
  if (in_rate_ == out_rate_) {
    next_in_ = out_frame;
    skip_ = 0;
    return;
  }
  // Start on a frame where input and output frames coincide, early enough for the filter to
  // have real history under it by out_frame.
  const int64_t warm = 2 * (int64_t{lookahead()} * out_rate_ / in_rate_ + 1);
  const int64_t first = floor_div(out_frame - warm, out_step_) * out_step_;
  next_in_ = first / out_step_ * in_step_;
  skip_ = out_frame - first;
  if (resampler_ != nullptr) {
    speex_resampler_reset_mem(resampler_);
    // Output frame 0 then lines up with input frame 0 instead of trailing it by the latency.
    speex_resampler_skip_zeros(resampler_);
  }
}

int64_t Converter::input_bound(int64_t n) const {
  if (in_rate_ == out_rate_) return n;
  return ((n + skip_) * in_step_ + out_step_ - 1) / out_step_ + 2 * int64_t{lookahead()} + 2;
}

void Converter::run_add(const float* in, int64_t in_frames, float* out, int64_t n) {
  if (n <= 0) return;
  const int mid = mid_channels_;
  // Fewer channels first, so that the resampler does no more work than it must.
  const float* src = in;
  if (in_channels_ > mid) {
    reduced_.assign(static_cast<size_t>(in_frames * mid), 0.0f);
    for (int64_t f = 0; f < in_frames; ++f) {
      for (int c = 0; c < mid; ++c) {
        float sum = 0.0f;
        int count = 0;
        for (int i = c; i < in_channels_; i += mid, ++count) sum += in[f * in_channels_ + i];
        reduced_[static_cast<size_t>(f * mid + c)] = sum / static_cast<float>(count);
      }
    }
    src = reduced_.data();
  }
  const float* mapped = src;
  int64_t offset = 0;  // first frame of `mapped` handed out
  if (in_rate_ != out_rate_) {
    const int64_t total = skip_ + n;
    resampled_.assign(static_cast<size_t>(total * mid), 0.0f);
    if (resampler_ != nullptr) {
      spx_uint32_t in_len = static_cast<spx_uint32_t>(in_frames);
      spx_uint32_t out_len = static_cast<spx_uint32_t>(total);
      speex_resampler_process_interleaved_float(resampler_, src, &in_len, resampled_.data(),
                                                &out_len);
      next_in_ += in_len;
    } else {
      next_in_ += (total * in_step_ + out_step_ - 1) / out_step_;  // no resampler: silence
    }
    mapped = resampled_.data();
    offset = skip_;
    skip_ = 0;
  } else {
    next_in_ += n;
  }
  for (int64_t f = 0; f < n; ++f) {
    const float* r = mapped + (offset + f) * mid;
    float* o = out + f * out_channels_;
    for (int c = 0; c < out_channels_; ++c) o[c] += r[c % mid];
  }
}

// ---- Noise and rooms ----

double GaussianNoise::next() {
  if (spare_valid_) {
    spare_valid_ = false;
    return spare_;
  }
  // Box-Muller on two uniform draws; u1 in (0, 1] keeps the logarithm finite.
  const double u1 = (static_cast<double>(engine_()) + 1.0) / 4294967296.0;
  const double u2 = static_cast<double>(engine_()) / 4294967296.0;
  const double r = std::sqrt(-2.0 * std::log(u1));
  spare_ = r * std::sin(2.0 * kPi * u2);
  spare_valid_ = true;
  return r * std::cos(2.0 * kPi * u2);
}

std::vector<float> make_room_response(int rate, int length_ms, int rt60_ms, float drr_db,
                                      uint32_t seed, size_t max_taps) {
  if (rate <= 0 || length_ms < 1 || rt60_ms <= 0 || !std::isfinite(drr_db)) return {};
  const int64_t taps = int64_t{rate} * length_ms / 1000;
  if (taps < 1 || static_cast<uint64_t>(taps) > max_taps) return {};
  std::vector<float> ir(static_cast<size_t>(taps), 0.0f);
  ir[0] = 1.0f;
  if (taps == 1) return ir;
  // Amplitude falls 60 dB (a factor 1000) over rt60.
  const double per_tap = -3.0 * std::log(10.0) / (static_cast<double>(rt60_ms) / 1000.0 * rate);
  GaussianNoise noise(seed);
  std::vector<double> tail(static_cast<size_t>(taps), 0.0);
  double energy = 0.0;
  for (size_t i = 1; i < tail.size(); ++i) {
    tail[i] = noise.next() * std::exp(per_tap * static_cast<double>(i));
    energy += tail[i] * tail[i];
  }
  const double scale = energy > 0.0 ? std::sqrt(std::pow(10.0, -drr_db / 10.0) / energy) : 0.0;
  for (size_t i = 1; i < tail.size(); ++i) ir[i] = static_cast<float>(tail[i] * scale);
  return ir;
}

}  // namespace ohaudio_impl
