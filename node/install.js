'use strict';
// Run by npm on install: the prebuilt addon for this platform is used when there is one and it loads;
// otherwise the addon is built from source with node-gyp, against the headers of the Node running this
// (nothing is downloaded when they are installed beside it).
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

try {
  require('node-gyp-build')(__dirname);
  process.exit(0);
} catch (e) {
  console.log(`audioextract: no prebuilt addon loads here (${e.message.split('\n')[0]}); building it from source`);
}
const args = ['rebuild'];
const nodedir = path.resolve(path.dirname(process.execPath), '..');
if (fs.existsSync(path.join(nodedir, 'include', 'node', 'node_api.h'))) args.push(`--nodedir=${nodedir}`);
const gyp = process.platform === 'win32' ? 'node-gyp.cmd' : 'node-gyp';
const r = spawnSync(gyp, args, { cwd: __dirname, stdio: 'inherit', shell: process.platform === 'win32' });
process.exit(r.status === null ? 1 : r.status);
