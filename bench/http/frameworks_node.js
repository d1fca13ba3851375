'use strict';
// The Fastify server of the framework benchmark (bench/http/frameworks.py):
//   node frameworks_node.js <none|tolm|peer> <port>
// tolm is tolm/fastify with the route's own limit (config.rateLimit), peer is
// @fastify/rate-limit likewise; the limit is far above what the server can answer, so every
// request is admitted. Prints "listening" once it accepts connections.
const path = require('node:path');
const Fastify = require('fastify');

const [variant, port] = process.argv.slice(2);
const PER_SECOND = 1e9;

async function main() {
  const app = Fastify();
  let config = {};
  if (variant === 'tolm') {
    const { TolmNode } = require(path.join(process.env.TOLM_BUILD_DIR, 'tolm_native.node'));
    const { limiter } = require('../../lib/middleware');
    await app.register(require('../../lib/fastify'), { global: false });
    config = { rateLimit: limiter({ capacity: PER_SECOND, refillRate: PER_SECOND }, { TolmNode }) };
  } else if (variant === 'peer') {
    await app.register(require('@fastify/rate-limit'), { global: false });
    config = { rateLimit: { max: PER_SECOND, timeWindow: 1000 } };
  } else if (variant !== 'none') {
    throw new Error(`unknown variant ${variant}`);
  }
  app.get('/', { config }, async () => 'ok');
  await app.listen({ port: Number(port), host: '127.0.0.1' });
  console.log('listening');
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
