// Writes the package.json files of the staged npm packages for scripts/package: the library's,
// which names every platform package as an optional dependency at its own exact version, and
// one for each platform package, @shield-helper/<platform>-<arch>, which carries
// bin/shield-helper (bin/shield-helper.exe for Windows).
//
// Usage: node write-manifests.cjs LIBRARY_PACKAGE_JSON STAGE_DIR PLATFORM...
//   (writes STAGE_DIR/shield-helper/package.json and STAGE_DIR/<platform>/package.json)

'use strict';

const { mkdirSync, readFileSync, writeFileSync } = require('node:fs');
const path = require('node:path');

const [source, stage, ...platforms] = process.argv.slice(2);
if (!source || !stage || platforms.length === 0) {
  console.error('usage: node write-manifests.cjs LIBRARY_PACKAGE_JSON STAGE_DIR PLATFORM...');
  process.exit(2);
}
const library = JSON.parse(readFileSync(source, 'utf8'));

function write(dir, manifest) {
  mkdirSync(path.join(stage, dir), { recursive: true });
  writeFileSync(path.join(stage, dir, 'package.json'), `${JSON.stringify(manifest, null, 2)}\n`);
}

// npm refuses to install the library where its os and cpu fields say no, so a platform that
// they leave out could never get its binary package installed.
for (const platform of platforms) {
  const [os, cpu] = platform.split('-');
  if (!library.os?.includes(os) || !library.cpu?.includes(cpu)) {
    console.error(`${source}: its os and cpu fields leave out ${platform}`);
    process.exit(1);
  }
}

// The optional dependencies are written into the staged copy only: in clients/node/package.json
// they would send npm ci there to the registry for packages that no build has published yet.
write('shield-helper', {
  ...library,
  optionalDependencies: Object.fromEntries(platforms.map((platform) => [`@shield-helper/${platform}`, library.version])),
});

for (const platform of platforms) {
  const [os, cpu] = platform.split('-');
  // Windows starts programs by their .exe; the library looks for the same name.
  const binary = os === 'win32' ? 'bin/shield-helper.exe' : 'bin/shield-helper';
  write(platform, {
    name: `@shield-helper/${platform}`,
    version: library.version,
    description: `The shield-helper binary for ${platform}, started by the shield-helper library`,
    license: library.license,
    repository: library.repository,
    os: [os],
    cpu: [cpu],
    files: [binary],
    // Yarn would otherwise leave the package inside its zip archive, from where the binary
    // cannot be started; esbuild's platform packages say the same.
    preferUnplugged: true,
  });
}
