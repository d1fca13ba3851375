'use strict';
// The load generator of the HTTP benchmark: one long-lived process that reads one JSON job per
// line on stdin and answers one JSON line on stdout, so that a run of a few hundred
// measurements pays Node's start-up once.
//
// A job: { url, connections, warmup, seconds, keys, cursor }. autocannon keeps `connections`
// open and sends GET requests for warmup + seconds; only responses completed after the warm-up
// count. keys = 1 sends one fixed X-Forwarded-For address; keys = N > 1 sends N distinct
// addresses in turn from 198.18.0.0/15, the range set aside for benchmarking (the servers trust
// one proxy hop on loopback, so every limiter keys the request by that address). The next
// address is remembered per `cursor` name, so a server's later measurements go on through the
// pool rather than start again at its first address.
// The answer: requests, seconds, rps, status counts, errors, and latency p50/p99/max in ms
// over every counted response (allowed and refused), from Node's high-resolution clock:
// autocannon's own histogram keeps whole milliseconds, too coarse for a 1 ms server. `total`
// also counts the warm-up's responses, for the server's CPU time per request.

const readline = require('node:readline');
const autocannon = require('autocannon');

function address(i) {
  return `198.${18 + (i >> 16)}.${(i >> 8) & 255}.${i & 255}`;
}

const addressCache = new Map();
function addresses(keys) {
  let list = addressCache.get(keys);
  if (!list) {
    list = Array.from({ length: keys }, (_, i) => address(i));
    addressCache.set(keys, list);
  }
  return list;
}

const cursors = new Map();

function requestsFor(keys, cursorName) {
  if (keys <= 1) return [{ method: 'GET', path: '/', headers: { 'x-forwarded-for': address(1) } }];
  const list = addresses(keys);
  const cursor = cursors.get(cursorName) || { next: 0 };
  cursors.set(cursorName, cursor);
  return [{
    method: 'GET',
    path: '/',
    setupRequest(request) {
      request.headers = { 'x-forwarded-for': list[cursor.next] };
      cursor.next = cursor.next + 1 === list.length ? 0 : cursor.next + 1;
      return request;
    },
  }];
}

function percentile(sorted, p) {
  if (sorted.length === 0) return null;
  const index = Math.min(sorted.length - 1, Math.max(0, Math.ceil((p / 100) * sorted.length) - 1));
  return sorted[index];
}

function measure(job) {
  return new Promise((resolve, reject) => {
    let latencies = new Float64Array(1 << 16);
    let count = 0;
    let total = 0;
    const statuses = {};
    let measuring = false;
    let measureStart = 0n;
    let measureEnd = 0n;
    // These timers bound the measured window exactly; autocannon's duration is only a backstop.
    const warmupTimer = setTimeout(() => {
      measuring = true;
      measureStart = process.hrtime.bigint();
    }, job.warmup * 1000);
    const stopTimer = setTimeout(() => {
      measuring = false;
      measureEnd = process.hrtime.bigint();
      instance.stop();
    }, (job.warmup + job.seconds) * 1000);
    const instance = autocannon({
      url: job.url,
      connections: job.connections,
      pipelining: 1,
      duration: Math.ceil(job.warmup + job.seconds) + 30,
      // autocannon acts on stop() at its next sample tick; the default of one second would
      // keep loading the server, unmeasured, for up to that long after each measurement.
      sampleInt: 50,
      timeout: 10,
      requests: requestsFor(job.keys, `${job.cursor}/${job.keys}`),
    }, (err, result) => {
      clearTimeout(warmupTimer);
      clearTimeout(stopTimer);
      if (err) {
        reject(err);
        return;
      }
      const seconds = measureEnd > measureStart ? Number(measureEnd - measureStart) / 1e9 : 0;
      const sorted = latencies.subarray(0, count).sort();
      resolve({
        requests: count,
        total,
        seconds,
        rps: seconds > 0 ? count / seconds : 0,
        statuses,
        errors: result.errors,
        timeouts: result.timeouts,
        p50: percentile(sorted, 50),
        p99: percentile(sorted, 99),
        max: count ? sorted[count - 1] : null,
      });
    });
    instance.on('response', (client, statusCode, bytes, responseTime) => {
      total++;
      if (!measuring) return;
      if (count === latencies.length) {
        const grown = new Float64Array(latencies.length * 2);
        grown.set(latencies);
        latencies = grown;
      }
      latencies[count++] = responseTime;
      statuses[statusCode] = (statuses[statusCode] || 0) + 1;
    });
  });
}

async function main() {
  const lines = readline.createInterface({ input: process.stdin });
  for await (const line of lines) {
    if (line.trim() === '') continue;
    let answer;
    try {
      answer = await measure(JSON.parse(line));
    } catch (err) {
      answer = { error: String(err && err.stack ? err.stack : err) };
    }
    process.stdout.write(`${JSON.stringify(answer)}\n`);
  }
}

main().catch((err) => {
  process.stderr.write(`${err.stack || err}\n`);
  process.exit(1);
});
