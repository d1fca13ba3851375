"""tolm's Redis store beside the peers' Redis stores, per check, against one local redis-server
this script starts on a free loopback port and stops.

Rows, each in a child process of its own (bench/peers/py_child.py and node_child.js, run the
way bench/shared/run.py runs them), one key and REDIS_MANY_KEYS keys:
  Python  tolm exact (token bucket, and the fixed window the peers count with), tolm lease
          (k=100) under the limit and refused, tolm exact refused;
          limits RedisStorage fixed and moving window (what flask-limiter and slowapi use),
          fixed window refused.
  Node    tolm exact (with a URL, given an ioredis client as the peers are, and the fixed
          window), tolm lease
          (k=100) under the limit and refused, tolm exact refused;
          rate-limiter-flexible RateLimiterRedis (admitted and refused), express-rate-limit
          with rate-limit-redis.
After the rows, bench/redis/node_interleaved.js measures Node's exact stores in one process, in
turns, so that each ratio compares slices a few hundred milliseconds apart.
Times are wall microseconds per check (a check waits for redis-server, which CPU time would
leave out): the median over the passes, with the range. Passes alternate every row, so each
ratio is taken within one pass, under the same load. Round trips per check are counted by the
server (INFO commandstats over the child's run, divided by the checks the child made).

    TOLM_BUILD_DIR=build-release bench/.venv/bin/python bench/redis/run.py
    BENCH_REPS=3 (passes), BENCH_QUICK=1 (shorter samples)
"""

import importlib.util
import os
import statistics
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
os.environ.setdefault("TOLM_BUILD_DIR", os.path.join(ROOT, "build-release"))
os.environ["TOLM_BUILD_DIR"] = os.path.abspath(os.environ["TOLM_BUILD_DIR"])

# The redis-server, the children and their environment are bench/shared/run.py's.
_spec = importlib.util.spec_from_file_location("tolm_bench_shared",
                                               os.path.join(ROOT, "bench", "shared", "run.py"))
shared = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(shared)

REPS = int(os.environ.get("BENCH_REPS", "1" if shared.QUICK else "3"))
shared.SAMPLES = 3
shared.SAMPLE_SECONDS = 0.05
shared.WARMUP_SECONDS = 0.05
# A round over the keys is one check per key: 10k keys at ~100 us is a second per round, and a
# child takes several rounds; 100k keys would take minutes per row for the exact stores.
MANY = shared.REDIS_MANY_KEYS

ROWS = [  # (runtime, variant, label, kind): kind tolm_exact, tolm_lease, peer; "refused" rows
    ("Python", "tolm_redis_exact", "tolm exact", "exact"),
    ("Python", "tolm_redis_exact_fixed", "tolm exact, fixed window", "exact_fixed"),
    ("Python", "tolm_redis_lease", "tolm lease k=100", "lease"),
    ("Python", "limits_redis_fixed", "limits RedisStorage fixed window", "peer"),
    ("Python", "limits_redis_moving", "limits RedisStorage moving window", "peer"),
    ("Python", "tolm_redis_exact_refused", "tolm exact, refused", "exact_refused"),
    ("Python", "tolm_redis_lease_refused", "tolm lease k=100, refused", "lease_refused"),
    ("Python", "limits_redis_fixed_refused", "limits fixed window, refused", "peer_refused"),
    ("Node", "tolm_redis_exact", "tolm exact", "exact"),
    ("Node", "tolm_redis_exact_ioredis", "tolm exact, given an ioredis client", "exact_client"),
    ("Node", "tolm_redis_exact_fixed", "tolm exact, fixed window", "exact_fixed"),
    ("Node", "tolm_redis_lease", "tolm lease k=100", "lease"),
    ("Node", "rlf_redis", "rate-limiter-flexible RateLimiterRedis", "peer"),
    ("Node", "erl_redis", "express-rate-limit + rate-limit-redis", "peer"),
    ("Node", "tolm_redis_exact_refused", "tolm exact, refused", "exact_refused"),
    ("Node", "tolm_redis_lease_refused", "tolm lease k=100, refused", "lease_refused"),
    ("Node", "rlf_redis_refused", "rate-limiter-flexible, refused", "peer_refused"),
]
SCENARIOS = (("one", 1), ("many", MANY))


def commandstats(server):
    """Calls per command since the last CONFIG RESETSTAT, read over a plain socket."""
    import socket

    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as connection:
        connection.sendall(b"INFO commandstats\r\n")
        data = b""
        while True:
            data += connection.recv(65536)
            head, _, rest = data.partition(b"\r\n")
            if head.startswith(b"$") and len(rest) >= int(head[1:]):
                break
    calls = {}
    for line in rest.decode().splitlines():
        if line.startswith("cmdstat_"):
            name, fields = line[len("cmdstat_"):].split(":", 1)
            calls[name] = int(dict(f.split("=") for f in fields.split(","))["calls"])
    return calls


def round_trips(calls):
    # Commands a script runs inside the server are counted too; only those a client sent are
    # round trips.
    inside = {"time", "hmget", "hset", "pexpire", "persist", "del", "get", "set", "incrby",
              "expire", "zadd", "zcard", "zremrangebyscore", "pttl", "ttl", "hget", "decrby",
              "incr", "zrange", "lrange", "lpush", "ltrim", "lindex", "llen", "lpop", "rpop",
              "zcount", "setex", "psetex", "exists", "decr", "pexpireat", "expireat"}
    return sum(n for name, n in calls.items()
               if name not in inside and not name.startswith(("config", "info")))


def main():
    env = shared.child_env("", "unused")
    server = shared.RedisServer()
    env["BENCH_REDIS_URL"] = server.url
    env["PYTHONPATH"] = os.pathsep.join([env["PYTHONPATH"], os.path.join(ROOT, "python")])
    times = {}  # (runtime, variant, scenario) -> [us per pass]
    trips = {}
    ratios = {}
    try:
        for rep in range(REPS):
            shared.log(f"pass {rep + 1}/{REPS}")
            this_pass = {}
            for runtime, variant, label, kind in ROWS:
                for scenario, keys in SCENARIOS:
                    server.command("FLUSHALL")
                    server.command("CONFIG", "RESETSTAT")
                    try:
                        result = shared.child_result(runtime, variant, keys, env)
                    except RuntimeError as error:
                        shared.log(f"  {runtime} {variant} {scenario}: {error}")
                        continue
                    us = statistics.median(result["wall_ns_per_call"]) / 1000
                    this_pass[(runtime, variant, scenario)] = us
                    times.setdefault((runtime, variant, scenario), []).append(us)
                    per_check = round_trips(commandstats(server)) / result["checks"]
                    trips.setdefault((runtime, variant, scenario), []).append(per_check)
            for runtime in ("Python", "Node"):
                for scenario, _ in SCENARIOS:
                    def pick(kind):
                        return [this_pass[(r, v, scenario)] for r, v, _, k in ROWS
                                if r == runtime and k == kind and (r, v, scenario) in this_pass]
                    peer, peer_refused = pick("peer"), pick("peer_refused") or pick("peer")
                    exact, lease, lease_refused = pick("exact"), pick("lease"), pick("lease_refused")
                    if not peer or not exact:
                        continue

                    def add(name, value):
                        ratios.setdefault((runtime, scenario, name), []).append(value)
                    add("exact / fastest peer (goal <= 1x)", exact[0] / min(peer))
                    exact_fixed = pick("exact_fixed")
                    if exact_fixed:
                        add("exact, fixed window / fastest peer (goal <= 1x)", exact_fixed[0] / min(peer))
                    exact_client = pick("exact_client")
                    if exact_client:
                        add("exact given the peers' client / fastest peer", exact_client[0] / min(peer))
                    if lease:
                        add("lease throughput / fastest peer, under limit (goal >= 5x)",
                            min(peer) / lease[0])
                    if lease_refused:
                        add("lease throughput / fastest peer, refused (goal >= 50x)",
                            min(peer_refused) / lease_refused[0])
        # Node's exact stores once more, in one process in turns (bench/redis/node_interleaved.js).
        interleaved = subprocess.run(
            ["node", os.path.join(HERE, "node_interleaved.js"), "7" if shared.QUICK else "21"],
            env=env, capture_output=True, text=True, timeout=1200)
        interleaved_text = interleaved.stdout if interleaved.returncode == 0 else \
            f"node_interleaved.js failed: {interleaved.stderr[-800:]}"
    finally:
        server.stop()

    print(f"\nRedis stores per check, {REPS} passes; wall us per check: median (min-max); "
          f"round trips per check (server's count); many = {MANY} keys")
    print(f"{'runtime':7s} {'store':42s} {'one key':>24s} {'rt':>7s} {'many keys':>24s} {'rt':>7s}")
    for runtime, variant, label, _ in ROWS:
        cells = []
        for scenario, _ in SCENARIOS:
            values = times.get((runtime, variant, scenario))
            if not values:
                cells += [f"{'-':>24s}", f"{'-':>7s}"]
                continue
            rt = statistics.median(trips[(runtime, variant, scenario)])
            cells += [f"{statistics.median(values):9.2f} ({min(values):.2f}-{max(values):.2f})".rjust(24),
                      f"{rt:7.4f}"]
        print(f"{runtime:7s} {label:42s} " + " ".join(cells))
    print("\nGoal ratios, per pass: median (min-max)")
    for (runtime, scenario, name), values in ratios.items():
        print(f"{runtime:7s} {scenario:5s} {name:58s} {statistics.median(values):8.2f}x "
              f"({min(values):.2f}-{max(values):.2f})")
    for runtime in ("Python", "Node"):
        for scenario, _ in SCENARIOS:
            exact = trips.get((runtime, "tolm_redis_exact", scenario))
            lease = trips.get((runtime, "tolm_redis_lease", scenario))
            peers = [statistics.median(trips[(r, v, scenario)]) for r, v, _, k in ROWS
                     if r == runtime and k == "peer" and (r, v, scenario) in trips]
            if lease and peers:
                lease_rt = statistics.median(lease)
                print(f"{runtime:7s} {scenario:5s} {'round trips: fewest peer / lease (goal >= 10x)':58s} "
                      f"{min(peers) / lease_rt if lease_rt else float('inf'):8.1f}x "
                      f"(exact {statistics.median(exact) if exact else float('nan'):.3f}, "
                      f"lease {lease_rt:.4f}, peers {min(peers):.3f})")
    print()
    print(interleaved_text.rstrip())


if __name__ == "__main__":
    main()
