'use strict';
// tolm/middleware in front of real node:http servers on loopback (and Express, when the
// bootstrap step has installed it into build-express/): what is refused and how, what the
// handler sees, and how requests are keyed.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const { load, addonPath, removeTemporary, windowsLacks } = require('./support/addon');
const { rateLimit, withRateLimit, limiter, UNKNOWN_KEY } = require('../../lib/middleware');
const { serving, exchange } = require('./support/http');

const { TolmNode } = load();
// A limiter with its settings known to the middleware, from the addon under test.
const build = (config) => limiter(config, { TolmNode });
const root = path.resolve(__dirname, '..', '..');

// One GET; a JSON body is parsed.
async function get(port, urlPath = '/', headers = {}) {
  const { status, headers: received, body } = await exchange(port, urlPath, headers);
  const type = received['content-type'];
  return { status, type, body: /^application\/json/.test(type || '') ? JSON.parse(body) : body };
}

async function statuses(port, count, urlPath, headers) {
  const out = [];
  for (let i = 0; i < count; i += 1) out.push((await get(port, urlPath, headers)).status);
  return out;
}

// The two shapes, each serving `seen.push(req.tolm)` then 200 behind the middleware.
const shapes = {
  'withRateLimit (node:http)': (limiter, seen, options) => withRateLimit(limiter, (req, res) => {
    seen.push(req.tolm);
    res.end('ok');
  }, options),
  'rateLimit (req, res, next)': (limiter, seen, options) => {
    const middleware = rateLimit(limiter, options);
    return (req, res) => middleware(req, res, (err) => {
      if (err) {
        res.statusCode = 500;
        res.end(String(err.message));
        return;
      }
      seen.push(req.tolm);
      res.end('ok');
    });
  },
};

for (const [shape, make] of Object.entries(shapes)) {
  test(`${shape}: active mode answers 429 with JSON and keeps the handler out`, async () => {
    const cases = [['token_bucket', 'token_exhausted'], ['sliding_window', 'limit_exceeded'],
      ['fixed_window', 'limit_exceeded'], ['leaky_bucket', 'limit_exceeded']];
    for (const [algorithm, reason] of cases) {
      const seen = [];
      const limiter = build({ algorithm, capacity: 2, refillRate: 0 });
      await serving(make(limiter, seen), async (port) => {
        assert.deepEqual(await statuses(port, 2, '/api/items?page=1'), [200, 200], algorithm);
        const refused = await get(port, '/api/items');
        assert.equal(refused.status, 429);
        assert.equal(refused.type, 'application/json');
        assert.deepEqual(refused.body, { error: 'too_many_requests', reason, algorithm, remaining: 0 });
      });
      assert.equal(seen.length, 2, algorithm);
    }
  });

  test(`${shape}: shadow serves everything and tells the handler; disabled evaluates nothing`,
    async () => {
      const shadow = [];
      await serving(make(build({ mode: 'shadow', capacity: 1, refillRate: 0 }), shadow),
        async (port) => assert.deepEqual(await statuses(port, 3), [200, 200, 200]));
      assert.deepEqual(shadow.map((r) => [r.allowed, r.wouldBlock]),
        [[true, false], [true, true], [true, true]]);
      const disabled = [];
      await serving(make(build({ mode: 'disabled', capacity: 1 }), disabled),
        async (port) => assert.deepEqual(await statuses(port, 2), [200, 200]));
      assert.deepEqual(disabled.map((r) => [r.allowed, r.reason, r.remaining]),
        [[true, undefined, null], [true, undefined, null]]);
    });

  test(`${shape}: key function, address fallback, and the unknown key`, async () => {
    const limiter = build({ capacity: 1, refillRate: 0 });
    const key = (req) => req.headers['x-client-id'];
    await serving(make(limiter, [], { key }), async (port) => {
      assert.deepEqual(await statuses(port, 2, '/', { 'x-client-id': 'alice' }), [200, 429]);
      assert.deepEqual(await statuses(port, 2, '/', { 'x-client-id': 'bob' }), [200, 429]);
      assert.deepEqual(await statuses(port, 2), [200, 429]); // undefined: by address
      // A 12 KB key, under node:http's 16 KiB header limit, is a key like any other.
      assert.deepEqual(await statuses(port, 2, '/', { 'x-client-id': 'k'.repeat(12000) }),
        [200, 429]);
    });

    // A request whose socket has gone (remoteAddress undefined) shares the unknown key.
    const orphans = build({ capacity: 2, refillRate: 0 });
    const inner = make(orphans, []);
    await serving((req, res) => {
      Object.defineProperty(req, 'socket', { value: {} });
      inner(req, res);
    }, async (port) => assert.deepEqual(await statuses(port, 3), [200, 200, 429]));
    assert.equal(orphans.checkRequest(UNKNOWN_KEY, '/', Date.now()).allowed, false);
    assert.equal(orphans.checkRequest('127.0.0.1', '/', Date.now()).allowed, true);
  });

  test(`${shape}: a key function that throws fails the request closed, server stays up`,
    async () => {
      const seen = [];
      const key = (req) => {
        if (req.url === '/boom') throw new Error('bad key');
        return undefined;
      };
      await serving(make(build({ capacity: 5 }), seen, { key }), async (port) => {
        assert.equal((await get(port, '/boom')).status, 500);
        assert.equal((await get(port, '/fine')).status, 200);
      });
      assert.equal(seen.length, 1);
    });
}

test('a NodeConfig instead of a limiter builds one from the packaged addon', async () => {
  // The package's own layout (index.js, lib/, build-npm/) around the addon under test, so
  // that the middleware's require('..') finds it as it would in an installed package.
  const pkg = fs.mkdtempSync(path.join(os.tmpdir(), 'tolm-pkg-'));
  try {
    fs.mkdirSync(path.join(pkg, 'lib'));
    fs.mkdirSync(path.join(pkg, 'build-npm'));
    fs.copyFileSync(path.join(root, 'index.js'), path.join(pkg, 'index.js'));
    for (const file of fs.readdirSync(path.join(root, 'lib'))) {
      fs.copyFileSync(path.join(root, 'lib', file), path.join(pkg, 'lib', file));
    }
    fs.copyFileSync(addonPath, path.join(pkg, 'build-npm', 'tolm_native.node'));
    const packaged = require(path.join(pkg, 'lib', 'middleware.js'));
    await serving(packaged.withRateLimit({ capacity: 1, refillRate: 0 }, (req, res) => res.end('ok')),
      async (port) => assert.deepEqual(await statuses(port, 2), [200, 429]));
  } finally {
    removeTemporary(pkg);
  }
});

test('options are checked: key must be a function', () => {
  const limiter = build({});
  assert.throws(() => rateLimit(limiter, { key: 'x-api-key' }), TypeError);
  assert.throws(() => withRateLimit(limiter, null), TypeError);
});

test("package: require('tolm') is index.js, 'tolm/middleware' is lib/middleware.js, both packed",
  { skip: windowsLacks('npm (the package is packed on Linux)') }, () => {
    // Inside the package, Node resolves its own name through package.json "exports".
    assert.equal(require.resolve('tolm'), path.join(root, 'index.js'));
    assert.equal(require('tolm/middleware'), require('../../lib/middleware'));
    const packed = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json', '--loglevel=error'],
      { cwd: root, encoding: 'utf8' }));
    const files = packed[0].files.map((f) => f.path);
    for (const file of ['lib/middleware.js', 'lib/middleware.d.ts', 'index.js']) {
      assert.ok(files.includes(file), `${file} is not in the package`);
    }
  });

let express;
try {
  express = require(path.join(root, 'build-express', 'node_modules', 'express'));
} catch {
  express = null;
}

test('Express: app.use(rateLimit(...)) limits per key and exposes res.locals.tolm',
  { skip: express ? false : 'express not installed (scripts/bootstrap.d/middleware.sh)' },
  async () => {
    const app = express();
    app.use(rateLimit(build({ capacity: 2, refillRate: 0 }),
      { key: (req) => req.get('x-api-key') }));
    app.get('/hello', (req, res) => res.json({ remaining: res.locals.tolm.remaining }));
    await serving(app, async (port) => {
      const first = await get(port, '/hello', { 'x-api-key': 'k1' });
      assert.deepEqual([first.status, first.body], [200, { remaining: 1 }]);
      assert.deepEqual(await statuses(port, 2, '/hello', { 'x-api-key': 'k1' }), [200, 429]);
      assert.deepEqual(await statuses(port, 1, '/hello', { 'x-api-key': 'k2' }), [200]);
    });
  });
