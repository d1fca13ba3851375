"""Runs the whole comparison: tolm's core alone, tolm from Python and Node.js beside its
binding floors, and the peer limiters users would otherwise pick, then prints one table and
writes docs/bench-results.json and docs/bench-chart.png.

Every figure comes from fresh processes (one per measurement and repetition). Repetitions are
whole passes over every measurement, so that a change of machine load during the run hits
every limiter alike rather than one of them. Within a process: all keys inserted, warm-up,
then samples of whole rounds over the key set; the process reports the median of its samples,
and the table shows the median and the range of those per-process figures.

Run by bench/run-all.sh, which installs the peers and builds what this needs. Settings come
from the environment:
  TOLM_BUILD_DIR      Release build with tolm_native.abi3.so and tolm_native.node
  TOLM_CORE_BENCH     the tolm_core_bench program (Google Benchmark)
  TOLM_BENCH_FLOOR_DIR  directory of the Python floor module (tolm_bench_floor)
  TOLM_BENCH_REFERENCE  the Node reference addon (floor)
  BENCH_QUICK=1       fewer and shorter repetitions, memory at 100,000 keys; for iteration,
                      not for publishing
  BENCH_REPS          repetitions (default 5; quick 3)
  BENCH_OUT_DIR       where the JSON and PNGs go (default docs/)

The core benchmark's churn run (a stream of one-off clients, with and without removal of
recovered keys) runs once, at the end; bench/churn_chart.py draws it into churn-chart.png.
"""

import json
import os
import statistics
import subprocess
import sys
from importlib import metadata

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from machine import Run, finish, summary, write_results  # noqa: E402  bench/machine.py

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
REPS = int(os.environ.get("BENCH_REPS", "3" if QUICK else "5"))
SAMPLE_SECONDS = 0.05 if QUICK else 0.1
SAMPLES = 3 if QUICK else 5
WARMUP_SECONDS = 0.2 if QUICK else 0.3
MANY_KEYS = 100_000
MEMORY_KEYS = 100_000 if QUICK else 1_000_000
MEMORY_REPS = 1
OUT_DIR = os.environ.get("BENCH_OUT_DIR", os.path.join(ROOT, "docs"))
CHILD_TIMEOUT = 600

# (group, id, label, scenarios): one key hit over and over, 100k keys round-robin, memory.
ROWS = [
    ("Python", "tolm", "tolm NativeEngine.check (token bucket)", ("one", "many", "memory")),
    ("Python", "floor", "floor: C function, 2 str in, nested dict out", ("one",)),
    ("Python", "limits_fixed", "limits FixedWindowRateLimiter.hit", ("one", "many", "memory")),
    ("Python", "limits_moving", "limits MovingWindowRateLimiter.hit (1 s)", ("one", "many", "memory")),
    ("Python", "limits_sliding", "limits SlidingWindowCounterRateLimiter.hit", ("one", "many", "memory")),
    ("Python", "pyrate", "pyrate-limiter Limiter.try_acquire", ("one", "many", "memory")),
    ("Python", "token_bucket", "token-bucket Limiter.consume", ("one", "many", "memory")),
    ("Python", "dict", "plain dict token bucket, nested dict", ("one", "many", "memory")),
    ("Node", "tolm", "tolm checkRequest (token bucket)", ("one", "many", "memory")),
    ("Node", "floor", "floor: Node-API call, JS factory result", ("one",)),
    ("Node", "rlf", "rate-limiter-flexible consume (awaited)", ("one", "many", "memory")),
    ("Node", "erl", "express-rate-limit MemoryStore.increment", ("one", "many", "memory")),
    ("Node", "limiter_bucket", "limiter TokenBucket.tryRemoveTokens", ("one", "many", "memory")),
    ("Node", "limiter_rate", "limiter RateLimiter.tryRemoveTokens", ("one", "many", "memory")),
    ("Node", "map", "plain Map token bucket, 5-property object", ("one", "many", "memory")),
]
CORE_ROWS = [
    ("BM_TokenBucket_ExistingKey", "Engine::check token bucket", "one"),
    ("BM_TokenBucket_ExistingKey_RemovalOff", "Engine::check token bucket, removal off", "one"),
    ("BM_TokenBucket_ExistingKey_ReusedResult", "Engine::check_into token bucket (Python's path)", "one"),
    ("BM_TokenBucket_ExistingKey_RecordUnread", "Engine::check_into, record unread (Node's path)", "one"),
    ("BM_SlidingWindow_ExistingKey", "Engine::check sliding window (refused path)", "one"),
    ("BM_FixedWindow_ExistingKey", "Engine::check fixed window", "one"),
    ("BM_LeakyBucket_ExistingKey", "Engine::check leaky bucket", "one"),
    ("BM_TokenBucket_MillionKeys/iterations:3000000", "Engine::check token bucket, 1M keys", "many"),
]
SCENARIO_KEYS = {"one": 1, "many": MANY_KEYS}


def log(text):
    print(text, file=sys.stderr, flush=True)


def child_env():
    env = dict(os.environ)
    build = env["TOLM_BUILD_DIR"]
    env["PYTHONPATH"] = os.pathsep.join([build, env["TOLM_BENCH_FLOOR_DIR"], HERE])
    return env


def child_command(group, variant, mode, keys):
    if group == "Python":
        command = [sys.executable, os.path.join(HERE, "py_child.py")]
    else:
        command = ["node"] + (["--expose-gc"] if mode == "memory" else []) + [
            os.path.join(HERE, "node_child.js")]
    command += [mode, variant, str(keys)]
    if mode == "time":
        command += [str(SAMPLE_SECONDS), str(SAMPLES), str(WARMUP_SECONDS)]
    return command


def run_child(command, env):
    run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    if run.returncode != 0:
        raise RuntimeError(f"{' '.join(command[-5:])} exited {run.returncode}: {run.stderr.strip()[-2000:]}")
    return json.loads(run.stdout)


def run_core(env):
    command = [os.environ["TOLM_CORE_BENCH"], "--benchmark_format=json", "--benchmark_repetitions=1",
               "--churn=none"]
    if QUICK:
        command.append("--benchmark_min_time=0.1")
    run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    if run.returncode != 0:
        raise RuntimeError(f"tolm_core_bench exited {run.returncode}: {run.stderr.strip()[-2000:]}")
    report = json.loads(run.stdout)
    return {b["name"]: b for b in report["benchmarks"] if b.get("run_type", "iteration") == "iteration"}


def run_churn(env):
    command = [os.environ["TOLM_CORE_BENCH"], "--churn=json"]
    if QUICK:
        command.append("--churn_seconds=60")
    run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    if run.returncode != 0:
        raise RuntimeError(f"tolm_core_bench --churn exited {run.returncode}: {run.stderr.strip()[-2000:]}")
    return json.loads(run.stdout)


def versions():
    found = {}
    for name in ("limits", "pyrate-limiter", "token-bucket"):
        found[name] = metadata.version(name)
    for name in ("rate-limiter-flexible", "express-rate-limit", "limiter"):
        with open(os.path.join(ROOT, "bench", "node_modules", name, "package.json")) as package:
            found[name] = json.load(package)["version"]
    return found


def main():
    env = child_env()
    run = Run(QUICK)
    time_jobs = [(g, v, s) for g, v, _, scenarios in ROWS for s in scenarios if s != "memory"]
    memory_jobs = [(g, v) for g, v, _, scenarios in ROWS if "memory" in scenarios]
    per_process = {(g, v, s): [] for g, v, s in time_jobs}
    samples = {(g, v, s): [] for g, v, s in time_jobs}
    memory = {(g, v): [] for g, v in memory_jobs}
    core = {name: [] for name, _, _ in CORE_ROWS}
    core_bytes = []
    queue_mb = []
    churn = None
    failures = []

    total = REPS * (len(time_jobs) + 1) + MEMORY_REPS * len(memory_jobs) + 1
    done = 0
    for rep in range(REPS):
        # Start each pass at a different place so no limiter always follows the same one.
        shift = rep * len(time_jobs) // REPS
        for group, variant, scenario in time_jobs[shift:] + time_jobs[:shift]:
            done += 1
            try:
                result = run_child(child_command(group, variant, "time", SCENARIO_KEYS[scenario]), env)
            except (RuntimeError, subprocess.TimeoutExpired) as error:
                failures.append(f"{group} {variant} {scenario}: {error}")
                log(f"[{done}/{total}] {group} {variant} {scenario}: FAILED {error}")
                continue
            figure = statistics.median(result["ns_per_call"])
            per_process[(group, variant, scenario)].append(figure)
            samples[(group, variant, scenario)].append(result["ns_per_call"])
            log(f"[{done}/{total}] {group:6} {variant:15} {scenario:4} {figure:10.1f} ns/call")
        done += 1
        try:
            benchmarks = run_core(env)
            for name, _, _ in CORE_ROWS:
                if name in benchmarks:
                    core[name].append(benchmarks[name]["cpu_time"])
            million = benchmarks.get(CORE_ROWS[-1][0], {})
            if "bytes_per_key" in million:
                core_bytes.append(million["bytes_per_key"])
            telemetry = benchmarks.get("BM_Telemetry_LongUniqueRoutes/iterations:1", {})
            if "queue_mb" in telemetry:
                queue_mb.append(telemetry["queue_mb"])
            log(f"[{done}/{total}] core   tolm_core_bench done")
        except (RuntimeError, subprocess.TimeoutExpired, ValueError) as error:
            failures.append(f"core: {error}")
            log(f"[{done}/{total}] core: FAILED {error}")
    for _ in range(MEMORY_REPS):
        for group, variant in memory_jobs:
            done += 1
            try:
                result = run_child(child_command(group, variant, "memory", MEMORY_KEYS), env)
            except (RuntimeError, subprocess.TimeoutExpired) as error:
                failures.append(f"{group} {variant} memory: {error}")
                log(f"[{done}/{total}] {group} {variant} memory: FAILED {error}")
                continue
            memory[(group, variant)].append(result["bytes_per_key"])
            log(f"[{done}/{total}] {group:6} {variant:15} mem  {result['bytes_per_key']:10.1f} B/key")
    done += 1
    try:
        churn = run_churn(env)
        log(f"[{done}/{total}] core   churn run done")
    except (RuntimeError, subprocess.TimeoutExpired, ValueError) as error:
        failures.append(f"churn: {error}")
        log(f"[{done}/{total}] churn: FAILED {error}")

    rows = []
    for group, variant, label, scenarios in ROWS:
        row = {"group": group, "id": variant, "label": label}
        for scenario in ("one", "many"):
            row[scenario] = summary(per_process.get((group, variant, scenario), []))
            row[scenario + "_samples"] = samples.get((group, variant, scenario), [])
        row["bytes_per_key"] = summary(memory.get((group, variant), []))
        rows.append(row)
    for group in ("Python", "Node"):
        tolm = next(r for r in rows if r["group"] == group and r["id"] == "tolm")
        for row in rows:
            if row["group"] != group:
                continue
            row["ratio_to_tolm"] = {}
            for field in ("one", "many", "bytes_per_key"):
                if row[field] and tolm[field]:
                    row["ratio_to_tolm"][field] = row[field]["median"] / tolm[field]["median"]
    for name, label, scenario in CORE_ROWS:
        row = {"group": "C++ core", "id": name, "label": label, "one": None, "many": None,
               "bytes_per_key": None, "ratio_to_tolm": {}}
        row[scenario] = summary(core[name])
        if scenario == "many":
            row["bytes_per_key"] = summary(core_bytes)
        rows.append(row)

    results = {
        **run.record(),
        "peer_versions": versions(),
        "method": {
            "repetitions": REPS, "samples_per_process": SAMPLES,
            "sample_seconds": SAMPLE_SECONDS, "warmup_seconds": WARMUP_SECONDS,
            "many_keys": MANY_KEYS, "memory_keys": MEMORY_KEYS, "memory_repetitions": MEMORY_REPS,
            "time": "CPU time of the whole process per call; per-process figure is the median "
                    "of its samples; median and min-max are over processes",
            "core": "tolm_core_bench, one fresh process per repetition, cpu_time; its many-keys "
                    "row uses 1,000,000 keys",
        },
        "rows": rows,
        "telemetry_queue_mb": summary(queue_mb),
        "churn": churn,
        "failures": failures,
    }
    json_path = write_results(results, OUT_DIR, "bench-results.json")

    import report

    print(report.table(results))
    chart_path = os.path.join(OUT_DIR, "bench-chart.png")
    report.chart(results, chart_path)
    written = [json_path, chart_path]
    if churn:
        sys.path.insert(0, os.path.dirname(HERE))
        import churn_chart

        churn_path = os.path.join(OUT_DIR, "churn-chart.png")
        churn_chart.draw(churn, churn_path)
        written.append(churn_path)
    finish(written, failures)


if __name__ == "__main__":
    main()
