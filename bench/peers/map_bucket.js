'use strict';
// The limiter a Node.js user could write in ten minutes: a token bucket per key in a plain
// Map, returning the same five properties as TolmNode.checkRequest. It is the baseline the
// benchmark holds tolm against, so it does the same observable work: it reads the clock,
// refills, decides and words the remaining allowance.

class MapTokenBucket {
  constructor(capacity, refillRate) {
    this.capacity = capacity;
    this.refillRate = refillRate;
    this.buckets = new Map();
  }

  checkRequest(ip, route, startTimeMs) {
    const now = Date.now();
    let state = this.buckets.get(ip);
    if (state === undefined) {
      state = { tokens: this.capacity, last: now };
      this.buckets.set(ip, state);
    } else {
      state.tokens = Math.min(this.capacity, state.tokens + ((now - state.last) / 1000) * this.refillRate);
      state.last = now;
    }
    if (state.tokens >= 1) {
      state.tokens -= 1;
      return {
        allowed: true,
        wouldBlock: false,
        reason: 'within_limit',
        algorithm: 'token_bucket',
        debugInfo: `${Math.floor(state.tokens)} tokens remaining`,
      };
    }
    return {
      allowed: false,
      wouldBlock: true,
      reason: 'token_exhausted',
      algorithm: 'token_bucket',
      debugInfo: `${Math.floor(state.tokens)} tokens remaining`,
    };
  }
}

module.exports = { MapTokenBucket };
