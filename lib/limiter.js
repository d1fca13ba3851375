'use strict';
// limiter(config): a TolmNode built from checked settings, which are remembered (outside the
// instance) so that the middleware can send rate-limit headers.
const { describe, rejectUnknown, isPlainObject, choice, number } = require('./settings');
const { parseRate, MAX_WINDOW_MS } = require('./rates');
const { fitKey } = require('./keys');

const ALGORITHMS = ['token_bucket', 'sliding_window', 'fixed_window', 'leaky_bucket'];
const WINDOW_ALGORITHMS = ['sliding_window', 'fixed_window'];
const MODES = ['active', 'shadow', 'disabled'];
const SETTINGS = ['algorithm', 'mode', 'capacity', 'refillRate', 'apiKey', 'rate', 'windowMs', 'name',
  'shared', 'maxClients', 'clock'];
const CLOCKS = ['monotonic', 'wall'];
// A shared region's size when maxClients is not given: about 7.5 MB for the buckets.
const DEFAULT_SHARED_CLIENTS = 100000;
const MAX_CLIENTS_LIMIT = 2 ** 28;
// Longest time a client may need to get its whole allowance back before the limiter warns
// that, without maxClients, its memory grows with every client it has ever seen.
const RECOVERY_WARNING_S = 86400;
// The Redis store's settings (lib/redis.js): with `redis`, clients' state lives in Redis.
const REDIS_SETTINGS = ['redis', 'redisPrefix', 'onRedisError', 'redisTimeoutMs', 'onRedisEvent', 'lease', 'leaseMs'];
// The window algorithms' window when none is given (the one TolmNode itself has).
const DEFAULT_WINDOW_MS = 60000;
const NAME = /^[A-Za-z0-9_.-]{1,64}$/;

// Names people bring from other limiters (or TolmNode's inert settings), with what to use.
const FOREIGN_SETTINGS = {
  limit: 'is an express-rate-limit option, not ours: set capacity (requests at once for the buckets, per window for the windows), or rate: \'100/minute\'',
  max: 'is an express-rate-limit option, not ours: set capacity, or rate: \'100/minute\'',
  points: 'is a rate-limiter-flexible option, not ours: set capacity, or rate: \'100/minute\'',
  duration: 'is a rate-limiter-flexible option, not ours: set windowMs (ms), or rate: \'100/minute\'',
  refill_rate: 'is the Python spelling: use refillRate',
  api_key: 'is the Python spelling: use apiKey',
  max_clients: 'is the Python spelling: use maxClients',
  requestsPerMinute: 'is stored by TolmNode but no limit depends on it: set capacity and refillRate',
  requestsPerSecond: 'is stored by TolmNode but no limit depends on it: set capacity and refillRate',
  burstLimit: 'is stored by TolmNode but no limit depends on it: set capacity',
  burstMultiplier: 'is stored by TolmNode but no limit depends on it: set capacity',
  blockDurationMs: 'is stored by TolmNode but no limit depends on it: block a client with limiter.block(key, ms)',
  debug: 'is stored by TolmNode but nothing reads it; build a TolmNode directly to set it',
  backendUrl: 'is stored by TolmNode but never contacted; build a TolmNode directly to set it',
};

const settingsOf = new WeakMap();

// A new TolmNode from checked settings. `options.TolmNode` is the class to build with
// (default: this package's addon), for a caller that loads the addon from elsewhere.
function limiter(config, options) {
  if (config === undefined) config = {};
  if (!isPlainObject(config)) {
    throw new TypeError(`limiter: config must be a plain object such as { capacity: 100, refillRate: 10 }; got ${describe(config)}`);
  }
  const redisConfig = config.redis !== undefined && config.redis !== null;
  rejectUnknown('limiter', 'setting', config, redisConfig ? SETTINGS.concat(REDIS_SETTINGS) : SETTINGS, FOREIGN_SETTINGS);
  let Class;
  if (options !== undefined) {
    if (!isPlainObject(options)) throw new TypeError(`limiter: options must be a plain object such as { TolmNode }; got ${describe(options)}`);
    rejectUnknown('limiter', 'option', options, ['TolmNode'], {});
    Class = options.TolmNode;
    if (Class !== undefined && (typeof Class !== 'function' || !Class.prototype ||
        typeof Class.prototype.checkRequest !== 'function')) {
      throw new TypeError(`limiter: options.TolmNode must be the TolmNode class; got ${describe(Class)}`);
    }
  }
  if (Class === undefined) {
    // Loaded only here, so that a caller who brings its own TolmNode (the demo and the tests
    // load build/tolm_native.node) never loads the packaged addon.
    Class = require('..').TolmNode;
  }
  const algorithm = config.algorithm === undefined ? 'token_bucket' : choice('algorithm', config.algorithm, ALGORITHMS);
  const windowed = WINDOW_ALGORITHMS.includes(algorithm);
  let { capacity, refillRate, windowMs } = config;
  if (config.rate !== undefined) {
    const given = ['capacity', 'refillRate', 'windowMs'].filter((name) => config[name] !== undefined);
    if (given.length > 0) throw new TypeError(`limiter: config.rate says the limit already; give it or ${given.join(', ')}, not both`);
    const rate = parseRate(config.rate);
    capacity = rate.limit;
    if (windowed) {
      windowMs = rate.windowMs;
      refillRate = 0;
    } else {
      refillRate = rate.limit / (rate.windowMs / 1000);
    }
  }
  if (windowMs !== undefined && !windowed && !redisConfig) {
    throw new TypeError(`limiter: config.windowMs is the window of sliding_window and fixed_window; ${algorithm} refills instead: give refillRate, or rate: '100/minute'`);
  }
  if (windowMs !== undefined && !(Number.isInteger(windowMs) && windowMs >= 1 && windowMs <= MAX_WINDOW_MS)) {
    throw new RangeError(`limiter: config.windowMs must be a whole number of ms from 1 to ${MAX_WINDOW_MS} (366 days); got ${describe(windowMs)}`);
  }
  if (config.name !== undefined && (typeof config.name !== 'string' || !NAME.test(config.name))) {
    throw new RangeError(`limiter: config.name must be 1 to 64 letters, digits, '_', '-' or '.', so that a header can carry it; got ${describe(config.name)}`);
  }
  const settings = {
    algorithm,
    mode: config.mode === undefined ? 'active' : choice('mode', config.mode, MODES),
    capacity: capacity === undefined ? 100 : number('capacity', capacity, 1, 'a finite number >= 1'),
    refillRate: refillRate === undefined ? 10 : number('refillRate', refillRate, 0, 'a finite number >= 0'),
  };
  if (config.apiKey !== undefined) {
    if (typeof config.apiKey !== 'string') {
      throw new TypeError(`limiter: config.apiKey must be a string; got ${describe(config.apiKey)}`);
    }
    settings.apiKey = config.apiKey;
  }
  if (redisConfig) {
    if (config.shared === undefined && config.maxClients !== undefined) {
      throw new TypeError("limiter: maxClients with redis sizes the host's lease region: give shared: 'name' and lease: k too");
    }
    const host = config.shared === undefined ? {} : processOptions(config);
    return redisInstance(Class, settings, { ...config, windowMs }, config.name === undefined ? algorithm : config.name, host);
  }
  Object.assign(settings, processOptions(config));
  settings.windowMs = windowMs === undefined ? DEFAULT_WINDOW_MS : windowMs;
  const instance = build(Class, settings);
  settings.name = config.name === undefined ? algorithm : config.name;
  settingsOf.set(instance, Object.freeze(settings));
  Object.defineProperties(instance, FRIENDLY);
  if (settings.shared === undefined && settings.maxClients === 0) warnIfUnbounded(settings);
  return instance;
}

// shared, maxClients and clock, checked.
function processOptions(config) {
  const out = { clock: config.clock === undefined ? 'monotonic' : choice('clock', config.clock, CLOCKS) };
  if (config.shared !== undefined) {
    const name = config.shared;
    if (typeof name !== 'string') {
      throw new TypeError(`limiter: config.shared must be a string naming the region; got ${describe(name)}`);
    }
    if (!/^[!-~]{1,200}$/.test(name) || name.includes('/') || name.includes('\\')) {
      throw new RangeError(`limiter: config.shared must be 1 to 200 printable ASCII characters without blanks, '/' or '\\'; got ${describe(name)}`);
    }
    out.shared = name;
  }
  const lowest = out.shared === undefined ? 0 : 1;
  let count = config.maxClients;
  if (count === undefined) count = out.shared === undefined ? 0 : DEFAULT_SHARED_CLIENTS;
  if (typeof count !== 'number' || !Number.isInteger(count) || count < lowest || count > MAX_CLIENTS_LIMIT) {
    const accepted = `an integer from ${lowest} to ${MAX_CLIENTS_LIMIT}${lowest ? '' : ' (0: no bound)'}`;
    const Failure = typeof count === 'number' ? RangeError : TypeError;
    throw new Failure(`limiter: config.maxClients must be ${accepted}; got ${describe(count)}`);
  }
  out.maxClients = count;
  return out;
}

// The TolmNode for checked settings: through the addon's opener, which knows the shared store,
// the client bound and the monotonic clock; a class without it (an addon from before them)
// builds as the constructor does.
function build(Class, settings) {
  if (typeof Class._open !== 'function') {
    if (settings.shared !== undefined || settings.maxClients !== 0) {
      throw new Error('limiter: this TolmNode has no shared store or maxClients; rebuild or reinstall tolm');
    }
    if (settings.windowMs !== DEFAULT_WINDOW_MS) {
      throw new TypeError('limiter: this build of the addon has only 60-second windows (no TolmNode._open); rebuild it from this release');
    }
    const { algorithm, mode, capacity, refillRate, apiKey } = settings;
    return new Class(apiKey === undefined ? { algorithm, mode, capacity, refillRate } : { algorithm, mode, capacity, refillRate, apiKey });
  }
  const options = { ...settings };
  if (options.shared === undefined) delete options.shared;
  return Class._open(options);
}

function recoverySeconds({ algorithm, capacity, refillRate, windowMs }) {
  if (WINDOW_ALGORITHMS.includes(algorithm)) return windowMs / 1000;
  if (!(refillRate > 0)) return Infinity;
  return capacity / refillRate;
}

function warnIfUnbounded(settings) {
  const seconds = recoverySeconds(settings);
  if (!(seconds > RECOVERY_WARNING_S)) return;
  const took = Number.isFinite(seconds)
    ? `needs ${Number((seconds / 3600).toPrecision(4))} hours to get its allowance back`
    : 'never gets its allowance back';
  process.emitWarning(`limiter: with capacity ${settings.capacity} and refillRate ${settings.refillRate} a limited client ${took}, so it is never forgotten and memory grows with every client seen; pass maxClients: N to bound it`,
    { type: 'TolmWarning', code: 'TOLM_UNBOUNDED' });
}

function hiddenMember(instance, name) {
  const found = instance[name];
  if (typeof found !== 'function') {
    throw new TypeError(`limiter: this build of the addon has no TolmNode ${name}; rebuild it from this release`);
  }
  return found;
}

function units(owner, value, what = 'units') {
  if (typeof value !== 'number' || !Number.isFinite(value) || !(value > 0)) {
    throw new RangeError(`${owner}: ${what} must be a finite number > 0; got ${describe(value)}`);
  }
  return value;
}

function keyText(owner, key) {
  if (typeof key !== 'string') {
    throw new TypeError(`${owner}: key must be a string (the key the client's requests were checked with: req.tolm.key under the middleware); got ${describe(key)}`);
  }
  return fitKey(key, 'ip#');
}

const REASONS = [undefined, 'within_limit', 'limit_exceeded', 'token_exhausted'];

// One decision from _decide's outcome and numbers, as req.tolm shows it.
function decisionOf(outcome, algorithm, numbers, key, cost) {
  return {
    allowed: (outcome & 1) === 1,
    wouldBlock: (outcome & 2) === 2,
    // Disabled mode evaluates nothing and gives no reason.
    reason: REASONS[outcome >> 2],
    algorithm,
    remaining: numbers[0] >= 0 ? numbers[0] : null,
    admitAfterMs: numbers[1] >= 0 ? numbers[1] : null,
    wholeAfterMs: numbers[2] >= 0 ? numbers[2] : null,
    key,
    cost,
  };
}

// Methods of a limiter() instance beside TolmNode's own. The key is the text the client's
// requests are keyed by: the one given to check, or req.tolm.key under the middleware.
const FRIENDLY = {
  // Decides one request of `key` taking `cost` units (all of them, or none when the allowance
  // is short): the decision as req.tolm holds it.
  check: {
    value: function check(key, route = '/', { cost = 1 } = {}) {
      const fitted = keyText('check', key);
      if (cost !== 1) units('check', cost, 'cost');
      const numbers = new Float64Array(3);
      const outcome = cost === 1 ? this._decide(fitted, String(route), numbers)
        : hiddenMember(this, '_decide').call(this, fitted, String(route), numbers, cost);
      return decisionOf(outcome, settingsOf.get(this).algorithm, numbers, fitted, cost);
    },
  },
  // Forgets the client: its next request starts afresh, and a block on it ends.
  reset: { value: function reset(key) { hiddenMember(this, '_reset').call(this, keyText('reset', key)); } },
  // Gives `n` units back to the client (never beyond a fresh client's allowance).
  refund: {
    value: function refund(key, n = 1) {
      hiddenMember(this, '_adjust').call(this, keyText('refund', key), -units('refund', n));
    },
  },
  // Takes `n` more units from the client, without a request.
  penalize: {
    value: function penalize(key, n = 1) {
      hiddenMember(this, '_adjust').call(this, keyText('penalize', key), units('penalize', n));
    },
  },
  // Refuses every request of the client for `ms` milliseconds (ended early only by reset).
  block: {
    value: function block(key, ms) {
      hiddenMember(this, '_block').call(this, keyText('block', key), Math.max(1, Math.ceil(units('block', ms, 'ms'))));
    },
  },
  // Forgets every client (in a shared region: for every process that uses it).
  clear: { value: function clear() { hiddenMember(this, '_clear').call(this); } },
  // { clients, evictions }: clients kept now, clients pushed out by maxClients or a full region.
  stats: { value: function stats() { return hiddenMember(this, '_stats').call(this); } },
};

function redisInstance(Class, settings, config, name, host) {
  if (settings.apiKey !== undefined) throw new TypeError('limiter: apiKey is not available with redis');
  const windowMs = config.windowMs === undefined ? 60000 : config.windowMs;
  if (!Number.isInteger(windowMs) || windowMs < 1) {
    throw new RangeError(`limiter: windowMs must be a whole number of ms >= 1; got ${describe(windowMs)}`);
  }
  const local = () => {
    // The in-process limiter that answers while Redis cannot, with the same settings.
    if (typeof Class._open === 'function') return Class._open({ ...settings, windowMs, clock: 'monotonic' });
    if (windowMs !== 60000 && settings.algorithm.endsWith('_window')) {
      throw new RangeError("limiter: onRedisError 'local' with a window other than 60000 ms needs a newer addon");
    }
    return new Class({ ...settings });
  };
  // With shared: the host's lease region, which also answers while Redis cannot (its clients'
  // own states stay in this process).
  const hostFactory = host.shared === undefined ? undefined : (lease, leaseMs) => {
    if (typeof Class._open !== 'function') {
      throw new TypeError("limiter: this addon cannot keep a host's leases; rebuild or reinstall tolm");
    }
    return Class._open({ ...settings, windowMs, clock: 'monotonic', shared: host.shared, maxClients: host.maxClients, lease, leaseMs });
  };
  const { redisLimiter } = require('./redis');
  const instance = redisLimiter({ ...settings, windowMs }, config, local, hostFactory);
  settingsOf.set(instance, Object.freeze({ ...settings, windowMs, name }));
  return instance;
}

// The settings a limiter() instance was built from, frozen; undefined for anything else.
function limiterSettings(instance) {
  return (instance !== null && typeof instance === 'object') ? settingsOf.get(instance) : undefined;
}

module.exports = { limiter, limiterSettings, decisionOf, units };
module.exports.SETTINGS = SETTINGS;
