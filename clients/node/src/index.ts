// The package's ES module entry point. It re-exports the CommonJS build (index.cjs) instead of
// being a second copy of the library, so that a host that both imports and requires the package
// (or two of its dependencies that do) still has one ShieldHelper class and one set of errors.

export {
  BinaryNotExecutableError,
  BinaryNotFoundError,
  HelperExitedError,
  HelperNotRunningError,
  RequestTimeoutError,
  ShieldHelper,
  ShieldHelperError,
  VersionMismatchError,
} from './index.cjs';
export type {
  AccessAttempt,
  BlockOptions,
  ErrorCode,
  ExitEvent,
  Options,
  ResolveBinaryOptions,
  RestartOptions,
  State,
  Status,
  Target,
} from './index.cjs';
