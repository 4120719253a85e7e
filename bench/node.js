#!/usr/bin/env node
// The Node package against the usual way Node programs copy audio: spawning the ffmpeg command line
// (`ffmpeg -i IN -map 0:a:0 -c copy -progress pipe:1 OUT`, four at a time) and reading its progress.
//   node bench/node.js [--runs N] [--files N] [--section FILE]
// Warm page cache. Each measurement runs in a child process of its own (a process loads one library), the
// ways interleaved, medians reported with the ratio to ffmpeg measured in the same run. Needs node/build.sh's
// addon, build/ (the system FFmpeg's module) and, when present, build-dist's release module (scripts/dist.sh linux).
'use strict';
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '..');
const DATA = path.join(ROOT, 'build-bench', 'node');
const args = process.argv.slice(2);
const opt = (name, dflt) => { const i = args.indexOf(name); return i >= 0 ? args[i + 1] : dflt; };

function ffmpeg(...a) {
  execFileSync('ffmpeg', ['-nostdin', '-v', 'error', '-y', ...a], { stdio: 'inherit' });
}

function inputs(files) {
  fs.mkdirSync(path.join(DATA, 'in'), { recursive: true });
  const first = path.join(DATA, 'in', 'clip000.mp4');
  if (!fs.existsSync(first)) {
    ffmpeg('-f', 'lavfi', '-i', 'testsrc=size=160x120:rate=25:duration=2', '-f', 'lavfi', '-i',
      'sine=frequency=440:sample_rate=48000:duration=2', '-c:v', 'mpeg4', '-c:a', 'aac', '-shortest', first);
  }
  const small = [first];
  for (let n = 1; n < files; n += 1) {
    const p = path.join(DATA, 'in', `clip${String(n).padStart(3, '0')}.mp4`);
    if (!fs.existsSync(p)) fs.copyFileSync(first, p);
    small.push(p);
  }
  const large = path.join(DATA, 'large.mkv');
  if (!fs.existsSync(large)) {
    const clip = path.join(DATA, 'clip60.mkv');
    execFileSync('/usr/bin/python3', ['-c', 'import sys; sys.path.insert(0, sys.argv[1]); ' +
      'from media import make_clip; make_clip(sys.argv[2])', __dirname, clip], { stdio: 'inherit' });
    console.error('generating the large input (600 s) ...');
    ffmpeg('-stream_loop', '9', '-i', clip, '-map', '0', '-c', 'copy', `${large}.tmp.mkv`);
    fs.renameSync(`${large}.tmp.mkv`, large);
  }
  for (const f of [...small, large]) fs.readFileSync(f);  // warm
  return { small, large };
}

function fresh(dir) {
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  return dir;
}

// --- children: one measurement each, printed as JSON -------------------------------------------------------

async function viaAddon(files, out) {
  const ae = require(path.join(ROOT, 'node'));
  let events = 0;
  const t0 = process.hrtime.bigint();
  await Promise.all(files.map((f, i) => ae.extract(f, path.join(out, `${i}.m4a`), { onProgress: () => { events += 1; } })));
  return { seconds: Number(process.hrtime.bigint() - t0) / 1e9, events };
}

function oneFfmpeg(input, output, onEvent) {
  return new Promise((resolve, reject) => {
    const child = spawn('ffmpeg', ['-nostdin', '-v', 'error', '-y', '-i', input, '-map', '0:a:0', '-c', 'copy',
      '-progress', 'pipe:1', output], { stdio: ['ignore', 'pipe', 'pipe'] });
    let err = '';
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => { for (const line of chunk.split('\n')) if (line.startsWith('progress=')) onEvent(); });
    child.stderr.on('data', (d) => { err += d; });
    child.on('close', (code) => (code === 0 ? resolve() : reject(new Error(`ffmpeg ${code}: ${err}`))));
  });
}

async function viaFfmpeg(files, out) {
  let events = 0;
  const t0 = process.hrtime.bigint();
  let next = 0;
  const lane = async () => {
    while (next < files.length) {
      const i = next++;
      await oneFfmpeg(files[i], path.join(out, `${i}.m4a`), () => { events += 1; });
    }
  };
  await Promise.all(Array.from({ length: 4 }, lane));
  return { seconds: Number(process.hrtime.bigint() - t0) / 1e9, events };
}

async function child() {
  const [way, list, out] = args.slice(1);
  const files = JSON.parse(fs.readFileSync(list, 'utf8'));
  const r = await (way === 'ffmpeg' ? viaFfmpeg : viaAddon)(files, fresh(out));
  process.stdout.write(JSON.stringify(r));
}

// --- driver ---------------------------------------------------------------------------------------------

function measure(way, module, files) {
  const list = path.join(DATA, 'list.json');
  fs.writeFileSync(list, JSON.stringify(files));
  const env = { ...process.env };
  if (module) env.AUDIOEXTRACT_MODULE = module;
  const text = execFileSync(process.execPath, [__filename, '--child', way, list, path.join(DATA, 'out')],
    { env, encoding: 'utf8' });
  return JSON.parse(text);
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

function main() {
  const runs = Number(opt('--runs', 3));
  const { small, large } = inputs(Number(opt('--files', 200)));
  const ways = [['ffmpeg command line, spawned', 'ffmpeg', null],
    ['the package (system FFmpeg 5.1 module)', 'addon', path.join(ROOT, 'build', 'belmarun-audioextract.so')]];
  const release = path.join(ROOT, 'build-dist', 'stage', 'belmarun-audioextract-1.0.0-linux-x86_64', 'lib',
    'belmarun-audioextract.so');
  if (fs.existsSync(release)) ways.push(['the package as shipped (bundled FFmpeg 9 module)', 'addon', release]);
  const jobs = [[`${small.length} files of 2 s, MP4 to M4A`, small], ['one 600 s MKV (0.9 GB) to M4A', [large]]];
  const lines = ['## Node.js: the package against spawning ffmpeg', '',
    `\`node bench/node.js --runs ${runs} --files ${small.length}\` (warm; median of ${runs}; ${process.version}; ` +
    'ffmpeg four at a time, the package four sessions at a time)', '',
    '| input | way | time | vs ffmpeg | progress events/s |', '|---|---|---|---|---|'];
  for (const [label, files] of jobs) {
    const got = ways.map(() => []);
    for (let r = 0; r < runs; r += 1) {
      ways.forEach(([, way, module], i) => got[i].push(measure(way, module, files)));
    }
    const base = median(got[0].map((x) => x.seconds));
    ways.forEach(([name], i) => {
      const t = median(got[i].map((x) => x.seconds));
      const eps = median(got[i].map((x) => x.events / x.seconds));
      lines.push(`| ${label} | ${name} | ${t.toFixed(2)} s | ${(t / base).toFixed(2)}x | ${eps.toFixed(1)} |`);
    });
  }
  const text = lines.join('\n');
  console.log(text);
  if (opt('--section')) fs.writeFileSync(opt('--section'), `${text}\n`);
  fs.rmSync(path.join(DATA, 'out'), { recursive: true, force: true });
}

if (args[0] === '--child') child().catch((e) => { console.error(e); process.exit(1); });
else main();
