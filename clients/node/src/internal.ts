// The ES module face of the test hooks in internal.cts, for this package's own tests; it
// re-exports the CommonJS module, whose registry the library itself fills.

export { internalsOf, type Internals } from './internal.cjs';
