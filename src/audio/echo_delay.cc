#include "audio/echo_delay.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace sonora {
namespace audio {

namespace {

// Steps kept per track: the window, the longest lag and some slack for late far-end audio.
constexpr size_t kSlots = 4096;
static_assert(kSlots * EchoDelayEstimator::kStepMs >=
                  2 * (EchoDelayEstimator::kWindowMs + EchoDelayEstimator::kMaxLagMs),
              "the tracks must hold a window and the longest lag twice over");

}  // namespace

EchoDelayEstimator::EchoDelayEstimator(int sample_rate)
    : per_step_(static_cast<size_t>(sample_rate > 0 ? sample_rate : 16000) * kStepMs / 1000),
      near_window_(kWindowMs / kStepMs),
      far_window_(kWindowMs / kStepMs + kMaxLagMs / kStepMs) {
  for (Track* t : {&far_, &near_}) {
    t->env.assign(kSlots, 0.0f);
    t->stamp.assign(kSlots, 0);
  }
}

void EchoDelayEstimator::reset() {
  for (Track* t : {&far_, &near_}) {
    std::fill(t->env.begin(), t->env.end(), 0.0f);
    std::fill(t->stamp.begin(), t->stamp.end(), 0);
    t->sum = 0.0;
    t->count = 0;
    t->step = 0;
    t->started = false;
  }
  near_steps_since_update_ = 0;
  near_steps_total_ = 0;
  delay_steps_ = -1;
  candidate_steps_ = -1;
  last_correlation_ = 0.0;
}

size_t EchoDelayEstimator::add(Track* t, const int16_t* samples, size_t n, uint64_t start_ms) {
  if (samples == nullptr || n == 0 || per_step_ == 0) return 0;
  const uint64_t first_step = start_ms / kStepMs;
  // A jump in time (a gap, or a stream that restarted) begins a new step where the audio is.
  if (!t->started || first_step > t->step + 1 || first_step + 1 < t->step) {
    t->step = first_step;
    t->sum = 0.0;
    t->count = 0;
    t->started = true;
  }
  size_t completed = 0;
  for (size_t i = 0; i < n; ++i) {
    t->sum += std::abs(static_cast<int>(samples[i]));
    if (++t->count == per_step_) {
      const size_t slot = static_cast<size_t>(t->step % kSlots);
      t->env[slot] = static_cast<float>(t->sum / static_cast<double>(per_step_));
      t->stamp[slot] = t->step + 1;
      t->step += 1;
      t->sum = 0.0;
      t->count = 0;
      ++completed;
    }
  }
  return completed;
}

float EchoDelayEstimator::value(const Track& t, uint64_t step) const {
  const size_t slot = static_cast<size_t>(step % kSlots);
  return t.stamp[slot] == step + 1 ? t.env[slot] : 0.0f;
}

void EchoDelayEstimator::add_far(const int16_t* samples, size_t n, uint64_t start_ms) {
  add(&far_, samples, n, start_ms);
}

void EchoDelayEstimator::add_near(const int16_t* samples, size_t n, uint64_t start_ms) {
  const size_t completed = add(&near_, samples, n, start_ms);
  near_steps_since_update_ += completed;
  near_steps_total_ += completed;
  if (completed > 0 && near_steps_since_update_ >= kUpdateMs / kStepMs &&
      near_steps_total_ >= kFirstWindowMs / kStepMs) {
    near_steps_since_update_ = 0;
    const uint64_t full = kWindowMs / kStepMs;
    update(near_.step - 1, static_cast<size_t>(std::min(near_steps_total_, full)));
  }
}

// Normalised correlation of the microphone's envelope over the `window` steps ending at
// `last_step` against the far end's, for every lag; the best clear one becomes the candidate.
void EchoDelayEstimator::update(uint64_t last_step, size_t window) {
  const size_t lags = static_cast<size_t>(kMaxLagMs / kStepMs);
  // On a clock that starts near 0 the far end's history cannot reach back the longest lag before
  // a whole window: the window is shortened, to half the first one at least.
  if (last_step + 1 < window + lags) {
    if (last_step + 1 < lags + kFirstWindowMs / 2 / kStepMs) return;
    window = static_cast<size_t>(last_step + 1 - lags);
  }
  const uint64_t first = last_step + 1 - window;
  double near_mean = 0.0;
  for (size_t i = 0; i < window; ++i) {
    near_window_[i] = value(near_, first + i);
    near_mean += near_window_[i];
  }
  near_mean /= static_cast<double>(window);
  double near_energy = 0.0;
  for (size_t i = 0; i < window; ++i) {
    near_window_[i] -= near_mean;
    near_energy += near_window_[i] * near_window_[i];
  }
  if (near_energy <= 0.0) return;
  // far_window_[j] is the far end at step first - lags + j.
  for (size_t j = 0; j < window + lags; ++j) far_window_[j] = value(far_, first - lags + j);
  // Sums over the window at lag `lags`, slid one step per lag (towards the newest far end).
  double far_sum = 0.0, far_squares = 0.0;
  for (size_t i = 0; i < window; ++i) {
    far_sum += far_window_[i];
    far_squares += far_window_[i] * far_window_[i];
  }
  double best = 0.0;
  int best_lag = -1;
  for (size_t k = 0;; ++k) {
    const size_t lag = lags - k;  // the window starts at far_window_[k]
    const double n = static_cast<double>(window);
    const double far_energy = far_squares - far_sum * far_sum / n;
    if (far_energy > 1e-9 * n) {
      // near_window_ has zero mean, so the far end's mean drops out of the product.
      double dot = 0.0;
      for (size_t i = 0; i < window; ++i) dot += near_window_[i] * far_window_[k + i];
      const double r = dot / std::sqrt(near_energy * far_energy);
      if (r > best) {
        best = r;
        best_lag = static_cast<int>(lag);
      }
    }
    if (lag == 0) break;
    far_sum += far_window_[k + window] - far_window_[k];
    far_squares +=
        far_window_[k + window] * far_window_[k + window] - far_window_[k] * far_window_[k];
  }
  last_correlation_ = best;
  if (best_lag < 0 || best < kMinCorrelation) return;
  // The estimate follows small moves at once; a new lag, the first included, needs two updates
  // in a row that agree on it.
  if ((delay_steps_ >= 0 && std::abs(best_lag - delay_steps_) <= 1) ||
      (candidate_steps_ >= 0 && std::abs(best_lag - candidate_steps_) <= 1)) {
    delay_steps_ = best_lag;
  }
  candidate_steps_ = best_lag;
}

}  // namespace audio
}  // namespace sonora
