// update() without targets keeps the running block's targets and changes only its end time: the
// line sent carries the kept targets, a restarted helper gets the same block replayed, and with
// no block running it is refused before anything is sent. The fake helper echoes every command
// it receives, which shows the lines themselves.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { ShieldHelper, ShieldHelperError } from '../dist/index.js';
import { internalsOf } from '../dist/internal.js';
import { FAKE_HELPER, HELPER, PERMISSION_REQUIRED, TARGETS, goHeadless, nextEvent, skipWithoutHelper } from './support.mjs';

goHeadless();

const OTHER_TARGETS = [{ id: 'term', name: 'Terminal', bundleId: 'XTerm' }];
const LATER = Date.now() + 3_600_000;
const EARLIER = Date.now() + 1_800_000;

function fake(t) {
  const helper = new ShieldHelper({ binaryPath: FAKE_HELPER, restart: { backoffMs: 10 } });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  return helper;
}

/** The command as the fake helper received it, without its requestId. */
function received(status) {
  const { requestId, ...command } = status.received;
  assert.equal(requestId, status.requestId);
  return command;
}

const cases = [
  {
    what: 'an end time alone keeps the targets',
    before: (helper) => helper.block(TARGETS),
    update: (helper) => helper.update({ endsAt: LATER }),
    sent: { command: 'update', targets: TARGETS, endsAt: LATER },
  },
  {
    what: 'a Date as the end time keeps the targets',
    before: (helper) => helper.block(TARGETS, { endsAt: EARLIER }),
    update: (helper) => helper.update({ endsAt: new Date(LATER) }),
    sent: { command: 'update', targets: TARGETS, endsAt: LATER },
  },
  {
    what: 'no arguments keep the targets and drop the end time',
    before: (helper) => helper.block(TARGETS, { endsAt: EARLIER }),
    update: (helper) => helper.update(),
    sent: { command: 'update', targets: TARGETS },
  },
  {
    what: 'undefined targets with options keep the targets',
    before: (helper) => helper.block(TARGETS),
    update: (helper) => helper.update(undefined, { endsAt: LATER }),
    sent: { command: 'update', targets: TARGETS, endsAt: LATER },
  },
  {
    what: 'the kept targets are those of the last update',
    before: async (helper) => {
      await helper.block(TARGETS);
      await helper.update(OTHER_TARGETS);
    },
    update: (helper) => helper.update({ endsAt: LATER }),
    sent: { command: 'update', targets: OTHER_TARGETS, endsAt: LATER },
  },
  {
    what: 'targets given replace the kept ones',
    before: (helper) => helper.block(TARGETS),
    update: (helper) => helper.update(OTHER_TARGETS, { endsAt: LATER }),
    sent: { command: 'update', targets: OTHER_TARGETS, endsAt: LATER },
  },
];
for (const { what, before, update, sent } of cases) {
  test(`update(): ${what}, and a restart replays that block`, async (t) => {
    const helper = fake(t);
    await helper.start();
    await before(helper);
    assert.deepEqual(received(await update(helper)), sent);
    const restarted = nextEvent(helper, 'restarted');
    internalsOf(helper).child().kill('SIGKILL');
    const { command, ...block } = sent;
    assert.deepEqual(received(await restarted), { command: 'start', ...block });
  });
}

for (const { what, before } of [
  { what: 'before any block', before: async () => undefined },
  {
    what: 'after stop()',
    before: async (helper) => {
      await helper.block(TARGETS);
      await helper.stop();
    },
  },
  { what: "after the block's end time", before: (helper) => helper.block(TARGETS, { endsAt: Date.now() - 1000 }) },
]) {
  test(`update() without targets ${what} is refused, and nothing is sent`, async (t) => {
    const helper = fake(t);
    await helper.start();
    await before(helper);
    const first = await helper.permissionStatus();
    await assert.rejects(
      helper.update({ endsAt: LATER }),
      (error) => error instanceof ShieldHelperError && error.code === 'NO_BLOCK',
    );
    // Request ids are given to lines as they are sent: none went between these two.
    assert.equal((await helper.permissionStatus()).requestId, first.requestId + 1);
  });
}

test('update() with only an end time keeps the real helper blocking until that time', { skip: skipWithoutHelper }, async (t) => {
  const helper = new ShieldHelper({ binaryPath: HELPER, restart: false });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  await helper.start();
  await helper.block(TARGETS);
  const endsAt = Date.now() + 400;
  const ended = nextEvent(helper, 'status');
  assert.equal((await helper.update({ endsAt })).error, PERMISSION_REQUIRED, 'the block goes on');
  // The helper ends it at the new end time by itself.
  const status = await ended;
  assert.ok(Date.now() >= endsAt - 5, 'not before its end time');
  assert.equal(status.error, undefined);
  assert.equal(status.watcherRunning, false);
});
