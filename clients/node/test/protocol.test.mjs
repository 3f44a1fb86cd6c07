// The library against the real helper binary, headless: every request and its reply, replies
// under concurrency, timeouts, an invalid line, input the library refuses, and close().

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { ShieldHelper } from '../dist/index.js';
import { internalsOf } from '../dist/internal.js';
import {
  HELPER,
  INVALID_COMMAND,
  PERMISSION_REQUIRED,
  TARGETS,
  collect,
  goHeadless,
  headless,
  nextEvent,
  skipWithoutHelper,
  VERSION,
} from './support.mjs';

goHeadless();

async function started(t, options = {}) {
  const helper = new ShieldHelper({ binaryPath: HELPER, restart: false, ...options });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  await helper.start();
  return helper;
}

test('start resolves with the ready message', { skip: skipWithoutHelper }, async (t) => {
  const helper = new ShieldHelper({ binaryPath: HELPER });
  t.after(() => helper.close());
  const ready = await helper.start();
  assert.deepEqual(ready, headless({ type: 'ready', permission: 'unknown', version: VERSION }));
  assert.deepEqual(helper.lastStatus, ready);
  await assert.rejects(helper.start(), /start\(\) cannot be called now: the helper is running/);
});

test('every request gets its own reply', { skip: skipWithoutHelper }, async (t) => {
  const helper = await started(t);
  const unsolicited = collect(helper, 'status');
  const blocked = headless({ error: PERMISSION_REQUIRED });
  const cases = [
    ['block', () => helper.block(TARGETS, { endsAt: Date.now() + 60_000 }), blocked],
    ['update', () => helper.update(TARGETS, { endsAt: new Date(Date.now() + 60_000) }), blocked],
    ['permissionStatus', () => helper.permissionStatus(), blocked],
    ['requestPermission', () => helper.requestPermission(), blocked],
    ['requestPermission with a prompt', () => helper.requestPermission({ prompt: true }), blocked],
    ['stop', () => helper.stop(), headless()],
    ['block without an end time', () => helper.block(TARGETS), blocked],
    ['block ending in the past', () => helper.block(TARGETS, { endsAt: Date.now() - 1000 }), headless()],
    ['update to no targets', () => helper.update([]), blocked],
  ];
  const ids = new Set();
  for (const [what, request, expected] of cases) {
    const reply = await request();
    assert.equal(typeof reply.requestId, 'number', what);
    assert.ok(!ids.has(reply.requestId), `${what}: a fresh requestId`);
    ids.add(reply.requestId);
    const { requestId, ...rest } = reply;
    assert.deepEqual(rest, expected, what);
    assert.deepEqual(helper.lastStatus, reply, `${what}: lastStatus`);
  }
  // Headless, only the first expiry in a run is published unsolicited.
  assert.ok(unsolicited.every((status) => status.requestId === undefined));
});

test('the end of a block arrives as an unsolicited status event', { skip: skipWithoutHelper }, async (t) => {
  const helper = await started(t);
  const ended = nextEvent(helper, 'status');
  const reply = await helper.block(TARGETS, { endsAt: Date.now() + 500 });
  assert.equal(reply.error, PERMISSION_REQUIRED);
  assert.deepEqual(await ended, headless());
  assert.deepEqual(helper.lastStatus, headless());
});

test('concurrent requests are each answered with their own reply', { skip: skipWithoutHelper }, async (t) => {
  const helper = await started(t);
  // Alternating block and stop: a block's reply carries the permission error, a stop's none,
  // so a reply handed to the wrong request shows.
  const requests = [];
  for (let i = 0; i < 60; i++) {
    requests.push(i % 2 === 0 ? helper.block(TARGETS) : helper.stop());
  }
  const replies = await Promise.all(requests);
  replies.forEach((reply, i) => {
    assert.equal(reply.error, i % 2 === 0 ? PERMISSION_REQUIRED : undefined, `reply ${i}`);
  });
  assert.equal(new Set(replies.map((reply) => reply.requestId)).size, replies.length);
  assert.deepEqual(
    replies.map((reply) => reply.requestId),
    [...replies.map((reply) => reply.requestId)].sort((a, b) => a - b),
  );
});

test('a request the helper does not answer in time is rejected, and later ones still work', { skip: skipWithoutHelper }, async (t) => {
  const helper = await started(t, { requestTimeoutMs: 300 });
  const child = internalsOf(helper).child();
  child.kill('SIGSTOP');
  t.after(() => child.kill('SIGCONT'));
  const started_ = Date.now();
  await assert.rejects(helper.permissionStatus(), /shield-helper did not answer "permission-status" within 300 ms/);
  assert.ok(Date.now() - started_ >= 290);
  const late = collect(helper, 'status');
  child.kill('SIGCONT');
  // The late reply to the timed-out request reaches nobody; the next request gets its own.
  const reply = await helper.stop();
  assert.deepEqual({ ...reply, requestId: 0 }, headless({ requestId: 0 }));
  assert.deepEqual(late, []);
});

test('an invalid line is answered as protocolError, and the request in flight is not affected', { skip: skipWithoutHelper }, async (t) => {
  const helper = await started(t);
  const errors = collect(helper, 'protocolError');
  const reply = helper.block(TARGETS);
  internalsOf(helper).writeRaw('this is not json\n');
  internalsOf(helper).writeRaw('{"command":"stop","requestId":"7"}\n');
  assert.equal((await reply).error, PERMISSION_REQUIRED);
  // A later reply is a barrier: the errors were written before it.
  await helper.permissionStatus();
  assert.deepEqual(errors, [INVALID_COMMAND, INVALID_COMMAND]);
});

test('input the helper would refuse is refused by the library, with a clear error', { skip: skipWithoutHelper }, async (t) => {
  const helper = await started(t);
  const errors = collect(helper, 'protocolError');
  const cases = [
    [() => helper.block('ed'), /targets must be an array/],
    [() => helper.block([{ id: 'ed' }]), /targets\[0\]\.name must be a string/],
    [() => helper.update([{ id: 1, name: 'x' }]), /targets\[0\]\.id must be a string/],
    // A single target without its array is not taken for update()'s options.
    [() => helper.update({ id: 'ed', name: 'Editor' }), /targets must be an array/],
    [() => helper.update('ed'), /targets must be an array/],
    [() => helper.update({ endsAt: 'soon' }), /endsAt must be a valid Date/],
    [() => helper.block([{ id: 'a', name: 'A', bundleId: 5 }]), /targets\[0\]\.bundleId must be a string/],
    [() => helper.block(TARGETS, { endsAt: new Date('nonsense') }), /endsAt must be a valid Date/],
    [() => helper.block(TARGETS, { endsAt: Infinity }), /endsAt must be a valid Date/],
  ];
  for (const [request, message] of cases) await assert.rejects(request(), message);
  assert.equal((await helper.permissionStatus()).error, undefined, 'nothing was blocked');
  assert.deepEqual(errors, []);
});

test('close() ends the helper with "shutdown" and resolves with exit code 0', { skip: skipWithoutHelper }, async () => {
  const helper = new ShieldHelper({ binaryPath: HELPER });
  await helper.start();
  const exits = collect(helper, 'exit');
  const inFlight = helper.block(TARGETS);
  assert.equal(await helper.close(), 0);
  // Commands written before "shutdown" are answered before the helper ends.
  assert.equal((await inFlight).error, PERMISSION_REQUIRED);
  assert.deepEqual(exits, [{ code: 0, signal: null, willRestart: false }]);
  assert.equal(await helper.close(), 0, 'a second close() resolves the same');
  await assert.rejects(helper.stop(), /cannot send "stop": the helper was closed/);
});

test('close() kills a helper that does not end in time', { skip: skipWithoutHelper }, async () => {
  const helper = new ShieldHelper({ binaryPath: HELPER });
  await helper.start();
  internalsOf(helper).child().kill('SIGSTOP');
  const exit = nextEvent(helper, 'exit');
  assert.equal(await helper.close({ timeoutMs: 200 }), null);
  assert.deepEqual(await exit, { code: null, signal: 'SIGKILL', willRestart: false });
});

test('requests before start() and close() before start() are handled', async () => {
  const helper = new ShieldHelper({ binaryPath: HELPER });
  await assert.rejects(helper.stop(), /cannot send "stop": start\(\) has not been called/);
  assert.equal(await helper.close(), null);
});
