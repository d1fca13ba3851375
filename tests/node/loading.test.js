'use strict';
// One library file serves both hosts, and Node-API functions are found at run time.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync, execFileSync } = require('node:child_process');
const { buildDir, pythonModulePath, runChild, windowsLacks } = require('./support/addon');

const sharedObject = pythonModulePath;
const nodeAddon = path.join(buildDir, 'tolm_native.node');

test('the .node file is the very library Python imports', () => {
  assert.deepEqual(fs.readFileSync(nodeAddon), fs.readFileSync(sharedObject));
});

test('Node loads the Python file name', () => {
  const fromNode = { exports: {} };
  process.dlopen(fromNode, sharedObject);
  assert.deepEqual(Object.keys(fromNode.exports), ['TolmNode']);
  assert.equal(new fromNode.exports.TolmNode({}).checkRequest('a', 'b', 0).allowed, true);
});

// On Windows the stand-in CPython of make test-windows imports the module instead.
test('Python loads the Node file name', { skip: windowsLacks('CPython') }, () => {
  const python = spawnSync('python3', ['-c', `
import importlib.machinery, importlib.util, sys
loader = importlib.machinery.ExtensionFileLoader('tolm_native', sys.argv[1])
spec = importlib.util.spec_from_loader('tolm_native', loader)
try:
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    print('imported', sorted(n for n in dir(module) if not n.startswith('_')))
except ImportError as error:
    print('import error:', error)
`, nodeAddon], { encoding: 'utf8' });
  assert.equal(python.signal, null, python.stderr);
  assert.equal(python.status, 0, python.stderr);
  assert.doesNotMatch(python.stdout, /undefined symbol/);
  // Until the Python module is part of the build, the loader finds the file loadable but
  // without its Python entry; with it, the class is there.
  assert.match(
    python.stdout,
    /^(imported .*NativeEngine|import error: dynamic module does not define module export function)/,
  );
});

// The shim interposes dlsym, which the sanitizer runtime interposes too.
test('a Node-API function the host lacks stops the process only when first needed', {
  skip: (process.env.TOLM_SANITIZED === '1' && 'the dlsym shim cannot sit beside a sanitizer runtime') ||
    windowsLacks('a dlsym shim built with cc and preloaded with LD_PRELOAD'),
}, (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolm-hide-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const shim = path.join(dir, 'hide_symbol.so');
  // The emulated run names its target's compiler, so that the shim loads into its node.
  execFileSync(process.env.TOLM_TEST_CC || 'cc', ['-shared', '-fPIC', '-O2', '-o', shim,
    path.join(__dirname, 'support', 'hide_symbol.c'), '-ldl']);

  // Only describing a Boolean or Number argument coerces it to a string.
  const { status, signal, stderr, output } = runChild(`
    const node = new TolmNode({});
    emit(node.checkRequest('ip', '/', 0).allowed);
    try { node.checkRequest({}, '/', 0); } catch (e) { emit(e.code); }
    node.checkRequest(5, '/', 0);
    emit('unreachable');
  `, { preload: [shim], env: { TOLM_HIDE_SYMBOL: 'napi_coerce_to_string' } });
  assert.deepEqual(output, [true, 'StringExpected']);
  assert.equal(status, null);
  assert.equal(signal, 'SIGABRT');
  assert.match(stderr, /Node-API symbol has not been loaded/);
});
