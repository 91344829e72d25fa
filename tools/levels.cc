#include "levels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tool {

namespace {

template <typename Sample>
std::vector<double> energies(size_t count, size_t per_block, Sample sample) {
  std::vector<double> out;
  if (per_block == 0) return out;
  for (size_t at = 0; at + per_block <= count; at += per_block) {
    double e = 0;
    for (size_t i = at; i < at + per_block; ++i) {
      const double s = sample(i);
      e += s * s;
    }
    out.push_back(e);
  }
  return out;
}

}  // namespace

std::vector<double> block_energies(const std::vector<uint8_t>& pcm, size_t samples_per_block) {
  return energies(pcm.size() / 2, samples_per_block, [&pcm](size_t i) {
    return static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8)));
  });
}

std::vector<double> block_energies(const std::vector<int16_t>& samples, size_t samples_per_block) {
  return energies(samples.size(), samples_per_block, [&samples](size_t i) { return samples[i]; });
}

double energy_dbfs(double energy, size_t samples_per_block) {
  if (energy <= 0 || samples_per_block == 0) return kSilenceDbfs;
  const double ms = energy / static_cast<double>(samples_per_block) / (32768.0 * 32768.0);
  return std::max(kSilenceDbfs, 10 * std::log10(ms));
}

double energy_ratio_db(const std::vector<double>& a, const std::vector<double>& b,
                       const std::vector<bool>& selected) {
  const size_t n = std::min({a.size(), b.size(), selected.size()});
  double sa = 0, sb = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!selected[i]) continue;
    sa += a[i];
    sb += b[i];
  }
  if (sa <= 0 || sb <= 0) return std::numeric_limits<double>::quiet_NaN();
  return 10 * std::log10(sa / sb);
}

}  // namespace tool
