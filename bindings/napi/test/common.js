// Shared by the script tests: the module under test (SONORA_NAPI_MODULE, set by CTest, or the
// default build folder) and waiting helpers.
'use strict';
const path = require('node:path');

const modulePath =
  process.env.SONORA_NAPI_MODULE ||
  path.join(__dirname, '..', '..', '..', 'build', 'bindings', 'napi', 'sonora.node');
const sonora = require(modulePath);
sonora.virtualDevice.setLogEnabled(false);

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls `condition` every 5 ms; throws when it does not hold within `ms`.
async function waitFor(condition, ms, what) {
  const deadline = Date.now() + ms;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(5);
  }
}

// Appends `pcm` (Int16Array) in blocks of `samples`, keeping at most `backlog` blocks queued.
async function feed(player, pcm, samples, backlog) {
  for (let pos = 0; pos < pcm.length; ) {
    const block = pcm.subarray(pos, pos + samples);
    if (player.queued < backlog && player.append(block)) {
      pos += block.length;
    } else {
      await sleep(2);
    }
  }
  player.flush();
}

module.exports = { sonora, modulePath, sleep, waitFor, feed };
