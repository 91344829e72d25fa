// Estimates the echo path's bulk delay: how long after a far-end sound is played its echo
// reaches the microphone. Both streams are given with the time of their first sample (the far end
// as played, the microphone as captured, on the same millisecond clock); their envelopes (mean
// magnitude per kStepMs) are kept by time, and every kUpdateMs of microphone audio the lag in
// 0 .. kMaxLagMs with the highest normalised correlation over the last kWindowMs (from
// kFirstWindowMs on, all there is until then; on a clock that starts at 0, what lies kMaxLagMs
// after its start, from half of kFirstWindowMs on) is taken, when it is clear enough (correlation
// at least kMinCorrelation with far-end audio present). A new lag, the first included, is taken
// only when two updates in a row agree on it, so a chance match or a stretch of double talk does
// not move it; a move by one step is followed at once.
//
// One thread (the capture processing thread); never allocates after construction, never locks.
#ifndef AUDIO_ECHO_DELAY_H
#define AUDIO_ECHO_DELAY_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonora {
namespace audio {

class EchoDelayEstimator {
 public:
  static constexpr int kStepMs = 2;
  static constexpr int kMaxLagMs = 500;
  static constexpr int kWindowMs = 2000;
  static constexpr int kFirstWindowMs = 1000;  // the first update looks at this much
  static constexpr int kUpdateMs = 500;
  static constexpr double kMinCorrelation = 0.4;

  explicit EchoDelayEstimator(int sample_rate);

  // `n` samples of mono 16-bit audio whose first sample was played / captured at `start_ms`.
  void add_far(const int16_t* samples, size_t n, uint64_t start_ms);
  void add_near(const int16_t* samples, size_t n, uint64_t start_ms);

  // Forgets both streams and the estimate, as if just constructed.
  void reset();

  // The current estimate in ms, or -1 while none is known.
  int delay_ms() const { return delay_steps_ < 0 ? -1 : delay_steps_ * kStepMs; }
  // Correlation of the last update (0 before the first).
  double last_correlation() const { return last_correlation_; }

 private:
  struct Track {
    std::vector<float> env;       // mean magnitude per step, by step index modulo the size
    std::vector<uint64_t> stamp;  // step index + 1 that each slot holds (0: none)
    double sum = 0.0;             // magnitudes of the step being gathered
    size_t count = 0;
    uint64_t step = 0;  // index of that step
    bool started = false;
  };
  // Adds samples to `t`; returns the number of steps completed.
  size_t add(Track* t, const int16_t* samples, size_t n, uint64_t start_ms);
  float value(const Track& t, uint64_t step) const;
  void update(uint64_t last_step, size_t window);

  size_t per_step_;  // samples per step
  Track far_;
  Track near_;
  uint64_t near_steps_since_update_ = 0;
  uint64_t near_steps_total_ = 0;
  int delay_steps_ = -1;
  int candidate_steps_ = -1;
  double last_correlation_ = 0.0;
  std::vector<double> near_window_;  // scratch for one update
  std::vector<double> far_window_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_ECHO_DELAY_H
