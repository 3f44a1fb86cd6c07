// Supervision: an unexpected exit restarts the helper with backoff and replays the block; a
// crash loop ends in 'fatal'; close() and stop() never lead to a restart. The real binary is
// killed with SIGKILL; the fake helper exits on cue where a request must be in flight.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { ShieldHelper } from '../dist/index.js';
import { internalsOf } from '../dist/internal.js';
import {
  FAKE_HELPER,
  HELPER,
  PERMISSION_REQUIRED,
  TARGETS,
  collect,
  goHeadless,
  headless,
  nextEvent,
  skipWithoutHelper,
} from './support.mjs';

goHeadless();

function supervised(t, options = {}) {
  const helper = new ShieldHelper({
    binaryPath: HELPER,
    restart: { maxRestarts: 3, windowMs: 60_000, backoffMs: 20 },
    ...options,
  });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  return helper;
}

test('a helper killed mid-block is restarted and the block replayed', { skip: skipWithoutHelper }, async (t) => {
  const helper = supervised(t);
  await helper.start();
  assert.equal((await helper.block(TARGETS, { endsAt: Date.now() + 60_000 })).error, PERMISSION_REQUIRED);
  const first = internalsOf(helper).child();
  const exit = nextEvent(helper, 'exit');
  const restarted = nextEvent(helper, 'restarted');
  first.kill('SIGKILL');
  assert.deepEqual(await exit, { code: null, signal: 'SIGKILL', willRestart: true });
  // A request made while the helper is down waits for it and is answered after the replay.
  const waiting = helper.permissionStatus();
  const status = await restarted;
  const { requestId, ...replayed } = status;
  assert.equal(typeof requestId, 'number');
  assert.deepEqual(replayed, headless({ error: PERMISSION_REQUIRED }), 'the reply to the replayed block');
  assert.notEqual(internalsOf(helper).child().pid, first.pid);
  assert.equal((await waiting).error, PERMISSION_REQUIRED, 'the block is active in the new helper');
  assert.equal(await helper.close(), 0);
});

test('after stop() a restarted helper has no block to replay', { skip: skipWithoutHelper }, async (t) => {
  const helper = supervised(t);
  await helper.start();
  await helper.block(TARGETS);
  await helper.stop();
  const restarted = nextEvent(helper, 'restarted');
  internalsOf(helper).child().kill('SIGKILL');
  assert.deepEqual(await restarted, headless({ type: 'ready', permission: 'unknown' }));
  assert.equal((await helper.permissionStatus()).error, undefined);
});

test('a helper that keeps dying is given up with fatal after maxRestarts', { skip: skipWithoutHelper }, async (t) => {
  const helper = supervised(t);
  await helper.start();
  await helper.block(TARGETS);
  const exits = collect(helper, 'exit');
  const restarts = collect(helper, 'restarted');
  // Every helper that comes back is killed again.
  helper.on('restarted', () => internalsOf(helper).child().kill('SIGKILL'));
  const fatal = nextEvent(helper, 'fatal');
  const startedAt = Date.now();
  internalsOf(helper).child().kill('SIGKILL');
  const error = await fatal;
  assert.match(error.message, /shield-helper exited \(killed by SIGKILL\); it ended 4 times within 60000 ms/);
  assert.deepEqual(
    exits.map((exit) => exit.willRestart),
    [true, true, true, false],
  );
  assert.equal(restarts.length, 3);
  // The backoff doubles: 20 + 40 + 80 ms at least.
  assert.ok(Date.now() - startedAt >= 140, `gave up after ${Date.now() - startedAt} ms`);
  await assert.rejects(helper.stop(), /cannot send "stop": shield-helper exited/);
  assert.equal(await helper.close(), null);
});

test('with restart: false an unexpected exit is fatal at once', { skip: skipWithoutHelper }, async (t) => {
  const helper = supervised(t, { restart: false });
  await helper.start();
  const exit = nextEvent(helper, 'exit');
  const fatal = nextEvent(helper, 'fatal');
  internalsOf(helper).child().kill('SIGKILL');
  assert.deepEqual(await exit, { code: null, signal: 'SIGKILL', willRestart: false });
  assert.match((await fatal).message, /restarting is off/);
});

test('a request in flight when the helper dies is rejected, naming the exit', async (t) => {
  process.env.FAKE_EXIT_ON = 'permission-status';
  t.after(() => delete process.env.FAKE_EXIT_ON);
  const helper = supervised(t, { binaryPath: FAKE_HELPER });
  await helper.start();
  const exit = nextEvent(helper, 'exit');
  const restarted = nextEvent(helper, 'restarted');
  const stop = helper.stop();
  await assert.rejects(helper.permissionStatus(), /shield-helper exited \(exit code 7\) before answering "permission-status"/);
  assert.equal((await stop).requestId !== undefined, true, 'the request before it was answered');
  assert.deepEqual(await exit, { code: 7, signal: null, willRestart: true });
  await restarted;
  assert.equal(typeof (await helper.update(TARGETS)).requestId, 'number');
});

test('a helper that dies before it is ready on every restart ends in fatal', async (t) => {
  const dir = mkdtempSync(path.join(tmpdir(), 'shield-fake-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  process.env.FAKE_EXIT_ON = 'stop';
  process.env.FAKE_RUNS = path.join(dir, 'runs');
  process.env.FAKE_STDERR = 'fake: starting';
  t.after(() => {
    delete process.env.FAKE_EXIT_ON;
    delete process.env.FAKE_RUNS;
    delete process.env.FAKE_STDERR;
  });
  const helper = supervised(t, { binaryPath: FAKE_HELPER, restart: { maxRestarts: 2, backoffMs: 10 } });
  const stderr = collect(helper, 'stderr');
  await helper.start();
  const exits = collect(helper, 'exit');
  const fatal = nextEvent(helper, 'fatal');
  await assert.rejects(helper.stop(), /exited \(exit code 7\) before answering "stop"/);
  await fatal;
  assert.deepEqual(exits, [
    { code: 7, signal: null, willRestart: true },
    { code: 3, signal: null, willRestart: true },
    { code: 3, signal: null, willRestart: false },
  ]);
  // Every run wrote its line to standard error.
  assert.deepEqual(stderr, ['fake: starting', 'fake: starting', 'fake: starting']);
});

test('close() during the backoff cancels the restart', { skip: skipWithoutHelper }, async (t) => {
  const helper = supervised(t, { restart: { backoffMs: 60_000 } });
  await helper.start();
  const exit = nextEvent(helper, 'exit');
  internalsOf(helper).child().kill('SIGKILL');
  assert.equal((await exit).willRestart, true);
  const waiting = helper.permissionStatus();
  assert.equal(await helper.close(), null);
  await assert.rejects(waiting, /the helper was closed/);
  assert.equal(internalsOf(helper).child(), undefined);
});
