// Finding the binary: binaryPath, then $SHIELD_HELPER_PATH, then the packed binary; paths in an
// Electron app.asar are read from app.asar.unpacked; a missing binary names every place looked.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { ShieldHelper } from '../dist/index.js';

const packed = path.resolve(
  path.dirname(fileURLToPath(import.meta.url)),
  '..',
  'bin',
  `${process.platform}-${process.arch}`,
  'shield-helper',
);

function scratch(t) {
  const dir = mkdtempSync(path.join(tmpdir(), 'shield-resolve-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const file = (relative) => {
    const full = path.join(dir, relative);
    mkdirSync(path.dirname(full), { recursive: true });
    writeFileSync(full, '#!/bin/sh\n');
    chmodSync(full, 0o755);
    return full;
  };
  return { dir, file };
}

function withEnv(t, value) {
  const saved = process.env.SHIELD_HELPER_PATH;
  if (value === undefined) delete process.env.SHIELD_HELPER_PATH;
  else process.env.SHIELD_HELPER_PATH = value;
  t.after(() => {
    if (saved === undefined) delete process.env.SHIELD_HELPER_PATH;
    else process.env.SHIELD_HELPER_PATH = saved;
  });
}

test('binaryPath comes first, then SHIELD_HELPER_PATH', (t) => {
  const { file } = scratch(t);
  const given = file('given/shield-helper');
  const fromEnv = file('env/shield-helper');
  withEnv(t, fromEnv);
  assert.equal(ShieldHelper.resolveBinary({ binaryPath: given }), given);
  assert.equal(ShieldHelper.resolveBinary(), fromEnv);
  // A binaryPath that holds nothing is passed over for the next place.
  assert.equal(ShieldHelper.resolveBinary({ binaryPath: path.join(path.dirname(given), 'nothing') }), fromEnv);
});

test('a path inside app.asar is read from app.asar.unpacked', (t) => {
  const { dir, file } = scratch(t);
  const unpacked = file('resources/app.asar.unpacked/node_modules/shield-helper/bin/linux-x64/shield-helper');
  const inArchive = path.join(dir, 'resources/app.asar/node_modules/shield-helper/bin/linux-x64/shield-helper');
  withEnv(t, undefined);
  assert.equal(ShieldHelper.resolveBinary({ binaryPath: inArchive }), unpacked);
});

test('a missing binary fails start() naming every place looked', async (t) => {
  const { dir } = scratch(t);
  const { existsSync } = await import('node:fs');
  if (existsSync(packed)) {
    t.skip('this checkout has a packed binary');
    return;
  }
  withEnv(t, path.join(dir, 'env-helper'));
  const helper = new ShieldHelper({ binaryPath: path.join(dir, 'app.asar', 'helper') });
  await assert.rejects(helper.start(), (error) => {
    assert.match(error.message, /^shield-helper binary not found/);
    assert.ok(error.message.includes(`options.binaryPath: ${path.join(dir, 'app.asar.unpacked', 'helper')}`), error.message);
    assert.ok(error.message.includes(`$SHIELD_HELPER_PATH: ${path.join(dir, 'env-helper')}`), error.message);
    assert.ok(error.message.includes(packed), error.message);
    return true;
  });
  withEnv(t, undefined);
  assert.throws(() => ShieldHelper.resolveBinary(), /options\.binaryPath: not set\n {2}\$SHIELD_HELPER_PATH: not set\n/);
});

test('a binary that cannot be started fails start() with the reason', async (t) => {
  const { dir } = scratch(t);
  const notExecutable = path.join(dir, 'shield-helper');
  writeFileSync(notExecutable, 'not a program');
  const helper = new ShieldHelper({ binaryPath: notExecutable, restart: false });
  await assert.rejects(helper.start(), /shield-helper could not be started: .*EACCES.* before it was ready/);
});
