// A simulated speaker-to-microphone path for the sound-wave robustness bench and the receiver
// tests: gain, room response (early reflections and a reverberant tail), white noise and
// multi-talker babble at a chosen SNR, playback timing jitter and a sample-rate mismatch between
// player and recorder.
// Header-only and deterministic: every random helper takes a seed.
//
// Signals are float vectors in 16-bit sample units (full scale 32768); to_pcm() rounds and
// saturates. Typical chain:
//
//   auto x = sound_channel::from_pcm(rendered_at_48k);
//   x = sound_channel::change_rate(x, 48000 * 1.005, 48000);   // played 0.5 % fast
//   x = sound_channel::convolve(x, sound_channel::room_response(48000, 0.15, 0.0, seed));
//   sound_channel::scale_db(x, -20.0);
//   const double p = sound_channel::active_power(x);
//   sound_channel::add_at_snr(x, sound_channel::white_noise(x.size(), seed), p, 10.0);
//   auto mic = sound_channel::to_pcm(x);
//
// The rate change uses speexdsp's resampler.
#ifndef BENCH_SOUND_CHANNEL_H
#define BENCH_SOUND_CHANNEL_H

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace sound_channel {

using Signal = std::vector<float>;

constexpr double kPi = 3.14159265358979323846;

inline Signal from_pcm(const std::vector<int16_t>& pcm) {
  return Signal(pcm.begin(), pcm.end());
}

inline std::vector<int16_t> to_pcm(const Signal& x) {
  std::vector<int16_t> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const double v = std::round(static_cast<double>(x[i]));
    out[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
  return out;
}

inline Signal silence(double seconds, int rate) {
  return Signal(static_cast<size_t>(std::lround(seconds * rate)), 0.0f);
}

inline void append(Signal& to, const Signal& what) {
  to.insert(to.end(), what.begin(), what.end());
}

inline void scale_db(Signal& x, double db) {
  const float g = static_cast<float>(std::pow(10.0, db / 20.0));
  for (auto& v : x) v *= g;
}

// Mean square over the stretch between the first and the last non-zero sample: the power of a
// transmission without the silence around it.
inline double active_power(const Signal& x) {
  size_t first = 0;
  while (first < x.size() && x[first] == 0.0f) ++first;
  size_t last = x.size();
  while (last > first && x[last - 1] == 0.0f) --last;
  if (last == first) return 0.0;
  double sum = 0.0;
  for (size_t i = first; i < last; ++i) sum += static_cast<double>(x[i]) * x[i];
  return sum / static_cast<double>(last - first);
}

inline double power(const Signal& x) {
  if (x.empty()) return 0.0;
  double sum = 0.0;
  for (float v : x) sum += static_cast<double>(v) * v;
  return sum / static_cast<double>(x.size());
}

// Adds `noise` (as long as x or longer) scaled so that signal_power / noise power = snr_db.
inline void add_at_snr(Signal& x, const Signal& noise, double signal_power, double snr_db) {
  const double np = power(
      Signal(noise.begin(), noise.begin() + static_cast<long>(std::min(noise.size(), x.size()))));
  if (np <= 0.0) return;
  const float g = static_cast<float>(std::sqrt(signal_power / np * std::pow(10.0, -snr_db / 10.0)));
  for (size_t i = 0; i < x.size() && i < noise.size(); ++i) x[i] += g * noise[i];
}

inline Signal white_noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> d(0.0f, 1.0f);
  Signal out(n);
  for (auto& v : out) v = d(rng);
  return out;
}

// Second-order section (RBJ cookbook), direct form I.
struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

  static Biquad lowpass(double fc, double q, int rate) {
    const double w = 2 * kPi * fc / rate, al = std::sin(w) / (2 * q), c = std::cos(w);
    return make((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + al, -2 * c, 1 - al);
  }
  static Biquad highpass(double fc, double q, int rate) {
    const double w = 2 * kPi * fc / rate, al = std::sin(w) / (2 * q), c = std::cos(w);
    return make((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + al, -2 * c, 1 - al);
  }
  // Resonance of a vocal-tract formant: band-pass of `bandwidth` Hz with 0 dB peak.
  static Biquad bandpass(double fc, double bandwidth, int rate) {
    const double w = 2 * kPi * fc / rate, al = std::sin(w) * bandwidth / (2 * fc), c = std::cos(w);
    return make(al, 0, -al, 1 + al, -2 * c, 1 - al);
  }
  static Biquad make(double b0, double b1, double b2, double a0, double a1, double a2) {
    Biquad q;
    q.b0 = b0 / a0;
    q.b1 = b1 / a0;
    q.b2 = b2 / a0;
    q.a1 = a1 / a0;
    q.a2 = a2 / a0;
    return q;
  }
  double operator()(double x) {
    const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
  }
};

// One synthetic talker: voiced syllables (a glottal pulse train with drifting pitch plus
// aspiration noise) through three moving formants, with pauses, band-limited to a cutoff between
// 3 and 4.5 kHz with a 4th-order low-pass (speech has little energy above).
inline Signal talker(size_t n, int rate, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Signal out(n, 0.0f);
  const double cutoff = 3000.0 + 1500.0 * u(rng);
  Biquad lp1 = Biquad::lowpass(cutoff, 0.54, rate), lp2 = Biquad::lowpass(cutoff, 1.31, rate);
  Biquad hp = Biquad::highpass(90.0, 0.7, rate);
  const double f0_base = 90.0 + 160.0 * u(rng);
  double phase = 0.0;
  size_t i = 0;
  while (i < n) {
    // A syllable of 100-300 ms, sometimes a pause instead.
    const size_t len = static_cast<size_t>((0.1 + 0.2 * u(rng)) * rate);
    const bool pause = u(rng) < 0.2;
    const double f[3] = {300 + 500 * u(rng), 900 + 1400 * u(rng), 2300 + 800 * u(rng)};
    Biquad formants[3] = {Biquad::bandpass(f[0], 90, rate), Biquad::bandpass(f[1], 120, rate),
                          Biquad::bandpass(f[2], 180, rate)};
    const double f0 = f0_base * (0.85 + 0.3 * u(rng));
    for (size_t k = 0; k < len && i < n; ++k, ++i) {
      if (pause) {
        out[i] = static_cast<float>(lp2(lp1(hp(0.0))));
        continue;
      }
      const double env = std::sin(kPi * static_cast<double>(k) / static_cast<double>(len));
      phase += f0 / rate;
      double pulse = 0.0;
      if (phase >= 1.0) {
        phase -= 1.0;
        pulse = 1.0;
      }
      const double excitation = pulse + 0.05 * (u(rng) - 0.5);
      const double voiced =
          formants[0](excitation) + 0.6 * formants[1](excitation) + 0.3 * formants[2](excitation);
      out[i] = static_cast<float>(lp2(lp1(hp(env * voiced))));
    }
  }
  return out;
}

// Babble: the sum of `talkers` talkers at random levels within 6 dB of each other.
inline Signal babble(size_t n, int rate, int talkers, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> level_db(-6.0, 0.0);
  Signal out(n, 0.0f);
  for (int t = 0; t < talkers; ++t) {
    Signal one = talker(n, rate, static_cast<uint32_t>(rng()));
    const double p = power(one);
    if (p <= 0.0) continue;
    const float g = static_cast<float>(std::pow(10.0, level_db(rng) / 20.0) / std::sqrt(p));
    for (size_t i = 0; i < n; ++i) out[i] += g * one[i];
  }
  return out;
}

// Noise bursts: stretches of 30 to 300 ms of white noise, `per_second` of them on average at
// random places, each at a random level up to `peak_db` above unit power (silence elsewhere).
inline Signal bursts(size_t n, int rate, double per_second, double peak_db, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Signal out(n, 0.0f);
  const int count = static_cast<int>(std::lround(per_second * static_cast<double>(n) / rate));
  for (int b = 0; b < count; ++b) {
    const size_t at = static_cast<size_t>(u(rng) * static_cast<double>(n));
    const size_t len = static_cast<size_t>((0.03 + 0.27 * u(rng)) * rate);
    const float level = static_cast<float>(std::pow(10.0, peak_db * u(rng) / 20.0));
    for (size_t i = at; i < n && i < at + len; ++i) out[i] += level * g(rng);
  }
  return out;
}

// Clicks: `per_second` impulses on average at random places, each a spike of random sign and
// up to `amplitude` that rings out over about half a millisecond (a contact, a tap on the case).
inline Signal clicks(size_t n, int rate, double per_second, double amplitude, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Signal out(n, 0.0f);
  const int count = static_cast<int>(std::lround(per_second * static_cast<double>(n) / rate));
  const double decay = std::exp(-1.0 / (0.0001 * rate));
  for (int c = 0; c < count; ++c) {
    const size_t at = static_cast<size_t>(u(rng) * static_cast<double>(n));
    double a = (u(rng) < 0.5 ? -1.0 : 1.0) * amplitude * (0.3 + 0.7 * u(rng));
    for (size_t i = at; i < n && std::fabs(a) > 1.0; ++i, a *= -decay)
      out[i] += static_cast<float>(a);
  }
  return out;
}

// Room impulse response: the direct sound (1.0), early reflections between 2 and 20 ms, then a
// reverberant tail of exponentially decaying noise that falls by 60 dB over `tail_seconds`. The
// tail and reflections together carry `direct_to_reverb_db` less energy than the direct sound.
inline Signal room_response(int rate, double tail_seconds, double direct_to_reverb_db,
                            uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const size_t n = static_cast<size_t>(tail_seconds * rate) + 1;
  std::vector<double> h(n, 0.0);
  for (int r = 0; r < 5; ++r) {
    const size_t at = static_cast<size_t>((0.002 + 0.018 * u(rng)) * rate);
    if (at < n) h[at] += (u(rng) < 0.5 ? -1.0 : 1.0) * (0.3 + 0.4 * u(rng));
  }
  const size_t tail_start = static_cast<size_t>(0.005 * rate);
  const double decay = std::log(1000.0) / (tail_seconds * rate);  // amplitude, -60 dB at the end
  for (size_t i = tail_start; i < n; ++i) {
    h[i] += 0.5 * g(rng) * std::exp(-decay * static_cast<double>(i - tail_start));
  }
  double reverb = 0.0;
  for (size_t i = 1; i < n; ++i) reverb += h[i] * h[i];
  const double scale =
      reverb > 0 ? std::sqrt(std::pow(10.0, -direct_to_reverb_db / 10.0) / reverb) : 0.0;
  Signal out(n);
  out[0] = 1.0f;
  for (size_t i = 1; i < n; ++i) out[i] = static_cast<float>(h[i] * scale);
  return out;
}

inline void fft(std::vector<std::complex<double>>& a, bool inverse) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const double ang = 2 * kPi / static_cast<double>(len) * (inverse ? 1 : -1);
    const std::complex<double> wl(std::cos(ang), std::sin(ang));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w(1.0, 0.0);
      for (size_t k = 0; k < len / 2; ++k) {
        const auto x = a[i + k], y = a[i + k + len / 2] * w;
        a[i + k] = x + y;
        a[i + k + len / 2] = x - y;
        w *= wl;
      }
    }
  }
  if (inverse) {
    for (auto& v : a) v /= static_cast<double>(n);
  }
}

// Linear convolution (overlap-add); the result is as long as x plus the response's tail.
inline Signal convolve(const Signal& x, const Signal& h) {
  if (x.empty() || h.empty()) return {};
  size_t fft_size = 1;
  while (fft_size < 2 * h.size()) fft_size <<= 1;
  const size_t block = fft_size - h.size() + 1;
  std::vector<std::complex<double>> hf(fft_size);
  for (size_t i = 0; i < h.size(); ++i) hf[i] = h[i];
  fft(hf, false);
  std::vector<double> out(x.size() + h.size() - 1, 0.0);
  std::vector<std::complex<double>> buf(fft_size);
  for (size_t start = 0; start < x.size(); start += block) {
    std::fill(buf.begin(), buf.end(), 0.0);
    const size_t len = std::min(block, x.size() - start);
    for (size_t i = 0; i < len; ++i) buf[i] = x[start + i];
    fft(buf, false);
    for (size_t i = 0; i < fft_size; ++i) buf[i] *= hf[i];
    fft(buf, true);
    for (size_t i = 0; i < len + h.size() - 1 && start + i < out.size(); ++i) {
      out[start + i] += buf[i].real();
    }
  }
  return Signal(out.begin(), out.end());
}

// Playback timing faults: at each boundary of `block_seconds` blocks, with probability
// `probability`, the player either stalls (a gap of silence of up to `max_gap_seconds`, an
// underrun) or, as often, skips ahead (up to `max_skip_seconds` of samples lost, a clock
// correction; 0: never).
inline Signal jitter(const Signal& x, int rate, double block_seconds, double probability,
                     double max_gap_seconds, double max_skip_seconds, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const size_t block = static_cast<size_t>(block_seconds * rate);
  Signal out;
  out.reserve(x.size() + x.size() / 10);
  size_t i = 0;
  while (i < x.size()) {
    const size_t len = std::min(block, x.size() - i);
    out.insert(out.end(), x.begin() + static_cast<long>(i), x.begin() + static_cast<long>(i + len));
    i += len;
    if (u(rng) < probability) {
      if (max_skip_seconds <= 0.0 || u(rng) < 0.5) {
        out.insert(out.end(), 1 + static_cast<size_t>(u(rng) * max_gap_seconds * rate), 0.0f);
      } else {
        i += 1 + static_cast<size_t>(u(rng) * max_skip_seconds * rate);
      }
    }
  }
  return out;
}

// Plays x, sampled at `played_rate`, into a recorder running at `recorded_rate` (both may be
// fractional: 48000 * 1.005 is a player running 0.5 % fast). Timing is kept: no delay is added.
inline Signal change_rate(const Signal& x, double played_rate, double recorded_rate,
                          int quality = 8) {
  if (x.empty()) return {};
  // The ratio as a fraction with a common scale of 1000 (0.001 Hz resolution is plenty).
  const auto num = static_cast<spx_uint32_t>(std::llround(played_rate * 1000));
  const auto den = static_cast<spx_uint32_t>(std::llround(recorded_rate * 1000));
  int err = 0;
  SpeexResamplerState* st = speex_resampler_init_frac(
      1, num, den, static_cast<spx_uint32_t>(std::lround(played_rate)),
      static_cast<spx_uint32_t>(std::lround(recorded_rate)), quality, &err);
  if (st == nullptr) return {};
  speex_resampler_skip_zeros(st);
  Signal in = x;
  in.insert(in.end(), static_cast<size_t>(speex_resampler_get_input_latency(st)) + 16, 0.0f);
  Signal out(static_cast<size_t>(static_cast<double>(in.size()) * recorded_rate / played_rate) +
             64);
  size_t done_in = 0, done_out = 0;
  while (done_in < in.size() && done_out < out.size()) {
    spx_uint32_t in_len = static_cast<spx_uint32_t>(std::min<size_t>(in.size() - done_in, 1 << 16));
    spx_uint32_t out_len = static_cast<spx_uint32_t>(out.size() - done_out);
    speex_resampler_process_float(st, 0, in.data() + done_in, &in_len, out.data() + done_out,
                                  &out_len);
    if (in_len == 0 && out_len == 0) break;
    done_in += in_len;
    done_out += out_len;
  }
  speex_resampler_destroy(st);
  out.resize(std::min(
      done_out, static_cast<size_t>(static_cast<double>(x.size()) * recorded_rate / played_rate)));
  return out;
}

}  // namespace sound_channel

#endif  // BENCH_SOUND_CHANNEL_H
