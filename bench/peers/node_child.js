'use strict';
// One measurement of one Node.js limiter, in a process of its own (started by run.py).
//
//   node node_child.js time VARIANT KEYS SAMPLE_SECONDS SAMPLES WARMUP_SECONDS
//   node --expose-gc node_child.js memory VARIANT KEYS
//
// `time` inserts every key first, warms up, then takes SAMPLES samples of whole rounds over
// the keys and prints the CPU nanoseconds per call of each sample as JSON. CPU time of the
// whole process, not wall time: the machine is shared, so time spent running other programs
// must not count, while V8's own helper threads (concurrent garbage collection) must.
// `memory` prints the resident-set growth per key over inserting KEYS distinct keys.
// Limits are generous, so every call is allowed; one more round is checked for that.
const path = require('node:path');

const ROUTE = '/api/items';
const ONE_KEY = '203.0.113.7';
const GENEROUS = 1e9;
// tolm forgets a client once its bucket has refilled; a refill this slow keeps every key of a
// run in the table, as the peers keep theirs, so the many-key rows time existing keys.
const TOLM_REFILL_PER_S = 1e-3;
const peers = path.join(__dirname, '..', 'node_modules');

function ipv4LikeKeys(count, first = 0) {
  const keys = new Array(count);
  for (let j = 0; j < count; j++) {
    const i = first + j;
    keys[j] = `10.${(i >> 16) & 255}.${(i >> 8) & 255}.${i & 255}`;
  }
  // Concatenation makes rope strings that the first hash or read would flatten, allocating
  // inside the limiter under test; a JSON round trip hands every limiter flat strings.
  return JSON.parse(JSON.stringify(keys));
}

function redisUrl() {
  const url = process.env.BENCH_REDIS_URL;
  if (!url || !/^redis:\/\/127\.0\.0\.1:\d+/.test(url)) throw new Error('BENCH_REDIS_URL must be a loopback redis:// URL');
  return url;
}

function redisClient(Redis) {
  return new Redis(redisUrl(), { lazyConnect: false, enableOfflineQueue: true });
}

// `client`: the limiter is given an ioredis client, as the peers are, rather than the URL, with
// which it opens a connection of its own (what the Python rows and the README use).
function tolmRedis(lease, refused, client = false, algorithm = 'token_bucket') {
  const { TolmNode } = require(path.join(process.env.TOLM_BUILD_DIR, 'tolm_native.node'));
  const { limiter } = require(path.join(__dirname, '..', '..', 'lib', 'middleware'));
  const config = {
    algorithm,
    capacity: refused ? 1 : GENEROUS,
    refillRate: TOLM_REFILL_PER_S,
    redis: client ? redisClient(require(path.join(peers, 'ioredis'))) : redisUrl(),
    redisTimeoutMs: 5000,
    redisPrefix: `tolm${process.pid}:`,
  };
  if (lease) Object.assign(config, { lease, leaseMs: 600000 });
  const store = limiter(config, { TolmNode });
  return { call: (key, route) => store.check(key, route), async: true, allowed: (r) => r.allowed === !refused };
}

// Each variant gives { call(key, route), async, allowed(result) }.
const variants = {
  tolm() {
    const { TolmNode } = require(path.join(process.env.TOLM_BUILD_DIR, 'tolm_native.node'));
    const node = new TolmNode({ capacity: GENEROUS, refillRate: TOLM_REFILL_PER_S });
    // As documented: the caller passes the request's start time, read per request.
    return { call: (key, route) => node.checkRequest(key, route, Date.now()), allowed: (r) => r.allowed === true };
  },
  // The shared-memory store: a region named by the runner (TOLM_BENCH_REGION), sized for every
  // key of the run, so a check times the same work as the private table's.
  tolm_shared() {
    const { TolmNode } = require(path.join(process.env.TOLM_BUILD_DIR, 'tolm_native.node'));
    if (typeof TolmNode._open !== 'function') {
      throw new Error('skipped: this build of tolm_native has no TolmNode._open (shared store factory)');
    }
    const node = TolmNode._open({
      algorithm: 'token_bucket',
      mode: 'active',
      capacity: GENEROUS,
      refillRate: TOLM_REFILL_PER_S,
      maxClients: Number(process.env.TOLM_BENCH_REGION_CLIENTS || 200000),
      shared: process.env.TOLM_BENCH_REGION,
    });
    return { call: (key, route) => node.checkRequest(key, route, Date.now()), allowed: (r) => r.allowed === true };
  },
  // The peers' multi-process answer: their Redis store, one round trip to redis-server per
  // check, through ioredis (what both document).
  rlf_redis() {
    const { RateLimiterRedis } = require(path.join(peers, 'rate-limiter-flexible'));
    const Redis = require(path.join(peers, 'ioredis'));
    const limiter = new RateLimiterRedis({ storeClient: redisClient(Redis), points: GENEROUS, duration: 60 });
    return { call: (key) => limiter.consume(key), async: true, allowed: (r) => r.remainingPoints >= 0 };
  },
  erl_redis() {
    const { RedisStore } = require(path.join(peers, 'rate-limit-redis'));
    const Redis = require(path.join(peers, 'ioredis'));
    const client = redisClient(Redis);
    const store = new RedisStore({ sendCommand: (command, ...args) => client.call(command, ...args) });
    store.init({ windowMs: 60_000 });
    return { call: (key) => store.increment(key), async: true, allowed: (r) => r.totalHits <= GENEROUS };
  },
  // tolm's Redis store (limiter({ redis })), through ioredis as the peers above: exact mode
  // is one script call per check; lease mode takes up to 100 units per round trip and keeps a
  // refusal until the client may retry. The time budget is generous: a benchmark must not
  // measure the fallback.
  tolm_redis_exact: () => tolmRedis(0, false),
  tolm_redis_exact_ioredis: () => tolmRedis(0, false, true),
  // The fixed window, the peers' own algorithm: its key is a bare counter that expires with
  // the window.
  tolm_redis_exact_fixed: () => tolmRedis(0, false, false, 'fixed_window'),
  tolm_redis_exact_refused: () => tolmRedis(0, true),
  tolm_redis_lease: () => tolmRedis(100, false),
  tolm_redis_lease_refused: () => tolmRedis(100, true),
  // The peers with a limit of one: every check after the first is refused, at the same one
  // round trip.
  rlf_redis_refused() {
    const { RateLimiterRedis } = require(path.join(peers, 'rate-limiter-flexible'));
    const Redis = require(path.join(peers, 'ioredis'));
    const limiter = new RateLimiterRedis({ storeClient: redisClient(Redis), points: 1, duration: 60 });
    return { call: (key) => limiter.consume(key).then(() => true, () => false), async: true, allowed: (r) => r === false };
  },
  floor() {
    const { floor } = require(process.env.TOLM_BENCH_REFERENCE);
    return { call: (key, route) => floor(key, route, Date.now()), allowed: (r) => r.allowed === true };
  },
  map() {
    const { MapTokenBucket } = require('./map_bucket');
    const limiter = new MapTokenBucket(GENEROUS, GENEROUS);
    return { call: (key, route) => limiter.checkRequest(key, route, Date.now()), allowed: (r) => r.allowed === true };
  },
  rlf() {
    const { RateLimiterMemory } = require(path.join(peers, 'rate-limiter-flexible'));
    const limiter = new RateLimiterMemory({ points: GENEROUS, duration: 60 });
    // consume() rejects when the limit is reached; every call here resolves.
    return { call: (key) => limiter.consume(key), async: true, allowed: (r) => r.remainingPoints >= 0 };
  },
  erl() {
    const { MemoryStore } = require(path.join(peers, 'express-rate-limit'));
    const store = new MemoryStore();
    store.init({ windowMs: 60_000 });
    return { call: (key) => store.increment(key), async: true, allowed: (r) => r.totalHits <= GENEROUS };
  },
  // limiter keeps one bucket per object; a per-client limit needs a Map of them.
  limiter_bucket() {
    const { TokenBucket } = require(path.join(peers, 'limiter'));
    const buckets = new Map();
    return {
      call(key) {
        let bucket = buckets.get(key);
        if (bucket === undefined) {
          bucket = new TokenBucket({ bucketSize: GENEROUS, tokensPerInterval: GENEROUS, interval: 'second' });
          bucket.content = GENEROUS; // starts empty otherwise
          buckets.set(key, bucket);
        }
        return bucket.tryRemoveTokens(1);
      },
      allowed: (r) => r === true,
    };
  },
  limiter_rate() {
    const { RateLimiter } = require(path.join(peers, 'limiter'));
    const limiters = new Map();
    return {
      call(key) {
        let limiter = limiters.get(key);
        if (limiter === undefined) {
          limiter = new RateLimiter({ tokensPerInterval: GENEROUS, interval: 'minute' });
          limiters.set(key, limiter);
        }
        return limiter.tryRemoveTokens(1);
      },
      allowed: (r) => r === true,
    };
  },
};

function makeRound(variant, keys) {
  const { call } = variant;
  if (variant.async) {
    return async () => {
      let result;
      for (let i = 0; i < keys.length; i++) result = await call(keys[i], ROUTE);
      return result;
    };
  }
  return () => {
    let result;
    for (let i = 0; i < keys.length; i++) result = call(keys[i], ROUTE);
    return result;
  };
}

// A copy of `items` in an order fixed by `seed` (a small linear congruential generator, so every
// run visits the keys alike).
function shuffled(items, seed) {
  const out = items.slice();
  let state = seed >>> 0;
  for (let i = out.length - 1; i > 0; i--) {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    const j = state % (i + 1);
    [out[i], out[j]] = [out[j], out[i]];
  }
  return out;
}

function cpuNs() {
  const { user, system } = process.cpuUsage();
  return (user + system) * 1000;
}

async function measureTime(name, keyCount, sampleSeconds, samples, warmupSeconds) {
  // TOLM_BENCH_KEY_OFFSET: processes run side by side each take keys of their own.
  const first = Number(process.env.TOLM_BENCH_KEY_OFFSET || 0);
  let keys = keyCount === 1 ? new Array(1000).fill(ONE_KEY) : ipv4LikeKeys(keyCount, first);
  const variant = variants[name]();
  let oneRound = makeRound(variant, keys);
  await oneRound(); // every key inserted
  if (keyCount > 1 && process.env.TOLM_BENCH_KEY_ORDER === 'shuffled') {
    // Visit the keys in an order unrelated to the order they were inserted in, as real
    // clients arrive: a table that keeps entries in insertion order would otherwise read them
    // one after another, which no server's traffic does.
    keys = shuffled(keys, 7);
    oneRound = makeRound(variant, keys);
  }

  let rounds = 0;
  let spent = 0;
  const begin = cpuNs();
  do {
    await oneRound();
    rounds++;
    spent = cpuNs() - begin;
  } while (spent < warmupSeconds * 1e9);
  const roundsPerSample = Math.max(1, Math.ceil((sampleSeconds * 1e9) / (spent / rounds)));

  const calls = roundsPerSample * keys.length;
  const nsPerCall = [];
  const wallNsPerCall = [];
  let last;
  for (let s = 0; s < samples; s++) {
    const wall = process.hrtime.bigint();
    const start = cpuNs();
    for (let r = 0; r < roundsPerSample; r++) last = await oneRound();
    nsPerCall.push((cpuNs() - start) / calls);
    wallNsPerCall.push(Number(process.hrtime.bigint() - wall) / calls);
  }
  if (!variant.allowed(last)) throw new Error(`last call was not allowed: ${JSON.stringify(last)}`);
  for (const key of keys) {
    const result = await variant.call(key, ROUTE);
    if (!variant.allowed(result)) throw new Error(`${key} was not allowed: ${JSON.stringify(result)}`);
  }
  // Every check this process made, for a count of round trips per check.
  const checks = keys.length * (1 + rounds + samples * roundsPerSample + 1);
  return { ns_per_call: nsPerCall, wall_ns_per_call: wallNsPerCall, calls_per_sample: calls, checks };
}

// V8 hands the pages a full collection frees back to the system from helper threads, a
// little later; reading the resident set at once would count garbage as live.
async function settledRss() {
  for (let i = 0; i < 2; i++) {
    global.gc();
    await new Promise((resolve) => setTimeout(resolve, 300));
  }
  return process.memoryUsage.rss();
}

async function measureMemory(name, keyCount) {
  const keys = ipv4LikeKeys(keyCount);
  const before = await settledRss();
  const variant = variants[name]();
  await makeRound(variant, keys)();
  const after = await settledRss();
  return { bytes_per_key: (after - before) / keyCount, keys: keyCount };
}

async function main() {
  const [mode, name, keyCount, sampleSeconds, samples, warmupSeconds] = process.argv.slice(2);
  if (!(name in variants)) throw new Error(`unknown variant ${name}`);
  const result = mode === 'time'
    ? await measureTime(name, Number(keyCount), Number(sampleSeconds), Number(samples), Number(warmupSeconds))
    : await measureMemory(name, Number(keyCount));
  process.stdout.write(JSON.stringify(result));
  // rate-limiter-flexible and express-rate-limit keep timers; do not wait for them.
  process.exit(0);
}

// bench/tail/node_tail.js reuses the variants.
module.exports = { variants, ipv4LikeKeys, ROUTE };

if (require.main === module) {
  main().catch((error) => {
    console.error(error);
    process.exit(1);
  });
}
