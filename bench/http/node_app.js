'use strict';
// One server of the HTTP benchmark: `node node_app.js FRAMEWORK VARIANT PORT LIMIT_JSON`.
//   FRAMEWORK  express | http (plain node:http)
//   VARIANT    none | tolm | tolm-bare (tolm without headers) | peer
//              | tolm-shared (express: tolm on the shared region TOLM_BENCH_REGION)
//              | peer-redis (express: express-rate-limit with rate-limit-redis on BENCH_REDIS_URL)
//   LIMIT_JSON { capacity, refillRate } for tolm's token bucket and { perSecond } for the
//              peers' one-second fixed window
// Listens on 127.0.0.1:PORT, answers GET / with "ok", and prints one JSON line on stdout once
// it listens: what it runs and which of tolm's options this build honours. Every variant
// trusts one proxy hop on loopback, so the load generator's X-Forwarded-For address is the
// client's key for tolm and for the peer alike.
//
// The tolm library comes from TOLM_BUILD_DIR (a Release build's tolm_native.node) and the
// middleware from the checkout's lib/, so the benchmark measures this tree, never an installed
// package.
//
// BENCH_HTTP_WORKERS=N (N > 1) runs N workers under node:cluster sharing the port; the primary
// prints the ready line once every worker listens, and stops them with itself.

const path = require('node:path');
const http = require('node:http');

const ROOT = path.resolve(__dirname, '..', '..');
const [framework, variant, portText, limitText] = process.argv.slice(2);
const port = Number(portText);
const limit = JSON.parse(limitText);
const BODY = 'ok';

// The client address behind one trusted proxy on loopback: the rightmost X-Forwarded-For entry,
// as Express computes req.ip with 'trust proxy' set to 'loopback'.
function forwardedClient(req) {
  const socketAddress = req.socket.remoteAddress;
  const forwarded = req.headers['x-forwarded-for'];
  if (typeof forwarded !== 'string' || !/^(127\.|::1$|::ffff:127\.)/.test(socketAddress || '')) {
    return socketAddress;
  }
  const comma = forwarded.lastIndexOf(',');
  return (comma === -1 ? forwarded : forwarded.slice(comma + 1)).trim();
}

const notes = {};

function tolmMiddlewareFactory() {
  const mw = require(path.join(ROOT, 'lib', 'middleware.js'));
  const config = { algorithm: 'token_bucket', capacity: limit.capacity, refillRate: limit.refillRate };
  const { TolmNode } = require(path.join(process.env.TOLM_BUILD_DIR, 'tolm_native.node'));
  let limiter;
  if (typeof mw.limiter === 'function') {
    limiter = mw.limiter(config, { TolmNode });
    notes.limiter = 'middleware limiter()';
  } else {
    limiter = new TolmNode(config);
    notes.limiter = 'TolmNode';
  }
  return { mw, limiter };
}

function sharedTolmLimiter() {
  const mw = require(path.join(ROOT, 'lib', 'middleware.js'));
  const { TolmNode } = require(path.join(process.env.TOLM_BUILD_DIR, 'tolm_native.node'));
  const config = {
    algorithm: 'token_bucket',
    capacity: limit.capacity,
    refillRate: limit.refillRate,
    shared: process.env.TOLM_BENCH_REGION,
    maxClients: Number(process.env.TOLM_BENCH_REGION_CLIENTS || 200000),
  };
  let limiter;
  try {
    limiter = mw.limiter(config, { TolmNode });
    notes.limiter = 'limiter({ shared })';
  } catch (err) {
    if (!/unknown setting .(shared|maxClients)/.test(String(err && err.message))) throw err;
    // A tree whose limiter() has no shared option yet: the native factory it would call,
    // which the middleware takes as it is.
    limiter = TolmNode._open({ algorithm: 'token_bucket', mode: 'active', ...config });
    notes.limiter = 'TolmNode._open({ shared })';
  }
  return { mw, limiter };
}

// tolm's Redis store on BENCH_REDIS_URL (tolm-redis: exact, one round trip per request;
// tolm-redis-lease: batches of up to 100 spent in the worker; tolm-redis-host: the same
// batches kept in one region for every worker of the host). The time budget is generous: the
// benchmark measures Redis, not the fallback.
function redisTolmLimiter(lease, host) {
  const mw = require(path.join(ROOT, 'lib', 'middleware.js'));
  const { TolmNode } = require(path.join(process.env.TOLM_BUILD_DIR, 'tolm_native.node'));
  const url = process.env.BENCH_REDIS_URL;
  if (!/^redis:\/\/127\.0\.0\.1:\d+/.test(url || '')) throw new Error('BENCH_REDIS_URL must be a loopback redis:// URL');
  const config = { algorithm: 'token_bucket', capacity: limit.capacity, refillRate: limit.refillRate,
    redis: url, redisTimeoutMs: 1000, redisPrefix: 'tolm-http:' };
  if (lease) Object.assign(config, { lease: 100, leaseMs: 1000 });
  // The workers' leases in one region of the host (its name beside tolm-shared's).
  if (host) Object.assign(config, { shared: `${process.env.TOLM_BENCH_REGION}-leases`, maxClients: Number(process.env.TOLM_BENCH_REGION_CLIENTS) });
  notes.limiter = lease ? `limiter({ redis, lease: 100${host ? ', shared' : ''} })` : 'limiter({ redis })';
  return { mw, limiter: mw.limiter(config, { TolmNode }) };
}

function redisPeer() {
  const { rateLimit } = require('express-rate-limit');
  const { RedisStore } = require('rate-limit-redis');
  const Redis = require('ioredis');
  const url = process.env.BENCH_REDIS_URL;
  if (!/^redis:\/\/127\.0\.0\.1:\d+/.test(url || '')) throw new Error('BENCH_REDIS_URL must be a loopback redis:// URL');
  const client = new Redis(url);
  notes.peer = 'express-rate-limit + rate-limit-redis (ioredis)';
  return rateLimit({
    windowMs: limit.perMinute ? 60_000 : 1000,
    limit: limit.perMinute || limit.perSecond,
    standardHeaders: 'draft-8',
    legacyHeaders: false,
    store: new RedisStore({ sendCommand: (command, ...args) => client.call(command, ...args) }),
  });
}

function tolmOptions(headers, extra) {
  return Object.assign({ headers, legacyHeaders: false }, extra);
}

function expressApp() {
  const express = require('express');
  const app = express();
  app.set('trust proxy', 'loopback');
  if (variant === 'tolm' || variant === 'tolm-bare') {
    const { mw, limiter } = tolmMiddlewareFactory();
    app.use(mw.rateLimit(limiter, tolmOptions(variant === 'tolm')));
  } else if (variant === 'tolm-shared') {
    const { mw, limiter } = sharedTolmLimiter();
    // A bare TolmNode from the native factory gives the middleware no settings for headers.
    app.use(mw.rateLimit(limiter, tolmOptions(notes.limiter === 'limiter({ shared })')));
  } else if (variant === 'tolm-redis' || variant === 'tolm-redis-lease' || variant === 'tolm-redis-host') {
    const { mw, limiter } = redisTolmLimiter(variant !== 'tolm-redis', variant === 'tolm-redis-host');
    app.use(mw.rateLimit(limiter, tolmOptions(true)));
  } else if (variant === 'peer-redis') {
    app.use(redisPeer());
  } else if (variant === 'peer') {
    const { rateLimit } = require('express-rate-limit');
    app.use(rateLimit({
      windowMs: 1000,
      limit: limit.perSecond,
      standardHeaders: 'draft-8',
      legacyHeaders: false,
    }));
    notes.peer = 'express-rate-limit (MemoryStore, draft-8 headers)';
  }
  app.get('/', (req, res) => {
    res.send(BODY);
  });
  return http.createServer(app);
}

function plainHandler(req, res) {
  res.writeHead(200, { 'Content-Type': 'text/plain', 'Content-Length': BODY.length });
  res.end(BODY);
}

// node:http has no rate-limit middleware of its own; the limiter its users reach for is
// rate-limiter-flexible, used here as its README shows: consume() per request, answer 429 on
// rejection, and set the headers from its result.
function rateLimiterFlexibleHandler() {
  const { RateLimiterMemory } = require('rate-limiter-flexible');
  const rl = new RateLimiterMemory({ points: limit.perSecond, duration: 1 });
  notes.peer = 'rate-limiter-flexible (RateLimiterMemory, X-RateLimit headers)';
  const headers = (r) => ({
    'X-RateLimit-Limit': limit.perSecond,
    'X-RateLimit-Remaining': r.remainingPoints,
    'X-RateLimit-Reset': Math.ceil((Date.now() + r.msBeforeNext) / 1000),
  });
  return (req, res) => {
    rl.consume(forwardedClient(req)).then((r) => {
      for (const [name, value] of Object.entries(headers(r))) res.setHeader(name, value);
      plainHandler(req, res);
    }, (r) => {
      if (r instanceof Error) {
        res.statusCode = 500;
        res.end();
        return;
      }
      res.writeHead(429, Object.assign({ 'Retry-After': Math.ceil(r.msBeforeNext / 1000) }, headers(r)));
      res.end('Too Many Requests');
    });
  };
}

function plainApp() {
  let handler = plainHandler;
  if (variant === 'tolm' || variant === 'tolm-bare') {
    const { mw, limiter } = tolmMiddlewareFactory();
    const headers = variant === 'tolm';
    handler = null;
    if (typeof mw.limiter === 'function') {
      // A build whose middleware reads the forwarded address itself; one that does not know the
      // option refuses it when the handler is built.
      try {
        handler = mw.withRateLimit(limiter, plainHandler, tolmOptions(headers, { trustProxy: 1 }));
        notes.keying = 'trustProxy: 1';
      } catch (err) {
        handler = null;
      }
    }
    if (!handler) {
      handler = mw.withRateLimit(limiter, plainHandler, tolmOptions(headers, { key: forwardedClient }));
      notes.keying = 'key function (X-Forwarded-For)';
    }
  } else if (variant === 'peer') {
    handler = rateLimiterFlexibleHandler();
  }
  return http.createServer(handler);
}

const cluster = require('node:cluster');
const workers = Number(process.env.BENCH_HTTP_WORKERS || 1);

function serve() {
  let server;
  if (framework === 'express') server = expressApp();
  else if (framework === 'http') server = plainApp();
  else throw new Error(`unknown framework ${framework}: express or http`);
  return server;
}

function watchStdin(stop) {
  // The benchmark holds our stdin; when it goes away for any reason, so do we.
  process.stdin.on('end', stop);
  process.stdin.on('error', stop);
  process.stdin.resume();
}

if (workers > 1 && cluster.isPrimary) {
  let listening = 0;
  const stopAll = () => {
    for (const worker of Object.values(cluster.workers)) worker.process.kill('SIGTERM');
    process.exit(0);
  };
  cluster.on('listening', () => {
    if (++listening === workers) {
      process.stdout.write(`${JSON.stringify({ ready: true, framework, variant, workers, notes })}\n`);
    }
  });
  cluster.on('exit', (worker, code) => {
    if (code !== 0 && code !== null) {
      console.error(`worker exited ${code}`);
      process.exit(code);
    }
  });
  for (let i = 0; i < workers; i++) cluster.fork();
  process.on('SIGTERM', stopAll);
  process.on('SIGINT', stopAll);
  watchStdin(stopAll);
} else {
  const server = serve();
  const stop = () => {
    server.close();
    server.closeAllConnections();
    process.exit(0);
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
  if (cluster.isPrimary) watchStdin(stop);
  else process.on('disconnect', stop);
  server.listen(port, '127.0.0.1', () => {
    if (cluster.isPrimary) process.stdout.write(`${JSON.stringify({ ready: true, framework, variant, notes })}\n`);
  });
}
