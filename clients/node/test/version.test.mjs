// The version check: the helper says its version in "ready", and start() compares it with the
// library's own (the package version). Another version is refused by default ('error') or
// warned about ('warn'); a helper that says none (older than the field) is warned about; a
// restarted helper of another version is only warned about, so that the block stays.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { ShieldHelper, ShieldHelperError, VersionMismatchError } from '../dist/index.js';
import { internalsOf } from '../dist/internal.js';
import { FAKE_HELPER, HELPER, TARGETS, VERSION, collect, goHeadless, nextEvent, setEnv, skipWithoutHelper } from './support.mjs';

goHeadless();

test('the library version is the package version, and the real helper says the same', { skip: skipWithoutHelper }, async (t) => {
  assert.equal(ShieldHelper.version, VERSION);
  assert.equal(VERSION, JSON.parse(readFileSync(new URL('../package.json', import.meta.url), 'utf8')).version);
  const helper = new ShieldHelper({ binaryPath: HELPER });
  t.after(() => helper.close());
  const warnings = collect(helper, 'warning');
  assert.equal((await helper.start()).version, VERSION);
  assert.deepEqual(warnings, []);
});

/** Whether process `pid` exists (a zombie counts as ended too, via its state letter). */
function alive(pid) {
  try {
    return readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /s, '')[0] !== 'Z';
  } catch {
    return false;
  }
}

const OTHER = '0.0.1-other';
const cases = [
  { what: 'the same version', fake: undefined, mode: undefined, outcome: 'runs' },
  { what: 'the same version, warn mode', fake: undefined, mode: 'warn', outcome: 'runs' },
  { what: 'another version', fake: OTHER, mode: undefined, outcome: 'refused', helperVersion: OTHER },
  { what: "another version, 'error' given", fake: OTHER, mode: 'error', outcome: 'refused', helperVersion: OTHER },
  { what: "another version, 'warn' given", fake: OTHER, mode: 'warn', outcome: 'warned', helperVersion: OTHER },
  { what: 'no version (an older helper)', fake: 'none', mode: undefined, outcome: 'warned', helperVersion: undefined },
  { what: "no version, 'warn' given", fake: 'none', mode: 'warn', outcome: 'warned', helperVersion: undefined },
];
for (const { what, fake, mode, outcome, helperVersion } of cases) {
  test(`version check at start(): ${what} -> ${outcome}`, async (t) => {
    setEnv(t, { FAKE_VERSION: fake });
    const helper = new ShieldHelper({ binaryPath: FAKE_HELPER, restart: false, ...(mode ? { versionMismatch: mode } : {}) });
    t.after(() => helper.close({ timeoutMs: 1000 }));
    const warnings = collect(helper, 'warning');
    const exits = collect(helper, 'exit');
    const checkMismatch = (error) => {
      assert.ok(error instanceof VersionMismatchError, String(error));
      assert.ok(error instanceof ShieldHelperError);
      assert.equal(error.code, 'VERSION_MISMATCH');
      assert.equal(error.helperVersion, helperVersion);
      assert.equal(error.libraryVersion, VERSION);
      assert.equal(
        error.message,
        helperVersion === undefined
          ? `shield-helper (${FAKE_HELPER}) did not say its version: it is older than this library (${VERSION})`
          : `shield-helper (${FAKE_HELPER}) is version ${helperVersion}, but this library is version ${VERSION}`,
      );
      return true;
    };
    if (outcome === 'refused') {
      const spawned = nextEvent(helper, 'state', { filter: (state) => state === 'starting' }).then(() => helper.pid);
      await assert.rejects(helper.start(), checkMismatch);
      // The refused helper was ended before start() rejected, and nothing else was sent to it.
      const pid = await spawned;
      assert.equal(typeof pid, 'number');
      assert.equal(alive(pid), false, 'the refused helper has ended');
      assert.deepEqual(exits, [{ code: 0, signal: null, willRestart: false }]);
      assert.equal(helper.state, 'idle');
      assert.equal(helper.pid, undefined);
      assert.equal(helper.lastStatus, undefined);
      assert.deepEqual(warnings, []);
      return;
    }
    const ready = await helper.start();
    assert.equal(ready.version, helperVersion ?? (fake === 'none' ? undefined : VERSION));
    assert.equal(helper.state, 'running');
    if (outcome === 'warned') {
      assert.equal(warnings.length, 1);
      checkMismatch(warnings[0]);
    } else {
      assert.deepEqual(warnings, []);
    }
    assert.equal(typeof (await helper.stop()).requestId, 'number', 'requests are answered');
  });
}

test('a restarted helper of another version is warned about, and the block is replayed to it', async (t) => {
  setEnv(t, { FAKE_VERSION: undefined });
  const helper = new ShieldHelper({ binaryPath: FAKE_HELPER, restart: { backoffMs: 10 } });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  await helper.start();
  await helper.block(TARGETS);
  const warning = nextEvent(helper, 'warning');
  const restarted = nextEvent(helper, 'restarted');
  // The binary on disk was replaced by another version while the host ran.
  process.env.FAKE_VERSION = OTHER;
  internalsOf(helper).child().kill('SIGKILL');
  assert.equal((await warning).helperVersion, OTHER);
  const status = await restarted;
  assert.deepEqual(status.received, { command: 'start', requestId: status.requestId, targets: TARGETS });
  assert.equal(helper.state, 'running');
});
