// The sonora audio engine: one class per player instance.
//
//   sonora::audio::Suit audio = {};            // 16-bit mono 16 kHz, 20 ms blocks
//   audio.type = sonora::audio::kTypeRawPCM;
//   audio.sample_rate = 16000; audio.channel_per_frame = 1; audio.bit_per_channel = 16;
//   audio.block = 640;
//   sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &audio, nullptr);
//   sonora::Sonora player(&suit, &my_handler);   // my_handler derives from utils::Handler
//   player.enable_audio(true);                   // the handler receives kArg1AudioPlayerStart
//   player.append_audio_data(pcm, bytes, nullptr);
//
// Appends are accepted (true) or refused (false), never silently dropped: keep the backlog
// (audio_left()) small, the renderer thins it when it grows past twice buffer_frame_count.
//
// Threads. Every call on one instance may be made from any application thread, at any time,
// concurrently with any other call on it, except the destructor:
//  - enable_audio, start_record_audio and stop_record_audio (the calls that start or stop
//    playback and capture) are serialised by the instance; start_record_audio and
//    stop_record_audio are also serialised across instances, since capture uses the process's
//    one recorder.
//  - Every other playback call works on the playback that exists when it starts, or is refused
//    (false, 0 or nothing done) when there is none. enable_audio(false) waits for the calls in
//    flight, ends a mute delay in progress at once, and then stops.
//  - The destructor stops capture and playback the same way; the application must not call the
//    instance from other threads once its destruction has begun, nor destroy it from a handler
//    or capture callback of its own.
//  - Events reach the handler on the handler's own thread; captured blocks reach the fetch_cb
//    on the capture processing thread. Neither runs on the calling thread.
//  - From inside fetch_cb: stop_record_audio (the run ends once fetch_cb returns), the capture
//    volume calls, capture_dropped, get_aec_status and every playback call work;
//    start_record_audio is refused (restart capture from another thread); enable_audio,
//    stop_record_audio, init and deinit are refused (false, one log line) when another thread
//    is starting or stopping at that moment, since it may be waiting for this very fetch_cb.
//    fetch_cb must not destroy its instance, and should return quickly: capture waits for it,
//    and blocks it falls behind by more than 64 are lost (capture_dropped).
// No call allocates or blocks on the renderer's thread; only add_mute_delay_blocked (and the
// sound configuration calls) block the caller for long.
//
// Events. The handler's handle(what = the suit's window, arg1, arg2, obj) runs on the handler's
// own thread, never on the caller's or an audio thread. arg1 names the stream: kArg1AudioPlayer*
// for playback, kArg1AudioRecord* for capture.
//   kArg1AudioPlayerStart / kArg1AudioRecordStart, kArg2Success or kArg2Failed: the start
//     outcome (enable_audio(true), start_record_audio).
//   kArg1AudioPlayerWorking, kArg2AutoStop: an auto-stop playback has played out.
//   Interruptions (another app or a call takes the audio); obj points to a const Interruption
//   (types.h) with the platform's force type and hint, valid for the life of the process:
//     FORCE stop: ...Stop, kArg2Fin. The system has stopped the stream and the engine has ended
//       it: after a playback stop audio_working() is false and appends are refused (false, one
//       log line) until enable_audio(true) starts playback anew (enable_audio(false) releases it);
//       after a capture stop no block is delivered, the processing thread has left, the
//       microphone is free for any instance, and start_record_audio starts capture anew
//       (stop_record_audio releases what is left and returns true).
//     FORCE pause: ...Working, kArg2Mute. The system has paused the stream. Playback stays
//       working and queues appends; resume() plays them. Capture delivers nothing until it is
//       restarted (stop_record_audio, then start_record_audio).
//     FORCE duck: ...Working, kArg2Mute; FORCE unduck: ...Working, kArg2Success. The system
//       has lowered (restored) the volume; nothing else changes.
//     A resume hint, and every SHARE interruption: ...Working, with kArg2Mute (pause, duck),
//       kArg2Fin (stop) or kArg2Success (resume, unduck, none). Nothing changes by itself: the
//       application decides (pause(), resume(), enable_audio, stop_record_audio ...).
//   Stream errors (obj null): ...Working, kArg2Error when the stream goes on (nothing changes);
//     ...Stop, kArg2FatalError when it cannot (a system error): the engine ends the stream
//     exactly as after a FORCE stop.
#ifndef SONORA_SONORA_H
#define SONORA_SONORA_H

#include <cstddef>

#include "handler.h"
#include "play_suit.h"
#include "types.h"

namespace sonora {

class Body;

class Sonora {
 public:
  static const char* version();
  // Process set-up: creates the audio factory (keeping `debug_path`) and opens the automatic
  // gain control; call once, before any player instance captures. Refused (false, one log line)
  // while an instance captures. Not thread-safe against itself and deinit.
  static bool init(const char* debug_path);
  // Process tear-down, after every player instance is gone: releases the factory and the
  // recorder and closes the gain control. Refused (false, one log line) while an instance
  // captures or while any player instance exists; true otherwise, also before any init.
  static bool deinit();
  // Sound-wave configuration: plays `config` as tones (gen_sound_config: multi-frequency at
  // 44100 Hz; gen_sound_config2: single tones with a checksum at 48000 Hz) `times` times through
  // a temporary player of its own, blocking the calling thread until the transmission has played
  // out. One call plays at a time: a call made while another runs waits for its turn. A text of
  // null, times <= 0 or (gen_sound_config2) a text too long for the encoder is refused at once
  // with one log line. Any thread.
  static void gen_sound_config(const char* config, int times);
  static void gen_sound_config2(const char* data, int times);
  // Ends every sound configuration call that began before it returns (the running one, those
  // waiting for their turn, one still starting); each returns within about 100 ms, having sent
  // no more. A call made afterwards runs normally. Any thread, also when nothing runs.
  static void stop_sound_config();

  // Copies `suit` (the caller keeps its own); `handler` (may be null, then nothing is reported)
  // is not owned and must outlive the player instance.
  Sonora(const PlaySuit* suit, utils::Handler* handler);
  // Stops capture (when this instance started it) and playback, waiting for calls in flight.
  virtual ~Sonora();

  Sonora(const Sonora&) = delete;
  Sonora& operator=(const Sonora&) = delete;

  // true starts playback: true when the renderer runs; the handler receives
  // (kArg1AudioPlayerStart, kArg2Success or kArg2Failed). A suit that cannot be played as asked
  // (rate or channel count the device refuses, sample size other than 8/16/24/32 bits, negative
  // buffer_frame_count, a block of 0, over one second, or not a whole number of sample frames)
  // fails to start, with one log line naming the reason; after a failure a new start may be made
  // at once. false stops playback (dropping what is queued); false when nothing changed.
  bool enable_audio(bool enable);
  bool audio_working();
  // Blocks queued for playback.
  size_t audio_left();
  // Copies `size` bytes (cut into blocks of the suit's block size; a partial block waits for the
  // next append or flush) with an optional timestamp. true: queued, every block will be played
  // unless the application drops it (clean_buffer, mute delay, stop) or the renderer thins a
  // backlog beyond twice buffer_frame_count. false: nothing queued, because playback is not
  // working, is muted, an auto-stop playback has played out, 50 blocks are outstanding, the chunk
  // needs more blocks than are free, or a coded chunk has the wrong size.
  bool append_audio_data(const byte* data, size_t size, const TSSuit* ts);
  // Pause and resume the renderer: pausing stops its requests, the queue is kept and appends are
  // still taken; resume restarts the renderer (also after the system paused it). Both return
  // false when playback is not working.
  bool pause();
  bool resume();
  // Queues a partial block as a short block.
  void flush();
  // Drops what is queued and refuses appends for `ms` milliseconds; blocks the caller that long,
  // or until playback stops.
  bool add_mute_delay_blocked(unsigned int ms);
  void clean_buffer();
  // Track gain applied to 16-bit PCM as it is played (saturating). NaN and infinity are refused
  // (false) and the previous gain stays.
  bool adjust_track_volume(float gain);

  // Starts capturing: every processed block (echo cancelled, denoised and gained as the suit and
  // the capture volume ask) is handed to `callback(data, block, ts)` on the capture processing
  // thread; `data` is valid only during the call. false when capture could not start or another
  // instance captures. The handler receives (kArg1AudioRecordStart, ...).
  bool start_record_audio(fetch_cb callback, int audioRecordSource);
  // Stops this instance's capture and its processing thread; no callback runs after it returns.
  // false when this instance is not capturing (another instance's capture is left alone). May be
  // called from inside this instance's fetch_cb.
  bool stop_record_audio();
  // Capture gain, for 16-bit suits only (other widths are delivered as captured; the calls are
  // refused with one log line). Gain type 4: the automatic gain control, `gain` its maximum gain
  // in dB, 0 .. 60 (outside refused); it opens on first use when init was not called. Other
  // types: a fixed linear gain weighted by loudness. false while not capturing.
  bool adjust_capture_volume(float gain);
  bool adjust_capture_volume_type(int gain_type);
  // The echo canceller's status, owned by the instance, valid while it lives. The capture thread
  // updates `leap`, `tid` and `delay` while capture runs; read them with relaxed atomic loads
  // (__atomic_load_n(&status->leap, __ATOMIC_RELAXED)) or after stop_record_audio. `delay` is
  // the echo path the canceller has found, in ms: how long after the far end it is fed with its
  // echo reaches the microphone (-1 while none is known; 0 before capture).
  const audio::AecStatus* get_aec_status();
  // Chooses the echo canceller for this instance's next playback and capture (the mobile one
  // until this is called). Only while neither playback nor capture works, and only a canceller
  // that can serve the suit (16-bit mono, echo cancellation enabled, blocks of whole 10 ms, a rate
  // the canceller takes) and exists in this build; otherwise refused with one log line and the
  // current canceller kept. The suit is not changed. Application thread, not from fetch_cb.
  bool use_echo_canceller(EchoCanceller canceller);
  // Captured blocks of the current (or last) capture run that were lost because fetch_cb fell
  // behind by a whole pool (64 blocks): they are counted here, and the first loss of each stretch
  // is reported as (kArg1AudioRecordWorking, kArg2Failed). 0 before this instance captured. Any
  // thread, fetch_cb included.
  uint64_t capture_dropped();

  // Video, recording to file, screenshots and pure colour are not supported: they do nothing.
  bool enable_video(bool enable);
  bool video_working();
  size_t video_left();
  bool append_video_data(const byte* data, size_t size, FrameType type, const TSSuit* ts);
  bool start_record_to_mp4(const char* path);
  bool stop_record_to_mp4();
  bool try_fast_forward();
  bool request_pure_color(const video::Color* color);
  bool screenshot(const char* path, bool thumb);

 private:
  friend class Body;  // the sound configuration calls look at their temporary player's playback
  Body* body_;
};

}  // namespace sonora

#endif  // SONORA_SONORA_H
