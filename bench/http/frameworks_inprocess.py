"""The per-request cost of the Python framework integrations without a server or a network:
the apps of bench/http/frameworks_apps.py (no limiter, tolm's integration, the peer) called
directly as WSGI (Flask) or ASGI (FastAPI) applications, each for a few thousand requests per
round, rounds interleaved. Prints the median microseconds per request with its spread; far
steadier on a busy machine than the HTTP figures of bench/http/frameworks.py.

    TOLM_BUILD_DIR=build-release bench/.venv/bin/python bench/http/frameworks_inprocess.py
"""

import asyncio
import importlib
import io
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [os.environ.get("TOLM_BUILD_DIR", os.path.join(ROOT, "build-release")),
                os.path.join(ROOT, "python"), HERE]
ROUNDS = int(os.environ.get("BENCH_FW_ROUNDS", "5"))
REQUESTS = int(os.environ.get("BENCH_FW_REQUESTS", "3000"))
PEERS = {"flask": "flask-limiter", "fastapi": "slowapi"}
OURS = {"flask": "tolm.flask", "fastapi": "tolm.fastapi RateLimit"}


def app_for(framework, variant):
    os.environ["BENCH_FW_APP"] = framework
    os.environ["BENCH_FW_VARIANT"] = variant
    sys.modules.pop("frameworks_apps", None)
    return importlib.import_module("frameworks_apps").app


def wsgi_us(app, count):
    environ = {"REQUEST_METHOD": "GET", "PATH_INFO": "/", "SERVER_NAME": "bench",
               "SERVER_PORT": "80", "SERVER_PROTOCOL": "HTTP/1.1", "wsgi.url_scheme": "http",
               "REMOTE_ADDR": "127.0.0.1"}

    def start_response(status, headers, exc_info=None):
        assert status.startswith("200"), status

    def one():
        b"".join(app(dict(environ, **{"wsgi.input": io.BytesIO()}), start_response))
    for _ in range(count // 10):
        one()
    start = time.perf_counter()
    for _ in range(count):
        one()
    return (time.perf_counter() - start) / count * 1e6


def asgi_us(app, count):
    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET",
             "scheme": "http", "path": "/", "raw_path": b"/", "query_string": b"",
             "root_path": "", "headers": [], "client": ("127.0.0.1", 1),
             "server": ("127.0.0.1", 80)}

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        if message["type"] == "http.response.start":
            assert message["status"] == 200, message

    async def run():
        for _ in range(count // 10):
            await app(dict(scope), receive, send)
        start = time.perf_counter()
        for _ in range(count):
            await app(dict(scope), receive, send)
        return (time.perf_counter() - start) / count * 1e6
    return asyncio.run(run())


def main():
    print(f"{ROUNDS} rounds x {REQUESTS} requests; load average {os.getloadavg()[0]:.2f}")
    print(f"{'framework':<10}{'limiter':<26}{'us/request (min-max)':>24}{'added us':>10}")
    for framework, measure in (("flask", wsgi_us), ("fastapi", asgi_us)):
        apps = {v: app_for(framework, v) for v in ("none", "tolm", "peer")}
        found = {v: [] for v in apps}
        for _ in range(ROUNDS):
            for variant, app in apps.items():
                found[variant].append(measure(app, REQUESTS))
        base = statistics.median(found["none"])
        for variant, label in (("none", "no limiter"), ("tolm", OURS[framework]),
                               ("peer", PEERS[framework])):
            xs = found[variant]
            print(f"{framework:<10}{label:<26}{statistics.median(xs):>10.1f} ({min(xs):.1f}-{max(xs):.1f})"
                  f"{statistics.median(xs) - base:>12.1f}")


if __name__ == "__main__":
    main()
