"""What a limiter costs a real server: every framework's small app served on 127.0.0.1 with no
limiter, with tolm's middleware (headers on and off) and with the peer middleware its users
would pick, under load from autocannon: requests per second, latency and the server's CPU time
per request. Prints a full and a short table and writes bench-http-results.json and
bench-http.png.

Per framework, three sets of four servers (one per variant) run side by side, one set at a
time: generous limits (nothing refused) for the one-key and the many-keys scenarios, then a
limit of about half the no-limiter throughput for one key, then the same split over 100 keys.
Each round measures every variant of a scenario once, in an order that rotates from round to
round, so a change of machine load hits every variant alike; the table gives the median over
rounds, and every variant's figure relative to "no limiter" is the median of its per-round
ratios to the no-limiter measurement of the same round.

Run by bench/http/run.sh (`make bench-http`), which installs what this needs. Settings come
from the environment:
  TOLM_BUILD_DIR           Release build with tolm_native.abi3.so and tolm_native.node
  BENCH_HTTP_QUICK=1       one short round per scenario, for iteration; writes to bench/results/
  BENCH_HTTP_ROUNDS        rounds (default 3; quick 1)
  BENCH_HTTP_SECONDS       measured seconds per measurement (default 1.0; quick 0.6)
  BENCH_HTTP_WARMUP        unmeasured seconds before each measurement (default 0.2)
  BENCH_HTTP_CONNECTIONS   autocannon connections (default 10)
  BENCH_HTTP_PIN=0         do not pin servers and load generator to separate cores
  BENCH_HTTP_FRAMEWORKS    comma-separated subset of express,http,flask,starlette
  BENCH_OUT_DIR            where the JSON and PNG go (default docs/, quick bench/results/)
"""

import ctypes
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from importlib import metadata

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from machine import Run, finish, summary, write_results  # noqa: E402  bench/machine.py

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.dirname(HERE)
ROOT = os.path.dirname(BENCH)
QUICK = os.environ.get("BENCH_HTTP_QUICK", "") not in ("", "0")
ROUNDS = int(os.environ.get("BENCH_HTTP_ROUNDS", "1" if QUICK else "3"))
SECONDS = float(os.environ.get("BENCH_HTTP_SECONDS", "0.6" if QUICK else "1.0"))
WARMUP = float(os.environ.get("BENCH_HTTP_WARMUP", "0.2"))
PRIME_SECONDS = 0.6
CONNECTIONS = int(os.environ.get("BENCH_HTTP_CONNECTIONS", "10"))
PIN = (os.environ.get("BENCH_HTTP_PIN", "1") not in ("", "0") and (os.cpu_count() or 1) >= 2
       and shutil.which("taskset") is not None)
OUT_DIR = os.environ.get("BENCH_OUT_DIR") or (
    os.path.join(BENCH, "results") if QUICK else os.path.join(ROOT, "docs"))
VENV_PYTHON = sys.executable

MANY_KEYS = 100_000
REFUSAL_KEYS = 100
# Generous enough that no variant refuses anything in a run.
OPEN_LIMIT = 1_000_000_000
# tolm's bucket in the refusing sets holds this many seconds of its refill, so the unmeasured
# warm-up drains whatever an idle spell refilled and the measured part runs at the refill rate.
REFUSAL_BURST_SECONDS = 0.1
START_TIMEOUT = 30.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
SERVER_CPU = "0"
LOAD_CPU = "1"

# id, runtime, label, peer label
FRAMEWORKS = [
    ("express", "Node", "Express 5", "express-rate-limit"),
    ("http", "Node", "node:http", "rate-limiter-flexible"),
    ("flask", "Python", "Flask (WSGI) under gunicorn", "flask-limiter"),
    ("starlette", "Python", "Starlette (ASGI) under uvicorn", "slowapi"),
]
VARIANTS = ["none", "tolm", "tolm-bare", "peer"]
VARIANT_LABELS = {"none": "no limiter", "tolm": "tolm, headers on", "tolm-bare": "tolm, headers off"}
# id, label, keys, server set
SCENARIOS = [
    ("open-1", "all allowed, 1 key", 1, "open"),
    ("open-many", f"all allowed, {MANY_KEYS // 1000}k keys", MANY_KEYS, "open"),
    ("half-1", "~half refused, 1 key", 1, "half-1"),
    ("half-many", f"~half refused, {REFUSAL_KEYS} keys", REFUSAL_KEYS, "half-many"),
]


def log(text):
    print(text, file=sys.stderr, flush=True)


def variant_label(framework, variant):
    if variant == "peer":
        return next(f[3] for f in FRAMEWORKS if f[0] == framework)
    return VARIANT_LABELS[variant]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # A server outlives nothing: if this process dies without its clean-up, the kernel ends it.
    _libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Server:
    """One server process on 127.0.0.1 in a session of its own, stopped with its children."""

    def __init__(self, framework, variant, limit):
        self.framework = framework
        self.variant = variant
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.log = tempfile.TemporaryFile(mode="w+")
        env = dict(os.environ)
        if framework in ("express", "http"):
            node_limit = {"capacity": limit["capacity"], "refillRate": limit["refill_rate"],
                          "perSecond": limit["per_second"]}
            command = ["node", os.path.join(HERE, "node_app.js"), framework, variant,
                       str(self.port), json.dumps(node_limit)]
        else:
            env["PYTHONPATH"] = os.pathsep.join(
                [os.environ["TOLM_BUILD_DIR"], os.path.join(ROOT, "python"), HERE])
            env["BENCH_HTTP_VARIANT"] = variant
            env["BENCH_HTTP_LIMIT"] = json.dumps(limit)
            if framework == "flask":
                # One worker process: tolm's and flask-limiter's in-memory state is per process,
                # so more workers would each enforce their own limit (and the server has one core).
                command = [VENV_PYTHON, "-m", "gunicorn", "--workers", "1", "--worker-class",
                           "gthread", "--threads", "4", "--bind", f"127.0.0.1:{self.port}",
                           "--no-control-socket", "--log-level", "warning", "wsgi_app:app"]
            else:
                command = [VENV_PYTHON, "-m", "uvicorn", "--host", "127.0.0.1", "--port",
                           str(self.port), "--loop", "uvloop", "--http", "httptools",
                           "--proxy-headers", "--forwarded-allow-ips", "127.0.0.1",
                           "--no-access-log", "--log-level", "warning", "asgi_app:app"]
        if PIN:
            command = ["taskset", "-c", SERVER_CPU] + command
        self.process = subprocess.Popen(
            command, cwd=HERE, env=env, stdin=subprocess.PIPE, stdout=self.log,
            stderr=subprocess.STDOUT, start_new_session=True, preexec_fn=_die_with_parent)
        self.probe = None

    def wait_ready(self):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.framework} {self.variant} exited "
                                   f"{self.process.returncode}: {self.output()}")
            try:
                self.probe = probe(self.url)
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError(f"{self.framework} {self.variant} did not answer within "
                           f"{START_TIMEOUT:.0f} s: {self.output()}")

    def cpu_seconds(self):
        """User and system CPU time of every process of the server (gunicorn's worker too)."""
        ticks = 0
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            # After the command name: state, ppid, pgrp, ... utime (12th), stime (13th).
            if int(fields[2]) == self.process.pid:
                ticks += int(fields[11]) + int(fields[12])
        return ticks / CLOCK_TICKS

    def output(self):
        self.log.seek(0)
        return self.log.read()[-2000:].strip()

    def stop(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(self.process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.process.wait(timeout=5)
        # gunicorn's worker is in the same session; it goes with the group, but make sure.
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        if self.process.stdin:
            self.process.stdin.close()
        self.log.close()


def probe(url, forwarded="198.18.0.1"):
    """One request as the load generator sends it: its status and rate-limit header names."""
    request = urllib.request.Request(url, headers={"X-Forwarded-For": forwarded})
    try:
        with urllib.request.urlopen(request, timeout=5) as response:
            status, headers = response.status, response.headers
            response.read()
    except urllib.error.HTTPError as error:
        status, headers = error.code, error.headers
    names = sorted({name for name in headers.keys()
                    if "ratelimit" in name.lower() or name.lower() == "retry-after"})
    return {"status": status, "rate_limit_headers": names}


class LoadGenerator:
    """bench/http/load.js, kept running: one JSON job in, one JSON answer out."""

    def __init__(self):
        command = ["node", os.path.join(HERE, "load.js")]
        if PIN:
            command = ["taskset", "-c", LOAD_CPU] + command
        self.process = subprocess.Popen(command, cwd=HERE, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True,
                                        start_new_session=True, preexec_fn=_die_with_parent)

    def run(self, url, keys, cursor, warmup=None, seconds=None):
        job = {"url": url, "connections": CONNECTIONS,
               "warmup": WARMUP if warmup is None else warmup,
               "seconds": SECONDS if seconds is None else seconds, "keys": keys, "cursor": cursor}
        self.process.stdin.write(json.dumps(job) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"load generator exited {self.process.poll()}")
        answer = json.loads(line)
        if "error" in answer:
            raise RuntimeError(answer["error"])
        return answer

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=SECONDS + WARMUP + 10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def preflight(framework, servers_alive):
    """Before any figure: every limiter of the framework keys by the forwarded address and
    refuses at its limit, and the headers are on or off as asked. Without this, a server that
    keyed every request by the loopback address would pass off one key as 100,000."""
    limit = {"capacity": 2, "refill_rate": 0.001, "per_second": 2}
    servers = {}
    try:
        for variant in ("tolm", "tolm-bare", "peer"):
            server = Server(framework, variant, limit)
            servers_alive.append(server)
            servers[variant] = server
        for server in servers.values():
            server.wait_ready()
        found = {}
        for variant, server in servers.items():
            # The peers count in one-second windows: a sequence cut by a new window is tried
            # again with fresh addresses.
            for attempt in range(3):
                first, second = f"198.19.255.{2 * attempt + 1}", f"198.19.255.{2 * attempt + 2}"
                answers = [probe(server.url, first) for _ in range(3)] + [probe(server.url, second)]
                statuses = [a["status"] for a in answers]
                if statuses == [200, 200, 429, 200]:
                    break
            else:
                raise RuntimeError(
                    f"{framework} {variant}: with a limit of 2, three requests from one forwarded "
                    f"address and one from another got {statuses}, not [200, 200, 429, 200]: "
                    "it does not key by the X-Forwarded-For address or does not enforce")
            found[variant] = answers[0]["rate_limit_headers"]
        if found["tolm-bare"]:
            raise RuntimeError(f"{framework} tolm with headers off sent {found['tolm-bare']}")
        if not found["peer"]:
            raise RuntimeError(f"{framework} {variant_label(framework, 'peer')} sent no rate-limit headers")
        return found
    finally:
        for server in servers.values():
            server.stop()
            servers_alive.remove(server)


def limits_for(server_set, no_limiter_rps):
    """The limiter settings of one server set; per key, for tolm and for the peers."""
    if server_set == "open":
        return {"capacity": OPEN_LIMIT, "refill_rate": OPEN_LIMIT, "per_second": OPEN_LIMIT}
    keys = 1 if server_set == "half-1" else REFUSAL_KEYS
    per_key = max(1, round(no_limiter_rps / 2 / keys))
    return {"capacity": max(1, round(per_key * REFUSAL_BURST_SECONDS)), "refill_rate": per_key,
            "per_second": per_key}


def measure_set(load, framework, server_set, limit, scenarios, servers_alive, failures):
    """Every scenario of one server set, all rounds; returns {scenario: {variant: [answers]}}."""
    servers = {}
    found = {s[0]: {v: [] for v in VARIANTS} for s in scenarios}
    try:
        for variant in VARIANTS:
            server = Server(framework, variant, limit)
            servers_alive.append(server)
            servers[variant] = server
        for server in servers.values():
            server.wait_ready()
        if framework in ("express", "http"):
            # V8 compiles the hot paths during the first second or so of load; the first
            # variant of round one should not pay for that alone.
            for variant, server in servers.items():
                load.run(server.url, scenarios[0][2], f"{framework}/{server_set}/{variant}",
                         warmup=PRIME_SECONDS, seconds=0.05)
        for round_index in range(ROUNDS):
            shift = round_index % len(VARIANTS)
            order = VARIANTS[shift:] + VARIANTS[:shift]
            for scenario, label, keys, _ in scenarios:
                for variant in order:
                    server = servers[variant]
                    try:
                        cpu_before = server.cpu_seconds()
                        answer = load.run(server.url, keys, f"{framework}/{server_set}/{variant}")
                        cpu = server.cpu_seconds() - cpu_before
                        answer["cpu_us_per_request"] = cpu * 1e6 / answer["total"] if answer["total"] else None
                        if answer["requests"] == 0:
                            raise RuntimeError(f"no response in {SECONDS:g} s ({answer['errors']} "
                                               f"errors, {answer['timeouts']} timeouts); server "
                                               f"said: {server.output() or 'nothing'}")
                    except RuntimeError as error:
                        failures.append(f"{framework} {scenario} {variant}: {error}")
                        log(f"  {framework} {scenario} {variant}: FAILED {error}")
                        found[scenario][variant].append(None)
                        continue
                    answer["round"] = round_index
                    found[scenario][variant].append(answer)
                    refused = answer["statuses"].get("429", 0) / max(1, answer["requests"])
                    log(f"  r{round_index + 1} {framework:9} {scenario:9} {variant:9} "
                        f"{answer['rps']:8.0f} req/s  p50 {answer['p50']:.2f}  "
                        f"p99 {answer['p99']:.2f}  max {answer['max']:.1f} ms  "
                        f"429 {refused:5.1%}  cpu {answer['cpu_us_per_request'] or 0:.0f} us/req")
        probes = {v: s.probe for v, s in servers.items()}
    finally:
        for server in servers.values():
            server.stop()
            servers_alive.remove(server)
    return found, probes


def cell(answers, variant_answers_none):
    """Medians and ranges of one variant in one scenario, and its per-round ratios to none."""
    ok = [a for a in answers if a]
    out = {
        "rps": summary([a["rps"] for a in ok]),
        "p50_ms": summary([a["p50"] for a in ok]),
        "p99_ms": summary([a["p99"] for a in ok]),
        "max_ms": summary([a["max"] for a in ok]),
        "cpu_us_per_request": summary([a.get("cpu_us_per_request") for a in ok]),
        "refused_share": summary([a["statuses"].get("429", 0) / max(1, a["requests"]) for a in ok]),
        "other_status_share": summary(
            [sum(n for code, n in a["statuses"].items() if code not in ("200", "429"))
             / max(1, a["requests"]) for a in ok]),
        "errors": sum(a["errors"] + a["timeouts"] for a in ok),
        "rounds": ok,
    }
    rps_ratios, p99_ratios, cpu_ratios = [], [], []
    for mine, base in zip(answers, variant_answers_none):
        if mine and base and base["rps"] > 0 and base["p99"]:
            rps_ratios.append(mine["rps"] / base["rps"])
            p99_ratios.append(mine["p99"] / base["p99"])
            if mine.get("cpu_us_per_request") and base.get("cpu_us_per_request"):
                cpu_ratios.append(mine["cpu_us_per_request"] / base["cpu_us_per_request"])
    out["rps_vs_none"] = summary(rps_ratios)
    out["p99_vs_none"] = summary(p99_ratios)
    out["cpu_vs_none"] = summary(cpu_ratios)
    return out


def versions():
    found = {}
    for name in ("flask", "werkzeug", "flask-limiter", "limits", "gunicorn", "starlette",
                 "slowapi", "uvicorn", "uvloop", "httptools"):
        found[name] = metadata.version(name)
    for name in ("express", "express-rate-limit", "rate-limiter-flexible", "autocannon"):
        with open(os.path.join(BENCH, "node_modules", name, "package.json")) as package:
            found[name] = json.load(package)["version"]
    return found


def selected_frameworks():
    chosen = os.environ.get("BENCH_HTTP_FRAMEWORKS", "")
    if not chosen.strip():
        return FRAMEWORKS
    names = [n.strip() for n in chosen.split(",") if n.strip()]
    known = [f[0] for f in FRAMEWORKS]
    unknown = [n for n in names if n not in known]
    if unknown:
        raise SystemExit(f"BENCH_HTTP_FRAMEWORKS: unknown {', '.join(unknown)}; "
                         f"known: {', '.join(known)}")
    return [f for f in FRAMEWORKS if f[0] in names]


def _terminate(signum, frame):
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGTERM, _terminate)
    signal.signal(signal.SIGHUP, _terminate)
    run = Run(QUICK)
    failures = []
    servers_alive = []
    frameworks = selected_frameworks()
    results_by_framework = {}
    probes_by_framework = {}
    limits_by_framework = {}
    checked = {}
    load = LoadGenerator()
    try:
        for framework, runtime, label, peer in frameworks:
            log(f"== {label}: no limiter, tolm (headers on, off), {peer}")
            checked[framework] = preflight(framework, servers_alive)
            log(f"  keyed by the forwarded address and limited: tolm, {peer}; rate-limit headers: "
                + "; ".join(f"{variant_label(framework, v)}: {', '.join(h) or 'none'}"
                            for v, h in checked[framework].items()))
            found = {}
            probes = {}
            limits = {}
            for server_set in ("open", "half-1", "half-many"):
                scenarios = [s for s in SCENARIOS if s[3] == server_set]
                if server_set == "open":
                    limit = limits_for("open", None)
                else:
                    # About half the no-limiter throughput with one key, from the rounds just run.
                    base = summary([a["rps"] for a in found["open-1"]["none"] if a])
                    if not base:
                        failures.append(f"{framework} {server_set}: no no-limiter figure to size the limit")
                        continue
                    limit = limits_for(server_set, base["median"])
                limits[server_set] = limit
                got, set_probes = measure_set(load, framework, server_set, limit, scenarios,
                                              servers_alive, failures)
                found.update(got)
                probes[server_set] = set_probes
            results_by_framework[framework] = found
            probes_by_framework[framework] = probes
            limits_by_framework[framework] = limits
    except KeyboardInterrupt:
        log("interrupted: stopping every server")
        raise SystemExit(130)
    except RuntimeError as error:
        log(f"stopped: {error}")
        raise SystemExit(1)
    finally:
        for server in list(servers_alive):
            server.stop()
        load.stop()

    table_rows = []
    for framework, runtime, label, peer in frameworks:
        found = results_by_framework.get(framework, {})
        for scenario, scenario_label, keys, server_set in SCENARIOS:
            if scenario not in found:
                continue
            none_answers = found[scenario]["none"]
            for variant in VARIANTS:
                row = {"framework": framework, "framework_label": label, "runtime": runtime,
                       "scenario": scenario, "scenario_label": scenario_label, "keys": keys,
                       "variant": variant, "label": variant_label(framework, variant),
                       "limit": limits_by_framework[framework].get(server_set),
                       "probe": probes_by_framework[framework].get(server_set, {}).get(variant)}
                row.update(cell(found[scenario][variant], none_answers))
                table_rows.append(row)

    headers_honoured = {framework: bool(found["tolm"]) for framework, found in checked.items()}

    results = {
        **run.record(),
        "versions": versions(),
        "method": {
            "rounds": ROUNDS, "measured_seconds": SECONDS, "warmup_seconds": WARMUP,
            "connections": CONNECTIONS, "pinned": PIN,
            "pinning": f"servers on CPU {SERVER_CPU}, load generator on CPU {LOAD_CPU}" if PIN
                       else "not pinned",
            "many_keys": MANY_KEYS, "refusal_keys": REFUSAL_KEYS,
            "refusal_burst_seconds": REFUSAL_BURST_SECONDS,
            "figures": "median over rounds; *_vs_none is the median of per-round ratios to the "
                       "no-limiter server measured in the same round; latency over every "
                       "counted response, allowed and refused; cpu_us_per_request is the "
                       "server's user+system CPU time over the whole measurement (warm-up "
                       "included) divided by every response it sent in that time",
        },
        "tolm_headers_honoured": headers_honoured,
        "rate_limit_headers": checked,
        "rows": table_rows,
        "failures": failures,
    }
    json_path = write_results(results, OUT_DIR, "bench-http-results.json")

    sys.path.insert(0, HERE)
    import report

    print(report.table(results))
    print()
    print(report.summary_table(results))
    chart_path = os.path.join(OUT_DIR, "bench-http.png")
    report.chart(results, chart_path)
    finish([json_path, chart_path], failures)


if __name__ == "__main__":
    main()
