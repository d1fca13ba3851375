"""What tolm's framework integrations cost an admitted request, beside the limiter each
framework's users reach for: Flask (tolm.flask vs flask-limiter, under gunicorn with one
gthread worker), FastAPI (tolm.fastapi's dependency vs slowapi, under uvicorn) and Fastify
(tolm/fastify vs @fastify/rate-limit), each also with no limiter. One route, limited per route,
one client, a limit nothing reaches.

Every round measures each variant once (in an order that turns from round to round), under the
same load from bench/http/load.js (autocannon); a variant's figure is its median req/s and the
median of its per-round ratios to the no-limiter server of the same round, with their spread.

    bench/.venv/bin/python bench/http/frameworks.py      # after bash bench/install-peers.sh
    BENCH_FW_ROUNDS=5 BENCH_FW_SECONDS=5 BENCH_FW_ONLY=flask,fastify ...
"""

import json
import os
import socket
import statistics
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("TOLM_BUILD_DIR", os.path.join(ROOT, "build-release"))
ROUNDS = int(os.environ.get("BENCH_FW_ROUNDS", "3"))
SECONDS = float(os.environ.get("BENCH_FW_SECONDS", "4"))
CONNECTIONS = int(os.environ.get("BENCH_FW_CONNECTIONS", "10"))
ONLY = [f for f in os.environ.get("BENCH_FW_ONLY", "").split(",") if f]
VARIANTS = ("none", "tolm", "peer")
FRAMEWORKS = {
    "flask": ("Flask, per-view limit", "tolm.flask", "flask-limiter"),
    "fastapi": ("FastAPI, per-route limit", "tolm.fastapi RateLimit", "slowapi"),
    "fastify": ("Fastify, per-route limit", "tolm/fastify", "@fastify/rate-limit"),
}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(framework, variant):
    port = free_port()
    env = dict(os.environ, TOLM_BUILD_DIR=BUILD, BENCH_FW_APP=framework, BENCH_FW_VARIANT=variant,
               PYTHONPATH=os.pathsep.join([BUILD, os.path.join(ROOT, "python"), HERE]))
    if framework == "flask":
        command = [sys.executable, "-m", "gunicorn", "--workers", "1", "--worker-class", "gthread",
                   "--threads", "4", "--bind", f"127.0.0.1:{port}", "--log-level", "warning",
                   "frameworks_apps:app"]
    elif framework == "fastapi":
        command = [sys.executable, "-m", "uvicorn", "--host", "127.0.0.1", "--port", str(port),
                   "--loop", "uvloop", "--http", "httptools", "--no-access-log", "--log-level",
                   "warning", "frameworks_apps:app"]
    else:
        env["NODE_PATH"] = os.path.join(HERE, "..", "node_modules")
        command = ["node", os.path.join(HERE, "frameworks_node.js"), variant, str(port)]
    process = subprocess.Popen(command, cwd=HERE, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    url = f"http://127.0.0.1:{port}/"
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{framework} {variant} exited: {process.stderr.read()}")
        try:
            with urllib.request.urlopen(url, timeout=2) as answer:
                fields = {k.lower() for k in answer.headers.keys()}
                # Every limited variant must really be checking (and telling) on this route.
                limited = "ratelimit" in fields or "x-ratelimit-limit" in fields
                if limited != (variant != "none"):
                    raise RuntimeError(f"{framework} {variant}: rate-limit headers {sorted(fields)}")
                return process, url
        except OSError:
            time.sleep(0.2)
    process.kill()
    raise RuntimeError(f"{framework} {variant} did not start")


def stop(process):
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def main():
    loader = subprocess.Popen(["node", os.path.join(HERE, "load.js")], cwd=HERE,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, NODE_PATH=os.path.join(HERE, "..", "node_modules")))

    def load(url, name):
        job = {"url": url, "connections": CONNECTIONS, "warmup": 1, "seconds": SECONDS, "keys": 1,
               "cursor": name}
        loader.stdin.write(json.dumps(job) + "\n")
        loader.stdin.flush()
        answer = json.loads(loader.stdout.readline())
        if "error" in answer or set(answer["statuses"]) - {"200"}:
            raise RuntimeError(f"{name}: {answer}")
        return answer["rps"]

    results = {}
    try:
        for framework in ONLY or list(FRAMEWORKS):
            rps = {v: [] for v in VARIANTS}
            for round_index in range(ROUNDS):
                shift = round_index % len(VARIANTS)
                for variant in VARIANTS[shift:] + VARIANTS[:shift]:
                    process, url = start(framework, variant)
                    try:
                        rps[variant].append(load(url, f"{framework}-{variant}"))
                    finally:
                        stop(process)
            results[framework] = rps
    finally:
        loader.stdin.close()
        loader.wait()

    print(f"\n{ROUNDS} rounds x {SECONDS:g} s, {CONNECTIONS} connections, one client; "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"{'server':<28}{'limiter':<26}{'req/s (min-max)':>24}{'vs none (min-max)':>24}")
    for framework, rps in results.items():
        title, ours, peer = FRAMEWORKS[framework]
        for variant, label in (("none", "no limiter"), ("tolm", ours), ("peer", peer)):
            ratios = [v / n for v, n in zip(rps[variant], rps["none"])]
            print(f"{title:<28}{label:<26}"
                  f"{statistics.median(rps[variant]):>10.0f} ({min(rps[variant]):.0f}-{max(rps[variant]):.0f})"
                  f"{statistics.median(ratios):>12.2f} ({min(ratios):.2f}-{max(ratios):.2f})")


if __name__ == "__main__":
    main()
