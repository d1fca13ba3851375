'use strict';
// Reading NodeConfig: property order, defaults, and what each failure throws.
const test = require('node:test');
const assert = require('node:assert/strict');
const { load } = require('./support/addon');

const { TolmNode } = load();

const fieldOrder = [
  'algorithm', 'mode', 'capacity', 'refillRate', 'apiKey', 'debug', 'backendUrl',
  'requestsPerMinute', 'requestsPerSecond', 'burstLimit', 'burstMultiplier', 'blockDurationMs',
];
const textFields = new Set(['algorithm', 'mode', 'apiKey', 'debug', 'backendUrl']);

test('every property is read once, in order, inherited ones and getters included', () => {
  const reads = [];
  const config = new Proxy(Object.create({ capacity: 1 }), {
    get(target, key, receiver) {
      reads.push(key);
      return Reflect.get(target, key, receiver);
    },
  });
  const node = new TolmNode(config);
  assert.deepEqual(reads, fieldOrder);
  assert.equal(node.checkRequest('ip', '/', 0).allowed, true);
  assert.equal(node.checkRequest('ip', '/', 0).allowed, false, 'inherited capacity of 1 applies');
});

test('wrong types throw with the Node-API status as code, naming the field', () => {
  const cases = [
    [{ debug: true }, 'StringExpected',
      'Failed to convert JavaScript value `Boolean true `', 'on NodeConfig.debug'],
    [{ capacity: '10' }, 'NumberExpected',
      'Failed to convert napi value String', 'on NodeConfig.capacity'],
    [{ mode: null }, 'StringExpected',
      'Failed to convert JavaScript value `Null`', 'on NodeConfig.mode'],
    [{ refillRate: null }, 'NumberExpected',
      'Failed to convert napi value Null', 'on NodeConfig.refillRate'],
    [{ apiKey: 12.5 }, 'StringExpected',
      'Failed to convert JavaScript value `Number 12.5 `', 'on NodeConfig.apiKey'],
    [{ backendUrl: { host: 'h' } }, 'StringExpected',
      'Failed to convert JavaScript value `Object {"host":"h"}`', 'on NodeConfig.backendUrl'],
    [{ blockDurationMs: 10n }, 'NumberExpected',
      'Failed to convert napi value Unknown', 'on NodeConfig.blockDurationMs'],
    [{ burstLimit: Symbol('s') }, 'NumberExpected',
      'Failed to convert napi value Symbol', 'on NodeConfig.burstLimit'],
    // Reading stops at the first failure.
    [{ algorithm: 1, capacity: 'x' }, 'StringExpected',
      'Failed to convert JavaScript value `Number 1 `', 'on NodeConfig.algorithm'],
  ];
  for (const [config, code, start, end] of cases) {
    assert.throws(() => new TolmNode(config), (error) => {
      assert.ok(error instanceof Error);
      assert.equal(error.code, code);
      assert.ok(error.message.startsWith(start), error.message);
      assert.ok(error.message.endsWith(end), error.message);
      return true;
    });
  }
});

test('every field rejects the other type and accepts undefined as absent', () => {
  for (const field of fieldOrder) {
    const wrong = textFields.has(field) ? 7 : 'seven';
    assert.throws(() => new TolmNode({ [field]: wrong }), {
      code: textFields.has(field) ? 'StringExpected' : 'NumberExpected',
      message: new RegExp(` on NodeConfig\\.${field}$`),
    });
    assert.equal(new TolmNode({ [field]: undefined }).checkRequest('a', 'b', 0).allowed, true);
  }
});

test('a throwing getter makes the constructor throw that very error and stop reading', () => {
  const thrown = new RangeError('no mode today');
  const reads = [];
  const config = {
    get algorithm() { reads.push('algorithm'); return 'fixed_window'; },
    get mode() { reads.push('mode'); throw thrown; },
    get capacity() { reads.push('capacity'); return 1; },
  };
  assert.throws(() => new TolmNode(config), (error) => error === thrown);
  assert.deepEqual(reads, ['algorithm', 'mode']);
  // A non-error value thrown by a getter passes through unchanged as well.
  assert.throws(() => new TolmNode({ get capacity() { throw 42; } }), (value) => value === 42);
});

test('undefined and null configurations throw the host TypeError of the first read', () => {
  for (const config of [undefined, null]) {
    assert.throws(() => new TolmNode(config), TypeError);
  }
  assert.throws(() => new TolmNode(), TypeError);
});

test('proxies that refuse every read surface their own error', () => {
  const refusal = new Error('refused');
  const config = new Proxy({}, { get() { throw refusal; } });
  assert.throws(() => new TolmNode(config), (error) => error === refusal);
});
