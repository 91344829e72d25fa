// Signal levels of 16-bit PCM measured block by block, and the echo-cancellation figures built
// on them.
#ifndef TOOLS_LEVELS_H
#define TOOLS_LEVELS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tool {

// Level below which a block counts as silent; also the floor levels are clamped to.
inline constexpr double kSilenceDbfs = -100.0;

// Sum of squared samples of each whole block of `samples_per_block` mono 16-bit samples held as
// raw little-endian bytes (a last partial block is left out).
std::vector<double> block_energies(const std::vector<uint8_t>& pcm, size_t samples_per_block);
std::vector<double> block_energies(const std::vector<int16_t>& samples, size_t samples_per_block);

// RMS level of a block of the given energy relative to full scale (32768), in dB; kSilenceDbfs
// at most for silence.
double energy_dbfs(double energy, size_t samples_per_block);

// 10 log10(sum of a[i] / sum of b[i]) over the blocks i < min(a.size(), b.size()) where
// selected[i] holds; NaN when no block is selected or a sum is 0.
double energy_ratio_db(const std::vector<double>& a, const std::vector<double>& b,
                       const std::vector<bool>& selected);

}  // namespace tool

#endif  // TOOLS_LEVELS_H
