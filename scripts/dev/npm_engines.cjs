// Checks that every package installed in a tools folder of
// scripts/dev/npm_tools.sh declares, in its package.json's engines.node, that it
// runs on the node running this script; prints one line for each that does
// not. The ranges are read by the semver package installed beside them, as
// npm reads them.
// Usage: node npm_engines.cjs TOOLS_FOLDER
'use strict';
const fs = require('fs');
const path = require('path');

const modules = path.join(process.argv[2], 'node_modules');
const semver = require(path.join(modules, 'semver'));

// Every package.json of an installed package, nested ones included.
function* packages(folder) {
  if (!fs.existsSync(folder)) return;
  for (const entry of fs.readdirSync(folder)) {
    if (entry.startsWith('.')) continue;
    const where = path.join(folder, entry);
    if (entry.startsWith('@')) {
      yield* packages(where);
      continue;
    }
    const manifest = path.join(where, 'package.json');
    if (fs.existsSync(manifest)) yield manifest;
    yield* packages(path.join(where, 'node_modules'));
  }
}

let count = 0;
let refused = 0;
for (const manifest of packages(modules)) {
  const { name, version, engines } = JSON.parse(fs.readFileSync(manifest, 'utf8'));
  count++;
  const range = engines && engines.node;
  if (range && !semver.satisfies(process.version, range)) {
    refused++;
    console.log(`${name}@${version} runs on node ${range}, not ${process.version}: ` +
                path.relative(process.argv[2], manifest));
  }
}
if (count === 0) {
  console.log(`no packages in ${modules}`);
  process.exit(1);
}
process.exit(refused ? 1 : 0);
