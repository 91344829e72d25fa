// Shared by the examples: command-line options, loading the module and 16-bit PCM WAV files
// (read: mono or the first channel; write: mono).
'use strict';
const fs = require('node:fs');
const path = require('node:path');

// Takes `--name VALUE` out of `args`; `fallback` when absent.
function option(args, name, fallback) {
  const i = args.indexOf(name);
  return i >= 0 ? args.splice(i, 2)[1] : fallback;
}

// The module: --module PATH, by default the build tree's bindings/napi (its package.json points
// at sonora.node). The engine's log lines are left out.
function loadSonora(args) {
  const fallback = path.join(__dirname, '..', '..', 'build', 'bindings', 'napi');
  const sonora = require(path.resolve(option(args, '--module', fallback)));
  sonora.virtualDevice.setLogEnabled(false);
  return sonora;
}

function readWav(file) {
  const b = fs.readFileSync(file);
  if (b.toString('ascii', 0, 4) !== 'RIFF' || b.toString('ascii', 8, 12) !== 'WAVE') {
    throw new Error(`${file}: not a WAV file`);
  }
  let rate = 0, channels = 0, bits = 0;
  for (let at = 12; at + 8 <= b.length; ) {
    const id = b.toString('ascii', at, at + 4), size = b.readUInt32LE(at + 4);
    if (id === 'fmt ') {
      channels = b.readUInt16LE(at + 10);
      rate = b.readUInt32LE(at + 12);
      bits = b.readUInt16LE(at + 22);
    } else if (id === 'data') {
      if (bits !== 16) throw new Error(`${file}: ${bits}-bit samples; 16-bit PCM is read`);
      const end = Math.min(b.length, at + 8 + (size === 0xffffffff ? b.length : size));
      const frames = Math.floor((end - at - 8) / (2 * channels));
      const samples = new Int16Array(frames);
      for (let i = 0; i < frames; ++i) samples[i] = b.readInt16LE(at + 8 + 2 * channels * i);
      return { rate, samples };
    }
    at += 8 + size + (size & 1);
  }
  throw new Error(`${file}: no data chunk`);
}

function writeWav(file, rate, samples) {
  const header = Buffer.alloc(44);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(36 + samples.length * 2, 4);
  header.write('WAVEfmt ', 8, 'ascii');
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20);
  header.writeUInt16LE(1, 22);
  header.writeUInt32LE(rate, 24);
  header.writeUInt32LE(rate * 2, 28);
  header.writeUInt16LE(2, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(samples.length * 2, 40);
  fs.writeFileSync(file, Buffer.concat([header, Buffer.from(samples.buffer, samples.byteOffset, samples.length * 2)]));
}

// Linear interpolation to another rate: enough for speech in an example.
function resample(samples, from, to) {
  if (from === to) return samples;
  const out = new Int16Array(Math.floor((samples.length * to) / from));
  for (let i = 0; i < out.length; ++i) {
    const x = (i * from) / to, k = Math.floor(x), f = x - k;
    out[i] = Math.round(samples[k] * (1 - f) + (samples[Math.min(k + 1, samples.length - 1)] || 0) * f);
  }
  return out;
}

module.exports = { option, loadSonora, readWav, writeWav, resample };
