"""tolm.django over loopback HTTP with the real Django behind a WSGI server: the site-wide
limit from settings.TOLM, per-view limits and exemptions, the identity from Django's own
session, the headers, and failing hooks answered as Django answers failing views."""

import json

import pytest

django = pytest.importorskip("django")

from django.conf import settings  # noqa: E402

settings.configure(
    DEBUG=False,
    SECRET_KEY="test",
    ALLOWED_HOSTS=["127.0.0.1"],
    SESSION_ENGINE="django.contrib.sessions.backends.signed_cookies",
    MIDDLEWARE=["django.contrib.sessions.middleware.SessionMiddleware",
                "tolm.django.TolmMiddleware"],
    LOGGING_CONFIG=None,
)
django.setup()

from django.core.exceptions import ImproperlyConfigured  # noqa: E402
from django.core.handlers.wsgi import WSGIHandler  # noqa: E402
from django.http import HttpResponse, JsonResponse  # noqa: E402
from django.test.utils import override_settings  # noqa: E402
from django.urls import path  # noqa: E402

from middleware_servers import exchange, wsgi_server  # noqa: E402

import tolm  # noqa: E402
from tolm.django import exempt, rate_limit  # noqa: E402


def index(request):
    return JsonResponse({"remaining": request.tolm["remaining"]})


def login(request, name):
    request.session["user"] = name
    return HttpResponse("in")


@exempt
def health(request):
    return HttpResponse("ok")


def session_user(request):
    return request.session.get("user")


def failing_identity(request):
    raise RuntimeError("store down")


def routes():
    """The site's URLs, with a decorated view made anew so that its allowance is fresh and it
    reads the TOLM settings in force."""
    @rate_limit({"capacity": 1, "refill_rate": 0})
    def search(request):
        return HttpResponse("found")

    @rate_limit({"capacity": 1, "refill_rate": 0})
    async def lookup(request):
        return HttpResponse("looked up")

    class URLs:  # a urlconf may be any hashable object with urlpatterns
        urlpatterns = [path("", index), path("login/<name>", login), path("health", health),
                       path("search", search), path("lookup", lookup)]
    return URLs


def statuses(port, target, count, headers=None):
    return [exchange(port, target, headers)[0] for _ in range(count)]


def site(**tolm_settings):
    """A fresh Django handler (which loads the middleware, and so reads TOLM) under those
    settings."""
    return override_settings(TOLM=tolm_settings, ROOT_URLCONF=routes())


def test_site_limit_refuses_at_capacity_with_headers_exempt_and_own_limit_views():
    with site(limit={"capacity": 2, "refill_rate": 0}), wsgi_server(WSGIHandler()) as port:
        status, fields, body = exchange(port, "/")
        assert status == 200 and json.loads(body) == {"remaining": 1}
        assert fields["ratelimit-policy"] == '"token_bucket";q=2'
        assert fields["ratelimit"] == '"token_bucket";r=1'
        assert statuses(port, "/", 2) == [200, 429]
        status, fields, body = exchange(port, "/")
        assert json.loads(body)["reason"] == "token_exhausted"
        assert fields["content-type"] == "application/json" and "ratelimit" in fields
        status, fields, _ = exchange(port, "/health")
        assert status == 200 and "ratelimit" not in fields
        # The view's own limit, not the spent site-wide one.
        status, fields, _ = exchange(port, "/search")
        assert status == 200 and fields["ratelimit-policy"] == '"token_bucket";q=1'
        assert statuses(port, "/search", 1) == [429]


def test_identity_from_the_session_named_by_a_dotted_path():
    with site(limit={"capacity": 2, "refill_rate": 0},
              identity=f"{__name__}.session_user"), wsgi_server(WSGIHandler()) as port:
        cookies = {}
        for user in ("ann", "bob"):
            status, fields, _ = exchange(port, f"/login/{user}")
            assert status == 200
            cookies[user] = {"Cookie": fields["set-cookie"].split(";")[0]}
        assert statuses(port, "/", 1) == [429]
        assert statuses(port, "/", 3, cookies["ann"]) == [200, 200, 429]
        assert statuses(port, "/", 3, cookies["bob"]) == [200, 200, 429]


def test_failing_identity_is_a_500_and_no_view_runs():
    with site(limit=tolm.limiter(capacity=5, refill_rate=0), identity=failing_identity), \
            wsgi_server(WSGIHandler()) as port:
        status, _, body = exchange(port, "/")
        assert status == 500 and b"remaining" not in body
        # The decorator's check reads the same identity setting.
        assert exchange(port, "/search")[0] == 500
        assert exchange(port, "/health")[0] == 200


def test_on_limited_answers_refusals_with_the_headers_added():
    def slow_down(request, decision):
        return HttpResponse(decision["reason"], status=503)

    with site(limit={"capacity": 1, "refill_rate": 2}, on_limited=slow_down), \
            wsgi_server(WSGIHandler()) as port:
        assert statuses(port, "/", 1) == [200]
        status, fields, body = exchange(port, "/")
        assert (status, body) == (503, b"token_exhausted")
        assert fields["retry-after"] == "1" and "ratelimit" in fields


def test_no_site_limit_leaves_other_views_alone():
    with site(), wsgi_server(WSGIHandler()) as port:
        status, fields, _ = exchange(port, "/login/x")
        assert status == 200 and "ratelimit" not in fields
        assert statuses(port, "/search", 2) == [200, 429]
        # An async view is limited too, and still awaited.
        status, fields, body = exchange(port, "/lookup")
        assert (status, body) == (200, b"looked up") and "ratelimit" in fields
        assert statuses(port, "/lookup", 1) == [429]


def test_misspelt_and_unimportable_settings_are_refused_at_start_up():
    with site(limit={"capacity": 2}, identty=session_user):
        with pytest.raises(ImproperlyConfigured, match="did you mean 'identity'"):
            WSGIHandler()
    with site(limit={"capacity": 2}, identity="no.such.module.user"):
        with pytest.raises(ImproperlyConfigured, match="cannot be imported"):
            WSGIHandler()


def test_the_shipped_example_passes_djangos_checks():
    import os
    import subprocess
    import sys
    from pathlib import Path
    root = Path(__file__).resolve().parents[2]
    env = dict(os.environ)
    from conftest import BUILD_DIR
    env["PYTHONPATH"] = os.pathsep.join([str(root / "python"), str(BUILD_DIR)])
    done = subprocess.run([sys.executable, str(root / "examples" / "django_app.py"), "check"],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "no issues" in done.stdout
