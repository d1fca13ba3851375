"""Tail latency of every limiter of the throughput benchmark under a million clients: runs
one fresh process per limiter (bench/tail/py_tail.py, bench/tail/node_tail.js), reads the
per-call latencies they store, and writes docs/bench-tail-results.json and
docs/bench-tail.png; prints the table.

Run by bench/tail/run.sh (`make bench-tail`) or by bench/run-all.sh (`make bench`), which
install the peers and build tolm. Settings come from the environment:
  TOLM_BUILD_DIR        Release build with tolm_native.abi3.so and tolm_native.node
  BENCH_QUICK=1         100,000 clients and short windows, for iteration; writes to
                        bench/results/ unless BENCH_OUT_DIR says otherwise
  BENCH_TAIL_CLIENTS    live clients (default 1,000,000; quick 100,000)
  BENCH_TAIL_SECONDS    measured window per limiter (default 10; quick 2); a limiter that
                        keeps its clients on the runtime's heap gets up to 2.5 times that,
                        until a full collection has happened in its window
  BENCH_TAIL_ONLY       comma-separated rows to run, e.g. "Python:tolm,Node:map"
  BENCH_OUT_DIR         where the JSON and PNG go (default docs/)
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PEERS = os.path.join(ROOT, "bench", "peers")
sys.path.insert(0, PEERS)
sys.path.insert(0, os.path.join(ROOT, "bench"))
import run as throughput  # noqa: E402  rows and version probes of the throughput run
from machine import Run, finish, write_results  # noqa: E402  bench/machine.py

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
CLIENTS = int(os.environ.get("BENCH_TAIL_CLIENTS", "100000" if QUICK else "1000000"))
WINDOW_SECONDS = float(os.environ.get("BENCH_TAIL_SECONDS", "2" if QUICK else "10"))
MAX_WINDOW_SECONDS = 2.5 * WINDOW_SECONDS
WARMUP_SECONDS = 0.3 if QUICK else 1.0
# Room for the fastest limiter's calls over the longest window (about 400 ns a call with the
# harness around it); the children's arrays only take memory where they are written.
MAX_CALLS = int(MAX_WINDOW_SECONDS * 2.5e6) + 100_000
OUT_DIR = os.environ.get("BENCH_OUT_DIR", os.path.join(ROOT, "bench", "results") if QUICK
                         else os.path.join(ROOT, "docs"))
CHILD_TIMEOUT = 600
QUANTILES = {"p50": 0.5, "p99": 0.99, "p999": 0.999, "p9999": 0.9999}
SPIKE_NS = 1_000_000  # calls this slow are counted by cause
LISTED_NS = 250_000  # calls this slow that were the limiter's own work are listed (up to 100)
TOP = 10

# Every limiter of the throughput table except the floors, which keep no per-client state.
ROWS = [(group, variant, label) for group, variant, label, _ in throughput.ROWS if variant != "floor"]


def log(text):
    print(text, file=sys.stderr, flush=True)


def selected(rows):
    only = os.environ.get("BENCH_TAIL_ONLY", "").strip()
    if not only:
        return rows
    wanted = {item.strip() for item in only.split(",")}
    return [row for row in rows if f"{row[0]}:{row[1]}" in wanted]


def child_command(group, variant, out_dir):
    args = [variant, str(CLIENTS), str(WARMUP_SECONDS), str(WINDOW_SECONDS), str(MAX_WINDOW_SECONDS),
            str(MAX_CALLS), out_dir]
    if group == "Python":
        return [sys.executable, os.path.join(HERE, "py_tail.py")] + args
    return ["node", "--expose-gc", os.path.join(HERE, "node_tail.js")] + args


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([env["TOLM_BUILD_DIR"], PEERS])
    return env


def gc_view(group, gc):
    """Full and young collections in the window, each with its count and longest pause."""
    if group == "Python":
        pauses = gc["pauses"]
        full = {"count": gc["collections"].get("2", 0), "max_ns": pauses.get("2", {}).get("max_ns", 0)}
        young = {"count": gc["collections"].get("0", 0) + gc["collections"].get("1", 0),
                 "max_ns": max(pauses.get(g, {}).get("max_ns", 0) for g in ("0", "1"))}
        return full, young
    kinds = gc["kinds"]
    major = kinds.get("mark-compact", {})
    minor = kinds.get("scavenge", {})
    return ({"count": major.get("count", 0), "max_ns": major.get("max_ns", 0)},
            {"count": minor.get("count", 0), "max_ns": minor.get("max_ns", 0)})


def analyse(summary, lat, blocks):
    """Percentiles, and for the slow calls what was happening around them.

    A slow call is put down to a collection when one at least half its length overlaps its
    block of calls; otherwise to being off the processor when the block's wall time exceeds
    its CPU time by at least half the call; otherwise to the limiter's own work (a table
    growing, a sweep...), which is what the 'keys' of each listed call help to place."""
    calls = len(lat)
    values = np.quantile(lat, list(QUANTILES.values()), method="inverted_cdf")
    figures = {name: int(v) for name, v in zip(QUANTILES, values)}
    figures["max"] = int(lat.max())
    figures["mean"] = float(lat.mean())
    wall, cpu = blocks[:, 0], blocks[:, 1]
    begin = int(wall[0])
    block = summary["block_calls"]
    events = summary["gc"]["listed"]
    base_keys = summary["clients"] + summary["fresh_keys_before_window"]
    every = summary["fresh_every"]

    def context(i):
        k = int(i) // block
        span_start, span_end = int(wall[k]) - begin, int(wall[k + 1]) - begin
        off_cpu = max(0, (span_end - span_start) - int(cpu[k + 1] - cpu[k]))
        overlapping = [e for e in events if e[1] < span_end and e[1] + e[2] > span_start]
        longest = max(overlapping, key=lambda e: e[2]) if overlapping else None
        ns = int(lat[i])
        if longest is not None and longest[2] >= 0.5 * ns:
            cause = "gc"
        elif off_cpu >= 0.5 * ns:
            cause = "off-cpu"
        else:
            cause = "limiter"
        return {
            "call": int(i), "ns": ns, "at_ms": round(span_start / 1e6, 2),
            "keys": base_keys + (int(i) + 1) // every,
            "gc": None if longest is None else {"kind": longest[0], "ns": int(longest[2])},
            "block_off_cpu_ns": off_cpu, "cause": cause,
        }

    top = np.argpartition(lat, -TOP)[-TOP:] if calls > TOP else np.arange(calls)
    top = sorted(top, key=lambda i: -lat[i])
    slow = [context(i) for i in np.flatnonzero(lat >= LISTED_NS)[:50_000]]
    over = [s for s in slow if s["ns"] >= SPIKE_NS]
    own = [s for s in slow if s["cause"] == "limiter"]
    own = sorted(sorted(own, key=lambda s: -s["ns"])[:100], key=lambda s: s["call"])
    figures.update({
        "calls": calls,
        "window_seconds": (int(wall[-1]) - begin) / 1e9,
        "calls_over_1ms": int(np.count_nonzero(lat >= SPIKE_NS)),
        "calls_over_1ms_by_cause": {cause: sum(1 for s in over if s["cause"] == cause)
                                    for cause in ("gc", "off-cpu", "limiter")},
        "slowest": [context(i) for i in top],
        "own_work_spikes": own,
    })
    return figures


def run_row(group, variant, label, env, scratch):
    command = child_command(group, variant, scratch)
    begun = time.time()
    run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    if run.returncode != 0:
        raise RuntimeError(f"exited {run.returncode}: {run.stderr.strip()[-2000:]}")
    summary = json.loads(run.stdout)
    lat_path = os.path.join(scratch, f"{variant}.lat")
    blocks_path = os.path.join(scratch, f"{variant}.blocks")
    lat = np.fromfile(lat_path, dtype="<i8")
    blocks = np.fromfile(blocks_path, dtype="<i8").reshape(2, -1).T  # (wall, cpu) per block start
    os.remove(lat_path)
    os.remove(blocks_path)
    figures = analyse(summary, lat, blocks)
    full, young = gc_view(group, summary["gc"])
    summary.pop("window_begin_ns")
    return {"group": group, "id": variant, "label": label, "latency_ns": figures,
            "gc_full": full, "gc_young": young, "gc_forced_full_ns": summary["gc"]["forced_full_ns"],
            "process_seconds": round(time.time() - begun, 1),
            "child": summary}


def main():
    import tail_report

    env = child_env()
    run = Run(QUICK)
    rows, failures = [], []
    scratch = tempfile.mkdtemp(prefix="tolm-tail-")
    todo = selected(ROWS)
    try:
        for n, (group, variant, label) in enumerate(todo, 1):
            try:
                row = run_row(group, variant, label, env, scratch)
            except (RuntimeError, subprocess.TimeoutExpired, ValueError, OSError) as error:
                failures.append(f"{group} {variant}: {error}")
                log(f"[{n}/{len(todo)}] {group} {variant}: FAILED {error}")
                continue
            rows.append(row)
            lat = row["latency_ns"]
            log(f"[{n}/{len(todo)}] {group:6} {variant:15} p50 {lat['p50'] / 1e3:8.2f} us  "
                f"p99.9 {lat['p999'] / 1e3:9.1f} us  max {lat['max'] / 1e3:10.0f} us  "
                f"full GCs {row['gc_full']['count']}  {lat['calls']:,} calls  "
                f"({row['process_seconds']} s)")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    results = {
        **run.record(),
        "peer_versions": throughput.versions(),
        "method": {
            "clients": CLIENTS, "window_seconds": WINDOW_SECONDS, "max_window_seconds": MAX_WINDOW_SECONDS,
            "warmup_seconds": WARMUP_SECONDS,
            "max_calls": MAX_CALLS, "fresh_every": 10, "spike_ns": SPIKE_NS,
            "latency": "wall time of each call between two readings of the runtime's clock "
                       "(includes one reading's cost: see each row's timer); one fresh process "
                       "per limiter, single thread, every call allowed",
        },
        "rows": rows,
        "failures": failures,
    }
    json_path = write_results(results, OUT_DIR, "bench-tail-results.json")
    print(tail_report.table(results))
    print()
    print(tail_report.outliers(results))
    chart_path = os.path.join(OUT_DIR, "bench-tail.png")
    tail_report.chart(results, chart_path)
    finish([json_path, chart_path], failures)


if __name__ == "__main__":
    main()
