"""The live demo: starts the Python and the Node demo servers on loopback, sends each a burst of
real HTTP requests per scenario (four algorithms in active mode, then shadow and disabled),
prints what came back, and stops the servers whatever happens.

    python3 demo/run.py                  # what `make demo` runs
    python3 demo/run.py --serve [--server node] [--port 8080]   # what `make serve` runs
"""

import argparse
import http.client
import json
import os
import secrets
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CONFIG = json.loads((HERE / "scenarios.json").read_text())
BURST = 8
START_TIMEOUT_S = 30
REQUEST_TIMEOUT_S = 5

SERVERS = {
    "python": {"title": "Python server: wsgiref + tolm.wsgi.TolmMiddleware",
               "argv": [sys.executable, str(HERE / "python_server.py")],
               "count": "remaining"},
    "node": {"title": "Node server: node:http + withRateLimit from tolm/middleware",
             "argv": ["node", str(HERE / "node_server.js")],
             "count": "remaining"},
}


class DemoError(Exception):
    pass


def start(kind, extra=(), env=None):
    """Starts one demo server; returns (process, base url, library file it loaded)."""
    proc = subprocess.Popen(SERVERS[kind]["argv"] + list(extra), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True,
                            env=None if env is None else {**os.environ, **env})
    deadline = time.monotonic() + START_TIMEOUT_S
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.2)
        if ready:
            line = proc.stdout.readline()
            if line.startswith("listening "):
                _, url, library = line.split(maxsplit=2)
                return proc, url, library.strip()
            if not line:
                break
        if proc.poll() is not None:
            break
    stop(proc)
    raise DemoError(f"the {kind} server did not start (exit status {proc.poll()})")


def stop(proc):
    if proc.poll() is None:
        try:
            proc.stdin.close()  # the server's lifeline
            proc.wait(timeout=3)
        except (OSError, subprocess.TimeoutExpired):
            proc.kill()
            proc.wait()
    for stream in (proc.stdin, proc.stdout):
        if stream:
            stream.close()


def get(url, path):
    host, port = url.split("//")[1].split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=REQUEST_TIMEOUT_S)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, json.loads(response.read() or b"{}")
    finally:
        conn.close()


def row(kind, status, body):
    """(decision, reason, remaining) as the binding reported them; '-' where it reported none."""
    if status == 429:  # the middleware's refusal body
        return "block", body.get("reason"), body.get("remaining")
    # The decision text follows from allowed and would_block / wouldBlock.
    would_block = body["would_block"] if kind == "python" else body["wouldBlock"]
    return "would_block" if would_block else "allow", body.get("reason"), body.get("remaining")


def show(value):
    return "-" if value is None else str(value)


def drive(kind, url):
    """Sends the bursts; prints the table; returns {scenario: [(status, decision), ...]}."""
    columns = ("scenario", "#", "HTTP", "decision", "reason", SERVERS[kind]["count"])
    widths = (22, 3, 5, 12, 16, 26)
    line = "  ".join(f"{c:<{w}}" for c, w in zip(columns, widths)).rstrip()
    print(line)
    print("-" * len(line))
    outcome = {}
    for scenario in CONFIG["scenarios"]:
        name = scenario["name"]
        label = f"{scenario['algorithm']}/{scenario['mode']}"
        outcome[name] = []
        for number in range(1, BURST + 1):
            status, body = get(url, f"/{name}/hello")
            decision, reason, count = row(kind, status, body)
            outcome[name].append((status, decision))
            cells = (label if number == 1 else "", number, status, decision, show(reason),
                     show(count))
            print("  ".join(f"{str(c):<{w}}" for c, w in zip(cells, widths)).rstrip())
        print()
    return outcome


def summarise(kind, outcome):
    """Prints one line for the server; returns what differs from the expected outcome."""
    capacity = CONFIG["capacity"]
    statuses = [status for rows in outcome.values() for status, _ in rows]
    problems = []
    active = []
    for scenario in CONFIG["scenarios"]:
        rows = outcome[scenario["name"]]
        allowed = sum(1 for status, _ in rows if status == 200)
        refused = sum(1 for status, _ in rows if status == 429)
        flagged = sum(1 for _, decision in rows if decision == "would_block")
        if scenario["mode"] == "active":
            active.append(f"{scenario['algorithm']} {allowed}/{BURST}")
            # The leaky bucket admits a request while its level is below capacity, so once
            # a little has drained during the burst one more request fits.
            first_served = all(status == 200 for status, _ in rows[:capacity])
            if not first_served or refused == 0 or allowed > capacity + 1:
                problems.append(f"{scenario['name']}: {allowed} allowed, {refused} refused")
        elif scenario["mode"] == "shadow":
            shadow = f"shadow {allowed}/{BURST} served with {flagged} would_block"
            if allowed != BURST or not 0 < flagged <= BURST - capacity:
                problems.append(f"shadow: {allowed} allowed, {flagged} would_block")
        else:
            disabled = f"disabled {allowed}/{BURST} served"
            if allowed != BURST:
                problems.append(f"disabled: {allowed} allowed")
    print(f"{kind} summary: {len(statuses)} requests, {statuses.count(200)} x 200, "
          f"{statuses.count(429)} x 429; allowed of {BURST} with capacity {capacity}: "
          f"{', '.join(active)}; {shadow}; {disabled}")
    return [f"{kind}: {problem}" for problem in problems]


def demo():
    print(f"Each scenario: a fresh limiter with capacity {CONFIG['capacity']}, refill rate "
          f"{CONFIG['refill_rate']} per second (windows: {CONFIG['capacity']} requests per 60 s), "
          f"then {BURST} GET requests from one client in a row.\n")
    summaries = []
    for kind in ("python", "node"):
        proc, url, library = start(kind, ["--exit-with-stdin"])
        try:
            print(f"== {SERVERS[kind]['title']}\n   {url}, limiting through {library}\n")
            summaries.append((kind, drive(kind, url)))
        finally:
            stop(proc)
    problems = [p for kind, outcome in summaries for p in summarise(kind, outcome)]
    print("\nBoth servers stopped.")
    if problems:
        raise DemoError("unexpected outcome: " + "; ".join(problems))


def serve(kind, port):
    # An API key issued for this run only: the server keys its owner's requests by the owner,
    # and any other value by the address it came from.
    key = secrets.token_hex(12)
    proc, url, library = start(kind, ["--port", str(port), "--log", "--exit-with-stdin"],
                               {"TOLM_DEMO_KEYS": f"alice={key}"})
    names = [s["name"] for s in CONFIG["scenarios"]]
    print(f"{SERVERS[kind]['title']} at {url} (limiting through {library})\n"
          f"Scenarios: {', '.join('/' + n for n in names)}; capacity {CONFIG['capacity']}, "
          f"refill {CONFIG['refill_rate']}/s.\nTry:\n"
          f"  curl -i {url}/token_bucket/hello\n"
          f"  for i in 1 2 3 4 5 6; do curl -s -o /dev/null -w '%{{http_code}}\\n' "
          f"{url}/fixed_window/hello; done\n"
          f"  curl -i -H 'X-Api-Key: {key}' {url}/token_bucket/hello   # keyed by its owner, alice\n"
          f"Press Ctrl-C to stop.", flush=True)
    try:
        proc.wait()
    except KeyboardInterrupt:
        pass
    finally:
        stop(proc)
        print("\nServer stopped.")


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main():
    # `kill` of the demo stops its servers the same way as Ctrl-C does.
    signal.signal(signal.SIGTERM, interrupt)
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--serve", action="store_true", help="keep one server up for curl")
    parser.add_argument("--server", choices=sorted(SERVERS), default="python")
    parser.add_argument("--port", type=int, default=int(os.environ.get("PORT", 8080)))
    args = parser.parse_args()
    try:
        if args.serve:
            serve(args.server, args.port)
        else:
            demo()
    except DemoError as error:
        print(f"demo: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\ndemo: interrupted; servers stopped", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
