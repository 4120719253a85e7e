'use strict';
// What the tests share: the generated media, ffprobe as the oracle, scratch folders, loopback servers.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const MEDIA = path.resolve(process.env.AE_MEDIA_DIR || path.join(__dirname, '../../build/tests/media'));
const media = (name) => path.join(MEDIA, name);

function ffprobe(args) {
  return execFileSync('ffprobe', ['-v', 'error', ...args], { encoding: 'utf8', maxBuffer: 64 << 20 });
}

/** ffprobe's view of a file: its streams and format. */
function streams(file) {
  return JSON.parse(ffprobe(['-show_streams', '-show_format', '-of', 'json', file]));
}

/** The MD5 of every packet of one stream, in order. */
function packetHashes(file, stream) {
  return ffprobe(['-select_streams', String(stream), '-show_data_hash', 'md5', '-show_entries', 'packet=data_hash',
    '-of', 'csv=p=0', file]).match(/MD5:[0-9a-f]+/g) || [];
}

function scratch() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'ae-node-'));
}

/** An HTTP server on 127.0.0.1 that sends the first `bytes` of file and then holds the connection open. */
async function stallingServer(file, bytes) {
  const head = fs.readFileSync(file).subarray(0, bytes);
  const size = fs.statSync(file).size;
  const sockets = new Set();
  const server = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': size });
    res.write(head);
  });
  server.on('connection', (s) => { sockets.add(s); s.on('close', () => sockets.delete(s)); });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return { url: `http://127.0.0.1:${server.address().port}/${path.basename(file)}`,
    close: () => { for (const s of sockets) s.destroy(); server.close(); } };
}

/** A TCP server on 127.0.0.1 that accepts and says nothing; it hangs up after ms. */
async function silentServer(ms) {
  const server = net.createServer((s) => setTimeout(() => s.destroy(), ms));
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return { url: `http://127.0.0.1:${server.address().port}/silent.mp4`, close: () => server.close() };
}

module.exports = { media, streams, packetHashes, scratch, stallingServer, silentServer };
