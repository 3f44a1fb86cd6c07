// Hooks into a running ShieldHelper for this package's own tests: they reach the child process
// (to stop or kill it) and write lines the library itself never writes. Not part of the public
// API; the package's "exports" map does not expose this module.

import type { ChildProcess } from 'node:child_process';

export interface Internals {
  /** The helper process now running, if any. */
  child(): ChildProcess | undefined;
  /** Writes `text` to the helper's standard input exactly as given. */
  writeRaw(text: string): void;
}

const registry = new WeakMap<object, Internals>();

export function registerInternals(owner: object, internals: Internals): void {
  registry.set(owner, internals);
}

export function internalsOf(owner: object): Internals {
  const internals = registry.get(owner);
  if (!internals) throw new Error('not a ShieldHelper');
  return internals;
}
