'use strict';
// Limits shared by many hosts through Redis: one server-side script per algorithm (lua/, the
// same files the Python package ships) over one key per client, run on the server's clock,
// with an explicit answer for when Redis cannot answer within the time budget.
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { describe } = require('./settings');
const { fitKey, IDENTITY_DIGEST_PREFIX, RAW_DIGEST_PREFIX } = require('./keys');
const { RespConnection, connectionOptions } = require('./resp');

const ON_ERROR = ['local', 'refuse', 'allow'];
const KEY_TAGS = {
  token_bucket: 'tb:', leaky_bucket: 'lb:', fixed_window: 'fw:', sliding_window: 'sw:',
};
const REASONS = [undefined, 'within_limit', 'limit_exceeded', 'token_exhausted'];
const DETAIL = {
  token_bucket: ' tokens remaining', leaky_bucket: ' bucket space remaining',
  fixed_window: ' requests remaining', sliding_window: ' requests remaining',
};
// How long a limiter answers without Redis after a failure before it asks Redis again, so
// that an unreachable server costs one time budget per interval rather than per request.
const RETRY_AFTER_FAILURE_MS = 1000;
// Clients whose leases one limiter keeps before it drops the expired ones, then the oldest.
const MAX_LEASES = 10000;
// What a request finds in the host's lease region (TolmNode's _leaseTake).
const [LEASE_ADMITTED, LEASE_REFUSED, LEASE_FETCH, , LEASE_ADMITTED_FETCH] = [0, 1, 2, 3, 4];

// An algorithm's script is lua/prelude.lua followed by the algorithm's own text, in which the
// line `--[[ helpers ]]` stands for lua/helpers.lua; python/tolm/_redis.py joins them alike, so
// both runtimes load the same script under one digest.
const HELPERS_LINE = '--[[ helpers ]]\n';
const sources = new Map();
function scriptSource(algorithm) {
  let source = sources.get(algorithm);
  if (source === undefined) {
    const folder = path.join(__dirname, '..', 'lua');
    const read = (name) => fs.readFileSync(path.join(folder, name), 'utf8');
    const parts = read(`${algorithm}.lua`).split(HELPERS_LINE);
    if (parts.length !== 2) throw new Error(`lua/${algorithm}.lua must say where the helpers go, once`);
    source = read('prelude.lua') + parts[0] + read('helpers.lua') + parts[1];
    sources.set(algorithm, source);
  }
  return source;
}

class RedisTimeoutError extends Error {
  constructor(ms) {
    super(`redis did not answer within ${ms} ms`);
    this.name = 'RedisTimeoutError';
  }
}

// The two client libraries behind one pair of calls: evalsha and script load.
function adapterFor(client, owned) {
  if (client && typeof client.evalsha === 'function' && typeof client.defineCommand === 'function') {
    if (client.status === 'end' || client.status === 'close') {
      throw new Error('limiter: the ioredis client has been closed (status ' + client.status + ')');
    }
    return {
      kind: 'ioredis',
      evalsha: (sha, key, args) => client.evalsha(sha, 1, key, ...args),
      eval: (source, key, args) => client.eval(source, 1, key, ...args),
      load: (source) => client.script('LOAD', source),
    };
  }
  if (client && typeof client.sendCommand === 'function' && typeof client.nodeClient === 'function'
    && Array.isArray(client.masters)) {
    // node-redis createCluster(): routed by the key given beside the command; the script is
    // loaded on every primary, and one that loses it is sent it whole (NOSCRIPT below).
    if (!owned && !client.isOpen) {
      throw new Error('limiter: the node-redis cluster client is not connected; await cluster.connect() before building the limiter');
    }
    return {
      kind: 'node-redis-cluster',
      evalsha: (sha, key, args) => client.sendCommand(key, false, ['EVALSHA', sha, '1', key, ...args]),
      eval: (source, key, args) => client.sendCommand(key, false, ['EVAL', source, '1', key, ...args]),
      load: (source) => Promise.all(client.masters.map(
        async (primary) => (await client.nodeClient(primary)).scriptLoad(source))),
    };
  }
  if (client && typeof client.sendCommand === 'function' && typeof client.scriptLoad === 'function') {
    if (!owned && !client.isOpen) {
      throw new Error('limiter: the node-redis client is not connected; await client.connect() before building the limiter');
    }
    return {
      kind: 'node-redis',
      evalsha: (sha, key, args) => client.sendCommand(['EVALSHA', sha, '1', key, ...args]),
      eval: (source, key, args) => client.sendCommand(['EVAL', source, '1', key, ...args]),
      load: (source) => client.scriptLoad(source),
    };
  }
  return null;
}

// The limiter's own connection (lib/resp.js) for redis:// and unix:// URLs; a rediss:// URL
// (TLS) goes through the application's client library, ioredis or node-redis.
function clientFromUrl(url, timeoutMs) {
  if (!url.startsWith('rediss://')) {
    const connection = new RespConnection(connectionOptions(url), Math.max(timeoutMs, 1000));
    return { client: connection, owned: true, adapter: ownAdapter(connection) };
  }
  let IORedis;
  try {
    IORedis = require('ioredis');
  } catch {
    IORedis = null;
  }
  if (IORedis) {
    // A command whose connection dropped may already have been counted by the server: it is
    // answered by the failure policy, never sent again on the new connection.
    const client = new IORedis(url, {
      commandTimeout: undefined,
      maxRetriesPerRequest: 1,
      autoResendUnfulfilledCommands: false,
      connectTimeout: Math.max(timeoutMs, 1000),
    });
    // Connection errors are answered per check (onRedisError); the client only retries.
    client.on('error', () => {});
    return { client, owned: true };
  }
  let nodeRedis;
  try {
    nodeRedis = require('redis');
  } catch {
    throw new Error('limiter: redis: a rediss:// URL (TLS) needs the ioredis or redis package: npm install ioredis');
  }
  const client = nodeRedis.createClient({ url });
  client.on('error', () => {});
  // node-redis connects explicitly; checks wait for it through `ready`.
  const connecting = client.connect();
  connecting.catch(() => {});
  return { client, owned: true, connecting };
}

// The limiter's own connection behind the adapters' calls. EVALSHA's head (its name, the
// digest, one key) is framed once per digest.
function ownAdapter(connection) {
  let sha = '';
  let head = '';
  return {
    kind: 'own',
    evalsha(digest, key, args) {
      if (digest !== sha) {
        sha = digest;
        head = `$7\r\nEVALSHA\r\n$${sha.length}\r\n${sha}\r\n$1\r\n1\r\n`;
      }
      let text = `*${4 + args.length}\r\n${head}$${Buffer.byteLength(key)}\r\n${key}\r\n`;
      for (const arg of args) text += `$${arg.length}\r\n${arg}\r\n`;
      return connection.send(text);
    },
    eval: (source, key, args) => connection.call(['EVAL', source, '1', key, ...args]),
    load: (source) => connection.call(['SCRIPT', 'LOAD', source]),
    reset: (why) => connection.reset(why),
  };
}

function withTimeout(promise, ms) {
  let timer;
  promise.catch(() => {}); // a late failure after the budget has already been answered
  const late = new Promise((resolve, reject) => {
    timer = setTimeout(() => reject(new RedisTimeoutError(ms)), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// The time budget of every check in flight, on one timer. Checks share one budget, so their
// deadlines come in the order they were sent, and one timer armed for the oldest unsettled
// check serves them all, where a timer per check would be made and cleared on every request.
class Budget {
  constructor(ms) {
    this.ms = ms;
    this.pending = [];
    this.head = 0;
    this.timer = null;
    this.expire = () => this._expire();
  }

  // The promise `start(entry)` returns, or a RedisTimeoutError once the budget has passed;
  // `entry.done` tells `start`'s continuations that the check has been answered already.
  run(start) {
    return new Promise((resolve, reject) => {
      const entry = { deadline: performance.now() + this.ms, reject, done: false };
      const promise = start(entry);
      // Under a long budget many checks settle before the timer fires: the settled ones at
      // the front are let go here rather than kept until then.
      if (this.pending.length >= 1024) this._trim();
      this.pending.push(entry);
      if (this.timer === null) this._arm();
      promise.then((value) => {
        entry.done = true;
        resolve(value);
      }, (err) => {
        entry.done = true;
        reject(err);
      });
    });
  }

  _trim() {
    const { pending } = this;
    while (this.head < pending.length && pending[this.head].done) this.head += 1;
    if (this.head > 0) {
      this.pending = pending.slice(this.head);
      this.head = 0;
    }
  }

  _arm() {
    this._trim();
    if (this.pending.length === 0) {
      this.timer = null;
      return;
    }
    this.timer = setTimeout(this.expire, Math.max(0, this.pending[0].deadline - performance.now()));
  }

  _expire() {
    const now = performance.now();
    const { pending } = this;
    while (this.head < pending.length && (pending[this.head].done || pending[this.head].deadline <= now)) {
      const entry = pending[this.head];
      this.head += 1;
      if (!entry.done) {
        entry.done = true;
        entry.reject(new RedisTimeoutError(this.ms));
      }
    }
    this._arm();
  }
}

function isNoScript(err) {
  return err && typeof err.message === 'string' && err.message.startsWith('NOSCRIPT');
}

// A limiter whose clients' state lives in Redis. check() and _decide() return promises.
class RedisLimiter {
  constructor(settings, redisOptions, local) {
    const { client, prefix, onError, timeoutMs, onEvent, lease, leaseMs, host } = redisOptions;
    this.algorithm = settings.algorithm;
    this.mode = settings.mode;
    this._settings = settings;
    this._keyPrefix = prefix + KEY_TAGS[settings.algorithm];
    this._onError = onError;
    this._timeoutMs = timeoutMs;
    this._budget = new Budget(timeoutMs);
    this._onEvent = onEvent;
    this._local = local;
    this._localNumbers = new Float64Array(3);
    this._retryAfterMs = RETRY_AFTER_FAILURE_MS;
    this._downUntil = 0;
    this._stats = { calls: 0, errors: 0, fallbacks: 0, recoveries: 0, local: 0 };
    // Lease mode: per client key, { units, expires, refusedUntil, remaining } (ms of
    // performance.now()).
    this._lease = lease ? String(lease) : '';
    this._leaseMs = leaseMs;
    this._held = new Map();
    this._maxLeases = MAX_LEASES;
    // With a shared region (limiter({ shared })), the host's leases are kept there instead,
    // spent and refused alike by every process of the host: a TolmNode opened with lease
    // (its _leaseTake and _leasePut); a fetch it hands out is another process's to take over
    // after the time budget.
    this._host = host === undefined ? null : host;
    this._fetchBudgetMs = Math.max(1, Math.ceil(timeoutMs));
    this._source = scriptSource(settings.algorithm);
    this._sha = crypto.createHash('sha1').update(this._source).digest('hex');
    this._args = [String(settings.capacity), String(settings.refillRate), String(settings.windowMs)];
    let adapter;
    if (typeof client === 'string') {
      if (!/^(rediss?|unix):\/\//.test(client)) {
        throw new TypeError(`limiter: redis must be a redis:// or rediss:// URL, or an ioredis or node-redis client; got ${describe(client)}`);
      }
      const made = clientFromUrl(client, timeoutMs);
      this.client = made.client;
      this._owned = true;
      this._connecting = made.connecting;
      adapter = made.adapter || adapterFor(made.client, true);
    } else {
      adapter = adapterFor(client, false);
      if (adapter === null) {
        throw new TypeError(`limiter: redis must be a redis:// URL, an ioredis client or a connected node-redis client; got ${describe(client)}`);
      }
      this.client = client;
      this._owned = false;
    }
    this._adapter = adapter;
    // Settles once the server has been reached and has taken the script: a server that is
    // unreachable or refuses scripting is reported here rather than on a request.
    this.ready = this._prepare();
    this.ready.catch(() => {});
  }

  async _prepare() {
    if (this._connecting) await this._connecting;
    try {
      await withTimeout(this._adapter.load(this._source), Math.max(this._timeoutMs, 2000));
    } catch (err) {
      const text = err && err.message ? err.message : String(err);
      if (/^(WRONGPASS|NOAUTH)|invalid password/i.test(text)) {
        throw new Error(`limiter: the redis server refused the limiter's credentials: ${text}`);
      }
      if (/NOPERM|unknown command|disabled|ERR.*script/i.test(text)) {
        throw new Error(`limiter: the redis server refused the limiter's script (is scripting disabled?): ${text}`);
      }
      throw new Error(`limiter: redis is not reachable: ${text}`);
    }
  }

  get redisStats() {
    return { ...this._stats };
  }

  get redisAvailable() {
    return this._downUntil === 0;
  }

  _failed(err) {
    this._stats.errors += 1;
    // A check that outlived its budget leaves the connection in doubt: the server may be
    // slow, or the peer gone without a word. The limiter's own connection is then replaced, so
    // that the next check after the pause does not queue behind a reply that may never come.
    if (err instanceof RedisTimeoutError && this._adapter.reset) this._adapter.reset('a check took longer than its time budget');
    const first = this._downUntil === 0;
    this._downUntil = Date.now() + this._retryAfterMs;
    if (first && this._onEvent) this._onEvent('fallback', err);
  }

  _answered() {
    if (this._downUntil !== 0) {
      this._downUntil = 0;
      this._stats.recoveries += 1;
      if (this._onEvent) this._onEvent('recovery', null);
    }
  }

  _refused() {
    const reason = this.algorithm === 'token_bucket' ? 3 : 2;
    return (this.mode === 'shadow' ? 3 : 2) | (reason << 2);
  }

  _withoutRedis(key, route, numbers, cost) {
    this._stats.fallbacks += 1;
    if (this._onError === 'local') {
      return cost === 1 ? this._local._decide(key, route, numbers)
        : this._local._decide(key, route, numbers, cost);
    }
    if (this._onError === 'allow') {
      numbers[0] = -1; numbers[1] = -1; numbers[2] = -1;
      return 1 | (1 << 2);
    }
    numbers[0] = 0; numbers[1] = -1; numbers[2] = -1;
    return this._refused();
  }

  // The decision this process can make alone (a unit of the client's lease, or the refusal
  // it was given until the client may retry), or -1 when Redis must be asked.
  _fromLease(key, numbers, cost) {
    const held = this._held.get(key);
    if (held === undefined || cost !== 1) return -1;
    const now = performance.now();
    if (now < held.refusedUntil) {
      this._stats.local += 1;
      numbers[0] = 0; numbers[1] = Math.ceil(held.refusedUntil - now); numbers[2] = -1;
      return this._refused();
    }
    if (held.units >= 1 && now < held.expires) {
      held.units -= 1;
      this._stats.local += 1;
      numbers[0] = held.remaining + held.units; numbers[1] = -1; numbers[2] = -1;
      return 1 | (1 << 2);
    }
    return -1;
  }

  _keepLease(key, reply) {
    const now = performance.now();
    const held = this._held;
    // Room is made only for a client not held yet: a full table of clients that keep coming
    // back renews their leases in place. Expired entries go first, then the oldest (their
    // unspent units are lost: fewer admissions, never more).
    const max = this._maxLeases;
    if (held.size >= max && !held.has(key)) {
      for (const [k, v] of held) if (v.expires <= now && v.refusedUntil <= now) held.delete(k);
      // A quarter of the room is made each time, the oldest going when too few have expired:
      // otherwise a steady flow of new clients, a few expiring between two of them, would pay
      // for a scan of the whole table on every request.
      let evict = held.size - (max - (max >> 2));
      for (const k of held.keys()) {
        if (evict-- <= 0) break;
        held.delete(k);
      }
    }
    const admit = Number(reply[2]);
    const whole = Number(reply[3]);
    if (Number(reply[0]) === 1) {
      // Units of a fixed window are not spent in the next one.
      const lifetime = this.algorithm === 'fixed_window' && whole >= 0 ? Math.min(this._leaseMs, whole) : this._leaseMs;
      held.set(key, { units: Number(reply[4]) - 1, expires: now + lifetime, refusedUntil: 0, remaining: Number(reply[1]) });
    } else {
      held.set(key, { units: 0, expires: 0, refusedUntil: now + (admit >= 0 ? admit : this._leaseMs), remaining: 0 });
    }
  }

  // Hands Redis's answer to the host's region: the batch this process fetched, less the
  // `spent` units its own request took, or a refusal (which every process of the host then
  // keeps until the client may retry).
  _putHost(host, redisKey, reply, fetched, spent) {
    const admit = Number(reply[2]);
    if (Number(reply[0]) === 1) {
      if (!fetched) return;
      const whole = Number(reply[3]);
      // Units of a fixed window are not spent in the next one.
      const lifetime = this.algorithm === 'fixed_window' && whole >= 0 ? Math.min(this._leaseMs, whole) : this._leaseMs;
      host._leasePut(redisKey, Number(reply[4]) - spent, Math.max(0, Number(reply[1])), Math.floor(lifetime), 0);
    } else {
      host._leasePut(redisKey, 0, 0, 0, admit >= 0 ? admit : Math.ceil(this._leaseMs));
    }
  }

  // The host's next batch of `want` units, fetched for the request that took its batch low,
  // which has been answered already.
  _fetchAhead(host, redisKey, want) {
    if (this._downUntil !== 0 && Date.now() < this._downUntil) {
      host._leasePut(redisKey, 0, 0, 0, 0);
      return;
    }
    const settings = this._args;
    const args = [settings[0], settings[1], settings[2], '1', '', String(want)];
    this._stats.calls += 1;
    // No request awaits this promise: whatever goes wrong ends here, where a rejection left
    // unhandled would end the process.
    this._budget.run((check) => this._evaluate(redisKey, args, check)).then((reply) => {
      this._answered();
      this._putHost(host, redisKey, reply, true, 0);
    }).catch((err) => {
      try {
        host._leasePut(redisKey, 0, 0, 0, 0); // the fetch ends with nothing to hold
        this._failed(err);
      } catch {
        // An onRedisEvent callback that throws has nobody to throw to here.
      }
    });
  }

  // `check` is the check's entry in the time budget (Budget.run).
  _evaluate(key, args, check) {
    return this._adapter.evalsha(this._sha, key, args).catch((err) => {
      if (!isNoScript(err)) throw err;
      // The server that owns the key lacks the script (a restart, SCRIPT FLUSH, or a cluster
      // node that has not seen it): sent whole once, which also caches it there. Not when the
      // check has outlived its budget: the policy has answered it already (a client's offline
      // queue can deliver a command long after), and the server must not count it as well.
      if (check.done) throw err;
      return this._adapter.eval(this._source, key, args);
    });
  }

  // The middleware's entry: resolves to the outcome (bit 0 allowed, bit 1 would_block, above
  // them 1 + the reason code) and writes remaining, admit_after_ms and whole_after_ms into
  // `numbers` (-1 for unknown). `nowMs` replaces the server's clock (tests).
  async _decide(key, route, numbers, cost = 1, nowMs) {
    if (this.mode === 'disabled') {
      numbers[0] = -1; numbers[1] = -1; numbers[2] = -1;
      return 1;
    }
    if (cost !== 1) {
      if (typeof cost !== 'number' || !Number.isFinite(cost) || cost <= 0) {
        throw new RangeError(`cost must be a finite number > 0; got ${describe(cost)}`);
      }
      if (this.algorithm === 'sliding_window' && !Number.isInteger(cost)) {
        throw new RangeError(`the sliding window counts whole requests: cost must be a whole number; got ${cost}`);
      }
    }
    const redisKey = this._keyPrefix + key;
    const host = cost === 1 ? this._host : null;
    let leasing = this._lease !== '' && cost === 1;
    let want = 0;
    if (host !== null) {
      const step = host._leaseTake(redisKey, this._fetchBudgetMs, numbers);
      if (step === LEASE_ADMITTED || step === LEASE_ADMITTED_FETCH) {
        this._stats.local += 1;
        if (step === LEASE_ADMITTED_FETCH) this._fetchAhead(host, redisKey, numbers[1]);
        numbers[1] = -1; numbers[2] = -1;
        return 1 | (1 << 2);
      }
      if (step === LEASE_REFUSED) {
        this._stats.local += 1;
        numbers[1] = numbers[0]; numbers[0] = 0; numbers[2] = -1;
        return this._refused();
      }
      // This process fetches the host's next batch, or another does and this request is
      // asked for alone.
      leasing = step === LEASE_FETCH;
      want = numbers[1];
    } else if (leasing && this._held.size > 0) {
      const local = this._fromLease(key, numbers, cost);
      if (local !== -1) return local;
    }
    if (this._downUntil !== 0 && Date.now() < this._downUntil) {
      if (host !== null && leasing) host._leasePut(redisKey, 0, 0, 0, 0);
      return this._withoutRedis(key, route, numbers, cost);
    }
    const settings = this._args;
    const args = [settings[0], settings[1], settings[2], cost === 1 ? '1' : String(cost),
      nowMs === undefined ? '' : String(nowMs)];
    if (leasing) args.push(host !== null ? String(want) : this._lease);
    this._stats.calls += 1;
    let reply;
    try {
      reply = await this._budget.run((check) => this._evaluate(redisKey, args, check));
    } catch (err) {
      if (host !== null && leasing) host._leasePut(redisKey, 0, 0, 0, 0); // the fetch ends empty
      this._failed(err);
      return this._withoutRedis(key, route, numbers, cost);
    }
    this._answered();
    if (host !== null) this._putHost(host, redisKey, reply, leasing, 1);
    else if (leasing) this._keepLease(key, reply);
    numbers[0] = Number(reply[1]);
    numbers[1] = Number(reply[2]);
    numbers[2] = Number(reply[3]);
    if (Number(reply[0]) === 1) return 1 | (1 << 2);
    return this._refused();
  }

  // Decides one request (one round trip): a promise of checkRequest's result object, with
  // the numbers beside it.
  async check(ip, route, identity, cost = 1) {
    const key = identity === undefined || identity === null
      ? fitKey(String(ip), RAW_DIGEST_PREFIX) : fitKey(String(identity), IDENTITY_DIGEST_PREFIX);
    const numbers = new Float64Array(3);
    const outcome = await this._decide(key, route, numbers, cost);
    const reason = REASONS[outcome >> 2];
    const result = {
      allowed: (outcome & 1) === 1,
      wouldBlock: (outcome & 2) === 2,
      algorithm: this.algorithm,
      debugInfo: reason === undefined ? 'disabled' : `${numbers[0] >= 0 ? numbers[0] : 0}${DETAIL[this.algorithm]}`,
      remaining: numbers[0] >= 0 ? numbers[0] : null,
      admitAfterMs: numbers[1] >= 0 ? numbers[1] : null,
      wholeAfterMs: numbers[2] >= 0 ? numbers[2] : null,
    };
    if (reason !== undefined) result.reason = reason;
    return result;
  }

  // Closes the client if the limiter made it from a URL.
  async close() {
    if (!this._owned) return;
    if (this.client instanceof RespConnection) this.client.close();
    else if (typeof this.client.quit === 'function') await this.client.quit().catch(() => {});
  }
}

// Checks the Redis options of limiter({...}) and builds the limiter; `localFactory()` makes
// the in-process limiter that answers while Redis cannot. `hostFactory(lease, leaseMs)`,
// given with a shared region's name, opens the region that keeps the host's leases (a
// TolmNode that is also the fallback limiter).
function redisLimiter(settings, config, localFactory, hostFactory) {
  const prefix = config.redisPrefix === undefined ? 'tolm:' : config.redisPrefix;
  if (typeof prefix !== 'string') {
    throw new TypeError(`limiter: redisPrefix must be a string; got ${describe(prefix)}`);
  }
  const onError = config.onRedisError === undefined ? 'local' : config.onRedisError;
  if (!ON_ERROR.includes(onError)) {
    throw new RangeError(`limiter: onRedisError must be one of 'local', 'refuse', 'allow'; got ${describe(onError)}`);
  }
  const timeoutMs = config.redisTimeoutMs === undefined ? 5 : config.redisTimeoutMs;
  if (typeof timeoutMs !== 'number' || !Number.isFinite(timeoutMs) || timeoutMs <= 0) {
    throw new RangeError(`limiter: redisTimeoutMs must be a finite number of ms > 0; got ${describe(timeoutMs)}`);
  }
  const onEvent = config.onRedisEvent;
  if (onEvent !== undefined && typeof onEvent !== 'function') {
    throw new TypeError(`limiter: onRedisEvent must be a function (kind, error) => void; got ${describe(onEvent)}`);
  }
  const lease = config.lease === undefined || config.lease === null ? 0 : config.lease;
  if (!Number.isInteger(lease) || lease < 0) {
    throw new RangeError(`limiter: lease must be a whole number of units >= 1 (the largest batch a process takes); got ${describe(lease)}`);
  }
  const leaseMs = config.leaseMs === undefined ? 1000 : config.leaseMs;
  if (typeof leaseMs !== 'number' || !Number.isFinite(leaseMs) || leaseMs <= 0) {
    throw new RangeError(`limiter: leaseMs must be a finite number of ms > 0; got ${describe(leaseMs)}`);
  }
  let host = null;
  if (hostFactory !== undefined) {
    if (lease === 0) throw new TypeError("limiter: shared with redis keeps the host's leases: give lease: k too");
    host = hostFactory(lease, Math.ceil(leaseMs));
  }
  let local = null;
  if (onError === 'local') local = host !== null ? host : localFactory();
  return new RedisLimiter(settings, { client: config.redis, prefix, onError, timeoutMs, onEvent, lease, leaseMs, host }, local);
}

module.exports = { RedisLimiter, redisLimiter, scriptSource, RETRY_AFTER_FAILURE_MS };
