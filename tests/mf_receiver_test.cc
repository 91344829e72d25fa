// Multi-frequency receiver: texts sent with the transmitter are decoded from the PCM it
// produced, fed in chunks of random size, clean and after what a speaker-to-microphone path does
// to them (gain, echo tail, noise, clock mismatch, resampling, timing jitter).
#include "receiver/mf_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sound_channel.h"
#include "transmit/transmit.h"

namespace {

using Text = receiver::MfDecoder::Text;
using Pcm = std::vector<int16_t>;
// ---- Transmission ---------------------------------------------------------------------------

// The frames of one encode call, kept as separate frames so that jitter can act between them.
std::vector<Pcm>* g_frames = nullptr;
void collect(const void* data, size_t size) {
  const int16_t* p = static_cast<const int16_t*>(data);
  g_frames->emplace_back(p, p + size / 2);
}

std::vector<Pcm> transmit(const Text& text) {
  std::vector<Pcm> frames;
  g_frames = &frames;
  const std::string s(text.begin(), text.end());
  EXPECT_EQ(encode(s.c_str(), collect), 0);
  g_frames = nullptr;
  return frames;
}

// One pass built from explicit header and character symbols (byte 0, broken headers).
void collect_pass(short* input, int length) {
  g_frames->emplace_back(input, input + length);
}

std::vector<Pcm> pass_of(std::vector<int> header, std::vector<int> symbols) {
  std::vector<Pcm> frames;
  sound_wave_transmit_s s;
  sound_wave_transmit_init(&s, 44100);
  g_frames = &frames;
  sound_wave_transmit_enccore(&s, header.data(), symbols.data(), static_cast<int>(symbols.size()),
                              collect_pass);
  g_frames = nullptr;
  sound_wave_transmit_free(&s);
  return frames;
}

std::vector<int> header_for(int length) {
  int h[8] = {294, 294, 0, 0, 0, 0, 0, 0};
  sound_wave_transmit_addinfo(length, h);
  return std::vector<int>(h, h + 8);
}

Pcm join(const std::vector<Pcm>& frames) {
  Pcm out;
  for (const Pcm& f : frames) out.insert(out.end(), f.begin(), f.end());
  return out;
}

void append(Pcm* to, const Pcm& more) {
  to->insert(to->end(), more.begin(), more.end());
}

Pcm silence(double seconds, int rate = 44100) {
  return Pcm(static_cast<size_t>(seconds * rate), 0);
}

Text random_text(std::mt19937* rng, size_t length, bool with_zero = false) {
  std::uniform_int_distribution<int> byte(with_zero ? 0 : 1, 255);
  Text t(length);
  for (uint8_t& b : t) b = static_cast<uint8_t>(byte(*rng));
  return t;
}

// ---- Decoding -------------------------------------------------------------------------------

struct Heard {
  std::vector<std::pair<Text, int>> texts;  // text, passes combined
  size_t rejected = 0;
  size_t unsure = 0;  // texts not reported
};

Heard decode(const Pcm& pcm, int rate, uint32_t seed) {
  Heard heard;
  receiver::MfDecoder decoder(
      rate, [&heard](const Text& text, int passes) { heard.texts.emplace_back(text, passes); });
  EXPECT_TRUE(decoder.valid());
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> chunk(0, 3000);
  for (size_t at = 0; at < pcm.size();) {
    const size_t n = std::min(chunk(rng), pcm.size() - at);
    decoder.feed(pcm.data() + at, n);
    at += n;
  }
  decoder.flush();
  heard.rejected = decoder.passes_rejected();
  heard.unsure = decoder.texts_rejected();
  return heard;
}

std::string show(const Text& t) {
  std::string s;
  char b[8];
  for (uint8_t c : t) {
    snprintf(b, sizeof(b), "%02x", c);
    s += b;
  }
  return s;
}

// ---- Clean channel --------------------------------------------------------------------------

TEST(MfReceiverClean, RandomTextsDecodeOnceFromTheirThreePasses) {
  std::mt19937 rng(1);
  std::vector<Text> texts = {Text(), random_text(&rng, 1), random_text(&rng, 37),
                             random_text(&rng, 120),
                             random_text(&rng, SOUND_WAVE_TRANSMIT_MAX_CHARS)};
  // Every byte value 1-255, in random order.
  Text all(255);
  for (int b = 1; b < 256; ++b) all[b - 1] = static_cast<uint8_t>(b);
  std::shuffle(all.begin(), all.end(), rng);
  texts.push_back(all);
  for (size_t i = 0; i < texts.size(); ++i) {
    Pcm pcm = silence(0.3);
    append(&pcm, join(transmit(texts[i])));
    const Heard heard = decode(pcm, 44100, static_cast<uint32_t>(i));
    ASSERT_EQ(heard.texts.size(), 1u) << "text " << i;
    EXPECT_EQ(show(heard.texts[0].first), show(texts[i])) << "text " << i;
    EXPECT_EQ(heard.texts[0].second, 3) << "text " << i;
    EXPECT_EQ(heard.rejected, 0u) << "text " << i;
  }
}

TEST(MfReceiverClean, PassesJoinWhenTheNextStartsWithinSixTenthsOfASecond) {
  // Between two transmissions sent back to back, the next start symbol begins 0.21 s after the
  // last end symbol (100 ms + 100 ms of silence, then a symbol's 10 ms gap).
  std::mt19937 rng(16);
  const Text a = random_text(&rng, 10), b = random_text(&rng, 10);
  using Result = std::vector<std::pair<Text, int>>;
  const struct {
    double pause;
    const Text& second;
    Result expected;
  } cases[] = {
      {0.0, a, {{a, 6}}},
      {0.33, a, {{a, 6}}},
      {0.45, a, {{a, 3}, {a, 3}}},
      {1.1, a, {{a, 3}, {a, 3}}},
      // A different text of the same length is not voted in.
      {0.0, b, {{a, 3}, {b, 3}}},
  };
  for (const auto& c : cases) {
    Pcm pcm = join(transmit(a));
    append(&pcm, silence(c.pause));
    append(&pcm, join(transmit(c.second)));
    EXPECT_EQ(decode(pcm, 44100, 17).texts, c.expected)
        << "pause " << c.pause << (&c.second == &b ? ", other text" : "");
  }
}

// Passes built symbol by symbol: byte 0 is a character like any other; and when pass p carries a
// wrong byte at every position i with i % 3 == p, no pass is right but at every position two of
// the three agree, and the per-symbol vote repairs them.
TEST(MfReceiverClean, ByteZeroAndPerSymbolVote) {
  std::mt19937 rng(6);
  for (const Text& text : {Text{0, 0, 65, 0, 255}, random_text(&rng, 30)}) {
    const bool damaged = text.size() == 30;
    Pcm pcm;
    for (int pass = 0; pass < 3; ++pass) {
      std::vector<int> chars(text.begin(), text.end());
      for (size_t i = pass; damaged && i < chars.size(); i += 3) {
        chars[i] = (chars[i] + 1 + pass * 7) % 256;
      }
      append(&pcm, join(pass_of(header_for(static_cast<int>(text.size())), chars)));
    }
    const Heard heard = decode(pcm, 44100, 8);
    ASSERT_EQ(heard.texts.size(), 1u);
    EXPECT_EQ(show(heard.texts[0].first), show(text));
  }
}

TEST(MfReceiverClean, ATransmissionCutShortStillDecodesFromItsRemainingPasses) {
  std::mt19937 rng(9);
  const Text text = random_text(&rng, 20);
  const Pcm full = join(transmit(text));
  // Capture starts in the middle of the first pass.
  const Pcm tail(full.begin() + static_cast<long>(full.size() / 6), full.end());
  const Heard heard = decode(tail, 44100, 10);
  ASSERT_EQ(heard.texts.size(), 1u);
  EXPECT_EQ(heard.texts[0], std::make_pair(text, 2));
}

// ---- Speaker-to-microphone paths ------------------------------------------------------------

struct PathCase {
  const char* name;
  double gain_db;
  double tail_seconds;   // 0: no room echo
  double drr_db;         // direct-to-reverberant ratio of the room
  double white_snr_db;   // kNone: no white noise
  double babble_snr_db;  // kNone: no babble
  double sender_clock;   // relative error of the sender's 44100 Hz clock
  int capture_rate;      // the microphone's rate, and the decoder's
  double jitter_ms;      // playback stalls and skips of up to this much
};

constexpr double kNone = 100.0;

// Noise levels are against the power of the received transmission.
const PathCase kPaths[] = {
    {"-20 dB, echo tail 3 dB below direct, white noise 10 dB", -20, 0.15, 3, 10, kNone, 0, 44100,
     0},
    {"white noise 0 dB", 0, 0, 0, 0, kNone, 0, 44100, 0},
    {"babble 0 dB", -6, 0, 0, kNone, 0, 0, 44100, 0},
    {"echo tail, babble 5 dB", -10, 0.15, 6, kNone, 5, 0, 44100, 0},
    {"sender clock +0.5%", 0, 0, 0, 20, kNone, 0.005, 44100, 0},
    {"sender clock -0.5%", 0, 0, 0, 20, kNone, -0.005, 44100, 0},
    {"48000, clock -0.5%, echo, white 5 dB", -20, 0.15, 6, 5, kNone, -0.005, 48000, 0},
    {"jitter 3 ms, echo, white 5 dB", -20, 0.15, 6, 5, kNone, 0, 44100, 3},
    {"48000, clock +0.5%, jitter, echo, babble and white 5 dB", -20, 0.15, 6, 5, 5, 0.005, 48000,
     3},
};

Pcm through(const PathCase& c, const std::vector<Pcm>& frames, uint32_t seed) {
  namespace ch = sound_channel;
  ch::Signal x = ch::from_pcm(join(frames));
  if (c.jitter_ms > 0)
    x = ch::jitter(x, 44100, 0.02, 0.1, c.jitter_ms / 1000, c.jitter_ms / 2000, seed);
  // The sender's samples leave at 44100 (1 + error) per second and are sampled by the
  // microphone at capture_rate.
  const double real_rate = 44100.0 * (1.0 + c.sender_clock);
  if (real_rate != c.capture_rate) x = ch::change_rate(x, real_rate, c.capture_rate);
  if (c.tail_seconds > 0) {
    x = ch::convolve(x, ch::room_response(c.capture_rate, c.tail_seconds, c.drr_db, seed + 1));
  }
  ch::scale_db(x, c.gain_db);
  const double p = ch::active_power(x);
  ch::Signal heard = ch::silence(0.25, c.capture_rate);
  ch::append(heard, x);
  ch::append(heard, ch::silence(0.25, c.capture_rate));
  if (c.white_snr_db < kNone) {
    ch::add_at_snr(heard, ch::white_noise(heard.size(), seed + 2), p, c.white_snr_db);
  }
  if (c.babble_snr_db < kNone) {
    ch::add_at_snr(heard, ch::babble(heard.size(), c.capture_rate, 6, seed + 3), p,
                   c.babble_snr_db);
  }
  return ch::to_pcm(heard);
}

TEST(MfReceiverPath, TextsSurviveTheImpairedChannel) {
  std::mt19937 rng(11);
  for (const PathCase& c : kPaths) {
    for (size_t length : {0, 16, 64}) {
      const Text text = random_text(&rng, length);
      const Pcm pcm = through(c, transmit(text), static_cast<uint32_t>(rng()));
      const Heard heard = decode(pcm, c.capture_rate, static_cast<uint32_t>(rng()));
      ASSERT_EQ(heard.texts.size(), 1u) << c.name << ", " << length << " bytes";
      EXPECT_EQ(show(heard.texts[0].first), show(text)) << c.name << ", " << length << " bytes";
    }
  }
}

// A transmission heard in a room with a reverberation time of `tail` seconds and the direct
// sound `drr` dB above the reverberation, the player's clock `clock` off, captured at `rate`,
// -20 dB, white noise at 10 dB SNR.
Pcm in_room(const Text& text, double tail, double drr, double clock, int rate, uint32_t seed) {
  namespace ch = sound_channel;
  ch::Signal x = ch::silence(0.3, 44100);
  ch::append(x, ch::from_pcm(join(transmit(text))));
  ch::append(x, ch::silence(0.5, 44100));
  const double real_rate = 44100.0 * (1.0 + clock);
  if (real_rate != rate) x = ch::change_rate(x, real_rate, rate);
  x = ch::convolve(x, ch::room_response(rate, tail, drr, seed + 1000));
  ch::scale_db(x, -20);
  ch::add_at_snr(x, ch::white_noise(x.size(), seed + 2000), ch::active_power(x), 10);
  return ch::to_pcm(x);
}

// A room with a 400 ms reverberation time and the direct sound only 3 dB above the reverberation,
// white noise at 10 dB SNR: the edges of each tone frame hold the ringing of the symbols before.
// Reading the whole frame alone, all three passes took the same wrong byte in each of these.
TEST(MfReceiverPath, ReverberantRoomWithLittleDirectSound) {
  const struct {
    uint32_t seed;
    Text text;
  } cases[] = {
      {101, {0x46, 0x1a, 0xa0, 0x25, 0xdb, 0x33, 0xd8, 0x44, 0xc3}},
      {126, {0x98, 0x69, 0x9b, 0xa2, 0x7e, 0xa7, 0x34, 0x23, 0xbf}},
      {128, {0xe7, 0x07, 0xab, 0xce, 0x1a, 0x23, 0xcf, 0x5a, 0x3e, 0x73,
             0x86, 0x3e, 0x58, 0xcf, 0x5d, 0xfb, 0x87, 0x3f, 0x4e, 0x93}},
  };
  for (const auto& c : cases) {
    const Heard heard = decode(in_room(c.text, 0.4, 3.0, 0.0, 44100, c.seed), 44100, c.seed);
    ASSERT_EQ(heard.texts.size(), 1u) << "room " << c.seed;
    EXPECT_EQ(show(heard.texts[0].first), show(c.text)) << "room " << c.seed;
  }
}

// Rooms whose reverberation is as loud as the direct sound, some with the player's clock off
// by more than the start pair tells. Readable: every pass misreads some byte the same way, or
// takes the end pair for bytes, until the passes are read again with the room's response taken
// off (at symbol times the clock offset gives: the times each symbol was read at wander). Not
// readable: what remains unsure after that is not reported rather than guessed, also where every
// reading took the same wrong byte and only a fit of the room around its rival shows it.
TEST(MfReceiverPath, RoomsRingingAsLoudAsTheDirectSound) {
  const struct {
    double tail;   // reverberation time, seconds
    double clock;  // relative error of the player's clock
    int rate;      // capture rate
    uint32_t seed;
    bool readable;
  } cases[] = {
      {0.15, 0.0, 44100, 313, true},  {0.3, 0.0, 44100, 368, true},
      {0.4, 0.0, 44100, 587, true},   {0.15, 0.0, 44100, 14, true},
      {0.15, 0.0, 44100, 26, true},   {0.4, 0.0, 44100, 3, true},
      {0.4, 0.0, 44100, 17, true},    {0.4, 0.0, 44100, 7, true},
      {0.4, 0.0, 44100, 40, true},    {0.3, 0.0, 44100, 4, true},
      {0.3, 0.0037, 44100, 12, true}, {0.3, 0.0037, 44100, 29, true},
      {0.3, -0.0021, 48000, 9, true}, {0.3, -0.0021, 48000, 12, true},
      {0.15, 0.0, 44100, 13, false},  {0.15, 0.0, 44100, 24, false},
      {0.3, 0.0037, 44100, 9, false}, {0.3, 0.0, 44100, 195, false},
  };
  for (const auto& c : cases) {
    std::mt19937 rng(c.seed);
    const Text text = random_text(&rng, 1 + c.seed % 24);
    const Heard heard = decode(in_room(text, c.tail, 0.0, c.clock, c.rate, c.seed), c.rate, c.seed);
    const std::string room =
        "room " + std::to_string(c.tail) + " s, seed " + std::to_string(c.seed);
    if (c.readable) {
      ASSERT_EQ(heard.texts.size(), 1u) << room;
      EXPECT_EQ(show(heard.texts[0].first), show(text)) << room;
    } else {
      for (const auto& t : heard.texts) EXPECT_EQ(show(t.first), show(text)) << room;
    }
  }
}

// A later pass whose length field was damaged in both copies (a burst, a room) still joins the
// passes before it when the end pair comes where their length says.
TEST(MfReceiverClean, ALaterPassWithADamagedLengthFieldTakesTheLengthOfThePassesBefore) {
  std::mt19937 rng(21);
  const Text text = random_text(&rng, 15);
  const std::vector<int> chars(text.begin(), text.end());
  const std::vector<int> damaged = {294, 294, 48, 50, 54, 48, 50, 54};  // announces 16
  Pcm pcm = silence(0.2);
  append(&pcm, join(pass_of(header_for(15), chars)));
  for (int pass = 1; pass < 3; ++pass) append(&pcm, join(pass_of(damaged, chars)));
  const Heard heard = decode(pcm, 44100, 22);
  ASSERT_EQ(heard.texts.size(), 1u);
  EXPECT_EQ(heard.texts[0], std::make_pair(text, 3));
}

// ---- What must not decode -------------------------------------------------------------------

TEST(MfReceiverNegative, NoiseAloneDecodesNothing) {
  const size_t n = 44100 * 20;
  const sound_channel::Signal noises[] = {sound_channel::white_noise(n, 12),
                                          sound_channel::babble(n, 44100, 6, 13)};
  for (const sound_channel::Signal& noise : noises) {
    sound_channel::Signal x(n, 0.0f);
    sound_channel::add_at_snr(x, noise, 3000.0 * 3000.0, 0.0);
    const Heard heard = decode(sound_channel::to_pcm(x), 44100, 14);
    EXPECT_TRUE(heard.texts.empty());
  }
}

TEST(MfReceiverNegative, LengthFieldThatDisagreesWithTheEndSymbolsDecodesNothingWrong) {
  std::mt19937 rng(14);
  const Text text = random_text(&rng, 15);
  const std::vector<int> chars(text.begin(), text.end());
  const struct {
    const char* name;
    std::vector<int> header;
    bool decodes;  // the text is still recovered
  } cases[] = {
      // Both copies announce 16 bytes: the end symbols come one place early.
      {"both copies one too long", {294, 294, 48, 50, 54, 48, 50, 54}, false},
      {"both copies one too short", {294, 294, 48, 50, 52, 48, 50, 52}, false},
      {"copies disagree, neither right", {294, 294, 48, 50, 54, 48, 50, 52}, false},
      {"digit replaced by a byte", {294, 294, 48, 65, 53, 48, 65, 53}, false},
      // One intact copy is confirmed by the end symbols.
      {"second copy damaged", {294, 294, 48, 50, 53, 48, 51, 53}, true},
      {"first copy damaged", {294, 294, 49, 50, 53, 48, 50, 53}, true},
  };
  for (const auto& c : cases) {
    Pcm pcm = silence(0.2);
    for (int pass = 0; pass < 3; ++pass) append(&pcm, join(pass_of(c.header, chars)));
    const Heard heard = decode(pcm, 44100, 15);
    if (c.decodes) {
      ASSERT_EQ(heard.texts.size(), 1u) << c.name;
      EXPECT_EQ(show(heard.texts[0].first), show(text)) << c.name;
    } else {
      EXPECT_TRUE(heard.texts.empty()) << c.name;
      EXPECT_EQ(heard.rejected, 3u) << c.name;
    }
  }
}

// The format has no checksum: a text the decoder is unsure of is not reported, but counted. Here
// three passes each carry another byte at one position, and transmissions drown in white noise
// 15 dB louder than they are (a single pass of each was found; all three were read as wrong texts).
TEST(MfReceiverNegative, UnsureTextsAreNotReported) {
  std::mt19937 rng(21);
  const Text text = random_text(&rng, 12);
  Pcm disagree = silence(0.2);
  for (int pass = 0; pass < 3; ++pass) {
    std::vector<int> chars(text.begin(), text.end());
    chars[5] = (chars[5] + 85 * pass) % 256;
    append(&disagree, join(pass_of(header_for(12), chars)));
  }
  const Heard heard = decode(disagree, 44100, 22);
  EXPECT_TRUE(heard.texts.empty());
  EXPECT_EQ(heard.unsure, 1u);

  const struct {
    uint32_t noise_seed;
    Text text;
  } drowned[] = {
      {2012, {0x65, 0x1b, 0xc3, 0xa0, 0x85, 0x96, 0x4f, 0xf6, 0xfe, 0x44, 0xaf}},
      {2024, {0xb5, 0x06, 0x40, 0xe6}},
      {2030, {0xe6, 0xb1, 0xba, 0xc3, 0x4d, 0xf1, 0x24}},
  };
  for (const auto& c : drowned) {
    namespace ch = sound_channel;
    ch::Signal x = ch::silence(0.3, 44100);
    ch::append(x, ch::from_pcm(join(transmit(c.text))));
    ch::append(x, ch::silence(0.5, 44100));
    ch::scale_db(x, -20);
    ch::add_at_snr(x, ch::white_noise(x.size(), c.noise_seed), ch::active_power(x), -15);
    const Heard h = decode(ch::to_pcm(x), 44100, c.noise_seed);
    EXPECT_TRUE(h.texts.empty()) << "noise " << c.noise_seed;
    EXPECT_GE(h.unsure, 1u) << "noise " << c.noise_seed;
  }
}

TEST(MfReceiverNegative, DecoderRefusesRatesThatCannotHoldTheTones) {
  const struct {
    int rate;
    bool valid;
  } cases[] = {{22050, false}, {31999, false}, {32000, true}, {192000, true}, {192001, false}};
  for (const auto& c : cases) {
    receiver::MfDecoder d(c.rate);
    EXPECT_EQ(d.valid(), c.valid) << c.rate;
    const Pcm noise(1000, 100);
    d.feed(noise.data(), noise.size());
    d.flush();
    EXPECT_TRUE(d.take_texts().empty());
  }
}

TEST(MfReceiverQueue, WithoutCallbackTextsWaitForTakeAndResetForgets) {
  const Text text = {'w', 'i', 'f', 'i'};
  const Pcm pcm = join(transmit(text));
  receiver::MfDecoder d(44100);
  d.feed(pcm.data(), pcm.size());
  const Pcm tail = silence(0.7);
  d.feed(tail.data(), tail.size());  // the passes have stopped: reported without flush
  EXPECT_EQ(d.take_texts(), std::vector<Text>{text});
  EXPECT_TRUE(d.take_texts().empty());
  EXPECT_EQ(d.decoded(), 1u);
  EXPECT_EQ(d.passes_accepted(), 3u);
  // Half a transmission, then reset: nothing of it survives.
  d.feed(pcm.data(), pcm.size() / 2);
  d.reset();
  d.flush();
  EXPECT_TRUE(d.take_texts().empty());
  EXPECT_EQ(d.decoded(), 0u);
}

}  // namespace
