'use strict';
// Rate-limiting middleware around a TolmNode: `rateLimit` has the (req, res, next) shape of
// Express and Connect, `withRateLimit` wraps a plain node:http request handler. Both key a
// request by `options.key(req)` when it returns a value, else by the client address, else
// by UNKNOWN_KEY; a refused request is answered 429 with a short JSON body, and every checked
// request carries the limiter's result as `req.tolm` (and `res.locals.tolm` under Express).

// The key of a request with no client address and no key of its own. Such requests share one
// allowance: a limiter that cannot tell clients apart must not let them through unlimited.
const UNKNOWN_KEY = 'unknown';
const REFUSED_STATUS = 429;

function toLimiter(limiterOrConfig) {
  if (limiterOrConfig && typeof limiterOrConfig.checkRequest === 'function') {
    return limiterOrConfig;
  }
  // Loaded only here, so that a caller who brings a TolmNode from another build (the demo and
  // the tests load build/tolm_native.node) never loads the packaged addon.
  const { TolmNode } = require('..');
  return new TolmNode(limiterOrConfig === undefined ? {} : limiterOrConfig);
}

function clientAddress(req) {
  // Express's req.ip honours its 'trust proxy' setting; plain node:http has only the socket,
  // whose address is undefined once the client has gone.
  if (typeof req.ip === 'string' && req.ip !== '') return req.ip;
  const socket = req.socket;
  const address = socket ? socket.remoteAddress : undefined;
  return typeof address === 'string' && address !== '' ? address : UNKNOWN_KEY;
}

function routeOf(req) {
  const url = typeof req.originalUrl === 'string' ? req.originalUrl : req.url;
  if (typeof url !== 'string' || url === '') return '/';
  const query = url.indexOf('?');
  return query === -1 ? url : url.slice(0, query) || '/';
}

function keyOf(req, key) {
  if (key) {
    const chosen = key(req);
    if (chosen !== undefined && chosen !== null) return String(chosen);
  }
  return clientAddress(req);
}

function refuse(res, result) {
  const body = JSON.stringify({
    error: 'too_many_requests',
    reason: result.reason,
    algorithm: result.algorithm,
    detail: result.debugInfo,
  });
  if (res.headersSent) {
    res.end();
    return;
  }
  res.statusCode = REFUSED_STATUS;
  res.setHeader('Content-Type', 'application/json');
  res.setHeader('Content-Length', Buffer.byteLength(body));
  res.end(body);
}

// Checks one request; returns the limiter's result, or null when the request was refused and
// has been answered.
function check(limiter, key, req, res) {
  const result = limiter.checkRequest(keyOf(req, key), routeOf(req), Date.now());
  req.tolm = result;
  if (res.locals && typeof res.locals === 'object') res.locals.tolm = result;
  if (!result.allowed) {
    refuse(res, result);
    return null;
  }
  return result;
}

function checkOptions(options) {
  if (options === undefined || options === null) return undefined;
  if (options.key !== undefined && typeof options.key !== 'function') {
    throw new TypeError('options.key must be a function (req) => string | undefined');
  }
  return options.key;
}

// Express/Connect middleware. An error thrown by options.key goes to next(err).
function rateLimit(limiterOrConfig, options) {
  const limiter = toLimiter(limiterOrConfig);
  const key = checkOptions(options);
  return function tolmRateLimit(req, res, next) {
    let result;
    try {
      result = check(limiter, key, req, res);
    } catch (err) {
      next(err);
      return;
    }
    if (result) next();
  };
}

// A node:http request listener that checks each request before `handler` sees it. An error
// thrown by options.key is answered 500 (the request is neither served nor silently let
// through) and passed to options.onError when given.
function withRateLimit(limiterOrConfig, handler, options) {
  if (typeof handler !== 'function') throw new TypeError('handler must be a function');
  const limiter = toLimiter(limiterOrConfig);
  const key = checkOptions(options);
  const onError = options && typeof options.onError === 'function' ? options.onError : null;
  return function tolmHandler(req, res) {
    let result;
    try {
      result = check(limiter, key, req, res);
    } catch (err) {
      if (onError) onError(err, req);
      if (!res.headersSent) res.statusCode = 500;
      res.end();
      return undefined;
    }
    return result ? handler(req, res) : undefined;
  };
}

module.exports = { rateLimit, withRateLimit, UNKNOWN_KEY };
