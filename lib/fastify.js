'use strict';
// Fastify plugin: `fastify.register(require('tolm/fastify'), { limiter, ...options })`.
// The limiter (a limiter() instance or its config) holds every route by default (global:
// false: none); a route's `config.rateLimit` gives it a limit of its own (a limiter or a
// config; one limiter given to several routes is one allowance they share), and
// `config.rateLimit: false` exempts it. The check runs in an onRequest hook: the key is
// options.identity(request) when it returns a value, else request.ip (which honours Fastify's
// trustProxy); a refused request is answered 429 with the JSON body of tolm/middleware (or by
// options.onLimited(request, reply, info)); the RateLimit headers go on every checked reply and
// request.tolm holds the decision. An error thrown by identity or skip goes to Fastify's error
// handler.
const { _integration: { build, decide, refusalBody, REFUSED_STATUS } } = require('./middleware');
const { describe, isPlainObject } = require('./settings');

const OWNER = 'tolm/fastify';

function hookFor(state) {
  return function tolmOnRequest(request, reply, done) {
    let verdict;
    try {
      if (state.skip) {
        const skipped = state.skip(request);
        if (skipped && typeof skipped.then === 'function') {
          throw new TypeError('options.skip returned a promise; it must be a plain function that returns true or false');
        }
        if (skipped) {
          done();
          return;
        }
      }
      verdict = decide(state, request);
    } catch (err) {
      done(err);
      return;
    }
    const { decision, fields } = verdict;
    request.tolm = decision;
    for (let i = 0; i < fields.length; i += 2) reply.header(fields[i], fields[i + 1]);
    if (decision.allowed) {
      done();
      return;
    }
    // Answered here: Fastify goes on to the reply, never to the handler.
    if (state.handler) {
      try {
        const answered = state.handler(request, reply, {
          result: decision, retryAfter: verdict.retryAfter === null ? undefined : verdict.retryAfter,
        });
        if (answered && typeof answered.then === 'function') answered.then(undefined, (err) => reply.send(err));
      } catch (err) {
        reply.send(err);
      }
      return;
    }
    reply.code(REFUSED_STATUS).type('application/json').send(refusalBody(decision));
  };
}

function tolmFastify(fastify, options, done) {
  try {
    setUp(fastify, options);
  } catch (err) {
    done(err);
    return;
  }
  done();
}

function setUp(fastify, options) {
  const { limiter: given, global: everywhere = true, ...rest } = options || {};
  if (typeof everywhere !== 'boolean') {
    throw new TypeError(`${OWNER}: options.global must be true or false; got ${describe(everywhere)}`);
  }
  // Fastify passes its own keys beside the user's (prefix, logLevel); they are not ours to check.
  const { prefix, logLevel, logSerializers, ...ours } = rest;
  const states = new Map();
  const stateOf = (limiterOrConfig) => {
    let state = states.get(limiterOrConfig);
    if (state === undefined) {
      state = build(OWNER, limiterOrConfig, ours, []);
      // A config object is its own limiter; a limiter() instance is shared by identity.
      if (!isPlainObject(limiterOrConfig)) states.set(limiterOrConfig, state);
    }
    return state;
  };
  const globalState = everywhere && given !== undefined ? stateOf(given) : null;
  if (everywhere && given === undefined) {
    throw new TypeError(`${OWNER}: options.limiter is missing: give a limiter({ ... }) or its config, or global: false to limit only routes with config.rateLimit`);
  }
  if (!fastify.hasRequestDecorator('tolm')) fastify.decorateRequest('tolm', null);
  fastify.addHook('onRoute', (route) => {
    const own = route.config ? route.config.rateLimit : undefined;
    if (own === false) return;
    const state = own === undefined ? globalState : stateOf(own === true ? given : own);
    if (!state) return;
    const hooks = route.onRequest === undefined ? [] : [].concat(route.onRequest);
    route.onRequest = [hookFor(state), ...hooks];
  });
}

// Registered without encapsulation, so that the hooks reach the routes of the whole app.
tolmFastify[Symbol.for('skip-override')] = true;
tolmFastify[Symbol.for('fastify.display-name')] = 'tolm';

module.exports = tolmFastify;
module.exports.default = tolmFastify;
module.exports.tolmFastify = tolmFastify;
