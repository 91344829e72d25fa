#include "utils/commons.h"

#include <sys/select.h>
#include <sys/time.h>

#include <cstdlib>
#include <cstring>

extern "C" {

uint64_t current_ts() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

void msleep(size_t millis) {
  if (millis == 0) return;
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(millis / 1000);
  tv.tv_usec = static_cast<suseconds_t>((millis % 1000) * 1000);
  select(0, nullptr, nullptr, nullptr, &tv);
}

bool is_range(int input, int from, int to) {
  return from <= input && input <= to;
}

int random_range(int min, int max) {
  // Computed in 64 bits so that the full int range does not overflow.
  int64_t span = static_cast<int64_t>(max) - static_cast<int64_t>(min) + 1;
  if (span <= 0) return min;
  return static_cast<int>(min + static_cast<int64_t>(rand()) % span);
}

char* cat(const char* pre, const char* sub) {
  size_t a = pre != nullptr ? std::strlen(pre) : 0;
  size_t b = sub != nullptr ? std::strlen(sub) : 0;
  if (a + b == 0) return nullptr;
  char* out = new char[a + b + 1];
  if (a > 0) std::memcpy(out, pre, a);
  if (b > 0) std::memcpy(out + a, sub, b);
  out[a + b] = '\0';
  return out;
}

bool update_frame(sonora::Frame* frame, sonora::FrameType type, const sonora::byte* data,
                  size_t size, const sonora::TSSuit* ts) {
  if (frame == nullptr) return false;
  frame->type = type;
  if (data == nullptr || frame->data == nullptr || size != frame->size) return false;
  std::memcpy(frame->data, data, size);
  if (ts != nullptr && frame->ts != nullptr) {
    frame->ts->period = ts->period;
    frame->ts->ts = ts->ts;
    frame->ts->sts = ts->sts;
    frame->ts->tid = ts->tid;
  }
  return true;
}

void delete_nothing(void*) {}
}
