// Streaming decoder of the multi-frequency sound-wave configuration format (the listening
// device's side of transmit/transmit): microphone PCM in, configuration texts out.
//
// On the air: every 30 ms a symbol, 10 ms of silence and then a 20 ms raised-cosine burst of
// four simultaneous tones out of eleven (10000 + 200 k Hz, k = 0..10); the 330 four-tone subsets
// in lexicographic order are the symbols. Symbols 0-255 are bytes, 294 starts and 295 ends a
// message. A pass is: 100 ms silence, 294 294, the three decimal digits of (length + 10) twice
// (as the symbols of the ASCII digits), one symbol per byte, 295 295, 100 ms silence. A
// transmission is three passes back to back.
//
// How it listens: the band is mixed down to baseband around 11 kHz and decimated to about
// 3.7 kHz. A start pair is searched every 5 ms with matched raised-cosine windows at five clock
// offsets between -1% and +1% (a sender/receiver clock mismatch scales every tone and the
// symbol rate alike); once found, start time and clock offset are refined jointly on both start
// symbols. Symbols are then read one by one: each is measured at a few start times around its
// predicted one (up to +-3.3 ms) and read at the best; a second-order loop follows the timing
// (drift, playback stalls and skips). Per symbol each tone's share of the eleven tone energies is
// the mean of its share over the whole tone frame and over the frame's middle half (in a room the
// frame's edges hold the most of the symbols before); the shares are cleaned of the room's
// colouring (each tone divided by its level in earlier symbols that used it), the room's tail
// of the two symbols before is taken off their tones (how much of each tone rings on one and two
// symbols later is learnt from the decided symbols), and the shares are normalised to sum 1: the
// symbol's soft value. The two
// copies of the length field give the candidate lengths (each digit read as the best digit; a
// pass close behind accepted ones may also have their length); a pass is accepted only when the
// end symbols, and no end symbol just before them, stand where a candidate says (one of them may
// lose a little to a byte). Accepted passes of
// the same length whose starts follow the previous end within 0.6 s (three per transmission,
// more when the transmission is repeated) are combined unless most of their bytes differ: per
// position the soft values are summed and the byte whose four tones collect the most is taken.
// The format has no checksum, so the text is reported only when the decoder is sure of every byte:
// at least two passes read it on their own and the sums put it clearly above the next best byte
// (a text heard in one pass only needs a wide margin on every symbol, length field and end symbols
// included). Otherwise nothing is reported and texts_rejected() counts it: in noise a few dB
// stronger than the one in which texts stop coming through, nothing rather than a wrong text. In
// a reverberant room the passes repeat the same error (the room rings the same way each time), so
// agreement alone does not catch errors there; the room reading below does.
// Before a text of two passes or more is reported, the passes are read again with the room
// known: the transmitter keeps every tone's phase running, so a room gives each tone one complex
// response per symbol of delay. Every symbol is measured again at the times the pass's clock
// offset gives (the times it was read at wander in a room), the rest of the clock offset is found
// where the tones add up in phase, the response is fitted per tone over all passes (start pair,
// length field and end pair known, the bytes as read), and each byte is read from its own frame
// and from the ringing it leaves in the frames after it, the ringing of every other symbol taken
// off; then again with the new bytes. Such a reading is sure when the passes agree, every byte
// stands clear of the next best by 0.15 of what a clean symbol gives in that room, and no rival
// byte explains the passes about as well once the room is fitted around it instead. Where the
// fit explains too little (a player that skips or stalls, passes with different bytes, deep
// noise) the passes' own reading stands.
// The text is reported once no further pass starts within 0.6 s, or at flush().
//
// Not thread-safe: feed, flush, reset and take_texts belong to one thread. The callback runs
// inside feed or flush.
#ifndef RECEIVER_MF_DECODER_H
#define RECEIVER_MF_DECODER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace receiver {

class MfDecoder {
 public:
  using Text = std::vector<uint8_t>;
  // Receives each decoded text (any byte values, possibly empty) and the number of passes that
  // were combined to get it.
  using TextCallback = std::function<void(const Text& text, int passes)>;

  // `sample_rate` of the PCM that will be fed: 32000 to 192000 Hz (44100 and 48000 are the usual
  // capture rates); any other rate gives a decoder that is not valid() and ignores its input.
  // Without a callback, decoded texts are queued for take_texts().
  explicit MfDecoder(int sample_rate, TextCallback on_text = nullptr);
  ~MfDecoder();
  MfDecoder(const MfDecoder&) = delete;
  MfDecoder& operator=(const MfDecoder&) = delete;

  bool valid() const;
  int sample_rate() const;

  // Mono 16-bit samples, in chunks of any size (0 included).
  void feed(const int16_t* pcm, size_t n);
  // End of input: the passes gathered so far are combined and reported now instead of 0.6 s of
  // audio after the last one. A pass still being read is dropped.
  void flush();
  // Forgets everything heard so far (statistics too).
  void reset();

  // Texts decoded since the last call (only used when there is no callback).
  std::vector<Text> take_texts();

  // Texts reported so far.
  size_t decoded() const;
  // Passes accepted (complete, with a length field that matched the end symbols).
  size_t passes_accepted() const;
  // Start pairs whose pass was not accepted (unreadable length field, end symbols missing).
  size_t passes_rejected() const;
  // Texts not reported because the decoder was unsure of a byte (see above).
  size_t texts_rejected() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace receiver

#endif  // RECEIVER_MF_DECODER_H
