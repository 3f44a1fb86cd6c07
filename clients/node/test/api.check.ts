// The public API as host code uses it, checked by the compiler against the declarations the
// package ships (tsc -p tsconfig.check.json): a rename or a changed type fails the test step.

import { EventEmitter } from 'node:events';
import {
  BinaryNotExecutableError,
  BinaryNotFoundError,
  HelperExitedError,
  HelperNotRunningError,
  RequestTimeoutError,
  ShieldHelper,
  ShieldHelperError,
  VersionMismatchError,
  type AccessAttempt,
  type BlockOptions,
  type ErrorCode,
  type ExitEvent,
  type Options,
  type ResolveBinaryOptions,
  type State,
  type Status,
  type Target,
} from '../dist/index.js';

const options: Options[] = [
  {},
  { binaryPath: '/usr/bin/shield-helper', requestTimeoutMs: 1000 },
  { restart: false },
  { restart: { maxRestarts: 3, windowMs: 60_000, backoffMs: 100 } },
  { restart: {} },
  { versionMismatch: 'warn', env: { LANG: 'C' }, cwd: '/', uid: 1000, gid: 1000 },
  { versionMismatch: 'error' },
];
const targets: Target[] = [{ id: 'ed', name: 'Editor' }, { id: 'term', name: 'Terminal', bundleId: 'XTerm' }];
const binary: string = ShieldHelper.resolveBinary(options[1]);
// The binary packaged for another machine, as an app packager asks for it.
const forMac: ResolveBinaryOptions = { platform: 'darwin', arch: 'arm64' };
const macBinary: string = ShieldHelper.resolveBinary(forMac);
const helper = new ShieldHelper(options[0]);
const emitter: EventEmitter = helper;

async function host(): Promise<void> {
  const ready: Status = await helper.start();
  const replies: Status[] = [
    await helper.block(targets),
    await helper.block(targets, { endsAt: new Date() }),
    await helper.update(targets, { endsAt: Date.now() + 1000 }),
    await helper.update([]),
    await helper.update({ endsAt: Date.now() + 1000 }),
    await helper.update(undefined, { endsAt: new Date() }),
    await helper.update(),
    await helper.stop(),
    await helper.permissionStatus(),
    await helper.requestPermission(),
    await helper.requestPermission({ prompt: true }),
  ];
  const last: Status | undefined = helper.lastStatus;
  const code: number | null = await helper.close({ timeoutMs: 100 });
  const kind: 'ready' | 'status' = ready.type;
  const permission: 'unknown' | 'granted' | 'denied' = replies[0].permission;
  const counts: number[] = [
    ready.shieldCount,
    ready.eligibleWindowCount,
    ready.coveredWindowCount,
    ready.uncoveredWindowCount,
  ];
  const optional: Array<string | number | undefined> = [ready.requestId, ready.error, ready.coverageError, ready.version];
  const pid: number | undefined = helper.pid;
  const state: State = helper.state;
  helper.reset();
  const blockOptions: BlockOptions = { endsAt: new Date() };
  console.log(binary, macBinary, emitter, last, code, kind, permission, counts, optional, ready.watcherRunning === true, pid, state, blockOptions);
}

// Every error is a ShieldHelperError with a code; the version error says both versions.
const errors: ShieldHelperError[] = [
  new BinaryNotFoundError('x'),
  new BinaryNotExecutableError('x'),
  new RequestTimeoutError('x'),
  new HelperExitedError('x'),
  new HelperNotRunningError('x'),
  new VersionMismatchError(undefined, '0.1.0', '/usr/bin/shield-helper'),
  new ShieldHelperError('NO_BLOCK', 'x'),
];
const codes: ErrorCode[] = errors.map((error) => error.code);
const versions: Array<string | undefined> = [new VersionMismatchError('1.0.0', '0.1.0', 'x').helperVersion, ShieldHelper.version];
const states: State[] = ['idle', 'starting', 'running', 'restarting', 'closing', 'closed', 'failed'];
void [codes, versions, states];

helper.on('status', (status: Status) => status.shieldCount);
helper.on('restarted', (status: Status) => status.permission);
helper.on('accessAttempt', (attempt: AccessAttempt) => {
  const fields: [string, string, string, number] = [attempt.type, attempt.targetId, attempt.appName, attempt.occurredAt];
  return fields;
});
helper.on('protocolError', (text: string) => text.length);
helper.on('stderr', (text: string) => text.length);
helper.on('exit', (exit: { code: number | null; signal: NodeJS.Signals | null; willRestart: boolean }) => exit);
helper.on('exit', (exit: ExitEvent) => exit.willRestart);
helper.once('fatal', (error: Error) => error.message);
helper.on('fatal', (error: ShieldHelperError) => error.code);
helper.on('warning', (warning: VersionMismatchError) => [warning.helperVersion, warning.libraryVersion]);
helper.on('state', (now: State, previous: State) => [now, previous]);
void host;
