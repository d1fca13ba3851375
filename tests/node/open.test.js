'use strict';
// TolmNode._open, the factory of the friendly layer: options, refusals naming the option,
// window lengths, the clock that never steps back, shared regions and _stats.
const test = require('node:test');
const assert = require('node:assert/strict');
const { load, runChild, windowsLacks } = require('./support/addon');

const { TolmNode } = load();
const T0 = 1_700_000_000_000;
const fakeClock = { skip: windowsLacks('the fake clock (an LD_PRELOAD shim)') };

const decide = (node, key) => {
  const numbers = new Float64Array(3);
  return { outcome: node._decide(key, '/', numbers), numbers: [...numbers] };
};

test('the factory is hidden and its engine decides as the public class', () => {
  assert.equal(Object.keys(TolmNode).includes('_open'), false);
  const opened = TolmNode._open({ capacity: 2, refillRate: 0 });
  const plain = new TolmNode({ capacity: 2, refillRate: 0 });
  assert.ok(opened instanceof TolmNode);
  for (let i = 0; i < 4; i += 1) {
    assert.deepEqual(decide(opened, 'k'), decide(plain, 'k'));
  }
  assert.deepEqual(opened._stats(), { evictions: 0, clients: 1 });
  // The public constructor still reads its own config after a factory call.
  assert.equal(new TolmNode({ capacity: 0 }).checkRequest('x', '/', 0).allowed, false);
});

test('bad options are refused with a message that starts with the option', () => {
  const cases = [
    [{ windowMs: 0 }, /^windowMs must be a whole number/],
    [{ windowMs: 2.5 }, /^windowMs/],
    [{ windowMs: '1000' }, /^windowMs: /],
    [{ maxClients: -1 }, /^maxClients/],
    [{ clock: 'steady' }, /^clock must be 'wall' or 'monotonic'/],
    [{ algorithm: 'leaky' }, /^algorithm must be one of/],
    [{ mode: 'enforce' }, /^mode must be one of/],
    [{ shared: 'x' }, /^maxClients must be above 0 for a shared engine/],
    [{ shared: 'a/b', maxClients: 5 }, /^shared: /],
    [{ shared: 7, maxClients: 5 }, /^shared: /],
  ];
  for (const [options, message] of cases) {
    assert.throws(() => TolmNode._open(options), { message }, JSON.stringify(options));
  }
  assert.throws(() => TolmNode._open(), /options must be an object/);
  assert.throws(() => TolmNode._removeShared('../x'), { message: /^name: / });
});

test('window length and the monotonic clock', fakeClock, () => {
  const { status, stderr, output } = runChild(`
    const decide = (node) => {
      const n = new Float64Array(3);
      return [node._decide('c', '/', n), ...n];
    };
    const at = (node, ms) => { setClock(${T0} + ms); return decide(node); };
    // The wall clock steps while the monotonic clock (the file's third field) stays.
    const stepped = (node, ms) => { setClock(String(${T0} + ms) + ' 0 ${T0}'); return decide(node); };
    const fixed = TolmNode._open({ algorithm: 'fixed_window', capacity: 1, windowMs: 1500 });
    const steady = TolmNode._open({ algorithm: 'token_bucket', capacity: 1, refillRate: 0.001,
                                    clock: 'monotonic' });
    const wall = TolmNode._open({ algorithm: 'token_bucket', capacity: 1, refillRate: 0.001 });
    emit({
      fixed: [at(fixed, 0), at(fixed, 1499), at(fixed, 1500)],
      clocks: [at(steady, 0), at(wall, 0), stepped(steady, 86400000), stepped(wall, 86400000)],
    });
  `, { clockMs: T0 });
  assert.equal(status, 0, stderr);
  const { fixed, clocks } = output[0];
  assert.deepEqual(fixed.map(([outcome]) => outcome & 1), [1, 0, 1]);
  assert.equal(fixed[0][3], 1500, 'whole allowance back after the window');
  assert.deepEqual(clocks.map(([outcome]) => outcome & 1), [1, 1, 0, 1],
    'a day forward on the wall clock refills only the wall clock engine');
});

test('two engines of one region share the allowance', () => {
  const name = `tolm-node-open-${process.pid}`;
  TolmNode._removeShared(name);
  try {
    const options = { algorithm: 'fixed_window', capacity: 3, shared: name, maxClients: 50 };
    const a = TolmNode._open(options);
    const b = TolmNode._open(options);
    assert.deepEqual([a, b, a, b].map((node) => decide(node, 'client').outcome & 1), [1, 1, 1, 0]);
    assert.deepEqual(b._stats(), { evictions: 0, clients: 1 });
    assert.throws(() => TolmNode._open({ ...options, windowMs: 1000 }), /window_ms=1000/);
  } finally {
    // Windows removes a region with its last handle, so there is nothing to remove there.
    assert.equal(TolmNode._removeShared(name), process.platform !== 'win32');
  }
  assert.equal(TolmNode._removeShared(name), false);
});

test('a cost takes that many units at once, or nothing', () => {
  for (const algorithm of ['token_bucket', 'leaky_bucket', 'fixed_window', 'sliding_window']) {
    const node = TolmNode._open({ algorithm, capacity: 5, refillRate: 0 });
    const numbers = new Float64Array(3);
    assert.equal(node._decide('c', '/', numbers, 3), 5, algorithm);
    assert.equal(numbers[0], 2, algorithm);
    assert.equal(node._decide('c', '/', numbers, 3) & 1, 0, algorithm);
    assert.equal(node._decide('c', '/', numbers, 2), 5, algorithm);
    assert.equal(numbers[0], 0, algorithm);
    assert.equal(node._decide('c', '/', numbers, undefined) & 1, 0, algorithm);
  }
  const node = TolmNode._open({ algorithm: 'fixed_window', capacity: 5 });
  assert.throws(() => node._decide('c', '/', new Float64Array(3), 0.5),
    { message: /^cost must be a whole number of requests for fixed_window/ });
  assert.throws(() => node._decide('c', '/', new Float64Array(3), -1),
    { message: /^cost must be a number above 0/ });
});

test('reset, refund, penalty, block and clear', () => {
  const node = TolmNode._open({ algorithm: 'token_bucket', capacity: 3, refillRate: 0 });
  const numbers = new Float64Array(3);
  const burst = () => {
    let n = 0;
    for (let i = 0; i < 5; i += 1) n += node._decide('c', '/', numbers) & 1;
    return n;
  };
  assert.equal(burst(), 3);
  node._adjust('c', -2);
  assert.equal(burst(), 2);
  node._reset('c');
  node._adjust('c', 1);
  assert.equal(burst(), 2);
  node._block('c', 60000);
  node._adjust('c', -3);
  assert.equal(burst(), 0);
  node._reset('c');
  assert.equal(burst(), 3);
  node._clear();
  assert.deepEqual(node._stats(), { evictions: 0, clients: 0 });
  assert.throws(() => node._block('c', -5), { message: /^durationMs must be a whole number/ });
  assert.throws(() => node._adjust('c', 'x'), { message: /^units: / });
  assert.throws(() => node._reset(5), { message: /^key: / });
});

test('maxClients caps a private engine and counts evictions', () => {
  const node = TolmNode._open({ capacity: 5, refillRate: 0, maxClients: 64 });
  const numbers = new Float64Array(3);
  for (let i = 0; i < 2000; i += 1) node._decide(`k${i}`, '/', numbers);
  const { clients, evictions } = node._stats();
  assert.ok(clients >= 32 && clients <= 127, String(clients));
  assert.equal(clients + evictions, 2000);
});
