// Streaming decoder of the six-tone sound-wave configuration format (the listening device's
// side of utils/voiceenc): microphone PCM in, configuration texts out.
//
// On the air: codes 0-5 are triangle tones of 4800, 5333.3, 6000, 6857.1, 8000 and 9600 Hz,
// each lasting 60 periods (12.5, 11.25, 10, 8.75, 7.5 and 6.25 ms) and following each other
// without gaps. Codes 0-3 carry a dibit, 4 repeats the dibit before it, 5 separates bytes. A
// transmission is 5 5, then per byte of text-and-CRC a 5 and four dibits (most significant
// first), then the last dibit twice more. The last two bytes are the CRC-16/MODBUS of the text,
// low byte first. There is no length field: the text ends where the tones end.
//
// How it listens: every millisecond it measures the six tone energies over a 4 ms Hann window
// and scores each tone by how far it stands above the strongest other one (and, mildly, above
// its own background, so that noise with a tilted spectrum does not pass for a tone), with a
// bonus for how far it rose over the last 6 ms: in a room the tone that just ended may ring as
// loud as the direct sound of the next, and only the new one has just risen; for the same reason
// the code just before a code counts 6 dB less among the tones it must stand above, and a code's
// first 2 ms, into which the code before rings loudest, count less than the rest. A
// duration-aware Viterbi search segments the scores into codes that follow the format: a code
// lasts its own length, codes follow each other without gaps, a marker stands only between two
// equal dibits, a byte has four dibits, and tones that fit nowhere are stray. Two codes of the
// same tone are told apart by their total length. Once no plausible reading has had a separator
// for 150 ms (inside a transmission there is one at least every 80 ms), the best reading is
// parsed and a text is reported only if its CRC matches. When a transmission does not check and
// the reading took some tone for a stray one, the stretch is read once more with stray tones
// ruled out (the CRC still decides; such a reading that checks both with and without its last
// byte, a 00 that the ringing after the end may give, is not reported). A transmission is reported
// about 0.15 s after its tones end.
//
// Limits (simulated speaker-to-microphone paths): white or babble noise down to 0 dB SNR,
// player clocks 0.5 % off, player stalls of a few ms; in rooms with a reverberation time of 150
// to 400 ms and the direct sound 6 dB above the reverberation hardly any transmission is lost;
// with the direct sound 3 dB above it 9 to 17 in 100, and 40 to 80 with none above: the shortest
// codes drown in the ringing of the ones before, and a repetition has to do.
//
// Not thread-safe: feed, flush and take_texts belong to one thread. The callback runs inside
// feed or flush.
#ifndef RECEIVER_TONE_DECODER_H
#define RECEIVER_TONE_DECODER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace receiver {

class ToneDecoder {
 public:
  using Text = std::vector<uint8_t>;
  // Receives each decoded text (any byte values, possibly empty) as soon as it is complete.
  using TextCallback = std::function<void(const Text& text)>;

  // `sample_rate` of the PCM that will be fed: 22050 to 192000 Hz (44100 and 48000 are the
  // usual capture rates); any other rate gives a decoder that is not valid() and ignores its
  // input. Without a callback, decoded texts are queued for take_texts().
  explicit ToneDecoder(int sample_rate, TextCallback on_text = nullptr);
  ~ToneDecoder();
  ToneDecoder(const ToneDecoder&) = delete;
  ToneDecoder& operator=(const ToneDecoder&) = delete;

  bool valid() const { return valid_; }
  int sample_rate() const { return sample_rate_; }

  // Mono 16-bit samples, in chunks of any size (0 included).
  void feed(const int16_t* pcm, size_t n);
  // Ends the current stretch as if silence followed: a transmission whose last tones were fed
  // is decoded now instead of after the trailing silence.
  void flush();
  // Forgets everything heard so far (statistics too).
  void reset();

  // Texts decoded since the last call (only used when there is no callback).
  std::vector<Text> take_texts();

  // Transmissions whose codes were parsed but whose CRC did not match.
  size_t rejected() const { return rejected_; }
  // Texts reported so far.
  size_t decoded() const { return decoded_; }

 private:
  struct Segment {
    int label;   // 0-5 a code, 6 silence
    int frames;  // length in analysis frames
  };

  void analyse_frame();
  // One analysis frame: the six band levels (dB), then the six bonuses.
  void push_scores(const float* features);
  void build_transitions();
  void start_search();
  void decide(bool forced);
  // The codes of the best path through the frames searched so far (-1: a stray tone); empty
  // when that path holds no separator.
  std::vector<int> best_codes();
  void parse(const std::vector<int>& codes);
  void report(Text text);

  bool valid_;
  int sample_rate_;
  TextCallback on_text_;
  std::vector<Text> queue_;
  size_t rejected_ = 0;
  size_t decoded_ = 0;

  // Analysis.
  int hop_ = 0;                   // samples per frame
  int window_ = 0;                // samples per window
  std::vector<float> cos_table_;  // [code][n], Hann-weighted
  std::vector<float> sin_table_;
  std::vector<float> samples_;  // the last `window_` samples
  int pending_ = 0;             // samples since the last frame
  float energy_floor_ = 0;

  // Background level of each tone band (dB), tracked as a low percentile of its energy.
  float floor_db_[6] = {};
  float floor_min_db_ = 0;
  // The last kRiseFrames levels of each band, for how far each has risen lately.
  static constexpr int kRiseFrames = 6;
  float history_db_[kRiseFrames][6] = {};
  int history_at_ = 0;

  // Search over the frames since the last decision.
  struct Transition {
    int from;
    float cost;
  };
  float code_frames_[6] = {};  // expected length of each code in frames
  int min_frames_[6] = {};
  int max_frames_[6] = {};
  std::vector<int> state_code_;                // [state] its code, -1 for silence
  std::vector<std::vector<Transition>> from_;  // [state] the states it may follow
  std::vector<double> prefix_;                 // [boundary % ring][code, code before] cumulative
                                               // scores
  std::vector<double> best_;                   // [boundary % ring][state]
  std::vector<int> last_separator_;            // [boundary % ring][state] where the path's last
                                               // separator ended; -1 none
  std::vector<uint8_t> back_len_;              // [boundary][state]
  std::vector<uint8_t> back_prev_;             // [boundary][state]
  size_t frames_ = 0;
  // Every frame's features since the search started: read again without stray tones when a
  // transmission did not check, and the last ones replayed after a decision.
  std::vector<float> stretch_;
  bool strays_allowed_ = true;
  // Texts reported from the current stretch (a second reading reports only new ones).
  std::vector<Text> stretch_texts_;
};

}  // namespace receiver

#endif  // RECEIVER_TONE_DECODER_H
