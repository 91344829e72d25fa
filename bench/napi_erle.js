#!/usr/bin/env node
// Echo return loss enhancement through the Node-API module against the engine's C++ API, over
// several real-time runs of the same scene each (one run lands anywhere from about 10 to 36 dB on
// either path: the canceller's alignment follows the threads' timing), interleaved:
//
//   node bench/napi_erle.js [RUNS] [BUILD_DIR]        (default 6 runs, build)
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const runs = Number(process.argv[2] || 6);
const build = path.resolve(process.argv[3] || path.join(__dirname, '..', 'build'));
process.env.SONORA_NAPI_MODULE ||= path.join(build, 'bindings', 'napi', 'sonora.node');
process.env.SONORA_DUPLEX_REFERENCE ||= path.join(build, 'bindings', 'napi', 'napi_duplex_reference');
const { farEnd, moduleRun, referenceRun } = require('../bindings/napi/test/duplex_scene');

const median = (v) => {
  const s = [...v].sort((a, b) => a - b);
  return s.length % 2 ? s[s.length >> 1] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};
const mean = (v) => v.reduce((a, b) => a + b, 0) / v.length;

(async () => {
  const far = farEnd(5);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'napi-erle-'));
  const cpp = [], js = [];
  for (let r = 0; r < runs; ++r) {
    cpp.push(referenceRun(far, dir));
    js.push(await moduleRun(far));
  }
  fs.rmSync(dir, { recursive: true });
  const row = (name, v) => console.log(`${name.padEnd(10)} ${median(v).toFixed(1).padStart(8)} ${mean(v).toFixed(1).padStart(8)}   ${v.map((x) => x.toFixed(1)).join(' ')}`);
  console.log(`ERLE in dB over ${runs} runs each (5 s far end, room of sonora duplex, AEC + NS)`);
  console.log(`${'path'.padEnd(10)} ${'median'.padStart(8)} ${'mean'.padStart(8)}   runs`);
  row('module', js);
  row('C++', cpp);
  console.log(`module - C++: median ${(median(js) - median(cpp)).toFixed(1)} dB, mean ${(mean(js) - mean(cpp)).toFixed(1)} dB`);
})();
