"""The friendly layer in front of real HTTP servers on loopback: settings and options refused
when the middleware is built, the RateLimit headers and Retry-After with honest values, the
refusal handler and skip, keys that cannot be forged, and the shipped examples."""

import importlib.util
import json
import os
import re
import subprocess
import sys
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

from middleware_servers import asgi_server, exchange, wsgi_server

import tolm
import tolm_native
from tolm import asgi as tolm_asgi
from tolm import wsgi as tolm_wsgi

ROOT = Path(__file__).resolve().parents[2]
CLIENT = "X-Test-Client"  # the address a trusted proxy would have reported


def _ok_wsgi(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"ok"]


async def _ok_asgi(scope, receive, send):
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": b"ok"})


@contextmanager
def wsgi_stack(engine, **options):
    limited = tolm_wsgi.TolmMiddleware(options.pop("app", _ok_wsgi), engine, **options)

    def front(environ, start_response):
        if "HTTP_X_TEST_CLIENT" in environ:
            environ["REMOTE_ADDR"] = environ["HTTP_X_TEST_CLIENT"]
        return limited(environ, start_response)

    with wsgi_server(front) as port:
        yield port


@contextmanager
def asgi_stack(engine, **options):
    limited = tolm_asgi.TolmMiddleware(options.pop("app", _ok_asgi), engine, **options)
    with asgi_server(limited, client_header=CLIENT) as port:
        yield port


@pytest.fixture(params=[wsgi_stack, asgi_stack], ids=["wsgi", "asgi"])
def stack(request):
    return request.param


def rate_limit_field(fields):
    """RateLimit's r and t (None when absent)."""
    match = re.fullmatch(r'"(\w+)";r=(\d+)(?:;t=(\d+))?', fields["ratelimit"])
    assert match, fields["ratelimit"]
    return int(match[2]), None if match[3] is None else int(match[3])


# -- settings and options, refused when built ------------------------------------------------

@pytest.mark.parametrize("settings, error, words", [
    ({"mode": "Shadow"}, ValueError, ["mode", "'Shadow'", "did you mean 'shadow'"]),
    ({"algorithm": "token-bucket"}, ValueError, ["algorithm", "did you mean 'token_bucket'"]),
    ({"algorithm": "leaky"}, ValueError, ["'leaky'", "'leaky_bucket'"]),
    ({"capacity": 0}, ValueError, ["capacity", "got 0", ">= 1"]),
    ({"capacity": -5}, ValueError, ["capacity", ">= 1"]),
    ({"capacity": float("nan")}, ValueError, ["capacity", "nan"]),
    ({"capacity": float("inf")}, ValueError, ["capacity", "finite"]),
    ({"capacity": "10"}, TypeError, ["capacity", "'10'", "str"]),
    ({"capacity": True}, TypeError, ["capacity", "bool"]),
    ({"refill_rate": -1}, ValueError, ["refill_rate", ">= 0"]),
    ({"refill_rate": float("nan")}, ValueError, ["refill_rate"]),
    ({"api_key": 5}, TypeError, ["api_key", "str or None"]),
])
def test_limiter_refuses_bad_settings_naming_setting_value_and_accepted(settings, error, words):
    with pytest.raises(error) as raised:
        tolm.limiter(**settings)
    for word in words:
        assert word in str(raised.value)


def test_limiter_keeps_its_settings_read_only_and_checks_like_the_engine():
    limiter = tolm.limiter("leaky_bucket", "shadow", capacity=2.5, refill_rate=0)
    assert (limiter.algorithm, limiter.mode, limiter.capacity, limiter.refill_rate,
            limiter.api_key) == ("leaky_bucket", "shadow", 2.5, 0.0, None)
    with pytest.raises(AttributeError):
        limiter.capacity = 5  # type: ignore[misc]
    assert isinstance(limiter.engine, tolm_native.NativeEngine)
    assert [limiter.check("a", "/")["would_block"] for _ in range(4)] == [False] * 3 + [True]


@pytest.mark.parametrize("middleware", [tolm_wsgi.TolmMiddleware, tolm_asgi.TolmMiddleware])
def test_middleware_options_are_refused_when_built(middleware):
    raw = tolm_native.NativeEngine("token_bucket", "active", 1, 0, None, None, "")
    good = tolm.limiter()
    cases = [
        ((raw,), {}, TypeError, ["settings", "tolm.limiter(", "headers=False"]),
        ((raw,), {"legacy_headers": True, "headers": False}, TypeError, ["tolm.limiter("]),
        ((tolm_native.NativeEngine,), {}, TypeError, ["class", "instance"]),
        ((tolm.limiter,), {}, TypeError, ["call it"]),
        ((object(),), {"headers": False}, TypeError, ["check"]),
        ((good,), {"ipv6_subnet": 0}, ValueError, ["ipv6_subnet", "1 to 128"]),
        ((good,), {"ipv6_subnet": 129}, ValueError, ["ipv6_subnet"]),
        ((good,), {"ipv6_subnet": True}, ValueError, ["ipv6_subnet"]),
        ((good,), {"headers": "yes"}, TypeError, ["headers", "True or False"]),
        ((good, "X-Api-Key"), {}, TypeError, ["identity", "callable"]),
        ((good,), {"skip": True}, TypeError, ["skip"]),
        ((good,), {"on_limited": 429}, TypeError, ["on_limited"]),
    ]
    for args, options, error, words in cases:
        with pytest.raises(error) as raised:
            middleware(None, *args, **options)
        for word in words:
            assert word in str(raised.value), (args, options, str(raised.value))


def test_a_raw_engine_still_serves_with_the_headers_off(stack):
    raw = tolm_native.NativeEngine("token_bucket", "active", 1, 0, None, None, "")
    with stack(raw, headers=False) as port:
        first, second = exchange(port), exchange(port)
    assert (first[0], second[0]) == (200, 429)
    assert not any(name.startswith(("ratelimit", "x-ratelimit", "retry-after"))
                   for name in {**first[1], **second[1]})


def test_an_engine_with_only_check_serves_with_the_headers_off(stack):
    # A wrapper of the engine's check (one that logs, say): the middleware reads its dicts.
    class Logged:
        def __init__(self):
            self.engine = tolm_native.NativeEngine("fixed_window", "active", 1, 0, None, None, "")
            self.calls = 0

        def check(self, ip, route, identity=None):
            self.calls += 1
            return self.engine.check(ip, route, identity)

    logged = Logged()
    with stack(logged, headers=False) as port:
        first, second = exchange(port), exchange(port)
    assert (first[0], second[0], logged.calls) == (200, 429, 2)
    assert json.loads(second[2]) == {"error": "too_many_requests", "reason": "limit_exceeded",
                                     "algorithm": None, "remaining": 0}


# -- headers ----------------------------------------------------------------------------------

@pytest.mark.parametrize("algorithm, policy, bound", [
    ("sliding_window", '"sliding_window";q=2;w=60', 61),
    ("fixed_window", '"fixed_window";q=2;w=60', 60),
    ("token_bucket", '"token_bucket";q=2', None),
    ("leaky_bucket", '"leaky_bucket";q=2', None),
])
def test_headers_across_a_burst_and_a_refusal(stack, algorithm, policy, bound):
    # On the real clock the windows' waits depend on how long the requests took: exact values
    # are the shared header table's (test_headers.py, on the fake clock), and the promises
    # they make are checked under a controlled clock in test_rate_limit_bounds.py.
    engine = tolm.limiter(algorithm, capacity=2, refill_rate=0)
    with stack(engine, legacy_headers=True) as port:
        answers = [exchange(port, "/api") for _ in range(3)]
    assert [a[0] for a in answers] == [200, 200, 429]
    assert {a[1]["ratelimit-policy"] for a in answers} == {policy}
    fields = [rate_limit_field(a[1]) for a in answers]
    assert [r for r, _ in fields] == [1, 0, 0]
    assert all(t is None if bound is None else 0 < t <= bound for _, t in fields), fields
    assert [a[1]["x-ratelimit-remaining"] for a in answers] == ["1", "0", "0"]
    assert {a[1]["x-ratelimit-limit"] for a in answers} == {"2"}
    refused = answers[2][1]
    if bound is None:
        # A bucket that never refills never lets the client back in: no time is promised.
        assert "retry-after" not in refused and "x-ratelimit-reset" not in refused
    else:
        retry = int(refused["retry-after"])
        assert retry == fields[2][1]
        assert 0 <= int(refused["x-ratelimit-reset"]) - time.time() <= retry + 1


def test_shadow_mode_headers_describe_the_observed_limit_and_nothing_is_refused(stack):
    engine = tolm.limiter("fixed_window", "shadow", capacity=1)
    with stack(engine) as port:
        answers = [exchange(port) for _ in range(3)]
    assert [a[0] for a in answers] == [200, 200, 200]
    assert [rate_limit_field(a[1]) for a in answers] == [(0, 60)] * 3
    assert all("retry-after" not in a[1] for a in answers)


def test_disabled_mode_sends_no_rate_limit_headers(stack):
    with stack(tolm.limiter(mode="disabled", capacity=1), legacy_headers=True) as port:
        status, fields, _ = exchange(port)
    assert status == 200
    assert not [n for n in fields if "ratelimit" in n]


# -- hooks ------------------------------------------------------------------------------------

def test_wsgi_refusal_handler_and_skip():
    def busy(environ, start_response):
        retry = environ[tolm_wsgi.RETRY_AFTER_KEY]
        start_response("503 Service Unavailable", [("X-Why", "busy")])
        return [f"come back in {retry}s".encode()]

    def health(environ):
        return environ.get("PATH_INFO") == "/health"

    engine = tolm.limiter(capacity=1, refill_rate=0.5)
    with wsgi_stack(engine, on_limited=busy, skip=health) as port:
        assert exchange(port)[0] == 200
        status, fields, body = exchange(port)
        health_answers = [exchange(port, "/health") for _ in range(3)]
    assert (status, body, fields["x-why"]) == (503, b"come back in 2s", "busy")
    assert fields["retry-after"] == "2" and rate_limit_field(fields) == (0, 2)
    assert [a[0] for a in health_answers] == [200] * 3
    assert all("ratelimit" not in a[1] for a in health_answers)


def test_asgi_refusal_handler_and_skip():
    async def busy(scope, receive, send):
        retry = scope["state"][tolm_asgi.RETRY_AFTER_KEY]
        await send({"type": "http.response.start", "status": 503,
                    "headers": [(b"x-why", b"busy")]})
        await send({"type": "http.response.body", "body": f"come back in {retry}s".encode()})

    engine = tolm.limiter(capacity=1, refill_rate=0.5)
    with asgi_stack(engine, on_limited=busy, skip=lambda scope: scope["path"] == "/health") \
            as port:
        assert exchange(port)[0] == 200
        status, fields, body = exchange(port)
        health_answers = [exchange(port, "/health") for _ in range(3)]
    assert (status, body, fields["x-why"]) == (503, b"come back in 2s", "busy")
    assert fields["retry-after"] == "2" and rate_limit_field(fields) == (0, 2)
    assert [a[0] for a in health_answers] == [200] * 3


def test_hooks_that_would_be_taken_at_their_coroutine_are_refused():
    async def skip(request):
        return False

    async def ident(request):
        return None

    async def async_app(scope, receive, send):
        pass

    for middleware in (tolm_wsgi.TolmMiddleware, tolm_asgi.TolmMiddleware):
        for options, words in (({"skip": skip}, ["skip", "not an async function"]),
                               ({"identity": ident}, ["identity", "not an async function"])):
            with pytest.raises(TypeError) as raised:
                middleware(None, tolm.limiter(), **options)
            assert all(w in str(raised.value) for w in words), str(raised.value)
    with pytest.raises(TypeError, match="on_limited must be a WSGI application"):
        tolm_wsgi.TolmMiddleware(None, tolm.limiter(), on_limited=async_app)
    with pytest.raises(TypeError, match="on_limited must be an ASGI application"):
        tolm_asgi.TolmMiddleware(None, tolm.limiter(), on_limited=_ok_wsgi)


def test_unusable_hook_answers_fail_the_request_and_usable_ones_key_by_their_text():
    class User:
        pass

    class Account:
        def __init__(self, number):
            self.number = number

        def __str__(self):
            return f"account-{self.number}"

    def call(middleware, path="/"):
        environ = {"REQUEST_METHOD": "GET", "PATH_INFO": path, "REMOTE_ADDR": "203.0.113.9"}
        answers = []
        middleware(environ, lambda status, headers: answers.append(status))
        return answers[0]

    async def pending():
        return False

    refused = (
        ({"skip": lambda environ: pending()}, "skip returned coroutine, an awaitable"),
        ({"identity": lambda environ: pending()}, "identity returned coroutine"),
        ({"identity": lambda environ: User()}, "a User object, whose text changes"),
    )
    for options, words in refused:
        limited = tolm_wsgi.TolmMiddleware(_ok_wsgi, tolm.limiter(capacity=1), **options)
        with pytest.raises(TypeError) as raised:
            call(limited)
        assert words in str(raised.value), str(raised.value)
    for identity in (lambda environ: 7, lambda environ: Account(7)):
        limited = tolm_wsgi.TolmMiddleware(_ok_wsgi, tolm.limiter(capacity=1, refill_rate=0),
                                           identity=identity)
        assert [call(limited)[:3] for _ in range(2)] == ["200", "429"]


def test_out_of_range_numbers_are_refused_by_name_whatever_their_size():
    from fractions import Fraction
    for value in (10**400, Fraction(10**400, 3), 10**5000):
        with pytest.raises(ValueError, match=r"^tolm.limiter: capacity must be a finite number >= 1; got .{1,80}$"):
            tolm.limiter(capacity=value)


def test_a_refusal_of_the_module_itself_is_not_blamed_on_the_file(tmp_path):
    # An ImportError raised by the module (not by the loader) carries no path; tolm passes it on
    # as it is instead of advising a reinstall that cannot help.
    (tmp_path / "tolm_native.py").write_text("raise ImportError('initialized only once')\n")
    child = subprocess.run([sys.executable, "-c", "import tolm; tolm.limiter()"],
                           capture_output=True, text=True, timeout=60,
                           env={**os.environ, "PYTHONPATH": f"{tmp_path}{os.pathsep}{ROOT / 'python'}"})
    assert child.stderr.strip().splitlines()[-1] == "ImportError: initialized only once", child.stderr


# -- keys -------------------------------------------------------------------------------------

def test_an_identity_equal_to_an_address_does_not_spend_that_clients_allowance(stack):
    def claimed(request):
        if isinstance(request, dict) and "HTTP_X_USER" in request:  # WSGI environ
            return request["HTTP_X_USER"]
        value = dict(request.get("headers") or []).get(b"x-user")
        return None if value is None else value.decode()

    engine = tolm.limiter(capacity=1, refill_rate=0)
    with stack(engine, identity=claimed) as port:
        victim = {CLIENT: "203.0.113.7"}
        assert exchange(port, headers={"X-User": "203.0.113.7"})[0] == 200
        assert exchange(port, headers={"X-User": "ip:203.0.113.7"})[0] == 200
        assert exchange(port, headers=victim)[0] == 200
        assert exchange(port, headers={"X-User": "203.0.113.7"})[0] == 429


@pytest.mark.parametrize("address", [
    "x" * 5000, "1.2.3.4, 5.6.7.8", "[::1", "fe80::1%" + "z" * 3000, "::ffff:999.1.1.1",
    "caf\xe9", "[2001:db8::1]:99999", "id:alice",
])
def test_odd_client_addresses_are_limited_and_never_crash(stack, address):
    engine = tolm.limiter(capacity=1, refill_rate=0)
    with stack(engine) as port:
        answers = [exchange(port, headers={CLIENT: address})[0] for _ in range(2)]
    assert answers == [200, 429]


# -- the shipped examples ---------------------------------------------------------------------

def _load_example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", ROOT / "examples" / name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.skipif(importlib.util.find_spec("flask") is None,
                    reason="flask not installed (scripts/bootstrap.d/requirements.txt, into .venv)")
def test_flask_example_cannot_be_bypassed_with_made_up_api_keys(monkeypatch):
    monkeypatch.setenv("TOLM_API_KEYS", "alice=k-alice-4f9c2e")
    example = _load_example("flask_app.py")
    with wsgi_server(example.app) as port:
        forged = [exchange(port, headers={"X-Api-Key": f"forged-{i}"})[0] for i in range(40)]
        # Capacity 20 and 5 more per second: a burst of 40 made-up keys is one client.
        assert 20 <= forged.count(200) <= 25 and forged[:20] == [200] * 20
        status, fields, body = exchange(port, headers={"X-Api-Key": "k-alice-4f9c2e"})
        assert status == 200 and b"alice" in body
        assert rate_limit_field(fields)[0] == 19


@pytest.mark.skipif(importlib.util.find_spec("fastapi") is None,
                    reason="fastapi not installed (scripts/bootstrap.d/requirements.txt, into .venv)")
def test_fastapi_example_observes_in_shadow_mode():
    example = _load_example("fastapi_app.py")
    with asgi_server(example.app) as port:
        answers = [exchange(port) for _ in range(101)]
    assert {a[0] for a in answers} == {200}
    assert b'"would_block":false' in answers[99][2] and b'"would_block":true' in answers[100][2]
    assert answers[0][1]["ratelimit-policy"] == '"sliding_window";q=100;w=60'
    remaining, reset = rate_limit_field(answers[100][1])
    assert remaining == 0 and 0 < reset <= 61


def test_the_package_passes_mypy_strict():
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy not installed (scripts/bootstrap.d/requirements.txt, into .venv)")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           str(ROOT / "python" / "tolm")], capture_output=True, text=True,
                          env={**os.environ, "MYPYPATH": str(ROOT)})
    assert done.returncode == 0, done.stdout + done.stderr
