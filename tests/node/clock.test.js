'use strict';
// Decisions over time, and the fatal stop, in child processes whose wall clock is a file.
const test = require('node:test');
const assert = require('node:assert/strict');
const { runChild, windowsLacks } = require('./support/addon');

const T0 = 1_700_000_000_000;
// The C++ suite covers time on Windows, through the engine's Clock.
const fakeClock = { skip: windowsLacks('the fake clock (an LD_PRELOAD shim)') };

test('buckets refill and windows reopen as the wall clock moves', fakeClock, () => {
  const { status, stderr, output } = runChild(`
    const at = (node, ms) => { setClock(${T0} + ms); return node.checkRequest('ip', '/', ${T0}).allowed; };
    const bucket = new TolmNode({ capacity: 2, refillRate: 1 });
    const fixed = new TolmNode({ algorithm: 'fixed_window', capacity: 2 });
    const sliding = new TolmNode({ algorithm: 'sliding_window', capacity: 2 });
    const leaky = new TolmNode({ algorithm: 'leaky_bucket', capacity: 2, refillRate: 1 });
    emit({
      bucket: [at(bucket, 0), at(bucket, 0), at(bucket, 0), at(bucket, 999), at(bucket, 1000)],
      fixed: [at(fixed, 0), at(fixed, 1), at(fixed, 2), at(fixed, 59999), at(fixed, 60000)],
      sliding: [at(sliding, 0), at(sliding, 30000), at(sliding, 60000), at(sliding, 60001),
                at(sliding, 90000), at(sliding, 90001)],
      leaky: [at(leaky, 0), at(leaky, 0), at(leaky, 0), at(leaky, 1000)],
    });
  `, { clockMs: T0 });
  assert.equal(status, 0, stderr);
  assert.deepEqual(output[0], {
    bucket: [true, true, false, false, true],
    fixed: [true, true, false, false, true],
    sliding: [true, true, false, true, false, true],
    leaky: [true, true, false, true],
  });
});

test('a wall clock before 1970 stops the process with the report on stderr', fakeClock, () => {
  for (const mode of ['active', 'shadow']) {
    const { status, signal, stderr, output } = runChild(`
      const node = new TolmNode({ mode: '${mode}' });
      emit(node.checkRequest('ip', '/', Date.now()).allowed);
      setClock(-5000);
      try { node.checkRequest('ip', '/', 0); emit('returned'); } catch (e) { emit('caught'); }
    `, { clockMs: T0 });
    assert.deepEqual(output, [true], `${mode}: nothing after the failure reaches JavaScript`);
    assert.equal(status, null, mode);
    assert.equal(signal, 'SIGABRT', mode);
    assert.match(stderr, /failed fatally at .*\n.*earlier than 1970/, mode);
  }
});

test('a disabled limiter reads no clock, so a clock before 1970 does not stop it', fakeClock, () => {
  const { status, output } = runChild(`
    const node = new TolmNode({ mode: 'disabled' });
    setClock(-5000);
    emit(node.checkRequest('ip', '/', 0).debugInfo);
  `, { clockMs: T0 });
  assert.deepEqual(output, ['disabled']);
  assert.equal(status, 0);
});
