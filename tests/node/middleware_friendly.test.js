'use strict';
// The friendly layer of tolm/middleware over real HTTP on loopback: settings and options
// refused when the middleware is built, the RateLimit headers and Retry-After with honest
// values (also under a controlled clock), the refusal handler and skip, keys that cannot be
// forged, trusted proxies, and the shipped Express example.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const path = require('node:path');
const { spawn } = require('node:child_process');

const { load, runChild, windowsLacks } = require('./support/addon');
const { serving, exchange, rateLimitField } = require('./support/http');
const middleware = require('../../lib/middleware');

const { limiter, limiterSettings, rateLimit, withRateLimit } = middleware;
const { TolmNode } = load();
const root = path.resolve(__dirname, '..', '..');
const build = (config) => limiter(config, { TolmNode });
const ok = (req, res) => res.end('ok');

test('limiter() refuses bad settings, naming the setting, the value and what is accepted', () => {
  const cases = [
    [{ mode: 'Shadow' }, RangeError, ['mode', '"Shadow"', 'did you mean "shadow"']],
    [{ algorithm: 'token-bucket' }, RangeError, ['did you mean "token_bucket"']],
    [{ capacty: 2 }, TypeError, ['unknown setting "capacty"', 'did you mean "capacity"']],
    [{ limit: 5 }, TypeError, ['"limit"', 'express-rate-limit', 'capacity']],
    [{ windowMs: 60000 }, TypeError, ['windowMs', 'sliding_window and fixed_window', 'refillRate']],
    [{ requestsPerMinute: 60 }, TypeError, ['no limit depends on it']],
    [{ capacity: 0 }, RangeError, ['capacity', 'got 0', '>= 1']],
    [{ capacity: -1 }, RangeError, ['capacity']],
    [{ capacity: NaN }, RangeError, ['capacity', 'NaN']],
    [{ capacity: Infinity }, RangeError, ['finite']],
    [{ capacity: '10' }, TypeError, ['capacity', '"10"', 'string']],
    [{ refillRate: -0.5 }, RangeError, ['refillRate', '>= 0']],
    [{ apiKey: 5 }, TypeError, ['apiKey', 'string']],
  ];
  for (const [config, Type, words] of cases) {
    let error;
    try {
      build(config);
    } catch (err) {
      error = err;
    }
    assert.ok(error instanceof Type, `${JSON.stringify(config)}: ${error}`);
    for (const word of words) assert.ok(error.message.includes(word), `${word} in ${error.message}`);
  }
  assert.throws(() => limiter(null, { TolmNode }), /plain object/);
  assert.throws(() => limiter({}, { TolmNode: {} }), /TolmNode class/);
  assert.throws(() => limiter({}, { Tolmnode: TolmNode }), /did you mean "TolmNode"/);
});

test('limiter() keeps the settings it built from, frozen, outside the instance', () => {
  const instance = build({ algorithm: 'leaky_bucket', mode: 'shadow', capacity: 2.5, refillRate: 0 });
  assert.ok(instance instanceof TolmNode);
  assert.deepEqual(Object.keys(instance), []);
  assert.deepEqual(limiterSettings(instance),
    { algorithm: 'leaky_bucket', mode: 'shadow', capacity: 2.5, refillRate: 0, windowMs: 60000, name: 'leaky_bucket', clock: 'monotonic', maxClients: 0 });
  assert.ok(Object.isFrozen(limiterSettings(instance)));
  assert.equal(limiterSettings(new TolmNode({})), undefined);
  assert.deepEqual([1, 2, 3, 4].map(() => instance.checkRequest('a', '/', 0).wouldBlock),
    [false, false, false, true]);
});

test('middleware options are refused when built, never on the first request', () => {
  const good = build({});
  const cases = [
    [() => rateLimit(new TolmNode({})), /settings.*limiter\(\{ \.\.\. \}\).*headers: false/],
    [() => rateLimit(new TolmNode({}), { headers: false, legacyHeaders: true }), /settings/],
    [() => rateLimit(TolmNode), /TolmNode class, not an instance/],
    [() => rateLimit(limiter), /limiter function itself; call it/],
    [() => rateLimit('x'), /limiter .* or a config object/],
    [() => rateLimit({ capacty: 1 }), /did you mean "capacity"/],
    [() => rateLimit(good, { keyGenerator: () => 'k' }), /express-rate-limit option: use identity/],
    [() => rateLimit(good, { standardHeaders: true }), /use headers/],
    [() => rateLimit(good, { capacity: 5 }), /first argument/],
    [() => rateLimit(good, { legacyheaders: true }), /did you mean "legacyHeaders"/],
    [() => rateLimit(good, { onError: () => {} }), /unknown option "onError"/],
    [() => rateLimit(good, { headers: 'yes' }), /headers must be true or false/],
    [() => rateLimit(good, { ipv6Subnet: 0 }), /1 to 128/],
    [() => rateLimit(good, { ipv6Subnet: 56.5 }), /1 to 128/],
    [() => rateLimit(good, { ipv6Subnet: true }), /1 to 128/],
    [() => rateLimit(good, { trustProxy: true }), /hops.*never|choose its address/],
    [() => rateLimit(good, { trustProxy: 0 }), /integer >= 1/],
    [() => rateLimit(good, { trustProxy: ['10.0.0.0/33'] }), /not an IP address or CIDR/],
    [() => rateLimit(good, { trustProxy: ['proxy.local'] }), /"proxy\.local"/],
    [() => rateLimit(good, { trustProxy: ['::ffff:10.0.0.0/64'] }), /IPv4-mapped network.*96 to 128/],
    [() => limiter({ __proto__: { mode: 'disabled' } }), /plain object.*inherits from another \(\{"mode":"disabled"\}\)/],
    [() => limiter(new Map()), /plain object.*an instance of Map/],
    [() => rateLimit(good, { trustProxy: [] }), /non-empty array/],
    [() => rateLimit(good, { key: 'x-api-key' }), /key must be a function/],
    [() => rateLimit(good, { skip: true }), /skip must be a function/],
    [() => rateLimit(good, { handler: 429 }), /handler must be a function/],
    [() => withRateLimit(good, ok, { onError: 'log' }), /onError must be a function/],
    [() => withRateLimit(good, null), /handler must be a function/],
    // An async key or skip would be taken at its promise: one bucket, or every request skipped.
    [() => rateLimit(good, { skip: async () => false }), /skip must be a plain function.*not an async one/],
    [() => rateLimit(good, { key: async (req) => req.ip }), /key must be a plain function.*not an async one/],
    [() => rateLimit(good, { identity: async (req) => req.ip }), /identity must be a plain function.*not an async one/],
    [() => rateLimit(good, { onLimited: 429 }), /onLimited must be a function/],
    // The older names still work, but not beside the new ones.
    [() => rateLimit(good, { key: () => 'a', identity: () => 'b' }), /key is the older name of options.identity/],
    [() => rateLimit(good, { handler: () => {}, onLimited: () => {} }), /handler is the older name of options.onLimited/],
    [() => rateLimit(good, { on_limited: () => {} }), /Python spelling: use onLimited/],
  ];
  for (const [make, message] of cases) assert.throws(make, message, String(make));
  assert.doesNotThrow(() => rateLimit(good, { trustProxy: ['::ffff:10.0.0.0/104', '10.0.0.0/8'] }));
  // Every one of them is a TypeError or a RangeError with the middleware's name.
  assert.throws(() => rateLimit(good, { heders: false }), (err) => err instanceof TypeError &&
    /^rateLimit: unknown option "heders"; did you mean "headers"\?/.test(err.message));
});

test('a raw TolmNode still serves with the headers off', async () => {
  await serving(withRateLimit(new TolmNode({ capacity: 1, refillRate: 0 }), ok,
    { headers: false }), async (port) => {
    const first = await exchange(port);
    const second = await exchange(port);
    assert.deepEqual([first.status, second.status], [200, 429]);
    for (const name of Object.keys({ ...first.headers, ...second.headers })) {
      assert.ok(!/ratelimit|retry-after/.test(name), name);
    }
  });
});

test('a limiter whose _decide is its own is asked through it, not past it', async () => {
  const asked = [];
  class Counting extends TolmNode {
    _decide(key, route, numbers, cost) {
      asked.push(key);
      return super._decide(key, route, numbers, cost);
    }
  }
  const counting = new Counting({ capacity: 1, refillRate: 0 });
  await serving(withRateLimit(counting, ok, { headers: false }), async (port) => {
    const statuses = [(await exchange(port)).status, (await exchange(port)).status];
    assert.deepEqual(statuses, [200, 429]);
  });
  assert.equal(asked.length, 2);
});

test('headers across a burst and a refusal, for every algorithm', async () => {
  // On the real clock the windows' waits depend on how long the requests took: exact values
  // are the shared header table's (headers.test.js, on the fake clock), and the promises they
  // make are checked under a controlled clock below.
  const cases = [
    ['sliding_window', '"sliding_window";q=2;w=60', 61],
    ['fixed_window', '"fixed_window";q=2;w=60', 60],
    ['token_bucket', '"token_bucket";q=2', null],
    ['leaky_bucket', '"leaky_bucket";q=2', null],
  ];
  for (const [algorithm, policy, bound] of cases) {
    const handler = withRateLimit(build({ algorithm, capacity: 2, refillRate: 0 }), ok,
      { legacyHeaders: true });
    await serving(handler, async (port) => {
      const answers = [await exchange(port), await exchange(port), await exchange(port)];
      assert.deepEqual(answers.map((a) => a.status), [200, 200, 429], algorithm);
      assert.deepEqual(answers.map((a) => a.headers['ratelimit-policy']), [policy, policy, policy]);
      const fields = answers.map((a) => rateLimitField(a.headers));
      assert.deepEqual(fields.map(([r]) => r), [1, 0, 0], algorithm);
      for (const [, t] of fields) {
        assert.ok(bound === null ? t === null : t > 0 && t <= bound, `${algorithm}: t=${t}`);
      }
      assert.deepEqual(answers.map((a) => a.headers['x-ratelimit-remaining']), ['1', '0', '0']);
      assert.equal(answers[0].headers['x-ratelimit-limit'], '2');
      const refused = answers[2].headers;
      if (bound === null) {
        // A bucket that never refills never lets the client back in: no time is promised.
        assert.ok(!('retry-after' in refused) && !('x-ratelimit-reset' in refused), algorithm);
      } else {
        const retry = Number(refused['retry-after']);
        assert.equal(retry, fields[2][1], algorithm);
        const resetIn = Number(refused['x-ratelimit-reset']) - Date.now() / 1000;
        assert.ok(resetIn >= 0 && resetIn <= retry + 1, String(resetIn));
      }
    });
  }
});

test('shadow mode headers describe the observed limit; disabled mode sends none', async () => {
  await serving(withRateLimit(build({ algorithm: 'fixed_window', mode: 'shadow', capacity: 1 }), ok),
    async (port) => {
      const answers = [await exchange(port), await exchange(port), await exchange(port)];
      assert.deepEqual(answers.map((a) => a.status), [200, 200, 200]);
      assert.deepEqual(answers.map((a) => rateLimitField(a.headers)), [[0, 60], [0, 60], [0, 60]]);
      assert.ok(answers.every((a) => !('retry-after' in a.headers)));
    });
  await serving(withRateLimit(build({ mode: 'disabled', capacity: 1 }), ok, { legacyHeaders: true }),
    async (port) => {
      const answer = await exchange(port);
      assert.equal(answer.status, 200);
      assert.ok(!Object.keys(answer.headers).some((n) => n.includes('ratelimit')));
    });
});

test('the refusal handler answers instead of the JSON 429; skip lets requests through unchecked',
  async () => {
    const seen = [];
    const options = {
      handler: (req, res, info) => {
        seen.push(info);
        res.statusCode = 503;
        res.setHeader('X-Why', 'busy');
        res.end(`come back in ${info.retryAfter}s`);
      },
      skip: (req) => req.url === '/health',
    };
    const stacks = {
      withRateLimit: (l) => withRateLimit(l, ok, options),
      rateLimit: (l) => {
        const mw = rateLimit(l, options);
        return (req, res) => mw(req, res, () => res.end('ok'));
      },
    };
    for (const [name, make] of Object.entries(stacks)) {
      await serving(make(build({ capacity: 1, refillRate: 0.5 })), async (port) => {
        assert.equal((await exchange(port)).status, 200);
        const refused = await exchange(port);
        assert.deepEqual([refused.status, refused.body, refused.headers['x-why']],
          [503, 'come back in 2s', 'busy'], name);
        assert.equal(refused.headers['retry-after'], '2');
        assert.deepEqual(rateLimitField(refused.headers), [0, 2]);
        const health = [await exchange(port, '/health'), await exchange(port, '/health')];
        assert.deepEqual(health.map((a) => a.status), [200, 200]);
        assert.ok(health.every((a) => !('ratelimit' in a.headers)));
      });
    }
    assert.equal(seen.length, 2);
    assert.equal(seen[0].result.wouldBlock, true);
  });

test('errors from skip and handler fail the request closed', async () => {
  const errors = [];
  const boom = () => { throw new Error('boom'); };
  await serving(withRateLimit(build({ capacity: 1, refillRate: 0 }), ok,
    { skip: (req) => (req.url === '/skip-fails' ? boom() : false), handler: boom,
      onError: (err) => errors.push(err.message) }), async (port) => {
    assert.equal((await exchange(port, '/skip-fails')).status, 500);
    assert.equal((await exchange(port)).status, 200);
    assert.equal((await exchange(port)).status, 500); // refused; the handler threw
  });
  assert.deepEqual(errors, ['boom', 'boom']);
});

test('hook answers that cannot be used fail the request; an onError that throws cannot crash the server',
  async () => {
    const errors = [];
    const answers = {
      '/promise-skip': { skip: () => Promise.resolve(false) },
      '/promise-key': { key: () => Promise.resolve('alice') },
      '/object-key': { key: () => ({ name: 'alice' }) },
      '/nan-key': { key: () => NaN },
    };
    for (const [url, options] of Object.entries(answers)) {
      const listener = withRateLimit(build({ capacity: 1, refillRate: 0 }), ok,
        { ...options, onError: (err) => errors.push(err.message) });
      await serving(listener, async (port) => {
        assert.equal((await exchange(port, url)).status, 500, url);
        assert.equal((await exchange(port, url)).status, 500, url); // never served, never let through
      });
    }
    assert.equal(errors.length, 8);
    assert.match(errors[0], /skip returned a promise/);
    assert.match(errors[2], /identity returned a promise/);
    assert.match(errors[4], /identity returned \{"name":"alice"\}/);

    // Numbers and objects with a text of their own key clients as that text.
    const seen = [];
    const keyed = rateLimit(build({ capacity: 1, refillRate: 0 }), {
      key: (req) => (req.url === '/n' ? 42 : { toString: () => 'user-7' }), headers: false,
    });
    for (const url of ['/n', '/n', '/o', '/o']) {
      const req = { url, headers: {}, socket: {} };
      const res = { statusCode: 200, headersSent: false, setHeader() {}, end() { seen.push(this.statusCode); } };
      keyed(req, res, () => seen.push('next'));
    }
    assert.deepEqual(seen, ['next', 429, 'next', 429]);

    // The 500 goes out first; onError's own failure is swallowed rather than thrown out of the
    // request listener, where it would end the process.
    const crashing = withRateLimit(build({}), ok,
      { key: () => { throw new Error('key'); }, onError: () => { throw new Error('logger down'); } });
    await serving(crashing, async (port) => {
      assert.equal((await exchange(port)).status, 500);
      assert.equal((await exchange(port)).status, 500);
    });
  });

test('a refusal handler whose promise rejects fails the request instead of an unhandled rejection',
  async () => {
    const errors = [];
    const handler = async () => { throw new Error('handler rejected'); };
    await serving(withRateLimit(build({ capacity: 1, refillRate: 0 }), ok,
      { handler, onError: (err) => errors.push(err.message) }), async (port) => {
      assert.equal((await exchange(port)).status, 200);
      assert.equal((await exchange(port)).status, 500);
    });
    assert.deepEqual(errors, ['handler rejected']);
    const passed = [];
    const express = rateLimit(build({ capacity: 1, refillRate: 0 }), { handler, headers: false });
    const res = { statusCode: 200, headersSent: false, setHeader() {}, end() {} };
    for (let i = 0; i < 2; i += 1) express({ url: '/', headers: {}, socket: { remoteAddress: '203.0.113.9' } }, res, (err) => passed.push(err ? err.message : 'next'));
    // The rejection reaches next(err) in a microtask, before the next turn of the loop.
    await new Promise(setImmediate);
    assert.deepEqual(passed, ['next', 'handler rejected']);
  });

test('an identity equal to an address does not spend that client\'s allowance', async () => {
  const handler = withRateLimit(build({ capacity: 1, refillRate: 0 }), ok,
    { key: (req) => req.headers['x-user'], trustProxy: 1 });
  await serving(handler, async (port) => {
    assert.equal((await exchange(port, '/', { 'x-user': '203.0.113.7' })).status, 200);
    assert.equal((await exchange(port, '/', { 'x-user': 'ip:203.0.113.7' })).status, 200);
    assert.equal((await exchange(port, '/', { 'x-forwarded-for': '203.0.113.7' })).status, 200);
    assert.equal((await exchange(port, '/', { 'x-user': '203.0.113.7' })).status, 429);
  });
});

test('trustProxy: only the named hops or proxies are believed', async () => {
  // The test client is 127.0.0.1, the "proxy". A client that prepends its own entries to
  // X-Forwarded-For cannot choose its key: the hop count or the proxy list decides.
  const trials = [
    [{ trustProxy: 1 }, ['6.6.6.1, 198.51.100.9', '6.6.6.2, 198.51.100.9'], true],
    [{ trustProxy: 2 }, ['6.6.6.1, 198.51.100.9', '6.6.6.2, 198.51.100.9'], false],
    [{ trustProxy: ['127.0.0.1', '10.0.0.0/8'] }, ['6.6.6.1, 198.51.100.9, 10.1.2.3',
      '6.6.6.2, 198.51.100.9, 10.9.9.9'], true],
    [{ trustProxy: ['::1', '127.0.0.0/8'] }, ['203.0.113.1', '203.0.113.2'], false],
    // Without trustProxy the header is ignored: both are 127.0.0.1.
    [{}, ['203.0.113.1', '203.0.113.2'], true],
    // Garbage in the chain is a key of its own text, never a way around the limit.
    [{ trustProxy: 1 }, ['not-an-ip', 'not-an-ip'], true],
    [{ trustProxy: 1 }, [`${'1.'.repeat(3000)}`, `${'1.'.repeat(3000)}`], true],
    [{ trustProxy: 3 }, [' , ,', ''], true],
  ];
  for (const [options, [first, second], shared] of trials) {
    await serving(withRateLimit(build({ capacity: 1, refillRate: 0 }), ok, options), async (port) => {
      assert.equal((await exchange(port, '/', { 'x-forwarded-for': first })).status, 200);
      const { status } = await exchange(port, '/', { 'x-forwarded-for': second });
      assert.equal(status, shared ? 429 : 200, `${JSON.stringify(options)} ${first}`);
    });
  }
});

test('odd client addresses are limited and never crash', async () => {
  const odd = ['x'.repeat(5000), '1.2.3.4, 5.6.7.8', '[::1', `fe80::1%${'z'.repeat(3000)}`,
    '::ffff:999.1.1.1', '[2001:db8::1]:99999', 'id:alice', 'caf\u00e9'];
  for (const address of odd) {
    const handler = withRateLimit(build({ capacity: 1, refillRate: 0 }), ok);
    await serving((req, res) => {
      Object.defineProperty(req.socket, 'remoteAddress', { value: address, configurable: true });
      handler(req, res);
    }, async (port) => {
      assert.deepEqual([(await exchange(port)).status, (await exchange(port)).status], [200, 429],
        address.slice(0, 30));
    });
  }
});

// -- header promises under a controlled clock ------------------------------------------------

test('header promises hold against the engine under a controlled clock',
  { skip: windowsLacks('the fake clock (an LD_PRELOAD shim)') }, () => {
  const settings = [
    { algorithm: 'token_bucket', capacity: 3, refillRate: 0.7 },
    { algorithm: 'token_bucket', capacity: 2.5, refillRate: 3 },
    { algorithm: 'token_bucket', capacity: 7, refillRate: 0.25 },
    { algorithm: 'token_bucket', capacity: 4, refillRate: 0 },
    { algorithm: 'leaky_bucket', capacity: 3, refillRate: 0.7 },
    { algorithm: 'leaky_bucket', capacity: 2.5, refillRate: 3 },
    { algorithm: 'leaky_bucket', capacity: 1, refillRate: 1 },
    { algorithm: 'leaky_bucket', capacity: 2.5, refillRate: 0 },
    { algorithm: 'sliding_window', capacity: 3 },
    { algorithm: 'fixed_window', capacity: 3.7 },
  ];
  const { output, stderr, status } = runChild(`
    const { limiter, withRateLimit } = require(${JSON.stringify(path.join(root, 'lib', 'middleware.js'))});
    for (const config of ${JSON.stringify(settings)}) {
      let now = 1700000000000;
      setClock(now);
      const handler = withRateLimit(limiter(config, { TolmNode }), () => {});
      const problems = [];
      const ask = () => {
        const headers = {};
        const res = { statusCode: 200, headersSent: false, setHeader: (n, v) => { headers[n] = String(v); }, end() {} };
        handler({ url: '/', headers: {}, socket: { remoteAddress: '203.0.113.7' } }, res);
        const [, r, t] = /^"\\w+";r=(\\d+)(?:;t=(\\d+))?$/.exec(headers.RateLimit);
        const q = Number(/;q=(\\d+)/.exec(headers['RateLimit-Policy'])[1]);
        return { status: res.statusCode, r: Number(r), t: t === undefined ? null : Number(t), retry: headers['Retry-After'], q };
      };
      const advance = (ms) => { now += ms; setClock(now); };
      for (let round = 0; round < 8; round += 1) {
        let promised = 0;
        let answer;
        for (let i = 0; i < 200; i += 1) {
          answer = ask();
          if (answer.status !== 200) break;
          promised = answer.r;
        }
        if (answer.status === 200) { problems.push('never refused'); break; }
        if (promised > 0) problems.push(\`round \${round}: refused with \${promised} promised\`);
        if (answer.retry === undefined) {
          if (answer.t !== null) problems.push('a time without Retry-After');
          break;
        }
        if (answer.t !== Number(answer.retry)) problems.push(\`t=\${answer.t}, Retry-After \${answer.retry}\`);
        advance(Number(answer.retry) * 1000);
        const back = ask();
        if (back.status !== 200) { problems.push(\`round \${round}: refused after Retry-After\`); break; }
        advance(back.t * 1000);
        // The leaky bucket's quota is its largest burst, which spans a drain: one request,
        // then the rest 1 ms later. No burst gets more.
        const got = [ask().status];
        if (config.algorithm === 'leaky_bucket') advance(1);
        for (let i = 1; i < back.q; i += 1) got.push(ask().status);
        if (got.some((s) => s !== 200)) problems.push(\`round \${round}: \${got} after t=\${back.t}\`);
        if (ask().status !== 429) problems.push(\`round \${round}: more than q=\${back.q} in one burst\`);
        advance(137 * (round + 1) + 1);
        ask();
      }
      emit({ config, problems });
    }
  `, { clockMs: 1700000000000 });
  assert.equal(status, 0, stderr);
  assert.equal(output.length, settings.length, stderr);
  for (const { config, problems } of output) assert.deepEqual(problems, [], JSON.stringify(config));
});

// -- the shipped Express example --------------------------------------------------------------

// Runs examples/express_app.js with require('tolm') answered by the addon under test and
// Express from build-express/; resolves with its port once it listens.
function startExample(env) {
  const preload = `
    const Module = require('node:module');
    const index = ${JSON.stringify(path.join(root, 'index.js'))};
    const stub = new Module(index);
    stub.filename = index;
    stub.loaded = true;
    stub.exports = { TolmNode: require(${JSON.stringify(path.join(process.env.TOLM_BUILD_DIR, 'tolm_native.node'))}).TolmNode };
    require.cache[index] = stub;
  `;
  const child = spawn(process.execPath, ['-e', `${preload}; require(${JSON.stringify(path.join(root, 'examples', 'express_app.js'))});`], {
    cwd: root,
    env: { ...process.env, ...env, PORT: '0',
      NODE_PATH: path.join(root, 'build-express', 'node_modules') },
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  return new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const match = /listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(out);
      if (match) resolve({ child, port: Number(match[1]) });
    });
    child.on('exit', (code) => reject(new Error(`example exited ${code}: ${out}`)));
  });
}

let expressInstalled = true;
try {
  require.resolve(path.join(root, 'build-express', 'node_modules', 'express'));
} catch {
  expressInstalled = false;
}

test('Express: trust proxy by hop count keys req.ip by the shared table\'s rules',
  { skip: expressInstalled ? false : 'express not installed (scripts/bootstrap.d/middleware.sh)' },
  async () => {
    const express = require(path.join(root, 'build-express', 'node_modules', 'express'));
    const groups = JSON.parse(require('node:fs').readFileSync(path.join(root, 'tests', 'keying_cases.json'), 'utf8')).groups;
    for (const group of groups) {
      const app = express();
      app.set('trust proxy', 1);
      app.use(rateLimit(build({ capacity: 1, refillRate: 0 }), { nat64Prefixes: group.nat64 }));
      app.get('/', (req, res) => res.end('ok'));
      await serving(app, async (port) => {
        const [first, second] = group.addresses;
        // A forged leftmost entry changes nothing: only the proxy's own entry counts.
        assert.equal((await exchange(port, '/', { 'x-forwarded-for': `6.6.6.1, ${first}` })).status, 200);
        const { status } = await exchange(port, '/', { 'x-forwarded-for': `6.6.6.2, ${second}` });
        assert.equal(status, group.shared ? 429 : 200, group.about);
      });
    }
  });

test('the Express example cannot be bypassed with forged tokens or identities',
  { skip: expressInstalled ? false : 'express not installed (scripts/bootstrap.d/middleware.sh)' },
  async () => {
    const secret = crypto.randomBytes(16).toString('hex');
    const { child, port } = await startExample({ TOKEN_SECRET: secret });
    try {
      const statuses = [];
      for (let i = 0; i < 70; i += 1) {
        const forged = [{ 'x-api-key': `k${i}` }, { authorization: `Bearer user${i}.${'A'.repeat(43)}` },
          { authorization: `Bearer 127.0.0.1.${'A'.repeat(43)}` }][i % 3];
        statuses.push((await exchange(port, '/', forged)).status);
      }
      // 60 per window for this one client, whatever it sends.
      assert.deepEqual([statuses.filter((s) => s === 200).length, statuses.filter((s) => s === 429).length], [60, 10]);
      const signature = crypto.createHmac('sha256', secret).update('alice').digest('base64url');
      const alice = await exchange(port, '/', { authorization: `Bearer alice.${signature}` });
      assert.equal(alice.status, 200);
      assert.deepEqual(JSON.parse(alice.body), { hello: 'alice', left: 59 });
      assert.deepEqual(rateLimitField(alice.headers), [59, 60]);
    } finally {
      child.kill();
    }
  });
