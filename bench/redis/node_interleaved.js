'use strict';
// Node's exact Redis stores in one process, in slices taken in turn: express-rate-limit with
// rate-limit-redis, rate-limiter-flexible's RateLimiterRedis, tolm exact with a URL (its own
// connection) and tolm exact given an ioredis client. bench/redis/run.py runs each store in a
// child of its own, one after another, so a change in the machine's load between two rows
// lands in their ratio; here every slice of tolm is compared with the peers' slices of the same
// turn, a few hundred milliseconds apart.
//
//   BENCH_REDIS_URL=redis://127.0.0.1:PORT/0 TOLM_BUILD_DIR=build-release \
//     node bench/redis/node_interleaved.js [turns]
// One key, checks in sequence; wall µs per check: median over the turns (min-max). Then each
// store's CPU per check with 64 checks in flight.
const path = require('node:path');
const { variants } = require(path.join(__dirname, '..', 'peers', 'node_child.js'));

const SLICE = 1000;
const WARMUP = 100;

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

function spread(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return `${median(values).toFixed(2)} (${sorted[0].toFixed(2)}-${sorted[sorted.length - 1].toFixed(2)})`;
}

async function main() {
  const turns = Number(process.argv[2] || 21);
  const stores = {
    'express-rate-limit + rate-limit-redis': variants.erl_redis(),
    'rate-limiter-flexible RateLimiterRedis': variants.rlf_redis(),
    'tolm exact': variants.tolm_redis_exact(),
    'tolm exact, given an ioredis client': variants.tolm_redis_exact_ioredis(),
    'tolm exact, fixed window': variants.tolm_redis_exact_fixed(),
  };
  const us = {};
  for (let turn = 0; turn < turns; turn += 1) {
    for (const [name, store] of Object.entries(stores)) {
      for (let i = 0; i < WARMUP; i += 1) await store.call('198.51.100.7', '/');
      const start = process.hrtime.bigint();
      let last;
      for (let i = 0; i < SLICE; i += 1) last = await store.call('198.51.100.7', '/');
      (us[name] ??= []).push(Number(process.hrtime.bigint() - start) / SLICE / 1000);
      if (!store.allowed(last)) throw new Error(`${name}: the last check was not allowed`);
    }
  }
  console.log(`Node exact Redis stores, one process, ${turns} turns of ${SLICE} checks each; wall us per check`);
  for (const [name, values] of Object.entries(us)) console.log(`  ${name.padEnd(40)} ${spread(values).padStart(24)}`);
  const peers = us['express-rate-limit + rate-limit-redis'].map((value, turn) =>
    Math.min(value, us['rate-limiter-flexible RateLimiterRedis'][turn]));
  for (const name of ['tolm exact', 'tolm exact, given an ioredis client', 'tolm exact, fixed window']) {
    const ratios = us[name].map((value, turn) => value / peers[turn]);
    console.log(`  ${`${name} / fastest peer of the same turn (goal <= 1x)`.padEnd(65)} ${spread(ratios)}x`);
  }

  // The process's own CPU per check with 64 checks in flight (200 keys): what a busy server
  // spends on the limiter beside the wait for Redis.
  console.log('CPU per check with 64 in flight, 40,000 checks: user us, system us');
  for (const [name, store] of Object.entries(stores)) {
    const burst = async (count) => {
      const inFlight = [];
      for (let i = 0; i < count; i += 1) {
        inFlight.push(store.call(`198.51.100.${i % 200}`, '/'));
        if (inFlight.length === 64) {
          await Promise.all(inFlight);
          inFlight.length = 0;
        }
      }
      await Promise.all(inFlight);
    };
    await burst(5000);
    const before = process.cpuUsage();
    await burst(40000);
    const spent = process.cpuUsage(before);
    console.log(`  ${name.padEnd(40)} ${(spent.user / 40000).toFixed(2).padStart(8)} ${(spent.system / 40000).toFixed(2).padStart(8)}`);
  }
  process.exit(0); // the peers keep timers
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
