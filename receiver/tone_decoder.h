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
// ruled out (the CRC still decides).
//
// In a room whose reverberation is about as loud as the direct sound no reading of the input as
// heard gets every code right. When a transmission still does not check, the room is learnt from
// the codes the reading found and its ringing taken off: the codes are placed to the sample
// (codes follow each other without gaps and every code lasts a multiple of 1.25 ms, so one onset
// gives the next, and where the reading missed or added a code the step count that lines the
// tones up in phase is chosen), each in the phase it is heard in; per tone a least-squares fit
// over the stretch gives the room's response to it over 80 ms, and what that rings 3 ms or more
// after each code is subtracted from the band before it is measured. The stretch is read again
// (without stray tones) from those levels, and again from the codes of that reading, up to four
// times or until a reading repeats the one before; the CRC decides as always, and a text that
// only the reading without stray tones of the input as heard found waits for one of these to
// find it too (that reading forces the ringing after the end into the format, and a misreading
// can check by accident). When the last of these readings still does not check and the room as
// learnt explains the stretch well (at most 35 % of its energy in the tones' bands left over;
// in deep noise every further reading is one more chance to check by accident), each code is
// held against the loudest other tone over its frames when that stood within 8 dB of it: with
// the room's response in the code's own band learnt again without it (so that the fit does not
// favour the code as read), whichever of the two leaves less of the input unexplained over the
// code, the code after it and 30 ms of their ringing is taken, the codes after it following on
// at the rival's length or staying where they were placed. The codes so found are parsed (the
// CRC decides) and the stretch read again from them, up to three times or until no code
// changes. A run of one byte (too short for a text and its CRC) is read with the room taken off
// as well: in a room a transmission of a byte or two may be heard as little more than stray
// tones. A stretch that gave a text is read no further and not carried over; one that gave
// nothing but holds 20 codes or more in a row is carried over like one that did not check. A zero
// byte behind a CRC (a text followed by its CRC checks again with it) counts as sent when it is as
// loud as the rest and the closing copies follow it, as ringing when it is well below the rest; in
// between nothing is reported. A stretch that did not check is read once more together with the
// next one when that follows on at once (the ringing can make a transmission look over halfway).
// This keeps the last 6 s of input. A transmission is reported about 0.15 s after its tones end;
// the readings of one that does not check cost some tens of ms, more where its codes are held
// against their rivals (the rooms bench's tone rows take a fifth longer for it).
//
// Limits (simulated speaker-to-microphone paths, white noise at 10 dB SNR unless said): white or
// babble noise down to 0 dB SNR, player clocks 0.5 % off, player stalls of a few ms; in rooms
// with a reverberation time of 150 to 400 ms and the direct sound 3 or 6 dB above the
// reverberation hardly any transmission is lost, with none above it 0 to 3 in 100: the shortest
// codes drown in the ringing of the ones before, and a repetition has to do. The room is taken
// to stay as it is over a transmission; a player clock 0.5 % off loses a few more.
//
// Not thread-safe: feed, flush and take_texts belong to one thread. The callback runs inside
// feed or flush.
#ifndef RECEIVER_TONE_DECODER_H
#define RECEIVER_TONE_DECODER_H

#include <complex>
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
  // A code of a reading: its tone (0-5), whether the reading took it for a stray tone, and the
  // frames of the stretch it covers.
  struct Segment {
    int code;
    bool stray;
    size_t start;
    size_t frames;
  };
  // How far each band's level is above its background, and how far it rose lately.
  static constexpr int kRiseFrames = 6;
  struct BandTracker {
    float floor_db[6];
    float history_db[kRiseFrames][6];
    int history_at;
  };

  void analyse_frame();
  void reset_tracker(BandTracker* t) const;
  // Turns the six band levels (dB) of a frame into its features: the levels, then six bonuses.
  void features_of(const float* level, BandTracker* t, float* features) const;
  // One analysis frame's features; `end` is the position in the input just after its window.
  void push_scores(const float* features, uint64_t end);
  void build_transitions();
  void start_search();
  void decide(bool forced);
  std::vector<Segment> best_segments();
  // Parses the best path through the frames searched so far (`frames`: their features; each
  // code's level is its mean in its band) and returns its codes. `stray`: whether the parsed
  // codes took some tone for a stray one.
  std::vector<Segment> parse_best(const std::vector<float>& frames, bool* stray = nullptr);
  // Reads the stretch again from the input with the room's ringing taken off (see the class
  // comment): feature frames like the stretch's, from the codes `segments` of an earlier
  // reading. False when the input of the stretch is no longer kept or nothing was read.
  bool features_without_room(const std::vector<uint64_t>& ends,
                             const std::vector<Segment>& segments, std::vector<float>* out);
  // What a room reading knows of a stretch: its codes, where each begins (to the sample) and
  // its phase as heard; per frame and band (frame * 6 + band) the input and the codes as sent,
  // measured alike; per band the room's response to its tone, one tap per frame (empty when it
  // could not be learnt).
  struct RoomFit {
    std::vector<int> codes;
    std::vector<double> onset;
    std::vector<double> phase;
    std::vector<std::complex<double>> y;
    std::vector<std::complex<double>> x;
    std::vector<std::complex<double>> g[6];
    // Per band, the normal equations g was solved from: the codes' autocorrelation per lag and
    // their correlation with the input.
    std::vector<std::complex<double>> rho[6];
    std::vector<std::complex<double>> p[6];
  };
  // Places the codes of `segments` (a reading of the stretch whose frames' windows end at
  // `ends`) and learns the room from them. False when the stretch's input is no longer kept or
  // nothing was read.
  bool fit_room(const std::vector<uint64_t>& ends, const std::vector<Segment>& segments,
                RoomFit* fit) const;
  // The codes of `fit` as sent, measured in every band for frames `from` to `to` (exclusive)
  // into `out` (frame - from) * 6 + band.
  void sent_in_bands(const std::vector<uint64_t>& ends, size_t from, size_t to, const RoomFit& fit,
                     std::complex<double>* out) const;
  // The six bands' measurement of one analysis window (window_ samples) into out[0..5].
  void in_bands(const double* window, std::complex<double>* out) const;
  // How much of the input in frames `from` to `to` the room's response `g` (per band) leaves
  // unexplained when the codes as sent measure `sent` there (as fit.x elsewhere).
  double unexplained(size_t from, size_t to, const RoomFit& fit,
                     const std::vector<std::complex<double>>* g,
                     const std::complex<double>* sent) const;
  // The room's response in the band of code `k` of `fit`, learnt as if that code were not
  // there. False when it cannot be learnt.
  bool learn_without(const std::vector<uint64_t>& ends, const RoomFit& fit, size_t k,
                     std::vector<std::complex<double>>* g) const;
  // Holds each code of `segments` against the tones that stood nearly as loud over its frames
  // (`frames`: their features) and takes the one the room explains best. True when a code
  // changed.
  bool recheck_codes(const std::vector<uint64_t>& ends, const std::vector<float>& frames,
                     std::vector<Segment>* segments) const;
  // Where the codes of `segments` begin, to the sample: within a few ms of `guess`, where they
  // match the input best.
  double find_onset(const std::vector<Segment>& segments, double guess) const;
  // The `i`-th sample fed since the last reset; 0 when it is no longer (or not yet) kept.
  float heard_at(int64_t i) const;
  // The fundamental of tone `code` heard from `onset` (a sample position, may be fractional) on,
  // over the code's length: its complex amplitude.
  std::complex<double> tone_at(int code, double onset) const;
  // Where the codes of `segments` from `k` on begin, given where those before begin (`onsets`):
  // of first + i * step (i = -steps..steps), the one at which each tone's codes before and
  // after k add up in phase best.
  double choose_onset(const std::vector<Segment>& segments, const std::vector<double>& onsets,
                      size_t k, double first, double step, int steps) const;
  // One reading of `frames` (features) from a fresh search; returns the codes' segments.
  std::vector<Segment> read(const std::vector<float>& frames, const std::vector<uint64_t>& ends);
  // Parses the codes of `segments` (`frames`: the features they were read from).
  void parse_segments(const std::vector<Segment>& segments, const std::vector<float>& frames);
  void parse(const std::vector<int>& codes, const std::vector<float>& levels);
  void report(Text text);

  bool valid_;
  int sample_rate_;
  TextCallback on_text_;
  std::vector<Text> queue_;
  size_t rejected_ = 0;
  size_t decoded_ = 0;
  size_t fragments_ = 0;  // parsed byte runs too short to hold a text and its CRC

  // Analysis.
  int hop_ = 0;                   // samples per frame
  int window_ = 0;                // samples per window
  std::vector<float> cos_table_;  // [code][n], Hann-weighted
  std::vector<float> sin_table_;
  std::vector<float> samples_;  // the last `window_` samples
  int pending_ = 0;             // samples since the last frame
  float energy_floor_ = 0;

  // Background level of each tone band (dB), tracked as a low percentile of its energy, and the
  // last kRiseFrames levels of each band.
  BandTracker bands_ = {};
  float floor_min_db_ = 0;
  // The input of the last kKeptSeconds (more after a trim), for reading a stretch again: sample
  // raw_[i] is the (raw_start_ + i)-th sample fed since the last reset.
  std::vector<float> raw_;
  uint64_t raw_start_ = 0;
  uint64_t heard_ = 0;  // samples fed since the last reset

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
  std::vector<uint64_t> stretch_end_;  // per frame of the stretch, where its window ended
  // The frames (where their windows ended) and latest codes of a stretch that did not check,
  // read again together with the next stretch when that follows on at once.
  std::vector<uint64_t> carry_end_;
  std::vector<Segment> carry_segments_;
  bool strays_allowed_ = true;
  bool first_reading_ = true;
  bool room_reading_ = false;  // the current reading has the room taken off
  // Texts reported from the current stretch, and texts the current further reading found (a
  // further reading reports only new ones).
  std::vector<Text> stretch_texts_;
  std::vector<Text> reading_texts_;
  // Texts the reading without stray tones found in the current stretch, reported once a reading
  // with the room taken off finds them too.
  std::vector<Text> candidates_;
};

}  // namespace receiver

#endif  // RECEIVER_TONE_DECODER_H
