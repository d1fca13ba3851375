"""Flask extension: app-wide limits, per-view limits and exemptions, decided inside the request
context so that ``session``, ``g`` and ``current_user`` can name the client.

    from flask import Flask, session
    import tolm
    from tolm.flask import Limiter

    limiter = Limiter(default=tolm.limiter(capacity=100, refill_rate=10),
                      identity=lambda request: session.get("user_id"))
    app = Flask(__name__)
    limiter.init_app(app)

    @app.post("/login")
    @limiter.limit(tolm.limiter(capacity=5, refill_rate=5 / 60))
    def login(): ...

    @app.get("/health")
    @limiter.exempt
    def health(): ...

- A view with ``@limiter.limit(...)`` is held to its own limits instead of the default; one
  limiter object given to several views is one allowance they share. ``@limiter.exempt``
  views are never checked. Without a default, only decorated views are limited.
- The key is ``identity(request)`` when it returns a value, else ``request.remote_addr`` (put
  ``werkzeug.middleware.proxy_fix.ProxyFix`` in front behind a proxy).
- A refused request is answered 429 with the JSON body of the WSGI middleware (or what
  ``on_limited(decision)`` returns), with Retry-After; every checked response carries the
  RateLimit headers. ``g.tolm`` holds the decision.
- An exception raised by ``identity`` reaches Flask's error handling like one from the view.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple

from flask import Flask, Response, current_app, g, request

from ._common import REFUSED_STATUS, Core, refusal_body
from ._integration import as_limiter
from ._settings import suggesting
from ._limiter import Limiter as _Limiter

__all__ = ["Limiter"]

_LIMITS = "_tolm_limits"
_EXEMPT = "_tolm_exempt"
_OWNER = "tolm.flask.Limiter"


class Limiter:
    """The extension. Every option is checked here, not on the first request.

    default: the limit of every view without ``@limit`` or ``@exempt``: a limiter built by
        ``tolm.limiter(...)``, a dict of its settings, or None for none.
    identity: optional ``f(request) -> str | None``, called inside the request context.
    headers, legacy_headers, ipv6_subnet, nat64_prefixes: as in ``tolm.wsgi.TolmMiddleware``.
    on_limited: optional ``f(decision) -> response`` for refused requests (any value a view
        may return); the rate-limit headers and Retry-After are added to it.
    """

    @suggesting("tolm.flask.Limiter", "option")
    def __init__(self, app: Optional[Flask] = None, *, default: object = None,
                 identity: Optional[Callable[[Any], Optional[str]]] = None,
                 headers: bool = True, legacy_headers: bool = False,
                 ipv6_subnet: Any = 56, nat64_prefixes: Any = None,
                 on_limited: Optional[Callable[[Dict[str, Any]], Any]] = None) -> None:
        if on_limited is not None and not callable(on_limited):
            raise TypeError(f"{_OWNER}: on_limited must be a callable (decision) -> response "
                            f"or None; got {on_limited!r}")
        self._options = (identity, headers, legacy_headers, ipv6_subnet, nat64_prefixes)
        self._on_limited = on_limited
        self._cores: Dict[int, Core] = {}
        self._default = None if default is None else self._core(as_limiter(_OWNER, default))
        if app is not None:
            self.init_app(app)

    def _core(self, engine: _Limiter) -> Core:
        """One Core per limiter: views that share a limiter share its checked options."""
        core = self._cores.get(id(engine))
        if core is None:
            identity, headers, legacy, subnet, nat64 = self._options
            core = Core(_OWNER, engine, identity, headers, legacy, subnet, None, None,
                        "request", nat64)
            self._cores[id(engine)] = core
        return core

    def init_app(self, app: Flask) -> None:
        app.extensions["tolm"] = self
        app.before_request(self._before)
        app.after_request(self._after)

    def limit(self, *limits: object) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
        """Holds the view to `limits` (each a limiter, a settings dict or a rate text) instead of
        the default; a request must be admitted by every one of them."""
        if not limits:
            raise TypeError(f"{_OWNER}.limit: give at least one limit")
        cores = [self._core(as_limiter(f"{_OWNER}.limit", each)) for each in limits]

        def decorate(view: Callable[..., Any]) -> Callable[..., Any]:
            setattr(view, _LIMITS, getattr(view, _LIMITS, []) + cores)
            return view
        return decorate

    def exempt(self, view: Callable[..., Any]) -> Callable[..., Any]:
        """Never checks the view."""
        setattr(view, _EXEMPT, True)
        return view

    def _cores_for(self) -> List[Core]:
        view = current_app.view_functions.get(request.endpoint) if request.endpoint else None
        if view is not None:
            if getattr(view, _EXEMPT, False):
                return []
            own: Optional[List[Core]] = getattr(view, _LIMITS, None)
            if own:
                return own
        return [self._default] if self._default is not None else []

    def _before(self) -> Any:
        fields: List[Tuple[str, str]] = []
        route = request.script_root + request.path
        for core in self._cores_for():
            decision, fields, retry = core.decide(request, request.remote_addr, route or "/")
            g.tolm = decision
            if not decision["allowed"]:
                g.tolm_fields = fields
                if self._on_limited is not None:
                    return self._on_limited(decision)
                return Response(refusal_body(decision), REFUSED_STATUS,
                                content_type="application/json")
        g.tolm_fields = fields
        return None

    def _after(self, response: Response) -> Response:
        fields = g.pop("tolm_fields", None)
        if fields:
            for name, value in fields:
                response.headers[name] = value
        return response
