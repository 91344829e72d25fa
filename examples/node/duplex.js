#!/usr/bin/env node
// A call on the virtual device through the Node-API module: plays a far-end talker into a
// simulated room while capturing with echo cancellation and noise suppression, then writes what
// the microphone heard and what the capture delivered.
//
//   node examples/node/duplex.js [FAR.wav] [--out-dir DIR] [--module PATH]
//
// Without FAR.wav the far end is speech synthesised by espeak-ng. PATH defaults to
// build/bindings/napi (the module's package.json there points at sonora.node).
'use strict';
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const os = require('node:os');
const fs = require('node:fs');
const { option, loadSonora, readWav, writeWav, resample } = require('./common');

const args = process.argv.slice(2);
const outDir = option(args, '--out-dir', '.');
const sonora = loadSonora(args);
const RATE = 16000;

function farEnd(file) {
  if (file) return readWav(file);
  const wav = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'duplex-')), 'far.wav');
  execFileSync('espeak-ng', ['-v', 'en', '-s', '150', '-w', wav,
    'Good morning, this is the far end speaking. The weather today is mild, with a light ' +
    'breeze from the west and a chance of rain in the evening.']);
  return readWav(wav);
}

async function main() {
  const input = farEnd(args[0]);
  const far = resample(input.samples, input.rate, RATE);
  const vd = sonora.virtualDevice;
  vd.reset();
  vd.setEcho(40, 0.6);  // the room: 40 ms to the microphone, a 150 ms response, a noise floor
  vd.setEchoImpulseResponse(vd.roomImpulseResponse(RATE, 150, 300, 6, 7));
  vd.setCaptureNoise(-60, 11);

  const player = new sonora.Player({ sampleRate: RATE, aec: true, ns: true });
  player.on('failed', (info) => console.error(`the ${info.stream} did not start`));
  player.on('drop', (info) => console.error(`${info.dropped} captured blocks lost`));
  const blocks = [];
  if (!player.start() || !player.startCapture((pcm) => blocks.push(pcm))) process.exit(1);
  // Appends in 20 ms blocks, keeping four queued; then the echo's tail is captured.
  for (let pos = 0; pos < far.length; ) {
    if (player.queued < 4 && player.append(far.subarray(pos, pos + 320))) pos += 320;
    else await new Promise((r) => setTimeout(r, 5));
  }
  player.flush();
  while (player.queued > 0 || blocks.length * 320 < far.length + RATE) {
    await new Promise((r) => setTimeout(r, 10));
  }
  player.stopCapture();
  player.stop();

  const processed = new Int16Array(blocks.length * 320);
  blocks.forEach((b, i) => processed.set(b, i * 320));
  const mic = vd.captured().subarray(0, processed.length);
  const level = (s) => 10 * Math.log10(s.reduce((a, x) => a + x * x, 0) / s.length / 32768 ** 2 + 1e-12);
  fs.mkdirSync(outDir, { recursive: true });
  writeWav(path.join(outDir, 'duplex-mic.wav'), RATE, mic);
  writeWav(path.join(outDir, 'duplex-processed.wav'), RATE, processed);
  console.log(`sonora ${sonora.version}: ${(far.length / RATE).toFixed(1)} s of far end played`);
  console.log(`microphone ${level(mic).toFixed(1)} dBFS, processed ${level(processed).toFixed(1)} dBFS`);
  console.log(`wrote ${path.join(outDir, 'duplex-mic.wav')} and ${path.join(outDir, 'duplex-processed.wav')}`);
}

main().catch((e) => {
  console.error(e.message);
  process.exit(1);
});
