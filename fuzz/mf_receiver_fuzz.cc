// The multi-frequency decoder (receiver/mf_decoder) on hostile input.
//
// The first input byte chooses the mode and the rate:
//  - raw (bit 0 clear): the rest of the input is the PCM itself, int16 native order, fed in
//    chunks whose sizes are taken from the input; a few calls to flush and reset in between.
//  - transmission (bit 0 set): one to three passes of the transmitter (transmit/transmit) at
//    44100 Hz carrying a short text from the input (any byte value, header symbols sometimes
//    replaced), mutated by edits taken from the input (XOR of samples, inserted, deleted and
//    repeated stretches, gain, added noise, clipping) so that the fuzzer reaches the deep states
//    of the search, the symbol tracker and the pass combiner. Without any edit, at 44100 Hz with
//    an intact header, the text must be decoded exactly.
// Bits 1-3 pick the decoder's rate: mostly 44100 or 48000, sometimes another valid rate or an
// invalid one.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "receiver/mf_decoder.h"
#include "transmit/transmit.h"

namespace {

using Pcm = std::vector<int16_t>;

int pick_rate(uint8_t selector) {
  static const int kRates[8] = {44100, 48000, 44100, 48000, 32000, 44100, 96000, 31999};
  return kRates[(selector >> 1) & 7];
}

Pcm* g_pass = nullptr;
void collect(short* input, int length) {
  g_pass->insert(g_pass->end(), input, input + length);
}

// `passes` passes of `symbols` with the header `header`, back to back.
Pcm transmission(const int* header, const std::vector<int>& symbols, int passes) {
  Pcm out;
  std::vector<int> sym = symbols;
  int head[8];
  std::memcpy(head, header, sizeof(head));
  for (int p = 0; p < passes; ++p) {
    sound_wave_transmit_s s;
    sound_wave_transmit_init(&s, 44100);
    g_pass = &out;
    sound_wave_transmit_enccore(&s, head, sym.data(), static_cast<int>(sym.size()), collect);
    g_pass = nullptr;
    sound_wave_transmit_free(&s);
  }
  return out;
}

int16_t saturate(int32_t v) {
  return static_cast<int16_t>(std::max<int32_t>(-32768, std::min<int32_t>(32767, v)));
}

int mutate(Pcm& pcm, FuzzedDataProvider& fdp) {
  const int edits = fdp.ConsumeIntegralInRange<int>(0, 8);
  for (int e = 0; e < edits && !pcm.empty(); ++e) {
    const size_t at = fdp.ConsumeIntegralInRange<size_t>(0, pcm.size() - 1);
    switch (fdp.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: {
        const size_t n = std::min(pcm.size() - at, fdp.ConsumeIntegralInRange<size_t>(1, 256));
        const uint16_t x = fdp.ConsumeIntegral<uint16_t>();
        for (size_t i = at; i < at + n; ++i) pcm[i] = static_cast<int16_t>(pcm[i] ^ x);
        break;
      }
      case 1: {
        const size_t n = fdp.ConsumeIntegralInRange<size_t>(1, 4096);
        Pcm ins(n, 0);
        for (auto& s : ins) s = static_cast<int16_t>(fdp.ConsumeIntegral<uint8_t>() * 257 - 32768);
        pcm.insert(pcm.begin() + static_cast<long>(at), ins.begin(), ins.end());
        break;
      }
      case 2: {
        const size_t n = std::min(pcm.size() - at, fdp.ConsumeIntegralInRange<size_t>(1, 8192));
        pcm.erase(pcm.begin() + static_cast<long>(at), pcm.begin() + static_cast<long>(at + n));
        break;
      }
      case 3: {
        const size_t n = std::min(pcm.size() - at, fdp.ConsumeIntegralInRange<size_t>(1, 4096));
        Pcm dup(pcm.begin() + static_cast<long>(at), pcm.begin() + static_cast<long>(at + n));
        pcm.insert(pcm.begin() + static_cast<long>(at), dup.begin(), dup.end());
        break;
      }
      case 4: {
        const int32_t num = fdp.ConsumeIntegralInRange<int32_t>(-64, 64);
        for (size_t i = at; i < pcm.size(); ++i) pcm[i] = saturate(pcm[i] * num / 8);
        break;
      }
      case 5: {
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
      default:
        pcm[at] = fdp.ConsumeBool() ? 32767 : -32768;
        break;
    }
  }
  return edits;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The transmitter may print a line; keep the fuzzer's output readable.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const int rate = pick_rate(selector);
  FuzzedDataProvider fdp(data + 1, size - 1);
  std::vector<std::vector<uint8_t>> texts;
  receiver::MfDecoder decoder(rate,
                              [&](const receiver::MfDecoder::Text& t, int) { texts.push_back(t); });
  if ((selector & 1) == 0) {
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
        const size_t repeat = (op & 0x40) ? (op & 0x3F) + 1 : 1;
        for (size_t r = 0; r < repeat; ++r) decoder.feed(pcm.data(), pcm.size());
      }
    }
    decoder.flush();
    return 0;
  }
  // Transmission: text, header, passes.
  const size_t length = fdp.ConsumeIntegralInRange<size_t>(0, 6);
  std::vector<uint8_t> text = fdp.ConsumeBytes<uint8_t>(length);
  std::vector<int> symbols(text.begin(), text.end());
  int header[8] = {294, 294, 0, 0, 0, 0, 0, 0};
  sound_wave_transmit_addinfo(static_cast<int>(symbols.size()), header);
  bool header_intact = true;
  const uint8_t flags = fdp.ConsumeIntegral<uint8_t>();
  if (flags & 0x80) {
    // One header or text symbol replaced by any symbol (start and end markers included).
    const int slot = fdp.ConsumeIntegralInRange<int>(0, 7);
    header[slot] = fdp.ConsumeIntegralInRange<int>(0, 329);
    header_intact = false;
  }
  if ((flags & 0x40) && !symbols.empty()) {
    symbols[fdp.ConsumeIntegralInRange<size_t>(0, symbols.size() - 1)] =
        fdp.ConsumeBool() ? 295 : 294;
    header_intact = false;
  }
  const int passes = 1 + (flags & 3) % 3;
  Pcm pcm = transmission(header, symbols, passes);
  const int edits = mutate(pcm, fdp);
  size_t at = 0;
  while (at < pcm.size()) {
    size_t n = fdp.remaining_bytes() > 0 ? fdp.ConsumeIntegralInRange<size_t>(0, 8192) : 8192;
    n = std::min(n, pcm.size() - at);
    decoder.feed(pcm.data() + at, n);
    at += n;
  }
  decoder.flush();
  if (edits == 0 && header_intact && rate == 44100) {
    if (texts.size() != 1 || texts[0] != text) {
      std::fprintf(stderr,
                   "mf_receiver_fuzz: clean transmission of %zu bytes (%d passes) gave %zu texts\n",
                   text.size(), passes, texts.size());
      std::abort();
    }
  }
  return 0;
}
