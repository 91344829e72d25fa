// The one place where the library starts its own threads (the handler's message loop, the frame
// ring's hand-over thread and the capture processing thread), so that a failure to create one can
// be provoked on purpose.
#ifndef UTILS_THREAD_START_H
#define UTILS_THREAD_START_H

#include <pthread.h>

namespace utils {

// pthread_create with default attributes. Returns 0 and stores the thread in `*thread`, or the
// error pthread_create gave (or the injected one) and leaves `*thread` untouched.
int start_thread(pthread_t* thread, void* (*entry)(void*), void* arg);

// Fault injection: the next `count` calls of start_thread, from any thread, fail with `error`
// (EAGAIN, as when the process has run out of threads) without creating anything; 0 clears.
// Thread-safe.
void fail_next_thread_starts(int count, int error);

}  // namespace utils

#endif  // UTILS_THREAD_START_H
