'use strict';
// Sound-wave configuration: what sendConfig plays decodes to the text in both formats, and a
// stopConfig() rejects the pending call.
const test = require('node:test');
const assert = require('node:assert');
const { sonora } = require('./common');

const vd = sonora.virtualDevice;

test('sendConfig plays a text that decodes back, in both formats', async () => {
  for (const [format, rate] of [['mf', 44100], ['tone', 48000]]) {
    vd.reset();
    const text = `ssid=home-${format};psk=Zürich`;
    await sonora.sendConfig(text, { format });
    assert.deepStrictEqual(sonora.decode(vd.rendered(), rate, { format }), [text], format);
  }
});

test('stopConfig rejects the pending sendConfig and the next one runs', async () => {
  vd.reset();
  const started = Date.now();
  const pending = sonora.sendConfig('stop me', { format: 'tone', times: 10 });
  setTimeout(() => sonora.stopConfig(), 300);
  await assert.rejects(pending, { code: 'ERR_SONORA_STOPPED' });
  assert.ok(Date.now() - started < 5000, 'the stop cut the transmission short');
  // A stop called before a sendConfig does not affect it.
  vd.reset();
  await sonora.sendConfig('after', { format: 'mf' });
  assert.deepStrictEqual(sonora.decode(vd.rendered(), 44100), ['after']);
});
