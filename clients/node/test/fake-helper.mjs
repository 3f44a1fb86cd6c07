#!/usr/bin/env node
// A stand-in for shield-helper that ends on cue, for the exits the real binary cannot produce
// on demand. It writes "ready", answers every command with a status reply, and:
//   FAKE_EXIT_ON=<command>  exits with status 7 on that command, without answering it;
//   FAKE_RUNS=<file>        counts its runs in that file, and from the second run on exits with
//                           status 3 before writing "ready";
//   FAKE_STDERR=<text>      writes that line to standard error first.
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
process.stdout.write(`${JSON.stringify({ type: 'ready', ...status })}\n`);
for await (const line of createInterface({ input: process.stdin })) {
  const command = JSON.parse(line);
  if (command.command === 'shutdown') process.exit(0);
  if (command.command === process.env.FAKE_EXIT_ON) process.exit(7);
  process.stdout.write(`${JSON.stringify({ type: 'status', requestId: command.requestId, ...status })}\n`);
}
