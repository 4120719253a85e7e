// Types of belmarun-audioextract for Node.

/** A path: a string (UTF-8), a Buffer of the name's bytes (names that are not UTF-8), or a file: URL. */
export type PathLike = string | Buffer | URL;

export interface AudioStream {
  /** The stream's index among all streams of the file: what `stream` takes. */
  index: number;
  codec: string;
  channels: number;
  sampleRate: number;
  bitrate: number;
  language: string;
  /** The extension of the container the stream copies into best ("m4a", "opus", "flac", ...). */
  suggestedExt: string;
}

export interface Stream {
  index: number;
  type: 'video' | 'audio' | 'subtitle' | 'other';
  codec: string;
  width: number;
  height: number;
  fps: number;
}

export interface Probe {
  format: string;
  durationMs: number;
  audioStreams: AudioStream[];
  streams: Stream[];
  /** Present when the file has more streams than the report holds. */
  truncated?: true;
}

export interface Progress {
  /** 0 pending, 2 running, 3 done. */
  state: number;
  /** One decimal; 100 once done. */
  percent: number;
  processedMs: number;
  totalMs: number;
  packets: number;
}

export interface Result<P extends PathLike = PathLike> {
  /** The output as given (a Buffer stays a Buffer). */
  outPath: P;
  /** The stream copied, when it was named (always, from extractAll). */
  stream?: number;
  codec: string;
  outSizeBytes: number;
  durationMs: number;
  packetsWritten: number;
  elapsedMs: number;
}

export interface ExtractOptions {
  /** An index among all the input's streams; the first audio stream when omitted. */
  stream?: number;
  /** Replace an existing output (only once the new file is complete). */
  overwrite?: boolean;
  /** Aborting cancels the copy, leaves no file and rejects with an AbortError. */
  signal?: AbortSignal;
  /** Called as the copy goes, at most every 50 ms, and once at the end. */
  onProgress?: (progress: Progress) => void;
}

export interface ExtractAllOptions extends Omit<ExtractOptions, 'stream' | 'onProgress'> {
  onProgress?: (progress: Progress, stream: number) => void;
}

/**
 * Node-style codes: ENOENT, EISDIR, EACCES (input or output), EEXIST (output exists), ERR_AE_NO_AUDIO,
 * ERR_AE_OPEN_INPUT, ERR_AE_NO_STREAM_INFO, ERR_AE_READ_FAILED, ERR_AE_FORMAT_CHANGES, ERR_AE_BAD_EXTENSION,
 * ERR_AE_NEW_STREAM, ERR_AE_PARAM_COPY, ERR_AE_OPEN_OUTPUT, ERR_AE_WRITE_HEADER, ERR_AE_WRITE_FRAME,
 * ERR_AE_WRITE_TRAILER, ERR_AE_RENAME, ERR_AE_NO_MEMORY, ERR_AE_OUTPUT_NOT_LOCAL, ERR_AE_THREAD.
 */
export class AudioExtractError extends Error {
  code: string;
  /** The library's own error text. */
  text: string;
  /** The file the failure concerns. */
  path?: string;
  detail?: string;
  /** From extractAll: every stream's outcome. */
  results?: PromiseSettledResult<Result>[];
}
export class ProbeError extends AudioExtractError {}
export class ExtractionError extends AudioExtractError {}
export class AbortError extends Error {
  code: 'ABORT_ERR';
}

export function probe(input: PathLike): Promise<Probe>;
export function extract<P extends PathLike>(input: PathLike, output: P, options?: ExtractOptions): Promise<Result<P>>;
export function extract(input: PathLike, options?: ExtractOptions): Promise<Result>;
export function extractAll(input: PathLike, outDir?: PathLike, options?: ExtractAllOptions): Promise<Result[]>;
/** The name extract gives when no output is named. A Buffer when the input (or dir) is one. */
export function outputFor(input: PathLike, options?: { stream?: number; dir?: PathLike }): Promise<string | Buffer>;
export function setLogLevel(level: 'quiet' | 'panic' | 'fatal' | 'error' | 'warning' | 'info' | 'verbose' | 'debug' | 'trace' | number): void;
export function setMaxAlloc(bytes: number): void;
/** "VERSION (libavformat MAJOR.MINOR.MICRO)" */
export function version(): string;
export const MAX_SESSIONS: number;
export const MAX_PATH_BYTES: number;
