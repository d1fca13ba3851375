"""A one-file Django site with tolm.django: the site-wide limit comes from settings.TOLM (20 at
once, then 5 per second, per signed-in user or else per address), the login view has a limit of
its own and the health check none.

    pip install . django           # from the repository root
    DJANGO_SECRET_KEY=change-me python examples/django_app.py runserver 127.0.0.1:8000 --noreload
    curl -i http://127.0.0.1:8000/
"""

import os
import sys

from django.conf import settings

settings.configure(
    DEBUG=False,
    SECRET_KEY=os.environ.get("DJANGO_SECRET_KEY", "dev only: set DJANGO_SECRET_KEY"),
    ALLOWED_HOSTS=["127.0.0.1", "localhost"],
    ROOT_URLCONF=__name__,
    SESSION_ENGINE="django.contrib.sessions.backends.signed_cookies",
    MIDDLEWARE=["django.contrib.sessions.middleware.SessionMiddleware",
                "tolm.django.TolmMiddleware"],
    TOLM={
        "limit": {"algorithm": "token_bucket", "capacity": 20, "refill_rate": 5},
        # The session is signed by Django: its user is verified.
        "identity": lambda request: request.session.get("user"),
    },
)

from django.http import HttpRequest, HttpResponse, JsonResponse  # noqa: E402
from django.urls import path  # noqa: E402

from tolm.django import exempt, rate_limit  # noqa: E402


def index(request: HttpRequest) -> JsonResponse:
    return JsonResponse({"hello": request.session.get("user", "anonymous"),
                         "remaining": request.tolm["remaining"]})


@rate_limit({"algorithm": "fixed_window", "capacity": 5})  # 5 tries per minute
def login(request: HttpRequest, name: str) -> JsonResponse:
    request.session["user"] = name  # stands for a real password check
    return JsonResponse({"signed_in": name})


@exempt
def health(request: HttpRequest) -> HttpResponse:
    return HttpResponse("ok")


urlpatterns = [path("", index), path("login/<name>", login), path("health", health)]

if __name__ == "__main__":
    from django.core.management import execute_from_command_line
    execute_from_command_line(sys.argv)
