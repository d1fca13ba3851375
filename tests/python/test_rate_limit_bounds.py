"""The promises in the rate-limit headers hold against the engine, with the wall clock under
the test's control: after `RateLimit: r=N` the next N requests are admitted, after a refusal
with `Retry-After: S` a request S seconds later is admitted, and `t=T` after an admitted
request means the whole quota is back T seconds later, and no burst gets more than the
quota."""

import json
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"

SCRIPT = """
import json, re, sys
sys.path.insert(0, {python_dir!r})
from tolm import limiter
from tolm.wsgi import TolmMiddleware

def app(environ, start_response):
    start_response("200 OK", [])
    return [b""]

settings = json.loads({settings!r})
quota = None
middleware = TolmMiddleware(app, limiter(**settings))
now = 1_700_000_000_000
set_clock(now)
problems = []

def ask():
    seen = {{}}
    def start(status, headers, *exc):
        seen.update(dict(headers), status=int(status.split()[0]))
    middleware({{"REMOTE_ADDR": "203.0.113.7", "PATH_INFO": "/"}}, start)
    r, t = re.fullmatch(r'"\\w+";r=(\\d+)(?:;t=(\\d+))?', seen["RateLimit"]).groups()
    q = int(re.search(r";q=(\\d+)", seen["RateLimit-Policy"]).group(1))
    return seen["status"], int(r), None if t is None else int(t), seen.get("Retry-After"), q

def advance(ms):
    global now
    now += ms
    set_clock(now)

for round_ in range(8):
    # A burst until refused: every admitted answer promises its r further admissions.
    promised, last_t = 0, None
    for i in range(200):
        status, r, t, retry, quota = ask()
        if status != 200:
            if promised > 0:
                problems.append(f"round {{round_}}: refused with {{promised}} promised")
            break
        promised, last_t = r, t
    else:
        problems.append("never refused")
        break
    if retry is None:
        if t is not None:
            problems.append("a time without Retry-After")
        break  # nothing refills: nothing was promised
    if t != int(retry):
        problems.append(f"t={{t}} on the refusal but Retry-After {{retry}}")
    advance(int(retry) * 1000)
    status, r, t, _, quota = ask()
    if status != 200:
        problems.append(f"round {{round_}}: refused {{retry}} s after Retry-After {{retry}}")
        break
    # t of an admitted answer: the whole quota is back by then. The leaky bucket's quota is
    # its largest burst, which spans a drain: one request, then the rest 1 ms later.
    advance(t * 1000)
    got = [ask()[0]]
    if settings["algorithm"] == "leaky_bucket":
        advance(1)
    got += [ask()[0] for _ in range(quota - 1)]
    if got != [200] * quota:
        problems.append(f"round {{round_}}: {{got}} {{t}} s after t={{t}}")
    # ... and no burst gets more.
    if ask()[0] != 429:
        problems.append(f"round {{round_}}: more than q={{quota}} in one burst")
    # An odd step leaves fractions behind for the next round.
    advance(137 * (round_ + 1) + 1)
    ask()
print(json.dumps(problems))
"""


@pytest.mark.parametrize("settings", [
    {"algorithm": "token_bucket", "capacity": 3, "refill_rate": 0.7},
    {"algorithm": "token_bucket", "capacity": 2.5, "refill_rate": 3},
    {"algorithm": "token_bucket", "capacity": 7, "refill_rate": 0.25},
    {"algorithm": "token_bucket", "capacity": 4, "refill_rate": 0},
    {"algorithm": "leaky_bucket", "capacity": 3, "refill_rate": 0.7},
    {"algorithm": "leaky_bucket", "capacity": 2.5, "refill_rate": 3},
    {"algorithm": "leaky_bucket", "capacity": 1, "refill_rate": 1},
    {"algorithm": "leaky_bucket", "capacity": 2.5, "refill_rate": 0},
    {"algorithm": "sliding_window", "capacity": 3, "refill_rate": 0},
    {"algorithm": "fixed_window", "capacity": 3.7, "refill_rate": 0},
], ids=lambda s: f"{s['algorithm']}-{s['capacity']}-{s['refill_rate']}")
def test_header_promises_hold(child, settings):
    done = child.run(SCRIPT.format(python_dir=str(PYTHON_DIR), settings=json.dumps(settings)))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.strip().splitlines()[-1]) == []
