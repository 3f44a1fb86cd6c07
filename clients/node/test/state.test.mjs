// The instance's state and its 'state' event through a life (start, a restart, close, reset),
// the coverage forgotten once a helper ends, and reset() bringing a failed or closed instance
// back to 'idle' so that it can be started again.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { HelperNotRunningError, ShieldHelper, ShieldHelperError } from '../dist/index.js';
import { internalsOf } from '../dist/internal.js';
import {
  FAKE_HELPER,
  HELPER,
  PERMISSION_REQUIRED,
  TARGETS,
  collect,
  goHeadless,
  nextEvent,
  setEnv,
  skipWithoutHelper,
} from './support.mjs';

goHeadless();

function helperFor(t, options = {}) {
  const helper = new ShieldHelper({ binaryPath: HELPER, restart: { backoffMs: 20 }, ...options });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  return helper;
}

test("the state follows the instance's life, with one 'state' event for every change", { skip: skipWithoutHelper }, async (t) => {
  const helper = helperFor(t);
  assert.equal(helper.state, 'idle');
  const changes = collect(helper, 'state');
  // Each event sees the state it announces.
  const seen = [];
  helper.on('state', (state) => seen.push(helper.state === state));

  await helper.start();
  assert.equal(helper.state, 'running');
  await helper.block(TARGETS);
  const restarted = nextEvent(helper, 'restarted');
  internalsOf(helper).child().kill('SIGKILL');
  await restarted;
  assert.equal(helper.state, 'running');
  await helper.close();
  assert.equal(helper.state, 'closed');
  helper.reset();
  assert.equal(helper.state, 'idle');
  await helper.start();
  await helper.close();

  assert.deepEqual(changes, [
    'starting',
    'running',
    'restarting',
    'running',
    'closing',
    'closed',
    'idle',
    'starting',
    'running',
    'closing',
    'closed',
  ]);
  assert.ok(seen.every(Boolean));
});

test("the 'state' listener gets the previous state too", { skip: skipWithoutHelper }, async (t) => {
  const helper = helperFor(t);
  const pairs = [];
  helper.on('state', (state, previous) => pairs.push([previous, state]));
  await helper.start();
  await helper.close();
  assert.deepEqual(pairs, [
    ['idle', 'starting'],
    ['starting', 'running'],
    ['running', 'closing'],
    ['closing', 'closed'],
  ]);
});

// Whichever way a helper ends, its shields end with it: no coverage figures may outlive it.
for (const { how, options, end, state } of [
  { how: 'killed, to be restarted', options: { restart: { backoffMs: 60_000 } }, end: (helper) => internalsOf(helper).child().kill('SIGKILL'), state: 'restarting' },
  { how: 'killed, with restarting off', options: { restart: false }, end: (helper) => internalsOf(helper).child().kill('SIGKILL'), state: 'failed' },
  { how: 'closed', options: {}, end: (helper) => helper.close(), state: 'closed' },
]) {
  test(`the coverage is cleared when the helper ends (${how})`, { skip: skipWithoutHelper }, async (t) => {
    const helper = helperFor(t, options);
    helper.on('fatal', () => undefined);
    await helper.start();
    const blocked = await helper.block(TARGETS);
    assert.deepEqual(helper.lastStatus, blocked);
    const atExit = nextEvent(helper, 'exit').then(() => [helper.lastStatus, helper.pid]);
    end(helper);
    assert.deepEqual(await atExit, [undefined, undefined], 'no coverage and no pid as the exit is announced');
    assert.equal(helper.state, state);
    assert.equal(helper.lastStatus, undefined);
  });
}

test('a restarted helper reports coverage again: the reply to the replayed block', { skip: skipWithoutHelper }, async (t) => {
  const helper = helperFor(t);
  await helper.start();
  await helper.block(TARGETS);
  const restarted = nextEvent(helper, 'restarted');
  internalsOf(helper).child().kill('SIGKILL');
  const replayed = await restarted;
  assert.deepEqual(helper.lastStatus, replayed);
  assert.equal(replayed.error, PERMISSION_REQUIRED);
});

test('reset() after fatal brings the instance back to idle, and start() works again without the old block', { skip: skipWithoutHelper }, async (t) => {
  const helper = helperFor(t, { restart: false });
  await helper.start();
  await helper.block(TARGETS);
  const fatal = nextEvent(helper, 'fatal');
  internalsOf(helper).child().kill('SIGKILL');
  await fatal;
  assert.equal(helper.state, 'failed');
  await assert.rejects(helper.permissionStatus(), HelperNotRunningError);
  await assert.rejects(helper.start(), (error) => error.code === 'INVALID_STATE' && /the helper is failed/.test(error.message));

  const changes = collect(helper, 'state');
  helper.reset();
  assert.equal(helper.state, 'idle');
  assert.deepEqual(changes, ['idle']);
  assert.equal(helper.lastStatus, undefined);
  await helper.start();
  // The block given up with the old helper is not replayed to the new one.
  assert.equal((await helper.permissionStatus()).error, undefined);
  assert.equal((await helper.block(TARGETS)).error, PERMISSION_REQUIRED);
  assert.equal(await helper.close(), 0);
});

test('reset() after a crash loop that ended in fatal lets a mended binary start', async (t) => {
  const dir = mkdtempSync(path.join(tmpdir(), 'shield-reset-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const runs = path.join(dir, 'runs');
  setEnv(t, { FAKE_RUNS: runs, FAKE_EXIT_ON: 'stop' });
  const helper = new ShieldHelper({ binaryPath: FAKE_HELPER, restart: { maxRestarts: 2, backoffMs: 10 } });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  await helper.start();
  const fatal = nextEvent(helper, 'fatal');
  await assert.rejects(helper.stop());
  assert.match((await fatal).message, /2 restarts in a row ended before it was ready/);
  assert.equal(helper.state, 'failed');
  // The binary works again (its run count starts afresh).
  rmSync(runs);
  helper.reset();
  await helper.start();
  assert.equal(helper.state, 'running');
  assert.equal(typeof (await helper.permissionStatus()).requestId, 'number');
});

test('reset() is refused while a helper runs or is being restarted', { skip: skipWithoutHelper }, async (t) => {
  const helper = helperFor(t, { restart: { backoffMs: 60_000 } });
  await helper.start();
  const cases = [
    ['running', async () => undefined],
    [
      'restarting',
      async () => {
        const exit = nextEvent(helper, 'exit');
        internalsOf(helper).child().kill('SIGKILL');
        await exit;
      },
    ],
  ];
  for (const [state, reach] of cases) {
    await reach();
    assert.equal(helper.state, state);
    assert.throws(
      () => helper.reset(),
      (error) =>
        error instanceof ShieldHelperError &&
        error.code === 'INVALID_STATE' &&
        error.message === `reset() cannot be called now: the helper is ${state}; close() it first`,
    );
    assert.equal(helper.state, state, 'unchanged');
  }
});
