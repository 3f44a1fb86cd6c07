// The platform packages: each platform and architecture has its own, @shield-helper/<platform>-
// <arch>, and the library starts bin/shield-helper of the one installed, found as require() finds
// packages from the library's own file. Each test lays the library and fake platform packages
// out in a scratch node_modules and loads that copy of the library, so that what it finds is
// only what the test installed.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { installLibrary, installPlatformPackage, setEnv } from './support.mjs';

// Every platform that has a package, and what it is called; a mapping gone wrong (two platforms
// sharing a package, or a name spelled otherwise than the packages are published) fails here.
const PLATFORMS = [
  { platform: 'linux', arch: 'x64', name: '@shield-helper/linux-x64' },
  { platform: 'linux', arch: 'arm64', name: '@shield-helper/linux-arm64' },
  { platform: 'darwin', arch: 'arm64', name: '@shield-helper/darwin-arm64' },
  { platform: 'darwin', arch: 'x64', name: '@shield-helper/darwin-x64' },
  { platform: 'win32', arch: 'x64', name: '@shield-helper/win32-x64', file: 'shield-helper.exe' },
];

const NOT_INSTALLED_HINT = 'npm install with optional dependencies (not --omit=optional), or set $SHIELD_HELPER_PATH or binaryPath to a shield-helper binary';

/** A scratch project with the library in `under`/node_modules (`under` is relative to the
 * project, for layouts such as Electron's), loaded from there. */
function project(t, under = '.') {
  const root = mkdtempSync(path.join(tmpdir(), 'shield-platforms-'));
  t.after(() => rmSync(root, { recursive: true, force: true }));
  const nodeModules = path.join(root, under, 'node_modules');
  const installed = installLibrary(nodeModules);
  const library = createRequire(path.join(installed, 'package.json'))('./dist/index.cjs');
  return { root, nodeModules, installed, library };
}

function expectError(thrown, { name, code, message }, what) {
  assert.equal(thrown.name, name, `${what}: ${thrown.stack}`);
  assert.equal(thrown.code, code, what);
  assert.equal(thrown.message, message, what);
  return true;
}

test('each platform and architecture resolves to the binary of its own package', (t) => {
  setEnv(t, { SHIELD_HELPER_PATH: undefined });
  const { nodeModules, library } = project(t);
  const binaries = Object.fromEntries(
    PLATFORMS.map(({ platform, arch }) => [`${platform}-${arch}`, installPlatformPackage(nodeModules, `${platform}-${arch}`)]),
  );
  for (const { platform, arch, name, file = 'shield-helper' } of PLATFORMS) {
    const binary = library.ShieldHelper.resolveBinary({ platform, arch });
    assert.equal(binary, path.join(nodeModules, name, 'bin', file), `${platform}-${arch}`);
  }
  // Without platform and arch, the running machine's; this runs on one of them.
  assert.equal(library.ShieldHelper.resolveBinary(), binaries[`${process.platform}-${process.arch}`]);
});

test('a platform package that is not installed is named in the error, by resolveBinary() and by start()', async (t) => {
  setEnv(t, { SHIELD_HELPER_PATH: undefined });
  const { installed, library } = project(t);
  const message = (name) =>
    `${name} is not installed: ${NOT_INSTALLED_HINT}. Looked at:\n` +
    '  options.binaryPath: not set\n' +
    '  $SHIELD_HELPER_PATH: not set\n' +
    `  ${name}: not found from ${path.join(installed, 'dist')} (a bundle shipped without node_modules names the binary with binaryPath)`;
  for (const { platform, arch, name } of PLATFORMS) {
    assert.throws(
      () => library.ShieldHelper.resolveBinary({ platform, arch }),
      (error) => expectError(error, { name: 'BinaryNotFoundError', code: 'BINARY_NOT_FOUND', message: message(name) }, name),
    );
  }
  const helper = new library.ShieldHelper();
  const own = `@shield-helper/${process.platform}-${process.arch}`;
  await assert.rejects(helper.start(), (error) =>
    expectError(error, { name: 'BinaryNotFoundError', code: 'BINARY_NOT_FOUND', message: message(own) }, 'start()'),
  );
  assert.equal(helper.state, 'idle');
});

test('a platform with no package says which there are', (t) => {
  setEnv(t, { SHIELD_HELPER_PATH: undefined });
  const { nodeModules, library } = project(t);
  for (const { platform, arch } of PLATFORMS) installPlatformPackage(nodeModules, `${platform}-${arch}`);
  for (const [platform, arch] of [['win32', 'arm64'], ['win32', 'ia32'], ['linux', 'ia32'], ['freebsd', 'x64'], ['darwin', 'ppc64']]) {
    assert.throws(
      () => library.ShieldHelper.resolveBinary({ platform, arch }),
      (error) =>
        expectError(
          error,
          {
            name: 'BinaryNotFoundError',
            code: 'BINARY_NOT_FOUND',
            message:
              `shield-helper binary not found: no package carries the helper for ${platform}-${arch} ` +
              `(there are ${PLATFORMS.map(({ name }) => name).join(', ')}); build the helper for it and set ` +
              '$SHIELD_HELPER_PATH or binaryPath. Looked at:\n  options.binaryPath: not set\n  $SHIELD_HELPER_PATH: not set',
          },
          `${platform}-${arch}`,
        ),
    );
  }
});

test('binaryPath, then SHIELD_HELPER_PATH, come before an installed platform package', (t) => {
  const { root, nodeModules, library } = project(t);
  for (const { platform, arch } of PLATFORMS) installPlatformPackage(nodeModules, `${platform}-${arch}`);
  // Named with an extension, without which Node on Windows starts no program.
  const named = path.join(root, 'named-helper.exe');
  const fromEnv = path.join(root, 'env-helper.exe');
  for (const file of [named, fromEnv]) {
    writeFileSync(file, '#!/bin/sh\n');
    chmodSync(file, 0o755);
  }
  setEnv(t, { SHIELD_HELPER_PATH: fromEnv });
  for (const { platform, arch } of PLATFORMS) {
    assert.equal(library.ShieldHelper.resolveBinary({ binaryPath: named, platform, arch }), named, `${platform}-${arch}`);
    assert.equal(library.ShieldHelper.resolveBinary({ platform, arch }), fromEnv, `${platform}-${arch}`);
  }
});

test('an installed platform package without a usable binary is an error that names the binary', (t) => {
  setEnv(t, { SHIELD_HELPER_PATH: undefined });
  const { nodeModules, library } = project(t);
  const missing = installPlatformPackage(nodeModules, 'linux-arm64');
  rmSync(missing);
  const plain = installPlatformPackage(nodeModules, 'darwin-arm64', { mode: 0o644 });
  // Windows has no execute permission: an .exe without one (unpacked on Linux when packaging a
  // Windows app, say) is the binary all the same.
  const exe = installPlatformPackage(nodeModules, 'win32-x64', { mode: 0o644 });
  assert.equal(library.ShieldHelper.resolveBinary({ platform: 'win32', arch: 'x64' }), exe);
  const cases = [
    {
      platform: 'linux',
      arch: 'arm64',
      name: 'BinaryNotFoundError',
      code: 'BINARY_NOT_FOUND',
      message: `shield-helper binary not found: ${missing} (from @shield-helper/linux-arm64) does not exist`,
    },
    {
      platform: 'darwin',
      arch: 'arm64',
      name: 'BinaryNotExecutableError',
      code: 'BINARY_NOT_EXECUTABLE',
      message:
        `shield-helper binary ${plain} (from @shield-helper/darwin-arm64) is not executable: give it the execute permission ` +
        '(chmod +x); in an Electron app, unpack the binary from app.asar when packaging (asarUnpack)',
    },
  ];
  for (const { platform, arch, ...expected } of cases) {
    assert.throws(
      () => library.ShieldHelper.resolveBinary({ platform, arch }),
      (error) => expectError(error, expected, `${platform}-${arch}`),
    );
  }
});

// npm nests a dependency inside the package that needs it when another version of it is
// installed at the top; the library's own require() finds the nested one first.
test('a platform package nested inside the library is found, before one at the top', (t) => {
  setEnv(t, { SHIELD_HELPER_PATH: undefined });
  const { nodeModules, installed, library } = project(t);
  installPlatformPackage(nodeModules, 'linux-x64');
  const nested = installPlatformPackage(path.join(installed, 'node_modules'), 'linux-x64');
  assert.equal(library.ShieldHelper.resolveBinary({ platform: 'linux', arch: 'x64' }), nested);
});

// In a packaged Electron app the library and the platform package are inside app.asar, where
// Electron reads files but cannot start programs; the unpacked copy beside it is started.
test('in an Electron app the platform package is found in app.asar and its binary started from app.asar.unpacked', (t) => {
  setEnv(t, { SHIELD_HELPER_PATH: undefined });
  const { root, nodeModules, library } = project(t, 'resources/app.asar');
  installPlatformPackage(nodeModules, 'darwin-arm64');
  const unpacked = installPlatformPackage(path.join(root, 'resources', 'app.asar.unpacked', 'node_modules'), 'darwin-arm64');
  // Only the unpacked copy of the binary is there, as electron-builder's asarUnpack leaves it.
  rmSync(path.join(nodeModules, '@shield-helper', 'darwin-arm64', 'bin'), { recursive: true });
  assert.equal(library.ShieldHelper.resolveBinary({ platform: 'darwin', arch: 'arm64' }), unpacked);
  // Not unpacked when the app was packaged: the error says to unpack it.
  installPlatformPackage(nodeModules, 'darwin-x64');
  const inArchive = path.join(nodeModules, '@shield-helper', 'darwin-x64', 'bin', 'shield-helper');
  const notUnpacked = path.join(root, 'resources', 'app.asar.unpacked', 'node_modules', '@shield-helper', 'darwin-x64', 'bin', 'shield-helper');
  assert.throws(
    () => library.ShieldHelper.resolveBinary({ platform: 'darwin', arch: 'x64' }),
    (error) =>
      expectError(
        error,
        {
          name: 'BinaryNotFoundError',
          code: 'BINARY_NOT_FOUND',
          message:
            `shield-helper binary not found: ${notUnpacked} (from @shield-helper/darwin-x64, given as ${inArchive}; ` +
            'a path inside app.asar is read from app.asar.unpacked) does not exist; ' +
            'in an Electron app, unpack the binary from app.asar when packaging (asarUnpack)',
        },
        'not unpacked',
      ),
  );
});

test('a platform or arch that is not a string is refused', (t) => {
  const { library } = project(t);
  for (const options of [{ platform: 7 }, { arch: '' }, { platform: 'linux', arch: null }]) {
    assert.throws(() => library.ShieldHelper.resolveBinary(options), TypeError, JSON.stringify(options));
  }
});
