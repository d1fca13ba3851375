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
const { Policy, setMerged, FieldList } = require('./headers');
const { Limits, limits, combined } = require('./multi');
const { warnIfClustered } = require('./workers');
const { RedisLimiter } = require('./redis');

const REFUSED_STATUS = 429;
const OPTIONS = ['identity', 'headers', 'legacyHeaders', 'ipv6Subnet', 'nat64Prefixes', 'onLimited',
  'skip', 'trustProxy', 'key', 'handler', 'cost', 'skipSuccessful', 'skipFailed'];
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
  windowMs: 'is a limiter setting: pass it in the first argument, rateLimit({ algorithm: \'fixed_window\', capacity: 100, windowMs: 60000 }, options), or rate: \'100/minute\'',
  rate: 'is a limiter setting: pass it in the first argument, rateLimit({ rate: \'100/minute\' }, options)',
  skipSuccessfulRequests: 'is an express-rate-limit option: use skipSuccessful',
  skipFailedRequests: 'is an express-rate-limit option: use skipFailed',
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
  if (limiterOrConfig instanceof Limits) return limiterOrConfig;
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
  const group = instance instanceof Limits ? instance : null;
  const settings = group ? limiterSettings(group.limiters[0]) : limiterSettings(instance);
  warnIfClustered(settings);
  if ((standard || legacy) && !settings) {
    throw new TypeError(`${owner}: the rate-limit headers need the limiter's settings, which a TolmNode built with new TolmNode(...) does not expose; build it with limiter({ ... }) from 'tolm/middleware', or pass { headers: false, legacyHeaders: false }`);
  }
  const cost = hook(owner, options, 'cost', '(req) => number > 0', true);
  const skipSuccessful = flag(owner, options, 'skipSuccessful', false);
  const skipFailed = flag(owner, options, 'skipFailed', false);
  if ((cost || skipSuccessful || skipFailed) && instance instanceof RedisLimiter) {
    throw new TypeError(`${owner}: options.cost, skipSuccessful and skipFailed need an in-process limiter; a Redis limiter takes one unit a request`);
  }
  if ((cost || skipSuccessful || skipFailed) && !settings) {
    throw new TypeError(`${owner}: options.cost, skipSuccessful and skipFailed need a limiter built by limiter({ ... })`);
  }
  if ((skipSuccessful || skipFailed) && typeof (group ? group.limiters[0] : instance)._adjust !== 'function') {
    throw new TypeError(`${owner}: this build of the addon cannot give units back (no TolmNode _adjust), which skipSuccessful and skipFailed need; rebuild it from this release`);
  }
  const numbers = new Float64Array(3);
  const awaited = instance instanceof RedisLimiter;
  return {
    instance: group ? group.limiters[0] : instance,
    // Several limits: every one decides each request (see Limits).
    group,
    policies: group ? group.limiters.map((one) => new Policy(limiterSettings(one))) : null,
    cost,
    skipSuccessful,
    skipFailed,
    // The engine writes each request's numbers here (see Decision), through decideOne.
    numbers,
    decideOne: group || awaited ? null : deciderOf(instance, numbers),
    // A Redis limiter's decision is a round trip, awaited (each with numbers of its own).
    awaited,
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

// (key, route[, cost]) => outcome: `instance`'s check, writing each request's numbers into
// `numbers`. Where the addon offers it, a function bound natively to the instance and the array
// (_decider), which spares every request finding both; an instance whose _decide is not the
// addon's own (a subclass or a stand-in) is called through its _decide.
function deciderOf(instance, numbers) {
  let owner = instance;
  while (owner && !Object.prototype.hasOwnProperty.call(owner, '_decider')) owner = Object.getPrototypeOf(owner);
  if (owner && instance._decide === owner._decide) {
    const bound = owner._decider.call(instance, numbers);
    if (typeof bound === 'function') return bound;
  }
  return (key, route, cost) => (cost === undefined ? instance._decide(key, route, numbers)
    : instance._decide(key, route, numbers, cost));
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
// `key` is the text the client is keyed by (for limiter.reset(key) and the like), `cost` the
// units the request took.
class Decision {
  constructor(outcome, algorithm, numbers, key, cost) {
    this.allowed = (outcome & 1) === 1;
    this.wouldBlock = (outcome & 2) === 2;
    // Disabled mode evaluates nothing and gives no reason.
    this.reason = REASONS[outcome >> 2];
    this.algorithm = algorithm;
    this.remaining = numbers[0] >= 0 ? numbers[0] : null;
    this.admitAfterMs = numbers[1] >= 0 ? numbers[1] : null;
    this.wholeAfterMs = numbers[2] >= 0 ? numbers[2] : null;
    this.key = key;
    this.cost = cost;
  }
}

function setHeaders(res, fields) {
  setMerged(res, fields);
}

// The units options.cost gives `req`: 1 without the option.
function costOf(state, req) {
  if (!state.cost) return 1;
  const answer = state.cost(req);
  if (isThenable(answer)) throw new TypeError('options.cost returned a promise; it must be a plain function that returns a number > 0');
  if (typeof answer !== 'number' || !Number.isFinite(answer) || !(answer > 0)) {
    throw new RangeError(`options.cost returned ${describe(answer)}; it must return a finite number > 0`);
  }
  return answer;
}

// The decision, header pairs and Retry-After seconds (null: never or none) for one request
// under a cost hook or several limits.
function evaluateCosted(state, req, key, route) {
  const cost = costOf(state, req);
  const refusing = (d) => d.reason !== undefined && !d.allowed;
  let decision;
  let each;
  let policies;
  if (state.group) {
    each = state.group.checkAll(key, route, cost);
    decision = each.length === 1 ? { ...each[0], limits: each } : combined(each, key, cost);
    policies = state.policies;
  } else {
    const outcome = cost === 1 ? state.decideOne(key, route) : state.decideOne(key, route, cost);
    decision = new Decision(outcome, state.algorithm, state.numbers, key, cost);
    each = [decision];
    policies = [state.policy];
  }
  let fields = NO_FIELDS;
  let retryAfter = null;
  if (decision.reason !== undefined && (state.standard || state.legacy || !decision.allowed)) {
    const now = state.legacy ? Date.now() : 0;
    const pending = new FieldList();
    each.forEach((d, i) => {
      if (d.reason === undefined) return;
      // A limit that admitted a refused request tells its state once its units are back,
      // without Retry-After.
      const shown = decision.allowed || refusing(d) || d.wouldBlock || d.remaining === null ? d
        : { ...d, remaining: Math.min(Math.floor(d.remaining + cost), policies[i].quota) };
      setMerged(pending, policies[i].headers(shown, now, state.standard, state.legacy));
      if (refusing(d)) {
        const wait = policies[i].retryAfter(d.admitAfterMs);
        if (wait !== null && (retryAfter === null || wait > retryAfter)) retryAfter = wait;
      }
    });
    fields = pending.pairs;
  }
  return { decision, fields, retryAfter, each };
}


// Gives back the units an admitted request took, to every limiter that took them.
function giveBack(state, decision) {
  const instances = state.group ? state.group.limiters : [state.instance];
  const each = decision.limits || [decision];
  each.forEach((d, i) => {
    if (d.reason !== undefined && !d.wouldBlock) instances[i]._adjust(decision.key, -decision.cost);
  });
}

// What the limiters in front have taken for a request, given back if one behind refuses it.
const ADMITTED = Symbol('tolm.admitted');

// req.rateLimit: limit, used, remaining and resetTime (a Date; undefined when the allowance
// never comes back), of the limit with the fewest requests left.
function rateLimitInfo(state, decision) {
  let chosen = decision;
  let policy = state.policy;
  if (decision.limits) {
    let least = Infinity;
    decision.limits.forEach((d, i) => {
      const left = d.wouldBlock ? 0 : (d.remaining || 0);
      if (d.reason !== undefined && left < least) {
        least = left;
        chosen = d;
        policy = state.policies[i];
      }
    });
  }
  if (!policy) return undefined;
  const remaining = chosen.wouldBlock ? 0 : (chosen.remaining || 0);
  return new RateLimitInfo(policy.quota, remaining, chosen.wouldBlock ? chosen.admitAfterMs : chosen.wholeAfterMs);
}

// req.rateLimit; the Date is made when read.
class RateLimitInfo {
  #waitMs;

  #at;

  constructor(limit, remaining, waitMs) {
    this.limit = limit;
    this.used = Math.max(limit - remaining, 0);
    this.remaining = remaining;
    this.#waitMs = waitMs;
    this.#at = Date.now();
  }

  get resetTime() {
    return this.#waitMs === null ? undefined : new Date(this.#at + this.#waitMs);
  }

  toJSON() {
    return { limit: this.limit, used: this.used, remaining: this.remaining, resetTime: this.resetTime };
  }
}

// Gives the units back once the answer's status is known, when that status is not counted
// (below 400 is a success; a response closed before it finished failed).
function settleOnFinish(state, res, decision) {
  if (typeof res.once !== 'function') return;
  let settled = false;
  const settle = (failed) => {
    if (settled) return;
    settled = true;
    if ((state.skipFailed && failed) || (state.skipSuccessful && !failed)) giveBack(state, decision);
  };
  res.once('finish', () => settle(res.statusCode >= 400));
  res.once('close', () => settle(true));
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
  const key = keyOf(state, req);
  if (state.awaited) {
    const numbers = new Float64Array(3);
    return state.instance._decide(key, routeOf(req), numbers)
      .then((outcome) => answer(state, req, res, fail, new Decision(outcome, state.algorithm, numbers, key, 1)));
  }
  if (state.cost || state.group) {
    const found = evaluateCosted(state, req, key, routeOf(req));
    if (found.fields.length > 0 && !res.headersSent) setHeaders(res, found.fields);
    return answer(state, req, res, fail, found.decision, found.retryAfter);
  }
  const outcome = state.decideOne(key, routeOf(req));
  return answer(state, req, res, fail, new Decision(outcome, state.algorithm, state.numbers, key, 1));
}

// What follows a decision: req.tolm, req.rateLimit, the headers (unless `retryAfter` is given:
// evaluateCosted set them), and a refusal's answer.
function answer(state, req, res, fail, decision, retryAfter) {
  const policy = state.policy;
  if (retryAfter === undefined) {
    // Disabled mode (no reason) evaluates nothing, so there is nothing to tell.
    if (policy && decision.reason !== undefined && !res.headersSent &&
        (state.standard || state.legacy || !decision.allowed)) {
      // X-RateLimit-Reset counts from a reading taken after the engine's.
      const now = state.legacy ? Date.now() : 0;
      setHeaders(res, policy.headers(decision, now, state.standard, state.legacy));
    }
    retryAfter = decision.allowed || !policy ? null : policy.retryAfter(decision.admitAfterMs);
  }
  req.tolm = decision;
  if (res.locals && typeof res.locals === 'object') res.locals.tolm = decision;
  if (decision.reason !== undefined && (policy || state.group)) {
    const info = rateLimitInfo(state, decision);
    if (info && (req.rateLimit === undefined || req.rateLimit === null || info.remaining < req.rateLimit.remaining)) req.rateLimit = info;
  }
  const admitted = req[ADMITTED];
  if (decision.allowed) {
    if (decision.reason !== undefined && !decision.wouldBlock && typeof state.instance._adjust === 'function') {
      if (admitted) admitted.push(state, decision);
      else req[ADMITTED] = [state, decision];
      if (state.skipSuccessful || state.skipFailed) settleOnFinish(state, res, decision);
    }
    return decision;
  }
  if (admitted) {
    while (admitted.length > 0) {
      const taken = admitted.pop();
      giveBack(admitted.pop(), taken);
    }
  }
  if (state.handler) {
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
  if (state.cost || state.group) {
    const found = evaluateCosted(state, req, keyOf(state, req), routeOf(req));
    return { decision: found.decision, fields: found.fields, retryAfter: found.retryAfter };
  }
  const key = keyOf(state, req);
  const decision = new Decision(state.decideOne(key, routeOf(req)), state.algorithm, state.numbers,
    key, 1);
  const policy = state.policy;
  let fields = NO_FIELDS;
  if (policy && decision.reason !== undefined &&
      (state.standard || state.legacy || !decision.allowed)) {
    fields = policy.headers(decision, state.legacy ? Date.now() : 0, state.standard, state.legacy);
  }
  const retryAfter = decision.allowed || !policy ? null : policy.retryAfter(decision.admitAfterMs);
  return { decision, fields, retryAfter };
}

module.exports = {
  limiter, limiterSettings, limits, Limits, rateLimit, withRateLimit, UNKNOWN_KEY, fitKey,
};
module.exports._integration = { build, hook, decide, refusalBody, REFUSED_STATUS };
