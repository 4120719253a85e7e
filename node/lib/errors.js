'use strict';
// The package's errors: each carries the library's text and a code in Node's manner, so a missing input is
// ENOENT whether probe or an extraction met it.
const { texts, inputTexts } = require('./binding');

class AudioExtractError extends Error {
  constructor(text, path, code, detail) {
    super((path ? `${path}: ${text}` : text) + (detail ? ` (${detail})` : ''));
    this.name = this.constructor.name;
    this.code = code;
    this.text = text;
    if (path !== undefined) this.path = path;
    if (detail) this.detail = detail;
  }
}
/** The probe failed ("cannot open input: <reason>", "no stream info", ...). */
class ProbeError extends AudioExtractError {}
/** The extraction failed: the library's text, or the package's refusal before starting ("output exists"). */
class ExtractionError extends AudioExtractError {}

/** Rejected when an AbortSignal stops an extraction, as Node's own APIs reject: it left no file. */
class AbortError extends Error {
  constructor(message = 'The operation was aborted', options = undefined) {
    super(message, options);
    this.name = 'AbortError';
    this.code = 'ABORT_ERR';
  }
}

// The system's reasons for an input it cannot open.
const REASONS = { 'No such file or directory': 'ENOENT', 'Is a directory': 'EISDIR', 'Permission denied': 'EACCES' };
const OWN = { 'output exists': 'EEXIST', 'an output must be a local file': 'ERR_AE_OUTPUT_NOT_LOCAL' };
const BY_TEXT = new Map(Object.entries(texts).map(([key, t]) =>
  [t, key === 'NO_AUDIO_STREAM' ? 'ERR_AE_NO_AUDIO' : `ERR_AE_${key}`]));

/** The probe says "open: <reason>" where an extraction says "cannot open input: <reason>": one text. */
function normalize(text) {
  return text.startsWith('open: ') ? `${texts.OPEN_INPUT}: ${text.slice(6)}` : text;
}

function codeOf(text) {
  for (const [reason, code] of Object.entries(REASONS)) if (text.endsWith(`: ${reason}`)) return code;
  if (OWN[text]) return OWN[text];
  const head = text.startsWith(`${texts.OPEN_INPUT}: `) ? texts.OPEN_INPUT : text;
  return BY_TEXT.get(head) || 'ERR_AE_FAILED';
}

/** Whether a failure text of the library is about the input (otherwise it is about the output). */
function aboutInput(text) {
  return inputTexts.some((t) => text === t || text.startsWith(`${t}: `));
}

/** The error for a failure text; code overrides the one the text gives. */
function error(Kind, text, path, { detail, code } = {}) {
  const t = normalize(text);
  return new Kind(t, path, code || codeOf(t), detail);
}

module.exports = { AudioExtractError, ProbeError, ExtractionError, AbortError, error, aboutInput };
