'use strict';
// tolm/fastify and tolm/koa over loopback HTTP with the real frameworks (installed by the
// bootstrap into build-frameworks/): refused at the right request with the headers, per-route
// limits and exemptions, the identity from the framework's own request state, errors in the
// hooks handled as each framework handles errors; and the warning in a cluster worker.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');

const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const { spawn, spawnSync } = require('node:child_process');

const { addonPath, load } = require('./support/addon');
const { serving, exchange } = require('./support/http');
const { limiter } = require('../../lib/middleware');
const tolmFastify = require('../../lib/fastify');
const { rateLimit: koaRateLimit } = require('../../lib/koa');

const { TolmNode } = load();
const root = path.resolve(__dirname, '..', '..');
const build = (config) => limiter({ refillRate: 0, ...config }, { TolmNode });

function framework(name) {
  try {
    return require(path.join(root, 'build-frameworks', 'node_modules', name));
  } catch {
    return null;
  }
}
const Fastify = framework('fastify');
const Koa = framework('koa');
const skipFastify = Fastify ? false : 'Fastify is not installed (scripts/bootstrap.d/frameworks.sh)';
const skipKoa = Koa ? false : 'Koa is not installed (scripts/bootstrap.d/frameworks.sh)';

async function statuses(port, urlPath, count, headers) {
  const out = [];
  for (let i = 0; i < count; i += 1) out.push((await exchange(port, urlPath, headers)).status);
  return out;
}

async function fastifyServing(app, body) {
  await app.listen({ port: 0, host: '127.0.0.1' });
  try {
    return await body(app.server.address().port);
  } finally {
    await app.close();
  }
}

// The user a made-up session token names, as an auth plugin would set it.
function withUsers(app) {
  app.decorateRequest('user', null);
  app.addHook('onRequest', (request, reply, done) => {
    const token = request.headers['x-session'];
    request.user = token ? { id: token.split(':')[0] } : null;
    done();
  });
}

function fastifyApp(options, routes) {
  const app = Fastify();
  withUsers(app);
  app.register(tolmFastify, options);
  app.register(async (scope) => routes(scope));
  return app;
}

test('Fastify: the global limit refuses at capacity with the headers; exempt and own-limit routes', { skip: skipFastify }, async () => {
  const shared = build({ capacity: 1 });
  const app = fastifyApp({ limiter: build({ capacity: 2 }) }, (scope) => {
    scope.get('/', async (request) => ({ remaining: request.tolm.remaining }));
    scope.get('/health', { config: { rateLimit: false } }, async () => 'ok');
    scope.get('/search', { config: { rateLimit: shared } }, async () => 'found');
    scope.get('/also-search', { config: { rateLimit: shared } }, async () => 'found too');
  });
  await fastifyServing(app, async (port) => {
    let answer = await exchange(port, '/');
    assert.equal(answer.status, 200);
    assert.deepEqual(JSON.parse(answer.body), { remaining: 1 });
    assert.equal(answer.headers['ratelimit-policy'], '"token_bucket";q=2');
    assert.equal(answer.headers.ratelimit, '"token_bucket";r=1');
    assert.deepEqual(await statuses(port, '/', 2), [200, 429]);
    answer = await exchange(port, '/');
    assert.match(answer.headers['content-type'], /^application\/json/);
    assert.deepEqual(JSON.parse(answer.body), { error: 'too_many_requests', reason: 'token_exhausted',
      algorithm: 'token_bucket', remaining: 0 });
    answer = await exchange(port, '/health');
    assert.equal(answer.status, 200);
    assert.equal(answer.headers.ratelimit, undefined);
    // One limiter on two routes: one allowance; the spent global one does not apply.
    assert.deepEqual(await statuses(port, '/search', 1), [200]);
    assert.deepEqual(await statuses(port, '/also-search', 1), [429]);
  });
});

test('Fastify: global false limits only routes with config.rateLimit, a config object among them', { skip: skipFastify }, async () => {
  const app = fastifyApp({ limiter: build({ capacity: 50 }), global: false }, (scope) => {
    scope.get('/open', async () => 'open');
    scope.get('/login', { config: { rateLimit: true } }, async () => 'in');
    scope.get('/own', { config: { rateLimit: build({ capacity: 1 }) } }, async () => 'own');
  });
  await fastifyServing(app, async (port) => {
    const open = await exchange(port, '/open');
    assert.equal(open.headers.ratelimit, undefined);
    assert.equal((await exchange(port, '/login')).headers.ratelimit, '"token_bucket";r=49');
    assert.deepEqual(await statuses(port, '/own', 2), [200, 429]);
  });
});

test('Fastify: identity from request.user (set by an earlier hook); its errors reach the error handler', { skip: skipFastify }, async () => {
  const identity = (request) => {
    if (request.headers['x-session'] === 'forged') throw Object.assign(new Error('bad session'), { statusCode: 401 });
    return request.user ? request.user.id : undefined;
  };
  const app = Fastify();
  withUsers(app);
  app.setErrorHandler((err, request, reply) => {
    reply.code(err.statusCode || 500).send({ handled: err.message });
  });
  // Awaited, as routes declared beside the plugin are added at once: its hook must be there.
  await app.register(tolmFastify, { limiter: build({ capacity: 2 }), identity });
  app.get('/', async () => 'ok');
  await fastifyServing(app, async (port) => {
    assert.deepEqual(await statuses(port, '/', 3, { 'x-session': 'ann:1' }), [200, 200, 429]);
    assert.deepEqual(await statuses(port, '/', 3, { 'x-session': 'bob:1' }), [200, 200, 429]);
    // The address has its own allowance, untouched by the two users.
    assert.deepEqual(await statuses(port, '/', 1), [200]);
    const answer = await exchange(port, '/', { 'x-session': 'forged' });
    assert.equal(answer.status, 401);
    assert.deepEqual(JSON.parse(answer.body), { handled: 'bad session' });
  });
});

test('Fastify: onLimited answers refusals, with the headers and the retry time', { skip: skipFastify }, async () => {
  const app = fastifyApp({
    limiter: build({ capacity: 1, refillRate: 1 }),
    onLimited: (request, reply, info) => reply.code(503).send({ wait: info.retryAfter }),
  }, (scope) => scope.get('/', async () => 'ok'));
  await fastifyServing(app, async (port) => {
    await exchange(port, '/');
    const answer = await exchange(port, '/');
    assert.equal(answer.status, 503);
    assert.deepEqual(JSON.parse(answer.body), { wait: 1 });
    assert.equal(answer.headers['retry-after'], '1');
  });
});

test('Fastify: bad options are refused when the plugin is registered', { skip: skipFastify }, async () => {
  const cases = [
    [{}, /options.limiter is missing/],
    [{ limiter: build({}), identty: () => 'x' }, /did you mean "identity"/],
    [{ limiter: build({}), global: 'yes' }, /global must be true or false/],
    [{ limiter: build({}), identity: async () => 'x' }, /not an async one/],
  ];
  for (const [options, pattern] of cases) {
    const app = Fastify();
    app.register(tolmFastify, options);
    await assert.rejects(app.ready(), pattern);
  }
});

async function koaServing(app, body) {
  return serving(app.callback(), body);
}

test('Koa: refused at capacity with the headers; downstream never runs for a refusal', { skip: skipKoa }, async () => {
  const app = new Koa();
  let served = 0;
  app.use(koaRateLimit(build({ capacity: 2 })));
  app.use((ctx) => {
    served += 1;
    ctx.body = { remaining: ctx.state.tolm.remaining };
  });
  await koaServing(app, async (port) => {
    const answer = await exchange(port, '/');
    assert.deepEqual(JSON.parse(answer.body), { remaining: 1 });
    assert.equal(answer.headers['ratelimit-policy'], '"token_bucket";q=2');
    assert.equal(answer.headers.ratelimit, '"token_bucket";r=1');
    assert.deepEqual(await statuses(port, '/', 2), [200, 429]);
    const refused = await exchange(port, '/');
    assert.equal(refused.headers['content-type'], 'application/json; charset=utf-8');
    assert.equal(JSON.parse(refused.body).reason, 'token_exhausted');
    assert.equal(served, 2);
  });
});

test('Koa: per-route limits and skip as exemption; identity from ctx.state; its errors reach Koa', { skip: skipKoa }, async () => {
  const app = new Koa();
  const errors = [];
  // Koa reports every error; only the server's own failures are logged.
  app.on('error', (err) => { if (!err.expose) errors.push(err.message); });
  app.use((ctx, next) => {
    const token = ctx.get('x-session');
    if (token === 'forged') ctx.throw(401, 'bad session');
    ctx.state.user = token ? { id: token } : null;
    return next();
  });
  const search = koaRateLimit(build({ capacity: 1 }), {
    identity: (ctx) => (ctx.state.user ? ctx.state.user.id : undefined),
  });
  const site = koaRateLimit(build({ capacity: 3 }), {
    skip: (ctx) => ctx.path === '/health',
    identity: (ctx) => {
      if (ctx.get('x-session') === 'broken') throw new Error('store down');
      return undefined;
    },
  });
  app.use(async (ctx, next) => (ctx.path === '/search' ? search(ctx, next) : site(ctx, next)));
  app.use((ctx) => { ctx.body = 'ok'; });
  await koaServing(app, async (port) => {
    assert.deepEqual(await statuses(port, '/search', 2, { 'x-session': 'ann' }), [200, 429]);
    assert.deepEqual(await statuses(port, '/search', 2, { 'x-session': 'bob' }), [200, 429]);
    assert.deepEqual(await statuses(port, '/search', 1), [200]);
    const health = await exchange(port, '/health');
    assert.equal(health.status, 200);
    assert.equal(health.headers.ratelimit, undefined);
    assert.equal((await exchange(port, '/', { 'x-session': 'forged' })).status, 401);
    assert.equal((await exchange(port, '/', { 'x-session': 'broken' })).status, 500);
    assert.deepEqual(errors, ['store down']);
    // Nothing was counted for the requests that failed.
    assert.equal((await exchange(port, '/')).headers.ratelimit, '"token_bucket";r=2');
  });
});

test('Koa: onLimited answers refusals with the headers', { skip: skipKoa }, async () => {
  const app = new Koa();
  app.use(koaRateLimit(build({ capacity: 1, refillRate: 2 }), {
    onLimited: (ctx, info) => {
      ctx.status = 503;
      ctx.body = { wait: info.retryAfter };
    },
  }));
  app.use((ctx) => { ctx.body = 'ok'; });
  await koaServing(app, async (port) => {
    await exchange(port, '/');
    const answer = await exchange(port, '/');
    assert.equal(answer.status, 503);
    assert.deepEqual(JSON.parse(answer.body), { wait: 1 });
    assert.equal(answer.headers['retry-after'], '1');
  });
});

test('a cluster worker warns once that its limiter is per process; the primary does not', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolm-cluster-'));
  const script = path.join(dir, 'server.js');
  fs.writeFileSync(script, `
    const cluster = require('node:cluster');
    const { rateLimit, limiter } = require(${JSON.stringify(path.join(root, 'lib', 'middleware'))});
    const { TolmNode } = require(${JSON.stringify(addonPath)});
    rateLimit(limiter({}, { TolmNode }));
    if (cluster.isPrimary) {
      cluster.fork().on('exit', (code) => process.exit(code));
    } else {
      rateLimit(limiter({}, { TolmNode }));
      setImmediate(() => process.exit(0));  // after the warning, written on the next tick
    }`);
  let done;
  try {
    done = spawnSync(process.execPath, [script], { encoding: 'utf8', timeout: 60000 });
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
  assert.equal(done.status, 0, done.stderr);
  const warnings = done.stderr.split('\n').filter((line) => line.includes('TolmWarning'));
  assert.equal(warnings.length, 1, done.stderr);
  assert.match(warnings[0], /cluster worker/);
  assert.match(warnings[0], /shared: "name"|Limits you must know/);
});

// Runs a shipped example with require('tolm') answered by the addon under test and the
// frameworks from build-frameworks/; resolves with its port once it listens. The examples
// require tolm/fastify and tolm/koa by name, through the package's exports.
function startExample(name) {
  const index = path.join(root, 'index.js');
  const preload = `
    const Module = require('node:module');
    const stub = new Module(${JSON.stringify(index)});
    stub.filename = ${JSON.stringify(index)};
    stub.loaded = true;
    stub.exports = { TolmNode: require(${JSON.stringify(addonPath)}).TolmNode };
    require.cache[${JSON.stringify(index)}] = stub;
    require(${JSON.stringify(path.join(root, 'examples', name))});`;
  const child = spawn(process.execPath, ['-e', preload], {
    cwd: root,
    env: { ...process.env, PORT: '0', NODE_PATH: path.join(root, 'build-frameworks', 'node_modules') },
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  return new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const match = /listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(out);
      if (match) resolve({ child, port: Number(match[1]) });
    });
    child.on('exit', (code) => reject(new Error(`${name} exited ${code}: ${out}`)));
  });
}

async function withExample(name, body) {
  const { child, port } = await startExample(name);
  try {
    await body(port);
  } finally {
    child.kill();
  }
}

test('the Fastify example limits its routes, login more tightly, health not at all', { skip: skipFastify }, async () => {
  await withExample('fastify_app.js', async (port) => {
    const first = await exchange(port, '/');
    assert.match(first.headers.ratelimit, /^"token_bucket";r=19;/);
    const health = await exchange(port, '/health');
    assert.equal(health.headers.ratelimit, undefined);
    const login = await new Promise((resolve, reject) => {
      const req = http.request({ host: '127.0.0.1', port, path: '/login', method: 'POST', agent: false },
        (res) => { res.resume(); resolve(res.headers); });
      req.on('error', reject);
      req.end();
    });
    // Its own limit (the window's clock is the real one: only the first request is certain).
    assert.equal(login['ratelimit-policy'], '"fixed_window";q=5;w=60');
    assert.match(login.ratelimit, /^"fixed_window";r=4;/);
  });
});

test('the Koa example limits by address and skips the health check', { skip: skipKoa }, async () => {
  await withExample('koa_app.js', async (port) => {
    assert.match((await exchange(port, '/')).headers.ratelimit, /^"token_bucket";r=19;/);
    assert.equal((await exchange(port, '/health')).headers.ratelimit, undefined);
  });
});
