'use strict';
// limiter(config): a TolmNode built from checked settings, which are remembered (outside the
// instance) so that the middleware can send rate-limit headers; and the header values those
// settings allow.

const ALGORITHMS = ['token_bucket', 'sliding_window', 'fixed_window', 'leaky_bucket'];
const MODES = ['active', 'shadow', 'disabled'];
const SETTINGS = ['algorithm', 'mode', 'capacity', 'refillRate', 'apiKey'];
// Largest Integer a structured header field may carry.
const MAX_FIELD_INTEGER = 999999999999999;
const WINDOW_S = 60;

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

function distance(a, b) {
  const row = Array.from({ length: b.length + 1 }, (_, j) => j);
  for (let i = 1; i <= a.length; i += 1) {
    let diagonal = row[0];
    row[0] = i;
    for (let j = 1; j <= b.length; j += 1) {
      const above = row[j];
      row[j] = Math.min(row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] === b[j - 1] ? 0 : 1));
      diagonal = above;
    }
  }
  return row[b.length];
}

// The choice `value` was most likely meant to be, if any is close.
function closest(value, choices) {
  const folded = String(value).trim().toLowerCase().replace(/[- ]/g, '_');
  let best = null;
  let bestDistance = Infinity;
  for (const choice of choices) {
    const d = distance(folded, choice.toLowerCase());
    if (d < bestDistance) {
      best = choice;
      bestDistance = d;
    }
  }
  return bestDistance <= Math.max(2, Math.floor(best.length / 3)) ? best : null;
}

function describe(value) {
  if (typeof value === 'string') return JSON.stringify(value);
  if (typeof value === 'function') return `a function${value.name ? ` (${value.name})` : ''}`;
  if (typeof value === 'bigint') return `${value}n`;
  if (typeof value === 'number' || value === undefined) return String(value);
  try {
    // JSON shows own properties only: name what else the object is.
    const proto = value === null ? null : Object.getPrototypeOf(value);
    if (proto !== null && proto !== Object.prototype && !Array.isArray(value)) {
      const made = typeof proto.constructor === 'function' && proto.constructor.prototype === proto;
      return made ? `an instance of ${proto.constructor.name || 'a class'}`
        : `an object that inherits from another (${JSON.stringify(proto)})`;
    }
    return JSON.stringify(value) ?? String(value);
  } catch {
    return String(value);
  }
}

function quoted(choices) {
  return choices.map((c) => JSON.stringify(c)).join(', ');
}

// Throws for a key of `given` that is not in `known`, suggesting the closest known one.
function rejectUnknown(owner, what, given, known, foreign) {
  for (const name of Object.keys(given)) {
    if (known.includes(name)) continue;
    if (Object.prototype.hasOwnProperty.call(foreign, name)) {
      throw new TypeError(`${owner}: ${what} "${name}" ${foreign[name]}`);
    }
    const guess = closest(name, known);
    throw new TypeError(`${owner}: unknown ${what} "${name}"${guess ? `; did you mean "${guess}"?` : ''} (known: ${known.join(', ')})`);
  }
}

function choice(setting, value, choices) {
  if (typeof value !== 'string') {
    throw new TypeError(`limiter: config.${setting} must be a string, one of ${quoted(choices)}; got ${describe(value)}`);
  }
  if (!choices.includes(value)) {
    const guess = closest(value, choices);
    throw new RangeError(`limiter: config.${setting} ${describe(value)} is not one of ${quoted(choices)}${guess ? `; did you mean "${guess}"?` : ''}`);
  }
  return value;
}

function number(setting, value, lowest, accepted) {
  if (typeof value !== 'number') {
    throw new TypeError(`limiter: config.${setting} must be ${accepted}; got ${describe(value)} (${typeof value})`);
  }
  if (!Number.isFinite(value) || value < lowest) {
    throw new RangeError(`limiter: config.${setting} must be ${accepted}; got ${describe(value)}`);
  }
  return value;
}

function isPlainObject(value) {
  if (value === null || typeof value !== 'object' || Array.isArray(value)) return false;
  const proto = Object.getPrototypeOf(value);
  return proto === Object.prototype || proto === null;
}

// Whole seconds after which `rate` per second has covered `amount`, by the same float
// product the engine computes; null when that is beyond what a header can say.
function ceilDiv(amount, rate) {
  if (!(rate > 0)) return null;
  const quotient = amount / rate;
  if (!(quotient < MAX_FIELD_INTEGER)) return null;
  let seconds = Math.max(Math.ceil(quotient), 0);
  while (seconds * rate < amount) seconds += 1;
  return seconds;
}

// What the rate-limit headers say for one limiter's settings (see docs/middleware.md,
// "Headers"). `remaining(result)` never exceeds what the engine would admit next; `reset`
// is an upper bound on the seconds until the full quota is back and `retryAfter` one on the
// seconds until a refused client is admitted again, both null when that never happens.
class Policy {
  constructor({ algorithm, capacity, refillRate }) {
    this.name = algorithm;
    this.algorithm = algorithm;
    this.rate = refillRate;
    let quota;
    let window;
    if (algorithm === 'sliding_window' || algorithm === 'fixed_window') {
      quota = Math.floor(capacity);
      window = WINDOW_S;
      // A window restarts at most 60 s after it opened; an accepted request leaves the
      // sliding window only once it is more than 60 s old, hence 61 whole seconds.
      this.windowReset = algorithm === 'fixed_window' ? WINDOW_S : 61;
      this.retryAfter = this.windowReset;
      this.exact = true;
    } else {
      // From idle, the token bucket admits its whole tokens; the leaky bucket admits while
      // its level is below capacity, so a fractional capacity rounds up.
      quota = algorithm === 'token_bucket' ? Math.floor(capacity) : Math.ceil(capacity);
      window = ceilDiv(quota, refillRate);
      this.windowReset = null;
      // A refused token bucket holds less than one token; a refused leaky bucket is less
      // than one unit above capacity. Either way one unit of refill is enough.
      this.retryAfter = ceilDiv(1, refillRate);
      // The detail text rounds the bucket's fraction to nearest, which can be one above its
      // floor, unless nothing ever leaves a fraction: whole capacity and no refill.
      this.exact = refillRate === 0 && Number.isInteger(capacity);
    }
    this.quota = Math.min(quota, MAX_FIELD_INTEGER);
    this.quotaText = String(this.quota);
    const item = `"${this.name}";q=${this.quota}`;
    this.policyField = window === null ? item : `${item};w=${window}`;
    this.retryAfterText = this.retryAfter === null ? null : String(this.retryAfter);
    this.refusedField = this.item(0, this.retryAfter);
    // RateLimit texts of admitted requests, by remaining count (bounded).
    this.admitted = new Map();
  }

  item(remaining, reset) {
    const item = `"${this.name}";r=${remaining}`;
    return reset === null ? item : `${item};t=${reset}`;
  }

  // [RateLimit text, reset seconds or null] for an admitted request with `remaining` left.
  admittedField(remaining) {
    let known = this.admitted.get(remaining);
    if (known === undefined) {
      const reset = this.reset(remaining);
      known = [this.item(remaining, reset), reset];
      if (this.admitted.size >= 4096) this.admitted.clear();
      this.admitted.set(remaining, known);
    }
    return known;
  }

  // Allowance left after an admitted request, from the detail text ("4 requests
  // remaining", "3 tokens remaining", "-0 bucket space remaining").
  remaining(result) {
    if (result.wouldBlock) return 0;
    let n = parseInt(result.debugInfo, 10);
    if (!(n > 0)) return 0;
    if (!this.exact) n -= 1;
    return Math.min(n, MAX_FIELD_INTEGER);
  }

  reset(remaining) {
    if (this.windowReset !== null) return this.windowReset;
    // The quota is back once `quota - remaining` units have refilled or drained: a token
    // bucket holds at least `remaining` tokens; a leaky bucket's level is at most capacity
    // minus `remaining` (below capacity + 1 when that is 0), and it admits the whole quota
    // once its level is below 1 minus the capacity's rounding up.
    return ceilDiv(this.quota - remaining, this.rate);
  }
}

// A new TolmNode from checked settings. `options.TolmNode` is the class to build with
// (default: this package's addon), for a caller that loads the addon from elsewhere.
function limiter(config, options) {
  if (config === undefined) config = {};
  if (!isPlainObject(config)) {
    throw new TypeError(`limiter: config must be a plain object such as { capacity: 100, refillRate: 10 }; got ${describe(config)}`);
  }
  rejectUnknown('limiter', 'setting', config, SETTINGS, FOREIGN_SETTINGS);
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
  const instance = new Class({ ...settings });
  settingsOf.set(instance, Object.freeze(settings));
  return instance;
}

// The settings a limiter() instance was built from, frozen; undefined for anything else.
function limiterSettings(instance) {
  return (instance !== null && typeof instance === 'object') ? settingsOf.get(instance) : undefined;
}

module.exports = {
  limiter, limiterSettings, Policy, closest, describe, rejectUnknown, isPlainObject,
  MAX_FIELD_INTEGER,
};
