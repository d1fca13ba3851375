'use strict';
// Shared helpers: where the built addon lives and how to run code in a child process
// whose wall clock the test controls.
//
// The suites also run in node.exe for Windows under Wine (make test-windows), against the
// Windows build; there the few cases that need what only Linux has are skipped, each saying
// what it lacks.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const buildDir = process.env.TOLM_BUILD_DIR;
if (!buildDir) throw new Error('TOLM_BUILD_DIR must name the build directory');

const addonPath = path.join(buildDir, 'tolm_native.node');
const clockShim = path.join(buildDir, 'libtolm_fake_clock.so');
// The library under the name Python imports it by.
const pythonModulePath = path.join(buildDir,
  process.platform === 'win32' ? 'tolm_native.pyd' : 'tolm_native.abi3.so');

// A test's skip option: false, except on Windows, where it names what the test needs.
function windowsLacks(what) {
  return process.platform === 'win32' && `needs ${what}, which the Windows run lacks`;
}

// Removes a temporary folder. Windows cannot delete a DLL that a process has loaded, so there
// a folder holding a copy of the addon this process loaded stays behind.
function removeTemporary(dir) {
  try {
    fs.rmSync(dir, { recursive: true, force: true });
  } catch (error) {
    if (!(process.platform === 'win32' && error.code === 'EPERM')) throw error;
  }
}

// A test's skip option under qemu (make test-arm64, which sets TOLM_EMULATED): false
// elsewhere; there it names why the emulated run leaves the test out.
function emulationSkips(why) {
  return Boolean(process.env.TOLM_EMULATED) && `${why} (under ${process.env.TOLM_EMULATED})`;
}

// node.exe 20's Node-API can free the addon's napi_env and then read it when a collection
// during shutdown frees a wrapped instance (docs/windows.md, "node.exe's shutdown fault").
// The Windows run gives node.exe --expose-gc so that, before exiting, every test process
// (whether it loads the addon through load() or through the package) collects its garbage and
// lets the finalizers of the instances collected run while it is still alive.
if (process.platform === 'win32' && typeof gc === 'function') {
  process.once('beforeExit', async () => {
    for (let i = 0; i < 3; i++) {
      gc();
      await new Promise((resolve) => setImmediate(resolve));
    }
  });
}

function load() {
  return require(addonPath);
}

// Runs `source` in a fresh node process. With `clockMs` set, CLOCK_REALTIME in the child
// reads the integer in a file; the child gets `setClock(ms)` to move it.
function runChild(source, { clockMs, nodeArgs = [], env = {}, preload = [] } = {}) {
  if (process.platform === 'win32' && (clockMs !== undefined || preload.length > 0)) {
    throw new Error('the fake clock and the shims are preloaded with LD_PRELOAD, which Windows lacks');
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolm-node-'));
  const clockFile = path.join(dir, 'clock');
  // After anything the runner preloads (a sanitizer runtime must come first).
  const preloads = [...(process.env.LD_PRELOAD ? [process.env.LD_PRELOAD] : []), ...preload];
  if (clockMs !== undefined) {
    fs.writeFileSync(clockFile, String(clockMs));
    preloads.push(clockShim);
  }
  const prelude = `
    const fs = require('node:fs');
    const { TolmNode } = require(${JSON.stringify(addonPath)});
    const setClock = (ms) => fs.writeFileSync(${JSON.stringify(clockFile)}, String(ms));
    const emit = (value) => process.stdout.write(JSON.stringify(value) + '\\n');
  `;
  const result = spawnSync(process.execPath, [...nodeArgs, '-e', prelude + source], {
    encoding: 'utf8',
    timeout: 120000,
    env: {
      ...process.env,
      ...env,
      ...(preloads.length ? { LD_PRELOAD: preloads.join(':') } : {}),
      TOLM_FAKE_CLOCK_FILE: clockFile,
    },
  });
  fs.rmSync(dir, { recursive: true, force: true });
  const lines = result.stdout.split('\n').filter(Boolean);
  return { ...result, output: lines.map((line) => JSON.parse(line)) };
}

module.exports = {
  addonPath, buildDir, clockShim, pythonModulePath, load, runChild, removeTemporary, windowsLacks,
  emulationSkips,
};
