'use strict';
// The addon and the library module it loads, found once per process on first use.
const fs = require('node:fs');
const path = require('node:path');

const MODULE_FILE = process.platform === 'win32' ? 'belmarun-audioextract.dll' : 'belmarun-audioextract.so';
const root = path.join(__dirname, '..');
const addon = require('node-gyp-build')(root);
let version = null;

// The module: $AUDIOEXTRACT_MODULE, else the one the package carries for this platform, else the loader's
// own search (a system-wide install).
function modulePath() {
  if (process.env.AUDIOEXTRACT_MODULE) return process.env.AUDIOEXTRACT_MODULE;
  const carried = path.join(root, 'native', `${process.platform}-${process.arch}`, MODULE_FILE);
  return fs.existsSync(carried) ? carried : MODULE_FILE;
}

/** The addon, with the library loaded into the process. */
function library() {
  if (version === null) version = addon.load(modulePath());
  return addon;
}

module.exports = { addon, library, libraryVersion: () => (library(), version), constants: addon.constants,
  texts: addon.texts, inputTexts: addon.inputTexts };
