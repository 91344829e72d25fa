#!/usr/bin/env node
// Sends a configuration text as sound through the Node-API module and decodes what the virtual
// device played, as a listening device would.
//
//   node examples/node/send_config.js [TEXT] [--format mf|tone] [--times N] [--module PATH]
'use strict';
const { option, loadSonora } = require('./common');

const args = process.argv.slice(2);
const format = option(args, '--format', 'mf');
const times = Number(option(args, '--times', '1'));
const sonora = loadSonora(args);
const text = args[0] || 'ssid=home;psk=secret';

async function main() {
  const vd = sonora.virtualDevice;
  vd.reset();
  // Ctrl-C ends the transmission: the promise is rejected.
  process.once('SIGINT', () => sonora.stopConfig());
  const started = Date.now();
  await sonora.sendConfig(text, { format, times });
  console.log(`sent "${text}" (${format}, ${times}x) in ${((Date.now() - started) / 1000).toFixed(1)} s`);
  const rate = format === 'mf' ? 44100 : 48000;
  for (const t of sonora.decode(vd.rendered(), rate, { format })) console.log(`decoded: ${t}`);
}

main().catch((e) => {
  console.error(e.code === 'ERR_SONORA_STOPPED' ? 'stopped' : e.message);
  process.exit(e.code === 'ERR_SONORA_STOPPED' ? 130 : 1);
});
