#!/usr/bin/env node
// A small upload server: POST a media file to /extract (optionally ?ext=mka&stream=N); the audio is copied out
// in a temporary folder and the answer is the probe and the result as JSON. A client that goes away
// mid-copy cancels it; the temporary folder is always removed.
//   node upload-server.js [PORT]      (0, the default, takes a free port; the address is printed)
//   curl --data-binary @movie.mp4 'http://127.0.0.1:PORT/extract?ext=m4a'
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { pipeline } = require('node:stream/promises');
const ae = require('belmarun-audioextract');

const MAX_UPLOAD = 2 * 1024 ** 3;

function answer(res, status, body) {
  if (res.destroyed) return;
  res.writeHead(status, { 'Content-Type': 'application/json' });
  res.end(`${JSON.stringify(body)}\n`);
}

async function handle(req, res) {
  const url = new URL(req.url, 'http://localhost');
  if (req.method !== 'POST' || url.pathname !== '/extract') return answer(res, 404, { error: 'POST /extract' });
  const ext = url.searchParams.get('ext');
  if (ext !== null && !/^[a-z0-9]{1,8}$/.test(ext)) return answer(res, 400, { error: 'bad ext' });
  const stream = url.searchParams.has('stream') ? Number(url.searchParams.get('stream')) : undefined;
  if (Number(req.headers['content-length']) > MAX_UPLOAD) return answer(res, 413, { error: 'too large' });

  const ac = new AbortController();
  res.on('close', () => { if (!res.writableFinished) ac.abort(); });  // the client went away
  const dir = await fs.promises.mkdtemp(path.join(os.tmpdir(), 'upload-'));
  try {
    const input = path.join(dir, 'upload');
    let size = 0;
    req.on('data', (chunk) => { size += chunk.length; if (size > MAX_UPLOAD) req.destroy(new Error('too large')); });
    await pipeline(req, fs.createWriteStream(input), { signal: ac.signal });
    const info = await ae.probe(input);
    const audio = stream === undefined ? info.audioStreams[0] : info.audioStreams.find((a) => a.index === stream);
    if (!audio) return answer(res, 422, { error: 'no audio stream', streams: info.streams });
    const output = path.join(dir, `audio.${ext || audio.suggestedExt}`);
    const result = await ae.extract(input, output, { stream: audio.index, signal: ac.signal });
    // A real service would store or stream the file here; this one reports what it made.
    answer(res, 200, { probe: info, result: { ...result, outPath: path.basename(output) } });
  } catch (e) {
    if (e.name === 'AbortError' || ac.signal.aborted) return;  // nobody is listening any more
    const status = e instanceof ae.AudioExtractError && e.code !== 'ERR_AE_RENAME' ? 422 : 500;
    answer(res, status, { error: e.text || e.message, code: e.code });
  } finally {
    await fs.promises.rm(dir, { recursive: true, force: true });
  }
}

const server = http.createServer((req, res) => { handle(req, res).catch((e) => answer(res, 500, { error: e.message })); });
server.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
  console.log(`listening on http://127.0.0.1:${server.address().port}/extract`);
});
