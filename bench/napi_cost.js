#!/usr/bin/env node
// What the Node-API module costs per appended block and per delivered capture block, against the
// same work through the engine's C++ API (napi_cost_reference), measured in this run:
//
//   node bench/napi_cost.js [BUILD_DIR]      (default: build)
//
// Appends: 640-byte blocks into a playing Player, a full queue cleared. Capture: blocks pumped on
// the virtual device's manual clock, 32 at a time, each batch waited for until the script (the
// C++ callback) has received it.
'use strict';
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const build = path.resolve(process.argv[2] || path.join(__dirname, '..', 'build'));
const sonora = require(path.join(build, 'bindings', 'napi', 'sonora.node'));
const vd = sonora.virtualDevice;
const APPENDS = 200000, CAPTURES = 4000;

function appendNs() {
  vd.reset();
  const player = new sonora.Player();
  player.start();
  const block = new Int16Array(320).fill(1);
  const start = process.hrtime.bigint();
  for (let i = 0; i < APPENDS; ++i) {
    if (!player.append(block)) player.clear();
  }
  const ns = Number(process.hrtime.bigint() - start) / APPENDS;
  player.stop();
  return ns;
}

async function captureNs() {
  vd.reset();
  vd.setManualClock(true);
  const player = new sonora.Player();
  let delivered = 0, sum = 0;
  player.startCapture((pcm, ts) => {
    sum += pcm[pcm.length >> 1] + ts;
    delivered += 1;
  }, { maxQueued: 64 });
  const start = process.hrtime.bigint();
  let pumped = 0;
  while (pumped < CAPTURES) {
    pumped += vd.pumpCapture(32);
    while (delivered + player.captureDropped < pumped) await new Promise(setImmediate);
  }
  const ns = Number(process.hrtime.bigint() - start) / pumped;
  player.stopCapture();
  vd.setManualClock(false);
  return ns;
}

(async () => {
  vd.setLogEnabled(false);
  const reference = path.join(build, 'bindings', 'napi', 'napi_cost_reference');
  const out = execFileSync(reference, [String(APPENDS), String(CAPTURES)], { stdio: ['ignore', 'pipe', 'ignore'] });
  const cpp = Object.fromEntries(out.toString().trim().split('\n').map((l) => l.split(' ')))
  const js = { append_ns: appendNs(), capture_ns: await captureNs() };
  console.log(`sonora ${sonora.version}: module (Node ${process.version}) against the C++ API`);
  console.log(`${'per block'.padEnd(26)} ${'module ns'.padStart(10)} ${'C++ ns'.padStart(10)} ${'ratio'.padStart(7)}`);
  for (const [name, key] of [['appended (640 bytes)', 'append_ns'], ['captured, delivered', 'capture_ns']]) {
    const c = Number(cpp[key]);
    console.log(`${name.padEnd(26)} ${js[key].toFixed(0).padStart(10)} ${c.toFixed(0).padStart(10)} ${(js[key] / c).toFixed(2).padStart(7)}`);
  }
})();
