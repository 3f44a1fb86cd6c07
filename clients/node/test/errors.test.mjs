// The error classes: every failure the library reports is a ShieldHelperError of the class and
// code for its kind, so that a host can tell them apart by instanceof or by `code`. The fake
// helper stands in for the real one: stopping it or having it exit on cue is all these need.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  BinaryNotExecutableError,
  BinaryNotFoundError,
  HelperExitedError,
  HelperNotRunningError,
  RequestTimeoutError,
  ShieldHelper,
  ShieldHelperError,
  VersionMismatchError,
} from '../dist/index.js';
import { internalsOf } from '../dist/internal.js';
import { FAKE_HELPER, nextEvent, setEnv } from './support.mjs';

function fake(t, options = {}) {
  const helper = new ShieldHelper({ binaryPath: FAKE_HELPER, restart: false, ...options });
  t.after(() => helper.close({ timeoutMs: 1000 }));
  return helper;
}

test('every failure is a ShieldHelperError with the class and code of its kind', async (t) => {
  setEnv(t, { FAKE_EXIT_ON: 'stop' });
  const cases = [
    {
      what: 'a request before start()',
      fails: (t) => fake(t).permissionStatus(),
      error: HelperNotRunningError,
      code: 'HELPER_NOT_RUNNING',
      message: 'cannot send "permission-status": start() has not been called',
    },
    {
      what: 'a request after close()',
      fails: async (t) => {
        const helper = fake(t);
        await helper.start();
        await helper.close();
        return helper.permissionStatus();
      },
      error: HelperNotRunningError,
      code: 'HELPER_NOT_RUNNING',
      message: 'cannot send "permission-status": the helper was closed',
    },
    {
      what: 'start() while running',
      fails: async (t) => {
        const helper = fake(t);
        await helper.start();
        return helper.start();
      },
      error: ShieldHelperError,
      code: 'INVALID_STATE',
      message: 'start() cannot be called now: the helper is running',
    },
    {
      what: 'a request the helper does not answer in time',
      fails: async (t) => {
        // Long enough for the fake helper, a node program, to start on a busy machine.
        const helper = fake(t, { requestTimeoutMs: 1500 });
        await helper.start();
        const child = internalsOf(helper).child();
        child.kill('SIGSTOP');
        t.after(() => child.kill('SIGCONT'));
        return helper.permissionStatus();
      },
      error: RequestTimeoutError,
      code: 'REQUEST_TIMEOUT',
      message: 'shield-helper did not answer "permission-status" within 1500 ms',
    },
    {
      what: 'a request in flight when the helper exits',
      fails: async (t) => {
        const helper = fake(t);
        helper.on('fatal', () => undefined);
        await helper.start();
        return helper.stop();
      },
      error: HelperExitedError,
      code: 'HELPER_EXITED',
      message: 'shield-helper exited (exit code 7) before answering "stop"',
    },
    {
      what: "the 'fatal' event's error",
      fails: async (t) => {
        const helper = fake(t);
        await helper.start();
        const fatal = nextEvent(helper, 'fatal');
        await helper.stop().catch(() => undefined);
        throw await fatal;
      },
      error: HelperExitedError,
      code: 'HELPER_EXITED',
      message: 'shield-helper exited (exit code 7); restarting is off',
    },
    {
      what: 'update() keeping targets with no block running',
      fails: async (t) => {
        const helper = fake(t);
        await helper.start();
        return helper.update({ endsAt: Date.now() + 60_000 });
      },
      error: ShieldHelperError,
      code: 'NO_BLOCK',
      message: 'update() without targets keeps those of the running block, but no block is running: pass the targets',
    },
  ];
  for (const { what, fails, error, code, message } of cases) {
    await assert.rejects(
      (async () => fails(t))(),
      (thrown) => {
        assert.ok(thrown instanceof error, `${what}: ${thrown}`);
        assert.ok(thrown instanceof ShieldHelperError, what);
        assert.ok(thrown instanceof Error, what);
        assert.equal(thrown.name, error.name, what);
        assert.equal(thrown.code, code, what);
        assert.equal(thrown.message, message, what);
        return true;
      },
      what,
    );
  }
});

test('bad input is still a TypeError, not a ShieldHelperError', async (t) => {
  const helper = fake(t);
  await helper.start();
  for (const request of [() => helper.block('ed'), () => helper.update([{ id: 'ed' }]), () => helper.update({ endsAt: 'soon' })]) {
    await assert.rejects(request(), (error) => error instanceof TypeError && !(error instanceof ShieldHelperError));
  }
});

test('each error class has its own code and name', () => {
  const classes = [
    [BinaryNotFoundError, 'BINARY_NOT_FOUND', ['no binary']],
    [BinaryNotExecutableError, 'BINARY_NOT_EXECUTABLE', ['not executable']],
    [RequestTimeoutError, 'REQUEST_TIMEOUT', ['late']],
    [HelperExitedError, 'HELPER_EXITED', ['ended']],
    [HelperNotRunningError, 'HELPER_NOT_RUNNING', ['not running']],
    [VersionMismatchError, 'VERSION_MISMATCH', ['9.9.9', '0.1.0', '/bin/helper']],
  ];
  for (const [Class, code, args] of classes) {
    const error = new Class(...args);
    assert.equal(error.code, code, Class.name);
    assert.equal(error.name, Class.name);
    assert.ok(error instanceof ShieldHelperError, Class.name);
    assert.match(String(error), new RegExp(`^${Class.name}: `));
  }
  assert.equal(new ShieldHelperError('INVALID_STATE', 'x').name, 'ShieldHelperError');
});
