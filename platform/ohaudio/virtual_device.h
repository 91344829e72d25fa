// Control of the desktop backends behind the platform audio stream API (<ohaudio/...>).
//
// Backend. Each stream is bound to a backend when it is generated: the virtual device (default)
// or, after use_hardware(true) in a build with PortAudio, the default PortAudio output or input
// device. The choice is made by the process through this interface only.
//
// The platform's rules, kept by every backend (the virtual device and PortAudio alike):
//
// Formats. OH_AudioStreamBuilder_SetSamplingRate accepts 8000, 11025, 12000, 16000, 22050,
// 24000, 32000, 44100, 48000, 64000 and 96000 Hz; SetChannelCount 1 .. 8. Anything else is
// refused with AUDIOSTREAM_ERROR_INVALID_PARAM and the builder keeps its previous value.
//
// Renderer request size. OH_AudioStreamBuilder_SetFrameSizeInCallback takes a number of sample
// FRAMES (one sample of every channel), not bytes. A renderer's request is that many frames,
// clamped to 20 .. 100 ms of audio (20 ms when the call was not made): 640 frames of a 16 kHz
// stream ask for 40 ms (1280 bytes of 16-bit mono), 100 frames for 20 ms. A device may also pick
// the size itself whatever the application asked: set_platform_request_ms(ms) makes every
// renderer generated afterwards ask for `ms` milliseconds of audio (ms x rate / 1000 frames), as
// the platform chooses it; 0 goes back to the builder's frames. The request size is fixed when the
// stream is generated, and a request always holds whole sample frames. What OnWriteData returns is
// ignored: the buffer is played as it was filled.
//
// Capturer callback size. A capturer ignores SetFrameSizeInCallback (the call still succeeds)
// and delivers the platform's own callback size: 20 ms of audio by default, or the
// set_capture_callback_ms(ms) in force when it was generated, any length (7 ms and 33 ms are as
// valid as 20 ms): rate x ms / 1000 frames.
//
// Microphone permission. Capture needs it (set_microphone_permission; granted by default):
// without it, OH_AudioCapturer_Start fails with AUDIOSTREAM_ERROR_ILLEGAL_STATE and the stream
// stays prepared. Renderers do not need it.
//
// Interruptions. inject_*_interrupt(AUDIOSTREAM_INTERRUPT_FORCE, PAUSE or STOP) is the system
// taking the audio away: the stream is paused (stopped) first, so its data callbacks have ended
// and OH_Audio*_GetCurrentState reports PAUSED (STOPPED) when OnInterruptEvent runs; Start
// resumes it. Every other interruption (a FORCE duck or unduck, any SHARE hint, a resume hint)
// leaves the stream running and only calls OnInterruptEvent: acting on it is the application's
// business. Errors (inject_*_error) only call OnError.
//
// Virtual renderer. Start begins requests on a thread of the stream: the first at once, then one
// every request duration (request bytes / bytes per second) on absolute CLOCK_MONOTONIC
// deadlines, so the rate does not drift; when the thread falls more than four requests (and at
// least 200 ms) behind it starts counting afresh from the present instead of catching up in a
// burst. For each request
// the buffer is filled with silence (zero bytes; 0x80 for U8), OnWriteData fills it, and then
// every byte of it is appended to the device's recording, whatever the callback returned. The
// recording is one stream shared by all renderers, in the order requests complete; it keeps the
// first 256 MiB. The audio of a request is taken to play from the moment it is requested.
//
// Virtual capturer. Delivers one callback's worth per callback duration, the first one callback
// duration after Start (a "frame" below is one such delivery). A frame is the capture source
// (set_capture_source; silence by default) plus an echo of what the renderers played plus a noise
// floor, added with 16-bit saturation (rounded to the nearest integer). Timing is by the wall
// clock: a capture frame delivered at time t holds the audio of [t - frame duration, t); its echo
// part is what was played during the same interval shifted back by delay_ms.
//
// Echo path. What the renderers played, as the capturer hears it (below), is convolved with the
// impulse response when one is set (set_echo_impulse_response), scaled by gain and delayed by
// delay_ms (set_echo; 0 .. 5000 ms): capture sample k carries gain x (ir * played)[k - delay].
// Without an impulse response it carries gain x played[k - delay]. The echo is mixed only when
// both the renderer and the capturer carry signed 16-bit samples. The renderers of one format
// (rate and channel count) add up; up to four formats are heard at a time (a fifth replaces the
// least recently played one). The echo reaches back about 10 s of 48 kHz stereo.
//
// Format conversion. A renderer of another format is converted to the capturer's: channels
// first when the capturer has fewer (capture channel c is the mean of the played channels i with
// i % capture channels == c: stereo into a mono microphone is (L + R) / 2), then the rate (the
// speexdsp resampler, quality 5: the error is some 80 dB below a 1 kHz tone), then channels
// when the capturer has more (capture channel c is played channel c % played channels: mono into
// stereo is duplicated). The conversion adds no delay: capture frame j is aligned with the
// played audio at time j / capture rate, so delay_ms stays the acoustic delay. To do so the
// resampler reads ahead of that time by its half filter length (quality 5: 40 played samples at
// 44.1 -> 48 kHz, about 1 ms; 120 at 48 -> 16 kHz, 2.5 ms); on the wall clock, audio that has not
// been played yet by then (only possible when delay_ms is smaller) counts as silence. The
// impulse response adds no delay either. With equal formats nothing is converted.
//
// Noise floor (set_capture_noise). White Gaussian noise of the given RMS added to every captured
// sample of a signed 16-bit capturer, with or without echo. Each capturer starts the seed's
// sequence afresh with its first frame after set_capture_noise or after it was generated; in
// manual-clock mode a given seed therefore gives the same samples every time.
//
// The echo and noise settings may be changed from any thread while streams run; each capture
// frame uses the settings current when it began.
//
// Cost. The echo path runs on the capturer's thread (the pumping thread in manual-clock mode).
// The impulse response is applied by partitioned FFT convolution: a 150 ms response at 48 kHz
// takes about 10 ms of one core per second of mono capture in an optimised build. The filter's
// history is rebuilt from what was played (about one response length of work) when the echo is
// turned on, the response changes, the delay grows, a renderer of a new format is heard or the
// capturer's clock jumps.
//
// Pause, Stop, Release. Requests stop; the stream's thread is joined, and a callback in progress
// has returned before the call returns (see native_audiorenderer.h). Start after Pause or Stop
// resumes requests with a fresh time base. Flush keeps the state; the virtual device buffers
// nothing, so there is nothing for it to discard.
//
// Manual clock. Streams started while set_manual_clock(true) is on run no thread; pump_render and
// pump_capture run their requests on the calling thread. Their sample clocks start at 0 and
// advance by one request per pump, so the echo is exact: with equal formats and no impulse
// response, capture sample k carries gain x rendered sample k - delay bit for bit; with an
// impulse response it is exact to within float rounding (at most one 16-bit step).
//
// Hardware (PortAudio). A renderer opens an output device when it starts, a capturer an input
// device: the default ones, or the first whose name contains the text given to
// use_hardware_device (case-insensitive). The renderer calls OnWriteData with request-size
// buffers in the stream's format, the capturer delivers callback-size buffers in the stream's
// format (both sized by the platform's rules above), through small FIFOs when PortAudio asks for or
// delivers a different amount. When the device offers the stream's rate and channel count the
// stream is opened in its own format. Otherwise the device is opened with float samples at a rate
// it offers (the stream's, else the device's default rate, else 48000 or 44100 Hz) and a channel
// count it offers (the stream's, else the device's maximum up to 2), and the backend converts both
// ways: channels are downmixed by averaging (device channel c is the mean of the stream channels i
// with i % device channels == c) or upmixed by duplication (channel c is channel c % channels), the
// rate by the speexdsp resampler (quality 5); the delay this adds (half the resampler's filter,
// under 10 ms for the rates 8000 .. 48000 Hz) is reported by hardware_conversion_latency_ms.
// When the device cannot be found, opened or started, Start returns AUDIOSTREAM_ERROR_SYSTEM
// and one error line (tag "ohaudio") names the device and the reason. Hardware streams record
// nothing and do not take part in pumping, injection or echo. When PortAudio is not built in,
// streams generated while use_hardware(true) is on fail to start with AUDIOSTREAM_ERROR_SYSTEM.
//
// The audio libraries' own messages (ALSA, JACK, and what PortAudio writes to standard error
// while it initialises) go to the log at info level (tags "alsa", "jack", "portaudio"), not to
// the terminal. PortAudio is initialised once per process, on first use; a sound server started
// later is not seen by that process. On JACK the process is the client "marlin-PID" (PID: its
// process id); a stream's ports are PortAudio's out_N / in_N of that client.
//
// Start faults apply to every stream; pumping, injection and jitter to virtual streams only.
// All functions are thread-safe. A callback may call them too, but must not pump or inject into
// the stream that is running it.
#ifndef OHAUDIO_VIRTUAL_DEVICE_H
#define OHAUDIO_VIRTUAL_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vdev {

// Drops the recording, request counters and results, the capture source, the echo settings
// (delay, gain, impulse response, what was played), the noise floor, the callback jitter and
// pending start faults, and restores the platform's choices (request size as the builder asks,
// 20 ms capture callbacks, microphone permission granted). Keeps the backend choice and the
// manual clock.
void reset();
// The platform's choices (see the top of this file). They apply to streams generated afterwards
// (the permission: to capturer starts afterwards), on every backend.
// Renderer requests of `ms` milliseconds whatever the builder asked (clamped to 0 .. 1000; 0: the
// builder's frames, clamped to 20 .. 100 ms).
void set_platform_request_ms(int ms);
// Capturer callbacks of `ms` milliseconds (1 .. 1000; 0 or less restores 20).
void set_capture_callback_ms(int ms);
// Whether the application holds the microphone permission.
void set_microphone_permission(bool granted);
// Whether the device keeps what it rendered and captured (for rendered() and captured(); on by
// default). A long run turns it off so that the recordings (up to 256 MiB each) do not count in its
// memory. reset() keeps the setting.
void set_recording(bool on);
// How long the library's data callbacks took on virtual streams since reset(), in microseconds:
// median, 99th and 99.9th percentile (1 us resolution up to 4096 us; longer ones count as 4096)
// and the longest. All zero when no callback ran.
struct CallbackTimes {
  uint64_t count = 0;
  double p50_us = 0, p99_us = 0, p999_us = 0, max_us = 0;
};
CallbackTimes callback_times(bool renderer);
// Copy of everything rendered so far (since reset()), in order.
std::vector<uint8_t> rendered();
// Copy of everything the virtual capturers delivered since reset() (the microphone signal,
// source plus echo plus noise, before the library processed it), in order; first 256 MiB.
std::vector<uint8_t> captured();
// The next renderer (capturer) Start returns `result` once and the stream does not run;
// 0 clears a pending fault.
void fail_next_renderer_start(int result);
void fail_next_capturer_start(int result);
// Capture source as raw bytes of the capturer's format, taken in order by every capturer; at the
// end it starts again (loop) or gives silence.
void set_capture_source(std::vector<uint8_t> pcm, bool loop);
// Echo of the renderers in the captured audio: delay in milliseconds (clamped to 0 .. 5000) and
// linear gain; gain 0 (or not finite) turns it off. Takes effect with the next capture frame.
void set_echo(int delay_ms, float gain);
// Impulse response of the path from the speakers to the microphone, in taps at the capturer's
// rate (tap 0 at delay_ms), applied to every capture channel; empty restores the plain delayed
// echo. Refused (false, the previous response kept) when it has more than 65536 taps or a tap is
// not finite. Takes effect with the next capture frame.
bool set_echo_impulse_response(std::vector<float> ir);
// A synthetic room response for set_echo_impulse_response: length_ms of taps at `rate` Hz, 1.0
// at tap 0 (the direct path), then a decaying tail of white Gaussian noise from `seed` whose
// envelope falls 60 dB in rt60_ms, scaled so that the direct path's energy is drr_db above the
// tail's (direct-to-reverberant ratio). The same arguments give the same response. Empty when an
// argument is out of range: rate <= 0, length_ms < 1, rt60_ms <= 0, drr_db not finite, or more
// than 65536 taps.
std::vector<float> room_impulse_response(int rate, int length_ms, int rt60_ms, float drr_db,
                                         uint32_t seed);
// Noise floor of the microphone: white Gaussian noise of RMS rms_dbfs dB relative to full scale
// (0 dBFS = 32768, so -60 dBFS is an RMS of 32.8), drawn from `seed`. -infinity turns it off.
// Refused (false, the previous setting kept) when rms_dbfs is NaN or above 0. Takes effect with
// the next capture frame.
bool set_capture_noise(float rms_dbfs, uint32_t seed);
// ---- Hardware backend (PortAudio) ----
// true: streams generated from now on use PortAudio; false: the virtual device.
void use_hardware(bool on);
// PortAudio is built in.
bool hardware_available();

// A device PortAudio offers.
struct HardwareDevice {
  int index = -1;  // PortAudio's device index
  std::string name;
  std::string host_api;
  double default_rate = 0.0;
  int max_output_channels = 0;
  int max_input_channels = 0;
  bool default_output = false;
  bool default_input = false;
};
// Every device, in PortAudio's order; empty without PortAudio or when it cannot initialise.
std::vector<HardwareDevice> hardware_devices();
// The output (input) device hardware streams open from their next start: the first device with
// output (input) channels whose name contains the text, ignoring case; null or "" selects the
// default device.
void use_hardware_device(const char* output_substring, const char* input_substring);
// Index of the device use_hardware_device(substring) would open, or -1 with the reason in *why
// (may be null).
int find_hardware_device(const char* substring, bool output, std::string* why);

// What the hardware streams counted since reset_hardware_stats() (not reset by reset()).
struct HardwareStats {
  uint64_t render_requests = 0;     // OnWriteData calls
  uint64_t capture_deliveries = 0;  // OnReadData calls
  int32_t last_render_bytes = 0;    // size of the last request (0 when none)
  int32_t last_capture_bytes = 0;   // size of the last delivery (0 when none)
  uint64_t output_underflows = 0;   // PortAudio callbacks flagged paOutputUnderflow
  uint64_t output_overflows = 0;    // ... paOutputOverflow
  uint64_t input_underflows = 0;    // ... paInputUnderflow
  uint64_t input_overflows = 0;     // ... paInputOverflow
  uint64_t errors = 0;  // starts that failed (device not found, not opened, not started)
};
HardwareStats hardware_stats();
void reset_hardware_stats();

// The most recently opened hardware renderer (capturer) stream.
struct HardwareStreamInfo {
  bool open = false;  // one was opened since the process started
  std::string device;
  std::string host_api;
  int stream_rate = 0;
  int stream_channels = 0;
  int32_t request_bytes = 0;  // bytes of each request (delivery) in the stream's format
  int device_rate = 0;
  int device_channels = 0;
  bool converted = false;              // the device runs in another rate or channel count
  double conversion_latency_ms = 0.0;  // delay the conversion adds
  double device_latency_ms = 0.0;      // PortAudio's latency of the device stream
};
HardwareStreamInfo hardware_renderer_info();
HardwareStreamInfo hardware_capturer_info();
// Delay the format conversion adds to the most recently opened renderer or capturer, whichever
// is larger (0 when both run in their own format).
double hardware_conversion_latency_ms();
// The reason of the last hardware start that failed ("" when none failed).
std::string hardware_last_error();

// For deterministic tests.
void set_manual_clock(bool on);
// Runs up to `requests` requests of the most recently started manual-clock renderer (capturer)
// that is running, on the calling thread; returns how many ran.
int pump_render(int requests);
int pump_capture(int requests);
// Render requests made since reset().
uint64_t render_requests();
// What OnWriteData returned for each of them, in order.
std::vector<int32_t> render_results();
// Waits until render_requests() >= n; false on timeout.
bool wait_render_requests(uint64_t n, int timeout_ms);
// Bytes in the recording.
size_t rendered_size();
// Length of the last render request (0 when none since reset()).
int32_t last_request_bytes();
// Calls OnStreamEvent / OnInterruptEvent / OnError of every running virtual renderer (capturer),
// on the calling thread, never at the same time as that stream's data callback. Values the
// platform's enumerations do not hold are ignored; errors outside 1..3 arrive as
// AUDIOSTREAM_ERROR_SYSTEM.
void inject_renderer_event(int event);
void inject_renderer_interrupt(int force, int hint);
void inject_renderer_error(int error);
void inject_capturer_event(int event);
void inject_capturer_interrupt(int force, int hint);
void inject_capturer_error(int error);
// Each request of a threaded virtual stream is delayed by a random 0 .. max_ms ms after its
// deadline (0 = none). The deadlines themselves do not move.
void set_callback_jitter_ms(int max_ms);

}  // namespace vdev

#endif  // OHAUDIO_VIRTUAL_DEVICE_H
