'use strict';
// The npm package: packed, installed into an empty folder (building the addon with the
// project's CMake), then required by name.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { windowsLacks } = require('./support/addon');

const root = path.resolve(__dirname, '..', '..');

test('npm pack, then npm install of the tarball, gives require("tolm") = { TolmNode }',
  {
    timeout: 15 * 60 * 1000,
    // The install compiles the addon from source; under a preloaded sanitizer runtime that
    // build would run sanitized too and take minutes while testing nothing about memory.
    skip: (process.env.TOLM_SANITIZED === '1' && 'packaging is covered by the plain run') ||
      windowsLacks('npm and the Linux build tools'),
  }, (t) => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolm-pack-'));
    t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
    const npm = (args, cwd) =>
      execFileSync('npm', [...args, '--no-audit', '--no-fund', '--loglevel=error'],
        { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'] });

    const packed = JSON.parse(npm(['pack', '--json', '--pack-destination', dir], root));
    const files = packed[0].files.map((f) => f.path);
    assert.ok(files.includes('index.d.ts') && files.includes('CMakeLists.txt'));
    assert.ok(!files.some((f) => f.startsWith('build')), 'no build output in the tarball');

    const app = path.join(dir, 'app');
    fs.mkdirSync(app);
    npm(['install', '--offline', path.join(dir, packed[0].filename)], app);

    const shown = execFileSync(process.execPath, ['-e', `
      const tolm = require('tolm');
      const node = new tolm.TolmNode({ capacity: 1 });
      console.log(JSON.stringify({ keys: Object.keys(tolm), first: node.checkRequest('a', '/', 0),
        second: node.checkRequest('a', '/', 0).allowed }));
    `], { cwd: app, encoding: 'utf8' });
    assert.deepEqual(JSON.parse(shown), {
      keys: ['TolmNode'],
      first: {
        allowed: true, wouldBlock: false, reason: 'within_limit',
        algorithm: 'token_bucket', debugInfo: '0 tokens remaining',
      },
      second: false,
    });
  });
