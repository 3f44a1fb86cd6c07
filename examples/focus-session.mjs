#!/usr/bin/env node
// A focus-session host built on the Node library: it blocks the applications named on the
// command line for a while, prints what the helper reports, and ends on time or on Ctrl-C.
//
// Usage: node examples/focus-session.mjs [--seconds N] [--binary PATH] CLASS...
// CLASS is what a target's bundleId names: on X11 the class part of WM_CLASS (such as XTerm),
// on macOS a bundle identifier (such as com.apple.TextEdit). The helper binary is found as the
// library finds it: --binary, $SHIELD_HELPER_PATH, or the one packed with the package.

import { parseArgs } from 'node:util';
import { ShieldHelper } from '../clients/node/dist/index.js';

const { values, positionals } = parseArgs({
  options: { seconds: { type: 'string', default: '60' }, binary: { type: 'string' } },
  allowPositionals: true,
});
const seconds = Number(values.seconds);
if (!positionals.length || !(seconds > 0)) {
  console.error('usage: node examples/focus-session.mjs [--seconds N] [--binary PATH] CLASS...');
  process.exit(2);
}

const say = (text) => console.log(`${new Date().toISOString().slice(11, 19)}  ${text}`);
const coverage = (s) =>
  `${s.coveredWindowCount}/${s.eligibleWindowCount} windows covered, permission ${s.permission}` +
  (s.error ? ` (${s.error})` : '') +
  (s.coverageError ? ` (${s.coverageError})` : '');

const helper = new ShieldHelper({ binaryPath: values.binary });
let attempts = 0;
helper.on('status', (s) => say(`coverage changed: ${coverage(s)}`));
helper.on('accessAttempt', (a) => say(`access attempt #${++attempts}: ${a.appName}`));
helper.on('protocolError', (text) => say(`protocol error: ${text}`));
helper.on('exit', (e) => e.willRestart && say(`helper ended (${e.signal ?? `code ${e.code}`}); restarting`));
helper.on('restarted', (s) => say(`helper restarted, block replayed: ${coverage(s)}`));
helper.on('fatal', (error) => {
  say(`giving up: ${error.message}`);
  process.exitCode = 1;
});

const ready = await helper.start();
say(`helper ready (permission ${ready.permission})`);
const targets = positionals.map((name) => ({ id: name.toLowerCase(), name, bundleId: name }));
const endsAt = Date.now() + seconds * 1000;
say(`blocking ${positionals.join(', ')} for ${seconds} s: ${coverage(await helper.block(targets, { endsAt }))}`);

// The helper ends the block itself at endsAt; the host only has to stop waiting.
await new Promise((resolve) => {
  const timer = setTimeout(resolve, Math.max(endsAt - Date.now(), 0));
  process.once('SIGINT', () => {
    clearTimeout(timer);
    say('interrupted');
    resolve();
  });
});
if (helper.lastStatus?.watcherRunning) await helper.stop().catch(() => undefined);
say(`focus session over: ${attempts} access attempt${attempts === 1 ? '' : 's'}; helper exit code ${await helper.close()}`);
