'use strict';
// The rate-limit headers of both Node middlewares against tests/header_cases.json, the table
// the Python suite reads too, on the fake clock: every request's status and headers, in order,
// for a limiter's whole run of requests.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { runChild, windowsLacks } = require('./support/addon');

const table = require('../header_cases.json');
const middlewarePath = path.join(__dirname, '..', '..', 'lib', 'middleware.js');

// Each case's requests through a fresh limiter behind rateLimit and then withRateLimit, on
// stand-in requests and responses that record the headers set. Date.now (which the engine
// does not read) follows the fake clock, for X-RateLimit-Reset.
const runCases = `
  const { limiter, limits, rateLimit, withRateLimit } = require(${JSON.stringify(middlewarePath)});
  const table = ${JSON.stringify(table)};
  const isRateHeader = (name) => /^(ratelimit|x-ratelimit-|retry-after)/i.test(name);
  // A response that keeps one value per header name, as node:http's does.
  function send(handle, shape) {
    const headers = new Map();
    const req = { url: '/', socket: { remoteAddress: '203.0.113.7' } };
    const res = { statusCode: 200, headersSent: false, writableEnded: false,
      setHeader(name, value) { headers.set(name.toLowerCase(), [name, String(value)]); },
      getHeader(name) { const found = headers.get(name.toLowerCase()); return found && found[1]; },
      removeHeader(name) { headers.delete(name.toLowerCase()); },
      end() { this.writableEnded = true; } };
    if (shape === 'rateLimit') handle(req, res, () => {});
    else handle(req, res);
    return { status: res.statusCode, headers: [...headers.values()].filter(([name]) => isRateHeader(name)) };
  }
  const build = (s) => limiter({ algorithm: s.algorithm, mode: s.mode || 'active', capacity: s.capacity,
    refillRate: s.refill_rate, name: s.name }, { TolmNode });
  // Express's chain: each middleware calls the next one's.
  const chain = (handles) => (req, res, next) => {
    const step = (i) => (i === handles.length ? next() : handles[i](req, res, () => step(i + 1)));
    step(0);
  };
  const refunds = typeof TolmNode.prototype._adjust === 'function';
  const out = {};
  for (const c of table.cases) {
    if (c.needs_refund && !refunds) continue;
    for (const shape of ['rateLimit', 'withRateLimit']) {
      const options = { legacyHeaders: c.legacy };
      const done = (req, res) => res.end();
      let handle;
      if (c.settings || c.as === 'limits') {
        const instance = c.settings ? build(c.settings) : limits(c.stack.map(build));
        handle = shape === 'rateLimit' ? rateLimit(instance, options) : withRateLimit(instance, done, options);
      } else if (shape === 'rateLimit') {
        handle = chain(c.stack.map((s) => rateLimit(build(s), options)));
      } else {
        handle = c.stack.reduceRight((inner, s) => withRateLimit(build(s), inner, options), done);
      }
      out[shape + ': ' + c.name] = c.at.map((offset) => {
        setClock(table.start_ms + offset);
        Date.now = () => table.start_ms + offset;
        return send(handle, shape);
      });
    }
  }
  emit(out);
`;

test('headers follow the table shared with the Python middleware', { skip: windowsLacks('the fake clock (an LD_PRELOAD shim)') }, () => {
  const { status, stderr, output } = runChild(runCases, { clockMs: table.start_ms });
  assert.equal(status, 0, stderr);
  for (const c of table.cases) {
    if (!(`rateLimit: ${c.name}` in output[0])) continue; // needs a build that gives units back
    for (const shape of ['rateLimit', 'withRateLimit']) {
      assert.deepEqual(output[0][`${shape}: ${c.name}`], c.expect, `${shape}: ${c.name}`);
    }
  }
});
