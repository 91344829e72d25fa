'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { sonora, sleep, waitFor, feed } = require('./common');

const vd = sonora.virtualDevice;

test('appended PCM is rendered bit-exact and an autoStop player reports autostop', async () => {
  vd.reset();
  // Two seconds of a chirp with noise, no zero first sample.
  const pcm = new Int16Array(32000);
  let seed = 1;
  for (let i = 0; i < pcm.length; ++i) {
    seed = (seed * 1103515245 + 12345) >>> 0;
    const chirp = Math.sin((2 * Math.PI * (200 + i / 20) * i) / 16000);
    pcm[i] = Math.round(12000 * chirp + ((seed >>> 16) % 2001) - 1000) || 1;
  }
  const player = new sonora.Player({ autoStop: true, bufferFrameCount: 50 });
  const events = [];
  player.on('start', (info) => events.push(`start:${info.stream}`));
  player.on('autostop', () => events.push('autostop'));
  assert.strictEqual(player.start(), true);
  await feed(player, pcm, 320, 40);
  await waitFor(() => events.includes('autostop'), 10000, 'autostop');
  assert.strictEqual(player.stop(), true);
  assert.deepStrictEqual(events, ['start:playback', 'autostop']);

  const rendered = vd.rendered();
  const first = rendered.findIndex((s) => s !== 0);
  assert.ok(first >= 0, 'nothing was rendered');
  assert.deepStrictEqual(rendered.subarray(first, first + pcm.length), pcm);
  assert.ok(rendered.subarray(first + pcm.length).every((s) => s === 0));
});

test('a script callback that throws is reported, never a crash', async () => {
  vd.reset();
  const player = new sonora.Player();
  const errors = [];
  player.on('error', (e) => errors.push(e.message));
  assert.strictEqual(player.startCapture(() => { throw new Error('boom in onBlock'); }), true);
  await waitFor(() => errors.length >= 2, 5000, 'error events');
  assert.strictEqual(errors[0], 'boom in onBlock');
  assert.strictEqual(player.stopCapture(), true);

  // Without an 'error' listener: a process warning.
  const warnings = [];
  const onWarning = (w) => warnings.push(w.message);
  process.on('warning', onWarning);
  const quiet = new sonora.Player();
  quiet.on('start', () => { throw new Error('boom in a listener'); });
  quiet.start();
  await waitFor(() => warnings.includes('boom in a listener'), 5000, 'the warning');
  process.off('warning', onWarning);
  quiet.stop();
});

test('engine events reach listeners with what they carry', async () => {
  vd.reset();
  const player = new sonora.Player();
  const seen = [];
  for (const name of ['start', 'failed', 'interruption', 'streamError']) {
    player.on(name, (info) => seen.push({ name, ...info }));
  }
  vd.failNextCapturerStart(3);
  assert.strictEqual(player.startCapture(() => {}), false);
  assert.ok(player.start());
  vd.injectRendererError(1);
  vd.injectRendererInterrupt(0, 3); // the system stopped playback
  await waitFor(() => seen.length === 5, 5000, 'five events');
  assert.deepStrictEqual(seen, [
    { name: 'start', stream: 'capture' }, // the processing thread ran, then the device refused
    { name: 'failed', stream: 'capture' },
    { name: 'start', stream: 'playback' },
    { name: 'streamError', stream: 'playback', fatal: false },
    { name: 'interruption', stream: 'playback', force: 'force', hint: 'stop', stopped: true },
  ]);
  assert.strictEqual(player.working, false);
});

test('bad arguments are refused with an error naming them', () => {
  const p = new sonora.Player();
  const cases = [
    [() => new sonora.Player({ sampleRate: 'fast' }), TypeError, /'sampleRate' must be an integer/],
    [() => new sonora.Player({ channels: 0 }), TypeError, /'channels'/],
    [() => new sonora.Player({ bitsPerSample: 12 }), TypeError, /'bitsPerSample'/],
    [() => new sonora.Player({ block: 641 }), TypeError, /'block'/],
    [() => new sonora.Player({ aec: 1 }), TypeError, /'aec' must be a boolean/],
    [() => new sonora.Player({ aec: true, canceller: 'best' }), TypeError, /'canceller' must be/],
    [() => new sonora.Player({ canceller: 'full' }), TypeError, /'canceller': .*needs aec/],
    [() => new sonora.Player({ aec: true, canceller: 'full', sampleRate: 44100, block: 3528 }),
      TypeError, /'canceller'/],
    [() => new sonora.Player({ sampelRate: 16000 }), TypeError, /unknown option 'sampelRate'/],
    [() => new sonora.Player([]), TypeError, /must be an object/],
    [() => sonora.Player(), TypeError, /new/],
    [() => p.append([1, 2, 3]), TypeError, /Int16Array or a Buffer/],
    [() => p.append(new Float32Array(4)), TypeError, /Int16Array/],
    [() => { p.volume = NaN; }, TypeError, /volume/],
    [() => { p.volume = -1; }, TypeError, /volume/],
    [() => p.on('stat', () => {}), TypeError, /unknown event/],
    [() => p.on('start', 'not a function'), TypeError, /function/],
    [() => p.startCapture(), TypeError, /onBlock/],
    [() => p.startCapture(() => {}, { gainType: 'loud' }), TypeError, /'gainType'/],
    [() => p.startCapture(() => {}, { gainType: 'agc', gain: 61 }), TypeError, /'gain'/],
    [() => p.startCapture(() => {}, { maxQueued: 0 }), TypeError, /'maxQueued'/],
    [() => new sonora.Player({ bitsPerSample: 8, block: 320 }).startCapture(() => {}), TypeError, /16-bit/],
    [() => sonora.Player.prototype.start.call({}), TypeError, /Illegal invocation|not a Player/],
    [() => sonora.sendConfig(42), TypeError, /text must be a string/],
    [() => sonora.sendConfig('x', { format: 'fm' }), TypeError, /'format'/],
    [() => sonora.sendConfig('x', { times: 0 }), TypeError, /'times'/],
    [() => sonora.sendConfig('x'.repeat(990)), TypeError, /at most 989 bytes/],
    [() => sonora.sendConfig('a\0b'), TypeError, /NUL/],
    [() => sonora.decode(new Uint8Array(4), 44100), TypeError, /Int16Array/],
    [() => sonora.decode(new Int16Array(4), 8000, { format: 'mf' }), TypeError, /32000/],
    [() => vd.setEcho('long', 1), TypeError, /delayMs/],
  ];
  for (const [fn, type, message] of cases) {
    assert.throws(fn, (e) => e instanceof type && message.test(e.message), `${fn}`);
  }
  // The refused calls left the player usable; a canceller the options suit is taken.
  assert.doesNotThrow(() => new sonora.Player({ aec: true, canceller: 'full', sampleRate: 48000, block: 1920 }));
  assert.strictEqual(p.volume, 1);
  assert.strictEqual(p.capturing, false);
});
