'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');
const ae = require('..');
const { media, streams, packetHashes, scratch, stallingServer, silentServer } = require('./support');

const FIXTURES = ['mp4_aac.mp4', 'three_audio.mkv', 'webm_opus.webm', 'flac.flac', 'mp4_two.mp4'];

test('probe reports what ffprobe sees', async () => {
  for (const name of FIXTURES) {
    const p = await ae.probe(media(name));
    const want = streams(media(name));
    assert.equal(p.streams.length, want.streams.length, name);
    assert.equal(p.format, want.format.format_name, name);
    for (const s of want.streams) {
      assert.equal(p.streams[s.index].codec, s.codec_name, `${name} stream ${s.index}`);
      if (s.codec_type !== 'audio') continue;
      const a = p.audioStreams.find((x) => x.index === s.index);
      assert.ok(a, `${name}: audio stream ${s.index} missing`);
      assert.equal(a.channels, s.channels);
      assert.equal(a.sampleRate, Number(s.sample_rate));
    }
    assert.equal(p.audioStreams.length, want.streams.filter((s) => s.codec_type === 'audio').length, name);
  }
});

test('every audio stream extracted holds the input stream\'s packets', async () => {
  const dir = scratch();
  for (const name of FIXTURES) {
    const p = await ae.probe(media(name));
    for (const a of p.audioStreams) {
      const out = path.join(dir, `${name}.${a.index}.${a.suggestedExt}`);
      const r = await ae.extract(media(name), out, { stream: a.index });
      const want = packetHashes(media(name), a.index);
      assert.equal(r.codec, a.codec);
      assert.equal(r.packetsWritten, want.length, out);
      assert.deepEqual(packetHashes(out, 0), want, out);
    }
  }
  fs.rmSync(dir, { recursive: true });
});

test('extractAll writes each audio stream under a name of its own', async () => {
  const dir = scratch();
  const seen = new Set();
  const results = await ae.extractAll(media('three_audio.mkv'), dir, { onProgress: (_, stream) => seen.add(stream) });
  assert.deepEqual(results.map((r) => r.stream), [1, 2, 3]);
  assert.deepEqual(fs.readdirSync(dir).sort(), results.map((r) => path.basename(r.outPath)).sort());
  assert.deepEqual([...seen].sort(), [1, 2, 3]);  // the final report at least, for every stream
  fs.rmSync(dir, { recursive: true });
});

test('twelve extractions at once go through the four sessions', async () => {
  const dir = scratch();
  const inputs = Array.from({ length: 12 }, (_, i) => FIXTURES[i % 3]);
  const results = await Promise.all(inputs.map((name, i) => ae.extract(media(name), path.join(dir, `${i}.mka`))));
  for (const [i, r] of results.entries()) {
    const first = streams(media(inputs[i])).streams.find((s) => s.codec_type === 'audio').index;
    assert.equal(r.packetsWritten, packetHashes(media(inputs[i]), first).length);
    assert.ok(fs.statSync(path.join(dir, `${i}.mka`)).size > 0);
  }
  fs.rmSync(dir, { recursive: true });
});

test('abort', async (t) => {
  const server = await stallingServer(media('long.mkv'), 2 << 20);
  t.after(() => server.close());
  const dir = scratch();
  t.after(() => fs.rmSync(dir, { recursive: true }));

  await t.test('mid-copy: the promise rejects with an AbortError and no file is left', async () => {
    const ac = new AbortController();
    const out = path.join(dir, 'mid.mka');
    let packets = 0;
    const onProgress = (p) => { packets = p.packets; if (p.packets > 0) ac.abort(new Error('enough')); };
    await assert.rejects(ae.extract(server.url, out, { signal: ac.signal, onProgress }),
      (e) => e.name === 'AbortError' && e.code === 'ABORT_ERR' && e.cause.message === 'enough');
    assert.ok(packets > 0, 'the copy had begun');
    assert.deepEqual(fs.readdirSync(dir), []);
  });

  await t.test('while waiting for a session, and before starting', async () => {
    const stuck = Array.from({ length: 4 }, () => new AbortController());
    const started = stuck.map(() => { let go; const p = new Promise((r) => { go = r; }); return { p, go }; });
    const running = stuck.map((ac, i) => ae.extract(server.url, path.join(dir, `s${i}.mka`),
      { signal: ac.signal, onProgress: () => started[i].go() }));
    await Promise.all(started.map((s) => s.p));  // all four sessions are held
    const queued = new AbortController();
    const waiting = ae.extract(media('mp4_aac.mp4'), path.join(dir, 'q.m4a'), { signal: queued.signal });
    await new Promise((r) => setTimeout(r, 100));
    queued.abort();
    await assert.rejects(waiting, { name: 'AbortError' });
    await assert.rejects(ae.extract(media('mp4_aac.mp4'), path.join(dir, 'b.m4a'), { signal: AbortSignal.abort() }),
      { name: 'AbortError' });
    for (const ac of stuck) ac.abort();
    for (const r of await Promise.allSettled(running)) assert.equal(r.reason.name, 'AbortError');
    assert.deepEqual(fs.readdirSync(dir), []);
  });
});

test('the event loop runs on while a probe waits on a silent server', async () => {
  const server = await silentServer(1500);
  const dir = scratch();
  let lag = 0;
  let last = Date.now();
  const timer = setInterval(() => { const now = Date.now(); lag = Math.max(lag, now - last - 10); last = now; }, 10);
  const probing = ae.probe(server.url).then(() => 'probed', (e) => e);
  // Session calls are not held up by the probe: an extraction starts and ends meanwhile.
  const copied = await ae.extract(media('mp4_aac.mp4'), path.join(dir, 'a.m4a')).then(() => 'copied');
  const probe = await probing;
  clearInterval(timer);
  server.close();
  assert.equal(copied, 'copied');
  assert.ok(probe instanceof ae.ProbeError, String(probe));
  assert.ok(lag < 250, `timer lag ${lag} ms`);
  fs.rmSync(dir, { recursive: true });
});

test('errors carry the library\'s text and a code', async () => {
  const dir = scratch();
  fs.writeFileSync(path.join(dir, 'exists.m4a'), 'x');
  fs.writeFileSync(path.join(dir, 'junk.mp4'), Buffer.alloc(4096, 7));
  fs.mkdirSync(path.join(dir, 'folder.m4a'));
  const input = media('mp4_aac.mp4');
  const cases = [
    ['probe a missing file', () => ae.probe(path.join(dir, 'none.mp4')), ae.ProbeError, 'ENOENT'],
    ['probe a directory', () => ae.probe(dir), ae.ProbeError, 'EISDIR'],
    ['probe what is not media', () => ae.probe(path.join(dir, 'junk.mp4')), ae.ProbeError, 'ERR_AE_OPEN_INPUT'],
    ['extract a missing file', () => ae.extract(path.join(dir, 'none.mp4'), path.join(dir, 'o.m4a')), ae.ExtractionError, 'ENOENT'],
    ['an output that exists', () => ae.extract(input, path.join(dir, 'exists.m4a')), ae.ExtractionError, 'EEXIST'],
    ['a file without audio', () => ae.extract(media('video_only.mp4'), path.join(dir, 'o.m4a')), ae.ExtractionError, 'ERR_AE_NO_AUDIO'],
    ['a stream that is not audio', () => ae.extract(input, path.join(dir, 'o.m4a'), { stream: 0 }), ae.ExtractionError, 'ERR_AE_NO_AUDIO'],
    ['an extension no container has', () => ae.extract(input, path.join(dir, 'o.xyz')), ae.ExtractionError, 'ERR_AE_BAD_EXTENSION'],
    ['a codec the container cannot hold', () => ae.extract(media('vorbis.ogg'), path.join(dir, 'o.mp3')), ae.ExtractionError, 'ERR_AE_WRITE_HEADER'],
    ['an output that is a folder', () => ae.extract(input, path.join(dir, 'folder.m4a'), { overwrite: true }), ae.ExtractionError, 'EISDIR'],
    ['an output folder that is not there', () => ae.extract(input, path.join(dir, 'no/o.m4a')), ae.ExtractionError, 'ENOENT'],
    ['an output that is an address', () => ae.extract(input, 'http://127.0.0.1:9/o.m4a'), ae.ExtractionError, 'ERR_AE_OUTPUT_NOT_LOCAL'],
    ['extractAll of a file without audio', () => ae.extractAll(media('video_only.mkv'), dir), ae.ProbeError, 'ERR_AE_NO_AUDIO'],
  ];
  for (const [why, call, Kind, code] of cases) {
    await assert.rejects(call(), (e) => {
      assert.ok(e instanceof Kind && e instanceof ae.AudioExtractError, `${why}: ${e}`);
      assert.equal(e.code, code, `${why}: ${e.message}`);
      assert.ok(e.message.includes(e.text), why);
      return true;
    });
  }
  assert.deepEqual(fs.readdirSync(dir).sort(), ['exists.m4a', 'folder.m4a', 'junk.mp4']);  // nothing written by a failure
  for (const bad of [42, '', 'a\0b', 'x'.repeat(ae.MAX_PATH_BYTES + 1)]) {
    await assert.rejects(ae.probe(bad), (e) => e instanceof TypeError || e instanceof RangeError);
  }
  await assert.rejects(ae.extract(input, path.join(dir, 'o.m4a'), { stream: 1.5 }), TypeError);
  fs.rmSync(dir, { recursive: true });
});

test('a Buffer path that is not UTF-8 keeps its bytes', async () => {
  const dir = Buffer.from(scratch());
  const input = Buffer.concat([dir, Buffer.from('/caf'), Buffer.from([0xe9]), Buffer.from('.mp4')]);
  fs.copyFileSync(media('mp4_aac.mp4'), input);
  const p = await ae.probe(input);
  assert.equal(p.audioStreams[0].codec, 'aac');
  const out = await ae.outputFor(input, { dir });
  assert.ok(Buffer.isBuffer(out));
  assert.deepEqual(out, Buffer.concat([dir, Buffer.from('/caf'), Buffer.from([0xe9]), Buffer.from('.m4a')]));
  const r = await ae.extract(input, out);
  assert.ok(Buffer.isBuffer(r.outPath) && r.outPath.equals(out));
  assert.equal(fs.statSync(out).size, r.outSizeBytes);
  fs.rmSync(dir, { recursive: true });
});
