'use strict';
// Koa middleware: `app.use(rateLimit(limiter({ ... }), options))`, or on one router's routes.
// The key is options.identity(ctx) when it returns a value (ctx.state.user, a session), else
// ctx.ip (which honours app.proxy); a refused request is answered 429 with the JSON body of
// tolm/middleware (or by options.onLimited(ctx, info)) and the downstream middleware never
// runs; the RateLimit headers are set on every checked response and ctx.state.tolm holds the
// decision. An error thrown by identity or skip is thrown into Koa's error handling.
const { _integration: { build, decide, refusalBody, REFUSED_STATUS } } = require('./middleware');

const OWNER = 'tolm/koa';

function rateLimit(limiterOrConfig, options) {
  const state = build(OWNER, limiterOrConfig, options, []);
  return async function tolmKoa(ctx, next) {
    if (state.skip) {
      const skipped = state.skip(ctx);
      if (skipped && typeof skipped.then === 'function') {
        throw new TypeError('options.skip returned a promise; it must be a plain function that returns true or false');
      }
      if (skipped) return next();
    }
    const { decision, fields, retryAfter } = decide(state, ctx);
    ctx.state.tolm = decision;
    for (let i = 0; i < fields.length; i += 2) ctx.set(fields[i], fields[i + 1]);
    if (decision.allowed) return next();
    if (state.handler) {
      return state.handler(ctx, { result: decision, retryAfter: retryAfter === null ? undefined : retryAfter });
    }
    ctx.status = REFUSED_STATUS;
    ctx.type = 'application/json';
    ctx.body = refusalBody(decision);
    return undefined;
  };
}

module.exports = { rateLimit };
