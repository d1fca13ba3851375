'use strict';
// Koa with tolm/koa: each signed-in user (else each address) gets 20 requests at once and 5
// more per second; the health check is not limited.
//
//   npm install tolm koa
//   node examples/koa_app.js
//   curl -i http://127.0.0.1:3000/
const Koa = require('koa');
const { limiter } = require('tolm/middleware');
const { rateLimit } = require('tolm/koa');

const app = new Koa();
app.proxy = false; // true only behind a proxy you run (then ctx.ip is its X-Forwarded-For)
// Set ctx.state.user here from a verified session or token (koa-session, a JWT check).
app.use(rateLimit(limiter({ algorithm: 'token_bucket', capacity: 20, refillRate: 5 }), {
  identity: (ctx) => (ctx.state.user ? ctx.state.user.id : undefined),
  skip: (ctx) => ctx.path === '/health',
}));
app.use((ctx) => {
  ctx.body = ctx.path === '/health' ? 'ok' : { remaining: ctx.state.tolm.remaining };
});
const server = app.listen(Number(process.env.PORT || 3000), '127.0.0.1', () => {
  console.log(`listening on http://127.0.0.1:${server.address().port}`);
});
