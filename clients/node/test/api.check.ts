// The public API as host code uses it, checked by the compiler against the declarations the
// package ships (tsc -p tsconfig.check.json): a rename or a changed type fails the test step.

import { EventEmitter } from 'node:events';
import { ShieldHelper, type AccessAttempt, type Options, type Status, type Target } from '../dist/index.js';

const options: Options[] = [
  {},
  { binaryPath: '/usr/bin/shield-helper', requestTimeoutMs: 1000 },
  { restart: false },
  { restart: { maxRestarts: 3, windowMs: 60_000, backoffMs: 100 } },
  { restart: {} },
];
const targets: Target[] = [{ id: 'ed', name: 'Editor' }, { id: 'term', name: 'Terminal', bundleId: 'XTerm' }];
const binary: string = ShieldHelper.resolveBinary(options[1]);
const helper = new ShieldHelper(options[0]);
const emitter: EventEmitter = helper;

async function host(): Promise<void> {
  const ready: Status = await helper.start();
  const replies: Status[] = [
    await helper.block(targets),
    await helper.block(targets, { endsAt: new Date() }),
    await helper.update(targets, { endsAt: Date.now() + 1000 }),
    await helper.update([]),
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
  const optional: Array<string | number | undefined> = [ready.requestId, ready.error, ready.coverageError];
  console.log(binary, emitter, last, code, kind, permission, counts, optional, ready.watcherRunning === true);
}

helper.on('status', (status: Status) => status.shieldCount);
helper.on('restarted', (status: Status) => status.permission);
helper.on('accessAttempt', (attempt: AccessAttempt) => {
  const fields: [string, string, string, number] = [attempt.type, attempt.targetId, attempt.appName, attempt.occurredAt];
  return fields;
});
helper.on('protocolError', (text: string) => text.length);
helper.on('stderr', (text: string) => text.length);
helper.on('exit', (exit: { code: number | null; signal: NodeJS.Signals | null; willRestart: boolean }) => exit);
helper.once('fatal', (error: Error) => error.message);
void host;
