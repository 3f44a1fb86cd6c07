// Finding the binary: a given binaryPath, else $SHIELD_HELPER_PATH, is the binary and must be an
// executable file (nothing else is tried); without both, the installed platform package's. Paths
// in an Electron app.asar are read from app.asar.unpacked; a missing binary names every place
// looked. (platforms.test.mjs has the platform packages themselves.)

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';
import { BinaryNotExecutableError, BinaryNotFoundError, HelperExitedError, ShieldHelper, ShieldHelperError } from '../dist/index.js';
import { collect, setPlatform } from './support.mjs';

// The checkout's library looks for the platform package from its dist/ directory, as an
// installed one does from its own.
const dist = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', 'dist');
const platformPackage = `@shield-helper/${process.platform}-${process.arch}`;
const skipWithPlatformPackage = (() => {
  try {
    return `${createRequire(path.join(dist, 'index.cjs')).resolve(`${platformPackage}/package.json`)} is installed`;
  } catch {
    return false;
  }
})();

function scratch(t) {
  const dir = mkdtempSync(path.join(tmpdir(), 'shield-resolve-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const file = (relative, mode = 0o755, text = '#!/bin/sh\n') => {
    const full = path.join(dir, relative);
    mkdirSync(path.dirname(full), { recursive: true });
    writeFileSync(full, text);
    chmodSync(full, mode);
    return full;
  };
  return { dir, file };
}

const originalEnv = process.env.SHIELD_HELPER_PATH;

/** Sets $SHIELD_HELPER_PATH (unsets it for undefined) until the end of test `t`. */
function withEnv(t, value) {
  if (value === undefined) delete process.env.SHIELD_HELPER_PATH;
  else process.env.SHIELD_HELPER_PATH = value;
  t.after(() => {
    if (originalEnv === undefined) delete process.env.SHIELD_HELPER_PATH;
    else process.env.SHIELD_HELPER_PATH = originalEnv;
  });
}

test('binaryPath comes first, then SHIELD_HELPER_PATH', (t) => {
  const { file } = scratch(t);
  const given = file('given/shield-helper');
  const fromEnv = file('env/shield-helper');
  withEnv(t, fromEnv);
  assert.equal(ShieldHelper.resolveBinary({ binaryPath: given }), given);
  assert.equal(ShieldHelper.resolveBinary(), fromEnv);
});

// A path the host names is the binary it means: when it is not a usable one, finding some other
// binary instead (an older packed one, say) would hide the mistake.
test('a named binary that is missing or not executable is an error, with no fall-through', async (t) => {
  const { dir, file } = scratch(t);
  const good = file('good/shield-helper');
  const plain = file('plain/shield-helper', 0o644);
  const directory = path.join(dir, 'good');
  const missing = path.join(dir, 'nothing', 'shield-helper');
  const cases = [
    {
      what: 'binaryPath names no file',
      binaryPath: missing,
      env: good,
      error: BinaryNotFoundError,
      code: 'BINARY_NOT_FOUND',
      message: `shield-helper binary not found: ${missing} (from options.binaryPath) does not exist`,
    },
    {
      what: 'binaryPath is relative and names no file',
      binaryPath: path.relative(process.cwd(), missing),
      env: good,
      error: BinaryNotFoundError,
      code: 'BINARY_NOT_FOUND',
      message: `shield-helper binary not found: ${missing} (from options.binaryPath) does not exist`,
    },
    {
      what: 'binaryPath names a directory',
      binaryPath: directory,
      env: good,
      error: BinaryNotFoundError,
      code: 'BINARY_NOT_FOUND',
      message: `shield-helper binary not found: ${directory} (from options.binaryPath) is a directory`,
    },
    {
      what: '$SHIELD_HELPER_PATH names no file',
      env: missing,
      error: BinaryNotFoundError,
      code: 'BINARY_NOT_FOUND',
      message: `shield-helper binary not found: ${missing} (from $SHIELD_HELPER_PATH) does not exist`,
    },
    {
      what: 'binaryPath is not executable',
      binaryPath: plain,
      env: good,
      error: BinaryNotExecutableError,
      code: 'BINARY_NOT_EXECUTABLE',
      message: `shield-helper binary ${plain} (from options.binaryPath) is not executable: give it the execute permission (chmod +x); in an Electron app, unpack the binary from app.asar when packaging (asarUnpack)`,
    },
    {
      what: '$SHIELD_HELPER_PATH is not executable',
      env: plain,
      error: BinaryNotExecutableError,
      code: 'BINARY_NOT_EXECUTABLE',
      message: `shield-helper binary ${plain} (from $SHIELD_HELPER_PATH) is not executable: give it the execute permission (chmod +x); in an Electron app, unpack the binary from app.asar when packaging (asarUnpack)`,
    },
  ];
  for (const { what, binaryPath, env, error, code, message } of cases) {
    withEnv(t, env);
    const expected = (thrown) => {
      assert.ok(thrown instanceof error, `${what}: ${thrown}`);
      assert.ok(thrown instanceof ShieldHelperError, what);
      assert.equal(thrown.code, code, what);
      assert.equal(thrown.name, error.name, what);
      assert.equal(thrown.message, message, what);
      return true;
    };
    assert.throws(() => ShieldHelper.resolveBinary({ binaryPath }), expected);
    // start() refuses it before spawning anything, and the instance can be started later.
    const helper = new ShieldHelper({ binaryPath });
    const states = collect(helper, 'state');
    await assert.rejects(helper.start(), expected);
    assert.equal(helper.state, 'idle', what);
    assert.deepEqual(states, [], `${what}: no state was entered`);
  }
});

// Windows starts `name` as name.exe when the name has no extension, and Node there starts no
// file whose name has none; it has no execute permission either. The same files are asked for
// as the binary of a Windows machine and of a Linux one, whose rules must stay as they were.
test('a named binary for Windows is found by its .exe name, and needs no execute permission', (t) => {
  const { dir, file } = scratch(t);
  const exe = file('exe/shield-helper.exe', 0o644);
  const bare = file('bare/shield-helper');
  const both = file('both/shield-helper');
  const bothExe = file('both/shield-helper.exe');
  const versioned = file('versioned/shield-helper-0.1.0');
  const directory = path.join(dir, 'exe');
  const notExecutable = (named) => ({
    error: BinaryNotExecutableError,
    message:
      `shield-helper binary ${named} (from options.binaryPath) cannot be started: on Windows, Node starts a ` +
      'program only from a file name with an extension; name it shield-helper.exe',
  });
  const notFound = (named, what = 'does not exist') => ({
    error: BinaryNotFoundError,
    message: `shield-helper binary not found: ${named} (from options.binaryPath) ${what}`,
  });
  const cases = [
    // what, the path named, what it is for Windows, and for Linux
    ['the name without .exe', path.join(dir, 'exe', 'shield-helper'), exe, notFound(path.join(dir, 'exe', 'shield-helper'))],
    ['the .exe, not executable', exe, exe, { error: BinaryNotExecutableError, message: /is not executable: give it the execute permission \(chmod \+x\)/ }],
    ['a file without an extension', bare, notExecutable(bare), bare],
    ['a name without an extension, beside the .exe of that name', both, bothExe, both],
    ['a name with dots in it', versioned, versioned, versioned],
    ['a directory', directory, notFound(directory, 'is a directory'), notFound(directory, 'is a directory')],
  ];
  withEnv(t, undefined);
  for (const [what, binaryPath, ...expected] of cases) {
    for (const [platform, outcome] of [['win32', expected[0]], ['linux', expected[1]]]) {
      const label = `${what}, for ${platform}`;
      if (typeof outcome === 'string') {
        assert.equal(ShieldHelper.resolveBinary({ binaryPath, platform, arch: 'x64' }), outcome, label);
      } else {
        assert.throws(
          () => ShieldHelper.resolveBinary({ binaryPath, platform, arch: 'x64' }),
          (error) => {
            assert.ok(error instanceof outcome.error, `${label}: ${error}`);
            if (typeof outcome.message === 'string') assert.equal(error.message, outcome.message, label);
            else assert.match(error.message, outcome.message, label);
            return true;
          },
        );
      }
    }
  }
  // $SHIELD_HELPER_PATH is named the same way.
  withEnv(t, path.join(dir, 'exe', 'shield-helper'));
  assert.equal(ShieldHelper.resolveBinary({ platform: 'win32', arch: 'x64' }), exe);
});

test('a path inside app.asar is read from app.asar.unpacked', (t) => {
  const { dir, file } = scratch(t);
  const unpacked = file('resources/app.asar.unpacked/node_modules/@shield-helper/linux-x64/bin/shield-helper');
  const inArchive = path.join(dir, 'resources/app.asar/node_modules/@shield-helper/linux-x64/bin/shield-helper');
  withEnv(t, undefined);
  assert.equal(ShieldHelper.resolveBinary({ binaryPath: inArchive }), unpacked);
  // Not unpacked when the app was packaged: the error says how to unpack it.
  const notUnpacked = path.join(dir, 'resources/app.asar/other/shield-helper');
  assert.throws(
    () => ShieldHelper.resolveBinary({ binaryPath: notUnpacked }),
    (error) =>
      error instanceof BinaryNotFoundError &&
      error.message ===
        `shield-helper binary not found: ${path.join(dir, 'resources/app.asar.unpacked/other/shield-helper')} ` +
          `(from options.binaryPath, given as ${notUnpacked}; a path inside app.asar is read from app.asar.unpacked) does not exist; ` +
          'in an Electron app, unpack the binary from app.asar when packaging (asarUnpack)',
  );
});

test('without binaryPath or SHIELD_HELPER_PATH, a missing platform package fails naming it and every place looked', { skip: skipWithPlatformPackage }, async (t) => {
  // An empty variable is taken as not set, as shells and CI systems often leave one.
  for (const env of [undefined, '']) {
    withEnv(t, env);
    const expected = (error) => {
      assert.ok(error instanceof BinaryNotFoundError, String(error));
      assert.equal(error.code, 'BINARY_NOT_FOUND');
      assert.equal(
        error.message,
        `${platformPackage} is not installed: npm install with optional dependencies (not --omit=optional), ` +
          'or set $SHIELD_HELPER_PATH or binaryPath to a shield-helper binary. Looked at:\n' +
          '  options.binaryPath: not set\n' +
          '  $SHIELD_HELPER_PATH: not set\n' +
          `  ${platformPackage}: not found from ${dist} (a bundle shipped without node_modules names the binary with binaryPath)`,
      );
      return true;
    };
    assert.throws(() => ShieldHelper.resolveBinary(), expected);
    await assert.rejects(new ShieldHelper().start(), expected);
  }
});

test('a binary that cannot be started fails start() with the reason', async (t) => {
  const { dir, file } = scratch(t);
  const cases = [
    {
      what: 'an executable file that is no program',
      options: { binaryPath: file('garbage/shield-helper', 0o755, 'not a program\0') },
      message: /^shield-helper exited \(exit code 127\) before it was ready/,
    },
    {
      what: 'a working directory that is not there',
      options: { binaryPath: file('fine/shield-helper'), cwd: path.join(dir, 'no-such-dir') },
      message: new RegExp(
        `^shield-helper could not be started: its working directory ${path.join(dir, 'no-such-dir')} \\(options\\.cwd\\) is not a directory before it was ready$`,
      ),
    },
  ];
  for (const { what, options, message } of cases) {
    const helper = new ShieldHelper({ ...options, restart: false });
    await assert.rejects(helper.start(), (error) => {
      assert.ok(error instanceof HelperExitedError, `${what}: ${error}`);
      assert.equal(error.code, 'HELPER_EXITED', what);
      assert.match(error.message, message, what);
      return true;
    });
    assert.equal(helper.state, 'idle', what);
    assert.equal(helper.pid, undefined, what);
  }
});

test('uid and gid are refused on Windows, where Node cannot start a process with them', (t) => {
  for (const name of ['uid', 'gid']) assert.doesNotThrow(() => new ShieldHelper({ [name]: 0 }), name);
  setPlatform(t, 'win32');
  for (const name of ['uid', 'gid']) {
    assert.throws(() => new ShieldHelper({ [name]: 0 }), { name: 'TypeError', message: `${name} is not supported on Windows, where a process cannot be started as another user this way` });
  }
  // The other spawn options are taken there as anywhere.
  assert.doesNotThrow(() => new ShieldHelper({ env: {}, cwd: tmpdir() }));
});

test('options of the wrong type are refused by the constructor', () => {
  const cases = [
    [{ binaryPath: '' }, /binaryPath must be a non-empty string/],
    [{ binaryPath: 7 }, /binaryPath must be a non-empty string/],
    [{ env: 'DISPLAY=:0' }, /env must be an object/],
    [{ cwd: '' }, /cwd must be a non-empty string/],
    [{ uid: -1 }, /uid must be a whole number/],
    [{ gid: 1.5 }, /gid must be a whole number/],
    [{ versionMismatch: 'ignore' }, /versionMismatch must be 'error' or 'warn'/],
    [{ requestTimeoutMs: 0 }, /requestTimeoutMs must be a positive number/],
  ];
  for (const [options, message] of cases) {
    assert.throws(() => new ShieldHelper(options), message, JSON.stringify(options));
  }
});
