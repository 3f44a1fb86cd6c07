#!/usr/bin/env node
// A host for the Ctrl-C tests: starts the helper named by $SHIELD_HELPER headless, blocks, and
// writes the helper's pid as a JSON line. With the argument "handle" it answers SIGINT as a host
// cleaning up would, ending the block and closing the helper, and writes the helper's exits and
// what stop() and close() gave; with "die" SIGINT ends it as it ends any program.
import { ShieldHelper } from '../dist/index.js';
import { internalsOf } from '../dist/internal.js';

delete process.env.DISPLAY;
delete process.env.WAYLAND_DISPLAY;
const say = (message) => process.stdout.write(`${JSON.stringify(message)}\n`);
const helper = new ShieldHelper({ binaryPath: process.env.SHIELD_HELPER, restart: { backoffMs: 20 } });
helper.on('exit', (exit) => say({ event: 'exit', ...exit }));
await helper.start();
await helper.block([{ id: 'ed', name: 'Text Editor', bundleId: 'org.example.TextEditor' }]);
if (process.argv[2] === 'handle') {
  process.once('SIGINT', async () => {
    say(await helper.stop().then(() => ({ stopped: true }), (error) => ({ stopped: error.message })));
    say({ closed: await helper.close() });
  });
}
say({ pid: internalsOf(helper).child().pid });
