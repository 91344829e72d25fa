// Capture through the platform audio capturer, with one processing thread per run.
//
// The capturer's data callback only appends the microphone bytes to the recorder's pile buffer,
// which queues each completed block (stamped with its capture time and number). The processing
// thread, cprocessor3, takes each block and, in this order: cancels the echo of what the body's
// renderer has just played (16-bit mono, while playback works and the suit enables it), suppresses
// noise (16-bit mono, when enabled), applies the gain chain (every format), and hands the block
// to the application's fetch_cb with its capture time. Every delivered block has exactly the
// suit's block size.
//
// Threads: start and stop on an application thread (serialised by the body); the four capturer
// callbacks on the platform's capture thread; cprocessor3 on its own thread, the only one that
// runs the echo canceller's processing, the capture suppressor and the gain control. stop() may
// also be called from inside fetch_cb: it then ends the run without waiting for its own thread.
#ifndef AUDIO_OHOS_RECORDER_H
#define AUDIO_OHOS_RECORDER_H

#include <ohaudio/native_audiocapturer.h>
#include <ohaudio/native_audiostreambuilder.h>
#include <pthread.h>

#include <atomic>

#include "audio/recorder.h"

namespace sonora {
namespace audio {

// The capturer's callbacks, on the platform's threads, with the recorder as userData.
//
// Read-data: appends the delivery (any length) to the pile, which queues each completed block
//   stamped with its capture time. May: take the pile's, the pool's and the queue's own locks and
//   the recorder's flag mutex; post to the handler when blocks are lost to a full pool. May not:
//   allocate, log, sleep or take the body's locks.
// Interrupt and error: report to the handler; a FORCE stop or a fatal error ends the run (flag
//   mutex, queue lock; the processing thread is woken, not waited for). Same may-not list.
// Stream event (routing change): nothing.
//
// The processing loop (cprocessor3) may wait on the queue and, in the echo canceller, once per
// block for far-end audio; it never logs or allocates, and calls fetch_cb with no lock held.
int32_t OH_AudioCapturer_OnReadData_func(OH_AudioCapturer* capturer, void* userData, void* buffer,
                                         int32_t lenth);
int32_t OH_AudioCapturer_OnStreamEvent_func(OH_AudioCapturer* capturer, void* userData,
                                            OH_AudioStream_Event event);
int32_t OH_AudioCapturer_OnInterruptEvent_func(OH_AudioCapturer* capturer, void* userData,
                                               OH_AudioInterrupt_ForceType type,
                                               OH_AudioInterrupt_Hint hint);
int32_t OH_AudioCapturer_OnError_func(OH_AudioCapturer* capturer, void* userData,
                                      OH_AudioStream_Result error);

// The processing thread of one capture run; `handle` is the recorder.
void* cprocessor3(void* handle);

class OhosRecorder : public Recorder {
 public:
  OhosRecorder();
  ~OhosRecorder() override;

  static bool init();
  static bool deinit();

  bool on_processing_thread() override {
    const pthread_t thread = pid_.load();
    return thread != pthread_t() && pthread_equal(thread, pthread_self());
  }

  // Blocks processed and handed to the application since the recorder was made.
  uint64_t delivered() const { return delivered_.load(); }

 private:
  friend void* cprocessor3(void* handle);
  friend int32_t OH_AudioCapturer_OnReadData_func(OH_AudioCapturer* capturer, void* userData,
                                                  void* buffer, int32_t lenth);
  friend int32_t OH_AudioCapturer_OnInterruptEvent_func(OH_AudioCapturer* capturer, void* userData,
                                                        OH_AudioInterrupt_ForceType type,
                                                        OH_AudioInterrupt_Hint hint);
  friend int32_t OH_AudioCapturer_OnError_func(OH_AudioCapturer* capturer, void* userData,
                                               OH_AudioStream_Result error);

  // Starts the base run, the processing thread and the capturer; reports
  // (kArg1AudioRecordStart, kArg2Success) once the thread exists and kArg2Failed when the
  // capturer does not start. true when capture runs.
  bool start(const Body* player, fetch_cb cb, int audioRecordSource) override;
  // Stops and releases the capturer, ends the run, waits for the processing thread (unless
  // called on it) and releases the pile and the pool. Always true.
  bool stop() override;

  // Builds the capturer for `suit`; false when the stream builder refused a value (logged).
  bool open_capturer(const Suit* suit);
  void release_capturer();
  // Wakes the processing thread and joins it; on the processing thread itself only marks it
  // for joining by the next start, stop or destructor.
  void end_processor();
  // One block through echo cancellation, noise suppression and gain, then to the application.
  void process(Frame* frame, const Suit& suit, EncodeType type);

  OH_AudioStreamBuilder* builder;
  OH_AudioCapturer_Callbacks callbacks;
  OH_AudioCapturer* audioCapturer;
  std::atomic<pthread_t> pid_;
  // A processing thread that ended (or was told to end) and still has to be joined.
  pthread_t unjoined_;
  bool has_unjoined_;
  std::atomic<uint64_t> delivered_;
};

}  // namespace audio
}  // namespace sonora

#endif  // AUDIO_OHOS_RECORDER_H
