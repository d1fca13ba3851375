"""ASGI middleware: every HTTP request is checked by a tolm engine before the application runs.

    from tolm import limiter
    from tolm.asgi import TolmMiddleware

    app = TolmMiddleware(app, limiter(capacity=20, refill_rate=5))

- The key is the identity that ``identity(scope)`` returns, else the client host of
  ``scope["client"]``, else ``tolm.UNKNOWN_KEY``.
- A refused request gets ``429 Too Many Requests`` with a short JSON body and never reaches
  the application.
- Every request that goes through carries the engine's result in
  ``scope["state"]["tolm_decision"]`` (``request.state.tolm_decision`` in Starlette and
  FastAPI); in shadow mode that is how the application learns that a request would have been
  refused.
- Only ``http`` scopes are limited; ``websocket`` and ``lifespan`` pass through unchecked.
"""

from typing import Any, Awaitable, Callable, MutableMapping, Optional

from ._common import REFUSED_STATUS, Engine, address_key, identity_key, refusal_body, text

__all__ = ["TolmMiddleware", "STATE_KEY"]

#: The name under ``scope["state"]`` that holds the engine's result.
STATE_KEY = "tolm_decision"

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]


def _client_host(scope: Scope) -> object:
    client = scope.get("client")
    # The ASGI scope gives (host, port) or None; a Unix socket server may give only a path.
    if isinstance(client, (tuple, list)) and client:
        return client[0]
    return client


class TolmMiddleware:
    """Wraps an ASGI application.

    engine: a ``tolm_native.NativeEngine`` (``tolm.limiter()`` builds one).
    identity: optional ``f(scope) -> str | None``; a str is the client's key, None falls back
        to the client address. Header names and values in ``scope["headers"]`` are bytes.
    """

    def __init__(self, app: ASGIApp, engine: Engine,
                 identity: Optional[Callable[[Scope], Optional[str]]] = None) -> None:
        self.app = app
        self.engine = engine
        self.identity = identity

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope.get("type") != "http":
            await self.app(scope, receive, send)
            return
        identity = identity_key(self.identity(scope)) if self.identity else None
        route = text(scope.get("path") or "/")
        result = self.engine.check(address_key(_client_host(scope)), route, identity)
        # A copy: servers may hand every request the same lifespan state mapping.
        state = dict(scope.get("state") or {})
        state[STATE_KEY] = result
        scope["state"] = state
        if not result["allowed"]:
            body = refusal_body(result)
            await send({"type": "http.response.start", "status": REFUSED_STATUS,
                        "headers": [(b"content-type", b"application/json"),
                                    (b"content-length", str(len(body)).encode("ascii"))]})
            await send({"type": "http.response.body", "body": body})
            return
        await self.app(scope, receive, send)
