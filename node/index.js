'use strict';
// belmarun-audioextract for Node: look inside media files and copy one audio stream into a file of its own,
// without re-encoding, in this process. Every call returns a promise; the event loop never waits on the library.
const fs = require('node:fs');
const binding = require('./lib/binding');
const { AudioExtractError, ProbeError, ExtractionError, AbortError, error, aboutInput } = require('./lib/errors');
const { defaultOutput, numberedOutput } = require('./lib/naming');
const { encode, text, localPath, checkStream, folderOf } = require('./lib/paths');
const { pool } = require('./lib/pool');
const { parse, probeOf, resultOf } = require('./lib/reports');

const C = binding.constants;
const T = binding.texts;

// Probes run one at a time (the library's rule), so a slow source holds one thread of libuv's pool, not all.
let probes = Promise.resolve();

function probeRaw(raw, shown) {
  const lib = binding.library();
  const run = probes.then(() => lib.probe(raw));
  probes = run.catch(() => {});
  return run.then((bytes) => {
    const r = parse(bytes);
    if (!r.ok) throw error(ProbeError, r.error || 'probe failed', shown);
    return probeOf(r);
  });
}

/** Describe a media file: format, duration, every stream, and each audio stream's details. */
async function probe(input) {
  return probeRaw(encode(input, 'input'), text(input));
}

// A name made by the package, of the kind the caller gave: a Buffer when the input was one.
function like(template, raw) {
  return Buffer.isBuffer(template) ? raw : raw.toString('utf8');
}

function noStream(input, p, stream, Kind) {
  if (stream < 0) return error(Kind, T.NO_AUDIO_STREAM, input);
  const have = p.audioStreams.map((a) => a.index).join(', ') || 'none';
  return error(Kind, T.NO_AUDIO_STREAM, input, { detail: `stream ${stream} is not one; audio streams: ${have}` });
}

/** The output name extract gives when none is named: the input's name with the stream's extension, in dir. */
async function outputFor(input, { stream, dir = '.' } = {}) {
  const raw = encode(input, 'input');
  const s = checkStream(stream);
  const p = await probeRaw(raw, text(input));
  const audio = s < 0 ? p.audioStreams[0] : p.audioStreams.find((a) => a.index === s);
  if (!audio) throw noStream(text(input), p, s, ProbeError);
  return like(Buffer.isBuffer(dir) ? dir : input, defaultOutput(raw, p, audio, encode(dir, 'dir')));
}

function exists(local) {
  return fs.promises.lstat(local).then(() => true, (e) => e.code !== 'ENOENT' && e.code !== 'ENOTDIR');
}

// Which of the usual reasons a refused output has.
async function outputFailure(textOut, shown, local) {
  const stat = (p) => fs.promises.stat(p).catch(() => null);
  const here = await stat(local);
  if (here && here.isDirectory()) return error(ExtractionError, textOut, shown, { detail: 'a directory', code: 'EISDIR' });
  const dir = folderOf(local);
  const parent = await stat(dir);
  if (!parent || !parent.isDirectory()) {
    return error(ExtractionError, textOut, shown, { detail: 'no such directory', code: 'ENOENT' });
  }
  const writable = await fs.promises.access(dir, fs.constants.W_OK | fs.constants.X_OK).then(() => true, () => false);
  if (!writable) return error(ExtractionError, textOut, shown, { detail: 'permission denied', code: 'EACCES' });
  return error(ExtractionError, textOut, shown);
}

function abortError(signal) {
  return new AbortError(undefined, { cause: signal.reason });
}

/**
 * Copy one audio stream of input into output (a name is made when output is omitted). Options: stream (an
 * index among all streams; the first audio stream when omitted), overwrite (replace an existing output),
 * signal (an AbortSignal: aborting cancels the copy, which leaves no file, and rejects with an AbortError),
 * onProgress (called with {state, percent, processedMs, totalMs, packets} as the copy goes).
 * More than four extractions at once wait for a free session.
 */
async function extract(input, output, options = {}) {
  if (output !== undefined && output !== null && typeof output === 'object' && !Buffer.isBuffer(output) &&
      !(output instanceof URL)) {
    options = output;
    output = undefined;
  }
  const { stream, overwrite = false, signal, onProgress } = options;
  const src = encode(input, 'input');
  const s = checkStream(stream);
  if (onProgress !== undefined && typeof onProgress !== 'function') throw new TypeError('onProgress must be a function');
  if (signal?.aborted) throw abortError(signal);
  if (output === undefined || output === null) output = await outputFor(input, { stream: s });
  const dst = encode(output, 'output');
  const shownIn = text(input);
  const shownOut = text(output);
  const local = localPath(dst);
  if (local === null) throw error(ExtractionError, 'an output must be a local file', shownOut);
  if (!overwrite && (await exists(local))) {
    throw error(ExtractionError, 'output exists', shownOut, { detail: 'pass overwrite: true to replace it' });
  }
  if (signal?.aborted) throw abortError(signal);

  const job = {
    src, dst, stream: s, onProgress,
    refuse: (code) => (code === C.ERR_BAD_PATH ? new TypeError(`a path the library refuses: ${shownOut}`)
      : error(ExtractionError, 'the worker thread could not be created', shownOut, { code: 'ERR_AE_THREAD' })),
  };
  const { done, cancel } = pool().run(job);
  const onAbort = () => cancel();
  signal?.addEventListener('abort', onAbort, { once: true });
  let end;
  try {
    end = await done;
  } finally {
    signal?.removeEventListener('abort', onAbort);
  }
  if (job.callbackError) throw job.callbackError;
  if (end.state === C.STATE_DONE) return resultOf(end.report, output, s >= 0 ? s : undefined);
  if (end.state === C.STATE_CANCELLED) throw signal?.aborted ? abortError(signal) : new AbortError();
  const t = end.report.error || 'failed';
  if (t === T.NO_AUDIO_STREAM && s >= 0) {
    const p = await probeRaw(src, shownIn).catch(() => null);
    if (p) throw noStream(shownIn, p, s, ExtractionError);
  }
  if (aboutInput(t)) throw error(ExtractionError, t, shownIn);
  if (t === T.OPEN_OUTPUT) throw await outputFailure(t, shownOut, local);
  throw error(ExtractionError, t, shownOut);
}

/**
 * Copy every audio stream of input into outDir, each under a name of its own (input name, stream index,
 * language). Resolves with a result per stream, in stream order; when any fails, rejects with the first
 * failure, whose `results` holds every stream's outcome ({status, value|reason}).
 */
async function extractAll(input, outDir = '.', options = {}) {
  const { onProgress, ...rest } = options;
  const raw = encode(input, 'input');
  const dir = encode(outDir, 'outDir');
  const p = await probeRaw(raw, text(input));
  if (!p.audioStreams.length) throw error(ProbeError, T.NO_AUDIO_STREAM, text(input));
  const settled = await Promise.allSettled(p.audioStreams.map((a) => extract(input,
    like(Buffer.isBuffer(outDir) ? outDir : input, numberedOutput(raw, a, dir)),
    { ...rest, stream: a.index, onProgress: onProgress && ((progress) => onProgress(progress, a.index)) })));
  const failed = settled.find((x) => x.status === 'rejected');
  if (failed) {
    failed.reason.results = settled;
    throw failed.reason;
  }
  return settled.map((x) => x.value);
}

const LOG_LEVELS = { quiet: -8, panic: 0, fatal: 8, error: 16, warning: 24, info: 32, verbose: 40, debug: 48, trace: 56 };

/** Let FFmpeg's own log lines reach stderr from this level up ("error", "warning", ...); "quiet" by default. */
function setLogLevel(level) {
  const n = typeof level === 'string' ? LOG_LEVELS[level] : level;
  if (!Number.isInteger(n)) throw new RangeError(`unknown log level ${level}: one of ${Object.keys(LOG_LEVELS).join(', ')}`);
  binding.library().setLogLevel(n);
}

/** The largest single allocation FFmpeg may make in this process (64 MiB when the library loads). */
function setMaxAlloc(bytes) {
  binding.library().setMaxAlloc(bytes);
}

module.exports = {
  probe, extract, extractAll, outputFor, setLogLevel, setMaxAlloc,
  version: () => binding.libraryVersion(),
  MAX_SESSIONS: C.MAX_SESSIONS,
  MAX_PATH_BYTES: C.MAX_PATH_BYTES,
  AudioExtractError, ProbeError, ExtractionError, AbortError,
};
