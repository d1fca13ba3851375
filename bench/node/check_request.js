'use strict';
// checkRequest on one existing key of a token bucket, against references measured in
// the same run:
//   floor     reads the same three arguments and returns the same object the same way,
//             with no engine behind it: the least a Node-API checkRequest can cost;
//   jsBuilt   the floor of another design: the native call returns only the detail text,
//             leaves the outcome in an Int32Array, and JavaScript builds the object;
//   setNamed  a real engine check whose result is built with one napi_set_named_property
//             per property;
//   engine    the engine's check alone, looped in C++: the part of checkRequest that no
//             binding can remove;
//   decide    the middleware's check: the lean entry (bound to the instance and its array by
//             _decider, as the middleware calls it) and the decision object the middleware
//             makes from its numbers;
//   middleware  one request through rateLimit (tolm/middleware) with the standard headers,
//             on a stand-in request and response: keying, the check and the header values;
//             with TOLM_BENCH_BASELINE_LIB naming another checkout's lib/, middlewareBaseline
//             is the same through that one. TOLM_BENCH_VARIANTS picks variants (comma list).
// Every sample set comes from a fresh process that warms up first; variants alternate so
// that drifting machine load hits them alike.
const { spawnSync } = require('node:child_process');
const path = require('node:path');

const [, , role, variant] = process.argv;
const buildDir = process.env.TOLM_BUILD_DIR;
const referencePath = process.env.TOLM_BENCH_REFERENCE;

const CALLS = 200_000;
const WARMUP_CALLS = 300_000;
const SAMPLES_PER_PROCESS = 10;
const PROCESSES_PER_VARIANT = 3;

function child() {
  if (variant === 'engine') {
    const { engineLoop } = require(referencePath);
    engineLoop(WARMUP_CALLS);
    const samples = [];
    for (let s = 0; s < SAMPLES_PER_PROCESS; s++) samples.push(engineLoop(CALLS));
    process.stdout.write(JSON.stringify(samples));
    return;
  }
  let check;
  if (variant === 'checkRequest') {
    const { TolmNode } = require(path.join(buildDir, 'tolm_native.node'));
    const node = new TolmNode({ capacity: 1e9, refillRate: 1e9 });
    check = (ip, route, start) => node.checkRequest(ip, route, start);
  } else if (variant === 'decide') {
    const { TolmNode } = require(path.join(buildDir, 'tolm_native.node'));
    const node = new TolmNode({ capacity: 1e9, refillRate: 1e9 });
    const numbers = new Float64Array(3);
    // As the middleware asks: through the bound decider where the addon has one.
    const decideOne = typeof node._decider === 'function' ? node._decider(numbers)
      : (ip, route) => node._decide(ip, route, numbers);
    check = (ip, route) => {
      const outcome = decideOne(ip, route);
      return { allowed: (outcome & 1) === 1, wouldBlock: (outcome & 2) === 2, remaining: numbers[0] };
    };
  } else if (variant === 'middleware' || variant === 'middlewareBaseline') {
    // The baseline: another checkout's lib/ (TOLM_BENCH_BASELINE_LIB), measured in the same run.
    const lib = variant === 'middleware' ? '../../lib' : process.env.TOLM_BENCH_BASELINE_LIB;
    const { TolmNode } = require(path.join(buildDir, 'tolm_native.node'));
    const { limiter, rateLimit } = require(path.join(lib, 'middleware'));
    const handle = rateLimit(limiter({ capacity: 1e9, refillRate: 1e9 }, { TolmNode }));
    const res = { headersSent: false, setHeader() {} };
    const next = () => {};
    check = (ip, route) => {
      const req = { url: route, socket: { remoteAddress: ip } };
      handle(req, res, next);
      return req.tolm;
    };
  } else if (variant === 'jsBuilt') {
    const { primitiveFloor, packedOutcome } = require(referencePath);
    const reasons = ['within_limit', 'limit_exceeded', 'token_exhausted'];
    check = (ip, route, start) => {
      const debugInfo = primitiveFloor(ip, route, start);
      const packed = packedOutcome[0];
      return {
        allowed: (packed & 1) !== 0, wouldBlock: (packed & 2) !== 0, reason: reasons[packed >> 2],
        algorithm: 'token_bucket', debugInfo,
      };
    };
  } else {
    const reference = require(referencePath);
    check = reference[variant];
  }
  const start = Date.now();
  let sink;
  for (let i = 0; i < WARMUP_CALLS; i++) sink = check('10.0.0.1', '/api/items', start);
  const samples = [];
  for (let s = 0; s < SAMPLES_PER_PROCESS; s++) {
    const begin = process.hrtime.bigint();
    for (let i = 0; i < CALLS; i++) sink = check('10.0.0.1', '/api/items', start);
    samples.push(Number(process.hrtime.bigint() - begin) / CALLS);
  }
  if (!sink || sink.allowed !== true ||
      (!['middleware', 'middlewareBaseline', 'decide'].includes(variant) &&
       Object.keys(sink).length !== 5)) {
    throw new Error(`unexpected result ${JSON.stringify(sink)}`);
  }
  process.stdout.write(JSON.stringify(samples));
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

function parent() {
  const variants = (process.env.TOLM_BENCH_VARIANTS ||
    'checkRequest,floor,jsBuilt,setNamed,engine,decide,middleware').split(',')
    .concat(process.env.TOLM_BENCH_BASELINE_LIB ? ['middlewareBaseline'] : []);
  const samples = Object.fromEntries(variants.map((v) => [v, []]));
  for (let round = 0; round < PROCESSES_PER_VARIANT; round++) {
    for (const v of variants) {
      const run = spawnSync(process.execPath, [__filename, 'child', v], { encoding: 'utf8' });
      if (run.status !== 0) throw new Error(`${v} failed:\n${run.stderr}`);
      samples[v].push(...JSON.parse(run.stdout));
    }
  }
  const floor = median(samples.floor);
  console.log(`checkRequest, token bucket, one existing key; ${PROCESSES_PER_VARIANT} fresh ` +
    `processes x ${SAMPLES_PER_PROCESS} samples x ${CALLS} calls per variant (ns per call)`);
  console.log('variant          median     min - max       vs floor');
  for (const v of variants) {
    const values = samples[v];
    const line = [
      v.padEnd(14),
      median(values).toFixed(1).padStart(8),
      `${Math.min(...values).toFixed(1).padStart(9)} - ${Math.max(...values).toFixed(1).padEnd(8)}`,
      `${(median(values) / floor).toFixed(2)}x`.padStart(7),
    ];
    console.log(line.join('  '));
  }
  console.log('engine: the engine\'s check alone, in a C++ loop, in the same run');
}

if (role === 'child') child();
else parent();
