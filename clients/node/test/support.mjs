// Shared pieces of the tests: the helper binary under test, event waits with a deadline, the
// fake helper for exits the real one cannot produce on demand, and the package laid out in a
// scratch node_modules as npm installs it.

import { fileURLToPath } from 'node:url';
import { chmodSync, copyFileSync, cpSync, mkdirSync, readFileSync, statSync, writeFileSync } from 'node:fs';
import path from 'node:path';

/** The real helper binary: $SHIELD_HELPER, as the repository's other process tests name it. */
export const HELPER = process.env.SHIELD_HELPER;
export const FAKE_HELPER = path.join(path.dirname(fileURLToPath(import.meta.url)), 'fake-helper.mjs');
export const skipWithoutHelper = HELPER ? false : 'SHIELD_HELPER names no helper binary';

export const PERMISSION_REQUIRED = 'Accessibility permission is required to track and shield blocked app windows.';
export const INVALID_COMMAND = 'Native helper received an invalid command.';

export const PACKAGE_DIR = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const MANIFEST = JSON.parse(readFileSync(path.join(PACKAGE_DIR, 'package.json'), 'utf8'));

/** The version the helper of this build says in "ready": the package's own. */
export const VERSION = MANIFEST.version;

/** Copies the library into `nodeModules`/shield-helper as npm installs it: its package.json and
 * exactly the files that lists (so a file the package needs but does not list is missed here
 * too). Returns the package's directory. */
export function installLibrary(nodeModules) {
  const installed = path.join(nodeModules, 'shield-helper');
  mkdirSync(installed, { recursive: true });
  copyFileSync(path.join(PACKAGE_DIR, 'package.json'), path.join(installed, 'package.json'));
  for (const entry of MANIFEST.files) {
    const from = path.join(PACKAGE_DIR, entry);
    mkdirSync(path.dirname(path.join(installed, entry)), { recursive: true });
    if (statSync(from).isDirectory()) cpSync(from, path.join(installed, entry), { recursive: true });
    else copyFileSync(from, path.join(installed, entry));
  }
  return installed;
}

/** Writes the platform package `@shield-helper/<platformArch>` into `nodeModules`, its
 * bin/shield-helper (bin/shield-helper.exe for Windows) a copy of `binary` (a file) or, without
 * one, a shell script that names the package; `mode` is the binary's permission. Returns the
 * binary's path. */
export function installPlatformPackage(nodeModules, platformArch, { binary, mode = 0o755 } = {}) {
  const [os, cpu] = platformArch.split('-');
  const dir = path.join(nodeModules, '@shield-helper', platformArch);
  const file = path.join(dir, 'bin', os === 'win32' ? 'shield-helper.exe' : 'shield-helper');
  mkdirSync(path.dirname(file), { recursive: true });
  writeFileSync(path.join(dir, 'package.json'), JSON.stringify({ name: `@shield-helper/${platformArch}`, version: VERSION, os: [os], cpu: [cpu] }));
  if (binary) copyFileSync(binary, file);
  else writeFileSync(file, `#!/bin/sh\necho ${platformArch}\n`);
  chmodSync(file, mode);
  return file;
}

export const TARGETS = [{ id: 'ed', name: 'Text Editor', bundleId: 'org.example.TextEditor' }];

/**
 * The status a headless helper reports: it never shields anything, and has no permission, for
 * want of a display, which it says.
 */
export function headless(fields = {}) {
  const status = {
    type: 'status',
    watcherRunning: false,
    shieldCount: 0,
    eligibleWindowCount: 0,
    coveredWindowCount: 0,
    uncoveredWindowCount: 0,
    permission: 'denied',
    ...fields,
  };
  if (status.permission === 'denied' && !('reason' in fields)) {
    status.reason = 'no-display';
  }
  return status;
}

/** Runs the helpers of this process without a display. */
export function goHeadless() {
  delete process.env.DISPLAY;
  delete process.env.WAYLAND_DISPLAY;
}

/** The next `event` from `emitter` that `filter` accepts, or a rejection after `timeoutMs`. */
export function nextEvent(emitter, event, { timeoutMs = 10_000, filter = () => true } = {}) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      emitter.off(event, listener);
      reject(new Error(`no "${event}" event within ${timeoutMs} ms`));
    }, timeoutMs);
    function listener(value) {
      if (!filter(value)) return;
      clearTimeout(timer);
      emitter.off(event, listener);
      resolve(value);
    }
    emitter.on(event, listener);
  });
}

/** Every `event` from `emitter` from now on, in an array that fills as they come. */
export function collect(emitter, event) {
  const seen = [];
  emitter.on(event, (value) => seen.push(value));
  return seen;
}

/** Polls `probe` until it returns something true, failing with `what` after `timeoutMs`. */
export async function waitUntil(probe, what, timeoutMs = 10_000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
}

/** Makes `process.platform` read `platform` until the end of test `t`, for the library's
 * branches that ask the running platform (the file system and `path` stay this machine's). */
export function setPlatform(t, platform) {
  const saved = Object.getOwnPropertyDescriptor(process, 'platform');
  Object.defineProperty(process, 'platform', { ...saved, value: platform });
  t.after(() => Object.defineProperty(process, 'platform', saved));
}

/** Sets the environment variables in `vars` (deletes those given as undefined) until the end of
 * test `t`, when each gets back the value it had before. */
export function setEnv(t, vars) {
  for (const [name, value] of Object.entries(vars)) {
    const saved = process.env[name];
    if (value === undefined) delete process.env[name];
    else process.env[name] = value;
    t.after(() => {
      if (saved === undefined) delete process.env[name];
      else process.env[name] = saved;
    });
  }
}
