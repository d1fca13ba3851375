"""One limit for every worker of a server: Flask under gunicorn, Starlette under uvicorn and
Express under node:cluster, each with 4 workers and with no limiter, tolm's private table (each
worker its own limit), tolm's shared region (one limit for all), tolm's Redis store (exact, and
lease mode with k=100) and the peer middleware with its Redis store (flask-limiter, slowapi,
express-rate-limit + rate-limit-redis) on a redis-server this script starts on a free loopback
port. First, per server, the exactness check: capacity 10 and no refill, 40 requests from one
address, and how many got through (one limit for 4 workers lets 10 through;
a private table per worker up to 40). Then requests per second under autocannon, all allowed,
one key and 100k keys, every variant measured once per round in a rotating order, with each
variant's ratio to the no-limiter server of the same round.

Run by bench/http/run.sh after the single-worker benchmark (BENCH_HTTP_SKIP_WORKERS=1 leaves it
out). Settings: those of run.py (TOLM_BUILD_DIR, BENCH_HTTP_QUICK, BENCH_HTTP_ROUNDS,
BENCH_HTTP_SECONDS, BENCH_OUT_DIR, BENCH_HTTP_FRAMEWORKS: of these, flask, starlette and express
run here) and BENCH_HTTP_WORKERS (default 4). Nothing is pinned: four
workers share the machine's cores with the load generator, as they would in production.
"""

import importlib.util
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("BENCH_HTTP_PIN", "0")
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run as single  # noqa: E402  bench/http/run.py: load generator, probe, settings
from machine import Run, write_results  # noqa: E402  bench/machine.py, on the path run.py set
from run import ROOT, VENV_PYTHON, LoadGenerator, finish, log, probe, summary  # noqa: E402


def _shared_run():
    """bench/shared/run.py (its redis-server and region helpers), under a name of its own."""
    spec = importlib.util.spec_from_file_location(
        "shared_run", os.path.join(os.path.dirname(HERE), "shared", "run.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

WORKERS = int(os.environ.get("BENCH_HTTP_WORKERS", "4"))
FRAMEWORKS = [("flask", "Flask under gunicorn", "flask-limiter (Redis)"),
              ("starlette", "Starlette under uvicorn", "slowapi (Redis)"),
              ("express", "Express under node:cluster", "express-rate-limit + rate-limit-redis")]
_chosen = [n.strip() for n in os.environ.get("BENCH_HTTP_FRAMEWORKS", "").split(",") if n.strip()]
if _chosen:
    FRAMEWORKS = [f for f in FRAMEWORKS if f[0] in _chosen]
VARIANTS = ["none", "tolm", "tolm-shared", "tolm-redis", "tolm-redis-lease", "tolm-redis-host",
            "peer-redis"]
LABELS = {"none": "no limiter", "tolm": "tolm, private table per worker",
          "tolm-shared": "tolm, shared region", "tolm-redis": "tolm, Redis exact",
          "tolm-redis-lease": "tolm, Redis lease k=100",
          "tolm-redis-host": "tolm, Redis lease k=100, the host's region"}
EXACT_CAPACITY = 10
EXACT_REQUESTS = 40
OPEN = {"capacity": single.OPEN_LIMIT, "refill_rate": single.OPEN_LIMIT,
        "per_second": single.OPEN_LIMIT}
EXACT = {"capacity": EXACT_CAPACITY, "refill_rate": 1e-6, "per_minute": EXACT_CAPACITY}
SCENARIOS = [("open-1", "all allowed, 1 key", 1), ("open-many", "all allowed, 100k keys", 100_000)]
REGION_CLIENTS = 200_000


def label(framework, variant):
    if variant in ("peer-redis",):
        return next(f[2] for f in FRAMEWORKS if f[0] == framework)
    return LABELS[variant]


class WorkersServer:
    """One server of WORKERS processes on 127.0.0.1, in a session of its own."""

    def __init__(self, framework, variant, limit, redis_url, region):
        self.name = f"{framework} {variant}"
        self.port = single.free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.log = tempfile.TemporaryFile(mode="w+")
        env = dict(os.environ)
        env.update({"BENCH_REDIS_URL": redis_url, "TOLM_BENCH_REGION": region,
                    "TOLM_BENCH_REGION_CLIENTS": str(REGION_CLIENTS)})
        if framework == "express":
            env["BENCH_HTTP_WORKERS"] = str(WORKERS)
            node_limit = {"capacity": limit["capacity"], "refillRate": limit["refill_rate"]}
            node_limit.update({"perMinute": limit["per_minute"]} if "per_minute" in limit
                              else {"perSecond": limit["per_second"]})
            command = ["node", os.path.join(HERE, "node_app.js"), "express", variant,
                       str(self.port), json.dumps(node_limit)]
        else:
            env["PYTHONPATH"] = os.pathsep.join(
                [os.environ["TOLM_BUILD_DIR"], os.path.join(ROOT, "python"), HERE])
            env["BENCH_HTTP_VARIANT"] = variant
            env["BENCH_HTTP_LIMIT"] = json.dumps(limit)
            if framework == "flask":
                command = [VENV_PYTHON, "-m", "gunicorn", "--workers", str(WORKERS), "--worker-class",
                           "gthread", "--threads", "4", "--bind", f"127.0.0.1:{self.port}",
                           "--no-control-socket", "--log-level", "warning", "wsgi_app:app"]
            else:
                command = [VENV_PYTHON, "-m", "uvicorn", "--workers", str(WORKERS), "--host",
                           "127.0.0.1", "--port", str(self.port), "--loop", "uvloop", "--http",
                           "httptools", "--proxy-headers", "--forwarded-allow-ips", "127.0.0.1",
                           "--no-access-log", "--log-level", "warning", "asgi_app:app"]
        self.process = subprocess.Popen(
            command, cwd=HERE, env=env, stdin=subprocess.PIPE, stdout=self.log,
            stderr=subprocess.STDOUT, start_new_session=True, preexec_fn=single._die_with_parent)

    def wait_ready(self):
        deadline = time.monotonic() + single.START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name} exited {self.process.returncode}: {self.output()}")
            try:
                probe(self.url)
                # gunicorn answers once one worker is up; give the others their start too.
                time.sleep(0.5)
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError(f"{self.name} did not answer within {single.START_TIMEOUT:.0f} s")

    def output(self):
        self.log.seek(0)
        return self.log.read()[-1500:].strip()

    def stop(self):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, sig)
            except (ProcessLookupError, PermissionError):
                break
            try:
                self.process.wait(timeout=5)
                break
            except subprocess.TimeoutExpired:
                continue
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        if self.process.stdin:
            self.process.stdin.close()
        self.log.close()


def shared_option_missing(framework):
    """Why this tree cannot open a shared region from this framework's runtime, or None."""
    if framework in ("flask", "starlette"):
        env = dict(os.environ, PYTHONPATH=os.environ["TOLM_BUILD_DIR"])
        command = [VENV_PYTHON, "-c", "import tolm_native; print(hasattr(tolm_native, '_open'))"]
        answer = subprocess.run(command, env=env, capture_output=True, text=True).stdout.strip()
        return None if answer == "True" else "skipped: tolm_native has no _open in this build"
    script = ("const { TolmNode } = require(process.argv[1]);"
              "console.log(typeof TolmNode._open === 'function' ? 'yes' : 'no');")
    answer = subprocess.run(["node", "-e", script, os.path.join(os.environ["TOLM_BUILD_DIR"],
                                                                  "tolm_native.node")],
                            capture_output=True, text=True).stdout.strip()
    return None if answer == "yes" else "skipped: TolmNode has no _open in this build"


def exactness(framework, variant, redis, region):
    """Requests let through of EXACT_REQUESTS from one address, capacity EXACT_CAPACITY, no refill;
    None and the reason when the server cannot run in this tree."""
    redis.command("FLUSHALL")
    server = WorkersServer(framework, variant, EXACT, redis.url, region)
    try:
        server.wait_ready()
        statuses = [probe(server.url, "198.19.254.1")["status"] for _ in range(EXACT_REQUESTS)]
        return {"allowed": statuses.count(200), "refused": statuses.count(429),
                "other": len(statuses) - statuses.count(200) - statuses.count(429)}
    finally:
        server.stop()


def main():
    signal.signal(signal.SIGTERM, single._terminate)
    shared_run = _shared_run()
    RedisServer, remove_region = shared_run.RedisServer, shared_run.remove_region

    run = Run(single.QUICK)
    failures, skipped = [], {}
    exact, measured = {}, {}
    redis = RedisServer()
    load = LoadGenerator()
    try:
        for framework, framework_label, _ in FRAMEWORKS:
            log(f"== {framework_label}, {WORKERS} workers")
            missing = shared_option_missing(framework)
            if missing:
                skipped[(framework, "tolm-shared")] = missing
                log(f"  tolm-shared: {missing}")
            for variant in VARIANTS[1:]:
                if (framework, variant) in skipped:
                    continue
                region = f"tolm-bench-http-{os.getpid()}-{framework}-exact"
                remove_region(region)
                try:
                    exact[(framework, variant)] = exactness(framework, variant, redis, region)
                    log(f"  exactness {variant:12} {exact[(framework, variant)]}")
                except RuntimeError as error:
                    if "skipped:" in str(error):
                        skipped[(framework, variant)] = "skipped:" + str(error).split("skipped:", 1)[1].splitlines()[0]
                        log(f"  {variant}: {skipped[(framework, variant)]}")
                    else:
                        failures.append(f"{framework} {variant} exactness: {error}")
                finally:
                    remove_region(region)
                    remove_region(region + "-leases")
            servers = {}
            region = f"tolm-bench-http-{os.getpid()}-{framework}-open"
            remove_region(region)
            redis.command("FLUSHALL")
            try:
                for variant in VARIANTS:
                    if (framework, variant) in skipped:
                        continue
                    servers[variant] = WorkersServer(framework, variant, OPEN, redis.url, region)
                for variant, server in list(servers.items()):
                    try:
                        server.wait_ready()
                    except RuntimeError as error:
                        # One server that cannot start costs its own rows only.
                        failures.append(f"{framework} {variant}: {error}")
                        log(f"  {framework} {variant}: FAILED {str(error)[-300:]}")
                        server.stop()
                        del servers[variant]
                for variant, server in servers.items():
                    load.run(server.url, 1, f"w/{framework}/{variant}", warmup=single.PRIME_SECONDS,
                             seconds=0.05)
                for round_index in range(single.ROUNDS):
                    names = list(servers)
                    shift = round_index % len(names)
                    for scenario, _, keys in SCENARIOS:
                        for variant in names[shift:] + names[:shift]:
                            try:
                                answer = load.run(servers[variant].url, keys, f"w/{framework}/{variant}")
                            except RuntimeError as error:
                                failures.append(f"{framework} {scenario} {variant}: {error}")
                                continue
                            answer["round"] = round_index
                            measured.setdefault((framework, scenario, variant), []).append(answer)
                            log(f"  r{round_index + 1} {framework:8} {scenario:9} {variant:12} "
                                f"{answer['rps']:8.0f} req/s  p99 {answer['p99']:.2f} ms  "
                                f"statuses {answer['statuses']}")
            except RuntimeError as error:
                failures.append(f"{framework}: {error}")
                log(f"  {framework}: FAILED {error}")
            finally:
                for server in servers.values():
                    server.stop()
                remove_region(region)
                remove_region(region + "-leases")
    finally:
        load.stop()
        redis.stop()

    rows = []
    for framework, framework_label, _ in FRAMEWORKS:
        for scenario, scenario_label, keys in SCENARIOS:
            base = measured.get((framework, scenario, "none"), [])
            for variant in VARIANTS:
                answers = measured.get((framework, scenario, variant), [])
                ratios = [a["rps"] / b["rps"] for a in answers for b in base
                          if a["round"] == b["round"] and b["rps"]]
                rows.append({
                    "framework": framework, "framework_label": framework_label,
                    "scenario": scenario, "scenario_label": scenario_label, "keys": keys,
                    "variant": variant, "label": label(framework, variant),
                    "skipped": skipped.get((framework, variant)),
                    "exactness": exact.get((framework, variant)),
                    "rps": summary([a["rps"] for a in answers]),
                    "p99_ms": summary([a["p99"] for a in answers]),
                    "rps_vs_none": summary(ratios),
                    "rounds": answers})
    results = {**run.record(), "workers": WORKERS,
               "method": {"rounds": single.ROUNDS, "measured_seconds": single.SECONDS,
                          "warmup_seconds": single.WARMUP, "connections": single.CONNECTIONS,
                          "exactness": f"capacity {EXACT_CAPACITY}, no refill, {EXACT_REQUESTS} "
                                       "requests from one address, one at a time",
                          "pinned": False},
               "rows": rows, "failures": failures}
    path = write_results(results, single.OUT_DIR, "bench-http-workers-results.json")
    print(table(results))
    finish([path], failures)


def table(results):
    lines = [f"== {results['workers']} workers: req/s median (min-max), x no limiter (same round)"]
    for row in results["rows"]:
        head = f"  {row['framework_label']:27} {row['scenario_label']:22} {row['label']:40}"
        if row["skipped"]:
            lines.append(head + " " + row["skipped"])
            continue
        rps, ratio = row["rps"], row["rps_vs_none"]
        text = f"{rps['median']:7.0f} ({rps['min']:.0f}-{rps['max']:.0f})" if rps else "-"
        if ratio:
            text += f"  {ratio['median']:.2f}x"
        if row["exactness"] and row["scenario"] == "open-1":
            text += (f"  | {EXACT_REQUESTS} requests at capacity {EXACT_CAPACITY}: "
                     f"{row['exactness']['allowed']} allowed")
        lines.append(head + " " + text)
    return "\n".join(lines)


if __name__ == "__main__":
    main()
