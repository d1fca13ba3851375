"""tolm.flask over loopback HTTP with the real Flask: the default limit, per-view limits and
exemptions, the identity read from Flask's own session inside the request context, the
headers, and an identity hook that fails."""

import pytest

flask = pytest.importorskip("flask")

from middleware_servers import exchange, wsgi_server  # noqa: E402

import tolm  # noqa: E402
from tolm.flask import Limiter  # noqa: E402


def make_app(limiter):
    app = flask.Flask(__name__)
    app.secret_key = "test"

    @app.get("/")
    def index():
        return {"decision": flask.g.tolm["remaining"]}

    @app.get("/login/<name>")
    def login(name):
        flask.session["user"] = name
        return "in"

    @app.get("/health")
    @limiter.exempt
    def health():
        return "ok"

    tight = tolm.limiter(capacity=1, refill_rate=0)

    @app.get("/search")
    @limiter.limit(tight)
    def search():
        return "found"

    @app.get("/also-search")
    @limiter.limit(tight)
    def also_search():
        return "found too"

    @app.errorhandler(LookupError)
    def lookup_failed(error):
        return "no such user", 403

    limiter.init_app(app)
    return app


def statuses(port, path, count, headers=None):
    return [exchange(port, path, headers)[0] for _ in range(count)]


def test_default_limit_refuses_at_capacity_with_the_headers_and_exempt_views_pass():
    app = make_app(Limiter(default=tolm.limiter(capacity=3, refill_rate=0)))
    with wsgi_server(app) as port:
        status, fields, body = exchange(port, "/")
        assert status == 200 and flask.json.loads(body) == {"decision": 2}
        assert fields["ratelimit-policy"] == '"token_bucket";q=3'
        assert fields["ratelimit"] == '"token_bucket";r=2'
        assert statuses(port, "/", 2) == [200, 200]
        status, fields, body = exchange(port, "/")
        assert status == 429 and fields["content-type"] == "application/json"
        assert flask.json.loads(body)["reason"] == "token_exhausted"
        assert fields["ratelimit"].startswith('"token_bucket";r=0') and "retry-after" not in fields
        # Exempt: no check, no headers, whatever the default allowance has left.
        status, fields, _ = exchange(port, "/health")
        assert status == 200 and "ratelimit" not in fields


def test_per_view_limits_replace_the_default_and_one_limiter_is_one_shared_allowance():
    app = make_app(Limiter(default=tolm.limiter(capacity=100, refill_rate=0)))
    with wsgi_server(app) as port:
        status, fields, _ = exchange(port, "/search")
        assert status == 200 and fields["ratelimit-policy"] == '"token_bucket";q=1'
        # The second view holds the same limiter: its allowance is already spent.
        assert statuses(port, "/also-search", 1) == [429]
        assert statuses(port, "/search", 1) == [429]
        # The default's allowance was never touched by the two views.
        assert exchange(port, "/")[2] == b'{"decision":99}\n'


def test_without_default_only_decorated_views_are_limited():
    app = make_app(Limiter())
    with wsgi_server(app) as port:
        assert statuses(port, "/login/x", 5) == [200] * 5
        assert statuses(port, "/search", 2) == [200, 429]


def test_identity_from_the_session_gives_each_user_an_allowance_of_their_own():
    limiter = Limiter(default=tolm.limiter(capacity=2, refill_rate=0),
                      identity=lambda request: flask.session.get("user"))
    app = make_app(limiter)
    with wsgi_server(app) as port:
        cookies = {}
        for user in ("ann", "bob"):
            status, fields, _ = exchange(port, f"/login/{user}")
            assert status == 200
            cookies[user] = {"Cookie": fields["set-cookie"].split(";")[0]}
        # The two logins spent the address's allowance; each user still has theirs.
        assert statuses(port, "/", 1) == [429]
        assert statuses(port, "/", 3, cookies["ann"]) == [200, 200, 429]
        assert statuses(port, "/", 3, cookies["bob"]) == [200, 200, 429]


def test_identity_that_raises_goes_through_flasks_error_handling():
    def identity(request):
        if request.args.get("who") == "unknown":
            raise LookupError("unknown user")
        if request.args.get("who") == "broken":
            raise RuntimeError("store down")
        return None

    app = make_app(Limiter(default=tolm.limiter(capacity=5, refill_rate=0), identity=identity))
    with wsgi_server(app) as port:
        assert exchange(port, "/?who=unknown")[:1] == (403,)
        # No handler for that one: Flask's 500, never an unchecked pass.
        assert exchange(port, "/?who=broken")[0] == 500
        # Nothing was counted for the failed requests.
        assert exchange(port, "/")[2] == b'{"decision":4}\n'


def test_on_limited_answers_refusals_with_the_headers_added():
    limiter = Limiter(default=tolm.limiter(capacity=1, refill_rate=1),
                      on_limited=lambda decision: ({"slow": decision["reason"]}, 503))
    with wsgi_server(make_app(limiter)) as port:
        assert statuses(port, "/", 1) == [200]
        status, fields, body = exchange(port, "/")
        assert status == 503 and flask.json.loads(body) == {"slow": "token_exhausted"}
        assert fields["retry-after"] == "1" and "ratelimit" in fields


def test_bad_options_are_refused_when_the_extension_is_made():
    with pytest.raises(TypeError, match="a limit must be built by tolm.limiter"):
        Limiter(default=5)
    with pytest.raises(TypeError, match="not an async"):
        async def identity(request):
            return None
        Limiter(default=tolm.limiter(), identity=identity)
    with pytest.raises(TypeError, match="on_limited"):
        Limiter(on_limited="429")
    with pytest.raises(TypeError, match="did you mean 'capacity'"):
        Limiter(default={"capcity": 3})


def test_the_shipped_example_limits_login_tighter_and_leaves_health_alone():
    import importlib.util
    from pathlib import Path
    source = Path(__file__).resolve().parents[2] / "examples" / "flask_extension.py"
    found = importlib.util.spec_from_file_location("example_flask_extension", source)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    with wsgi_server(example.app) as port:
        status, fields, body = exchange(port, "/")
        assert status == 200 and flask.json.loads(body) == {"hello": "anonymous", "remaining": 19}
        assert "ratelimit" not in exchange(port, "/health")[1]
        import http.client
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("POST", "/login/ann")
        answer = conn.getresponse()
        answer.read()
        conn.close()
        assert answer.status == 200
        assert answer.getheader("RateLimit-Policy") == '"fixed_window";q=5;w=60'
        # Signed in: the user's own allowance, not the address's.
        cookie = {"Cookie": answer.getheader("Set-Cookie").split(";")[0]}
        assert flask.json.loads(exchange(port, "/", cookie)[2]) == {"hello": "ann", "remaining": 19}


def test_the_readmes_flask_example_runs_as_written():
    """Its identity reads the session, which only works inside the request context."""
    import re
    from pathlib import Path
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    block = next(b for b in re.findall(r"```python\n(.*?)```", readme, re.S) if "tolm.flask" in b)
    scope = {"__name__": "readme_example", "verified_user": lambda session: session.get("user")}
    exec(compile(block, "README.md", "exec"), scope)
    app = scope["app"]
    app.secret_key = "test"

    @app.get("/login/<name>")
    def login(name):
        flask.session["user"] = name
        return "in"

    with wsgi_server(app) as port:
        status, fields, body = exchange(port, "/")
        assert status == 200 and flask.json.loads(body) == {"remaining": 19}
        cookie = {"Cookie": exchange(port, "/login/ann")[1]["set-cookie"].split(";")[0]}
        assert flask.json.loads(exchange(port, "/", cookie)[2]) == {"remaining": 19}
        assert "ratelimit" not in exchange(port, "/health")[1]
