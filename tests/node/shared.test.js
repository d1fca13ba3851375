'use strict';
// One limit for every worker of a Node cluster, and the friendly limiter's options for it:
// shared, maxClients, clock, clear() and stats(), and the warning for limits whose clients
// never recover while nothing bounds the memory.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const http = require('node:http');
const crypto = require('node:crypto');
const { spawn } = require('node:child_process');
const { load, runChild, addonPath, windowsLacks } = require('./support/addon');
const { limiter, limiterSettings } = require('../../lib/limiter');

const { TolmNode } = load();
const opener = typeof TolmNode._open === 'function'
  ? false : 'this addon has no shared store (TolmNode._open) yet';
const middlewarePath = path.join(__dirname, '..', '..', 'lib', 'middleware.js');

function regionName() {
  return `tolm-test-${process.pid}-${crypto.randomBytes(6).toString('hex')}`;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = http.createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
    server.on('error', reject);
  });
}

function get(port) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port, path: '/', agent: false, timeout: 20000 }, (res) => {
      res.resume();
      res.on('end', () => resolve({ status: res.statusCode, worker: res.headers['x-worker'] }));
    });
    req.on('timeout', () => req.destroy(new Error('request timed out')));
    req.on('error', reject);
  });
}

// `count` requests of one client, `concurrency` at a time.
async function hammer(port, count, concurrency) {
  const answers = [];
  let next = 0;
  async function lane() {
    while (next < count) {
      next += 1;
      answers.push(await get(port));
    }
  }
  await Promise.all(Array.from({ length: concurrency }, lane));
  return answers;
}

const CLUSTER = `
const cluster = require('node:cluster');
const http = require('node:http');
if (cluster.isPrimary) {
  let listening = 0;
  for (let i = 0; i < 4; i += 1) cluster.fork();
  cluster.on('listening', () => { listening += 1; if (listening === 4) console.log('ready'); });
  process.on('SIGTERM', () => { for (const w of Object.values(cluster.workers)) w.kill(); process.exit(0); });
} else {
  const { TolmNode } = require(process.env.TOLM_ADDON);
  const { limiter, withRateLimit } = require(process.env.TOLM_MIDDLEWARE);
  const shared = limiter({ capacity: Number(process.env.TOLM_TEST_CAPACITY), refillRate: 0,
    shared: process.env.TOLM_TEST_REGION, maxClients: 1000 }, { TolmNode });
  const limited = withRateLimit(shared, (req, res) => res.end('ok'));
  http.createServer((req, res) => { res.setHeader('X-Worker', String(process.pid)); limited(req, res); })
    .listen(Number(process.env.TOLM_TEST_PORT), '127.0.0.1');
}
`;

test('a cluster of 4 workers sharing a region admits exactly the capacity of one client',
  { skip: opener || windowsLacks('cluster workers under Wine'), timeout: 120000 }, async () => {
    const capacity = 7;
    const requests = 60;
    const region = regionName();
    const port = await freePort();
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolm-cluster-'));
    const script = path.join(dir, 'cluster.js');
    fs.writeFileSync(script, CLUSTER);
    const child = spawn(process.execPath, [script], {
      env: {
        ...process.env, TOLM_ADDON: addonPath, TOLM_MIDDLEWARE: middlewarePath,
        TOLM_TEST_REGION: region, TOLM_TEST_CAPACITY: String(capacity), TOLM_TEST_PORT: String(port),
      },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let stderr = '';
    child.stderr.on('data', (chunk) => { stderr += chunk; });
    try {
      await new Promise((resolve, reject) => {
        child.stdout.on('data', (chunk) => { if (String(chunk).includes('ready')) resolve(); });
        child.on('exit', (code) => reject(new Error(`cluster exited with ${code}: ${stderr}`)));
      });
      const answers = await hammer(port, requests, 12);
      const statuses = answers.map((a) => a.status).sort();
      assert.deepEqual(statuses, [...Array(capacity).fill(200), ...Array(requests - capacity).fill(429)]);
      // Several workers answered: each alone would have admitted the whole capacity.
      assert.ok(new Set(answers.map((a) => a.worker)).size >= 2, 'only one worker answered');
    } finally {
      const exited = new Promise((resolve) => child.once('exit', resolve));
      if (child.exitCode === null) child.kill('SIGTERM');
      await exited;
      TolmNode._removeShared(region);
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

test('shared, maxClients and clock are checked before anything is opened', () => {
  const refused = [
    [{ shared: 7 }, TypeError, /shared must be a string/],
    [{ shared: '' }, RangeError, /1 to 200 printable ASCII/],
    [{ shared: 'a/b' }, RangeError, /without blanks, '\/'/],
    [{ shared: 'a b' }, RangeError, /printable ASCII/],
    [{ shared: 'x'.repeat(201) }, RangeError, /1 to 200/],
    [{ shared: 'ok', maxClients: 0 }, RangeError, /maxClients must be an integer from 1 to/],
    [{ maxClients: -1 }, RangeError, /from 0 to 268435456 \(0: no bound\)/],
    [{ maxClients: 1.5 }, RangeError, /integer/],
    [{ maxClients: 2 ** 28 + 1 }, RangeError, /268435456/],
    [{ maxClients: '10' }, TypeError, /maxClients/],
    [{ clock: 'steady' }, RangeError, /clock/],
    [{ max_clients: 5 }, TypeError, /Python spelling: use maxClients/],
  ];
  for (const [config, type, message] of refused) {
    assert.throws(() => limiter({ capacity: 1, refillRate: 1, ...config }, { TolmNode }),
      (error) => error instanceof type && message.test(error.message), JSON.stringify(config));
  }
});

test('a limit whose clients need over a day to recover warns once, unless maxClients bounds it',
  { skip: opener }, async () => {
    const seen = [];
    const listener = (warning) => { if (warning.code === 'TOLM_UNBOUNDED') seen.push(warning.message); };
    process.on('warning', listener);
    try {
      limiter({ capacity: 5, refillRate: 0 }, { TolmNode });
      limiter({ capacity: 5, refillRate: 1e-320 }, { TolmNode });
      limiter({ capacity: 100, refillRate: 100 / 90000 }, { TolmNode });
      // Not warned: a day or less, the windows, a bound.
      limiter({ capacity: 100, refillRate: 100 / 86400 }, { TolmNode });
      limiter({ algorithm: 'fixed_window', capacity: 5, refillRate: 0 }, { TolmNode });
      limiter({ capacity: 5, refillRate: 0, maxClients: 1000 }, { TolmNode });
      await new Promise((resolve) => setImmediate(resolve));
    } finally {
      process.off('warning', listener);
    }
    assert.equal(seen.length, 3, seen.join('\n'));
    assert.match(seen[0], /never gets its allowance back.*maxClients/);
    assert.match(seen[2], /needs 25 hours/);
  });

test('clear() forgets every client', { skip: opener }, () => {
  const lim = limiter({ capacity: 2, refillRate: 0, maxClients: 0 }, { TolmNode });
  assert.deepEqual(Object.keys(lim), []);
  const admitted = (key) => !lim.checkRequest(key, '/', 0).wouldBlock;
  assert.deepEqual(['a', 'a', 'a', 'b'].map(admitted), [true, true, false, true]);
  lim.clear();
  assert.equal(lim.stats().clients, 0);
  assert.equal(admitted('a'), true);
});

test('maxClients bounds a private limiter and counts evictions', { skip: opener }, () => {
  const bounded = limiter({ capacity: 2, refillRate: 0, maxClients: 64 }, { TolmNode });
  const admitted = (key) => !bounded.checkRequest(key, '/', 0).wouldBlock;
  assert.deepEqual([admitted('a'), admitted('a'), admitted('a')], [true, true, false]);
  for (let i = 0; i < 5000; i += 1) admitted(`flood-${i}`);
  const { clients, evictions } = bounded.stats();
  assert.ok(clients <= 64 * 2, `kept ${clients}`);
  assert.ok(evictions >= 5000 - 64 * 2, `evicted ${evictions}`);
  assert.equal(limiterSettings(bounded).maxClients, 64);
});

test('the friendly limiter counts elapsed time: a wall-clock step neither locks clients out nor frees them',
  { skip: opener || windowsLacks('the fake clock (LD_PRELOAD)') }, () => {
    const start = 1700000000000;
    const { status, stderr, output } = runChild(`
      const { limiter } = require(${JSON.stringify(path.join(__dirname, '..', '..', 'lib', 'limiter.js'))});
      const answers = {};
      for (const clock of ['monotonic', 'wall']) {
        setClock('${start} 0 0');
        const l = limiter({ capacity: 1, refillRate: 1, clock, maxClients: 100 }, { TolmNode });
        const ok = () => !l.checkRequest('c', '/', 0).wouldBlock;
        const seen = [ok(), ok()];
        // The wall clock steps back an hour while one real second passes.
        setClock('${start - 3600000} 0 1000');
        seen.push(ok());
        // The wall clock steps forward a day while no time passes.
        setClock('${start + 86400000} 0 1000');
        seen.push(ok());
        answers[clock] = seen;
      }
      emit(answers);
    `, { clockMs: start });
    assert.equal(status, 0, stderr);
    assert.deepEqual(output[0].monotonic, [true, false, true, false]);
    assert.deepEqual(output[0].wall, [true, false, false, true]);
  });
