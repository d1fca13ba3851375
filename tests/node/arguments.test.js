'use strict';
// checkRequest's arguments: conversions, the errors they throw, and hostile values.
const test = require('node:test');
const assert = require('node:assert/strict');
const { load } = require('./support/addon');

const { TolmNode } = load();
const node = new TolmNode({ capacity: 1e9 });

function expectError(fn, code, message) {
  assert.throws(fn, (error) => {
    assert.ok(error instanceof Error, 'an Error object');
    assert.equal(error.code, code);
    if (typeof message === 'string') assert.equal(error.message, message);
    else assert.match(error.message, message);
    return true;
  });
}

test('ip and route are described when they are not strings', () => {
  const value = (v) =>
    `Failed to convert JavaScript value \`${v}\` to a JavaScript String`;
  const cases = [
    [5, value('Number 5 ')],
    [-0.5, value('Number -0.5 ')],
    [false, value('Boolean false ')],
    [{ a: [1, 'x'] }, value('Object {"a":[1,"x"]}')],
    [[1, 2], value('Object [1,2]')],
    [function named() {}, value('function named(..) ')],
    [() => {}, value('function (..) ')],
    [class Limiter {}, value('function Limiter(..) ')],
    [undefined, value('Undefined')],
    [null, value('Null')],
    [Symbol('s'), value('Symbol')],
    [10n, value('Unknown')],
  ];
  for (const [input, message] of cases) {
    expectError(() => node.checkRequest(input, '/', 0), 'StringExpected', message);
    expectError(() => node.checkRequest('ip', input, 0), 'StringExpected', message);
  }
});

test('startTimeMs must be a number, missing included', () => {
  expectError(() => node.checkRequest('ip', '/'), 'NumberExpected',
    /^Failed to convert napi value Undefined/);
  for (const [input, type] of [['5', 'String'], [null, 'Null'], [{}, 'Object'], [1n, 'Unknown'],
    [new Date(), 'Object'], [Symbol('t'), 'Symbol']]) {
    expectError(() => node.checkRequest('ip', '/', input), 'NumberExpected',
      `Failed to convert napi value ${type} to a 64-bit float`);
  }
});

test('arguments convert in order and the first failure wins', () => {
  expectError(() => node.checkRequest(1, 2, 'x'), 'StringExpected', /`Number 1 `/);
  expectError(() => node.checkRequest('ip', 2, 'x'), 'StringExpected', /`Number 2 `/);
});

test('a failed call leaves the limit untouched', () => {
  const one = new TolmNode({ capacity: 1, refillRate: 0 });
  assert.throws(() => one.checkRequest('ip', '/', 'soon'));
  assert.equal(one.checkRequest('ip', '/', 0).allowed, true);
});

test('describing a value that fights back throws what it throws', () => {
  const cyclic = {};
  cyclic.self = cyclic;
  assert.throws(() => node.checkRequest(cyclic, '/', 0), TypeError);
  const sentinel = new Error('toJSON');
  assert.throws(
    () => node.checkRequest({ toJSON() { throw sentinel; } }, '/', 0),
    (error) => error === sentinel,
  );
  assert.throws(() => node.checkRequest({ big: 1n }, '/', 0), TypeError);
  const trap = new Error('trap');
  const hostile = new Proxy({}, { get() { throw trap; }, ownKeys() { throw trap; } });
  assert.throws(() => node.checkRequest(hostile, '/', 0), (error) => error === trap);
  const { proxy, revoke } = Proxy.revocable({}, {});
  revoke();
  assert.throws(() => node.checkRequest(proxy, '/', 0), TypeError);
  const nameThrows = Object.defineProperty(function f() {}, 'name', {
    get() { throw trap; },
  });
  assert.throws(() => node.checkRequest(nameThrows, '/', 0), (error) => error === trap);
});

test('odd values still get a description instead of a crash', () => {
  expectError(() => node.checkRequest({ toJSON() { return undefined; } }, '/', 0),
    'StringExpected', 'Failed to convert JavaScript value `Object ` to a JavaScript String');
  const selfNamed = function f() {};
  Object.defineProperty(selfNamed, 'name', { value: selfNamed });
  expectError(() => node.checkRequest(selfNamed, '/', 0), 'StringExpected',
    'Failed to convert JavaScript value `function (..) ` to a JavaScript String');
  expectError(() => node.checkRequest(new Proxy({ a: 1 }, {}), '/', 0), 'StringExpected',
    /`Object \{"a":1\}`/);
});

test('a foreign this throws the unwrap error', () => {
  const message = 'Failed to unwrap exclusive reference of `TolmNode` type from napi value';
  const { checkRequest } = TolmNode.prototype;
  for (const self of [{}, undefined, null, 5, 'str', TolmNode.prototype, Object.create(node)]) {
    expectError(() => checkRequest.call(self, 'ip', '/', 0), 'InvalidArg', message);
  }
});
