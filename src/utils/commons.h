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
}

#endif  // UTILS_COMMONS_H
