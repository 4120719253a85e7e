'use strict';
// The library's JSON reports as the package hands them out: keys in JavaScript's case.

// Report bytes are UTF-8 apart from path and tag bytes copied as they are; those decode with U+FFFD.
function parse(bytes) {
  return JSON.parse(Buffer.isBuffer(bytes) ? bytes.toString('utf8') : bytes);
}

function probeOf(r) {
  const p = {
    format: r.format,
    durationMs: r.duration_ms,
    audioStreams: r.audio_streams.map((a) => ({
      index: a.index, codec: a.codec, channels: a.channels, sampleRate: a.sample_rate, bitrate: a.bitrate,
      language: a.language, suggestedExt: a.suggested_ext,
    })),
    streams: r.streams.map((s) => ({ index: s.index, type: s.type, codec: s.codec, width: s.width,
      height: s.height, fps: s.fps })),
  };
  if (r.truncated) p.truncated = true;
  return p;
}

function progressOf(r) {
  return { state: r.state, percent: r.percent, processedMs: r.processed_ms, totalMs: r.total_ms,
    packets: r.packets };
}

// outPath is the path as the caller gave it (a Buffer stays a Buffer).
function resultOf(r, outPath, stream) {
  const out = { outPath, codec: r.codec, outSizeBytes: r.out_size_bytes, durationMs: r.duration_ms,
    packetsWritten: r.packets_written, elapsedMs: r.elapsed_ms };
  if (stream !== undefined) out.stream = stream;
  return out;
}

module.exports = { parse, probeOf, progressOf, resultOf };
