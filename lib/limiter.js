'use strict';
// limiter(config): a TolmNode built from checked settings, which are remembered (outside the
// instance) so that the middleware can send rate-limit headers.
const { describe, rejectUnknown, isPlainObject, choice, number } = require('./settings');

const ALGORITHMS = ['token_bucket', 'sliding_window', 'fixed_window', 'leaky_bucket'];
const MODES = ['active', 'shadow', 'disabled'];
const SETTINGS = ['algorithm', 'mode', 'capacity', 'refillRate', 'apiKey', 'shared', 'maxClients', 'clock'];
const CLOCKS = ['monotonic', 'wall'];
// A shared region's size when maxClients is not given: about 7.5 MB for the buckets.
const DEFAULT_SHARED_CLIENTS = 100000;
const MAX_CLIENTS_LIMIT = 2 ** 28;
// Longest time a client may need to get its whole allowance back before the limiter warns
// that, without maxClients, its memory grows with every client it has ever seen.
const RECOVERY_WARNING_S = 86400;
// The Redis store's settings (lib/redis.js): with `redis`, clients' state lives in Redis.
const REDIS_SETTINGS = ['redis', 'redisPrefix', 'onRedisError', 'redisTimeoutMs', 'onRedisEvent', 'windowMs', 'lease', 'leaseMs'];

// Names people bring from other limiters (or TolmNode's inert settings), with what to use.
const FOREIGN_SETTINGS = {
  limit: 'is an express-rate-limit option, not ours: set capacity (requests at once for the buckets, per 60-second window for the windows)',
  max: 'is an express-rate-limit option, not ours: set capacity',
  windowMs: 'is an express-rate-limit option, not ours: the window algorithms use a fixed 60-second window; for another rate use the token bucket\'s capacity and refillRate',
  refill_rate: 'is the Python spelling: use refillRate',
  api_key: 'is the Python spelling: use apiKey',
  max_clients: 'is the Python spelling: use maxClients',
  requestsPerMinute: 'is stored by TolmNode but no limit depends on it: set capacity and refillRate',
  requestsPerSecond: 'is stored by TolmNode but no limit depends on it: set capacity and refillRate',
  burstLimit: 'is stored by TolmNode but no limit depends on it: set capacity',
  burstMultiplier: 'is stored by TolmNode but no limit depends on it: set capacity',
  blockDurationMs: 'is stored by TolmNode but no limit depends on it',
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
  const settings = {
    algorithm: config.algorithm === undefined ? 'token_bucket' : choice('algorithm', config.algorithm, ALGORITHMS),
    mode: config.mode === undefined ? 'active' : choice('mode', config.mode, MODES),
    capacity: config.capacity === undefined ? 100 : number('capacity', config.capacity, 1, 'a finite number >= 1'),
    refillRate: config.refillRate === undefined ? 10 : number('refillRate', config.refillRate, 0, 'a finite number >= 0'),
  };
  if (config.apiKey !== undefined) {
    if (typeof config.apiKey !== 'string') {
      throw new TypeError(`limiter: config.apiKey must be a string; got ${describe(config.apiKey)}`);
    }
    settings.apiKey = config.apiKey;
  }
  if (redisConfig) {
    if (config.shared !== undefined || config.maxClients !== undefined) {
      throw new TypeError('limiter: shared and maxClients are for the in-process engine, not with redis');
    }
    return redisInstance(Class, settings, config);
  }
  Object.assign(settings, processOptions(config));
  const instance = build(Class, settings);
  settingsOf.set(instance, Object.freeze(settings));
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
    const { algorithm, mode, capacity, refillRate, apiKey } = settings;
    return new Class(apiKey === undefined ? { algorithm, mode, capacity, refillRate } : { algorithm, mode, capacity, refillRate, apiKey });
  }
  const options = { ...settings };
  if (options.shared === undefined) delete options.shared;
  const instance = Class._open(options);
  Object.defineProperties(instance, {
    // Forgets every client (in a shared region: for every process that uses it).
    clear: { value: () => instance._clear() },
    // { clients, evictions }: clients kept now, clients pushed out by maxClients or a full region.
    stats: { value: () => instance._stats() },
  });
  return instance;
}

function recoverySeconds({ algorithm, capacity, refillRate }) {
  if (algorithm === 'sliding_window' || algorithm === 'fixed_window') return 60;
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


function redisInstance(Class, settings, config) {
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
  const { redisLimiter } = require('./redis');
  const instance = redisLimiter({ ...settings, windowMs }, config, local);
  settingsOf.set(instance, Object.freeze({ ...settings }));
  return instance;
}

// The settings a limiter() instance was built from, frozen; undefined for anything else.
function limiterSettings(instance) {
  return (instance !== null && typeof instance === 'object') ? settingsOf.get(instance) : undefined;
}

module.exports = { limiter, limiterSettings };
module.exports.SETTINGS = SETTINGS;
