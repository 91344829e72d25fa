#include "transmit.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

typedef void (*fetchd_cb)(short* input, int length);

constexpr int kSampleRate = 44100;
constexpr int kToneRowLength = 882;
constexpr int kTones = 11;
constexpr int kSymbols = 330;
constexpr int kStartSymbol = 294;
constexpr int kEndSymbol = 295;
constexpr int kHeaderLength = 8;
constexpr int kEdgeSilenceFrames = 10;

// The callback of the transmission under way.
fetch_cb s_cb = nullptr;

void print_length_error() {
  printf("input length error!!!\n");
}

}  // namespace

extern "C" {

void fetchd_cb_func(short* input, int length) {
  if (s_cb != nullptr && length >= 0) {
    s_cb(input, static_cast<size_t>(length) * 2);
  }
}

void sound_wave_transmit_init(sound_wave_transmit_s* sp, int fs) {
  if (sp == nullptr) return;
  sp->codebook_p = codebook;
  sp->fs = fs;
  sp->frame_dis = fs > 0 ? fs / 100 : 0;
  sp->frame_length = fs > 0 ? fs / 50 : 0;
  // One extra sample keeps a zero-rate allocation non-null.
  sp->frame_zeros =
      static_cast<short*>(calloc(static_cast<size_t>(sp->frame_dis) + 1, sizeof(short)));
  sp->frame_signal =
      static_cast<short*>(calloc(static_cast<size_t>(sp->frame_length) + 1, sizeof(short)));
}

void sound_wave_transmit_free(sound_wave_transmit_s* sp) {
  if (sp == nullptr) return;
  free(sp->frame_zeros);
  free(sp->frame_signal);
  sp->frame_zeros = nullptr;
  sp->frame_signal = nullptr;
}

void sound_wave_transmit_addinfo(int input_length, int* pre_input) {
  if (pre_input == nullptr) return;
  const int input_length_ture = input_length + 10;
  const int changdu[3] = {input_length_ture / 100, (input_length_ture / 10) % 10,
                          input_length_ture % 10};
  for (int p = 0; p < 3; ++p) {
    if (changdu[p] >= 0 && changdu[p] <= 9) {
      pre_input[p + 2] = '0' + changdu[p];
      pre_input[p + 5] = '0' + changdu[p];
    } else {
      print_length_error();
    }
  }
}

void sound_wave_transmit_ceartMF(sound_wave_transmit_s* sp, int input) {
  if (sp == nullptr || sp->frame_signal == nullptr || sp->frame_length <= 0) return;
  short* out = sp->frame_signal;
  if (input < 0 || input >= kSymbols || sp->codebook_p == nullptr) {
    memset(out, 0, static_cast<size_t>(sp->frame_length) * sizeof(short));
    return;
  }
  int codebook_index[4] = {0, 0, 0, 0};
  int found = 0;
  for (int k = 0; k < kTones && found < 4; ++k) {
    if (sp->codebook_p[input][k] == 1) codebook_index[found++] = k;
  }
  const double* r0 = sin_wave[codebook_index[0]];
  const double* r1 = sin_wave[codebook_index[1]];
  const double* r2 = sin_wave[codebook_index[2]];
  const double* r3 = sin_wave[codebook_index[3]];
  const int n = sp->frame_length < kToneRowLength ? sp->frame_length : kToneRowLength;
  for (int i = 0; i < n; ++i) {
    out[i] = static_cast<short>(r0[i] + r1[i] + r2[i] + r3[i]);
  }
  // Beyond 20 ms at 44100 Hz there is no tone data.
  for (int i = n; i < sp->frame_length; ++i) out[i] = 0;
}

void sound_wave_transmit_enccore(sound_wave_transmit_s* sp, int* pre_input, int* input,
                                 int input_length, fetchd_cb fetchd) {
  if (fetchd == nullptr || sp == nullptr || pre_input == nullptr) return;
  if (sp->frame_zeros == nullptr || sp->frame_signal == nullptr) return;
  if (input == nullptr) input_length = 0;
  auto send_symbol = [&](int symbol) {
    sound_wave_transmit_ceartMF(sp, symbol);
    fetchd(sp->frame_zeros, sp->frame_dis);
    fetchd(sp->frame_signal, sp->frame_length);
  };
  for (int i = 0; i < kEdgeSilenceFrames; ++i) fetchd(sp->frame_zeros, sp->frame_dis);
  for (int i = 0; i < kHeaderLength; ++i) send_symbol(pre_input[i]);
  for (int i = 0; i < input_length; ++i) send_symbol(input[i]);
  sound_wave_transmit_ceartMF(sp, kEndSymbol);
  for (int i = 0; i < 2; ++i) {
    fetchd(sp->frame_zeros, sp->frame_dis);
    fetchd(sp->frame_signal, sp->frame_length);
  }
  for (int i = 0; i < kEdgeSilenceFrames; ++i) fetchd(sp->frame_zeros, sp->frame_dis);
}

int encode(const char* info, fetch_cb cb) {
  if (info == nullptr) return -1;
  const size_t charCnt = strlen(info);
  if (charCnt > SOUND_WAVE_TRANSMIT_MAX_CHARS) {
    // The header has three digits for (length + 10): a longer text would go out with a length
    // field no receiver can read.
    print_length_error();
    return -1;
  }
  int pre_input[kHeaderLength] = {kStartSymbol, kStartSymbol, 0, 0, 0, 0, 0, 0};
  std::vector<int> input(charCnt);
  for (size_t i = 0; i < charCnt; ++i) input[i] = static_cast<unsigned char>(info[i]);
  s_cb = cb;
  for (int pass = 0; pass < 3; ++pass) {
    sound_wave_transmit_s state;
    sound_wave_transmit_init(&state, kSampleRate);
    sound_wave_transmit_addinfo(static_cast<int>(charCnt), pre_input);
    sound_wave_transmit_enccore(&state, pre_input, input.data(), static_cast<int>(charCnt),
                                fetchd_cb_func);
    sound_wave_transmit_free(&state);
  }
  return 0;
}

}  // extern "C"
