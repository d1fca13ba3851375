'use strict';
// The exported class, its result objects and how the engine's decisions reach them.
const test = require('node:test');
const assert = require('node:assert/strict');
const { load, runChild, windowsLacks } = require('./support/addon');

const addon = load();
const { TolmNode } = addon;

function drain(node, ip, count) {
  const results = [];
  for (let i = 0; i < count; i++) results.push(node.checkRequest(ip, '/r', Date.now()));
  return results;
}

test('exports only the TolmNode class with an enumerable, writable checkRequest', () => {
  assert.deepEqual(Object.keys(addon), ['TolmNode']);
  assert.equal(TolmNode.name, 'TolmNode');
  const descriptor = Object.getOwnPropertyDescriptor(TolmNode.prototype, 'checkRequest');
  assert.equal(typeof descriptor.value, 'function');
  assert.equal(descriptor.value.name, 'checkRequest');
  assert.deepEqual(
    [descriptor.writable, descriptor.enumerable, descriptor.configurable],
    [true, true, true],
  );
  assert.ok(new TolmNode({}) instanceof TolmNode);
});

test('result objects have the keys of their mode, in order, as plain data properties', () => {
  const expectations = {
    active: ['allowed', 'wouldBlock', 'reason', 'algorithm', 'debugInfo'],
    shadow: ['allowed', 'wouldBlock', 'reason', 'algorithm', 'debugInfo'],
    disabled: ['allowed', 'wouldBlock', 'algorithm', 'debugInfo'],
  };
  for (const [mode, keys] of Object.entries(expectations)) {
    const result = new TolmNode({ mode }).checkRequest('1.1.1.1', '/', Date.now());
    assert.deepEqual(Reflect.ownKeys(result), keys, mode);
    assert.equal(Object.getPrototypeOf(result), Object.prototype);
    for (const key of keys) {
      const d = Object.getOwnPropertyDescriptor(result, key);
      assert.deepEqual([d.writable, d.enumerable, d.configurable], [true, true, true]);
    }
  }
  assert.deepEqual(new TolmNode({ mode: 'disabled', capacity: 0 }).checkRequest('a', 'b', 0), {
    allowed: true,
    wouldBlock: false,
    algorithm: 'token_bucket',
    debugInfo: 'disabled',
  });
});

test('defaults: a token bucket of 100 in active mode', { skip: windowsLacks('the fake clock (an LD_PRELOAD shim)') }, () => {
  // On a clock that stands still the 10 tokens a second it refills never arrive mid-burst.
  const { status, stderr, output } = runChild(`
    const node = new TolmNode({});
    emit(Array.from({ length: 101 }, () => node.checkRequest('10.0.0.1', '/r', 0)));
  `, { clockMs: 1_700_000_000_000 });
  assert.equal(status, 0, stderr);
  const expected = Array.from({ length: 100 }, (_, i) => ({
    allowed: true,
    wouldBlock: false,
    reason: 'within_limit',
    algorithm: 'token_bucket',
    debugInfo: `${99 - i} tokens remaining`,
  }));
  expected.push({
    allowed: false,
    wouldBlock: true,
    reason: 'token_exhausted',
    algorithm: 'token_bucket',
    debugInfo: '0 tokens remaining',
  });
  assert.deepEqual(output[0], expected);
});

test('the middleware\'s entry decides as checkRequest does and hands back the numbers', { skip: windowsLacks('the fake clock (an LD_PRELOAD shim)') }, () => {
  // Two instances with the same settings, one asked through each entry, at the same times.
  const { status, stderr, output } = runChild(`
    const REASONS = [undefined, 'within_limit', 'limit_exceeded', 'token_exhausted'];
    const numbers = new Float64Array(3);
    const runs = [];
    for (const config of [{ capacity: 2, refillRate: 1 }, { algorithm: 'leaky_bucket', capacity: 2.5, refillRate: 0.5 },
      { algorithm: 'fixed_window', capacity: 2 }, { algorithm: 'sliding_window', capacity: 2 },
      { mode: 'shadow', capacity: 1, refillRate: 0 }, { mode: 'disabled' }]) {
      const full = new TolmNode(config);
      const lean = new TolmNode(config);
      // The bound form of the same entry, on a third instance, must agree number for number.
      const boundNumbers = new Float64Array(3);
      const bound = new TolmNode(config)._decider(boundNumbers);
      for (const at of [0, 0, 0, 400, 1000, 30000, 60001]) {
        setClock(1_700_000_000_000 + at);
        const result = full.checkRequest('ip', '/', 0);
        const outcome = lean._decide('ip', '/', numbers);
        const boundOutcome = bound('ip', '/');
        runs.push({ config, at, result, outcome, numbers: Array.from(numbers), boundOutcome,
          boundNumbers: Array.from(boundNumbers) });
      }
    }
    emit(runs);
  `, { clockMs: 1_700_000_000_000 });
  assert.equal(status, 0, stderr);
  for (const { config, at, result, outcome, numbers, boundOutcome, boundNumbers } of output[0]) {
    const where = `${JSON.stringify(config)} at ${at}`;
    assert.deepEqual([boundOutcome, boundNumbers], [outcome, numbers], `bound: ${where}`);
    assert.deepEqual(
      [(outcome & 1) === 1, (outcome & 2) === 2, [undefined, 'within_limit', 'limit_exceeded', 'token_exhausted'][outcome >> 2]],
      [result.allowed, result.wouldBlock, result.reason], where);
    const [remaining, admitAfterMs, wholeAfterMs] = numbers;
    if (config.mode === 'disabled') {
      assert.deepEqual(numbers, [-1, -1, -1], where);
      continue;
    }
    // The detail rounds a bucket's fraction to nearest; the count is the whole units.
    const shown = Number.parseFloat(result.debugInfo);
    assert.ok(remaining === Math.floor(Math.max(shown, 0)) || remaining === Math.round(shown) - 1, `${where}: ${remaining} vs ${result.debugInfo}`);
    assert.equal(admitAfterMs >= 0, result.wouldBlock && (config.refillRate !== 0), where);
    assert.ok(wholeAfterMs >= (result.wouldBlock ? admitAfterMs : 0) || config.refillRate === 0, where);
  }
  assert.throws(() => new TolmNode({})._decide('ip', '/', new Float32Array(3)), { code: 'InvalidArg', message: /Float64Array of at least 3/ });
  assert.throws(() => new TolmNode({})._decide('ip', '/', new Float64Array(2)), { code: 'InvalidArg' });
  assert.throws(() => new TolmNode({})._decide(5, '/', new Float64Array(3)), { code: 'StringExpected' });
});

test('a bound decider checks its arguments, and never writes to a buffer taken from its array', () => {
  const node = new TolmNode({ capacity: 3, refillRate: 0 });
  assert.throws(() => node._decider(new Float32Array(3)), { code: 'InvalidArg', message: /Float64Array of at least 3/ });
  assert.throws(() => node._decider(new Float64Array(2)), { code: 'InvalidArg' });
  assert.throws(() => TolmNode.prototype._decider.call({}, new Float64Array(3)), { code: 'InvalidArg' });
  // A view into the middle of a larger buffer is written at its own offset.
  const backing = new Float64Array(8).fill(7);
  const decide = node._decider(backing.subarray(2, 5));
  assert.equal(decide('a', '/') & 1, 1);
  assert.deepEqual(Array.from(backing), [7, 7, 2, -1, -1, 7, 7, 7]);
  assert.throws(() => decide(5, '/'), { code: 'StringExpected' });
  assert.throws(() => decide('a', '/', 0), { code: 'InvalidArg', message: /^cost/ });
  assert.equal(decide('a', '/', 2) & 1, 1, 'a cost of 2 takes the last two units');
  assert.equal(decide('a', '/') & 1, 0);
  // The buffer handed to another owner is detached here: the decider refuses rather than
  // write into memory that is no longer the array's.
  const moved = structuredClone(backing.buffer, { transfer: [backing.buffer] });
  assert.throws(() => decide('a', '/'), { code: 'InvalidArg' });
  assert.deepEqual(Array.from(new Float64Array(moved)).slice(2, 5), [0, -1, -1]);
});

test('configurations that are not objects behave like an empty one', () => {
  for (const config of [5, 'x', true]) {
    // Four calls against the default capacity of 100: the default bucket, refilling far too
    // slowly to matter in between.
    const results = drain(new TolmNode(config), 'ip', 4);
    assert.deepEqual(results.map((r) => [r.allowed, r.algorithm, r.reason]),
      Array(4).fill([true, 'token_bucket', 'within_limit']), String(config));
    assert.match(results[3].debugInfo, /^9[67] tokens remaining$/);
  }
});

test('shadow mode reports refusals but lets every request through', () => {
  const [first, second] = drain(new TolmNode({ mode: 'shadow', capacity: 1 }), 'ip', 2);
  assert.equal(first.reason, 'within_limit');
  assert.deepEqual(second, {
    allowed: true,
    wouldBlock: true,
    reason: 'token_exhausted',
    algorithm: 'token_bucket',
    debugInfo: '0 tokens remaining',
  });
  // Any other mode text, letter case included, enforces.
  const [, enforced] = drain(new TolmNode({ mode: 'Shadow', capacity: 1 }), 'ip', 2);
  assert.equal(enforced.allowed, false);
});

test('algorithm names choose the algorithm and come back exactly as written', () => {
  const cases = [
    ['sliding_window', 'limit_exceeded', '0 requests remaining'],
    ['fixed_window', 'limit_exceeded', '0 requests remaining'],
    ['leaky_bucket', 'limit_exceeded', '0 bucket space remaining'],
    ['', 'token_exhausted', '0 tokens remaining'],
    ['Token_Bucket', 'token_exhausted', '0 tokens remaining'],
    [' sliding_window', 'token_exhausted', '0 tokens remaining'],
    ['unheard-of', 'token_exhausted', '0 tokens remaining'],
  ];
  for (const [algorithm, reason, debugInfo] of cases) {
    const results = drain(new TolmNode({ algorithm, capacity: 2, refillRate: 0 }), 'ip', 3);
    assert.deepEqual(
      results.map((r) => r.allowed),
      [true, true, false],
      algorithm,
    );
    assert.deepEqual(results[2], { allowed: false, wouldBlock: true, reason, algorithm, debugInfo });
  }
});

test('limits are kept per address, across routes, and per instance', () => {
  const a = new TolmNode({ capacity: 1, refillRate: 0 });
  const b = new TolmNode({ capacity: 1, refillRate: 0 });
  assert.equal(a.checkRequest('1.1.1.1', '/x', 0).allowed, true);
  assert.equal(a.checkRequest('1.1.1.1', '/y', 0).allowed, false);
  assert.equal(a.checkRequest('2.2.2.2', '/x', 0).allowed, true);
  assert.equal(b.checkRequest('1.1.1.1', '/x', 0).allowed, true);
});

test('addresses are compared as whole texts: NUL, astral and long strings are keys', () => {
  const node = new TolmNode({ capacity: 1, refillRate: 0 });
  const long = 'x'.repeat(4 * 1024 * 1024);
  for (const ip of ['a', 'a\0b', 'a\0c', '\u{1F600}', '\u{1F601}', long, long + 'y']) {
    assert.equal(node.checkRequest(ip, '', 0).allowed, true, JSON.stringify(ip.slice(0, 8)));
  }
  assert.equal(node.checkRequest('a\0b', '', 0).allowed, false);
  // Around the length where reading switches from a fixed buffer to a sized one, with a
  // three-byte character straddling the cut: no two texts may collapse into one key.
  for (let n = 244; n <= 262; n++) {
    const base = 'a'.repeat(n) + '\u20ac';
    assert.equal(node.checkRequest(base, '', 0).allowed, true, `length ${n}`);
    assert.equal(node.checkRequest(base + 'b', '', 0).allowed, true, `length ${n} + 1`);
    assert.equal(node.checkRequest(base, '', 0).allowed, false, `length ${n} again`);
  }
  assert.equal(node.checkRequest(long, '', 0).allowed, false);
});

test('the settings nothing consults leave decisions unchanged', () => {
  const extras = {
    apiKey: '',
    debug: 'yes',
    backendUrl: 'http://example.invalid',
    requestsPerMinute: -3,
    requestsPerSecond: NaN,
    burstLimit: 1,
    burstMultiplier: Infinity,
    blockDurationMs: 1e30,
  };
  const plain = drain(new TolmNode({ capacity: 3, refillRate: 0 }), 'ip', 5);
  const extra = drain(new TolmNode({ capacity: 3, refillRate: 0, ...extras }), 'ip', 5);
  assert.deepEqual(extra, plain);
});

test('startTimeMs of any number is accepted', () => {
  const node = new TolmNode({});
  for (const start of [-1, NaN, Infinity, -Infinity, 0, 1e300, Date.now() + 1e9, 2 ** 64]) {
    assert.equal(node.checkRequest('ip', '/', start).allowed, true, String(start));
  }
});

test('a subclass instance works; calling the class without new throws', () => {
  class Limited extends TolmNode {}
  assert.equal(new Limited({ capacity: 1 }).checkRequest('a', 'b', 0).allowed, true);
  for (let i = 0; i < 2; i++) {
    assert.throws(() => TolmNode({}), {
      code: 'InvalidArg',
      message: "Class constructor TolmNode cannot be invoked without 'new'",
    });
  }
  assert.throws(() => TolmNode.prototype.checkRequest.call(globalThis, 'a', 'b', 0), {
    code: 'InvalidArg',
  });
});
