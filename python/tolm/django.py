"""Django: a middleware for the site-wide limit and a decorator for per-view limits,
configured from ``settings.TOLM``.

    # settings.py
    MIDDLEWARE = [..., "django.contrib.auth.middleware.AuthenticationMiddleware",
                  "tolm.django.TolmMiddleware", ...]
    TOLM = {
        "limit": {"capacity": 100, "refill_rate": 10},  # or tolm.limiter(...); None: no default
        "identity": "myapp.limits.user_key",            # f(request) -> str | None, or its path
    }

    # views.py
    from tolm.django import exempt, rate_limit

    @rate_limit({"capacity": 5, "refill_rate": 5 / 60})
    def login(request): ...

    @exempt
    def health(request): ...

- The middleware decides in ``process_view``, after the authentication middleware has set
  ``request.user``, so the identity may read it. Views with ``@rate_limit`` are held to their
  own limit instead of the default (the decorator works without the middleware too);
  ``@exempt`` views are never checked.
- The key is ``identity(request)`` when it returns a value, else ``REMOTE_ADDR``.
- A refused request is answered 429 with the JSON body of the WSGI middleware (or by
  ``on_limited(request, decision)``), with Retry-After; every checked response carries the
  RateLimit headers; ``request.tolm`` holds the decision. Other TOLM keys: ``headers``,
  ``legacy_headers``, ``ipv6_subnet``, ``nat64_prefixes`` and ``on_limited``, as in
  ``tolm.wsgi.TolmMiddleware``.
- An exception raised by ``identity`` goes through Django's exception handling like one from
  the view.
"""

from __future__ import annotations

import functools
import inspect
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

from django.conf import settings  # type: ignore[import-untyped, unused-ignore]
from django.core.exceptions import ImproperlyConfigured  # type: ignore[import-untyped, unused-ignore]
from django.http import HttpRequest, HttpResponse  # type: ignore[import-untyped, unused-ignore]
from django.utils.module_loading import import_string  # type: ignore[import-untyped, unused-ignore]

from ._common import REFUSED_STATUS, Core, refusal_body
from ._integration import as_limiter
from ._settings import closest

__all__ = ["TolmMiddleware", "rate_limit", "exempt"]

_SETTINGS = ("limit", "identity", "headers", "legacy_headers", "ipv6_subnet",
             "nat64_prefixes", "on_limited")
_LIMITED = "_tolm_limited"
_EXEMPT = "_tolm_exempt"


def _callable(owner: str, name: str, value: object) -> Any:
    if isinstance(value, str):
        try:
            return import_string(value)
        except ImportError as error:
            raise ImproperlyConfigured(f"{owner}: {name} {value!r} cannot be imported: {error}")
    return value


class _Check:
    """One limit with its checked options, and the answer to a refused request."""

    def __init__(self, owner: str, limit: object, options: Dict[str, Any]) -> None:
        for name in options:
            if name not in _SETTINGS:
                guess = closest(name, _SETTINGS)
                hint = f"; did you mean {guess!r}?" if guess else ""
                raise ImproperlyConfigured(f"{owner}: unknown setting {name!r}{hint}")
        on_limited = _callable(owner, "on_limited", options.get("on_limited"))
        if on_limited is not None and not callable(on_limited):
            raise ImproperlyConfigured(f"{owner}: on_limited must be a callable "
                                       f"(request, decision) -> HttpResponse")
        self.on_limited = on_limited
        self.core = Core(owner, as_limiter(owner, limit),
                         _callable(owner, "identity", options.get("identity")),
                         options.get("headers", True), options.get("legacy_headers", False),
                         options.get("ipv6_subnet", 56), None, None, "request",
                         options.get("nat64_prefixes"))

    def refusal(self, request: HttpRequest) -> Optional[HttpResponse]:
        """None when `request` is admitted; else the answer to send. Either way the headers
        to add wait in ``request._tolm_fields``."""
        decision, fields, _ = self.core.decide(request, request.META.get("REMOTE_ADDR"),
                                               request.path or "/")
        request.tolm = decision
        request._tolm_fields = fields
        if decision["allowed"]:
            return None
        if self.on_limited is not None:
            answer: HttpResponse = self.on_limited(request, decision)
            return answer
        return HttpResponse(refusal_body(decision), status=REFUSED_STATUS,
                            content_type="application/json")


def _add_fields(request: HttpRequest, response: HttpResponse) -> HttpResponse:
    fields: List[Tuple[str, str]] = getattr(request, "_tolm_fields", None) or []
    for name, value in fields:
        response[name] = value
    return response


def rate_limit(limit: object, **options: Any) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """Holds a view to `limit` (a limiter, a settings dict or a rate text) instead of the
    middleware's default; `options` are the TOLM settings other than ``limit``, by default
    those of ``settings.TOLM``."""
    def decorate(view: Callable[..., Any]) -> Callable[..., Any]:
        checks: List[_Check] = []
        lock = threading.Lock()

        def check() -> _Check:
            # Built on first use, when Django has loaded the settings; once, whichever of the
            # server's threads comes first.
            with lock:
                if not checks:
                    merged = {k: v for k, v in getattr(settings, "TOLM", {}).items()
                              if k != "limit"}
                    merged.update(options)
                    checks.append(_Check("tolm.django.rate_limit", limit, merged))
            return checks[0]

        limited: Callable[..., Any]
        if inspect.iscoroutinefunction(view):
            # An async view stays async, so that Django awaits it on its own loop.
            @functools.wraps(view)
            async def limited(request: HttpRequest, *args: Any, **kwargs: Any) -> HttpResponse:
                refused = (checks[0] if checks else check()).refusal(request)
                response = refused if refused is not None else await view(request, *args,
                                                                          **kwargs)
                return _add_fields(request, response)
        else:
            @functools.wraps(view)
            def limited(request: HttpRequest, *args: Any, **kwargs: Any) -> HttpResponse:
                refused = (checks[0] if checks else check()).refusal(request)
                response = refused if refused is not None else view(request, *args, **kwargs)
                return _add_fields(request, response)
        setattr(limited, _LIMITED, True)
        return limited
    return decorate


def exempt(view: Callable[..., Any]) -> Callable[..., Any]:
    """Never checks the view."""
    setattr(view, _EXEMPT, True)
    return view


class TolmMiddleware:
    """The site-wide limit of ``settings.TOLM["limit"]`` (checked when Django loads the
    middleware)."""

    def __init__(self, get_response: Callable[[HttpRequest], HttpResponse]) -> None:
        self.get_response = get_response
        config = dict(getattr(settings, "TOLM", {}))
        limit = config.get("limit")
        self.check = None if limit is None else _Check("tolm.django.TolmMiddleware", limit,
                                                        config)

    def __call__(self, request: HttpRequest) -> HttpResponse:
        response = self.get_response(request)
        if getattr(request, "_tolm_by", None) is self:
            _add_fields(request, response)
        return response

    def process_view(self, request: HttpRequest, view: Callable[..., Any], args: Any,
                     kwargs: Any) -> Optional[HttpResponse]:
        if self.check is None or getattr(view, _EXEMPT, False) or getattr(view, _LIMITED, False):
            return None
        request._tolm_by = self
        return self.check.refusal(request)
