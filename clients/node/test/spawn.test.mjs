// The helper process as the host sees it: `pid` names the running helper (and only while it
// runs), and the spawn options env, cwd, uid and gid reach every helper the library starts,
// restarted ones included. Read from /proc, so Linux only.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, existsSync, mkdtempSync, readFileSync, readlinkSync, realpathSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { ShieldHelper } from '../dist/index.js';
import { internalsOf } from '../dist/internal.js';
import { HELPER, TARGETS, goHeadless, nextEvent, setEnv, skipWithoutHelper } from './support.mjs';

goHeadless();

const skip = skipWithoutHelper || (existsSync('/proc/self/environ') ? false : 'needs /proc');

/** The environment of process `pid`, as an object. */
function environOf(pid) {
  const entries = readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').filter(Boolean);
  return Object.fromEntries(entries.map((entry) => [entry.slice(0, entry.indexOf('=')), entry.slice(entry.indexOf('=') + 1)]));
}

/** The real user and group ids of process `pid`. */
function idsOf(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  return { uid: Number(/^Uid:\s+(\d+)/m.exec(status)[1]), gid: Number(/^Gid:\s+(\d+)/m.exec(status)[1]) };
}

test('pid is the running helper process, undefined while none runs', { skip }, async (t) => {
  const helper = new ShieldHelper({ binaryPath: HELPER, restart: { backoffMs: 60_000 } });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  assert.equal(helper.pid, undefined, 'before start()');
  await helper.start();
  const first = helper.pid;
  assert.equal(first, internalsOf(helper).child().pid);
  // Its command line rather than its executable: a rebuild may replace the file meanwhile.
  assert.equal(readFileSync(`/proc/${first}/cmdline`, 'utf8').split('\0')[0], path.resolve(HELPER));
  const exit = nextEvent(helper, 'exit');
  process.kill(first, 'SIGKILL');
  await exit;
  assert.equal(helper.pid, undefined, 'while it is being restarted');
  await helper.close();
  assert.equal(helper.pid, undefined, 'after close()');
});

test('env and cwd reach the helper, and every restarted one', { skip }, async (t) => {
  const dir = mkdtempSync(path.join(tmpdir(), 'shield-cwd-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  // A variable of the host's own that the helper's environment leaves out: env replaces the
  // host's environment, it does not add to it.
  setEnv(t, { SHIELD_HOST_ONLY: 'host' });
  const env = { SHIELD_TEST_MARK: 'given', LANG: 'C.UTF-8' };
  const helper = new ShieldHelper({ binaryPath: HELPER, env, cwd: dir, restart: { backoffMs: 20 } });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  await helper.start();
  await helper.block(TARGETS);
  for (const run of ['first', 'restarted']) {
    if (run === 'restarted') {
      const restarted = nextEvent(helper, 'restarted');
      process.kill(helper.pid, 'SIGKILL');
      await restarted;
    }
    assert.deepEqual(environOf(helper.pid), env, `${run} helper's environment`);
    assert.equal(readlinkSync(`/proc/${helper.pid}/cwd`), realpathSync(dir), `${run} helper's working directory`);
  }
});

test("without env and cwd the helper has the host's", { skip }, async (t) => {
  setEnv(t, { SHIELD_HOST_ONLY: 'host' });
  const helper = new ShieldHelper({ binaryPath: HELPER });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  await helper.start();
  assert.equal(environOf(helper.pid).SHIELD_HOST_ONLY, 'host');
  assert.equal(readlinkSync(`/proc/${helper.pid}/cwd`), realpathSync(process.cwd()));
});

test('uid and gid start the helper as that user and group', { skip: skip || (process.getuid?.() === 0 ? false : 'needs root to change user') }, async (t) => {
  // nobody:nogroup on Debian; the working directory must be one that user may enter.
  const ids = { uid: 65534, gid: 65534 };
  const dir = mkdtempSync(path.join(tmpdir(), 'shield-uid-'));
  chmodSync(dir, 0o755);
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const helper = new ShieldHelper({ binaryPath: HELPER, cwd: dir, ...ids });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  await helper.start();
  assert.deepEqual(idsOf(helper.pid), ids);
  assert.equal(typeof (await helper.permissionStatus()).requestId, 'number');
});
