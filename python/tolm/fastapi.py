"""FastAPI: a dependency that limits the routes it is given to, and the app-wide ASGI
middleware.

    from fastapi import Depends, FastAPI
    import tolm
    from tolm.fastapi import RateLimit

    login_limit = RateLimit(tolm.limiter(capacity=5, refill_rate=5 / 60), identity=current_user_id)

    @app.post("/login", dependencies=[Depends(login_limit)])
    async def login(): ...

- ``identity`` is itself a dependency (anything ``Depends`` takes): FastAPI resolves it, with
  its own dependencies, and its answer is the key; None keys by ``request.client.host``.
  An exception it raises (an HTTPException 401, say) is answered as FastAPI answers it, and
  nothing is counted.
- A refused request raises ``RateLimited``, an HTTPException 429 whose detail is the decision
  (the ``reason``, ``algorithm`` and ``remaining`` of the middleware's body) with the
  rate-limit headers and Retry-After; an admitted one gets the headers on the response
  FastAPI builds from the route's return value (a route that returns a Response of its own
  should copy them from ``request.state.tolm_headers``). ``request.state.tolm_decision``
  holds the decision.
- Every route with the dependency shares one allowance per client; give each route a
  RateLimit of its own for separate ones.
"""

from __future__ import annotations

import inspect
from typing import Any, Callable, Dict, List, Optional, Tuple

from fastapi import Depends, HTTPException, Request, Response

from ._common import REFUSED_STATUS, Core
from ._integration import as_limiter
from ._settings import suggesting
from .asgi import TolmMiddleware

__all__ = ["RateLimit", "RateLimited", "TolmMiddleware"]

_OWNER = "tolm.fastapi.RateLimit"


class RateLimited(HTTPException):
    """A request refused by a RateLimit: status 429, ``detail`` the decision's refusal body."""

    def __init__(self, decision: Dict[str, Any], fields: List[Tuple[str, str]]) -> None:
        super().__init__(REFUSED_STATUS, detail={
            "error": "too_many_requests", "reason": decision["reason"],
            "algorithm": decision["algorithm"], "remaining": decision["remaining"]},
            headers=dict(fields))
        self.decision = decision


def _chosen(carried: Tuple[Request, object]) -> object:
    return carried[1]


class RateLimit:
    """A dependency: ``Depends(RateLimit(limit, identity=...))``. Every option is checked here.

    limit: a limiter built by ``tolm.limiter(...)``, a dict of its settings, or a rate text.
    identity: optional dependency whose answer (str, int or None) is the client's key.
    headers, legacy_headers, ipv6_subnet, nat64_prefixes: as in ``tolm.asgi.TolmMiddleware``.
    """

    @suggesting("tolm.fastapi.RateLimit", "option")
    def __init__(self, limit: object, identity: Optional[Callable[..., Any]] = None, *,
                 headers: bool = True, legacy_headers: bool = False, ipv6_subnet: Any = 56,
                 nat64_prefixes: Any = None) -> None:
        if identity is not None and not callable(identity):
            raise TypeError(f"{_OWNER}: identity must be a dependency (a callable FastAPI "
                            f"can resolve) or None; got {identity!r}")
        self.limiter = as_limiter(_OWNER, limit)
        self._core = Core(_OWNER, self.limiter, _chosen, headers, legacy_headers, ipv6_subnet,
                          None, None, "request", nat64_prefixes)
        parameters = [
            inspect.Parameter("request", inspect.Parameter.POSITIONAL_OR_KEYWORD,
                              annotation=Request),
            inspect.Parameter("response", inspect.Parameter.POSITIONAL_OR_KEYWORD,
                              annotation=Response)]
        if identity is not None:
            # FastAPI reads what to resolve from the signature: the identity is one more
            # dependency, resolved with its own.
            parameters.append(inspect.Parameter("chosen", inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                                annotation=Any, default=Depends(identity)))
        self.__signature__ = inspect.Signature(parameters)

    async def __call__(self, request: Request, response: Response, chosen: Any = None) -> None:
        client = request.client
        decision, fields, _ = self._core.decide((request, chosen), client.host if client else None,
                                                request.url.path or "/")
        request.state.tolm_decision = decision
        request.state.tolm_headers = fields
        if not decision["allowed"]:
            raise RateLimited(decision, fields)
        for name, value in fields:
            response.headers[name] = value
