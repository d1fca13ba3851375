"""The rate-limit headers of both Python middlewares against tests/header_cases.json, the
table the Node suite reads too, on the fake clock: every request's status and headers, in
order, for a limiter's whole run of requests."""

import json
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TABLE = json.loads((ROOT / "tests" / "header_cases.json").read_text())
CASES = TABLE["cases"]

# Runs in a child whose wall clock is the fake clock: each case's requests through a fresh
# limiter behind the WSGI and then the ASGI middleware, printing what each answer carried.
RUN_CASES = r"""
import asyncio, json, sys
sys.path.insert(0, PYTHON_DIR)
import tolm
from tolm import asgi, wsgi

RATE_HEADERS = ("ratelimit", "x-ratelimit-", "retry-after")

def rate_headers(pairs):
    return [[name, value] for name, value in pairs if name.lower().startswith(RATE_HEADERS)]

def ok_wsgi(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"ok"]

async def ok_asgi(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"ok"})

def via_wsgi(app):
    seen = []
    app({"REMOTE_ADDR": "203.0.113.7", "PATH_INFO": "/"},
        lambda status, headers, *exc: seen.append((int(status[:3]), headers)))
    return {"status": seen[0][0], "headers": rate_headers(seen[0][1])}

def via_asgi(app):
    sent = []
    async def receive():
        return {"type": "http.request", "body": b""}
    async def send(message):
        sent.append(message)
    asyncio.run(app({"type": "http", "path": "/", "client": ("203.0.113.7", 1)}, receive, send))
    start = sent[0]
    pairs = [(n.decode("latin-1"), v.decode("latin-1")) for n, v in start["headers"]]
    return {"status": start["status"], "headers": rate_headers(pairs)}

def build(s):
    return tolm.limiter(algorithm=s["algorithm"], mode=s.get("mode", "active"),
                        capacity=s["capacity"], refill_rate=s["refill_rate"], name=s.get("name"))

out = {}
for case in CASES:
    for kind, wrap, call in (("wsgi", wsgi.TolmMiddleware, via_wsgi),
                             ("asgi", asgi.TolmMiddleware, via_asgi)):
        app = ok_wsgi if kind == "wsgi" else ok_asgi
        if "settings" in case:
            app = wrap(app, build(case["settings"]), legacy_headers=case["legacy"])
        elif case["as"] == "limits":
            app = wrap(app, tolm.limits(*map(build, case["stack"])), legacy_headers=case["legacy"])
        else:
            for s in reversed(case["stack"]):
                app = wrap(app, build(s), legacy_headers=case["legacy"])
        answers = []
        for offset in case["at"]:
            set_clock(START + offset)
            answers.append(call(app))
        out[f"{kind}: {case['name']}"] = answers
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def answers(tmp_path_factory):
    from conftest import Child

    child = Child(tmp_path_factory.mktemp("headers"))
    script = (f"CASES = {CASES!r}\nSTART = {TABLE['start_ms']}\n"
              f"PYTHON_DIR = {str(ROOT / 'python')!r}\n" + RUN_CASES)
    if not _refunds():
        script = script.replace("for case in CASES:", "for case in [c for c in CASES if not c.get('needs_refund')]:")
    done = child.run(script)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def _refunds():
    from conftest import BUILD_DIR  # noqa: F401 (puts the build on the path)
    import tolm_native
    return hasattr(tolm_native.NativeEngine, "_adjust")


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_headers_follow_the_shared_table(answers, case, kind):
    if case.get("needs_refund") and not _refunds():
        pytest.skip("this build of tolm_native cannot give units back (no _adjust)")
    # ASGI sends header names in lower case; names are case-insensitive.
    def folded(run):
        return [{"status": a["status"], "headers": [[n.lower(), v] for n, v in a["headers"]]}
                for a in run]
    assert folded(answers[f"{kind}: {case['name']}"]) == folded(case["expect"])
