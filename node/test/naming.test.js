'use strict';
// The output names the package makes, from the table the command-line host's tests read too.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');
const { defaultOutput, numberedOutput } = require('../lib/naming');
const { scratch } = require('./support');

const table = JSON.parse(fs.readFileSync(path.join(__dirname, '../../tests/naming_cases.json'), 'utf8'));

test('output names', () => {
  for (const c of table.cases) {
    const dir = scratch();
    process.chdir(dir);
    for (const f of c.files || []) fs.writeFileSync(f, '');
    const probe = { audioStreams: c.audio.map(([index, suggestedExt, language]) => ({ index, suggestedExt, language })) };
    const audio = c.stream < 0 ? probe.audioStreams[0] : probe.audioStreams.find((a) => a.index === c.stream);
    const input = Buffer.from(c.input);
    const out = Buffer.from(c.dir);
    assert.equal(defaultOutput(input, probe, audio, out).toString(), c.default, c.why);
    assert.equal(numberedOutput(input, audio, out).toString(), c.numbered, c.why);
    process.chdir('/');
    fs.rmSync(dir, { recursive: true });
  }
});
