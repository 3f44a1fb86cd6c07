// A host's side of shield-helper: finds the binary, starts it as a child process, speaks its
// line protocol (one JSON object per line each way), matches replies to requests, and keeps the
// helper running by restarting it and replaying the block when it ends unexpectedly.
//
// This is the one implementation; it is compiled to CommonJS (dist/index.cjs), and the ES module
// entry point (index.ts) re-exports it, so that a host that both imports and requires the
// package still has one ShieldHelper class and one set of error classes.

import { spawn, type ChildProcess } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { accessSync, constants, statSync, type Stats } from 'node:fs';
import path from 'node:path';
import { StringDecoder } from 'node:string_decoder';
import { registerInternals } from './internal.cjs';

export interface Target {
  id: string;
  name: string;
  bundleId?: string;
}

export interface Status {
  type: 'ready' | 'status';
  requestId?: number;
  watcherRunning: boolean;
  shieldCount: number;
  eligibleWindowCount: number;
  coveredWindowCount: number;
  uncoveredWindowCount: number;
  permission: 'unknown' | 'granted' | 'denied';
  error?: string;
  coverageError?: string;
  /**
   * With the permission "denied" on a desktop where no user grants it (Linux): why nothing can
   * be shielded, for example "no-display" or "companion-missing" (see docs/protocol.md).
   */
  reason?: string;
  /** In "ready" only: the helper's version (absent from helpers older than the field). */
  version?: string;
}

export interface AccessAttempt {
  type: 'accessAttempt';
  targetId: string;
  appName: string;
  occurredAt: number;
}

export interface Options {
  binaryPath?: string;
  requestTimeoutMs?: number;
  restart?: false | RestartOptions;
  /** What start() does when the helper says another version than this library's: reject
   * (`'error'`, the default) or go on after a `warning` event (`'warn'`). */
  versionMismatch?: 'error' | 'warn';
  /** The helper's whole environment, in place of the host's own (`process.env`). */
  env?: NodeJS.ProcessEnv;
  /** The helper's working directory; the host's own by default. */
  cwd?: string;
  /** The user and group the helper runs as (POSIX only; the host needs the privilege to
   * change). Refused on Windows. */
  uid?: number;
  gid?: number;
}

/** What ShieldHelper.resolveBinary() looks for. */
export interface ResolveBinaryOptions {
  /** The binary, as the constructor's option of the same name. */
  binaryPath?: string;
  /** The platform (a `process.platform` value) whose packaged binary is wanted; the running one
   * by default. */
  platform?: string;
  /** The architecture (a `process.arch` value) whose packaged binary is wanted; the running one
   * by default. */
  arch?: string;
}

export interface RestartOptions {
  /** Without an active block, the helper is given up when it ends more often than this within
   * `windowMs`; with one it never is. It is also given up when this many restarts in a row
   * ended by themselves before the helper was ready. */
  maxRestarts?: number;
  windowMs?: number;
  /** The wait before the first restart, doubled for every further exit within `windowMs`. */
  backoffMs?: number;
  /** The longest wait before a restart. */
  maxBackoffMs?: number;
}

export interface BlockOptions {
  /** The end of the block: a Date or milliseconds since 1970. Without it the block has no end. */
  endsAt?: Date | number;
}

/** Where the instance is in its life: `idle` until start() and again after reset();
 * `restarting` while a helper that ended unexpectedly is being brought back; `closed` after
 * close(); `failed` once supervision gave up (after the `fatal` event). */
export type State = 'idle' | 'starting' | 'running' | 'restarting' | 'closing' | 'closed' | 'failed';

export type ExitEvent = { code: number | null; signal: NodeJS.Signals | null; willRestart: boolean };

export type ErrorCode =
  | 'BINARY_NOT_FOUND'
  | 'BINARY_NOT_EXECUTABLE'
  | 'REQUEST_TIMEOUT'
  | 'HELPER_EXITED'
  | 'HELPER_NOT_RUNNING'
  | 'VERSION_MISMATCH'
  | 'INVALID_STATE'
  | 'NO_BLOCK';

/** The base class of this library's errors; `code` tells them apart without instanceof, which
 * also works across copies of the library. Bad input (targets, end times, options) is rejected
 * with TypeError or RangeError instead, as by Node's own APIs. */
export class ShieldHelperError extends Error {
  readonly code: ErrorCode;

  constructor(code: ErrorCode, message: string) {
    super(message);
    this.code = code;
    this.name = 'ShieldHelperError';
  }
}

/** No helper binary where one was looked for; the message names the place and the path. */
export class BinaryNotFoundError extends ShieldHelperError {
  constructor(message: string) {
    super('BINARY_NOT_FOUND', message);
    this.name = 'BinaryNotFoundError';
  }
}

/** The binary exists but may not be executed. */
export class BinaryNotExecutableError extends ShieldHelperError {
  constructor(message: string) {
    super('BINARY_NOT_EXECUTABLE', message);
    this.name = 'BinaryNotExecutableError';
  }
}

/** The helper did not answer a request within `requestTimeoutMs`. */
export class RequestTimeoutError extends ShieldHelperError {
  constructor(message: string) {
    super('REQUEST_TIMEOUT', message);
    this.name = 'RequestTimeoutError';
  }
}

/** The helper ended, could not be started or wrote no "ready" line before answering; also the
 * error of `fatal` when supervision gives up on a helper that keeps ending. */
export class HelperExitedError extends ShieldHelperError {
  constructor(message: string) {
    super('HELPER_EXITED', message);
    this.name = 'HelperExitedError';
  }
}

/** A request was made while no helper can take it: before start() has resolved, after close(),
 * or after supervision gave up. */
export class HelperNotRunningError extends ShieldHelperError {
  constructor(message: string) {
    super('HELPER_NOT_RUNNING', message);
    this.name = 'HelperNotRunningError';
  }
}

/** The helper said another version than this library's, or (`helperVersion` undefined) none. */
export class VersionMismatchError extends ShieldHelperError {
  readonly helperVersion: string | undefined;
  readonly libraryVersion: string;

  constructor(helperVersion: string | undefined, libraryVersion: string, binary: string) {
    super(
      'VERSION_MISMATCH',
      helperVersion === undefined
        ? `shield-helper (${binary}) did not say its version: it is older than this library (${libraryVersion})`
        : `shield-helper (${binary}) is version ${helperVersion}, but this library is version ${libraryVersion}`,
    );
    this.name = 'VersionMismatchError';
    this.helperVersion = helperVersion;
    this.libraryVersion = libraryVersion;
  }
}

// Read through require() rather than from the package's directory at run time, so that a
// bundler copies the version into the host's bundle along with the code.
const LIBRARY_VERSION: string = (require('../package.json') as { version: string }).version;

const DEFAULT_REQUEST_TIMEOUT_MS = 5000;
const DEFAULT_CLOSE_TIMEOUT_MS = 5000;
// The longest wait is short because a block goes uncovered while the helper is down, and a
// person at the desk can end the helper as often as they like.
const DEFAULT_RESTART: Required<RestartOptions> = { maxRestarts: 5, windowMs: 60_000, backoffMs: 500, maxBackoffMs: 5000 };

interface Pending {
  command: string;
  resolve(status: Status): void;
  reject(error: Error): void;
  timer: NodeJS.Timeout;
}

interface Queued {
  command: string;
  fields: Record<string, unknown>;
  resolve(status: Status): void;
  reject(error: Error): void;
}

interface Block {
  targets: Target[];
  endsAt?: number;
}

interface SpawnSettings {
  env?: NodeJS.ProcessEnv;
  cwd?: string;
  uid?: number;
  gid?: number;
}

/** One child process and what is known about it. */
interface Session {
  child: ChildProcess;
  binary: string;
  stdout: string;
  stdoutDecoder: StringDecoder;
  stderr: string;
  stderrDecoder: StringDecoder;
  stderrTail: string[];
  isReady: boolean;
  /** The library killed it because it wrote no "ready" line in time. */
  readyTimedOut: boolean;
  ended: boolean;
  ready: Promise<Status>;
  resolveReady(status: Status): void;
  rejectReady(error: Error): void;
  /** Settles once the process has ended (or could not be started). */
  end: Promise<void>;
  resolveEnd(): void;
}

function describeExit(code: number | null, signal: NodeJS.Signals | null): string {
  if (signal) return `killed by ${signal}`;
  if (code === null) return 'not started';
  return `exit code ${code}`;
}

function statOf(file: string): Stats | undefined {
  try {
    return statSync(file);
  } catch {
    return undefined;
  }
}

/** A program inside an Electron app.asar archive cannot be spawned; electron-builder and
 * electron-forge unpack such files next to it, into app.asar.unpacked. */
function unpackedPath(file: string): string {
  const packed = `${path.sep}app.asar${path.sep}`;
  const index = file.indexOf(packed);
  if (index < 0) return file;
  return `${file.slice(0, index)}${path.sep}app.asar.unpacked${path.sep}${file.slice(index + packed.length)}`;
}

/** The platforms the helper is published for, each in a package of its own
 * (`@shield-helper/<platform>-<arch>`, the layout esbuild uses for its binaries). The library
 * names them all as optional dependencies, and npm installs only the one whose `os` and `cpu`
 * fields match the machine. */
const BINARY_PLATFORMS: readonly string[] = ['linux-x64', 'linux-arm64', 'darwin-arm64', 'darwin-x64', 'win32-x64'];
const BINARY_SCOPE = '@shield-helper';

/** The binary's file name in the platform package: Windows starts programs by their .exe. */
function binaryName(platform: string): string {
  return platform === 'win32' ? 'shield-helper.exe' : 'shield-helper';
}

/** Whether the file's name has an extension as Node reads one on Windows: a dot with something
 * after it. Given a path with a directory, Node (libuv) starts the name as it is only when it
 * has one, and otherwise tries only the name with .com and .exe appended, so a file whose name
 * has none is never started there. */
function hasExtension(file: string): boolean {
  const base = path.basename(file);
  const dot = base.indexOf('.');
  return dot >= 0 && dot < base.length - 1;
}

/** The directory of the installed package `name`, found as require() finds packages from this
 * file: unbundled, that is from dist/ inside this package, so a platform package installed
 * beside it or inside it is found; bundled into a host's file, from that file's directory. An
 * ES module bundle without the banner that gives it require() finds nothing. */
function installedPackage(name: string): string | undefined {
  if (typeof require !== 'function' || typeof require.resolve !== 'function') return undefined;
  try {
    // A bundler may replace require.resolve with its own, which gives a module id, not a path.
    const manifest: unknown = require.resolve(`${name}/package.json`);
    return typeof manifest === 'string' ? path.dirname(manifest) : undefined;
  } catch {
    return undefined;
  }
}

const ASAR_HINT = 'in an Electron app, unpack the binary from app.asar when packaging (asarUnpack)';

/** The binary at `given`, which came from `place`: it must be there and be executable, since the
 * host named it and another one found elsewhere would not be the one it meant. `platform` is the
 * one the binary is for: on Windows a name without an extension means the .exe of that name, as
 * it does to Windows itself, and there is no execute permission to check. */
function checkBinary(given: string, place: string, platform: string): string {
  const resolved = path.resolve(given);
  const unpacked = unpackedPath(resolved);
  const windows = platform === 'win32';
  const file = windows && !hasExtension(unpacked) && statOf(`${unpacked}.exe`)?.isFile() ? `${unpacked}.exe` : unpacked;
  const origin = file === resolved ? `from ${place}` : `from ${place}, given as ${given}${unpacked === resolved ? '' : '; a path inside app.asar is read from app.asar.unpacked'}`;
  const stat = statOf(file);
  if (!stat?.isFile()) {
    const what = stat?.isDirectory() ? 'is a directory' : 'does not exist';
    const hint = unpacked === resolved ? '' : `; ${ASAR_HINT}`;
    throw new BinaryNotFoundError(`shield-helper binary not found: ${file} (${origin}) ${what}${hint}`);
  }
  if (windows) {
    if (!hasExtension(file)) {
      throw new BinaryNotExecutableError(
        `shield-helper binary ${file} (${origin}) cannot be started: on Windows, Node starts a program only from a file name with an extension; name it ${path.basename(file)}.exe`,
      );
    }
  } else if (process.platform !== 'win32') {
    // Windows has no execute permission to test (its X_OK only says the file exists).
    try {
      accessSync(file, constants.X_OK);
    } catch {
      throw new BinaryNotExecutableError(
        `shield-helper binary ${file} (${origin}) is not executable: give it the execute permission (chmod +x); ${ASAR_HINT}`,
      );
    }
  }
  return file;
}

function checkTargets(targets: unknown): Target[] {
  if (!Array.isArray(targets)) throw new TypeError('targets must be an array');
  return targets.map((target, index) => {
    if (typeof target !== 'object' || target === null) {
      throw new TypeError(`targets[${index}] must be an object`);
    }
    const { id, name, bundleId } = target as Record<string, unknown>;
    if (typeof id !== 'string') throw new TypeError(`targets[${index}].id must be a string`);
    if (typeof name !== 'string') throw new TypeError(`targets[${index}].name must be a string`);
    if (bundleId !== undefined && typeof bundleId !== 'string') {
      throw new TypeError(`targets[${index}].bundleId must be a string when given`);
    }
    return bundleId === undefined ? { id, name } : { id, name, bundleId };
  });
}

function checkEndsAt(endsAt: unknown): number | undefined {
  if (endsAt === undefined) return undefined;
  const ms = endsAt instanceof Date ? endsAt.getTime() : endsAt;
  if (typeof ms !== 'number' || !Number.isFinite(ms)) {
    throw new TypeError('endsAt must be a valid Date or a finite number of milliseconds since 1970');
  }
  return ms;
}

function checkOptions(options: Options): void {
  if (options.binaryPath !== undefined && (typeof options.binaryPath !== 'string' || options.binaryPath === '')) {
    throw new TypeError('binaryPath must be a non-empty string when given');
  }
  if (options.versionMismatch !== undefined && options.versionMismatch !== 'error' && options.versionMismatch !== 'warn') {
    throw new TypeError("versionMismatch must be 'error' or 'warn'");
  }
  if (options.env !== undefined && (typeof options.env !== 'object' || options.env === null)) {
    throw new TypeError('env must be an object of environment variables when given');
  }
  if (options.cwd !== undefined && (typeof options.cwd !== 'string' || options.cwd === '')) {
    throw new TypeError('cwd must be a non-empty string when given');
  }
  for (const name of ['uid', 'gid'] as const) {
    const value = options[name];
    if (value !== undefined && !(Number.isInteger(value) && value >= 0)) {
      throw new TypeError(`${name} must be a whole number of at least 0 when given`);
    }
    // Node's spawn() would throw ENOTSUP for it there, at every start and restart.
    if (value !== undefined && process.platform === 'win32') {
      throw new TypeError(`${name} is not supported on Windows, where a process cannot be started as another user this way`);
    }
  }
}

/** Whether `value` is the options of update() without targets: an object with no key but
 * `endsAt`. A single target passed without its array is not, and is refused as targets. */
function isBlockOptions(value: unknown): value is BlockOptions {
  return typeof value === 'object' && value !== null && !Array.isArray(value) && Object.keys(value).every((key) => key === 'endsAt');
}

function blockFields(block: Block): Record<string, unknown> {
  return block.endsAt === undefined ? { targets: block.targets } : { targets: block.targets, endsAt: block.endsAt };
}

function isActive(block: Block | undefined, now: number): block is Block {
  return block !== undefined && (block.endsAt === undefined || block.endsAt > now);
}

// The events with their arguments, so that listeners are typed (merged into the class).
export interface ShieldHelper {
  on(event: 'status' | 'restarted', listener: (status: Status) => void): this;
  on(event: 'accessAttempt', listener: (attempt: AccessAttempt) => void): this;
  on(event: 'protocolError' | 'stderr', listener: (text: string) => void): this;
  on(event: 'exit', listener: (exit: ExitEvent) => void): this;
  on(event: 'fatal', listener: (error: ShieldHelperError) => void): this;
  on(event: 'warning', listener: (warning: VersionMismatchError) => void): this;
  on(event: 'state', listener: (state: State, previous: State) => void): this;
  once(event: 'status' | 'restarted', listener: (status: Status) => void): this;
  once(event: 'accessAttempt', listener: (attempt: AccessAttempt) => void): this;
  once(event: 'protocolError' | 'stderr', listener: (text: string) => void): this;
  once(event: 'exit', listener: (exit: ExitEvent) => void): this;
  once(event: 'fatal', listener: (error: ShieldHelperError) => void): this;
  once(event: 'warning', listener: (warning: VersionMismatchError) => void): this;
  once(event: 'state', listener: (state: State, previous: State) => void): this;
}

export class ShieldHelper extends EventEmitter {
  /** This library's version; start() expects the helper to say the same one in "ready". */
  static readonly version: string = LIBRARY_VERSION;

  /** Where start() finds the binary. A given `binaryPath` is the binary, and so is
   * $SHIELD_HELPER_PATH when no `binaryPath` is given: either must name an executable file, and
   * nothing else is tried. Without both, it is `bin/shield-helper` (`bin/shield-helper.exe` for
   * Windows) of the installed platform package, `@shield-helper/<platform>-<arch>`, for the
   * running platform and architecture or for the `platform` and `arch` given (to find the
   * binary an app packaged for another machine will start). A path inside an Electron app.asar is read from app.asar.unpacked. Throws
   * BinaryNotFoundError (naming the platform package when it is not installed) or
   * BinaryNotExecutableError. */
  static resolveBinary(options: ResolveBinaryOptions = {}): string {
    const { binaryPath, platform = process.platform, arch = process.arch } = options;
    for (const [name, value] of [['platform', platform], ['arch', arch]] as const) {
      if (typeof value !== 'string' || value === '') throw new TypeError(`${name} must be a non-empty string when given`);
    }
    if (binaryPath !== undefined) return checkBinary(binaryPath, 'options.binaryPath', platform);
    const fromEnv = process.env.SHIELD_HELPER_PATH;
    if (fromEnv) return checkBinary(fromEnv, '$SHIELD_HELPER_PATH', platform);
    const platformArch = `${platform}-${arch}`;
    const looked = ['options.binaryPath: not set', '$SHIELD_HELPER_PATH: not set'];
    if (!BINARY_PLATFORMS.includes(platformArch)) {
      const packages = BINARY_PLATFORMS.map((name) => `${BINARY_SCOPE}/${name}`).join(', ');
      throw new BinaryNotFoundError(
        `shield-helper binary not found: no package carries the helper for ${platformArch} (there are ${packages}); ` +
          `build the helper for it and set $SHIELD_HELPER_PATH or binaryPath. Looked at:\n  ${looked.join('\n  ')}`,
      );
    }
    const name = `${BINARY_SCOPE}/${platformArch}`;
    const dir = installedPackage(name);
    if (dir === undefined) {
      const from = typeof __dirname === 'string' ? __dirname : 'this bundle';
      looked.push(`${name}: not found from ${from} (a bundle shipped without node_modules names the binary with binaryPath)`);
      throw new BinaryNotFoundError(
        `${name} is not installed: npm install with optional dependencies (not --omit=optional), ` +
          `or set $SHIELD_HELPER_PATH or binaryPath to a shield-helper binary. Looked at:\n  ${looked.join('\n  ')}`,
      );
    }
    return checkBinary(path.join(dir, 'bin', binaryName(platform)), name, platform);
  }

  readonly #requestTimeoutMs: number;
  readonly #restart: Required<RestartOptions> | undefined;
  readonly #binaryPath: string | undefined;
  readonly #versionMismatch: 'error' | 'warn';
  readonly #spawnSettings: SpawnSettings;
  #state: State = 'idle';
  #session: Session | undefined;
  #nextRequestId = 1;
  readonly #pending = new Map<number, Pending>();
  #queued: Queued[] = [];
  #block: Block | undefined;
  #lastStatus: Status | undefined;
  #exitTimes: number[] = [];
  #failedStarts = 0;
  #restartTimer: NodeJS.Timeout | undefined;
  #fatalError: Error | undefined;
  #closed: Promise<number | null> | undefined;
  #resolveClosed: ((code: number | null) => void) | undefined;

  constructor(options: Options = {}) {
    super();
    checkOptions(options);
    const timeout = options.requestTimeoutMs ?? DEFAULT_REQUEST_TIMEOUT_MS;
    if (!(timeout > 0)) throw new RangeError('requestTimeoutMs must be a positive number');
    this.#requestTimeoutMs = timeout;
    this.#binaryPath = options.binaryPath;
    this.#versionMismatch = options.versionMismatch ?? 'error';
    this.#spawnSettings = {};
    for (const name of ['env', 'cwd', 'uid', 'gid'] as const) {
      if (options[name] !== undefined) Object.assign(this.#spawnSettings, { [name]: options[name] });
    }
    this.#restart = options.restart === false ? undefined : { ...DEFAULT_RESTART, ...(options.restart ?? {}) };
    if (this.#restart) {
      for (const [name, value] of Object.entries(this.#restart)) {
        if (!(typeof value === 'number' && value >= 0)) throw new RangeError(`restart.${name} must be a number of at least 0`);
      }
    }
    registerInternals(this, {
      child: () => this.#session?.child,
      writeRaw: (text) => {
        const session = this.#session;
        if (!session) throw new Error('the helper is not running');
        session.child.stdin?.write(text);
      },
    });
  }

  /** The last status the helper reported: the ready message, a reply or an unsolicited one.
   * Undefined while no helper runs: before start(), from the moment a helper ends (its shields
   * end with it) until a restarted one reports, and after close(). */
  get lastStatus(): Status | undefined {
    return this.#lastStatus;
  }

  /** The process id of the helper now running, if one runs. */
  get pid(): number | undefined {
    const session = this.#session;
    return session && !session.ended ? session.child.pid : undefined;
  }

  get state(): State {
    return this.#state;
  }

  /** Starts the helper and resolves with its "ready" message. */
  async start(): Promise<Status> {
    const state = this.#state;
    if (state !== 'idle') {
      throw new ShieldHelperError('INVALID_STATE', `start() cannot be called now: the helper is ${state}`);
    }
    const binary = ShieldHelper.resolveBinary({ binaryPath: this.#binaryPath });
    const session = this.#spawn(binary);
    this.#setState('starting');
    let ready: Status;
    try {
      ready = await session.ready;
    } catch (error) {
      if (this.#state === 'starting') this.#setState('idle');
      throw error;
    }
    const mismatch = this.#checkVersion(session, ready);
    if (mismatch && mismatch.helperVersion !== undefined && this.#versionMismatch === 'error') {
      // A helper of another version may speak another protocol: it is ended before the host
      // sends it anything, and the instance can be started again.
      this.#endSession(session);
      await session.end;
      if (this.#state === 'starting') this.#setState('idle');
      throw mismatch;
    }
    if (mismatch) this.emit('warning', mismatch);
    if (this.#state === 'starting') this.#setState('running');
    return ready;
  }

  /** Blocks `targets` until `endsAt` (no end without it): the "start" command. */
  block(targets: Target[], opts: BlockOptions = {}): Promise<Status> {
    let block: Block;
    try {
      block = this.#makeBlock(targets, opts);
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#blockCommand('start', block);
  }

  /** Replaces the block's targets and end time: the "update" command. Without `targets` (left
   * out or undefined) the running block's targets are kept and only the end time changes (no
   * `endsAt`: no end); with no block running that is refused with code 'NO_BLOCK'. */
  update(targets: Target[] | undefined, opts?: BlockOptions): Promise<Status>;
  update(opts?: BlockOptions): Promise<Status>;
  update(targetsOrOpts?: Target[] | BlockOptions, opts: BlockOptions = {}): Promise<Status> {
    let block: Block;
    try {
      if (targetsOrOpts === undefined) {
        block = this.#keepTargets(opts);
      } else if (isBlockOptions(targetsOrOpts)) {
        block = this.#keepTargets(targetsOrOpts);
      } else {
        // An array, or anything else, which checkTargets refuses.
        block = this.#makeBlock(targetsOrOpts, opts);
      }
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#blockCommand('update', block);
  }

  /** Ends the block. */
  stop(): Promise<Status> {
    if (this.#state === 'running' || this.#state === 'restarting') this.#block = undefined;
    return this.#request('stop', {});
  }

  permissionStatus(): Promise<Status> {
    return this.#request('permission-status', {});
  }

  requestPermission(opts: { prompt?: boolean } = {}): Promise<Status> {
    const fields = opts.prompt === undefined ? {} : { permissionPrompt: opts.prompt === true };
    return this.#request('request-permission', fields);
  }

  /** Ends the helper with "shutdown" (killing it when it has not exited after `timeoutMs`) and
   * resolves with its exit code, or null when it was killed or never ran. */
  close(opts: { timeoutMs?: number } = {}): Promise<number | null> {
    if (this.#closed) return this.#closed;
    const timeoutMs = opts.timeoutMs ?? DEFAULT_CLOSE_TIMEOUT_MS;
    clearTimeout(this.#restartTimer);
    this.#restartTimer = undefined;
    this.#rejectQueued(new HelperNotRunningError('the helper was closed'));
    const session = this.#session;
    if (!session || session.ended) {
      this.#lastStatus = undefined;
      this.#setState('closed');
      this.#closed = Promise.resolve(null);
      return this.#closed;
    }
    this.#setState('closing');
    this.#closed = new Promise<number | null>((resolve) => {
      this.#resolveClosed = resolve;
    });
    this.#endSession(session, timeoutMs);
    return this.#closed;
  }

  /** Brings a `failed` or `closed` instance back to `idle`, so that start() may be called again:
   * the given-up block, the restart history and the fatal error are forgotten. */
  reset(): void {
    if (this.#state !== 'failed' && this.#state !== 'closed' && this.#state !== 'idle') {
      throw new ShieldHelperError('INVALID_STATE', `reset() cannot be called now: the helper is ${this.#state}; close() it first`);
    }
    this.#block = undefined;
    this.#lastStatus = undefined;
    this.#exitTimes = [];
    this.#failedStarts = 0;
    this.#fatalError = undefined;
    this.#closed = undefined;
    this.#resolveClosed = undefined;
    this.#setState('idle');
  }

  #setState(state: State): void {
    const previous = this.#state;
    if (state === previous) return;
    this.#state = state;
    this.emit('state', state, previous);
  }

  /** Writes "shutdown", closes the helper's input and kills it if it has not ended in time. */
  #endSession(session: Session, timeoutMs = DEFAULT_CLOSE_TIMEOUT_MS): void {
    // On Windows, Node kills with TerminateProcess whatever the signal's name, and reports the
    // exit as by that signal all the same, so close() resolves with null there too.
    const killTimer = setTimeout(() => session.child.kill('SIGKILL'), timeoutMs);
    void session.end.then(() => clearTimeout(killTimer));
    session.child.stdin?.write('{"command":"shutdown"}\n');
    session.child.stdin?.end();
  }

  /** The version problem with this "ready" message, if there is one. */
  #checkVersion(session: Session, ready: Status): VersionMismatchError | undefined {
    const version = typeof ready.version === 'string' ? ready.version : undefined;
    if (version === LIBRARY_VERSION) return undefined;
    return new VersionMismatchError(version, LIBRARY_VERSION, session.binary);
  }

  #makeBlock(targets: unknown, opts: BlockOptions): Block {
    const block: Block = { targets: checkTargets(targets) };
    const endsAt = checkEndsAt(opts.endsAt);
    if (endsAt !== undefined) block.endsAt = endsAt;
    return block;
  }

  /** The running block with a new end time. The protocol would keep the targets by itself, but
   * they are sent all the same: a block that reached its end time in the helper just before the
   * line arrived has lost them there, and the helper must hold the block that this library
   * replays after a restart. */
  #keepTargets(opts: BlockOptions): Block {
    const endsAt = checkEndsAt(opts.endsAt);
    if (this.#state === 'running' || this.#state === 'restarting') {
      if (!isActive(this.#block, Date.now())) {
        throw new ShieldHelperError('NO_BLOCK', 'update() without targets keeps those of the running block, but no block is running: pass the targets');
      }
      const block: Block = { targets: this.#block.targets };
      if (endsAt !== undefined) block.endsAt = endsAt;
      return block;
    }
    // Not running: #request rejects it with the reason.
    return { targets: [] };
  }

  #blockCommand(command: string, block: Block): Promise<Status> {
    if (this.#state === 'running' || this.#state === 'restarting') this.#block = block;
    return this.#request(command, blockFields(block));
  }

  #request(command: string, fields: Record<string, unknown>): Promise<Status> {
    switch (this.#state) {
      case 'running':
        return this.#send(this.#session!, command, fields);
      case 'restarting':
        // Sent once the helper is back and the block has been replayed.
        return new Promise((resolve, reject) => this.#queued.push({ command, fields, resolve, reject }));
      case 'idle':
        return Promise.reject(new HelperNotRunningError(`cannot send "${command}": start() has not been called`));
      case 'starting':
        return Promise.reject(new HelperNotRunningError(`cannot send "${command}": wait for start() to resolve`));
      case 'failed':
        return Promise.reject(
          new HelperNotRunningError(`cannot send "${command}": ${this.#fatalError?.message ?? 'the helper failed'}`),
        );
      default:
        return Promise.reject(new HelperNotRunningError(`cannot send "${command}": the helper was closed`));
    }
  }

  #send(session: Session, command: string, fields: Record<string, unknown>): Promise<Status> {
    const requestId = this.#nextRequestId++;
    const line = `${JSON.stringify({ command, requestId, ...fields })}\n`;
    return new Promise<Status>((resolve, reject) => {
      const timer = setTimeout(() => {
        this.#pending.delete(requestId);
        reject(new RequestTimeoutError(`shield-helper did not answer "${command}" within ${this.#requestTimeoutMs} ms`));
      }, this.#requestTimeoutMs);
      this.#pending.set(requestId, { command, resolve, reject, timer });
      session.child.stdin?.write(line);
    });
  }

  #spawn(binary: string): Session {
    let resolveReady!: (status: Status) => void;
    let rejectReady!: (error: Error) => void;
    const ready = new Promise<Status>((resolve, reject) => {
      resolveReady = resolve;
      rejectReady = reject;
    });
    // Whoever awaits ready handles its failure; this keeps an unawaited one from being reported.
    ready.catch(() => undefined);
    let resolveEnd!: () => void;
    const end = new Promise<void>((resolve) => {
      resolveEnd = resolve;
    });
    // In a process group and session of its own, the helper does not get the signals a terminal
    // sends to the host's foreground group: a Ctrl-C meant for the host would otherwise kill it
    // in the middle of the host's own clean-up. On Windows `detached` starts it without a
    // console (DETACHED_PROCESS, in a process group of its own), which does the same for a
    // Ctrl-C in the host's console and keeps Windows from opening a console window for it when
    // the host has none (an Electron app); `windowsHide` would open none either, but it also
    // asks (SW_HIDE in the startup information) that the first window the helper shows be
    // hidden, and that window is a veil. It still ends with the host, at the end of its
    // standard input. No shell in between: the binary is started as it is, on every platform.
    // Not unreferenced: like any child, it keeps the host's event loop alive.
    const child = spawn(binary, [], {
      ...this.#spawnSettings,
      stdio: ['pipe', 'pipe', 'pipe'],
      detached: true,
      shell: false,
    });
    const session: Session = {
      child,
      binary,
      stdout: '',
      stdoutDecoder: new StringDecoder('utf8'),
      stderr: '',
      stderrDecoder: new StringDecoder('utf8'),
      stderrTail: [],
      isReady: false,
      readyTimedOut: false,
      ended: false,
      ready,
      resolveReady,
      rejectReady,
      end,
      resolveEnd,
    };
    this.#session = session;
    const readyTimer = setTimeout(() => {
      if (session.isReady || session.ended) return;
      session.rejectReady(new HelperExitedError(`shield-helper (${binary}) wrote no "ready" line within ${this.#requestTimeoutMs} ms`));
      session.readyTimedOut = true;
      child.kill('SIGKILL');
    }, this.#requestTimeoutMs);
    void ready.then(
      () => clearTimeout(readyTimer),
      () => clearTimeout(readyTimer),
    );
    // A helper that dies leaves a broken pipe; its exit is handled below, not the write error.
    child.stdin?.on('error', () => undefined);
    child.stdout?.on('data', (chunk: Buffer) => {
      session.stdout += session.stdoutDecoder.write(chunk);
      let newline: number;
      while ((newline = session.stdout.indexOf('\n')) >= 0) {
        const line = session.stdout.slice(0, newline);
        session.stdout = session.stdout.slice(newline + 1);
        this.#onLine(session, line);
      }
    });
    child.stderr?.on('data', (chunk: Buffer) => {
      session.stderr += session.stderrDecoder.write(chunk);
      let newline: number;
      while ((newline = session.stderr.indexOf('\n')) >= 0) {
        const line = session.stderr.slice(0, newline);
        session.stderr = session.stderr.slice(newline + 1);
        session.stderrTail.push(line);
        if (session.stderrTail.length > 10) session.stderrTail.shift();
        if (session === this.#session) this.emit('stderr', line);
      }
    });
    child.on('error', (error: NodeJS.ErrnoException) => {
      // Spawning failed (the binary was checked, so mostly a working directory that is not
      // there, or a user the host may not switch to): no exit or close follows.
      if (child.pid !== undefined) return;
      const cwd = this.#spawnSettings.cwd;
      if (error.code === 'ENOENT' && cwd !== undefined && !statOf(cwd)?.isDirectory()) {
        error = new Error(`its working directory ${cwd} (options.cwd) is not a directory`);
      }
      this.#onEnd(session, null, null, error);
    });
    child.on('close', (code: number | null, signal: NodeJS.Signals | null) => this.#onEnd(session, code, signal));
    return session;
  }

  #onLine(session: Session, text: string): void {
    if (session !== this.#session) return;
    let message: unknown;
    try {
      message = JSON.parse(text);
    } catch {
      this.emit('protocolError', `unreadable line from shield-helper: ${text.slice(0, 200)}`);
      return;
    }
    if (typeof message !== 'object' || message === null || typeof (message as { type?: unknown }).type !== 'string') {
      this.emit('protocolError', `message without a type from shield-helper: ${text.slice(0, 200)}`);
      return;
    }
    const typed = message as { type: string; requestId?: unknown; message?: unknown };
    switch (typed.type) {
      case 'ready':
        if (session.isReady) {
          this.emit('protocolError', 'shield-helper wrote a second "ready" line');
          return;
        }
        session.isReady = true;
        this.#lastStatus = typed as Status;
        session.resolveReady(typed as Status);
        return;
      case 'status': {
        this.#lastStatus = typed as Status;
        if (typeof typed.requestId !== 'number') {
          this.emit('status', typed as Status);
          return;
        }
        const pending = this.#pending.get(typed.requestId);
        // A reply that comes after its request timed out has nobody waiting for it.
        if (!pending) return;
        this.#pending.delete(typed.requestId);
        clearTimeout(pending.timer);
        pending.resolve(typed as Status);
        return;
      }
      case 'accessAttempt':
        this.emit('accessAttempt', typed as AccessAttempt);
        return;
      case 'error':
        // Every command line is built here, so an error means a bug on one side or the other,
        // never a reason to fail whichever request happens to be waiting.
        this.emit('protocolError', typeof typed.message === 'string' ? typed.message : text);
        return;
      default:
        // A newer helper may send messages this library does not know; they are not errors.
        return;
    }
  }

  #onEnd(session: Session, code: number | null, signal: NodeJS.Signals | null, spawnError?: Error): void {
    if (session.ended) return;
    session.ended = true;
    session.resolveEnd();
    const exit = spawnError ? `could not be started: ${spawnError.message}` : `exited (${describeExit(code, signal)})`;
    const stderr = session.stderrTail.length ? `; its last error output: ${session.stderrTail.join(' | ')}` : '';
    if (!session.isReady) session.rejectReady(new HelperExitedError(`shield-helper ${exit} before it was ready${stderr}`));
    if (session !== this.#session) return;
    this.#session = undefined;
    // Its shields ended with it: the coverage it reported is no longer true.
    this.#lastStatus = undefined;
    for (const [requestId, pending] of this.#pending) {
      this.#pending.delete(requestId);
      clearTimeout(pending.timer);
      pending.reject(new HelperExitedError(`shield-helper ${exit} before answering "${pending.command}"`));
    }
    switch (this.#state) {
      case 'closing':
        this.#setState('closed');
        this.emit('exit', { code, signal, willRestart: false });
        this.#resolveClosed?.(code);
        return;
      case 'starting':
        // start() rejects through the ready promise (or for the version), and nothing was
        // running to supervise.
        this.emit('exit', { code, signal, willRestart: false });
        return;
      case 'running':
      case 'restarting':
        this.#supervise(session, code, signal, exit);
        return;
      default:
        return;
    }
  }

  /** Restarts the helper after an exit nobody asked for, or gives it up. While a block is active
   * it is given up only when it cannot be started at all: killing it, however often, must not
   * lift the block. */
  #supervise(session: Session, code: number | null, signal: NodeJS.Signals | null, exit: string): void {
    const policy = this.#restart;
    if (!policy) {
      this.#setState('failed');
      this.emit('exit', { code, signal, willRestart: false });
      this.#fail(new HelperExitedError(`shield-helper ${exit}; restarting is off`));
      return;
    }
    const now = Date.now();
    this.#exitTimes = this.#exitTimes.filter((time) => now - time < policy.windowMs);
    this.#exitTimes.push(now);
    // A start failed when the helper ended by itself before it was ready (or could not be
    // spawned, or stayed silent). One killed by a signal before it was ready may just have been
    // killed by someone, so it neither counts nor breaks a run of failed starts.
    if (session.isReady) this.#failedStarts = 0;
    else if (signal === null || session.readyTimedOut) this.#failedStarts++;
    const blockActive = isActive(this.#block, now);
    let givenUp: string | undefined;
    if (this.#failedStarts >= Math.max(policy.maxRestarts, 1)) {
      givenUp = `${this.#failedStarts} restarts in a row ended before it was ready`;
    } else if (!blockActive && this.#exitTimes.length > policy.maxRestarts) {
      givenUp = `it ended ${this.#exitTimes.length} times within ${policy.windowMs} ms while no block was active`;
    }
    this.#setState(givenUp ? 'failed' : 'restarting');
    this.emit('exit', { code, signal, willRestart: !givenUp });
    if (givenUp) {
      this.#fail(new HelperExitedError(`shield-helper ${exit}; ${givenUp}, so it is not restarted again`));
      return;
    }
    const doublings = Math.min(this.#exitTimes.length - 1, 30);
    const delay = Math.min(policy.backoffMs * 2 ** doublings, policy.maxBackoffMs);
    this.#restartTimer = setTimeout(() => void this.#restartNow(), delay);
  }

  async #restartNow(): Promise<void> {
    this.#restartTimer = undefined;
    if (this.#state !== 'restarting') return;
    let binary: string;
    try {
      binary = ShieldHelper.resolveBinary({ binaryPath: this.#binaryPath });
    } catch (error) {
      this.#setState('failed');
      this.#fail(error as Error);
      return;
    }
    const session = this.#spawn(binary);
    let status: Status;
    try {
      status = await session.ready;
      // A restarted helper of another version only warns, whatever versionMismatch says:
      // refusing it would lift the block that the restart is there to keep.
      const mismatch = this.#checkVersion(session, status);
      if (mismatch && session === this.#session) this.emit('warning', mismatch);
      const block = this.#block;
      if (isActive(block, Date.now())) {
        status = await this.#send(session, 'start', blockFields(block));
      } else {
        this.#block = undefined;
      }
    } catch {
      // The new helper ended (its exit is being supervised) or did not answer: ending it hands
      // it to the same supervision.
      if (!session.ended) session.child.kill('SIGKILL');
      return;
    }
    if (session !== this.#session || this.#state !== 'restarting') return;
    this.#setState('running');
    const queued = this.#queued;
    this.#queued = [];
    for (const request of queued) this.#send(session, request.command, request.fields).then(request.resolve, request.reject);
    this.emit('restarted', status);
  }

  #rejectQueued(error: Error): void {
    const queued = this.#queued;
    this.#queued = [];
    for (const request of queued) request.reject(error);
  }

  #fail(error: Error): void {
    this.#fatalError = error;
    this.#rejectQueued(error);
    this.emit('fatal', error);
  }
}
