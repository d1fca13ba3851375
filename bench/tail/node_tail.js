'use strict';
// Per-call latency of one Node.js limiter under many clients, in a process of its own
// (started by bench/tail/measure.py with --expose-gc).
//
//   node --expose-gc node_tail.js VARIANT CLIENTS WARMUP_SECONDS MIN_WINDOW MAX_WINDOW MAX_CALLS OUT_DIR
//
// The limiter and its call are those of the throughput benchmark (bench/peers/node_child.js,
// required). CLIENTS distinct keys are inserted first (no collection is forced afterwards), a
// warm-up follows, then the measured window: every tenth call comes from a key never seen
// before, the other nine from the live keys in a fixed pseudo-random order. Each call is timed
// on its own with
// process.hrtime.bigint(), whose readings go straight into a BigInt64Array: optimised code
// then stores the 64-bit value without making a BigInt, so the timing allocates nothing
// (performance.now() allocates on every reading in this Node version; both are measured).
//
// The window lasts MIN_WINDOW seconds; a limiter that keeps its clients on the JavaScript heap
// gets more, up to MAX_WINDOW, until a full collection (mark-compact) has happened in it: with
// a million clients V8 waits for the old generation to grow by a good part before one, and a
// window without one would leave out the pause a server of that limiter does meet.
//
// Writes OUT_DIR/VARIANT.lat (int64 nanoseconds per call) and OUT_DIR/VARIANT.blocks (int64:
// the wall clock at the start of every block of 1024 calls and at the end, then the process's
// CPU time at the same moments) and prints a JSON summary: the timer's own cost, the window,
// V8's collections in it (from a PerformanceObserver on 'gc' entries, which are queued natively
// and delivered once the window is over), involuntary context switches and the load average.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { performance, PerformanceObserver, constants } = require('node:perf_hooks');
const v8 = require('node:v8');
const { variants, ipv4LikeKeys, ROUTE } = require('../peers/node_child');

const FRESH_EVERY = 10; // one call in ten is from a never-seen key
const BLOCK_SHIFT = 10; // the timeline keeps one timestamp per 1024 calls
const BLOCK_MASK = (1 << BLOCK_SHIFT) - 1;
const PICKS = 1 << 20; // length of the repeating pseudo-random order over the live keys
const SEED = 20240613;
const TIMER_PAIRS = 1_000_000;
const GC_REPORTED_NS = 100_000; // collections at least this long are listed one by one
const EXTEND_MIN_HEAP_PER_KEY = 16;
const HEAP_SAMPLE = 50_000;
const GC_KINDS = {
  [constants.NODE_PERFORMANCE_GC_MINOR]: 'scavenge',
  [constants.NODE_PERFORMANCE_GC_MAJOR]: 'mark-compact',
  [constants.NODE_PERFORMANCE_GC_INCREMENTAL]: 'incremental',
  [constants.NODE_PERFORMANCE_GC_WEAKCB]: 'weak-callbacks',
};

const hr = process.hrtime.bigint;
const stamp = new BigInt64Array(2);

// Built untimed, as a server builds it from a request. Array.join makes a flat string (a
// template literal of this length makes a rope that the limiter's first read would flatten).
function freshKey(n) {
  return [11 + (n >>> 24), (n >>> 16) & 255, (n >>> 8) & 255, n & 255].join('.');
}

// The sync and async loops are identical but for the await. The timed span holds one call
// and one clock reading. At the start of every block of calls the wall clock and the
// process's CPU time are noted (untimed): a slow call in a block whose wall time far exceeds
// its CPU time was off the processor, not working.
function syncLoop(call, live, picks, lat, timeline, cputime, first, stop, fresh, deadline) {
  const mask = picks.length - 1;
  let i = first;
  while (i < stop) {
    if ((i & BLOCK_MASK) === 0) {
      timeline[i >>> BLOCK_SHIFT] = hr();
      cputime[i >>> BLOCK_SHIFT] = cpuNs();
      if (timeline[i >>> BLOCK_SHIFT] > deadline) break;
    }
    const key = i % FRESH_EVERY === FRESH_EVERY - 1 ? freshKey(fresh++) : live[picks[i & mask]];
    stamp[0] = hr();
    call(key, ROUTE);
    stamp[1] = hr();
    lat[i] = BigInt.asIntN(64, stamp[1] - stamp[0]);
    i++;
  }
  return [i, fresh];
}

async function asyncLoop(call, live, picks, lat, timeline, cputime, first, stop, fresh, deadline) {
  const mask = picks.length - 1;
  let i = first;
  while (i < stop) {
    if ((i & BLOCK_MASK) === 0) {
      timeline[i >>> BLOCK_SHIFT] = hr();
      cputime[i >>> BLOCK_SHIFT] = cpuNs();
      if (timeline[i >>> BLOCK_SHIFT] > deadline) break;
    }
    const key = i % FRESH_EVERY === FRESH_EVERY - 1 ? freshKey(fresh++) : live[picks[i & mask]];
    stamp[0] = hr();
    await call(key, ROUTE);
    stamp[1] = hr();
    lat[i] = BigInt.asIntN(64, stamp[1] - stamp[0]);
    i++;
  }
  return [i, fresh];
}

function cpuNs() {
  const { user, system } = process.cpuUsage();
  return (user + system) * 1000;
}

// Sorts in place: a million-element JavaScript array here would leave the young generation
// grown and the old one holding garbage, which changes how the window's collections go.
function quantiles(sorted) {
  sorted.sort();
  const at = (q) => Number(sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))]);
  return { median_ns: at(0.5), p999_ns: at(0.999), max_ns: at(1), pairs: sorted.length };
}

// Back-to-back readings, stored the way the loops store a latency.
function hrtimeCost() {
  const pairs = new BigInt64Array(TIMER_PAIRS);
  for (let i = 0; i < TIMER_PAIRS; i++) {
    stamp[0] = hr();
    stamp[1] = hr();
    pairs[i] = BigInt.asIntN(64, stamp[1] - stamp[0]);
  }
  return quantiles(pairs);
}

function performanceNowCost() {
  const pairs = new Float64Array(TIMER_PAIRS);
  for (let i = 0; i < TIMER_PAIRS; i++) {
    const t0 = performance.now();
    const t1 = performance.now();
    pairs[i] = (t1 - t0) * 1e6;
  }
  return quantiles(pairs);
}

// xorshift32: the same order of live keys in every process.
function makePicks(clients) {
  const picks = new Uint32Array(PICKS);
  let x = SEED;
  for (let i = 0; i < PICKS; i++) {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    picks[i] = (x >>> 0) % clients;
  }
  return picks;
}

function gcSummary(entries, beginNs, endNs, offsetNs) {
  const kinds = {};
  const listed = [];
  for (const entry of entries) {
    const start = entry.startTime * 1e6 + offsetNs;
    if (start < beginNs || start > endNs) continue;
    const kind = GC_KINDS[entry.kind] || `kind${entry.kind}`;
    const duration = entry.duration * 1e6;
    const cell = (kinds[kind] ||= { count: 0, max_ns: 0, total_ns: 0 });
    cell.count++;
    cell.max_ns = Math.max(cell.max_ns, duration);
    cell.total_ns += duration;
    if (duration >= GC_REPORTED_NS) listed.push([kind, Math.round(start - beginNs), Math.round(duration)]);
  }
  return { kinds, listed };
}

// Lets the event loop turn so that the gc entries queued so far reach the observer.
async function drainGcEntries() {
  for (let turn = 0; turn < 3; turn++) await new Promise((resolve) => setImmediate(resolve));
}

async function main() {
  const [name, clientArg, warmupArg, minWindowArg, maxWindowArg, maxArg, outDir] = process.argv.slice(2);
  if (!(name in variants)) throw new Error(`unknown variant ${name}`);
  const clients = Number(clientArg);
  const maxCalls = Number(maxArg);
  const loadStart = os.loadavg()[0];
  const timer = { ...hrtimeCost(), clock: 'process.hrtime.bigint' };
  const performanceNow = performanceNowCost();

  const live = ipv4LikeKeys(clients);
  const picks = makePicks(clients);
  // Large typed arrays get pages the kernel maps on first store; the stores happen outside
  // the timed span, and a run that stops early never touches the rest.
  const lat = new BigInt64Array(maxCalls);
  const timeline = new BigInt64Array((maxCalls >>> BLOCK_SHIFT) + 2);
  const cputime = new Float64Array(timeline.length);

  // Every live key inserted; the first few between two full collections, to weigh what the
  // limiter keeps per client on the heap. None is forced after the rest: the window starts
  // where the inserts left the collector, somewhere in its cycle as a server's would be.
  const variant = variants[name]();
  const loop = variant.async ? asyncLoop : syncLoop;
  const insert = async (from, to) => {
    for (let i = from; i < to; i++) {
      if (variant.async) await variant.call(live[i], ROUTE);
      else variant.call(live[i], ROUTE);
    }
  };
  const weighed = Math.min(clients, HEAP_SAMPLE);
  const setupBegin = performance.now();
  global.gc();
  const heapBefore = process.memoryUsage().heapUsed;
  await insert(0, weighed);
  global.gc();
  const heapPerKey = (process.memoryUsage().heapUsed - heapBefore) / weighed;
  await insert(weighed, clients);
  const setupSeconds = (performance.now() - setupBegin) / 1e3;

  const warmupSeconds = Number(warmupArg);
  let fresh = 0;
  [, fresh] = await loop(variant.call, live, picks, lat, timeline, cputime, 0, maxCalls, fresh,
    hr() + BigInt(Math.round(warmupSeconds * 1e9)));
  const freshBefore = fresh;

  const entries = [];
  const observer = new PerformanceObserver((list) => {
    for (const entry of list.getEntries()) {
      entries.push({ startTime: entry.startTime, duration: entry.duration, kind: entry.detail.kind });
    }
  });
  observer.observe({ entryTypes: ['gc'] });
  const offsetNs = Number(hr()) - performance.now() * 1e6;
  const usageBefore = process.resourceUsage();
  const first = hr();
  let calls;
  // The event loop must not turn inside the window: V8 would then finish its marking in a
  // task between two calls, out of every call's timing. So whether a full collection has
  // happened is asked of a GCProfiler, which answers synchronously.
  let profiler = new v8.GCProfiler();
  profiler.start();
  [calls, fresh] = await loop(variant.call, live, picks, lat, timeline, cputime, 0, maxCalls, fresh,
    first + BigInt(Math.round(Number(minWindowArg) * 1e9)));
  // A limiter whose clients live on the JavaScript heap gets more time, a second at a time,
  // until a full collection has happened in the window.
  const extended = heapPerKey >= EXTEND_MIN_HEAP_PER_KEY;
  const last = first + BigInt(Math.round(Number(maxWindowArg) * 1e9));
  let fullSeen = false;
  while (extended && calls < maxCalls && hr() < last) {
    fullSeen ||= profiler.stop().statistics.some((gc) => gc.gcType === 'MarkSweepCompact');
    if (fullSeen) break;
    profiler = new v8.GCProfiler();
    profiler.start();
    const next = hr() + 1_000_000_000n;
    [calls, fresh] = await loop(variant.call, live, picks, lat, timeline, cputime, calls, maxCalls, fresh,
      next < last ? next : last);
  }
  if (!fullSeen) profiler.stop();
  const blocks = (calls + BLOCK_MASK) >>> BLOCK_SHIFT;
  timeline[blocks] = hr();
  cputime[blocks] = cpuNs();
  const usageAfter = process.resourceUsage();
  const begin = timeline[0];
  const end = timeline[blocks];
  await new Promise((resolve) => setTimeout(resolve, 200));
  await drainGcEntries();
  observer.disconnect();

  // What one full collection of this heap costs, forced once after the window (reported apart
  // from the percentiles; V8 marks mostly concurrently when it starts one itself, so this is an
  // upper bound of its pause).
  const forcedBegin = hr();
  global.gc();
  const forced = Number(hr() - forcedBegin);

  // Untimed: live keys and the window's fresh keys must still be allowed.
  const sample = live.slice(0, 1000);
  for (let n = freshBefore; n < fresh; n += 97) sample.push(freshKey(n));
  for (const key of sample) {
    const result = await variant.call(key, ROUTE);
    if (!variant.allowed(result)) throw new Error(`${key} was not allowed: ${JSON.stringify(result)}`);
  }

  fs.writeFileSync(path.join(outDir, `${name}.lat`), new Uint8Array(lat.buffer, 0, calls * 8));
  const stamps = new BigInt64Array(2 * (blocks + 1));
  for (let k = 0; k <= blocks; k++) {
    stamps[k] = timeline[k];
    stamps[blocks + 1 + k] = BigInt(Math.round(cputime[k]));
  }
  fs.writeFileSync(path.join(outDir, `${name}.blocks`), new Uint8Array(stamps.buffer));

  const windowNs = Number(end - begin);
  const gc = gcSummary(entries, Number(begin), Number(end), offsetNs);
  const result = {
    runtime: 'Node',
    variant: name,
    clients,
    timer,
    timer_alternatives: { 'performance.now': performanceNow },
    setup_seconds: Math.round(setupSeconds * 100) / 100,
    warmup_seconds: warmupSeconds,
    window_ns: windowNs,
    window_begin_ns: Number(begin),
    calls,
    heap_bytes_per_key: Math.round(heapPerKey),
    window_extended: extended,
    fresh_keys_before_window: freshBefore,
    fresh_keys_in_window: fresh - freshBefore,
    fresh_every: FRESH_EVERY,
    block_calls: 1 << BLOCK_SHIFT,
    gc: {
      kinds: gc.kinds,
      full: gc.kinds['mark-compact'] ? gc.kinds['mark-compact'].count : 0,
      listed: gc.listed,
      listed_min_ns: GC_REPORTED_NS,
      forced_full_ns: forced,
    },
    involuntary_switches: usageAfter.involuntaryContextSwitches - usageBefore.involuntaryContextSwitches,
    cpu_share: (cputime[blocks] - cputime[0]) / windowNs,
    cpu_share_of: 'process (with V8 helper threads)',
    load_average: [loadStart, os.loadavg()[0]],
  };
  process.stdout.write(JSON.stringify(result));
  // rate-limiter-flexible and express-rate-limit keep timers; do not wait for them.
  process.exit(0);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
