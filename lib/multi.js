'use strict';
// Several limits on one route: limits([perSecond, perHour]) admits a request only when every
// limit does, and a refusal by one spends nothing of the others: each checks the request in
// turn, and when any refuses, the units the others took for it are given back.
const { limiterSettings, decisionOf, units } = require('./limiter');
const { describe } = require('./settings');
const { fitKey } = require('./keys');

// Whether a check with this outcome took units: it was evaluated (a reason) and the limit did
// not refuse it.
function tookUnits(outcome) {
  return outcome >= 4 && (outcome & 2) === 0;
}

// One decision for several: refused (or would-be refused) by the first limit that refuses;
// the fewest remaining; the longest of the waits.
function combined(each, key, cost) {
  const first = each.find((d) => !d.allowed) || each.find((d) => d.wouldBlock) || each[0];
  let remaining = null;
  let admitAfterMs = null;
  let wholeAfterMs = null;
  for (const d of each) {
    if (d.remaining !== null && (remaining === null || d.remaining < remaining)) remaining = d.remaining;
    if (d.wouldBlock && d.admitAfterMs !== null && (admitAfterMs === null || d.admitAfterMs > admitAfterMs)) admitAfterMs = d.admitAfterMs;
    if (d.wholeAfterMs !== null && (wholeAfterMs === null || d.wholeAfterMs > wholeAfterMs)) wholeAfterMs = d.wholeAfterMs;
  }
  return {
    allowed: each.every((d) => d.allowed),
    wouldBlock: each.some((d) => d.wouldBlock),
    reason: first.reason,
    algorithm: first.algorithm,
    remaining,
    admitAfterMs,
    wholeAfterMs,
    key,
    cost,
    limits: each,
  };
}

class Limits {
  constructor(instances) {
    this.limiters = instances;
    this.numbers = new Float64Array(3);
    Object.freeze(this);
  }

  // Every limiter's decision on one request of `key` (already a key), after the refunds a
  // refusal calls for.
  checkAll(key, route, cost) {
    const numbers = this.numbers;
    const each = [];
    const outcomes = [];
    for (const instance of this.limiters) {
      const outcome = cost === 1 ? instance._decide(key, route, numbers) : instance._decide(key, route, numbers, cost);
      outcomes.push(outcome);
      each.push(decisionOf(outcome, limiterSettings(instance).algorithm, numbers, key, cost));
    }
    if (each.some((d) => !d.allowed)) {
      this.limiters.forEach((instance, i) => {
        if (tookUnits(outcomes[i])) instance._adjust(key, -cost);
      });
    }
    return each;
  }

  // One request against every limit: refused when any refuses (with its reason and wait),
  // the fewest requests left of any, and `limits`: each limiter's own decision, in order.
  check(key, route = '/', { cost = 1 } = {}) {
    if (typeof key !== 'string') throw new TypeError(`Limits.check: key must be a string; got ${describe(key)}`);
    if (cost !== 1) units('Limits.check', cost, 'cost');
    const fitted = fitKey(key, 'ip#');
    return combined(this.checkAll(fitted, String(route), cost), fitted, cost);
  }

  reset(key) { for (const l of this.limiters) l.reset(key); }

  refund(key, n = 1) { for (const l of this.limiters) l.refund(key, n); }

  penalize(key, n = 1) { for (const l of this.limiters) l.penalize(key, n); }

  block(key, ms) { for (const l of this.limiters) l.block(key, ms); }
}

// Several limiter() instances as one, for the middleware (or check): limits([limiter({ rate:
// '10/second', name: 'burst' }), limiter({ rate: '1000/hour', name: 'hourly' })]). Each needs
// its own name, which the headers carry.
function limits(instances, ...more) {
  const list = Array.isArray(instances) ? instances : [instances, ...more];
  if (list.length === 0 || list[0] === undefined) {
    throw new TypeError("limits: give at least one limiter, e.g. limits([limiter({ rate: '10/second', name: 'burst' }), ...])");
  }
  const names = new Map();
  list.forEach((instance, index) => {
    const settings = limiterSettings(instance);
    if (!settings) throw new TypeError(`limits: every limit must be built by limiter({ ... }); got ${describe(instance)} at position ${index}`);
    if (names.has(settings.name)) {
      throw new TypeError(`limits: two limits are named "${settings.name}" (positions ${names.get(settings.name)} and ${index}), and the headers could not tell them apart; give each a name: limiter({ ..., name: 'perSecond' })`);
    }
    names.set(settings.name, index);
  });
  if (list.some((instance) => typeof instance._adjust !== 'function')) {
    throw new TypeError('limits: this build of the addon cannot give units back (no TolmNode _adjust), which several limits need; rebuild it from this release');
  }
  return new Limits(Object.freeze(list.slice()));
}

module.exports = { Limits, limits, combined, tookUnits };
