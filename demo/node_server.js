'use strict';
// Demo server: node:http with one tolm withRateLimit wrapper (and one TolmNode) per scenario
// of scenarios.json. GET /<scenario>/... is limited by that scenario's limiter; the key is the
// owner of an issued API key sent as X-Api-Key (TOLM_DEMO_KEYS holds "owner=key,..."), else the
// client address: a key nobody issued is never a rate-limit key.
//
// Prints one line, "listening <url> <addon file>", once it accepts connections.
const http = require('node:http');
const path = require('node:path');
const fs = require('node:fs');
const crypto = require('node:crypto');

const buildDir = process.env.TOLM_BUILD_DIR || path.join(__dirname, '..', 'build');
const addon = path.join(buildDir, 'tolm_native.node');
const { TolmNode } = require(addon);
const { limiter, withRateLimit } = require('../lib/middleware');

const args = process.argv.slice(2);
const portArg = args.indexOf('--port');
const port = portArg === -1 ? 0 : Number(args[portArg + 1]);
const log = args.includes('--log');

const config = JSON.parse(fs.readFileSync(path.join(__dirname, 'scenarios.json'), 'utf8'));

function send(res, status, value) {
  const body = JSON.stringify(value);
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) });
  res.end(body);
}

// What the application behind the middleware does: tell the client what the limiter said.
function answer(req, res) {
  const { allowed, wouldBlock, reason, algorithm, remaining } = req.tolm;
  send(res, 200, { allowed, wouldBlock, reason, algorithm, remaining });
}

const sha256 = (text) => crypto.createHash('sha256').update(text).digest('hex');
// {sha256 of an issued key: its owner}, so a lookup never compares the keys themselves.
const issued = new Map((process.env.TOLM_DEMO_KEYS || '').split(',').map((pair) => pair.trim().split('='))
  .filter(([owner, key]) => owner && key).map(([owner, key]) => [sha256(key), owner]));
const customer = (req) => {
  const presented = req.headers['x-api-key'];
  return typeof presented === 'string' && presented ? issued.get(sha256(presented)) : undefined;
};
const routes = new Map(config.scenarios.map((s) => [s.name, withRateLimit(
  limiter({ algorithm: s.algorithm, mode: s.mode, capacity: config.capacity,
    refillRate: config.refill_rate }, { TolmNode }),
  answer, { identity: customer })]));

const server = http.createServer((req, res) => {
  const name = (req.url || '/').split('?')[0].split('/')[1];
  if (log) res.on('finish', () => console.error(`${req.method} ${req.url} ${res.statusCode}`));
  const route = routes.get(name);
  if (route) return route(req, res);
  return send(res, 404, { error: 'not_found', try: [...routes.keys()].sort() });
});

if (args.includes('--exit-with-stdin')) {
  // Whatever way the parent ends, its end of the pipe closes and this server stops.
  process.stdin.on('end', () => process.exit(0));
  process.stdin.on('error', () => process.exit(0));
  process.stdin.resume();
}
process.on('SIGTERM', () => process.exit(0));
process.on('SIGINT', () => process.exit(0));

server.listen(port, '127.0.0.1', () => {
  console.log(`listening http://127.0.0.1:${server.address().port} ${addon}`);
});
