// Small shared helpers, exported with C linkage under their plain names.
#ifndef UTILS_COMMONS_H
#define UTILS_COMMONS_H

#include <cstddef>
#include <cstdint>

#include "sonora/types.h"

extern "C" {

// Wall-clock milliseconds since the Unix epoch.
uint64_t current_ts();
// Sleeps `millis` milliseconds (select on no descriptors); a signal ends the sleep early.
void msleep(size_t millis);
// from <= input <= to.
bool is_range(int input, int from, int to);
// A value in [min, max]; max >= min.
int random_range(int min, int max);
// New string pre + sub (null counts as empty); null when both are empty. Release with delete[].
char* cat(const char* pre, const char* sub);
// Refills a pooled frame in place; the type is set before anything is checked.
bool update_frame(sonora::Frame* frame, sonora::FrameType type, const sonora::byte* data,
                  size_t size, const sonora::TSSuit* ts);
// Clean callback for queues whose elements are owned elsewhere.
void delete_nothing(void* p);

// Capture gain chain. Buffers are 16-bit samples in native byte order (an odd trailing byte is
// ignored), processed in place; a null buffer or a length of 0 is left alone.

// Scales the samples by `gain` unless it lies in [0.9, 1.01] (saturating, and a zero sample
// becomes -1), then, when `from` is kETypeS16 and `to` an 8-bit type, narrows sample i to byte i
// (its high byte, offset by 128 for kETypeU8). After narrowing the first length / 2 bytes hold
// the result; the rest of the buffer is stale.
void adjust_pcm(sonora::byte* data, size_t length, sonora::audio::EncodeType from,
                sonora::audio::EncodeType to, float gain);
// Block energy: the sum of squared samples divided by the length in bytes; 0 for an empty block.
double otherAdjust_pcm(sonora::byte* data, size_t length);
// The gain chain for one captured block. Gain type 4 runs the automatic gain control with
// `gain` (truncated) as its bound in dB; any other type scales by `gain`, a gain above 1.5
// weighted down as the block gets louder (1.5 x gain for silence).
void auto_adjust_pcm(sonora::byte* data, size_t length, sonora::audio::EncodeType from,
                     sonora::audio::EncodeType to, int gain_type, float gain);
}

#endif  // UTILS_COMMONS_H
