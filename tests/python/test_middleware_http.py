"""The WSGI and ASGI middleware of the `tolm` package, each in front of a real HTTP server on
loopback: what is refused and how, what the application sees, and how requests are keyed."""

from contextlib import contextmanager

import pytest

from middleware_servers import asgi_server, get, wsgi_server

import tolm
from tolm import asgi as tolm_asgi
from tolm import wsgi as tolm_wsgi

HEADER = "X-Client-Id"


def wsgi_stack(engine, identity=None, client=True, state=None):
    """Serves a WSGI app behind the middleware; yields (port, decisions the app saw)."""
    seen = []

    def app(environ, start_response):
        seen.append(environ[tolm_wsgi.ENVIRON_KEY])
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [b"ok"]

    key = None if identity is None else (lambda environ: identity(environ.get("HTTP_X_CLIENT_ID")))
    limited = tolm_wsgi.TolmMiddleware(app, engine, identity=key)

    def front(environ, start_response):
        if not client:  # what a server that knows no peer address would hand over
            environ.pop("REMOTE_ADDR", None)
        return limited(environ, start_response)

    return _serving(wsgi_server(front), seen)


def asgi_stack(engine, identity=None, client=True, state=None):
    seen = []

    async def app(scope, receive, send):
        seen.append(scope["state"][tolm_asgi.STATE_KEY])
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": b"ok"})

    def key(scope):
        value = dict(scope["headers"]).get(HEADER.lower().encode())
        return identity(None if value is None else value.decode("latin-1"))

    limited = tolm_asgi.TolmMiddleware(app, engine, identity=None if identity is None else key)
    return _serving(asgi_server(limited, client=client, state=state), seen)


@contextmanager
def _serving(server, seen):
    with server as port:
        yield port, seen


@pytest.fixture(params=[wsgi_stack, asgi_stack], ids=["wsgi", "asgi"])
def stack(request):
    return request.param


def statuses(port, count, path="/", headers=None):
    return [get(port, path, headers)[0] for _ in range(count)]


@pytest.mark.parametrize("algorithm, reason", [
    ("token_bucket", "token_exhausted"), ("sliding_window", "limit_exceeded"),
    ("fixed_window", "limit_exceeded"), ("leaky_bucket", "limit_exceeded"),
])
def test_active_mode_answers_429_with_json_and_keeps_the_app_out(stack, algorithm, reason):
    engine = tolm.limiter(algorithm, capacity=2, refill_rate=0)
    with stack(engine) as (port, seen):
        assert statuses(port, 2, "/api/items") == [200, 200]
        status, kind, body = get(port, "/api/items?page=2")
    assert (status, kind) == (429, "application/json")
    assert body == {"error": "too_many_requests", "reason": reason, "algorithm": algorithm,
                    "remaining": 0}
    assert [(d["remaining"], d["reason"], d["algorithm"]) for d in seen] == [
        (1, "within_limit", algorithm), (0, "within_limit", algorithm)]


def test_shadow_mode_serves_everything_and_tells_the_app(stack):
    with stack(tolm.limiter(mode="shadow", capacity=1, refill_rate=0)) as (port, seen):
        assert statuses(port, 3) == [200, 200, 200]
    assert [d["would_block"] for d in seen] == [False, True, True]
    assert all(d["allowed"] for d in seen)


def test_disabled_mode_serves_everything_unevaluated(stack):
    with stack(tolm.limiter(mode="disabled", capacity=1)) as (port, seen):
        assert statuses(port, 3) == [200, 200, 200]
    assert all(d["reason"] is None and d["remaining"] is None for d in seen)


def test_identity_function_gives_each_identity_its_own_allowance(stack):
    # None from the function falls back to the client address.
    with stack(tolm.limiter(capacity=1, refill_rate=0), identity=lambda v: v) as (port, _):
        assert statuses(port, 2, headers={HEADER: "alice"}) == [200, 429]
        assert statuses(port, 2, headers={HEADER: "bob"}) == [200, 429]
        assert statuses(port, 2) == [200, 429]


def test_request_without_client_address_is_limited_under_the_unknown_key(stack):
    engine = tolm.limiter(capacity=2, refill_rate=0)
    with stack(engine, client=False) as (port, _):
        assert statuses(port, 3) == [200, 200, 429]
    assert engine.check(tolm.UNKNOWN_KEY, "/")["allowed"] is False
    assert engine.check("127.0.0.1", "/")["allowed"] is True


@pytest.mark.parametrize("identity, same_key_as", [
    (lambda v: v, None),                     # a 60 KB identity header is a key like any other
    (lambda v: "\udcff" + (v or ""), None),  # lone surrogate: escaped, not UnicodeEncodeError
    (lambda v: 42, "id:42"),                 # not a str: its str() is the identity
], ids=["huge-header", "lone-surrogate", "not-a-str"])
def test_odd_identities_are_keyed_without_crashing(stack, identity, same_key_as):
    engine = tolm.limiter(capacity=1, refill_rate=0)
    with stack(engine, identity=identity) as (port, _):
        # Just under the standard library server's 64 KiB limit for one header line.
        headers = {HEADER: "k" * 60_000}
        assert statuses(port, 2, headers=headers) == [200, 429]
    if same_key_as is not None:
        assert engine.check("elsewhere", "/", same_key_as)["allowed"] is False


def test_asgi_leaves_the_shared_lifespan_state_untouched():
    shared = {"db": "handle"}
    seen_states = []

    async def app(scope, receive, send):
        seen_states.append(scope["state"])
        await send({"type": "http.response.start", "status": 204, "headers": []})
        await send({"type": "http.response.body", "body": b""})

    limited = tolm_asgi.TolmMiddleware(app, tolm.limiter(capacity=5))
    with asgi_server(limited, state=shared) as port:
        assert statuses(port, 2) == [204, 204]
    assert shared == {"db": "handle"}
    assert [s["db"] for s in seen_states] == ["handle", "handle"]
    assert seen_states[0] is not seen_states[1]

