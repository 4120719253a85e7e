#!/usr/bin/env node
// Probe a media file and copy its first audio stream (or the one named) out, with a progress bar.
//   node extract.js INPUT [OUTPUT] [--stream N]
// Ctrl-C stops the copy; nothing half-written is left.
'use strict';
const ae = require('belmarun-audioextract');

async function main() {
  const args = process.argv.slice(2);
  const at = args.indexOf('--stream');
  const stream = at >= 0 ? Number(args.splice(at, 2)[1]) : undefined;
  const [input, output] = args;
  if (!input) {
    console.error('usage: node extract.js INPUT [OUTPUT] [--stream N]');
    process.exit(2);
  }
  const info = await ae.probe(input);
  console.log(`${input}: ${info.format}, ${(info.durationMs / 1000).toFixed(1)} s`);
  for (const a of info.audioStreams) {
    console.log(`  stream ${a.index}: ${a.codec}, ${a.channels} ch, ${a.sampleRate} Hz, ${a.language || '-'} -> .${a.suggestedExt}`);
  }

  const ac = new AbortController();
  process.once('SIGINT', () => ac.abort());
  const bar = (p) => {
    if (!process.stderr.isTTY) return;
    const width = 30;
    const full = Math.round((p.percent / 100) * width);
    process.stderr.write(`\r[${'#'.repeat(full)}${'.'.repeat(width - full)}] ${p.percent.toFixed(1)}%`);
  };
  try {
    const r = await ae.extract(input, output, { stream, signal: ac.signal, onProgress: bar });
    if (process.stderr.isTTY) process.stderr.write('\n');
    console.log(`wrote ${r.outPath}: ${r.codec}, ${r.durationMs} ms, ${r.packetsWritten} packets, ` +
      `${r.outSizeBytes} bytes in ${r.elapsedMs} ms`);
  } catch (e) {
    if (process.stderr.isTTY) process.stderr.write('\n');
    if (e.name === 'AbortError') {
      console.error('stopped; no file was left');
      process.exit(130);
    }
    throw e;
  }
}

main().catch((e) => {
  console.error(`${e.message}${e.code ? ` [${e.code}]` : ''}`);
  process.exit(1);
});
