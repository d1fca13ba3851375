'use strict';
// The rate-limit headers, from a limiter's settings and the numbers the engine hands back for
// one request. python/tolm/_headers.py computes the same values by the same rules, and
// tests/header_cases.json holds both to them.

// Largest Integer a structured header field may carry.
const MAX_FIELD_INTEGER = 999999999999999;
// The window algorithms' window when none is given.
const WINDOW_MS = 60000;
// Most RateLimit texts kept for reuse.
const MEMO_LIMIT = 4096;

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

// Milliseconds as whole seconds rounded up (a client told to wait is never told too little),
// null for unknown (null) or beyond what a header can say.
function seconds(ms) {
  if (ms === null) return null;
  const whole = Math.ceil(ms / 1000);
  return whole <= MAX_FIELD_INTEGER ? whole : null;
}

// What the headers say for one limiter's settings, whatever the request.
class Policy {
  constructor({ algorithm, capacity, refillRate, windowMs = WINDOW_MS, name = algorithm }) {
    this.name = name;
    let quota;
    let window;
    if (algorithm === 'sliding_window' || algorithm === 'fixed_window') {
      quota = Math.floor(capacity);
      window = seconds(windowMs);
      // Used only when the engine does not report a wait: a window restarts at most one
      // window after it opened; an accepted request leaves the sliding window once it is more
      // than a window old, a window and 1 ms rounded up.
      this.retryBound = algorithm === 'fixed_window' ? window : seconds(windowMs + 1);
    } else {
      // The most a burst gets. The token bucket: its whole tokens. The leaky bucket admits
      // while its level is below capacity: from idle, capacity rounded up; but a burst that
      // starts once part of a unit has drained fits one more (capacity 5: levels 0.99, 1.99,
      // ... 4.99 after a first request), so with any drain the most is capacity rounded down,
      // plus one. The window stays the time to drain a full bucket.
      if (algorithm === 'token_bucket') {
        quota = Math.floor(capacity);
        window = ceilDiv(quota, refillRate);
      } else {
        quota = refillRate > 0 ? Math.floor(capacity) + 1 : Math.ceil(capacity);
        window = ceilDiv(Math.ceil(capacity), refillRate);
      }
      // A refused token bucket holds less than one token; a refused leaky bucket is less
      // than one unit above capacity. Either way one unit of refill is enough.
      this.retryBound = ceilDiv(1, refillRate);
    }
    this.quota = Math.min(quota, MAX_FIELD_INTEGER);
    this.quotaText = String(this.quota);
    const item = `"${this.name}";q=${this.quota}`;
    this.policyField = window === null ? item : `${item};w=${window}`;
    this.prefix = `"${this.name}";r=`;
    this.fields = new Map();
  }

  // The RateLimit field for `remaining` and `reset` seconds (null: never): the last one made
  // for each remaining count is kept, as a key's reset seldom changes between its requests.
  field(remaining, reset) {
    const known = this.fields.get(remaining);
    if (known !== undefined && known.reset === reset) return known.text;
    const text = reset === null ? `${this.prefix}${remaining}` : `${this.prefix}${remaining};t=${reset}`;
    if (this.fields.size >= MEMO_LIMIT) this.fields.clear();
    this.fields.set(remaining, { reset, text });
    return text;
  }

  // Seconds after which a refused request is admitted: the engine's exact wait, else the
  // bound for the algorithm; null for never.
  retryAfter(admitAfterMs) {
    return admitAfterMs === null ? this.retryBound : seconds(admitAfterMs);
  }

  // The headers for one request as [name, value, name, value, ...]: RateLimit-Policy and
  // RateLimit when `standard`, X-RateLimit-* when `legacy`, and Retry-After when the request
  // is refused (answered 429). From the decision: `allowed`, `wouldBlock` (the engine refused
  // it, enforced or not), `remaining`, and the waits `admitAfterMs` and `wholeAfterMs`, ms
  // from the check, null when unknown. `nowMs` is a clock reading taken after the check,
  // which X-RateLimit-Reset counts from.
  headers(decision, nowMs, standard, legacy) {
    const out = [];
    let remaining = 0;
    let waitMs;
    let reset;
    if (decision.wouldBlock) {
      waitMs = decision.admitAfterMs;
      reset = this.retryAfter(waitMs);
    } else {
      remaining = decision.remaining > 0 ? Math.min(decision.remaining, MAX_FIELD_INTEGER) : 0;
      waitMs = decision.wholeAfterMs;
      reset = seconds(waitMs);
    }
    if (standard) out.push('RateLimit-Policy', this.policyField, 'RateLimit', this.field(remaining, reset));
    if (legacy) {
      out.push('X-RateLimit-Limit', this.quotaText, 'X-RateLimit-Remaining', String(remaining));
      if (reset !== null) {
        // The same moment as t, as a Unix time: from the exact wait when there is one.
        const at = waitMs !== null ? Math.ceil((nowMs + waitMs) / 1000) : Math.ceil(nowMs / 1000) + reset;
        out.push('X-RateLimit-Reset', String(at));
      }
    }
    if (!decision.allowed) {
      const retry = this.retryAfter(decision.admitAfterMs);
      if (retry !== null) out.push('Retry-After', String(retry));
    }
    return out;
  }
}

const LISTS = ['ratelimit-policy', 'ratelimit'];
const LEGACY = ['x-ratelimit-limit', 'x-ratelimit-remaining', 'x-ratelimit-reset'];

// Sets the header pairs `fields` ([name, value, ...]) on `res`, every field once when another
// limiter's middleware has set its own already: the RateLimit and RateLimit-Policy lists
// joined (each policy under its own name), the largest Retry-After, and the X-RateLimit-*
// trio of whichever limiter has the fewest requests left.
function setMerged(res, fields) {
  // Every limiter's middleware that sends fields sends one of these two.
  if (typeof res.getHeader !== 'function' || (res.getHeader('RateLimit-Policy') === undefined
      && res.getHeader('X-RateLimit-Limit') === undefined)) {
    for (let i = 0; i < fields.length; i += 2) res.setHeader(fields[i], fields[i + 1]);
    return;
  }
  let takeLegacy = res.getHeader('X-RateLimit-Remaining') === undefined;
  for (let i = 0; i < fields.length; i += 2) {
    if (fields[i] === 'X-RateLimit-Remaining' && !takeLegacy) {
      takeLegacy = Number(fields[i + 1]) < Number(res.getHeader('X-RateLimit-Remaining'));
    }
  }
  if (takeLegacy && !fields.includes('X-RateLimit-Reset') && typeof res.removeHeader === 'function') {
    res.removeHeader('X-RateLimit-Reset');
  }
  for (let i = 0; i < fields.length; i += 2) {
    const name = fields[i];
    const folded = name.toLowerCase();
    const value = fields[i + 1];
    const theirs = res.getHeader(name);
    if (LEGACY.includes(folded)) {
      if (takeLegacy) res.setHeader(name, value);
    } else if (theirs === undefined) {
      res.setHeader(name, value);
    } else if (LISTS.includes(folded)) {
      res.setHeader(name, `${theirs}, ${value}`);
    } else if (folded === 'retry-after' && Number(value) > Number(theirs)) {
      res.setHeader(name, value);
    }
  }
}

// Header pairs being put together, with the header methods setMerged uses.
class FieldList {
  constructor() {
    this.pairs = [];
  }

  find(name) {
    const folded = name.toLowerCase();
    for (let i = 0; i < this.pairs.length; i += 2) if (this.pairs[i].toLowerCase() === folded) return i;
    return -1;
  }

  getHeader(name) {
    const i = this.find(name);
    return i < 0 ? undefined : this.pairs[i + 1];
  }

  setHeader(name, value) {
    const i = this.find(name);
    if (i < 0) this.pairs.push(name, String(value));
    else this.pairs[i + 1] = String(value);
  }

  removeHeader(name) {
    const i = this.find(name);
    if (i >= 0) this.pairs.splice(i, 2);
  }
}

module.exports = { Policy, ceilDiv, setMerged, FieldList, MAX_FIELD_INTEGER };
