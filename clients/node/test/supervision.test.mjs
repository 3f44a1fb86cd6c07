// Supervision: an unexpected exit restarts the helper with backoff and replays the block; while
// a block is active the helper is restarted however often it is killed; a crash loop without a
// block, or a helper that cannot start, ends in 'fatal'; close() and stop() never lead to a
// restart; a Ctrl-C to the host's process group does not reach the helper. The real binary is
// killed with SIGKILL; the fake helper exits on cue where a request must be in flight.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';
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
  waitUntil,
  VERSION,
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
  assert.deepEqual(await restarted, headless({ type: 'ready', permission: 'unknown', version: VERSION }));
  assert.equal((await helper.permissionStatus()).error, undefined);
});

test('a helper killed ten times during a block is restarted ten times, the block replayed each time', { skip: skipWithoutHelper }, async (t) => {
  // Far more kills than maxRestarts allows without a block, and waits capped at 40 ms: doubled
  // without a cap, the tenth alone would be 10 s.
  const helper = supervised(t, { restart: { maxRestarts: 3, windowMs: 60_000, backoffMs: 20, maxBackoffMs: 40 } });
  await helper.start();
  await helper.block(TARGETS, { endsAt: Date.now() + 60_000 });
  const exits = collect(helper, 'exit');
  const fatal = collect(helper, 'fatal');
  const pids = [internalsOf(helper).child().pid];
  const startedAt = Date.now();
  for (let kill = 1; kill <= 10; kill++) {
    const restarted = nextEvent(helper, 'restarted');
    internalsOf(helper).child().kill('SIGKILL');
    const { requestId, ...replayed } = await restarted;
    assert.equal(typeof requestId, 'number', `restart ${kill} replayed the block`);
    assert.deepEqual(replayed, headless({ error: PERMISSION_REQUIRED }), `the reply to the block replayed by restart ${kill}`);
    pids.push(internalsOf(helper).child().pid);
  }
  const elapsed = Date.now() - startedAt;
  assert.deepEqual(exits, Array(10).fill({ code: null, signal: 'SIGKILL', willRestart: true }));
  assert.deepEqual(fatal, []);
  assert.equal(new Set(pids).size, 11, 'every restart is a new helper process');
  assert.ok(elapsed < 8000, `ten restarts took ${elapsed} ms: the backoff is not capped`);
  assert.equal((await helper.permissionStatus()).error, PERMISSION_REQUIRED, 'the block is active in the last helper');
  assert.equal(await helper.close(), 0);
});

test('a helper that keeps dying while no block is active is given up with fatal after maxRestarts', { skip: skipWithoutHelper }, async (t) => {
  const helper = supervised(t);
  await helper.start();
  // A block that was stopped is not active: the helper may be given up.
  await helper.block(TARGETS);
  await helper.stop();
  const exits = collect(helper, 'exit');
  const restarts = collect(helper, 'restarted');
  // Every helper that comes back is killed again.
  helper.on('restarted', () => internalsOf(helper).child().kill('SIGKILL'));
  const fatal = nextEvent(helper, 'fatal');
  const startedAt = Date.now();
  internalsOf(helper).child().kill('SIGKILL');
  const error = await fatal;
  assert.match(
    error.message,
    /shield-helper exited \(killed by SIGKILL\); it ended 4 times within 60000 ms while no block was active, so it is not restarted again/,
  );
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

// A helper that cannot start is given up, with or without a block: each of its restarts ends by
// itself before "ready".
for (const { when, exitOn, before } of [
  { when: 'without a block', exitOn: 'stop', before: async () => undefined },
  { when: 'during a block', exitOn: 'permission-status', before: (helper) => helper.block(TARGETS) },
]) {
  test(`a helper that dies before it is ready on every restart ends in fatal ${when}`, async (t) => {
    const dir = mkdtempSync(path.join(tmpdir(), 'shield-fake-'));
    t.after(() => rmSync(dir, { recursive: true, force: true }));
    process.env.FAKE_EXIT_ON = exitOn;
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
    await before(helper);
    const exits = collect(helper, 'exit');
    const fatal = nextEvent(helper, 'fatal');
    const command = exitOn === 'stop' ? helper.stop() : helper.permissionStatus();
    await assert.rejects(command, new RegExp(`exited \\(exit code 7\\) before answering "${exitOn}"`));
    assert.match((await fatal).message, /exited \(exit code 3\); 2 restarts in a row ended before it was ready, so it is not restarted again/);
    assert.deepEqual(exits, [
      { code: 7, signal: null, willRestart: true },
      { code: 3, signal: null, willRestart: true },
      { code: 3, signal: null, willRestart: false },
    ]);
    // Every run wrote its line to standard error.
    assert.deepEqual(stderr, ['fake: starting', 'fake: starting', 'fake: starting']);
  });
}

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

/** Whether process `pid` still runs (a zombie has ended). */
function running(pid) {
  try {
    return readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /s, '')[0] !== 'Z';
  } catch {
    return false;
  }
}

// A host run from a terminal shares the terminal's foreground process group with its children,
// and Ctrl-C sends SIGINT to the whole group. The host here runs in a group of its own, as a
// shell puts a job, and the test plays the terminal.
for (const { how, expected } of [
  {
    how: 'handle',
    // The host's clean-up finds the helper as it was: no unexpected exit, the stop answered,
    // and the helper's own exit code from close().
    expected: [{ stopped: true }, { event: 'exit', code: 0, signal: null, willRestart: false }, { closed: 0 }],
  },
  // A host that dies of its Ctrl-C takes the helper with it: the end of its standard input.
  { how: 'die', expected: [] },
]) {
  test(`a Ctrl-C to the host's process group does not reach the helper (host: ${how})`, { skip: skipWithoutHelper }, async () => {
    const hostScript = path.join(path.dirname(fileURLToPath(import.meta.url)), 'sigint-host.mjs');
    const host = spawn(process.execPath, [hostScript, how], {
      detached: true,
      stdio: ['ignore', 'pipe', 'inherit'],
      env: { ...process.env, SHIELD_HELPER: HELPER },
    });
    const ended = new Promise((resolve) => host.on('close', (code, signal) => resolve({ code, signal })));
    const lines = createInterface({ input: host.stdout })[Symbol.asyncIterator]();
    const { pid } = JSON.parse((await lines.next()).value);
    assert.ok(running(pid), 'the helper runs');
    process.kill(-host.pid, 'SIGINT');
    const said = [];
    for (let line = await lines.next(); !line.done; line = await lines.next()) said.push(JSON.parse(line.value));
    assert.deepEqual(said, expected);
    assert.deepEqual(await ended, how === 'handle' ? { code: 0, signal: null } : { code: null, signal: 'SIGINT' });
    await waitUntil(() => !running(pid), `helper ${pid} to end with its host`);
  });
}
