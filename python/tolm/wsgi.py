"""WSGI middleware: every request is checked by a tolm engine before the application runs.

    from tolm import limiter
    from tolm.wsgi import TolmMiddleware

    app.wsgi_app = TolmMiddleware(app.wsgi_app, limiter(capacity=20, refill_rate=5))  # Flask

- The key is the identity that ``identity(environ)`` returns, else ``REMOTE_ADDR``, else
  ``tolm.UNKNOWN_KEY``.
- A refused request gets ``429 Too Many Requests`` with a short JSON body and never reaches
  the application.
- Every checked request carries the engine's result in
  ``environ["tolm.decision"]``; in shadow mode that is how the application learns that a
  request would have been refused (``environ["tolm.decision"]["would_block"]``).
"""

from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

from ._common import REFUSED_STATUS, Engine, address_key, identity_key, refusal_body, text

__all__ = ["TolmMiddleware", "ENVIRON_KEY"]

#: Where the engine's result is put in the WSGI environment.
ENVIRON_KEY = "tolm.decision"

Environ = Dict[str, Any]
StartResponse = Callable[..., Any]
WSGIApp = Callable[[Environ, StartResponse], Iterable[bytes]]


class TolmMiddleware:
    """Wraps a WSGI application.

    engine: a ``tolm_native.NativeEngine`` (``tolm.limiter()`` builds one).
    identity: optional ``f(environ) -> str | None``; a str is the client's key (requests
        with the same identity share one allowance, whatever their address), None falls
        back to the client address.
    """

    def __init__(self, app: WSGIApp, engine: Engine,
                 identity: Optional[Callable[[Environ], Optional[str]]] = None) -> None:
        self.app = app
        self.engine = engine
        self.identity = identity

    def __call__(self, environ: Environ, start_response: StartResponse) -> Iterable[bytes]:
        identity = identity_key(self.identity(environ)) if self.identity else None
        route = text(environ.get("SCRIPT_NAME", "")) + text(environ.get("PATH_INFO", ""))
        result = self.engine.check(address_key(environ.get("REMOTE_ADDR")), route or "/",
                                   identity)
        environ[ENVIRON_KEY] = result
        if not result["allowed"]:
            body = refusal_body(result)
            headers: List[Tuple[str, str]] = [("Content-Type", "application/json"),
                                              ("Content-Length", str(len(body)))]
            start_response(f"{REFUSED_STATUS} Too Many Requests", headers)
            return [body]
        return self.app(environ, start_response)
