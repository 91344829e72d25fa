// Tone encoder of sound-wave configuration: a short byte string becomes a sequence of six-valued
// codes protected by a CRC-16/MODBUS, and each code becomes a burst of triangle-wave PCM whose
// frequency identifies it. Plain functions with no state, exported with C linkage.
//
// Codes: 0-3 carry one dibit each (00, 01, 10, 11), 4 repeats the dibit before it, 5 separates.
// Frequencies are 16000 / (10, 9, 8, 7, 6, 5) x 3 Hz; at 48000 Hz the periods are 10 down to 5
// whole samples (4800, 5333.3, 6000, 6857.1, 8000 and 9600 Hz).
//
// Stream: 5 5, then per payload byte (the text, then the CRC low byte, then its high byte) a 5 and
// the four dibits from the most significant pair, with a 4 between two equal dibits; finally the
// last code twice more.
#ifndef UTILS_VOICEENC_H
#define UTILS_VOICEENC_H

extern "C" {

// Writes the code stream of `len` bytes of `data` into `code` (at most `maxLen` codes are stored)
// and returns the full length of the stream, which may exceed `maxLen`. Prints the checksum line
// to standard output. A negative `len` or a null `data` is taken as an empty text.
int voiceenc_data2code(const unsigned char* data, int len, unsigned char* code, int maxLen);

// Renders `signalCnt` periods of the triangle tone of `code` (amplitude 8192) at `samplerate`
// as 16-bit native-order samples into `buffer`, and returns the number of bytes written.
// `maxLen` is the capacity of `buffer` in bytes: no period starts at or after sample
// `maxLen` - 20, and no period is written that would not fit. A code outside 0-5, a rate with
// fewer than two samples per period or a `signalCnt` below 1 renders nothing and returns 0.
int voiceenc_code2pcm_16K16Bit(int samplerate, int signalCnt, unsigned char code,
                               unsigned char* buffer, int maxLen);

// CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF, no final XOR) with its two bytes exchanged
// in the low 16 bits; bits 16-23 repeat the CRC's high byte.
unsigned int crc_16(unsigned char* buf, unsigned int length);

// 8-bit CRC: reflected polynomial 0x07 (0xE0), initial 0, no final XOR.
unsigned char crc_8(unsigned char* data, int length);
}

#endif  // UTILS_VOICEENC_H
