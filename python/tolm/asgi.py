"""ASGI middleware: every HTTP request is checked by a tolm limiter before the application runs.

    from tolm import limiter
    from tolm.asgi import TolmMiddleware

    app = TolmMiddleware(app, limiter(capacity=20, refill_rate=5))

- The key is the identity that ``identity(scope)`` returns (in a namespace of its own), else
  the client host of ``scope["client"]`` (an IPv6 client by its /56 network), else
  ``tolm.UNKNOWN_KEY``.
- A refused request gets ``429 Too Many Requests`` with a short JSON body (or whatever the
  ``on_limited`` application answers) and never reaches the application.
- Every checked response carries the ``RateLimit-Policy`` and ``RateLimit`` headers
  (``headers=False`` turns them off; ``legacy_headers=True`` adds ``X-RateLimit-*``), and a
  refusal carries ``Retry-After``.
- Every request that goes through carries the engine's result in
  ``scope["state"]["tolm_decision"]`` (``request.state.tolm_decision`` in Starlette and
  FastAPI); in shadow mode that is how the application learns that a request would have been
  refused.
- Only ``http`` scopes are limited; ``websocket`` and ``lifespan`` pass through unchecked.
"""

from __future__ import annotations

from typing import (Any, Awaitable, Callable, Dict, List, MutableMapping, Optional, Sequence,
                    Tuple, Union)

from ._common import REFUSED_STATUS, Core, Engine, refusal_body, text
from ._limiter import Limiter
from ._settings import suggesting

__all__ = ["TolmMiddleware", "STATE_KEY", "RETRY_AFTER_KEY"]

#: The name under ``scope["state"]`` that holds the engine's result.
STATE_KEY = "tolm_decision"
#: The name under ``scope["state"]`` of a refused request's Retry-After seconds (None:
#: never), for ``on_limited``.
RETRY_AFTER_KEY = "tolm_retry_after"

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]


def _client_host(scope: Scope) -> object:
    client = scope.get("client")
    # The ASGI scope gives (host, port) or None; a Unix socket server may give only a path.
    if isinstance(client, (tuple, list)) and client:
        return client[0]
    return client


def _adding(send: Send, fields: List[Tuple[bytes, bytes]]) -> Send:
    async def sending(message: Message) -> None:
        if message.get("type") == "http.response.start":
            message = dict(message)
            message["headers"] = [*message.get("headers", ()), *fields]
        await send(message)
    return sending


class TolmMiddleware:
    """Wraps an ASGI application. Every option is checked here, not on the first request.

    engine: built by ``tolm.limiter()``. Any object with NativeEngine's ``check`` is accepted
        only with ``headers=False, legacy_headers=False``, since the headers need the
        settings.
    identity: optional ``f(scope) -> str | None``; a value is the client's key, None falls
        back to the client address. Header names and values in ``scope["headers"]`` are
        bytes. Return only identities the application has verified.
    headers, legacy_headers, ipv6_subnet, skip, nat64_prefixes: as in
        ``tolm.wsgi.TolmMiddleware``.
    on_limited: an ASGI application that answers refused requests instead of the JSON 429;
        the rate-limit headers and Retry-After are added to its answer, and
        ``scope["state"]["tolm_retry_after"]`` holds the Retry-After seconds (None: never).
    """

    @suggesting("tolm.asgi.TolmMiddleware", "option")
    def __init__(self, app: ASGIApp, engine: Union[Engine, Limiter],
                 identity: Optional[Callable[[Scope], Optional[str]]] = None, *,
                 headers: bool = True, legacy_headers: bool = False,
                 ipv6_subnet: Union[int, bool] = 56, on_limited: Optional[ASGIApp] = None,
                 skip: Optional[Callable[[Scope], bool]] = None,
                 nat64_prefixes: Union[str, Sequence[str], None] = None) -> None:
        self.app = app
        self.engine = engine
        self._core = Core("tolm.asgi.TolmMiddleware", engine, identity, headers,
                          legacy_headers, ipv6_subnet, on_limited, skip, "scope",
                          nat64_prefixes)
        # Header fields repeat from request to request: each is encoded once.
        self._encoded: Dict[Tuple[str, str], Tuple[bytes, bytes]] = {}

    def _encode(self, fields: List[Tuple[str, str]]) -> List[Tuple[bytes, bytes]]:
        out = []
        cache = self._encoded
        for field in fields:
            encoded = cache.get(field)
            if encoded is None:
                if len(cache) >= 4096:
                    cache.clear()
                encoded = cache[field] = (field[0].lower().encode("latin-1"),
                                          field[1].encode("latin-1"))
            out.append(encoded)
        return out

    @property
    def identity(self) -> Optional[Callable[[Scope], object]]:
        return self._core.identity

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        core = self._core
        if scope.get("type") != "http" or (core.skip is not None and core.skipped(scope)):
            await self.app(scope, receive, send)
            return
        route = text(scope.get("path") or "/")
        if core.adecide_numbers is None:
            result, fields, retry = core.decide(scope, _client_host(scope), route)
        else:
            result, fields, retry = await core.adecide(scope, _client_host(scope), route)
        # A copy: servers may hand every request the same lifespan state mapping.
        state = dict(scope.get("state") or {})
        state[STATE_KEY] = result
        scope["state"] = state
        encoded = self._encode(fields) if fields else []
        if not result["allowed"]:
            if core.on_limited is not None:
                state[RETRY_AFTER_KEY] = retry
                await core.on_limited(scope, receive, _adding(send, encoded))
                return
            body = refusal_body(result)
            await send({"type": "http.response.start", "status": REFUSED_STATUS,
                        "headers": [(b"content-type", b"application/json"),
                                    (b"content-length", str(len(body)).encode("ascii")),
                                    *encoded]})
            await send({"type": "http.response.body", "body": body})
            return
        await self.app(scope, receive, _adding(send, encoded) if encoded else send)
