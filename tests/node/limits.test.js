'use strict';
// Limits as users write them: rate texts, window lengths, cost per request, reset / refund /
// penalty / block, several limits on one route, the middleware's cost hook and counting
// options, and req.rateLimit.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { EventEmitter } = require('node:events');
const { load, runChild, windowsLacks } = require('./support/addon');

const { TolmNode } = load();
const lib = path.join(__dirname, '..', '..', 'lib');
const { parseRate } = require(path.join(lib, 'rates.js'));
const { limiter, limits, rateLimit } = require(path.join(lib, 'middleware.js'));
const table = require('../rate_cases.json');

const T0 = 1_700_000_000_000;
const build = (config) => limiter(config, { TolmNode });
const lacks = (...names) => {
  const missing = names.filter((n) => typeof TolmNode.prototype[n] !== 'function' && typeof TolmNode[n] !== 'function');
  return missing.length > 0 && `this build of the addon has no ${missing.join(', ')} yet`;
};
const costs = (() => {
  const probe = TolmNode._open ? TolmNode._open({ capacity: 5, refillRate: 0 }) : new TolmNode({ capacity: 5, refillRate: 0 });
  probe._decide('k', '/', new Float64Array(3), 3);
  return probe._decide('k', '/', new Float64Array(3), 3) !== probe._decide('j', '/', new Float64Array(3));
})();
const lacksCost = !costs && "this build's _decide takes no cost yet";
const ALGORITHMS = ['token_bucket', 'leaky_bucket', 'fixed_window', 'sliding_window'];

test('rate texts follow the table shared with the Python package', () => {
  for (const [text, limit, windowMs] of table.accepted) {
    assert.deepEqual(parseRate(text), { limit, windowMs }, text);
  }
  for (const [text, words] of table.refused) {
    assert.throws(() => parseRate(text), (err) => err instanceof RangeError
      && err.message.includes(words) && err.message.includes('"100/minute"'), text);
  }
  assert.throws(() => parseRate(100), TypeError);
});

test('a rate maps to each algorithm, and clashing settings are refused', () => {
  const { limiterSettings } = require(path.join(lib, 'middleware.js'));
  assert.deepEqual(limiterSettings(build({ rate: '5 per 15 minutes' })),
    { algorithm: 'token_bucket', mode: 'active', capacity: 5, refillRate: 5 / 900, windowMs: 60000, name: 'token_bucket', clock: 'monotonic', maxClients: 0 });
  assert.equal(limiterSettings(build({ algorithm: 'leaky_bucket', rate: '10/second', name: 'api' })).refillRate, 10);
  assert.throws(() => build({ rate: '10/second', capacity: 5 }), /not both/);
  assert.throws(() => build({ windowMs: 1000 }), /window of sliding_window and fixed_window/);
  for (const bad of [0, 1.5, true, 366 * 86400000 + 1]) {
    assert.throws(() => build({ algorithm: 'fixed_window', windowMs: bad }), /windowMs/);
  }
  for (const bad of ['', 'a b', 'x'.repeat(65), 'q"']) assert.throws(() => build({ name: bad }), /name/);
  assert.throws(() => limits([build({}), build({})]), /two limits are named "token_bucket"/);
  assert.throws(() => limits([build({}), {}]), /built by limiter/);
});

test('window lengths at their boundaries, for both window algorithms', { skip: windowsLacks('the fake clock (an LD_PRELOAD shim)') || lacks('_open') }, () => {
  const { status, stderr, output } = runChild(`
    const { limiter } = require(${JSON.stringify(path.join(lib, 'middleware.js'))});
    const out = {};
    for (const algorithm of ['fixed_window', 'sliding_window']) {
      for (const rate of ['2/second', '2 per 15 minutes']) {
        const lim = limiter({ algorithm, rate }, { TolmNode });
        const w = rate === '2/second' ? 1000 : 900000;
        out[algorithm + ' ' + rate] = [0, 0, 0, w - 1, w, w + 1].map((at) => {
          setClock(${T0} + at);
          return lim.check('a').allowed;
        });
      }
    }
    emit(out);
  `, { clockMs: T0 });
  assert.equal(status, 0, stderr);
  for (const rate of ['2/second', '2 per 15 minutes']) {
    // Fixed: a new window opens exactly a window after the first request. Sliding: the
    // requests of time 0 still count at exactly a window, and leave 1 ms later.
    assert.deepEqual(output[0][`fixed_window ${rate}`], [true, true, false, false, true, true]);
    assert.deepEqual(output[0][`sliding_window ${rate}`], [true, true, false, false, false, true]);
  }
});

test('a cost of n takes what n single checks take, or nothing', { skip: lacksCost }, () => {
  for (const algorithm of ALGORITHMS) {
    const costed = build({ algorithm, capacity: 10, refillRate: 0 });
    const single = build({ algorithm, capacity: 10, refillRate: 0 });
    for (const n of [3, 4]) {
      const result = costed.check('a', '/', { cost: n });
      let expected;
      for (let i = 0; i < n; i += 1) expected = single.check('a');
      assert.ok(result.allowed, algorithm);
      assert.equal(result.remaining, expected.remaining, algorithm);
    }
    assert.equal(costed.check('a', '/', { cost: 4 }).allowed, false, algorithm);
    assert.deepEqual([1, 2, 3, 4].map(() => costed.check('a').allowed), [true, true, true, false], algorithm);
    for (const bad of [0, -1, NaN, Infinity, '2']) assert.throws(() => costed.check('b', '/', { cost: bad }), /cost/);
  }
});

test('refund, penalize, reset and clear', { skip: lacks('_adjust', '_reset', '_clear') }, () => {
  for (const algorithm of ALGORITHMS) {
    const lim = build({ algorithm, capacity: 3, refillRate: 0 });
    assert.deepEqual([1, 2, 3].map(() => lim.check('a').remaining), [2, 1, 0], algorithm);
    lim.refund('a');
    assert.deepEqual([lim.check('a').allowed, lim.check('a').allowed], [true, false], algorithm);
    lim.refund('a', 2);
    lim.penalize('a');
    assert.deepEqual([lim.check('a').allowed, lim.check('a').allowed], [true, false], algorithm);
    lim.reset('a');
    assert.equal(lim.check('a').remaining, 2, algorithm);
    lim.penalize('b', 3);
    assert.equal(lim.check('b').allowed, false, algorithm);
    lim.clear();
    assert.ok(lim.check('b').allowed && lim.check('a').remaining === 2, algorithm);
    assert.throws(() => lim.refund('a', 0), /units/);
    assert.throws(() => lim.reset(undefined), /key must be a string/);
  }
});

test('block refuses for its duration, and reset ends it', { skip: windowsLacks('the fake clock (an LD_PRELOAD shim)') || lacks('_block', '_reset') }, () => {
  const { status, stderr, output } = runChild(`
    const { limiter } = require(${JSON.stringify(path.join(lib, 'middleware.js'))});
    const lim = limiter({ capacity: 100, refillRate: 100 }, { TolmNode });
    const seen = [];
    lim.block('a', 2000);
    // The block leaves the bucket empty: the first unit is back 10 ms after it ends.
    for (const at of [0, 1999, 2009, 2011]) {
      setClock(${T0} + at);
      seen.push([lim.check('a').allowed, lim.check('b').allowed]);
    }
    lim.block('a', 500);
    seen.push(lim.check('a').allowed);
    lim.reset('a');
    seen.push(lim.check('a').allowed);
    emit(seen);
  `, { clockMs: T0 });
  assert.equal(status, 0, stderr);
  assert.deepEqual(output[0], [[false, true], [false, true], [false, true], [true, true], false, true]);
});

test('a refusal by one of several limits spends nothing of the others', { skip: lacks('_adjust') }, () => {
  const small = build({ algorithm: 'fixed_window', capacity: 2, name: 'small' });
  const large = build({ algorithm: 'sliding_window', capacity: 3, name: 'large' });
  const both = limits([large, small]);
  const seen = [1, 2, 3, 4].map(() => both.check('a'));
  assert.deepEqual(seen.map((d) => d.allowed), [true, true, false, false]);
  assert.equal(seen[2].reason, 'limit_exceeded');
  assert.deepEqual(seen[2].limits.map((d) => d.allowed), [true, false]);
  assert.equal(large.check('a').remaining, 0);
  assert.equal(large.check('a').allowed, false);
});

// An Express-like request and response: the response keeps its headers and says 'finish'.
function exchange(handle, { status = 200, path: url = '/' } = {}) {
  const req = { url, socket: { remoteAddress: '203.0.113.7' } };
  const res = Object.assign(new EventEmitter(), {
    statusCode: 200,
    headersSent: false,
    headers: {},
    setHeader(name, value) { this.headers[name.toLowerCase()] = String(value); },
    getHeader(name) { return this.headers[name.toLowerCase()]; },
    removeHeader(name) { delete this.headers[name.toLowerCase()]; },
    end() { this.emit('finish'); },
  });
  handle(req, res, () => {
    res.statusCode = status;
    res.end();
  });
  return { req, res };
}

test('req.rateLimit carries limit, used, remaining and resetTime', () => {
  const handle = rateLimit(build({ algorithm: 'fixed_window', capacity: 2 }));
  const { req } = exchange(handle);
  const { limit, used, remaining, resetTime } = req.rateLimit;
  assert.deepEqual([limit, used, remaining], [2, 1, 1]);
  assert.ok(resetTime instanceof Date && resetTime.getTime() > Date.now() + 55000);
  assert.deepEqual(Object.keys(JSON.parse(JSON.stringify(req.rateLimit))), ['limit', 'used', 'remaining', 'resetTime']);
  exchange(handle);
  const refused = exchange(handle);
  assert.equal(refused.res.statusCode, 429);
  assert.deepEqual([refused.req.rateLimit.used, refused.req.rateLimit.remaining], [2, 0]);
  assert.equal(refused.req.tolm.key, '203.0.113.7');
});

test('counting only failed or only successful requests', { skip: lacks('_adjust') }, () => {
  for (const [option, uncounted, counted] of [['skipFailed', 500, 200], ['skipSuccessful', 302, 500]]) {
    const lim = build({ algorithm: 'fixed_window', capacity: 2 });
    const handle = rateLimit(lim, { [option]: true });
    const statuses = [uncounted, uncounted, uncounted, counted, counted, counted]
      .map((status) => exchange(handle, { status }).res.statusCode);
    assert.deepEqual(statuses, [uncounted, uncounted, uncounted, counted, counted, 429], option);
  }
});

test('a cost hook prices each request', { skip: lacksCost }, () => {
  const handle = rateLimit(build({ algorithm: 'fixed_window', capacity: 10 }),
    { cost: (req) => (req.url === '/export' ? 4 : 1) });
  assert.deepEqual([1, 2, 3].map(() => exchange(handle, { path: '/export' }).res.statusCode), [200, 200, 429]);
  assert.deepEqual([1, 2, 3].map(() => exchange(handle).res.statusCode), [200, 200, 429]);
  const bad = rateLimit(build({}), { cost: () => 0 });
  let error;
  bad({ url: '/', socket: {} }, { setHeader() {}, getHeader() {} }, (err) => { error = err; });
  assert.match(String(error), /options.cost returned 0/);
});

// What the middleware refunds, and to whom, does not depend on the algorithm: a stand-in
// engine that only counts units per key shows it whatever the addon offers.
class CountingNode {
  constructor(config) {
    this.allowance = config.capacity;
    this.used = {};
  }

  checkRequest() { throw new Error('the middleware calls _decide'); }

  _decide(key, route, numbers, cost = 1) {
    const used = this.used[key] || 0;
    numbers[2] = -1;
    if (used + cost <= this.allowance) {
      this.used[key] = used + cost;
      numbers[0] = this.allowance - used - cost;
      numbers[1] = -1;
      return 1 | (1 << 2);
    }
    numbers[0] = 0;
    numbers[1] = 1500;
    return 2 | (2 << 2);
  }

  _adjust(key, units) { this.used[key] = Math.max(0, (this.used[key] || 0) + units); }
}
const counting = (capacity, name) => limiter({ algorithm: 'fixed_window', capacity, name }, { TolmNode: CountingNode });

test('refunds go to the limits that admitted a refused request, as one object or stacked', () => {
  let wide = counting(5, 'wide');
  let narrow = counting(2, 'narrow');
  const together = rateLimit(limits([wide, narrow]));
  const answers = [1, 2, 3, 4].map(() => exchange(together).res);
  assert.deepEqual(answers.map((res) => res.statusCode), [200, 200, 429, 429]);
  assert.deepEqual([wide.used, narrow.used], [{ '203.0.113.7': 2 }, { '203.0.113.7': 2 }]);
  assert.equal(answers[2].headers.ratelimit, '"wide";r=3, "narrow";r=0;t=2');
  assert.equal(answers[2].headers['retry-after'], '2');
  wide = counting(5, 'wide');
  narrow = counting(2, 'narrow');
  const outer = rateLimit(wide);
  const inner = rateLimit(narrow);
  const stacked = (req, res, next) => outer(req, res, () => inner(req, res, next));
  const seen = [1, 2, 3, 4].map(() => exchange(stacked).res);
  assert.deepEqual(seen.map((res) => res.statusCode), [200, 200, 429, 429]);
  assert.deepEqual(wide.used, { '203.0.113.7': 2 });
  assert.equal(seen[1].headers['ratelimit-policy'], '"wide";q=5;w=60, "narrow";q=2;w=60');
});

test('skipFailed gives back the cost of a failed request, once', () => {
  const lim = counting(4, 'c');
  const handle = rateLimit(lim, { skipFailed: true, cost: () => 3 });
  assert.deepEqual([1, 2, 3].map(() => exchange(handle, { status: 503 }).res.statusCode), [503, 503, 503]);
  assert.deepEqual(lim.used, { '203.0.113.7': 0 });
  const { res } = exchange(handle, { status: 200 });
  res.emit('close'); // after 'finish': already settled as a success
  assert.deepEqual(lim.used, { '203.0.113.7': 3 });
});
