"""WSGI middleware: every request is checked by a tolm limiter before the application runs.

    from tolm import limiter
    from tolm.wsgi import TolmMiddleware

    app.wsgi_app = TolmMiddleware(app.wsgi_app, limiter(capacity=20, refill_rate=5))  # Flask

- The key is the identity that ``identity(environ)`` returns (in a namespace of its own),
  else the client address from ``REMOTE_ADDR`` (an IPv6 client by its /56 network), else
  ``tolm.UNKNOWN_KEY``.
- A refused request gets ``429 Too Many Requests`` with a short JSON body (or whatever the
  ``on_limited`` application answers) and never reaches the application.
- Every checked response carries the ``RateLimit-Policy`` and ``RateLimit`` headers
  (``headers=False`` turns them off; ``legacy_headers=True`` adds ``X-RateLimit-*``), and a
  refusal carries ``Retry-After``.
- Every checked request carries the engine's result in ``environ["tolm.decision"]``; in
  shadow mode that is how the application learns that a request would have been refused
  (``environ["tolm.decision"]["would_block"]``).
"""

from __future__ import annotations

from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from ._common import REFUSED_STATUS, Core, Engine, merged, refund_stacked, refusal_body, text
from ._limiter import Limiter
from ._multi import Limits
from ._settings import suggesting

__all__ = ["TolmMiddleware", "ENVIRON_KEY", "RETRY_AFTER_KEY", "NUMBERS_KEY"]

#: Where the engine's result is put in the WSGI environment.
ENVIRON_KEY = "tolm.decision"
#: Where a refused request's Retry-After seconds (None: never) are put for ``on_limited``.
RETRY_AFTER_KEY = "tolm.retry_after"
#: The request's numbers: limit, used, remaining, reset_time (of the tightest limit seen).
NUMBERS_KEY = "tolm.rate_limit"
# What the limiters in front have taken for this request: given back if one behind refuses.
_ADMITTED_KEY = "tolm.admitted"
# How many limiters' middleware add their fields to this request's answer.
_FIELDS_KEY = "tolm.fields"

Environ = Dict[str, Any]
StartResponse = Callable[..., Any]
WSGIApp = Callable[[Environ, StartResponse], Iterable[bytes]]


def _adding(start_response: StartResponse, fields: List[Tuple[str, str]],
            environ: Environ) -> StartResponse:
    environ[_FIELDS_KEY] = environ.get(_FIELDS_KEY, 0) + 1

    def start(status: str, headers: List[Tuple[str, str]], *exc_info: Any) -> Any:
        if environ[_FIELDS_KEY] > 1:
            # Another limiter's middleware may have added its fields already: one line each.
            return start_response(status, merged(headers, fields, front=True), *exc_info)
        return start_response(status, headers + fields, *exc_info)
    return start


def _status(status: str) -> Optional[int]:
    code = status[:3]
    return int(code) if code.isdigit() else None


def _settling(app: WSGIApp, core: Core, result: Dict[str, Any], environ: Environ,
              start_response: StartResponse) -> Iterable[bytes]:
    """Runs `app`, then gives the request's units back if its status is not counted."""
    seen: List[Optional[int]] = []

    def start(status: str, headers: List[Tuple[str, str]], *exc_info: Any) -> Any:
        seen[:] = [_status(status)]
        return start_response(status, headers, *exc_info)
    try:
        answer = app(environ, start)
    except BaseException:
        core.settle(result, None)
        raise
    # The status is known once the application has started the answer (at the latest when
    # its first chunk is produced); settle here, or when it never did, as failed.
    if seen:
        core.settle(result, seen[0])
        return answer
    return _settle_on_first(answer, core, result, seen)


def _settle_on_first(answer: Iterable[bytes], core: Core, result: Dict[str, Any],
                     seen: List[Optional[int]]) -> Iterable[bytes]:
    settled = False
    try:
        for chunk in answer:
            # An application may yield empty chunks before it starts its answer.
            if not settled and (seen or chunk):
                settled = True
                core.settle(result, seen[0] if seen else None)
            yield chunk
    except BaseException:
        if not settled:
            settled = True
            core.settle(result, None)
        raise
    finally:
        if not settled:
            core.settle(result, seen[0] if seen else None)
        close = getattr(answer, "close", None)
        if close is not None:
            close()


class TolmMiddleware:
    """Wraps a WSGI application. Every option is checked here, not on the first request.

    engine: built by ``tolm.limiter()``. Any object with NativeEngine's ``check`` is accepted
        only with ``headers=False, legacy_headers=False``, since the headers need the
        settings.
    identity: optional ``f(environ) -> str | None``; a value is the client's key (requests
        with the same identity share one allowance, whatever their address), None falls
        back to the client address. Return only identities the application has verified.
    headers: send ``RateLimit-Policy`` and ``RateLimit`` (IETF draft) on every checked
        response.
    legacy_headers: send ``X-RateLimit-Limit``, ``-Remaining`` and ``-Reset``.
    ipv6_subnet: prefix length by which IPv6 clients are keyed, or False for full addresses.
    nat64_prefixes: the local NAT64 prefixes (CIDR strs such as ``"2001:db8:64::/96"``) whose
        clients are keyed by the IPv4 address inside; ``64:ff9b::/96`` always is.
    on_limited: a WSGI application that answers refused requests instead of the JSON 429;
        the rate-limit headers and Retry-After are added to its answer, and
        ``environ["tolm.retry_after"]`` holds the Retry-After seconds (None: never).
    skip: optional ``f(environ) -> bool``; a true result lets the request through unchecked.
    """

    @suggesting("tolm.wsgi.TolmMiddleware", "option")
    def __init__(self, app: WSGIApp, engine: Union[Engine, Limiter, Limits],
                 identity: Optional[Callable[[Environ], Optional[str]]] = None, *,
                 headers: bool = True, legacy_headers: bool = False, ipv6_subnet: Union[int, bool] = 56,
                 on_limited: Optional[WSGIApp] = None,
                 skip: Optional[Callable[[Environ], bool]] = None,
                 nat64_prefixes: Union[str, Sequence[str], None] = None,
                 cost: Optional[Callable[[Environ], float]] = None,
                 skip_successful: bool = False, skip_failed: bool = False) -> None:
        self.app = app
        self.engine = engine
        self._core = Core("tolm.wsgi.TolmMiddleware", engine, identity, headers,
                          legacy_headers, ipv6_subnet, on_limited, skip, "environ",
                          nat64_prefixes, cost=cost, skip_successful=skip_successful,
                          skip_failed=skip_failed)

    @property
    def identity(self) -> Optional[Callable[[Environ], object]]:
        return self._core.identity

    def __call__(self, environ: Environ, start_response: StartResponse) -> Iterable[bytes]:
        core = self._core
        if core.skip is not None and core.skipped(environ):
            return self.app(environ, start_response)
        route = text(environ.get("SCRIPT_NAME", "")) + text(environ.get("PATH_INFO", ""))
        result, fields, retry = core.decide(environ, environ.get("REMOTE_ADDR"), route or "/")
        environ[ENVIRON_KEY] = result
        numbers = core.numbers(result)
        if numbers is not None:
            known = environ.get(NUMBERS_KEY)
            # A limiter in front may have put tighter numbers there already.
            if known is None or numbers.remaining < known["remaining"]:
                environ[NUMBERS_KEY] = numbers
        admitted = environ.get(_ADMITTED_KEY)
        if not result["allowed"]:
            if admitted:
                refund_stacked(admitted)
            if core.on_limited is not None:
                environ[RETRY_AFTER_KEY] = retry
                answer: Iterable[bytes] = core.on_limited(environ,
                                                          _adding(start_response, fields,
                                                                  environ))
                return answer
            body = refusal_body(result)
            refused: List[Tuple[str, str]] = [("Content-Type", "application/json"),
                                              ("Content-Length", str(len(body)))]
            if fields:  # for the middleware further out, which meet theirs with these
                environ[_FIELDS_KEY] = environ.get(_FIELDS_KEY, 0) + 1
            start_response(f"{REFUSED_STATUS} Too Many Requests", refused + fields)
            return [body]
        if fields:
            start_response = _adding(start_response, fields, environ)
        if core.refunds and result["reason"] is not None and not result["would_block"]:
            if admitted is None:
                environ[_ADMITTED_KEY] = [(core, result)]
            else:
                admitted.append((core, result))
        if core.counts_by_status and core.settles(result):
            return _settling(self.app, core, result, environ, start_response)
        return self.app(environ, start_response)
