'use strict';
// The npm tarball from `make dist`, installed into an empty project on a PATH without cmake or
// a compiler (tests/dist/run.sh sets it up): the prebuilt library is used as shipped, nothing
// is compiled, and a burst through withRateLimit on node:http ends in 429. Then the damaged
// cases, on copies of the installed package: a cut-short file and one built for another
// architecture must give an error naming the file, the platform and the command that builds
// from source, and a from-source build, when there is one, is used instead.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const tarball = process.env.TOLM_DIST_TARBALL;
const bareBin = process.env.TOLM_DIST_BIN;
const version = process.env.TOLM_DIST_VERSION;
if (!tarball || !bareBin || !version) {
  throw new Error('run through tests/dist/run.sh (TOLM_DIST_TARBALL, TOLM_DIST_BIN, TOLM_DIST_VERSION)');
}
// Nothing from this machine's developer set-up: only the tools of the bare bin directory.
const env = { HOME: process.env.HOME, PATH: bareBin, npm_config_update_notifier: 'false' };
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tolm-dist-npm-'));
const app = path.join(work, 'app');
const installed = path.join(app, 'node_modules', 'tolm');
const prebuiltName = path.join('prebuilds', 'linux-x64', 'tolm_native.node');

test.after(() => fs.rmSync(work, { recursive: true, force: true }));

function node(source, cwd) {
  return spawnSync('node', ['-e', source], { cwd, env, encoding: 'utf8', timeout: 60000 });
}

test('the bare PATH has node and npm but no cmake and no compiler', () => {
  for (const tool of ['node', 'npm']) {
    assert.equal(spawnSync('sh', ['-c', `command -v ${tool}`], { env }).status, 0, tool);
  }
  for (const tool of ['cmake', 'gcc', 'g++', 'cc', 'c++', 'clang', 'ninja', 'make']) {
    assert.notEqual(spawnSync('/bin/sh', ['-c', `command -v ${tool}`], { env }).status, 0,
      `${tool} is reachable`);
  }
});

test('npm install of the tarball uses the prebuilt library: nothing compiled, 429 after the burst',
  () => {
    fs.mkdirSync(app, { recursive: true });
    fs.writeFileSync(path.join(app, 'package.json'), '{ "private": true }\n');
    const install = spawnSync('npm', ['install', '--offline', '--no-audit', '--no-fund',
      '--foreground-scripts', tarball], { cwd: app, env, encoding: 'utf8', timeout: 120000 });
    assert.equal(install.status, 0, install.stdout + install.stderr);
    assert.doesNotMatch(install.stderr, /building the addon from source/);
    assert.ok(fs.existsSync(path.join(installed, prebuiltName)));
    assert.ok(!fs.existsSync(path.join(installed, 'build-npm')), 'the install step built from source');
    assert.deepEqual(Object.keys(JSON.parse(fs.readFileSync(path.join(app, 'package.json'))).dependencies),
      ['tolm']);

    const smoke = node(`
      const http = require('node:http');
      const assert = require('node:assert/strict');
      const { TolmNode } = require('tolm');
      const { limiter, withRateLimit } = require('tolm/middleware');
      // A bad argument travels inside the library as a C++ exception (the static unwinder).
      assert.throws(() => new TolmNode({}).checkRequest({}, '/', 0), { code: 'StringExpected' });
      assert.equal(require('tolm/package.json').version, ${JSON.stringify(version)});
      const server = http.createServer(withRateLimit(limiter({ capacity: 3, refillRate: 0.01 }),
        (req, res) => res.end('hello')));
      server.listen(0, '127.0.0.1', async () => {
        const url = 'http://127.0.0.1:' + server.address().port + '/';
        const statuses = [];
        for (let i = 0; i < 10 && statuses.at(-1) !== 429; i += 1) {
          const response = await fetch(url);
          await response.text();
          statuses.push(response.status);
          if (i === 0) assert.ok(response.headers.get('ratelimit-policy'));
          if (response.status === 429) assert.ok(response.headers.get('retry-after'));
        }
        server.close();
        console.log(JSON.stringify(statuses));
      });
    `, app);
    assert.equal(smoke.status, 0, smoke.stderr);
    assert.deepEqual(JSON.parse(smoke.stdout), [200, 200, 200, 429]);
  });

// A copy of the installed package in a project of its own, with its prebuilt replaced.
function damagedCopy(name, damage) {
  const project = path.join(work, name);
  fs.cpSync(app, project, { recursive: true });
  const file = path.join(project, 'node_modules', 'tolm', prebuiltName);
  damage(file);
  return { project, pkg: path.join(project, 'node_modules', 'tolm'), file };
}

const damages = {
  'is cut short': (file) => fs.truncateSync(file, Math.floor(fs.statSync(file).size / 2)),
  // Program headers said to lie in the file's last bytes, each 8 bytes long: reading them runs
  // past the end.
  'is damaged': (file) => {
    const data = fs.readFileSync(file);
    data.writeBigUInt64LE(BigInt(data.length - 8 * data.readUInt16LE(56)), 32);
    data.writeUInt16LE(8, 54);
    fs.writeFileSync(file, data);
  },
  // The ELF header's machine field says aarch64: the file of another architecture.
  'is built for arm64': (file) => {
    const data = fs.readFileSync(file);
    data.writeUInt16LE(183, 18);
    fs.writeFileSync(file, data);
  },
};
if (process.env.TOLM_WINDOWS_DLL && fs.existsSync(process.env.TOLM_WINDOWS_DLL)) {
  damages['is not an ELF library'] = (file) => fs.copyFileSync(process.env.TOLM_WINDOWS_DLL, file);
}

for (const [what, damage] of Object.entries(damages)) {
  test(`a prebuilt file that ${what}: require names it, the platform and the source build; the install step falls back`,
    () => {
      const { project, pkg, file } = damagedCopy(what.replace(/\W+/g, '-'), damage);
      const loaded = node("require('tolm')", project);
      assert.notEqual(loaded.status, 0);
      assert.equal(loaded.signal, null, 'the loader crashed');
      assert.match(loaded.stderr, /ERR_TOLM_NATIVE_LIBRARY/);
      assert.ok(loaded.stderr.includes(`${file} ${what}`), loaded.stderr);
      assert.match(loaded.stderr, /no native library loads on linux-x64/);
      assert.match(loaded.stderr, /with: npm rebuild tolm \(needs cmake/);

      // The install step sees the same and says, in one line, that it builds from source and
      // what that needs; here there is no cmake, so it stops.
      const step = spawnSync('node', ['scripts/npm-build.js'], { cwd: pkg, env, encoding: 'utf8' });
      assert.equal(step.status, 1);
      const lines = step.stderr.trim().split('\n');
      assert.match(lines[0], new RegExp(`^tolm: the prebuilt ${prebuiltName.replace(/\//g, '\\/')} ${what}.*; ` +
        'building the addon from source \\(needs cmake 3\\.20\\+, a C\\+\\+20 compiler and the Node-API headers\\)$'));
      assert.match(lines[1], /needs cmake/);

      // With a from-source build in place (what the step leaves when it can build), that is
      // what loads; the library built for this machine is stood in by the good prebuilt.
      fs.mkdirSync(path.join(pkg, 'build-npm'));
      fs.copyFileSync(path.join(installed, prebuiltName), path.join(pkg, 'build-npm', 'tolm_native.node'));
      const fallback = node(`
        const { TolmNode } = require('tolm');
        console.log(new TolmNode({ capacity: 1 }).checkRequest('a', '/', 0).allowed);
      `, project);
      assert.equal(fallback.status, 0, fallback.stderr);
      assert.equal(fallback.stdout.trim(), 'true');
    });
}

test('on a platform with no prebuilt, require says which platforms ship one', () => {
  const { project, pkg } = damagedCopy('other-platform', () => {});
  fs.renameSync(path.join(pkg, 'prebuilds', 'linux-x64'), path.join(pkg, 'prebuilds', 'linux-riscv64'));
  const loaded = node("require('tolm')", project);
  assert.notEqual(loaded.status, 0);
  // The package may ship linux-arm64 and win32-x64 too (make dist adds each when its build is
  // there).
  assert.match(loaded.stderr,
    /ships no prebuilt library for linux-x64 \(only for (linux-arm64, )?linux-riscv64(, win32-x64)?\)/);
  assert.match(loaded.stderr, /with: npm rebuild tolm \(/);
  const step = spawnSync('node', ['scripts/npm-build.js'], { cwd: pkg, env, encoding: 'utf8' });
  assert.match(step.stderr.split('\n')[0],
    /^tolm: no prebuilt library for linux-x64 \(only for (linux-arm64, )?linux-riscv64(, win32-x64)?\); building the addon from source/);
});
