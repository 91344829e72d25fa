'use strict';
// Capture through the module: blocks delivered whole, in order and with increasing timestamps;
// and with echo cancellation in a simulated room, an echo return loss enhancement as good as the
// engine's C++ API gives (napi_duplex_reference) with the same far end and room.
//
// The figure of one real-time run varies by several dB from run to run on either path (the
// canceller's alignment follows the threads' timing), so the paths are compared over two runs
// each, interleaved, with a margin; a module that lost, reordered or corrupted blocks would fall
// far below it.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { sonora, sleep, waitFor, feed } = require('./common');

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

test('captured blocks arrive whole, in order, with increasing timestamps', async () => {
  vd.reset();
  const source = farEnd(2);
  vd.setCaptureSource(source, true);
  const player = new sonora.Player();
  const blocks = [], stamps = [];
  assert.strictEqual(player.startCapture((pcm, ts) => {
    blocks.push(pcm);
    stamps.push(ts);
  }), true);
  await waitFor(() => blocks.length >= 40, 10000, '40 blocks');
  player.stopCapture();
  const count = blocks.length;
  await sleep(100);
  assert.strictEqual(blocks.length, count, 'a block came after stopCapture()');
  assert.strictEqual(player.captureDropped, 0);
  const delivered = new Int16Array(count * BLOCK);
  blocks.forEach((b, i) => delivered.set(b, i * BLOCK));
  assert.deepStrictEqual(delivered, vd.captured().subarray(0, delivered.length));
  for (let i = 1; i < count; ++i) assert.ok(stamps[i] > stamps[i - 1], `timestamp ${i}`);
  const span = stamps[count - 1] - stamps[0];
  assert.ok(Math.abs(span - 20 * (count - 1)) < 400, `${count} blocks over ${span} ms`);
});

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

test('echo cancellation through the module is as good as through the C++ API', async () => {
  const far = farEnd(5);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'sonora-duplex-'));
  const cpp = [], js = [];
  try {
    for (let run = 0; run < 2; ++run) {
      cpp.push(referenceRun(far, dir));
      js.push(await moduleRun(far));
    }
  } finally {
    fs.rmSync(dir, { recursive: true });
  }
  const mean = (v) => v.reduce((a, b) => a + b, 0) / v.length;
  const show = (v) => v.map((x) => x.toFixed(1)).join(', ');
  console.log(`ERLE dB: module ${show(js)} (mean ${mean(js).toFixed(1)}), ` +
    `C++ ${show(cpp)} (mean ${mean(cpp).toFixed(1)})`);
  assert.ok([...cpp, ...js].every((e) => e > 10), 'every run cancels the echo by 10 dB or more');
  assert.ok(mean(js) >= mean(cpp) - 5, 'the module is within the runs\' spread of the C++ path');
});
