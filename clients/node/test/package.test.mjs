// The package as a host installs and uses it: copied into a scratch project's node_modules
// (exactly the files package.json lists), beside the platform package for this machine
// (@shield-helper/<platform>-<arch>, here carrying the real helper), then a small host written
// with require() and one written with import, each run as it is and bundled into one CommonJS
// file by esbuild (and the import one into an ES module too), must find the platform package's
// binary by themselves and get "ready" from the real helper. The declarations must serve
// TypeScript hosts of either kind.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { promisify } from 'node:util';
import { build } from 'esbuild';
import { HELPER, PACKAGE_DIR, VERSION, installLibrary, installPlatformPackage, skipWithoutHelper } from './support.mjs';

const run = promisify(execFile);
const platformArch = `${process.platform}-${process.arch}`;

let root;
let platformBinary;
let app;

// What each host does: find the binary, start the helper, send one request, close it, and
// print what it saw as one JSON line. The ES module host, run as it is, also checks that
// require() in the same process gives it the very same classes (bundled, import.meta.url is
// empty and there is only the bundle's copy of the library).
const HOST_BODY = `
(async () => {
  const out = { version: ShieldHelper.version };
  try {
    out.binary = ShieldHelper.resolveBinary();
  } catch (error) {
    out.error = { name: error.name, code: error.code, isShieldHelperError: error instanceof ShieldHelperError, message: error.message };
    console.log(JSON.stringify(out));
    return;
  }
  const helper = new ShieldHelper();
  const ready = await helper.start();
  out.ready = { type: ready.type, version: ready.version, pid: typeof helper.pid, state: helper.state };
  out.reply = typeof (await helper.stop()).requestId;
  out.closed = await helper.close();
  if (typeof sameClasses === 'function' && sameClasses() !== undefined) out.sameClasses = sameClasses();
  console.log(JSON.stringify(out));
})().catch((error) => {
  console.log(JSON.stringify({ failed: String(error && error.stack) }));
  process.exitCode = 1;
});
`;
const HOSTS = {
  require: {
    file: 'host.cjs',
    text: `const { ShieldHelper, ShieldHelperError } = require('shield-helper');\n${HOST_BODY}`,
  },
  import: {
    file: 'host.mjs',
    text:
      `import { ShieldHelper, ShieldHelperError } from 'shield-helper';\n` +
      `import { createRequire } from 'node:module';\n` +
      `const sameClasses = () => { if (!import.meta.url) return undefined; ` +
      `const cjs = createRequire(import.meta.url)('shield-helper'); ` +
      `return cjs.ShieldHelper === ShieldHelper && cjs.ShieldHelperError === ShieldHelperError; };\n${HOST_BODY}`,
  },
};

before(() => {
  if (skipWithoutHelper) return;
  root = mkdtempSync(path.join(tmpdir(), 'shield-package-'));
  installLibrary(path.join(root, 'node_modules'));
  // The platform package as npm installs it, hoisted beside the library.
  platformBinary = installPlatformPackage(path.join(root, 'node_modules'), platformArch, { binary: HELPER });
  // The host project's own package.json, right above its sources and bundles.
  app = path.join(root, 'app');
  mkdirSync(path.join(app, 'src'), { recursive: true });
  writeFileSync(path.join(app, 'package.json'), JSON.stringify({ name: 'bundled-host', private: true, type: 'commonjs' }));
  for (const host of Object.values(HOSTS)) writeFileSync(path.join(app, 'src', host.file), host.text);
});

after(() => {
  if (root) rmSync(root, { recursive: true, force: true });
});

/** Runs `file` with node, headless and with no binary named from outside, and parses its line. */
async function runHost(file, env = {}) {
  const childEnv = { ...process.env, ...env };
  delete childEnv.DISPLAY;
  delete childEnv.WAYLAND_DISPLAY;
  if (!('SHIELD_HELPER_PATH' in env)) delete childEnv.SHIELD_HELPER_PATH;
  const { stdout } = await run(process.execPath, [file], { env: childEnv, timeout: 30_000 }).catch((error) => {
    assert.fail(`${file} failed: ${error.message}${error.stdout}`);
  });
  return JSON.parse(stdout.trim().split('\n').pop());
}

// An ES module bundle has no require() for the CommonJS code inside it, which esbuild's
// documented banner supplies; the README tells hosts to add it.
const ESM_BANNER =
  "import { createRequire as topLevelCreateRequire } from 'node:module'; const require = topLevelCreateRequire(import.meta.url);";

/** Bundles a host into one file at `outfile`, as an Electron or CLI host's build does:
 * CommonJS unless `format` says 'esm'. */
async function bundle(host, outfile, format = 'cjs') {
  const result = await build({
    entryPoints: [path.join(app, 'src', HOSTS[host].file)],
    outfile,
    bundle: true,
    platform: 'node',
    format,
    target: 'node18',
    logLevel: 'silent',
    ...(format === 'esm' ? { banner: { js: ESM_BANNER } } : {}),
  });
  assert.deepEqual(result.errors, []);
  const text = readFileSync(outfile, 'utf8');
  // The library was bundled in, not left to be loaded from node_modules at run time.
  assert.ok(text.includes('wrote no "ready" line within'), 'the library is inside the bundle');
  assert.ok(!/require\(["']shield-helper["']\)/.test(text), 'no require of the package is left');
  return outfile;
}

function expectStarted(out, what, extra = {}) {
  assert.deepEqual(
    out,
    {
      version: VERSION,
      binary: platformBinary,
      ready: { type: 'ready', version: VERSION, pid: 'number', state: 'running' },
      reply: 'number',
      closed: 0,
      ...extra,
    },
    what,
  );
}

test('a host finds the platform package\'s binary and gets "ready", with require() and with import, run as they are and bundled', { skip: skipWithoutHelper }, async () => {
  const cases = [
    { what: 'require(), not bundled', host: 'require', bundled: false },
    { what: 'import, not bundled', host: 'import', bundled: false, extra: { sameClasses: true } },
    { what: 'require(), bundled to CommonJS', host: 'require', bundled: true },
    // esbuild takes the package's ES module entry for an import and turns it into CommonJS:
    // import.meta.url is empty there, which the library must not depend on.
    { what: 'import, bundled to CommonJS', host: 'import', bundled: true },
    // The bundle holds a copy of the library of its own, apart from the one in node_modules.
    { what: 'import, bundled to an ES module', host: 'import', bundled: true, format: 'esm', extra: { sameClasses: false } },
  ];
  for (const { what, host, bundled, format = 'cjs', extra } of cases) {
    const file = bundled
      ? await bundle(host, path.join(app, 'out', `${host}.${format === 'esm' ? 'mjs' : 'js'}`), format)
      : path.join(app, 'src', HOSTS[host].file);
    expectStarted(await runHost(file), what, extra);
  }
});

test('a bundle shipped without the package names its binary through SHIELD_HELPER_PATH, or says what is missing', { skip: skipWithoutHelper }, async (t) => {
  const elsewhere = mkdtempSync(path.join(tmpdir(), 'shield-bundle-'));
  t.after(() => rmSync(elsewhere, { recursive: true, force: true }));
  const file = await bundle('import', path.join(elsewhere, 'main.cjs'));
  const out = await runHost(file);
  assert.deepEqual(out, {
    version: VERSION,
    error: {
      name: 'BinaryNotFoundError',
      code: 'BINARY_NOT_FOUND',
      isShieldHelperError: true,
      message:
        `@shield-helper/${platformArch} is not installed: npm install with optional dependencies (not --omit=optional), ` +
        'or set $SHIELD_HELPER_PATH or binaryPath to a shield-helper binary. Looked at:\n' +
        '  options.binaryPath: not set\n' +
        '  $SHIELD_HELPER_PATH: not set\n' +
        `  @shield-helper/${platformArch}: not found from ${elsewhere} (a bundle shipped without node_modules names the binary with binaryPath)`,
    },
  });
  const named = await runHost(file, { SHIELD_HELPER_PATH: HELPER });
  assert.equal(named.binary, HELPER);
  assert.deepEqual(named.ready, { type: 'ready', version: VERSION, pid: 'number', state: 'running' });
});

test('the declarations serve TypeScript hosts that import and that require the package', { skip: skipWithoutHelper }, async () => {
  const project = path.join(root, 'typed');
  mkdirSync(project, { recursive: true });
  writeFileSync(path.join(project, 'package.json'), JSON.stringify({ name: 'typed-host', private: true, type: 'module' }));
  writeFileSync(
    path.join(project, 'tsconfig.json'),
    JSON.stringify({
      compilerOptions: {
        module: 'NodeNext',
        moduleResolution: 'NodeNext',
        target: 'ES2022',
        strict: true,
        noEmit: true,
        types: ['node'],
        typeRoots: [path.join(PACKAGE_DIR, 'node_modules', '@types')],
        // Node's own declarations are large and not under test; the package's are still read
        // for every use above, and a wrong name or type there fails the check.
        skipLibCheck: true,
      },
      include: ['*.mts', '*.cts'],
    }),
  );
  const body = (how) => `
const helper = new ShieldHelper({ env: { LANG: 'C' }, cwd: '/', versionMismatch: 'warn' });
const state: State = helper.state;
const pid: number | undefined = helper.pid;
helper.on('warning', (warning: VersionMismatchError) => warning.helperVersion);
helper.on('state', (now: State, previous: State) => [now, previous]);
const code: ErrorCode = new ShieldHelperError('NO_BLOCK', '${how}').code;
void [state, pid, code, helper.update({ endsAt: Date.now() })];
`;
  writeFileSync(
    path.join(project, 'host.mts'),
    `import { ShieldHelper, ShieldHelperError, VersionMismatchError, type ErrorCode, type State } from 'shield-helper';\n${body('import')}`,
  );
  writeFileSync(
    path.join(project, 'host.cts'),
    `import { ShieldHelper, ShieldHelperError, VersionMismatchError, type ErrorCode, type State } from 'shield-helper';\n` +
      `const cjs: typeof import('shield-helper') = require('shield-helper');\nvoid cjs;\n${body('require')}`,
  );
  const tsc = createRequire(import.meta.url).resolve('typescript/bin/tsc');
  await run(process.execPath, [tsc, '-p', project], { timeout: 120_000 }).catch((error) => {
    assert.fail(`tsc found errors in the typed hosts:\n${error.stdout}${error.stderr}`);
  });
});
