// Control of the desktop backends behind the platform audio stream API (<ohaudio/...>).
//
// Backend. Each stream is bound to a backend when it is generated: the virtual device (default)
// or, after use_hardware(true) in a build with PortAudio, the default PortAudio output or input
// device. The choice is made by the process through this interface only.
//
// Request size. OH_AudioStreamBuilder_SetFrameSizeInCallback is taken as a number of BYTES: every
// renderer request and every capturer delivery carries exactly that many bytes, so a caller that
// passes one block gets one block per request. When it is not set, a request holds 20 ms of audio
// of the stream's format: rate x channels x bytes-per-sample / 50 bytes (bytes per sample: U8 1,
// S16LE 2, S24LE 3 (packed), S32LE 4).
//
// Virtual renderer. Start begins requests on a thread of the stream: the first at once, then one
// every request duration (request bytes / bytes per second) on absolute CLOCK_MONOTONIC
// deadlines, so the rate does not drift; when the thread falls more than four requests behind it
// starts counting afresh from the present instead of catching up in a burst. For each request
// the buffer is filled with silence (zero bytes; 0x80 for U8), OnWriteData fills it, and then
// every byte of it is appended to the device's recording, whatever the callback returned. The
// recording is one stream shared by all renderers, in the order requests complete; it keeps the
// first 256 MiB. The audio of a request is taken to play from the moment it is requested.
//
// Virtual capturer. Delivers one frame per frame duration, the first one frame duration after
// Start. A frame is the capture source (set_capture_source; silence by default) plus an echo of
// what the renderers played: the rendered sample stream delayed by delay_ms and scaled by gain
// (set_echo), added with 16-bit saturation. The echo is mixed only when both the renderer and the
// capturer carry signed 16-bit samples; rates and channel counts are not converted (samples are
// mixed as they are). Timing is by the wall clock: a capture frame delivered at time t holds the
// audio of [t - frame duration, t); its echo part is what was played during the same interval
// shifted back by delay_ms. delay_ms is limited to 0 .. 5000.
//
// Pause, Stop, Release. Requests stop; the stream's thread is joined, and a callback in progress
// has returned before the call returns (see native_audiorenderer.h). Start after Pause or Stop
// resumes requests with a fresh time base. Flush keeps the state; the virtual device buffers
// nothing, so there is nothing for it to discard.
//
// Manual clock. Streams started while set_manual_clock(true) is on run no thread; pump_render and
// pump_capture run their requests on the calling thread. Their sample clocks start at 0 and
// advance by one request per pump, so the echo is exact: capture sample k carries rendered sample
// k - delay.
//
// Hardware (PortAudio). A renderer opens the default output device when it starts and calls
// OnWriteData with request-size buffers, through a small FIFO when PortAudio asks for a different
// amount; a capturer opens the default input device and delivers frame-size buffers. When the
// device cannot be opened or started, Start returns AUDIOSTREAM_ERROR_SYSTEM. Hardware streams
// record nothing and do not take part in pumping, injection or echo. When PortAudio is not built
// in, streams generated while use_hardware(true) is on fail to start with AUDIOSTREAM_ERROR_SYSTEM.
//
// Start faults apply to every stream; pumping, injection and jitter to virtual streams only.
// All functions are thread-safe. A callback may call them too, but must not pump or inject into
// the stream that is running it.
#ifndef OHAUDIO_VIRTUAL_DEVICE_H
#define OHAUDIO_VIRTUAL_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vdev {

// Drops the recording, request counters and results, the capture source, the echo settings,
// the callback jitter and pending start faults. Keeps the backend choice and the manual clock.
void reset();
// Copy of everything rendered so far (since reset()), in order.
std::vector<uint8_t> rendered();
// The next renderer (capturer) Start returns `result` once and the stream does not run;
// 0 clears a pending fault.
void fail_next_renderer_start(int result);
void fail_next_capturer_start(int result);
// Capture source as raw bytes of the capturer's format, taken in order by every capturer; at the
// end it starts again (loop) or gives silence.
void set_capture_source(std::vector<uint8_t> pcm, bool loop);
// Echo of the renderers in the captured audio; gain 0 turns it off.
void set_echo(int delay_ms, float gain);
// true: streams generated from now on use PortAudio; false: the virtual device.
void use_hardware(bool on);
// PortAudio is built in.
bool hardware_available();

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
// Calls OnStreamEvent / OnInterruptEvent / OnError of every running virtual renderer, on the
// calling thread.
void inject_renderer_event(int event);
void inject_renderer_interrupt(int force, int hint);
void inject_renderer_error(int error);
// Each request of a threaded virtual stream is delayed by a random 0 .. max_ms ms after its
// deadline (0 = none). The deadlines themselves do not move.
void set_callback_jitter_ms(int max_ms);

}  // namespace vdev

#endif  // OHAUDIO_VIRTUAL_DEVICE_H
