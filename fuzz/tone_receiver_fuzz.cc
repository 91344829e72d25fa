// The six-tone decoder (receiver/tone_decoder) on hostile input.
//
// The first input byte chooses the mode and the rate:
//  - raw (bit 0 clear): the rest of the input is the PCM itself, int16 native order, fed in
//    chunks whose sizes are taken from the input; a few calls to flush and reset in between.
//  - transmission (bit 0 set): a short text from the input is encoded with the tone encoder
//    (utils/voiceenc) at the decoder's rate, framed by silence, then mutated by edits taken from
//    the input (XOR of a sample, inserted and deleted stretches, gain, added noise, clipping) so
//    that the fuzzer reaches the deep states of the search and the parser. Without any edit the
//    text must be decoded exactly.
// Bits 1-3 pick the rate: mostly 44100 or 48000, sometimes another valid rate or an invalid one.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "receiver/tone_decoder.h"
#include "utils/voiceenc.h"

namespace {

using Pcm = std::vector<int16_t>;

int pick_rate(uint8_t selector) {
  static const int kRates[8] = {44100, 48000, 44100, 48000, 22050, 32000, 96000, 12345};
  return kRates[(selector >> 1) & 7];
}

void feed_in_chunks(receiver::ToneDecoder& decoder, const Pcm& pcm, FuzzedDataProvider& fdp) {
  size_t at = 0;
  while (at < pcm.size()) {
    size_t n = fdp.remaining_bytes() > 0 ? fdp.ConsumeIntegralInRange<size_t>(0, 4096) : 4096;
    if (n == 0 && fdp.remaining_bytes() == 0) n = pcm.size() - at;
    n = std::min(n, pcm.size() - at);
    decoder.feed(pcm.data() + at, n);
    at += n;
  }
}

Pcm render(const std::vector<uint8_t>& text, int rate) {
  std::vector<unsigned char> codes(4096);
  const int count = voiceenc_data2code(text.data(), static_cast<int>(text.size()), codes.data(),
                                       static_cast<int>(codes.size()));
  codes.resize(static_cast<size_t>(std::min<int>(count, 4096)));
  Pcm out(static_cast<size_t>(rate / 20), 0);  // 50 ms of silence before
  std::vector<unsigned char> buf(static_cast<size_t>(rate) * 2 / 10);
  for (unsigned char c : codes) {
    const int bytes =
        voiceenc_code2pcm_16K16Bit(rate, 60, c, buf.data(), static_cast<int>(buf.size()));
    for (int i = 0; i + 1 < bytes; i += 2) {
      int16_t s;
      std::memcpy(&s, buf.data() + i, 2);
      out.push_back(s);
    }
  }
  out.resize(out.size() + static_cast<size_t>(rate / 20), 0);  // and after
  return out;
}

int16_t saturate(int32_t v) {
  return static_cast<int16_t>(std::max<int32_t>(-32768, std::min<int32_t>(32767, v)));
}

// Applies edits from the input; returns how many were applied.
int mutate(Pcm& pcm, FuzzedDataProvider& fdp) {
  const int edits = fdp.ConsumeIntegralInRange<int>(0, 8);
  for (int e = 0; e < edits && !pcm.empty(); ++e) {
    const size_t at = fdp.ConsumeIntegralInRange<size_t>(0, pcm.size() - 1);
    switch (fdp.ConsumeIntegralInRange<int>(0, 6)) {
      case 0:  // flip bits of a run of samples
      {
        const size_t n = std::min(pcm.size() - at, fdp.ConsumeIntegralInRange<size_t>(1, 64));
        const uint16_t x = fdp.ConsumeIntegral<uint16_t>();
        for (size_t i = at; i < at + n; ++i) pcm[i] = static_cast<int16_t>(pcm[i] ^ x);
        break;
      }
      case 1:  // insert a stretch of input bytes as samples
      {
        const size_t n = fdp.ConsumeIntegralInRange<size_t>(1, 2048);
        Pcm ins(n, 0);
        for (auto& s : ins) s = static_cast<int16_t>(fdp.ConsumeIntegral<uint8_t>() * 257 - 32768);
        pcm.insert(pcm.begin() + static_cast<long>(at), ins.begin(), ins.end());
        break;
      }
      case 2:  // delete a stretch
      {
        const size_t n = std::min(pcm.size() - at, fdp.ConsumeIntegralInRange<size_t>(1, 4096));
        pcm.erase(pcm.begin() + static_cast<long>(at), pcm.begin() + static_cast<long>(at + n));
        break;
      }
      case 3:  // duplicate a stretch (a player that repeats itself)
      {
        const size_t n = std::min(pcm.size() - at, fdp.ConsumeIntegralInRange<size_t>(1, 2048));
        Pcm dup(pcm.begin() + static_cast<long>(at), pcm.begin() + static_cast<long>(at + n));
        pcm.insert(pcm.begin() + static_cast<long>(at), dup.begin(), dup.end());
        break;
      }
      case 4:  // gain from the input on everything after `at`
      {
        const int32_t num = fdp.ConsumeIntegralInRange<int32_t>(-64, 64);
        for (size_t i = at; i < pcm.size(); ++i) pcm[i] = saturate(pcm[i] * num / 8);
        break;
      }
      case 5:  // noise: a seeded generator, level from the input
      {
        uint32_t seed = fdp.ConsumeIntegral<uint32_t>() | 1u;
        const int32_t level = fdp.ConsumeIntegralInRange<int32_t>(0, 32767);
        for (size_t i = at; i < pcm.size(); ++i) {
          seed ^= seed << 13;
          seed ^= seed >> 17;
          seed ^= seed << 5;
          const int32_t noise = static_cast<int32_t>(seed % 65536u) - 32768;
          pcm[i] = saturate(pcm[i] + noise * level / 32768);
        }
        break;
      }
      default:  // overwrite one sample with an extreme value
        pcm[at] = fdp.ConsumeBool() ? 32767 : -32768;
        break;
    }
  }
  return edits;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The encoder prints a checksum line per text; keep the fuzzer's output readable.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const int rate = pick_rate(selector);
  FuzzedDataProvider fdp(data + 1, size - 1);
  std::vector<std::vector<uint8_t>> texts;
  receiver::ToneDecoder decoder(rate,
                                [&](const receiver::ToneDecoder::Text& t) { texts.push_back(t); });
  if ((selector & 1) == 0) {
    // Raw PCM: interleave chunk sizes and samples from the input.
    while (fdp.remaining_bytes() > 0) {
      const uint8_t op = fdp.ConsumeIntegral<uint8_t>();
      if (op == 0xFF) {
        decoder.flush();
      } else if (op == 0xFE) {
        decoder.reset();
      } else {
        const size_t n = fdp.ConsumeIntegralInRange<size_t>(0, op < 0x80 ? 64 : 8192);
        std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(2 * n);
        Pcm pcm(bytes.size() / 2);
        if (!pcm.empty()) std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
        // A long run repeats the given samples so that tones of any length can be made.
        const size_t repeat = (op & 0x40) ? (op & 0x3F) + 1 : 1;
        for (size_t r = 0; r < repeat; ++r) decoder.feed(pcm.data(), pcm.size());
      }
    }
    decoder.flush();
    return 0;
  }
  // Transmission.
  const size_t length = fdp.ConsumeIntegralInRange<size_t>(0, 6);
  std::vector<uint8_t> text = fdp.ConsumeBytes<uint8_t>(length);
  Pcm pcm = render(text, rate);
  const int edits = mutate(pcm, fdp);
  feed_in_chunks(decoder, pcm, fdp);
  decoder.flush();
  if (edits == 0 && (rate == 44100 || rate == 48000)) {
    if (texts.size() != 1 || texts[0] != text) {
      std::fprintf(stderr,
                   "tone_receiver_fuzz: clean transmission of %zu bytes at %d Hz gave %zu texts\n",
                   text.size(), rate, texts.size());
      std::abort();
    }
  }
  return 0;
}
