#!/usr/bin/env node
// A stand-in for shield-helper that ends on cue, for the exits and versions the real binary
// cannot produce on demand. It writes "ready" (with this package's version, as the real helper
// of this build does), answers every command with a status reply that also carries the command
// it received as `received`, and:
//   FAKE_EXIT_ON=<command>  exits with status 7 on that command, without answering it;
//   FAKE_RUNS=<file>        counts its runs in that file, and from the second run on exits with
//                           status 3 before writing "ready";
//   FAKE_STDERR=<text>      writes that line to standard error first;
//   FAKE_VERSION=<text>     says that version in "ready" instead; "none" leaves the field out,
//                           as a helper older than the field does.
import { readFileSync, writeFileSync } from 'node:fs';
import { createInterface } from 'node:readline';

if (process.env.FAKE_STDERR) process.stderr.write(`${process.env.FAKE_STDERR}\n`);
const runsFile = process.env.FAKE_RUNS;
if (runsFile) {
  let runs = 0;
  try {
    runs = Number(readFileSync(runsFile, 'utf8')) || 0;
  } catch {}
  writeFileSync(runsFile, String(runs + 1));
  if (runs >= 1) process.exit(3);
}

const status = {
  watcherRunning: false,
  shieldCount: 0,
  eligibleWindowCount: 0,
  coveredWindowCount: 0,
  uncoveredWindowCount: 0,
  permission: 'unknown',
};
const packageVersion = JSON.parse(readFileSync(new URL('../package.json', import.meta.url), 'utf8')).version;
const version = process.env.FAKE_VERSION ?? packageVersion;
const ready = version === 'none' ? { type: 'ready', ...status } : { type: 'ready', ...status, version };
process.stdout.write(`${JSON.stringify(ready)}\n`);
for await (const line of createInterface({ input: process.stdin })) {
  const command = JSON.parse(line);
  if (command.command === 'shutdown') process.exit(0);
  if (command.command === process.env.FAKE_EXIT_ON) process.exit(7);
  process.stdout.write(`${JSON.stringify({ type: 'status', requestId: command.requestId, ...status, received: command })}\n`);
}
