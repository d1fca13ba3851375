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
  const { limiter, rateLimit, withRateLimit } = require(${JSON.stringify(middlewarePath)});
  const table = ${JSON.stringify(table)};
  const isRateHeader = (name) => /^(ratelimit|x-ratelimit-|retry-after)/i.test(name);
  function send(handle, shape) {
    const headers = [];
    const req = { url: '/', socket: { remoteAddress: '203.0.113.7' } };
    const res = { statusCode: 200, headersSent: false, writableEnded: false,
      setHeader(name, value) { if (isRateHeader(name)) headers.push([name, String(value)]); },
      end() { this.writableEnded = true; } };
    if (shape === 'rateLimit') handle(req, res, () => {});
    else handle(req, res);
    return { status: res.statusCode, headers };
  }
  const out = {};
  for (const c of table.cases) {
    const s = c.settings;
    for (const shape of ['rateLimit', 'withRateLimit']) {
      const instance = limiter({ algorithm: s.algorithm, mode: s.mode || 'active', capacity: s.capacity,
        refillRate: s.refill_rate }, { TolmNode });
      const options = { legacyHeaders: c.legacy };
      const handle = shape === 'rateLimit' ? rateLimit(instance, options)
        : withRateLimit(instance, (req, res) => res.end(), options);
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
    for (const shape of ['rateLimit', 'withRateLimit']) {
      assert.deepEqual(output[0][`${shape}: ${c.name}`], c.expect, `${shape}: ${c.name}`);
    }
  }
});
