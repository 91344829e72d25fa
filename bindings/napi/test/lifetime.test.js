'use strict';
// Lifetime: a Player collected while it plays and captures, and a worker whose environment ends
// while its Player does, stop cleanly and free the microphone for the next Player.
const test = require('node:test');
const assert = require('node:assert');
const { Worker } = require('node:worker_threads');
const { sonora, modulePath, sleep, waitFor } = require('./common');

// Starts capture on a new Player (collecting what the collector can meanwhile); the Player once
// it captures, or null when the microphone stays taken for `ms`.
async function captureWhenFree(onBlock, ms) {
  const deadline = Date.now() + ms;
  while (Date.now() < deadline) {
    global.gc();
    await sleep(20);
    const p = new sonora.Player();
    try {
      if (p.startCapture(onBlock)) return p;
    } catch (e) {
      assert.match(e.message, /another Player is capturing/);
    }
  }
  return null;
}

test('a Player collected while playing and capturing stops both', async () => {
  let orphanBlocks = 0;
  (() => {
    const orphan = new sonora.Player();
    orphan.on('start', () => {});  // listeners do not keep it alive
    assert.ok(orphan.start());
    assert.ok(orphan.append(new Int16Array(16000).fill(1000)));
    assert.ok(orphan.startCapture(() => { orphanBlocks += 1; }));
  })();
  await waitFor(() => orphanBlocks >= 3, 5000, 'the orphan capturing');
  const next = await captureWhenFree(() => {}, 10000);
  assert.ok(next, 'the collected Player released the microphone');
  const seen = orphanBlocks;
  await sleep(200);
  assert.strictEqual(orphanBlocks, seen, 'the collected Player delivered blocks');
  next.stopCapture();
});

test('a worker ending while its Player plays and captures releases the microphone', async () => {
  const worker = new Worker(`
    const { parentPort, workerData } = require('node:worker_threads');
    const sonora = require(workerData);
    const player = new sonora.Player({ aec: true });
    player.start();
    player.append(new Int16Array(16000).fill(500));
    let blocks = 0;
    // A slow script: blocks are still queued for it when the environment ends.
    player.startCapture(() => {
      if (++blocks === 3) parentPort.postMessage('capturing');
      const until = Date.now() + 30;
      while (Date.now() < until);
    }, { maxQueued: 4 });
  `, { eval: true, workerData: modulePath });
  await new Promise((resolve, reject) => {
    worker.once('message', resolve);
    worker.once('error', reject);
  });
  await worker.terminate();
  const next = new sonora.Player();
  assert.strictEqual(next.startCapture(() => {}), true);
  next.stopCapture();
});
