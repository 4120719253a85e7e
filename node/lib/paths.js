'use strict';
// Arguments as the library takes them, checked before they reach it, and the local file a path names.
const { constants } = require('./binding');

const SCHEME = /^([A-Za-z0-9+.-]{2,}):/;  // one letter before ':' is a Windows drive

/** A path as the library's bytes: a string is UTF-8, a Buffer is taken as it is (names that are not UTF-8). */
function encode(p, role) {
  let raw;
  if (typeof p === 'string') raw = Buffer.from(p, 'utf8');
  else if (Buffer.isBuffer(p)) raw = p;
  else if (p instanceof URL) {
    if (p.protocol !== 'file:') return encode(p.href, role);
    raw = Buffer.from(require('node:url').fileURLToPath(p), 'utf8');
  } else throw new TypeError(`${role} must be a string, Buffer or URL, not ${p === null ? 'null' : typeof p}`);
  if (raw.length === 0) throw new TypeError(`${role} path is empty`);
  if (raw.includes(0)) throw new TypeError(`${role} path holds a NUL byte`);
  if (raw.length > constants.MAX_PATH_BYTES) {
    throw new RangeError(`${role} path is longer than ${constants.MAX_PATH_BYTES} bytes`);
  }
  return raw;
}

/** A path for messages and error objects. */
function text(p) {
  if (Buffer.isBuffer(p)) return p.toString('utf8');
  return p instanceof URL ? p.href : String(p);
}

/** The local file a path's bytes name, as the library reads it: the path behind a "file:" prefix, the path itself
 *  when it has no scheme, null for any other address (which the library refuses as an output). */
function localPath(raw) {
  const m = SCHEME.exec(raw.toString('latin1'));
  if (!m) return raw;
  return m[1].toLowerCase() === 'file' ? raw.subarray(m[0].length) : null;
}

/** Whether a byte of a path separates its folders ('\\' too on Windows). */
function isSeparator(byte) {
  return byte === 0x2f || (process.platform === 'win32' && byte === 0x5c);
}

/** The folder a path's bytes name a file in: "." for a bare name. */
function folderOf(raw) {
  let end = raw.length;
  while (end > 0 && !isSeparator(raw[end - 1])) end -= 1;
  if (end === 0) return Buffer.from('.');
  return end === 1 ? raw.subarray(0, 1) : raw.subarray(0, end - 1);
}

/** The stream index for the library: -1 for the first audio stream. */
function checkStream(stream) {
  if (stream === undefined || stream === null) return -1;
  if (!Number.isInteger(stream)) throw new TypeError(`stream must be an integer index, not ${stream}`);
  if (stream < -(2 ** 31) || stream >= 2 ** 31) throw new RangeError(`stream index ${stream} is out of range`);
  return stream;
}

module.exports = { encode, text, localPath, checkStream, folderOf, isSeparator };
