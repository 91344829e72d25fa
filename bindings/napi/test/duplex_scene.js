// The echo-cancellation scene of the script tests and bench/napi_erle.js: a far end played into
// a simulated room while capturing with echo cancellation and noise suppression, through the
// module or through the engine's C++ API (napi_duplex_reference), and the echo return loss
// enhancement measured as `sonora duplex` measures it.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const { sonora, waitFor, feed } = require('./common');

const vd = sonora.virtualDevice;
const RATE = 16000;
const BLOCK = 320; // samples, 20 ms
// The room of `sonora duplex`: echo 40 ms x 0.6, a 150 ms response (RT60 300 ms, DRR 6 dB),
// noise floor -60 dBFS.
const ROOM = { delayMs: 40, gain: 0.6, lengthMs: 150, rt60Ms: 300, drrDb: 6, noiseDbfs: -60 };

// Voiced syllables (harmonics of a gliding pitch under a smooth envelope) and pauses, like
// speech for the canceller; the same every run.
function farEnd(seconds) {
  const out = new Int16Array(seconds * RATE);
  let seed = 7;
  const rand = () => ((seed = (seed * 1664525 + 1013904223) >>> 0) / 4294967296);
  for (let pos = 0; pos < out.length; ) {
    const len = Math.floor((0.15 + 0.15 * rand()) * RATE);
    const f0 = 100 + 100 * rand(), glide = (rand() - 0.5) * 60;
    const weights = Array.from({ length: 12 }, (_, k) => rand() / (k + 1));
    let phase = 0;
    for (let i = 0; i < len && pos + i < out.length; ++i) {
      phase += (2 * Math.PI * (f0 + (glide * i) / len)) / RATE;
      let s = 0;
      for (let k = 0; k < weights.length; ++k) s += weights[k] * Math.sin((k + 1) * phase);
      out[pos + i] = Math.round(9000 * s * Math.sin((Math.PI * i) / len));
    }
    pos += len + Math.floor((0.03 + 0.12 * rand()) * RATE);
  }
  return out;
}

function energies(samples) {
  const e = [];
  for (let j = 0; (j + 1) * BLOCK <= samples.length; ++j) {
    let sum = 0;
    for (let i = j * BLOCK; i < (j + 1) * BLOCK; ++i) sum += samples[i] * samples[i];
    e.push(sum);
  }
  return e;
}

// As `sonora duplex` measures it: microphone over processed energy, over the blocks after 2 s in
// which the far end was played in any block the echo reaches back to.
function erle(rendered, mic, processed) {
  const far = energies(rendered), m = energies(mic), out = energies(processed);
  const reach = Math.floor((ROOM.delayMs + ROOM.lengthMs / 2 + 40) / 20);
  const active = (e) => 10 * Math.log10(e / BLOCK / 32768 / 32768 + 1e-30) > -50;
  let num = 0, den = 0;
  for (let j = 100; j < Math.min(m.length, out.length); ++j) {
    let farActive = false;
    for (let k = 0; k <= reach && k <= j; ++k) farActive ||= j - k < far.length && active(far[j - k]);
    if (farActive) {
      num += m[j];
      den += out[j];
    }
  }
  return 10 * Math.log10(num / den);
}

const int16 = (buffer) => new Int16Array(buffer.buffer, buffer.byteOffset, buffer.length >> 1);

// One run of the module: the far end played in the room while capturing with AEC and NS.
async function moduleRun(far) {
  vd.reset();
  vd.setEcho(ROOM.delayMs, ROOM.gain);
  vd.setEchoImpulseResponse(vd.roomImpulseResponse(RATE, ROOM.lengthMs, ROOM.rt60Ms, ROOM.drrDb, 7));
  vd.setCaptureNoise(ROOM.noiseDbfs, 11);
  const player = new sonora.Player({ aec: true, ns: true });
  const blocks = [];
  assert.strictEqual(player.start(), true);
  assert.strictEqual(player.startCapture((pcm) => blocks.push(pcm)), true);
  await feed(player, far, BLOCK * 2, 4);
  const wanted = far.length + 2 * RATE;
  await waitFor(() => player.queued === 0 && blocks.length * BLOCK >= wanted, 15000, 'the capture');
  player.stopCapture();
  player.stop();
  assert.strictEqual(player.captureDropped, 0);
  const processed = new Int16Array(blocks.length * BLOCK);
  blocks.forEach((b, i) => processed.set(b, i * BLOCK));
  return erle(vd.rendered(), vd.captured(), processed);
}

function referenceRun(far, dir) {
  const reference = process.env.SONORA_DUPLEX_REFERENCE ||
    path.join(__dirname, '..', '..', '..', 'build', 'bindings', 'napi', 'napi_duplex_reference');
  fs.writeFileSync(path.join(dir, 'far.raw'), far);
  execFileSync(reference, [path.join(dir, 'far.raw'), dir, ROOM.delayMs, ROOM.gain, ROOM.lengthMs,
    ROOM.rt60Ms, ROOM.drrDb, ROOM.noiseDbfs].map(String), { stdio: 'pipe' });
  const read = (name) => int16(fs.readFileSync(path.join(dir, name)));
  return erle(read('rendered.raw'), read('mic.raw'), read('processed.raw'));
}

module.exports = { RATE, BLOCK, farEnd, moduleRun, referenceRun };
