"""The Redis store per check, against a local redis-server started here on a free loopback
port: exact mode and lease mode, one busy client and 100k clients, admitted and refused, from
Python (redis-py) and Node (ioredis). Prints the median of 5 runs with min-max, round trips per
check, and lease mode's speed-up over exact mode measured in the same run.

    TOLM_BUILD_DIR=build python3 bench/redis/run.py
"""

import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("TOLM_BUILD_DIR", os.path.join(ROOT, "build")))
sys.path[:0] = [BUILD, os.path.join(ROOT, "python")]
RUNS, CHECKS = 5, 20000

CASES = [  # (name, settings, clients, one client refused)
    ("1 client, admitted", dict(capacity=1e12, refill_rate=0), 1),
    ("1 client, refused", dict(capacity=1, refill_rate=0), 1),
    ("100k clients, admitted", dict(capacity=1e12, refill_rate=0), 100_000),
]

NODE = r"""
const path = require('path');
const [root, build, url, settings, clients, checks, runs] = process.argv.slice(1);
const { limiter } = require(path.join(root, 'lib', 'middleware'));
const { TolmNode } = require(path.join(build, 'tolm_native.node'));
const IORedis = require(path.join(root, 'build-redis-node', 'node_modules', 'ioredis'));
(async () => {
  const client = new IORedis(url);
  const config = JSON.parse(settings);
  const out = [];
  for (let r = 0; r < Number(runs); r += 1) {
    const store = limiter({ ...config, redis: client, redisTimeoutMs: 5000, redisPrefix: `n${r}:` }, { TolmNode });
    await store.ready;
    const keys = Array.from({ length: Number(clients) }, (_, i) => `k${i}`);
    const started = process.hrtime.bigint();
    for (let i = 0; i < Number(checks); i += 1) await store.check(keys[i % keys.length], '/');
    const us = Number(process.hrtime.bigint() - started) / 1000 / Number(checks);
    out.push([us, store.redisStats.calls / Number(checks)]);
  }
  console.log(JSON.stringify(out));
  client.disconnect();
})();
"""


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def python_runs(url, settings, clients):
    import tolm

    out = []
    for r in range(RUNS):
        limiter = tolm.limiter(redis=url, redis_prefix=f"p{r}:", redis_timeout_ms=5000, **settings)
        keys = [f"k{i}" for i in range(clients)]
        started = time.perf_counter()
        for i in range(CHECKS):
            limiter.check(keys[i % clients], "/")
        out.append(((time.perf_counter() - started) / CHECKS * 1e6,
                    limiter.redis_stats["calls"] / CHECKS))
    return out


def node_runs(url, settings, clients):
    if shutil.which("node") is None or not os.path.isdir(os.path.join(ROOT, "build-redis-node")):
        return None
    config = {"capacity": settings["capacity"], "refillRate": settings["refill_rate"]}
    if "lease" in settings:
        config.update(lease=settings["lease"], leaseMs=settings["lease_ms"])
    done = subprocess.run(["node", "-e", NODE, ROOT, BUILD, url, json.dumps(config), str(clients),
                           str(CHECKS), str(RUNS)], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def summary(runs):
    times = [r[0] for r in runs]
    return statistics.median(times), min(times), max(times), statistics.median(r[1] for r in runs)


def main():
    workdir = tempfile.mkdtemp()
    port = free_port()
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no", "--dir", workdir],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    try:
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.1).close()
                break
            except OSError:
                time.sleep(0.05)
        print(f"redis store, {RUNS} runs of {CHECKS} checks: median us/check (min-max), round trips/check")
        print(f"{'case':26s} {'runtime':7s} {'exact':>24s} {'lease k=100':>24s} {'lease speed-up':>15s}")
        for name, settings, clients in CASES:
            leased = dict(settings, lease=100, lease_ms=600000)
            for runtime, measure in (("python", python_runs), ("node", node_runs)):
                exact, lease = measure(url, settings, clients), measure(url, leased, clients)
                if exact is None:
                    continue
                e, l_ = summary(exact), summary(lease)
                print(f"{name:26s} {runtime:7s} {e[0]:7.1f} ({e[1]:.1f}-{e[2]:.1f}) rt {e[3]:.3f}"
                      f"  {l_[0]:7.2f} ({l_[1]:.2f}-{l_[2]:.2f}) rt {l_[3]:.4f}  {e[0] / l_[0]:10.1f}x")
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
