'use strict';
// Output names, by the same rules as the command-line host: the input's name with the stream's suggested
// extension, the stream index added where a name would repeat or be the input itself. Names are made from
// the path's bytes, so an input name that is not UTF-8 keeps its bytes in the output's name.
const fs = require('node:fs');
const { localPath, isSeparator } = require('./paths');

const DOT = 0x2e;
const separator = process.platform === 'win32' ? '\\' : '/';

function stem(input) {
  const local = localPath(input) || input;
  let start = local.length;
  while (start > 0 && !isSeparator(local[start - 1])) start -= 1;
  const name = local.subarray(start);
  const dot = name.lastIndexOf(DOT);
  const s = dot > 0 ? name.subarray(0, dot) : name;
  return s.length ? s : Buffer.from('audio');
}

function inDirectory(dir, name) {
  if (dir.length === 0 || dir.equals(Buffer.from('.'))) return name;
  const joint = isSeparator(dir[dir.length - 1]) ? [] : [Buffer.from(separator)];
  return Buffer.concat([dir, ...joint, name]);
}

function sameFile(a, b) {
  try {
    const x = fs.statSync(a, { bigint: true });
    const y = fs.statSync(b, { bigint: true });
    return x.dev === y.dev && x.ino === y.ino;
  } catch {
    return false;
  }
}

/** The name extract gives the stream `audio` of the input when no output is named (bytes of input and dir). */
function defaultOutput(input, probe, audio, dir) {
  const ext = audio.suggestedExt;
  const plain = inDirectory(dir, Buffer.concat([stem(input), Buffer.from(`.${ext}`)]));
  const local = localPath(input);
  const repeats = probe.audioStreams.filter((a) => a.suggestedExt === ext).length > 1;
  if (!repeats && !(local && sameFile(plain, local))) return plain;
  return inDirectory(dir, Buffer.concat([stem(input), Buffer.from(`.${audio.index}.${ext}`)]));
}

/** The name extractAll gives each audio stream: the input's name, the stream index and its language. */
function numberedOutput(input, audio, dir) {
  const language = audio.language.replace(/[^A-Za-z0-9_-]/g, '').slice(0, 32);
  const tail = `.${audio.index}${language ? `.${language}` : ''}.${audio.suggestedExt}`;
  return inDirectory(dir, Buffer.concat([stem(input), Buffer.from(tail)]));
}

module.exports = { defaultOutput, numberedOutput };
