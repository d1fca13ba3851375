"""The shared-memory store's figures: what sharing one table between every process of a host
costs against the private table, and what it saves against the peers' answer to the same need
(a Redis server every worker asks). Prints one table and writes shared-results.json.

  1. One process, per check: the C++ core's shared and private engines (tolm_core_bench, its
     BM_Shared rows, one key and 100k keys), then the bindings: tolm's private engine and a
     shared one in Python and in Node, each in a fresh process.
  2. Four processes hammering one key, then keys of their own: total checks per second, shared
     against private (tolm_core_bench --hammer=4), and the same with four Python and four Node
     processes.
  3. The peers with Redis, against a redis-server this script starts on a free loopback port
     and stops: limits' RedisStorage (what flask-limiter and slowapi call with a redis://
     storage URI), rate-limiter-flexible's RateLimiterRedis and express-rate-limit with
     rate-limit-redis, both through ioredis.
  4. Bytes of region per client at a million clients (BM_Shared_MillionKeys_BytesPerClient).

Times here are wall nanoseconds per check: a Redis store's check waits for another process,
which the caller's own CPU time would leave out. Repetitions are whole passes over every
measurement; every ratio is taken within one pass (same load) and the table shows the median
and range of those per-pass ratios.

Run by bench/run-all.sh (`make bench`) after the peers are installed and tolm is built. Settings
come from the environment:
  TOLM_BUILD_DIR      Release build with tolm_native.abi3.so and tolm_native.node
  TOLM_CORE_BENCH     the tolm_core_bench program
  BENCH_QUICK=1       fewer and shorter repetitions
  BENCH_REPS          repetitions (default 5; quick 3)
  BENCH_OUT_DIR       where the JSON goes (default docs/, quick bench/results/)
"""

import ctypes
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.dirname(HERE)
ROOT = os.path.dirname(BENCH)
PEERS = os.path.join(BENCH, "peers")
sys.path.insert(0, BENCH)
from machine import Run, finish, summary, write_results  # noqa: E402  bench/machine.py

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
REPS = int(os.environ.get("BENCH_REPS", "3" if QUICK else "5"))
SAMPLE_SECONDS = 0.05 if QUICK else 0.1
SAMPLES = 3 if QUICK else 5
WARMUP_SECONDS = 0.2 if QUICK else 0.3
OUT_DIR = os.environ.get("BENCH_OUT_DIR") or (
    os.path.join(BENCH, "results") if QUICK else os.path.join(ROOT, "docs"))
CHILD_TIMEOUT = 300
MANY_KEYS = 100_000
# A Redis check is a round trip; a round over 100k keys would take seconds per sample, and
# its time per check does not depend on how many keys the server holds.
REDIS_MANY_KEYS = 10_000
REGION_CLIENTS = 200_000

# (group, variant, label, kind): kind "private", "shared" or "redis".
ROWS = [
    ("Python", "tolm", "tolm NativeEngine.check, private table", "private"),
    ("Python", "tolm_shared", "tolm NativeEngine.check, shared region", "shared"),
    ("Python", "limits_redis_fixed", "limits RedisStorage fixed window (flask-limiter, slowapi)", "redis"),
    ("Node", "tolm", "tolm checkRequest, private table", "private"),
    ("Node", "tolm_shared", "tolm checkRequest, shared region", "shared"),
    ("Node", "rlf_redis", "rate-limiter-flexible RateLimiterRedis.consume", "redis"),
    ("Node", "erl_redis", "express-rate-limit + rate-limit-redis increment", "redis"),
]
CORE_ROWS = [
    ("BM_Shared_OneKey_Private", "one", "private"),
    ("BM_Shared_OneKey_Shared", "one", "shared"),
    ("BM_Shared_100kKeys_Private", "many", "private"),
    ("BM_Shared_100kKeys_Shared", "many", "shared"),
]
MEMORY_ROW = "BM_Shared_MillionKeys_BytesPerClient/iterations:3000000"


def log(text):
    print(text, file=sys.stderr, flush=True)


_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # The server goes with this script however it ends.
    _libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RedisServer:
    """A throwaway redis-server on 127.0.0.1: no persistence, its own directory, stopped with
    the run."""

    def __init__(self):
        binary = shutil.which("redis-server")
        if binary is None:
            raise RuntimeError("redis-server is not installed (bash scripts/bootstrap --for bench)")
        self.port = free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.dir = tempfile.mkdtemp(prefix="tolm-bench-redis-")
        self.process = subprocess.Popen(
            [binary, "--bind", "127.0.0.1", "--port", str(self.port), "--save", "",
             "--appendonly", "no", "--dir", self.dir, "--protected-mode", "yes"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        deadline = time.monotonic() + 10
        while self.command("PING") != "+PONG":
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"redis-server did not start on 127.0.0.1:{self.port}")
            time.sleep(0.05)

    def command(self, *words):
        """One inline command; the server's first reply line, or None when it cannot be reached."""
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=2) as connection:
                connection.sendall((" ".join(words) + "\r\n").encode())
                return connection.recv(4096).split(b"\r\n", 1)[0].decode()
        except OSError:
            return None

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def remove_region(name):
    """Removes a region a child left behind (the children end with _exit, and a region outlives
    its last user until removed)."""
    sys.path.insert(0, os.environ["TOLM_BUILD_DIR"])
    try:
        import tolm_native
    except ImportError:
        return
    remover = getattr(tolm_native, "_remove_shared", None)
    if remover is not None:
        remover(name)


def child_env(redis_url, region):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([env["TOLM_BUILD_DIR"], PEERS])
    env["BENCH_REDIS_URL"] = redis_url
    env["TOLM_BENCH_REGION"] = region
    env["TOLM_BENCH_REGION_CLIENTS"] = str(REGION_CLIENTS)
    # The many-key rows visit the keys in an order other than the one they were inserted in:
    # the private table keeps entries in insertion order and would otherwise read them one
    # after another, which real traffic never does.
    env["TOLM_BENCH_KEY_ORDER"] = "shuffled"
    return env


def keys_for(variant, scenario):
    if scenario == "one":
        return 1
    return REDIS_MANY_KEYS if variant.endswith("_redis") or "redis" in variant else MANY_KEYS


def run_child(group, variant, keys, env):
    result = child_result(group, variant, keys, env)
    return statistics.median(result["wall_ns_per_call"]), statistics.median(result["ns_per_call"])


def child_result(group, variant, keys, env):
    """One child's whole answer (bench/redis/run.py reads its count of checks too)."""
    if group == "Python":
        command = [sys.executable, os.path.join(PEERS, "py_child.py")]
    else:
        command = ["node", os.path.join(PEERS, "node_child.js")]
    command += ["time", variant, str(keys), str(SAMPLE_SECONDS), str(SAMPLES), str(WARMUP_SECONDS)]
    run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    if run.returncode != 0:
        output = run.stderr + run.stdout
        if "skipped:" in output:
            raise RuntimeError(output[output.index("skipped:"):].splitlines()[0])
        raise RuntimeError(output.strip()[-600:])
    return json.loads(run.stdout)


def run_core_rows(core):
    command = [core, "--churn=none", "--benchmark_format=json", "--benchmark_filter=BM_Shared",
               "--benchmark_min_time=0.1" if QUICK else "--benchmark_min_time=0.3"]
    run = subprocess.run(command, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    if run.returncode != 0:
        raise RuntimeError(f"tolm_core_bench exited {run.returncode}: {run.stderr.strip()[-600:]}")
    return {b["name"]: b for b in json.loads(run.stdout)["benchmarks"]}


HAMMER_LINE = re.compile(r"^\s+(same key|own keys)\s+(private|shared)\s+(\d+)\s+\((\d+)-(\d+)\)")


def run_hammer(core, processes=4):
    run = subprocess.run([core, f"--hammer={processes}"], capture_output=True, text=True,
                         timeout=CHILD_TIMEOUT)
    if run.returncode != 0:
        raise RuntimeError(f"tolm_core_bench --hammer exited {run.returncode}: {run.stderr[-600:]}")
    found = {}
    for line in run.stdout.splitlines():
        match = HAMMER_LINE.match(line)
        if match:
            keys, store = match.group(1), match.group(2)
            found[f"{keys}/{store}"] = {"median": float(match.group(3)), "min": float(match.group(4)),
                                        "max": float(match.group(5))}
    if len(found) != 4:
        raise RuntimeError(f"tolm_core_bench --hammer printed {len(found)} of 4 rows: {run.stdout[-600:]}")
    return {"processes": processes, "checks_per_second": found, "output": run.stdout}


HAMMER_PROCESSES = 4
HAMMER_OWN_KEYS = 1000


def hammer_bindings(group, variant, same_key, env):
    """HAMMER_PROCESSES children of one binding started together, on one key or on keys of
    their own: the sum of their checks per second (each child's median wall rate). The
    children overlap for all but their start-up, which a warm-up covers."""
    if group == "Python":
        base = [sys.executable, os.path.join(PEERS, "py_child.py")]
    else:
        base = ["node", os.path.join(PEERS, "node_child.js")]
    keys = 1 if same_key else HAMMER_OWN_KEYS
    children = []
    for p in range(HAMMER_PROCESSES):
        child_env = dict(env, TOLM_BENCH_KEY_OFFSET=str(p * HAMMER_OWN_KEYS))
        command = base + ["time", variant, str(keys), str(SAMPLE_SECONDS), str(SAMPLES),
                          str(WARMUP_SECONDS)]
        children.append(subprocess.Popen(command, env=child_env, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True))
    total = 0.0
    errors = []
    for child in children:
        out, err = child.communicate(timeout=CHILD_TIMEOUT)
        if child.returncode != 0:
            errors.append((err + out).strip()[-300:])
            continue
        total += 1e9 / statistics.median(json.loads(out)["wall_ns_per_call"])
    if errors:
        raise RuntimeError(errors[0])
    return total


def ratio(a, b):
    return a / b if a and b else None


def _terminate(signum, frame):
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGTERM, _terminate)
    run = Run(QUICK)
    failures, skipped = [], {}
    core = os.environ.get("TOLM_CORE_BENCH")
    wall = {(g, v, s): [] for g, v, _, _ in ROWS for s in ("one", "many")}
    cpu = {(g, v, s): [] for g, v, _, _ in ROWS for s in ("one", "many")}
    core_ns = {name: [] for name, _, _ in CORE_ROWS}
    ratios = {}  # name -> [per-pass ratio]
    memory = []

    def add_ratio(name, value):
        if value is not None:
            ratios.setdefault(name, []).append(value)

    redis = RedisServer()
    log(f"redis-server {redis.command('INFO', 'server') and 'up'} on 127.0.0.1:{redis.port}")
    try:
        for rep in range(REPS):
            jobs = [(g, v, s) for g, v, _, _ in ROWS for s in ("one", "many")]
            shift = rep * len(jobs) // REPS
            jobs = jobs[shift:] + jobs[:shift]
            this_pass = {}
            for group, variant, scenario in jobs:
                if (group, variant) in skipped:
                    continue
                region = f"tolm-bench-{os.getpid()}-{group.lower()}-{scenario}"
                remove_region(region)
                redis.command("FLUSHALL")
                try:
                    figure, cpu_figure = run_child(group, variant, keys_for(variant, scenario),
                                                   child_env(redis.url, region))
                except (RuntimeError, subprocess.TimeoutExpired) as error:
                    text = str(error)
                    if "skipped:" in text:
                        skipped[(group, variant)] = text[text.index("skipped:"):].splitlines()[0]
                        log(f"  {group} {variant}: {skipped[(group, variant)]}")
                    else:
                        failures.append(f"{group} {variant} {scenario}: {text}")
                        log(f"  {group} {variant} {scenario}: FAILED {text}")
                    continue
                finally:
                    remove_region(region)
                wall[(group, variant, scenario)].append(figure)
                cpu[(group, variant, scenario)].append(cpu_figure)
                this_pass[(group, variant, scenario)] = figure
                log(f"  pass {rep + 1} {group:6} {variant:20} {scenario:4} {figure:10.1f} ns/check")
            for group in ("Python", "Node"):
                for scenario in ("one", "many"):
                    shared = this_pass.get((group, "tolm_shared", scenario))
                    add_ratio(f"{group}/{scenario}/shared_vs_private",
                              ratio(shared, this_pass.get((group, "tolm", scenario))))
                    redis_figures = [f for (g, v, s), f in this_pass.items()
                                     if g == group and s == scenario and "redis" in v]
                    fastest = min(redis_figures) if redis_figures else None
                    add_ratio(f"{group}/{scenario}/fastest_redis_peer_vs_shared", ratio(fastest, shared))
                    add_ratio(f"{group}/{scenario}/fastest_redis_peer_vs_private",
                              ratio(fastest, this_pass.get((group, "tolm", scenario))))
            if core:
                try:
                    benchmarks = run_core_rows(core)
                    for name, _, _ in CORE_ROWS:
                        core_ns[name].append(benchmarks[name]["cpu_time"])
                    add_ratio("core/one/shared_vs_private", ratio(
                        benchmarks["BM_Shared_OneKey_Shared"]["cpu_time"],
                        benchmarks["BM_Shared_OneKey_Private"]["cpu_time"]))
                    add_ratio("core/many/shared_vs_private", ratio(
                        benchmarks["BM_Shared_100kKeys_Shared"]["cpu_time"],
                        benchmarks["BM_Shared_100kKeys_Private"]["cpu_time"]))
                    if MEMORY_ROW in benchmarks:
                        memory.append({k: benchmarks[MEMORY_ROW].get(k) for k in (
                            "region_bytes_per_client", "resident_bytes_per_client", "evictions",
                            "cpu_time")})
                    log(f"  pass {rep + 1} core shared rows done")
                except (RuntimeError, subprocess.TimeoutExpired, KeyError, ValueError) as error:
                    failures.append(f"core: {error}")
                    log(f"  core: FAILED {error}")
        bindings_hammer = {}
        for rep in range(REPS):
            for group in ("Python", "Node"):
                for same_key in (True, False):
                    for variant in ("tolm", "tolm_shared"):
                        if (group, variant) in skipped:
                            continue
                        name = f"{group}/{'same key' if same_key else 'own keys'}/{variant}"
                        region = f"tolm-bench-{os.getpid()}-{group.lower()}-hammer"
                        remove_region(region)
                        try:
                            rate = hammer_bindings(group, variant, same_key,
                                                   child_env(redis.url, region))
                        except (RuntimeError, subprocess.TimeoutExpired) as error:
                            failures.append(f"hammer {name}: {error}")
                            continue
                        finally:
                            remove_region(region)
                        bindings_hammer.setdefault(name, []).append(rate)
                        log(f"  pass {rep + 1} {HAMMER_PROCESSES} processes {name:32} {rate:12.0f} checks/s")
        hammer = None
        if core:
            try:
                hammer = run_hammer(core)
                log(hammer["output"].rstrip())
            except (RuntimeError, subprocess.TimeoutExpired) as error:
                failures.append(f"hammer: {error}")
    finally:
        redis.stop()

    rows = []
    for group, variant, label, kind in ROWS:
        rows.append({"group": group, "id": variant, "label": label, "kind": kind,
                     "keys": {s: keys_for(variant, s) for s in ("one", "many")},
                     "skipped": skipped.get((group, variant)),
                     "wall_ns": {s: summary(wall[(group, variant, s)]) for s in ("one", "many")},
                     "cpu_ns": {s: summary(cpu[(group, variant, s)]) for s in ("one", "many")}})
    results = {
        **run.record(),
        "method": {
            "repetitions": REPS, "samples_per_process": SAMPLES, "sample_seconds": SAMPLE_SECONDS,
            "warmup_seconds": WARMUP_SECONDS, "many_keys": MANY_KEYS,
            "redis_many_keys": REDIS_MANY_KEYS, "region_clients": REGION_CLIENTS,
            "time": "bindings: wall ns per check, median of a fresh process's samples; core: "
                    "Google Benchmark cpu_time; ratios: within one pass, median and range over "
                    "passes",
        },
        "redis_server": subprocess.run(["redis-server", "--version"], capture_output=True,
                                       text=True).stdout.strip(),
        "rows": rows,
        "core": {name: summary(core_ns[name]) for name, _, _ in CORE_ROWS},
        "ratios": {name: summary(values) for name, values in ratios.items()},
        "hammer": hammer,
        "hammer_bindings": {"processes": HAMMER_PROCESSES, "own_keys_per_process": HAMMER_OWN_KEYS,
                            "checks_per_second": {n: summary(v) for n, v in bindings_hammer.items()}},
        "memory_at_1m_clients": memory,
        "failures": failures,
    }
    json_path = write_results(results, OUT_DIR, "shared-results.json")
    print(table(results))
    finish([json_path], failures)


def _cell(cell, digits=0):
    if not cell:
        return "-"
    return f"{cell['median']:.{digits}f} ({cell['min']:.{digits}f}-{cell['max']:.{digits}f})"


def table(results):
    lines = ["== one process, wall ns per check: median (min-max over passes)"]
    for row in results["rows"]:
        if row["skipped"]:
            lines.append(f"  {row['group']:6} {row['label']:58} {row['skipped']}")
            continue
        many = f"{row['keys']['many'] // 1000}k keys"
        lines.append(f"  {row['group']:6} {row['label']:58} 1 key {_cell(row['wall_ns']['one']):>24}"
                     f"   {many} {_cell(row['wall_ns']['many']):>24}")
    lines.append("== C++ core, cpu ns per check")
    for name, _, _ in CORE_ROWS:
        lines.append(f"  {name:40} {_cell(results['core'][name], 1)}")
    lines.append("== same-pass ratios: median (min-max)")
    for name, cell in sorted(results["ratios"].items()):
        lines.append(f"  {name:48} {_cell(cell, 2)}")
    if results["hammer"]:
        lines.append(f"== {results['hammer']['processes']} processes, total checks per second "
                     "(median of 5, min-max)")
        for name, cell in results["hammer"]["checks_per_second"].items():
            lines.append(f"  {name:20} {_cell(cell)}")
    hammer = results["hammer_bindings"]
    if hammer["checks_per_second"]:
        lines.append(f"== bindings, {hammer['processes']} processes, total checks per second "
                     "(median, min-max over passes)")
        for name, cell in sorted(hammer["checks_per_second"].items()):
            lines.append(f"  {name:32} {_cell(cell)}")
    for memory in results["memory_at_1m_clients"][:1]:
        lines.append(f"== region bytes per client at 1M clients: {memory['region_bytes_per_client']:.1f} "
                     f"(resident {memory['resident_bytes_per_client']:.1f}, "
                     f"evictions {memory['evictions']:.0f})")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
