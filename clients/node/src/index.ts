// A host's side of shield-helper: finds the binary, starts it as a child process, speaks its
// line protocol (one JSON object per line each way), matches replies to requests, and keeps the
// helper running by restarting it and replaying the block when it ends unexpectedly.

import { spawn, type ChildProcess } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { statSync } from 'node:fs';
import path from 'node:path';
import { StringDecoder } from 'node:string_decoder';
import { fileURLToPath } from 'node:url';
import { registerInternals } from './internal.js';

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

const DEFAULT_REQUEST_TIMEOUT_MS = 5000;
const DEFAULT_CLOSE_TIMEOUT_MS = 5000;
// The longest wait is short because a block goes uncovered while the helper is down, and a
// person at the desk can end the helper as often as they like.
const DEFAULT_RESTART: Required<RestartOptions> = { maxRestarts: 5, windowMs: 60_000, backoffMs: 500, maxBackoffMs: 5000 };

type State = 'idle' | 'starting' | 'running' | 'restarting' | 'closing' | 'closed' | 'failed';

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

/** One child process and what is known about it. */
interface Session {
  child: ChildProcess;
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
}

function describeExit(code: number | null, signal: NodeJS.Signals | null): string {
  if (signal) return `killed by ${signal}`;
  if (code === null) return 'not started';
  return `exit code ${code}`;
}

function isFile(file: string): boolean {
  try {
    return statSync(file).isFile();
  } catch {
    return false;
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

function blockFields(block: Block): Record<string, unknown> {
  return block.endsAt === undefined ? { targets: block.targets } : { targets: block.targets, endsAt: block.endsAt };
}

type ExitEvent = { code: number | null; signal: NodeJS.Signals | null; willRestart: boolean };

// The events with their arguments, so that listeners are typed (merged into the class).
export interface ShieldHelper {
  on(event: 'status' | 'restarted', listener: (status: Status) => void): this;
  on(event: 'accessAttempt', listener: (attempt: AccessAttempt) => void): this;
  on(event: 'protocolError' | 'stderr', listener: (text: string) => void): this;
  on(event: 'exit', listener: (exit: ExitEvent) => void): this;
  on(event: 'fatal', listener: (error: Error) => void): this;
  once(event: 'status' | 'restarted', listener: (status: Status) => void): this;
  once(event: 'accessAttempt', listener: (attempt: AccessAttempt) => void): this;
  once(event: 'protocolError' | 'stderr', listener: (text: string) => void): this;
  once(event: 'exit', listener: (exit: ExitEvent) => void): this;
  once(event: 'fatal', listener: (error: Error) => void): this;
}

export class ShieldHelper extends EventEmitter {
  /** Where start() finds the binary: `binaryPath`, then $SHIELD_HELPER_PATH, then the binary
   * packed with this package for the running platform and architecture; a path inside an
   * Electron app.asar is read from app.asar.unpacked. Throws, naming every place it looked,
   * when none holds a file. */
  static resolveBinary(options: Options = {}): string {
    const packageRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
    const platformArch = `${process.platform}-${process.arch}`;
    const executable = process.platform === 'win32' ? 'shield-helper.exe' : 'shield-helper';
    const candidates: Array<[string, string | undefined]> = [
      ['options.binaryPath', options.binaryPath],
      ['$SHIELD_HELPER_PATH', process.env.SHIELD_HELPER_PATH],
      [`the binary packed for ${platformArch}`, path.join(packageRoot, 'bin', platformArch, executable)],
    ];
    const looked: string[] = [];
    for (const [place, given] of candidates) {
      if (!given) {
        looked.push(`${place}: not set`);
        continue;
      }
      const file = unpackedPath(path.resolve(given));
      if (isFile(file)) return file;
      looked.push(`${place}: ${file} (${file === path.resolve(given) ? 'no such file' : `no such file; given as ${given}`})`);
    }
    throw new Error(`shield-helper binary not found. Looked at:\n  ${looked.join('\n  ')}`);
  }

  readonly #requestTimeoutMs: number;
  readonly #restart: Required<RestartOptions> | undefined;
  readonly #binaryPath: string | undefined;
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
    const timeout = options.requestTimeoutMs ?? DEFAULT_REQUEST_TIMEOUT_MS;
    if (!(timeout > 0)) throw new RangeError('requestTimeoutMs must be a positive number');
    this.#requestTimeoutMs = timeout;
    this.#binaryPath = options.binaryPath;
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

  /** The last status the helper reported: the ready message, a reply or an unsolicited one. */
  get lastStatus(): Status | undefined {
    return this.#lastStatus;
  }

  /** Starts the helper and resolves with its "ready" message. */
  async start(): Promise<Status> {
    if (this.#state !== 'idle') throw new Error(`start() cannot be called now: the helper is ${this.#state}`);
    const binary = ShieldHelper.resolveBinary({ binaryPath: this.#binaryPath });
    this.#state = 'starting';
    const session = this.#spawn(binary);
    try {
      const ready = await session.ready;
      if (this.#state === 'starting') this.#state = 'running';
      return ready;
    } catch (error) {
      if (this.#state === 'starting') this.#state = 'idle';
      throw error;
    }
  }

  /** Blocks `targets` until `endsAt` (no end without it): the "start" command. */
  block(targets: Target[], opts: { endsAt?: Date | number } = {}): Promise<Status> {
    return this.#blockCommand('start', targets, opts);
  }

  /** Replaces the block's targets and end time: the "update" command. */
  update(targets: Target[], opts: { endsAt?: Date | number } = {}): Promise<Status> {
    return this.#blockCommand('update', targets, opts);
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
    this.#rejectQueued(new Error('the helper was closed'));
    const session = this.#session;
    if (!session || session.ended) {
      this.#state = 'closed';
      this.#closed = Promise.resolve(null);
      return this.#closed;
    }
    this.#state = 'closing';
    this.#closed = new Promise<number | null>((resolve) => {
      this.#resolveClosed = resolve;
    });
    const killTimer = setTimeout(() => session.child.kill('SIGKILL'), timeoutMs);
    void this.#closed.then(() => clearTimeout(killTimer));
    session.child.stdin?.write('{"command":"shutdown"}\n');
    session.child.stdin?.end();
    return this.#closed;
  }

  #blockCommand(command: string, targets: Target[], opts: { endsAt?: Date | number }): Promise<Status> {
    let block: Block;
    try {
      block = { targets: checkTargets(targets) };
      const endsAt = checkEndsAt(opts.endsAt);
      if (endsAt !== undefined) block.endsAt = endsAt;
    } catch (error) {
      return Promise.reject(error);
    }
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
        return Promise.reject(new Error(`cannot send "${command}": start() has not been called`));
      case 'starting':
        return Promise.reject(new Error(`cannot send "${command}": wait for start() to resolve`));
      case 'failed':
        return Promise.reject(new Error(`cannot send "${command}": ${this.#fatalError?.message ?? 'the helper failed'}`));
      default:
        return Promise.reject(new Error(`cannot send "${command}": the helper was closed`));
    }
  }

  #send(session: Session, command: string, fields: Record<string, unknown>): Promise<Status> {
    const requestId = this.#nextRequestId++;
    const line = `${JSON.stringify({ command, requestId, ...fields })}\n`;
    return new Promise<Status>((resolve, reject) => {
      const timer = setTimeout(() => {
        this.#pending.delete(requestId);
        reject(new Error(`shield-helper did not answer "${command}" within ${this.#requestTimeoutMs} ms`));
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
    // In a process group and session of its own, the helper does not get the signals a terminal
    // sends to the host's foreground group: a Ctrl-C meant for the host would otherwise kill it
    // in the middle of the host's own clean-up. It still ends with the host, at the end of its
    // standard input. Not unreferenced: like any child, it keeps the host's event loop alive.
    const child = spawn(binary, [], { stdio: ['pipe', 'pipe', 'pipe'], detached: process.platform !== 'win32' });
    const session: Session = {
      child,
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
    };
    this.#session = session;
    const readyTimer = setTimeout(() => {
      if (session.isReady || session.ended) return;
      session.rejectReady(new Error(`shield-helper (${binary}) wrote no "ready" line within ${this.#requestTimeoutMs} ms`));
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
    child.on('error', (error: Error) => {
      // Spawning failed (no such file, not executable): no exit or close follows.
      if (child.pid === undefined) this.#onEnd(session, null, null, error);
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
    const exit = spawnError ? `could not be started: ${spawnError.message}` : `exited (${describeExit(code, signal)})`;
    const stderr = session.stderrTail.length ? `; its last error output: ${session.stderrTail.join(' | ')}` : '';
    if (!session.isReady) session.rejectReady(new Error(`shield-helper ${exit} before it was ready${stderr}`));
    if (session !== this.#session) return;
    this.#session = undefined;
    for (const [requestId, pending] of this.#pending) {
      this.#pending.delete(requestId);
      clearTimeout(pending.timer);
      pending.reject(new Error(`shield-helper ${exit} before answering "${pending.command}"`));
    }
    switch (this.#state) {
      case 'closing':
        this.#state = 'closed';
        this.emit('exit', { code, signal, willRestart: false });
        this.#resolveClosed?.(code);
        return;
      case 'starting':
        // start() rejects through the ready promise; nothing was running to supervise.
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
      this.#state = 'failed';
      this.emit('exit', { code, signal, willRestart: false });
      this.#fail(new Error(`shield-helper ${exit}; restarting is off`));
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
    const block = this.#block;
    const blockActive = block !== undefined && (block.endsAt === undefined || block.endsAt > now);
    let givenUp: string | undefined;
    if (this.#failedStarts >= Math.max(policy.maxRestarts, 1)) {
      givenUp = `${this.#failedStarts} restarts in a row ended before it was ready`;
    } else if (!blockActive && this.#exitTimes.length > policy.maxRestarts) {
      givenUp = `it ended ${this.#exitTimes.length} times within ${policy.windowMs} ms while no block was active`;
    }
    this.#state = givenUp ? 'failed' : 'restarting';
    this.emit('exit', { code, signal, willRestart: !givenUp });
    if (givenUp) {
      this.#fail(new Error(`shield-helper ${exit}; ${givenUp}, so it is not restarted again`));
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
      this.#state = 'failed';
      this.#fail(error as Error);
      return;
    }
    const session = this.#spawn(binary);
    let status: Status;
    try {
      status = await session.ready;
      const block = this.#block;
      if (block && (block.endsAt === undefined || block.endsAt > Date.now())) {
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
    this.#state = 'running';
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
