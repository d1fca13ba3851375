'use strict';
// Fastify with tolm/fastify: every route allows each signed-in user (else each address) 20
// requests at once and 5 more per second; the login route has a limit of its own and the
// health check none.
//
//   npm install tolm fastify
//   node examples/fastify_app.js
//   curl -i http://127.0.0.1:3000/
const Fastify = require('fastify');
const { limiter } = require('tolm/middleware');
const tolmFastify = require('tolm/fastify');

async function main() {
  const app = Fastify({ trustProxy: false }); // 1, or your proxies' addresses, behind proxies
  // Set request.user here from a verified session or token (an auth plugin does this).
  app.decorateRequest('user', null);
  // Awaited: routes declared after it all get its hook.
  await app.register(tolmFastify, {
    limiter: limiter({ algorithm: 'token_bucket', capacity: 20, refillRate: 5 }),
    identity: (request) => (request.user ? request.user.id : undefined),
  });
  app.get('/', async (request) => ({ remaining: request.tolm.remaining }));
  app.post('/login', { config: { rateLimit: limiter({ algorithm: 'fixed_window', capacity: 5 }) } },
    async () => ({ signedIn: true }));
  app.get('/health', { config: { rateLimit: false } }, async () => 'ok');
  await app.listen({ port: Number(process.env.PORT || 3000), host: '127.0.0.1' });
  console.log(`listening on http://127.0.0.1:${app.server.address().port}`);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
