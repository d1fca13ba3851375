"""tolm.fastapi over loopback HTTP with the real FastAPI under uvicorn: the dependency on some
routes, the identity from another dependency, the headers, a refusal as FastAPI answers
HTTPExceptions, and an identity dependency that refuses first."""

import socket
import threading
from contextlib import contextmanager

import pytest

fastapi = pytest.importorskip("fastapi")
uvicorn = pytest.importorskip("uvicorn")

from middleware_servers import TIMEOUT_S, exchange  # noqa: E402

import json  # noqa: E402

import tolm  # noqa: E402
from tolm.fastapi import RateLimit, TolmMiddleware  # noqa: E402


@contextmanager
def uvicorn_server(app):
    """uvicorn in a thread on a socket bound here: connections made before it accepts wait in
    the socket's backlog, so nothing polls for its start."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(16)
    server = uvicorn.Server(uvicorn.Config(app, log_level="error", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    try:
        yield sock.getsockname()[1]
    finally:
        server.should_exit = True
        thread.join(TIMEOUT_S)
        sock.close()


def current_user(authorization: str = fastapi.Header(default="")):
    """Stands for an application's own check of a token: 401 for a bad one."""
    if authorization == "":
        return None
    if not authorization.startswith("Bearer "):
        raise fastapi.HTTPException(401, "bad token")
    return authorization[len("Bearer "):]


def make_app():
    app = fastapi.FastAPI()
    login = RateLimit(tolm.limiter(capacity=2, refill_rate=0))
    search = RateLimit(tolm.limiter(capacity=3, refill_rate=0), identity=current_user)

    @app.get("/login", dependencies=[fastapi.Depends(login)])
    async def do_login(request: fastapi.Request):
        return {"remaining": request.state.tolm_decision["remaining"]}

    @app.get("/search", dependencies=[fastapi.Depends(search)])
    def do_search():
        return {"found": True}

    @app.get("/open")
    async def unlimited():
        return {"open": True}

    return app


def test_only_the_routes_with_the_dependency_are_limited_with_the_headers():
    with uvicorn_server(make_app()) as port:
        status, fields, body = exchange(port, "/login")
        assert status == 200 and json.loads(body) == {"remaining": 1}
        assert fields["ratelimit-policy"] == '"token_bucket";q=2'
        assert fields["ratelimit"] == '"token_bucket";r=1'
        assert exchange(port, "/login")[0] == 200
        status, fields, body = exchange(port, "/login")
        assert status == 429
        assert json.loads(body) == {"detail": {"error": "too_many_requests",
                                               "reason": "token_exhausted",
                                               "algorithm": "token_bucket", "remaining": 0}}
        assert fields["ratelimit"].startswith('"token_bucket";r=0')
        # Another route, and its own limit: untouched.
        status, fields, _ = exchange(port, "/open")
        assert status == 200 and "ratelimit" not in fields
        assert exchange(port, "/search")[0] == 200


def test_identity_from_another_dependency_and_its_own_refusal():
    with uvicorn_server(make_app()) as port:
        ann = {"Authorization": "Bearer ann"}
        assert [exchange(port, "/search", ann)[0] for _ in range(4)] == [200, 200, 200, 429]
        # Bob, from the same address, has an allowance of his own; so has the anonymous address.
        assert exchange(port, "/search", {"Authorization": "Bearer bob"})[0] == 200
        assert exchange(port, "/search")[2] == b'{"found":true}'
        # The identity dependency's own HTTPException is the answer, and counts nothing.
        status, _, body = exchange(port, "/search", {"Authorization": "Basic x"})
        assert status == 401 and json.loads(body) == {"detail": "bad token"}
        status, fields, _ = exchange(port, "/search", {"Authorization": "Bearer bob"})
        assert status == 200 and fields["ratelimit"] == '"token_bucket";r=1'


def test_app_wide_middleware_is_the_asgi_one_and_a_limit_can_be_a_settings_dict():
    app = fastapi.FastAPI()
    app.add_middleware(TolmMiddleware, engine=tolm.limiter(capacity=1, refill_rate=0))

    @app.get("/", dependencies=[fastapi.Depends(RateLimit({"capacity": 5, "refill_rate": 0}))])
    async def index():
        return {}

    with uvicorn_server(app) as port:
        assert [exchange(port, "/")[0] for _ in range(2)] == [200, 429]


def test_bad_options_are_refused_when_the_dependency_is_made():
    with pytest.raises(TypeError, match="identity must be a dependency"):
        RateLimit(tolm.limiter(), identity="user")
    with pytest.raises(TypeError, match="did you mean 'refill_rate'"):
        RateLimit({"refil_rate": 3})


def test_the_shipped_example_keys_by_verified_token_and_refuses_made_up_ones(monkeypatch):
    import importlib.util
    from pathlib import Path
    monkeypatch.setenv("TOLM_TOKENS", "alice=t-alice")
    source = Path(__file__).resolve().parents[2] / "examples" / "fastapi_dependency.py"
    found = importlib.util.spec_from_file_location("example_fastapi_dependency", source)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    with uvicorn_server(example.app) as port:
        alice = {"Authorization": "Bearer t-alice"}
        codes = [exchange(port, "/search", alice)[0] for _ in range(11)]
        assert codes == [200] * 10 + [429]
        # Another token is refused outright: it never buys a fresh allowance.
        assert exchange(port, "/search", {"Authorization": "Bearer made-up"})[0] == 401
        status, fields, _ = exchange(port, "/search")
        assert status == 200 and fields["ratelimit"].startswith('"token_bucket";r=9')
        assert "ratelimit" not in exchange(port, "/health")[1]
