#!/usr/bin/env python3
"""Writes the small seed corpora of fuzz/corpus/<target>/ (committed; rerun to regenerate)."""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes(data))


rng = random.Random(1)

# pile_buffer_fuzz: capacity bytes, then (op, size, bytes...) records.
write("pile_buffer_fuzz", "small", [0x00, 0x10, 0x01, 0x05, 1, 2, 3, 4, 5, 0x00, 0x02, 9, 9])
write("pile_buffer_fuzz", "blocks", [0x01, 0x00, 0x21, 0x40] + [rng.randrange(256) for _ in range(90)] + [0x00])
write("pile_buffer_fuzz", "swap", [0x01, 0xA2, 0x30, 0xE1, 0x10] + list(range(40)) + [0xC0, 0x00])

# append_fuzz: first byte odd = model mode, even = free mode.
write("append_fuzz", "model", [0x01, 0x02, 0x01, 0x03, 0x28, 0x00, 0x01, 0x10, 0x05, 0x07, 0x04, 0x02, 0x07, 0x08])
write("append_fuzz", "model_pause", [0x01, 0x01, 0x00, 0x01, 0x10, 0x00, 0x02, 0x20, 0x04, 0x01, 0x07, 0x03, 0x04, 0x00, 0x07, 0x05])
write("append_fuzz", "free", [0x00, 0x04, 0x03, 0x01, 0x01, 0x00, 0x10, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x30, 0x07, 0x04, 0x09, 0x00, 0x07, 0x05])
write("append_fuzz", "free_random", [0x00] + [rng.randrange(256) for _ in range(200)])


def pcm(samples):
    return b"".join(struct.pack("<h", max(-32768, min(32767, int(s)))) for s in samples)


# tone_receiver_fuzz / mf_receiver_fuzz: byte 0 bit 0 set = encoded transmission, clear = raw PCM.
for target in ("tone_receiver_fuzz", "mf_receiver_fuzz"):
    write(target, "tx_48k_ab", [0x03, 0x02, ord("a"), ord("b"), 0x00, 0x00])
    write(target, "tx_44k_hi", [0x01, 0x03, ord("h"), ord("i"), ord("!"), 0x00, 0x00])
    write(target, "tx_edits", [0x01, 0x02, 0x31, 0x32, 0x02] + [rng.randrange(256) for _ in range(40)])
    noise = pcm(rng.gauss(0, 3000) for _ in range(400))
    write(target, "raw_noise", bytes([0x00, 0xC8, 0x90, 0x01]) + noise)
    tone = pcm(8000 * (1 if (i // 5) % 2 else -1) for i in range(480))
    write(target, "raw_square", bytes([0x02, 0xFF, 0x01]) + tone + bytes([0xFF]))

# voiceenc_fuzz: first bit picks data2code (1) or code2pcm (0).
write("voiceenc_fuzz", "data2code", [0x01, 0x00, 0x01, 0x10, 0x05, ord("s"), ord("s"), ord("i"), ord("d"), ord("=")])
write("voiceenc_fuzz", "data2code_small", [0x01, 0x00, 0x00, 0x03, 0x02, 0xAA, 0x55])
write("voiceenc_fuzz", "code2pcm", [0x00, 0x01, 0x00, 0x02, 0x01, 0x03, 0x01, 0x00, 0x10, 0x00])
write("voiceenc_fuzz", "code2pcm_tiny", [0x00, 0x01, 0x05, 0x00, 0x3C, 0x01, 0x05, 0x00, 0x18])
