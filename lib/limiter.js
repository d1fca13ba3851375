'use strict';
// limiter(config): a TolmNode built from checked settings, which are remembered (outside the
// instance) so that the middleware can send rate-limit headers.
const { describe, rejectUnknown, isPlainObject, choice, number } = require('./settings');

const ALGORITHMS = ['token_bucket', 'sliding_window', 'fixed_window', 'leaky_bucket'];
const MODES = ['active', 'shadow', 'disabled'];
const SETTINGS = ['algorithm', 'mode', 'capacity', 'refillRate', 'apiKey'];
// The Redis store's settings (lib/redis.js): with `redis`, clients' state lives in Redis.
const REDIS_SETTINGS = ['redis', 'redisPrefix', 'onRedisError', 'redisTimeoutMs', 'onRedisEvent', 'windowMs', 'lease', 'leaseMs'];

// Names people bring from other limiters (or TolmNode's inert settings), with what to use.
const FOREIGN_SETTINGS = {
  limit: 'is an express-rate-limit option, not ours: set capacity (requests at once for the buckets, per 60-second window for the windows)',
  max: 'is an express-rate-limit option, not ours: set capacity',
  windowMs: 'is an express-rate-limit option, not ours: the window algorithms use a fixed 60-second window; for another rate use the token bucket\'s capacity and refillRate',
  refill_rate: 'is the Python spelling: use refillRate',
  api_key: 'is the Python spelling: use apiKey',
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
  if (redisConfig) return redisInstance(Class, settings, config);
  const instance = new Class({ ...settings });
  settingsOf.set(instance, Object.freeze(settings));
  return instance;
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
