// Alignment of a recording against what was played, shared by the echo cancellation benches.
#ifndef BENCH_ALIGNMENT_H
#define BENCH_ALIGNMENT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// Lag L (microphone index - rendered index) at which the microphone best matches the rendered
// stream, searched over +-1 s on the microphone window [from, from + len).
inline long best_lag(const std::vector<int16_t>& mic, const std::vector<int16_t>& ren, size_t from,
                     size_t len, int rate) {
  std::vector<float> m(len);
  for (size_t i = 0; i < len; ++i) m[i] = from + i < mic.size() ? mic[from + i] : 0.0f;
  std::vector<float> f(ren.begin(), ren.end());
  long best = 0;
  double best_score = -1;
  for (long lag = -rate; lag <= rate; ++lag) {
    const long start = static_cast<long>(from) - lag;  // rendered index of m[0]
    if (start < 0 || start + static_cast<long>(len) > static_cast<long>(f.size())) continue;
    const float* p = f.data() + start;
    float dot = 0, en = 0;
    for (size_t i = 0; i < len; ++i) {
      dot += m[i] * p[i];
      en += p[i] * p[i];
    }
    const double score = en > 0 ? static_cast<double>(dot) * dot / en : 0;
    if (dot > 0 && score > best_score) {
      best_score = score;
      best = lag;
    }
  }
  return best;
}

}  // namespace bench

#endif  // BENCH_ALIGNMENT_H
