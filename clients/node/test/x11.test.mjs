// The library against the real helper on a virtual X display (Xvfb, openbox and an xterm, as
// in the repository's end-to-end tests): a click on a shield arrives as an 'accessAttempt'
// event, a helper killed ten times mid-block comes back each time, the window covered again, and
// an update() of the end time alone keeps the window covered.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { ShieldHelper } from '../dist/index.js';
import { internalsOf } from '../dist/internal.js';
import { HELPER, nextEvent, waitUntil } from './support.mjs';

const TOOLS = ['Xvfb', 'openbox', 'xterm', 'xdotool', 'xprop'];
const missing = TOOLS.filter((tool) => {
  try {
    execFileSync('sh', ['-c', `command -v ${tool}`], { stdio: 'ignore' });
    return false;
  } catch {
    return true;
  }
});
const skip = !HELPER ? 'SHIELD_HELPER names no helper binary' : missing.length ? `missing ${missing.join(', ')}` : false;

const TERMINAL = { id: 'term', name: 'Terminal', bundleId: 'XTerm' };
const children = [];

function run(argv, options = {}) {
  const child = spawn(argv[0], argv.slice(1), { stdio: 'ignore', ...options });
  children.push(child);
  return child;
}

function x(...argv) {
  return execFileSync(argv[0], argv.slice(1), { encoding: 'utf8', timeout: 10_000 });
}

/** Starts Xvfb on a free display number and returns ":N". Each test process walks its own
 * range of numbers (away from those of the end-to-end tests): a number just freed by another
 * test's server can still lose its socket to that server's late clean-up. */
async function startXvfb() {
  const first = 9000 + (process.pid % 1000) * 4;
  for (let number = first; number < first + 40; number++) {
    const server = run(
      ['Xvfb', `:${number}`, '-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp', '-noreset'],
      { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] },
    );
    let reported = '';
    for await (const chunk of server.stdio[3]) {
      reported += chunk.toString();
      if (reported.includes('\n')) break;
    }
    if (reported.trim() === String(number)) return `:${number}`;
    // That number is taken.
  }
  throw new Error('no display number was free for Xvfb');
}

before(async () => {
  if (skip) return;
  process.env.DISPLAY = await startXvfb();
  delete process.env.WAYLAND_DISPLAY;
  delete process.env.XAUTHORITY;
  run(['openbox', '--sm-disable']);
  await waitUntil(() => x('xprop', '-root', '_NET_SUPPORTING_WM_CHECK').includes('window id'), 'openbox to claim the screen');
  run(['xterm', '-geometry', '80x24+100+100', '-e', 'sleep', '600']);
  await waitUntil(() => {
    try {
      return x('xdotool', 'search', '--onlyvisible', '--class', 'XTerm').trim();
    } catch {
      return false;
    }
  }, 'the xterm window');
});

after(() => {
  for (const child of children.reverse()) child.kill('SIGTERM');
});

async function covered(helper) {
  return waitUntil(async () => {
    const status = await helper.permissionStatus();
    return status.shieldCount === 1 && status.coveredWindowCount === 1 && status.uncoveredWindowCount === 0 && status;
  }, 'the xterm to be covered');
}

test('a click on a shield arrives as an accessAttempt event', { skip }, async (t) => {
  const helper = new ShieldHelper({ binaryPath: HELPER });
  t.after(() => helper.close());
  await helper.start();
  const reply = await helper.block([TERMINAL], { endsAt: Date.now() + 60_000 });
  assert.equal(reply.permission, 'granted');
  await covered(helper);

  const shield = x('xdotool', 'search', '--onlyvisible', '--class', 'ShieldHelper').trim().split('\n')[0];
  const attempt = nextEvent(helper, 'accessAttempt');
  const before = Date.now();
  x('xdotool', 'mousemove', '--window', shield, '60', '60', 'click', '1');
  const event = await attempt;
  assert.deepEqual({ ...event, occurredAt: 0 }, { type: 'accessAttempt', targetId: 'term', appName: 'Terminal', occurredAt: 0 });
  assert.ok(event.occurredAt >= before - 1 && event.occurredAt <= Date.now(), `occurredAt ${event.occurredAt}`);

  assert.equal((await helper.stop()).shieldCount, 0);
  assert.equal(await helper.close(), 0);
});

test('a helper killed ten times mid-block comes back each time with the window covered again', { skip }, async (t) => {
  // Ten kills, more than maxRestarts allows without a block.
  const helper = new ShieldHelper({ binaryPath: HELPER, restart: { maxRestarts: 3, backoffMs: 20, maxBackoffMs: 40 } });
  t.after(() => helper.close());
  await helper.start();
  await helper.block([TERMINAL]);
  await covered(helper);
  for (let kill = 1; kill <= 10; kill++) {
    const restarted = nextEvent(helper, 'restarted');
    internalsOf(helper).child().kill('SIGKILL');
    assert.equal((await restarted).permission, 'granted', `restart ${kill}`);
  }
  const status = await covered(helper);
  assert.equal(status.watcherRunning, true);
  assert.equal(await helper.close(), 0);
});

test('update() with only an end time keeps the window covered, also after a restart', { skip }, async (t) => {
  const helper = new ShieldHelper({ binaryPath: HELPER, restart: { backoffMs: 20 } });
  t.after(() => helper.close());
  await helper.start();
  await helper.block([TERMINAL]);
  await covered(helper);
  const reply = await helper.update({ endsAt: Date.now() + 60_000 });
  assert.equal(reply.eligibleWindowCount, 1, 'the xterm is still a target');
  assert.equal(reply.watcherRunning, true);
  await covered(helper);
  // The replayed block is the one the library kept: the xterm with the new end time.
  const restarted = nextEvent(helper, 'restarted');
  internalsOf(helper).child().kill('SIGKILL');
  assert.equal((await restarted).permission, 'granted');
  await covered(helper);
  assert.equal(await helper.close(), 0);
});
