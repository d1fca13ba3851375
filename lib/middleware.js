'use strict';
// Rate-limiting middleware around a TolmNode: `rateLimit` has the (req, res, next) shape of
// Express and Connect, `withRateLimit` wraps a plain node:http request handler. Both key a
// request by `options.identity(req)` when it returns a value (in a namespace of its own), else by
// the client address (an IPv6 client by its network), else by UNKNOWN_KEY; they send the
// IETF RateLimit-Policy and RateLimit headers, answer a refused request 429 with Retry-After
// and a short JSON body (or through options.onLimited), and give every checked request the
// limiter's decision as `req.tolm` (and `res.locals.tolm` under Express).
const { isAsyncFunction } = require('node:util').types;
const {
  UNKNOWN_KEY, addressKey, identityKey, fitKey, nat64Networks, proxyMatcher, forwardedClient,
} = require('./keys');
const { limiter, limiterSettings } = require('./limiter');
const { describe, rejectUnknown, isPlainObject } = require('./settings');
const { Policy } = require('./headers');
const { warnIfClustered } = require('./workers');
const { RedisLimiter } = require('./redis');

const REFUSED_STATUS = 429;
const OPTIONS = ['identity', 'headers', 'legacyHeaders', 'ipv6Subnet', 'nat64Prefixes', 'onLimited',
  'skip', 'trustProxy', 'key', 'handler'];
// The names the Python middleware shares, and the older ones that still work (deprecated).
const RENAMED = { key: 'identity', handler: 'onLimited' };
const FOREIGN_OPTIONS = {
  keyGenerator: 'is an express-rate-limit option: use identity (req) => string | undefined',
  standardHeaders: 'is an express-rate-limit option: use headers (true by default)',
  message: 'is an express-rate-limit option: use onLimited (req, res, info) to answer refusals',
  statusCode: 'is an express-rate-limit option: use onLimited (req, res, info) to answer refusals',
  requestPropertyName: 'is an express-rate-limit option: the result is always req.tolm',
  limit: 'is an express-rate-limit option: set capacity in the limiter config',
  max: 'is an express-rate-limit option: set capacity in the limiter config',
  windowMs: 'is an express-rate-limit option: the window algorithms use a fixed 60-second window; for another rate use the token bucket\'s capacity and refillRate in the limiter config',
  capacity: 'is a limiter setting: pass it in the first argument, rateLimit({ capacity: ... }, options)',
  refillRate: 'is a limiter setting: pass it in the first argument, rateLimit({ refillRate: ... }, options)',
  algorithm: 'is a limiter setting: pass it in the first argument',
  mode: 'is a limiter setting: pass it in the first argument',
  ipv6_subnet: 'is the Python spelling: use ipv6Subnet',
  legacy_headers: 'is the Python spelling: use legacyHeaders',
  nat64_prefixes: 'is the Python spelling: use nat64Prefixes',
  on_limited: 'is the Python spelling: use onLimited',
};

function toLimiter(owner, limiterOrConfig) {
  if (limiterOrConfig === limiter) {
    throw new TypeError(`${owner}: got the limiter function itself; call it: ${owner}(limiter({ capacity: ... }), ...)`);
  }
  if (typeof limiterOrConfig === 'function') {
    const hint = limiterOrConfig.prototype && typeof limiterOrConfig.prototype.checkRequest === 'function'
      ? 'a TolmNode class, not an instance; build one with limiter({ ... })'
      : describe(limiterOrConfig);
    throw new TypeError(`${owner}: the first argument must be a limiter or a config object; got ${hint}`);
  }
  if (limiterOrConfig instanceof RedisLimiter) return limiterOrConfig;
  if (limiterOrConfig && typeof limiterOrConfig.checkRequest === 'function') {
    if (typeof limiterOrConfig._decide !== 'function') {
      throw new TypeError(`${owner}: the limiter comes from another build of the addon, which lacks what the middleware calls; build it with limiter({ ... }) from 'tolm/middleware'`);
    }
    return limiterOrConfig;
  }
  if (limiterOrConfig === undefined || isPlainObject(limiterOrConfig)) return limiter(limiterOrConfig);
  throw new TypeError(`${owner}: the first argument must be a limiter (from limiter({ ... })) or a config object; got ${describe(limiterOrConfig)}`);
}

function flag(owner, options, name, fallback) {
  const value = options[name];
  if (value === undefined) return fallback;
  if (typeof value !== 'boolean') throw new TypeError(`${owner}: options.${name} must be true or false; got ${describe(value)}`);
  return value;
}

// `identity` and `skip` are called and their answers used at once, never awaited: an async
// function's promise would be taken for the answer itself (a skip that is always true, one
// key for every client), so one is refused here (`answers`) and a promise returned at run
// time is an error. An onLimited promise is only watched for a rejection.
function hook(owner, options, name, shape, answers = false) {
  let value = options[name];
  const old = Object.keys(RENAMED).find((k) => RENAMED[k] === name);
  if (old !== undefined && options[old] !== undefined) {
    if (value !== undefined) {
      throw new TypeError(`${owner}: options.${old} is the older name of options.${name}; give only ${name}`);
    }
    value = options[old];
    name = old;
  }
  if (value !== undefined && typeof value !== 'function') {
    throw new TypeError(`${owner}: options.${name} must be a function ${shape}; got ${describe(value)}`);
  }
  if (answers && value !== undefined && isAsyncFunction(value)) {
    throw new TypeError(`${owner}: options.${name} must be a plain function ${shape}, not an async one: the middleware does not await it`);
  }
  return value;
}

function isThenable(value) {
  return value !== null && (typeof value === 'object' || typeof value === 'function')
    && typeof value.then === 'function';
}

// The identity options.identity returned, as a key: a string, number or bigint as its text. Any
// other value is an error, since its text would put every client in one bucket ("[object
// Object]") or change from request to request.
function chosenIdentity(chosen) {
  const kind = typeof chosen;
  if (kind === 'string') return identityKey(chosen);
  if ((kind === 'number' && Number.isFinite(chosen)) || kind === 'bigint') return identityKey(String(chosen));
  if (kind === 'object' || kind === 'function') {
    if (isThenable(chosen)) {
      throw new TypeError('options.identity returned a promise; it must be a plain function that returns a string (or undefined to key by address)');
    }
    const text = String(chosen);
    if (!/^\[object [^\]]*\]$/.test(text)) return identityKey(text);
  }
  throw new TypeError(`options.identity returned ${describe(chosen)}; it must return a string or number identifying the client (or undefined to key by address)`);
}

function subnetOf(owner, value) {
  if (value === undefined) return 56;
  if (value === false) return false;
  if (!Number.isInteger(value) || value < 1 || value > 128) {
    throw new RangeError(`${owner}: options.ipv6Subnet must be a prefix length from 1 to 128, or false to key IPv6 clients by full address; got ${describe(value)}`);
  }
  return value;
}

function trustOf(owner, value) {
  if (value === undefined || value === false) return null;
  if (value === true) {
    throw new TypeError(`${owner}: options.trustProxy true would let every client choose its address with X-Forwarded-For; give the number of proxy hops in front of this server (e.g. 1) or the proxies' addresses (e.g. ["10.0.0.0/8"])`);
  }
  if (typeof value === 'number') {
    if (!Number.isInteger(value) || value < 1) {
      throw new RangeError(`${owner}: options.trustProxy as a hop count must be an integer >= 1; got ${describe(value)}`);
    }
    return (address, hop) => hop < value;
  }
  if (Array.isArray(value) && value.length > 0) {
    const matches = proxyMatcher(owner, value);
    return (address) => matches(address);
  }
  throw new TypeError(`${owner}: options.trustProxy must be a hop count (integer >= 1) or a non-empty array of proxy addresses / CIDR networks; got ${describe(value)}`);
}

// Everything a middleware needs, checked once when it is built.
function build(owner, limiterOrConfig, options, extra) {
  const instance = toLimiter(owner, limiterOrConfig);
  if (options === undefined || options === null) options = {};
  if (!isPlainObject(options)) throw new TypeError(`${owner}: options must be a plain object; got ${describe(options)}`);
  rejectUnknown(owner, 'option', options, OPTIONS.concat(extra), FOREIGN_OPTIONS);
  const standard = flag(owner, options, 'headers', true);
  const legacy = flag(owner, options, 'legacyHeaders', false);
  const settings = limiterSettings(instance);
  warnIfClustered(settings);
  if ((standard || legacy) && !settings) {
    throw new TypeError(`${owner}: the rate-limit headers need the limiter's settings, which a TolmNode built with new TolmNode(...) does not expose; build it with limiter({ ... }) from 'tolm/middleware', or pass { headers: false, legacyHeaders: false }`);
  }
  return {
    instance,
    // The engine writes each request's numbers here (see Decision).
    numbers: new Float64Array(3),
    // A Redis limiter's decision is a round trip, awaited (each with numbers of its own).
    awaited: instance instanceof RedisLimiter,
    algorithm: settings ? settings.algorithm : undefined,
    policy: settings ? new Policy(settings) : null,
    standard,
    legacy,
    key: hook(owner, options, 'identity', '(req) => string | undefined', true),
    skip: hook(owner, options, 'skip', '(req) => boolean', true),
    handler: hook(owner, options, 'onLimited', '(req, res, info) => void'),
    subnet: subnetOf(owner, options.ipv6Subnet),
    nat64: nat64Networks(owner, options.nat64Prefixes),
    trusted: trustOf(owner, options.trustProxy),
  };
}

function clientAddress(req, trusted) {
  if (trusted) return forwardedClient(req, trusted);
  // Express's req.ip honours its 'trust proxy' setting; plain node:http has only the socket,
  // whose address is undefined once the client has gone.
  if (typeof req.ip === 'string' && req.ip !== '') return req.ip;
  const socket = req.socket;
  return socket ? socket.remoteAddress : undefined;
}

function routeOf(req) {
  const url = typeof req.originalUrl === 'string' ? req.originalUrl : req.url;
  if (typeof url !== 'string' || url === '') return '/';
  const query = url.indexOf('?');
  return query === -1 ? url : url.slice(0, query) || '/';
}

function keyOf(state, req) {
  if (state.key) {
    const chosen = state.key(req);
    if (chosen !== undefined && chosen !== null) return chosenIdentity(chosen);
  }
  return addressKey(clientAddress(req, state.trusted), state.subnet, state.nat64);
}

const REASONS = [undefined, 'within_limit', 'limit_exceeded', 'token_exhausted'];

// What req.tolm holds: the engine's decision on the request and its numbers. The waits are
// ms from the check, null where the engine knows none (nothing refills, or disabled mode).
class Decision {
  constructor(outcome, algorithm, numbers) {
    this.allowed = (outcome & 1) === 1;
    this.wouldBlock = (outcome & 2) === 2;
    // Disabled mode evaluates nothing and gives no reason.
    this.reason = REASONS[outcome >> 2];
    this.algorithm = algorithm;
    this.remaining = numbers[0] >= 0 ? numbers[0] : null;
    this.admitAfterMs = numbers[1] >= 0 ? numbers[1] : null;
    this.wholeAfterMs = numbers[2] >= 0 ? numbers[2] : null;
  }
}

function setHeaders(res, fields) {
  for (let i = 0; i < fields.length; i += 2) res.setHeader(fields[i], fields[i + 1]);
}

// The JSON body of a 429 answer: what was refused and why, in the engine's words.
function refusalBody(decision) {
  return JSON.stringify({
    error: 'too_many_requests',
    reason: decision.reason,
    algorithm: decision.algorithm,
    remaining: decision.remaining,
  });
}

function refuse(res, decision) {
  const body = refusalBody(decision);
  if (res.headersSent) {
    res.end();
    return;
  }
  res.statusCode = REFUSED_STATUS;
  res.setHeader('Content-Type', 'application/json');
  res.setHeader('Content-Length', Buffer.byteLength(body));
  res.end(body);
}

const SKIPPED = {};

// Checks one request: SKIPPED, the decision when the request may go on, or null when it was
// refused and has been answered. `fail(err)` hears of a promise that options.onLimited
// returned and that rejected.
function check(state, req, res, fail) {
  if (state.skip) {
    const skipped = state.skip(req);
    if (isThenable(skipped)) {
      throw new TypeError('options.skip returned a promise; it must be a plain function that returns true or false');
    }
    if (skipped) return SKIPPED;
  }
  if (state.awaited) {
    const numbers = new Float64Array(3);
    return state.instance._decide(keyOf(state, req), routeOf(req), numbers)
      .then((outcome) => answer(state, req, res, fail, outcome, numbers));
  }
  const numbers = state.numbers;
  const outcome = state.instance._decide(keyOf(state, req), routeOf(req), numbers);
  return answer(state, req, res, fail, outcome, numbers);
}

function answer(state, req, res, fail, outcome, numbers) {
  const decision = new Decision(outcome, state.algorithm, numbers);
  req.tolm = decision;
  if (res.locals && typeof res.locals === 'object') res.locals.tolm = decision;
  const policy = state.policy;
  const refused = !decision.allowed;
  // Disabled mode (no reason) evaluates nothing, so there is nothing to tell.
  if (policy && decision.reason !== undefined && !res.headersSent &&
      (state.standard || state.legacy || refused)) {
    // X-RateLimit-Reset counts from a reading taken after the engine's.
    const now = state.legacy ? Date.now() : 0;
    setHeaders(res, policy.headers(decision, now, state.standard, state.legacy));
  }
  if (!refused) return decision;
  if (state.handler) {
    const retryAfter = policy ? policy.retryAfter(decision.admitAfterMs) : null;
    const answered = state.handler(req, res, { result: decision, retryAfter: retryAfter === null ? undefined : retryAfter });
    if (isThenable(answered)) answered.then(undefined, fail);
  } else {
    refuse(res, decision);
  }
  return null;
}

// Express/Connect middleware. An error thrown by options.identity, options.skip or
// options.onLimited goes to next(err).
function rateLimit(limiterOrConfig, options) {
  const state = build('rateLimit', limiterOrConfig, options, []);
  return function tolmRateLimit(req, res, next) {
    let result;
    try {
      result = check(state, req, res, next);
    } catch (err) {
      next(err);
      return;
    }
    if (isThenable(result)) {
      result.then((decided) => { if (decided) next(); }, next);
      return;
    }
    if (result) next();
  };
}

// A node:http request listener that checks each request before `handler` sees it. An error
// thrown by options.identity, options.skip or options.onLimited is answered 500 (the request is
// neither served nor silently let through) and passed to options.onError when given.
function withRateLimit(limiterOrConfig, handler, options) {
  if (typeof handler !== 'function') {
    throw new TypeError(`withRateLimit: handler must be a function (req, res) => void; got ${describe(handler)}`);
  }
  const state = build('withRateLimit', limiterOrConfig, options, ['onError']);
  const onError = hook('withRateLimit', options || {}, 'onError', '(err, req) => void') || null;
  // Answers 500 before telling onError, so that an onError that throws in turn can neither
  // leave the client waiting nor take the server down.
  const fail = (err, req, res) => {
    if (!res.writableEnded) {
      if (!res.headersSent) res.statusCode = 500;
      res.end();
    }
    if (onError) {
      try {
        onError(err, req);
      } catch {
        // the 500 above is the answer; a failing error reporter changes nothing
      }
    }
  };
  return function tolmHandler(req, res) {
    let result;
    try {
      result = check(state, req, res, (err) => fail(err, req, res));
    } catch (err) {
      fail(err, req, res);
      return undefined;
    }
    if (isThenable(result)) {
      return result.then((decided) => (decided ? handler(req, res) : undefined),
        (err) => fail(err, req, res));
    }
    return result ? handler(req, res) : undefined;
  };
}

const NO_FIELDS = [];

// For the framework integrations (tolm/fastify, tolm/koa), which answer through their own
// objects: the decision on `req` (anything with what keyOf and routeOf read), the header pairs
// to send with the answer, and for a refusal the Retry-After seconds (null: never).
function decide(state, req) {
  const numbers = state.numbers;
  const decision = new Decision(state.instance._decide(keyOf(state, req), routeOf(req), numbers),
    state.algorithm, numbers);
  const policy = state.policy;
  let fields = NO_FIELDS;
  if (policy && decision.reason !== undefined &&
      (state.standard || state.legacy || !decision.allowed)) {
    fields = policy.headers(decision, state.legacy ? Date.now() : 0, state.standard, state.legacy);
  }
  const retryAfter = decision.allowed || !policy ? null : policy.retryAfter(decision.admitAfterMs);
  return { decision, fields, retryAfter };
}

module.exports = { limiter, limiterSettings, rateLimit, withRateLimit, UNKNOWN_KEY, fitKey };
module.exports._integration = { build, hook, decide, refusalBody, REFUSED_STATUS };
