#include "audio/ohos_recorder.h"

#include <initializer_list>

#include "audio/aec.h"
#include "audio/stream_events.h"
#include "sonora/body.h"
#include "utils/commons.h"
#include "utils/log.h"
#include "utils/thread_start.h"

namespace sonora {
namespace audio {

namespace {

// The shortest capture block, in milliseconds of audio: 64 pool slots then hold 320 ms.
constexpr uint64_t kMinCaptureBlockMs = 5;

OH_AudioStream_SampleFormat sample_format(int32_t bit_per_channel) {
  switch (bit_per_channel) {
    case 8:
      return AUDIOSTREAM_SAMPLE_U8;
    case 24:
      return AUDIOSTREAM_SAMPLE_S24LE;
    case 32:
      return AUDIOSTREAM_SAMPLE_S32LE;
    default:
      return AUDIOSTREAM_SAMPLE_S16LE;
  }
}

// Logs a refused builder call by name; true when it succeeded.
bool accepted(OH_AudioStream_Result result, const char* call, long value) {
  if (result == AUDIOSTREAM_SUCCESS) return true;
  SLOG("OhosRecorder::start: %s(%ld) refused: %d", call, value, static_cast<int>(result));
  return false;
}

}  // namespace

OhosRecorder::OhosRecorder()
    : Recorder(),
      builder(nullptr),
      callbacks(),
      audioCapturer(nullptr),
      pid_(pthread_t()),
      unjoined_(),
      has_unjoined_(false),
      delivered_(0) {}

OhosRecorder::~OhosRecorder() {
  OhosRecorder::stop();
  if (has_unjoined_) {
    pthread_join(unjoined_, nullptr);
    has_unjoined_ = false;
  }
}

bool OhosRecorder::init() {
  return true;
}

bool OhosRecorder::deinit() {
  return true;
}

bool OhosRecorder::start(const Body* player, fetch_cb cb, int audioRecordSource) {
  // A run the platform ended is released first: its capturer, its thread, its pile and pool.
  if (ended_.load() && !is_working()) OhosRecorder::stop();
  // A run stopped from its own fetch_cb left its thread to be joined and its pile and pool in
  // place; the thread has left its loop (or is about to), so join it before anything is freed.
  if (has_unjoined_ && !is_working()) {
    pthread_join(unjoined_, nullptr);
    has_unjoined_ = false;
  }
  const Suit* suit =
      (player != nullptr && player->suit_ != nullptr) ? player->suit_->audio() : nullptr;
  if (suit != nullptr && !is_working()) {
    const char* why = suit_stream_refusal(suit);
    // A device's capture callback holds up to 100 ms: with shorter blocks one callback could fill
    // most of the pool before the processing thread takes any.
    const uint64_t bytes_per_second = static_cast<uint64_t>(suit->sample_rate) *
                                      static_cast<uint64_t>(suit->channel_per_frame) *
                                      static_cast<uint64_t>(suit->bit_per_channel / 8);
    if (why == nullptr && suit->block * 1000 < bytes_per_second * kMinCaptureBlockMs) {
      why = "block shorter than 5 ms: the capture pool cannot carry a callback's worth";
    }
    if (why != nullptr) {
      SLOG("OhosRecorder::start refused: %s (%d Hz, %d channels, %d bits, block %zu)\n", why,
           suit->sample_rate, suit->channel_per_frame, suit->bit_per_channel, suit->block);
      player->report(kArg1AudioRecordStart, kArg2Failed, nullptr);
      return false;
    }
  }
  if (!Recorder::start(player, cb, audioRecordSource)) return false;

  bool opened = open_capturer(suit);
  // The processing thread exists before the capturer runs, so the run's start time (sts) is set
  // before the first block is cut and every block carries it.
  pthread_t thread;
  if (utils::start_thread(&thread, cprocessor3, this) == 0) {
    pid_.store(thread);
    ts_->sts = current_ts();
    player->report(kArg1AudioRecordStart, kArg2Success, nullptr);
  } else {
    SLOG("start record failed by create processor\n");
  }
  OH_AudioStream_Result started = AUDIOSTREAM_ERROR_SYSTEM;
  if (opened) started = OH_AudioCapturer_Start(audioCapturer);
  SLOG("builder:%p, OH_AudioCapturer_Start(%p)=%d", static_cast<void*>(builder),
       static_cast<void*>(audioCapturer), static_cast<int>(started));
  if (started == AUDIOSTREAM_SUCCESS && pid_.load() != pthread_t()) return true;

  // The capturer did not start (or there is no thread to process what it captures): end the run
  // and release what it made, so that the recorder is idle and a new start begins afresh.
  release_capturer();
  Recorder::stop();
  end_processor();
  delete pile_;
  pile_ = nullptr;
  delete fwrapper_;
  fwrapper_ = nullptr;
  player->report(kArg1AudioRecordStart, kArg2Failed, nullptr);
  cb_ = nullptr;
  parent_ = nullptr;
  return false;
}

bool OhosRecorder::open_capturer(const Suit* suit) {
  if (!accepted(OH_AudioStreamBuilder_Create(&builder, AUDIOSTREAM_TYPE_CAPTURER),
                "OH_AudioStreamBuilder_Create", AUDIOSTREAM_TYPE_CAPTURER)) {
    return false;
  }
  SLOG("OH_AudioStreamBuilder_Create, builder:%p, result=%d", static_cast<void*>(builder), 0);
  OH_AudioStream_Result latency =
      OH_AudioStreamBuilder_SetLatencyMode(builder, AUDIOSTREAM_LATENCY_MODE_NORMAL);
  SLOG("OH_AudioStreamBuilder_SetLatencyMode, builder:%p, result=%d", static_cast<void*>(builder),
       static_cast<int>(latency));
  const OH_AudioStream_SampleFormat format = sample_format(suit->bit_per_channel);
  if (!accepted(latency, "OH_AudioStreamBuilder_SetLatencyMode", AUDIOSTREAM_LATENCY_MODE_NORMAL) ||
      !accepted(OH_AudioStreamBuilder_SetCapturerInfo(builder,
                                                      AUDIOSTREAM_SOURCE_TYPE_VOICE_COMMUNICATION),
                "OH_AudioStreamBuilder_SetCapturerInfo",
                AUDIOSTREAM_SOURCE_TYPE_VOICE_COMMUNICATION) ||
      !accepted(OH_AudioStreamBuilder_SetSamplingRate(builder, suit->sample_rate),
                "OH_AudioStreamBuilder_SetSamplingRate", suit->sample_rate) ||
      !accepted(OH_AudioStreamBuilder_SetChannelCount(builder, suit->channel_per_frame),
                "OH_AudioStreamBuilder_SetChannelCount", suit->channel_per_frame) ||
      !accepted(OH_AudioStreamBuilder_SetSampleFormat(builder, format),
                "OH_AudioStreamBuilder_SetSampleFormat", suit->bit_per_channel)) {
    return false;
  }
  if (format == AUDIOSTREAM_SAMPLE_S16LE) {
    // 40 ms of audio per capture callback, in sample frames. The platform may ignore it and
    // deliver its own size: the pile buffer cuts blocks from callbacks of any length.
    const int32_t frame = suit->sample_rate / 25;
    if (!accepted(OH_AudioStreamBuilder_SetFrameSizeInCallback(builder, frame),
                  "OH_AudioStreamBuilder_SetFrameSizeInCallback", frame)) {
      return false;
    }
  }
  OH_AudioStream_Result encoding =
      OH_AudioStreamBuilder_SetEncodingType(builder, AUDIOSTREAM_ENCODING_TYPE_RAW);
  SLOG("OH_AudioStreamBuilder_SetFrameSizeInCallback, builder:%p, result=%d",
       static_cast<void*>(builder), static_cast<int>(encoding));
  if (!accepted(encoding, "OH_AudioStreamBuilder_SetEncodingType", AUDIOSTREAM_ENCODING_TYPE_RAW)) {
    return false;
  }
  callbacks.OH_AudioCapturer_OnReadData = OH_AudioCapturer_OnReadData_func;
  callbacks.OH_AudioCapturer_OnStreamEvent = OH_AudioCapturer_OnStreamEvent_func;
  callbacks.OH_AudioCapturer_OnInterruptEvent = OH_AudioCapturer_OnInterruptEvent_func;
  callbacks.OH_AudioCapturer_OnError = OH_AudioCapturer_OnError_func;
  OH_AudioStream_Result registered =
      OH_AudioStreamBuilder_SetCapturerCallback(builder, callbacks, this);
  SLOG("OH_AudioStreamBuilder_SetCapturerCallback, builder:%p, result=%d",
       static_cast<void*>(builder), static_cast<int>(registered));
  if (!accepted(registered, "OH_AudioStreamBuilder_SetCapturerCallback", 0)) return false;
  OH_AudioStream_Result generated = OH_AudioStreamBuilder_GenerateCapturer(builder, &audioCapturer);
  SLOG("OH_AudioStreamBuilder_GenerateCapturer, builder:%p, audioCapturer:%p, result=%d",
       static_cast<void*>(builder), static_cast<void*>(audioCapturer), static_cast<int>(generated));
  return accepted(generated, "OH_AudioStreamBuilder_GenerateCapturer", 0) &&
         audioCapturer != nullptr;
}

void OhosRecorder::release_capturer() {
  if (audioCapturer != nullptr) {
    OH_AudioCapturer_Stop(audioCapturer);
    OH_AudioCapturer_Flush(audioCapturer);
    OH_AudioCapturer_Release(audioCapturer);
    audioCapturer = nullptr;
  }
  if (builder != nullptr) {
    OH_AudioStreamBuilder_Destroy(builder);
    builder = nullptr;
  }
}

void OhosRecorder::end_processor() {
  const pthread_t thread = pid_.load();
  if (thread == pthread_t()) return;
  if (queue_ != nullptr) queue_->fin();
  if (pthread_equal(thread, pthread_self())) {
    // Called from fetch_cb: the thread leaves its loop when the callback returns; it is joined
    // by the next start, stop or the destructor.
    unjoined_ = thread;
    has_unjoined_ = true;
  } else {
    pthread_join(thread, nullptr);
  }
  pid_.store(pthread_t());
}

bool OhosRecorder::stop() {
  // No block arrives once the capturer is stopped.
  release_capturer();
  const bool on_processor =
      pid_.load() != pthread_t() && pthread_equal(pid_.load(), pthread_self());
  // A run the platform ended has already stopped working; what it holds is released here.
  const bool ended = ended_.exchange(false);
  if (!Recorder::stop() && !ended) return true;
  end_processor();
  if (!on_processor) {
    if (has_unjoined_) {
      pthread_join(unjoined_, nullptr);
      has_unjoined_ = false;
    }
    // The processing thread has left its loop: nothing uses the pile or the pool any more.
    delete pile_;
    pile_ = nullptr;
    delete fwrapper_;
    fwrapper_ = nullptr;
  }
  for (FILE** f : {&rec_file_, &aec_file_, &agc_file_}) {
    if (*f != nullptr) std::fclose(*f);
    *f = nullptr;
  }
  return true;
}

void OhosRecorder::process(Frame* frame, const Suit& suit, EncodeType type) {
  Body* body = const_cast<Body*>(parent_);
  if (suit.channel_per_frame == 1 && suit.bit_per_channel == 16) {
    if (suit.enable_aec && body->aec_ != nullptr && body->audio_working()) {
      body->aec_->output_for_aec(frame);
    }
    if (suit.enable_ns && ns_ != nullptr) ns_->ns(frame);
  }
  // The gain chain reads 16-bit samples: other widths pass unchanged.
  if (suit.bit_per_channel == 16) {
    auto_adjust_pcm(frame->data, frame->size, type, type, gain_type_.load(), gain_.load());
  }
  deliver(frame->data, frame->size, frame->ts != nullptr ? frame->ts->ts : 0);
  delivered_.fetch_add(1);
}

// The processing loop never logs, allocates or sleeps of its own accord (the canceller may wait
// for far-end audio); it counts what it does.
void* cprocessor3(void* handle) {
  OhosRecorder* recorder = static_cast<OhosRecorder*>(handle);
  pthread_setname_np(pthread_self(), "marlin-capture");
  if (recorder->parent_ == nullptr || recorder->parent_->suit_ == nullptr) return nullptr;
  const Suit* suit = recorder->parent_->suit_->audio();
  if (suit == nullptr) return nullptr;
  const EncodeType type = suit->bit_per_channel == 16 ? kETypeS16 : kETypeS8;
  utils::BlockedQueue<Frame>* queue = recorder->queue_;
  FrameWrapper* pool = recorder->fwrapper_;
  while (recorder->is_working()) {
    Frame* frame = queue->poll();
    if (frame == nullptr) break;
    recorder->process(frame, *suit, type);
    pool->delete_frame(frame);
    recorder->counters_.delivered.fetch_add(1, std::memory_order_relaxed);
  }
  return nullptr;
}

int32_t OH_AudioCapturer_OnReadData_func(OH_AudioCapturer*, void* userData, void* buffer,
                                         int32_t lenth) {
  if (userData == nullptr) return -1;
  OhosRecorder* recorder = static_cast<OhosRecorder*>(userData);
  if (recorder->is_working() && recorder->pile_ != nullptr && buffer != nullptr && lenth > 0) {
    recorder->note_delivery(static_cast<size_t>(lenth));
    recorder->pile_->append(static_cast<const byte*>(buffer), static_cast<size_t>(lenth), nullptr);
  }
  return 0;
}

// A routing change (another microphone) needs nothing of the engine.
int32_t OH_AudioCapturer_OnStreamEvent_func(OH_AudioCapturer*, void*, OH_AudioStream_Event) {
  return 0;
}

// A FORCE pause has already paused the capturer: the run stays, no block arrives until capture
// is restarted. A FORCE stop has stopped it: the run ends at once and its processing thread
// leaves. Either way the application hears of it through its handler.
int32_t OH_AudioCapturer_OnInterruptEvent_func(OH_AudioCapturer*, void* userData,
                                               OH_AudioInterrupt_ForceType type,
                                               OH_AudioInterrupt_Hint hint) {
  OhosRecorder* recorder = static_cast<OhosRecorder*>(userData);
  if (recorder == nullptr) return 0;
  const Body* body = recorder->parent_;
  if (interruption_ends_stream(type, hint)) recorder->end_by_platform();
  report_interruption(body, false, type, hint);
  return 0;
}

int32_t OH_AudioCapturer_OnError_func(OH_AudioCapturer*, void* userData,
                                      OH_AudioStream_Result error) {
  OhosRecorder* recorder = static_cast<OhosRecorder*>(userData);
  if (recorder == nullptr) return 0;
  const Body* body = recorder->parent_;
  if (error_ends_stream(error)) recorder->end_by_platform();
  report_stream_error(body, false, error);
  return 0;
}

}  // namespace audio
}  // namespace sonora
