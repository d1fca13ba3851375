'use strict';
// The npm package: packed, installed into an empty folder (building the addon with the
// project's CMake), then required by name. The tarball carries a prebuilt file for another
// architecture, as a release's would for a machine it does not fit, so the install step
// must see that and build from source: the release's fallback, with the one compile.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const { windowsLacks, emulationSkips } = require('./support/addon');

const root = path.resolve(__dirname, '..', '..');

test('npm pack, then npm install of the tarball, gives require("tolm") = { TolmNode }',
  {
    timeout: 15 * 60 * 1000,
    // The install compiles the addon from source; under a preloaded sanitizer runtime that
    // build would run sanitized too and take minutes while testing nothing about memory.
    skip: (process.env.TOLM_SANITIZED === '1' && 'packaging is covered by the plain run') ||
      windowsLacks('npm and the Linux build tools') ||
      emulationSkips('the install builds from source with the x64 compiler, for x64'),
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

    // The addon under test with the ELF machine field of aarch64, under prebuilds/linux-x64/.
    execFileSync('tar', ['xzf', packed[0].filename], { cwd: dir });
    const foreign = fs.readFileSync(path.join(process.env.TOLM_BUILD_DIR, 'tolm_native.node'));
    foreign.writeUInt16LE(183, 18);
    fs.mkdirSync(path.join(dir, 'package', 'prebuilds', 'linux-x64'), { recursive: true });
    fs.writeFileSync(path.join(dir, 'package', 'prebuilds', 'linux-x64', 'tolm_native.node'), foreign);
    const repacked = path.join(dir, 'repacked');
    fs.mkdirSync(repacked);
    const tarball = JSON.parse(npm(['pack', '--json', '--pack-destination', repacked],
      path.join(dir, 'package')))[0].filename;

    const app = path.join(dir, 'app');
    fs.mkdirSync(app);
    const install = spawnSync('npm', ['install', '--offline', '--no-audit', '--no-fund',
      '--loglevel=error', '--foreground-scripts', path.join(repacked, tarball)],
    { cwd: app, encoding: 'utf8' });
    assert.equal(install.status, 0, install.stderr);
    assert.match(install.stderr, new RegExp('^tolm: the prebuilt prebuilds/linux-x64/tolm_native.node is ' +
      'built for arm64, not x64; building the addon from source \\(needs cmake', 'm'));
    assert.ok(fs.existsSync(path.join(app, 'node_modules', 'tolm', 'build-npm', 'tolm_native.node')));

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
