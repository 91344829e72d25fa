// Multi-frequency transmitter: sends a short text as a sequence of four-tone symbols.
//
// One symbol is 10 ms of silence followed by a 20 ms tone frame holding four of the eleven tones
// of data.h. Symbols 0-255 are the text's bytes (48-57 double as the digits of the length field),
// 294 marks the start and 295 the end of a message. One pass at 44100 Hz is:
//   10 silence frames (100 ms);
//   header: 294 294 h t u h t u, where htu are the decimal digits of (characters + 10);
//   one symbol per character;
//   295 twice;
//   10 silence frames.
// Every symbol goes out as one silence frame (fs / 100 samples) followed by its tone frame
// (fs / 50 samples). `encode` sends three passes back to back, so a pass of n characters lasts
// 8820 + 1323 * (n + 10) samples and delivers 10 + 2 * (n + 10) + 10 frames.
//
// Frames reach the callback synchronously, in order, on the thread that called `encode`, one call
// per frame. The two frame buffers are reused, so the callback consumes or copies the samples
// before it returns; a callback that blocks paces the transmission. Only one transmission may run
// at a time in a process (the callback is held in one module-level variable).
#ifndef TRANSMIT_TRANSMIT_H
#define TRANSMIT_TRANSMIT_H

#include <stddef.h>

#include "data.h"

#ifdef __cplusplus
extern "C" {
#endif

// Receives one frame of 16-bit mono PCM: `size` bytes at `data`.
typedef void (*fetch_cb)(const void* data, size_t size);

// The longest text one header can announce: the length field is three digits of (n + 10).
#define SOUND_WAVE_TRANSMIT_MAX_CHARS 989

// Sends the NUL-terminated text `info` three times through `cb` at 44100 Hz; returns 0. Returns -1
// and sends nothing when `info` is null, or when the text is longer than
// SOUND_WAVE_TRANSMIT_MAX_CHARS (it prints "input length error!!!": its length cannot be
// announced, so no receiver could take it).
int encode(const char* info, fetch_cb cb);

// Prepares the state for sample rate `fs`: frame_dis = fs / 100, frame_length = fs / 50, both
// buffers allocated and zero-filled. The tone rows hold 882 samples (20 ms at 44100 Hz); at a
// higher rate the rest of a tone frame stays silent.
void sound_wave_transmit_init(sound_wave_transmit_s* sound_wave_transmit_sp, int fs);

// Releases both buffers and sets their pointers to null.
void sound_wave_transmit_free(sound_wave_transmit_s* sound_wave_transmit_sp);

// Writes the digits of (input_length + 10) as ASCII symbols to header positions 2-4 and 5-7. A
// digit out of 0-9 prints "input length error!!!" and leaves its two positions unchanged.
void sound_wave_transmit_addinfo(int input_length, int* pre_input);

// Builds the tone frame of symbol `input` (0-329) in frame_signal: the sum of its four tone rows,
// truncated toward zero. A symbol outside the table gives a silent frame.
void sound_wave_transmit_ceartMF(sound_wave_transmit_s* sound_wave_transmit_sp, int input);

// Emits one pass through `fetchd` (samples, sample count): the 8 header symbols of `pre_input`,
// `input_length` symbols of `input`, the end marker twice, with the leading and trailing
// silences. Nothing is emitted when `fetchd` is null.
void sound_wave_transmit_enccore(sound_wave_transmit_s* sound_wave_transmit_sp, int* pre_input,
                                 int* input, int input_length, void (*fetchd)(short*, int));

// Hands `length` samples to the callback of the transmission under way, if there is one.
void fetchd_cb_func(short* input, int length);

#ifdef __cplusplus
}
#endif

#endif  // TRANSMIT_TRANSMIT_H
