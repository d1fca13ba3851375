"""Limits as users write them: rate texts, window lengths, cost per request, reset / refund /
penalty / block, several limits on one route, the middleware's cost hook and counting options,
and the numbers put on the request."""

import json
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

import tolm  # noqa: E402
import tolm_native  # noqa: E402
from tolm import wsgi  # noqa: E402
RATES = json.loads((ROOT / "tests" / "rate_cases.json").read_text())
START = 1_700_000_000_000


def needs(*names):
    """Skips a test on a build of the module that lacks the named engine members."""
    missing = [n for n in names if not hasattr(tolm_native, n)
               and not hasattr(tolm_native.NativeEngine, n)]
    return pytest.mark.skipif(bool(missing), reason=f"this build of tolm_native has no "
                              f"{', '.join(missing)} yet")


def _costs() -> bool:
    engine = tolm_native.NativeEngine("token_bucket", "active", 5, 0, None, None, "")
    try:
        engine._decide("probe", "/", None, 2)
    except TypeError:
        return False
    return True


needs_cost = pytest.mark.skipif(not _costs(), reason="this build's _decide takes no cost yet")


# --- the grammar -------------------------------------------------------------------------

@pytest.mark.parametrize("text,limit,window_ms", RATES["accepted"])
def test_accepted_rates(text, limit, window_ms):
    assert tolm.parse_rate(text) == (limit, window_ms)


@pytest.mark.parametrize("text,words", RATES["refused"])
def test_refused_rates_say_why_and_show_an_accepted_form(text, words):
    with pytest.raises(ValueError) as caught:
        tolm.parse_rate(text)
    assert words in str(caught.value) and '"100/minute"' in str(caught.value)


def test_rate_settings_map_to_each_algorithm():
    bucket = tolm.limiter(rate="5 per 15 minutes")
    assert (bucket.capacity, bucket.refill_rate) == (5, 5 / 900)
    assert bucket.policy.policy_field == '"token_bucket";q=5;w=900'
    leaky = tolm.limiter(algorithm="leaky_bucket", rate="10/second", name="api")
    assert (leaky.capacity, leaky.refill_rate) == (10, 10)
    # A leaky bucket that drains admits one more than its capacity in a burst once any time
    # has passed, and its policy says so.
    assert leaky.policy.policy_field == '"api";q=11;w=1'
    with pytest.raises(TypeError, match="not both"):
        tolm.limiter(rate="10/second", capacity=5)
    with pytest.raises(TypeError, match="window_ms is the window of sliding_window"):
        tolm.limiter(window_ms=1000)
    with pytest.raises(TypeError, match="rate must be a str"):
        tolm.limiter(rate=100)
    for bad in (0, 1.5, True, 366 * 86_400_000 + 1):
        with pytest.raises(ValueError, match="window_ms"):
            tolm.limiter(algorithm="fixed_window", window_ms=bad)
    for bad in ("", "a b", "x" * 65, 'q"'):
        with pytest.raises(ValueError, match="name"):
            tolm.limiter(name=bad)
    minute = tolm.limiter(algorithm="fixed_window", rate="100/minute")
    assert minute.window_ms == 60_000 and type(minute.engine) is tolm_native.NativeEngine


# --- window lengths at their boundaries ----------------------------------------------------

@needs("_open")
@pytest.mark.parametrize("algorithm", ["fixed_window", "sliding_window"])
def test_window_lengths_at_their_boundaries(child, algorithm):
    done = child.run(f"""
        import sys, json
        sys.path.insert(0, {str(ROOT / 'python')!r})
        import tolm
        out = {{}}
        for rate in ("2/second", "2 per 15 minutes"):
            lim = tolm.limiter(algorithm={algorithm!r}, rate=rate)
            w = lim.window_ms
            seen = []
            for at in (0, 0, 0, w - 1, w, w + 1):
                set_clock({START} + at)
                seen.append(lim.check("a", "/")["allowed"])
            out[rate] = [w, seen, lim.policy.policy_field]
        print(json.dumps(out))
    """)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    # Fixed: a new window opens exactly a window after the first request. Sliding: the two
    # requests of time 0 still count at exactly a window, and leave 1 ms later.
    at_window = algorithm == "fixed_window"
    assert out["2/second"] == [1000, [True, True, False, False, at_window, True],
                               f'"{algorithm}";q=2;w=1']
    assert out["2 per 15 minutes"] == [900_000, [True, True, False, False, at_window, True],
                                       f'"{algorithm}";q=2;w=900']


# --- cost ----------------------------------------------------------------------------------

ALGORITHMS = ["token_bucket", "leaky_bucket", "fixed_window", "sliding_window"]


@needs_cost
@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_a_cost_of_n_takes_what_n_single_checks_take_or_nothing(algorithm):
    costed = tolm.limiter(algorithm=algorithm, capacity=10, refill_rate=0)
    single = tolm.limiter(algorithm=algorithm, capacity=10, refill_rate=0)
    for n in (3, 4):
        result = costed.check("a", "/", cost=n)
        for _ in range(n):
            expected = single.check("a", "/")
        assert result["allowed"] and result["decision"]["remaining"] \
            == expected["decision"]["remaining"] == 10 - (7 if n == 4 else 3)
    # 3 left: a cost of 4 is refused whole and takes nothing, where single checks would
    # have taken the 3.
    refused = costed.check("a", "/", cost=4)
    assert not refused["allowed"] and refused["would_block"]
    # The costed result has the shape and texts of the engine's own check.
    assert list(refused) == list(single.check("a", "/"))
    assert refused["decision"]["decision"] == "block"
    assert list(refused["decision"]) == list(single.check("a", "/")["decision"])
    shadow = tolm.limiter(algorithm=algorithm, mode="shadow", capacity=1, refill_rate=0)
    seen = shadow.check("a", "/", cost=2)
    assert (seen["allowed"], seen["would_block"], seen["decision"]["decision"]) \
        == (True, True, "would_block")
    assert [costed.check("a", "/")["allowed"] for _ in range(4)] == [True, True, True, False]
    assert costed.check("a", "/", cost=1.0)["decision"]["remaining"] == 0
    for bad in (0, -1, float("nan"), float("inf"), "2", None):
        with pytest.raises((TypeError, ValueError), match="cost"):
            costed.check("b", "/", cost=bad)


# --- reset, refund, penalty, block -----------------------------------------------------------

@needs("_adjust", "_reset", "_clear")
@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_refund_penalize_reset_and_clear(algorithm):
    lim = tolm.limiter(algorithm=algorithm, capacity=3, refill_rate=0)
    remaining = [lim.check("a", "/")["decision"]["remaining"] for _ in range(3)]
    assert remaining == [2, 1, 0]
    lim.refund("a")
    assert lim.check("a", "/")["allowed"]  # the refunded unit, once
    assert not lim.check("a", "/")["allowed"]
    lim.refund("a", 2)
    lim.penalize("a")
    assert [lim.check("a", "/")["allowed"] for _ in range(2)] == [True, False]
    lim.reset("a")
    assert lim.check("a", "/")["decision"]["remaining"] == 2
    lim.penalize("b", 3)  # a client never seen starts with its allowance taken
    assert not lim.check("b", "/")["allowed"]
    lim.clear()
    assert lim.check("b", "/")["allowed"] and lim.check("a", "/")["decision"]["remaining"] == 2
    for bad in (0, -1, float("nan"), "1"):
        with pytest.raises((TypeError, ValueError), match="units"):
            lim.refund("a", bad)
    with pytest.raises(TypeError, match="key must be a str"):
        lim.reset(None)


@needs("_block", "_reset")
def test_block_refuses_for_its_duration_and_reset_ends_it(child):
    done = child.run(f"""
        import sys, json
        sys.path.insert(0, {str(ROOT / 'python')!r})
        import tolm
        lim = tolm.limiter(capacity=100, refill_rate=100)
        seen = []
        lim.block("a", 2)
        # The block leaves the bucket empty: the first unit is back 10 ms after it ends.
        for at in (0, 1999, 2009, 2011):
            set_clock({START} + at)
            seen.append([lim.check("a", "/")["allowed"], lim.check("b", "/")["allowed"]])
        lim.block("a", 0.5)
        seen.append(lim.check("a", "/")["allowed"])
        lim.reset("a")
        seen.append(lim.check("a", "/")["allowed"])
        print(json.dumps(seen))
    """)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [[False, True], [False, True], [False, True], [True, True],
                                       False, True]


# --- several limits on one route -----------------------------------------------------------

@needs("_adjust")
def test_a_refusal_by_one_limit_spends_nothing_of_the_others():
    small = tolm.limiter(algorithm="fixed_window", capacity=2, name="small")
    large = tolm.limiter(algorithm="sliding_window", capacity=3, name="large")
    both = tolm.limits(large, small)
    seen = [both.decide("a", "/") for _ in range(4)]
    assert [d["allowed"] for d in seen] == [True, True, False, False]
    refused = seen[2]
    assert refused["reason"] == "limit_exceeded" and refused["algorithm"] == "fixed_window"
    assert [d["allowed"] for d in refused["limits"]] == [True, False]
    # The two refusals gave "large" its units back: one left for another route's use.
    assert large.check("a", "/")["decision"]["remaining"] == 0
    assert not large.check("a", "/")["allowed"]
    with pytest.raises(ValueError, match="two limits are named 'token_bucket'"):
        tolm.limits(tolm.limiter(), tolm.limiter())
    with pytest.raises(TypeError, match="tolm.limiter"):
        tolm.limits(small, object())


# --- the middleware's options --------------------------------------------------------------

def _call(app, path="/", status_of=None):
    seen = []
    environ = {"REMOTE_ADDR": "203.0.113.7", "PATH_INFO": path}
    body = b"".join(app(environ, lambda status, headers, *exc: seen.append((status, headers))))
    return int(seen[0][0][:3]), dict(seen[0][1]), environ, body


def _answering(status):
    def app(environ, start_response):
        start_response(status, [("Content-Type", "text/plain")])
        return [b"x"]
    return app


def test_numbers_on_the_request():
    app = wsgi.TolmMiddleware(_answering("200 OK"),
                              tolm.limiter(algorithm="fixed_window", capacity=2))
    first = _call(app)[2]["tolm.rate_limit"]
    assert (first["limit"], first["used"], first["remaining"]) == (2, 1, 1)
    assert first["reset_time"].tzinfo is not None
    _call(app)
    refused = _call(app)
    assert refused[0] == 429
    numbers = refused[2]["tolm.rate_limit"]
    assert (numbers["limit"], numbers["used"], numbers["remaining"]) == (2, 2, 0)
    assert refused[2]["tolm.decision"]["key"] == "203.0.113.7"


@needs("_adjust")
@pytest.mark.parametrize("option,counted", [("skip_failed", "200 OK"),
                                            ("skip_successful", "500 Oops")])
def test_counting_only_failed_or_only_successful_requests(option, counted):
    lim = tolm.limiter(algorithm="fixed_window", capacity=2)
    uncounted = "500 Oops" if option == "skip_failed" else "302 Found"
    for status in (uncounted, uncounted, uncounted, counted, counted):
        app = wsgi.TolmMiddleware(_answering(status), lim, **{option: True})
        assert _call(app)[0] == int(status[:3])
    app = wsgi.TolmMiddleware(_answering(counted), lim, **{option: True})
    assert _call(app)[0] == 429

    def failing(environ, start_response):
        raise RuntimeError("boom")
    app = wsgi.TolmMiddleware(failing, tolm.limiter(algorithm="fixed_window", capacity=1),
                              skip_failed=True)
    for _ in range(2):  # an application that raised counts as failed: never counted here
        with pytest.raises(RuntimeError):
            _call(app)


@needs_cost
def test_a_cost_hook_prices_each_request():
    lim = tolm.limiter(algorithm="fixed_window", capacity=10)
    app = wsgi.TolmMiddleware(_answering("200 OK"), lim,
                              cost=lambda environ: 4 if environ["PATH_INFO"] == "/export" else 1)
    assert [_call(app, "/export")[0] for _ in range(3)] == [200, 200, 429]
    assert _call(app, "/")[0] == 200 and _call(app, "/")[0] == 200 and _call(app, "/")[0] == 429
    bad = wsgi.TolmMiddleware(_answering("200 OK"), lim, cost=lambda environ: 0)
    with pytest.raises(ValueError, match="cost"):
        _call(bad)


# --- giving units back, with a stand-in engine that counts -----------------------------------
# What the middleware refunds, and to whom, does not depend on the algorithm: an engine that
# only counts units per key shows it whatever the native module offers.

class CountingEngine:
    def __init__(self, allowance):
        self.allowance, self.used = allowance, {}

    def _decide(self, ip, route, identity, cost=1):
        key = ip if identity is None else identity
        used = self.used.get(key, 0)
        if used + cost <= self.allowance:
            self.used[key] = used + cost
            return 1 | 1 << 2, int(self.allowance - used - cost), None, None
        return 2 | 2 << 2, 0, 1500, None

    def _adjust(self, key, units):
        self.used[key] = max(0, self.used.get(key, 0) + units)

    def check(self, ip, route, identity=None):
        raise AssertionError("the middleware calls _decide")


def counting(allowance, name):
    return tolm.Limiter(CountingEngine(allowance), "fixed_window", "active", allowance, 0, None,
                        60_000, name)


def test_refunds_go_to_the_limits_that_admitted_a_refused_request():
    wide, narrow = counting(5, "wide"), counting(2, "narrow")
    assert [tolm.limits(wide, narrow).decide("k", "/")["allowed"] for _ in range(4)] \
        == [True, True, False, False]
    assert wide.engine.used == {"k": 2} and narrow.engine.used == {"k": 2}
    # Stacked, the outer middleware's unit comes back when the inner one refuses.
    wide, narrow = counting(5, "wide"), counting(2, "narrow")
    app = wsgi.TolmMiddleware(wsgi.TolmMiddleware(_answering("200 OK"), narrow), wide)
    answers = [_call(app) for _ in range(4)]
    assert [a[0] for a in answers] == [200, 200, 429, 429]
    assert wide.engine.used == {"203.0.113.7": 2}
    assert answers[1][1]["RateLimit"] == '"wide";r=3, "narrow";r=0'
    assert answers[2][1]["Retry-After"] == "2"
    # As one object, a limit that admitted a refused request shows its unit given back.
    wide, narrow = counting(5, "wide"), counting(2, "narrow")
    app = wsgi.TolmMiddleware(_answering("200 OK"), tolm.limits(wide, narrow))
    assert [_call(app)[1]["RateLimit"] for _ in range(3)][2] == '"wide";r=3, "narrow";r=0;t=2'


def test_skip_failed_gives_back_the_cost_of_a_failed_request():
    lim = counting(4, "c")
    app = wsgi.TolmMiddleware(_answering("503 Busy"), lim, skip_failed=True,
                              cost=lambda environ: 3)
    assert [_call(app)[0] for _ in range(3)] == [503, 503, 503]
    assert lim.engine.used == {"203.0.113.7": 0}

    def lazy(status):  # starts its answer only when iterated, after an empty chunk
        def app(environ, start_response):
            yield b""
            start_response(status, [])
            yield b"x"
        return app
    for status, used in (("200 OK", 1), ("404 Not Found", 2)):
        app = wsgi.TolmMiddleware(lazy(status), lim, skip_failed=True)
        body = app({"REMOTE_ADDR": "203.0.113.7", "PATH_INFO": "/"}, lambda *a: None)
        assert lim.engine.used == {"203.0.113.7": used}
        assert b"".join(body) == b"x"
    assert lim.engine.used == {"203.0.113.7": 1}  # the success counted, the 404 did not


def test_asgi_counts_only_what_its_options_say():
    import asyncio
    from tolm import asgi

    lim = counting(2, "c")

    def answering(status):
        async def app(scope, receive, send):
            await send({"type": "http.response.start", "status": status, "headers": []})
            await send({"type": "http.response.body", "body": b""})
        return app

    async def call(app):
        sent = []

        async def send(message):
            sent.append(message)

        async def receive():
            return {"type": "http.request"}
        await app({"type": "http", "path": "/", "client": ("203.0.113.7", 1)}, receive, send)
        return sent[0]["status"]

    async def run():
        failing = asgi.TolmMiddleware(answering(500), lim, skip_failed=True)
        statuses = [await call(failing) for _ in range(3)]
        served = asgi.TolmMiddleware(answering(200), lim, skip_failed=True,
                                     cost=lambda scope: 2)
        return statuses + [await call(served), await call(served)]
    assert asyncio.run(run()) == [500, 500, 500, 200, 429]
    assert lim.engine.used == {"203.0.113.7": 2}
