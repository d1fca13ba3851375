"""What the WSGI and ASGI middleware share: their checked options, the decision with its
headers, and the refusal body."""

from __future__ import annotations

import inspect
import json
from typing import Any, Callable, Dict, List, Optional, Protocol, Tuple

from ._keys import UNKNOWN_KEY, Subnet, address_key, identity_key, nat64_networks, text
from ._limiter import Header, Limiter, Policy, limiter

__all__ = ["UNKNOWN_KEY", "REFUSED_STATUS", "Engine", "Core", "text", "refusal_body"]

REFUSED_STATUS = 429


class Engine(Protocol):
    """Anything with the ``check`` method of ``tolm_native.NativeEngine``."""

    def check(self, ip: str, route: str, identity: Optional[str] = None) -> Any: ...


def _flag(owner: str, name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{owner}: {name} must be True or False; got {value!r}")
    return value


def _is_async(value: object) -> bool:
    return inspect.iscoroutinefunction(value) or inspect.iscoroutinefunction(
        getattr(value, "__call__", None))


def _hook(owner: str, name: str, value: object, shape: str) -> Any:
    """A hook the middleware calls and uses the answer of at once: a plain callable, never an
    ``async def``, whose coroutine would be taken for the answer itself (a true skip, a key
    that changes with every request)."""
    if value is not None and not callable(value):
        raise TypeError(f"{owner}: {name} must be a callable {shape} or None; got {value!r}")
    if value is not None and _is_async(value):
        raise TypeError(f"{owner}: {name} must be a plain function {shape}, not an async "
                        f"function: the middleware does not await it; got {value!r}")
    return value


def _application(owner: str, name: str, value: object, asgi: bool) -> Any:
    if value is None:
        return None
    shape = "an ASGI application, async (scope, receive, send)" if asgi \
        else "a WSGI application (environ, start_response)"
    if not callable(value) or _is_async(value) != asgi:
        raise TypeError(f"{owner}: {name} must be {shape}, or None; got {value!r}")
    return value


def _refuse_unkeyable(owner: str, identity: object) -> None:
    """Raises TypeError for an identity whose text cannot key a client: an awaitable, or an
    object with the default text, which names its address and so changes from one object to
    the next."""
    _refuse_awaitable(owner, "identity", identity)
    kind = type(identity)
    if kind.__str__ is object.__str__ and kind.__repr__ is object.__repr__:
        raise TypeError(f"{owner}: identity returned a {kind.__name__} object, whose text "
                        f"changes from object to object; return a str or int identifying the "
                        f"client (or None to key by address)")


def _refuse_awaitable(owner: str, name: str, answer: object) -> None:
    if inspect.isawaitable(answer):
        close = getattr(answer, "close", None)
        if callable(close):
            close()  # no "never awaited" warning on top of this error
        raise TypeError(f"{owner}: {name} returned {type(answer).__name__}, an awaitable; it "
                        f"must be a plain function, as the middleware does not await it")


def _subnet(owner: str, value: object) -> Subnet:
    if value is False:
        return False
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= 128:
        raise ValueError(f"{owner}: ipv6_subnet must be a prefix length from 1 to 128, or "
                         f"False to key IPv6 clients by full address; got {value!r}")
    return value


def _engine(owner: str, engine: object, needs_settings: bool) -> Tuple[Callable[..., Any],
                                                                        Optional[Policy]]:
    if engine is limiter:
        raise TypeError(f"{owner}: engine is the function tolm.limiter itself; call it: "
                        f"tolm.limiter(capacity=..., refill_rate=...)")
    if isinstance(engine, type):
        raise TypeError(f"{owner}: engine is the class {engine.__name__}, not an instance; "
                        f"build one with tolm.limiter(...)")
    if isinstance(engine, Limiter):
        return engine.engine.check, engine.policy
    check = getattr(engine, "check", None)
    if not callable(check):
        raise TypeError(f"{owner}: engine must be built by tolm.limiter(...) (or have a "
                        f"check(ip, route, identity) method); got {engine!r}")
    if needs_settings:
        raise TypeError(f"{owner}: the rate-limit headers need the limiter's settings, which "
                        f"{type(engine).__name__} does not expose; build the engine with "
                        f"tolm.limiter(...), or pass headers=False, legacy_headers=False")
    return check, None


class Core:
    """One middleware's checked options and the per-request decision."""

    __slots__ = ("owner", "check", "policy", "standard", "legacy", "subnet", "identity", "skip",
                 "on_limited", "nat64")

    def __init__(self, owner: str, engine: object, identity: object, headers: object,
                 legacy_headers: object, ipv6_subnet: object, on_limited: object,
                 skip: object, source: str, nat64_prefixes: object = None) -> None:
        self.owner = owner
        self.standard = _flag(owner, "headers", headers)
        self.legacy = _flag(owner, "legacy_headers", legacy_headers)
        self.check, self.policy = _engine(owner, engine, self.standard or self.legacy)
        self.subnet = _subnet(owner, ipv6_subnet)
        self.nat64 = nat64_networks(owner, nat64_prefixes)
        self.identity: Optional[Callable[[Any], object]] = _hook(
            owner, "identity", identity, f"({source}) -> str | None")
        self.skip: Optional[Callable[[Any], object]] = _hook(
            owner, "skip", skip, f"({source}) -> bool")
        self.on_limited: Any = _application(owner, "on_limited", on_limited, source == "scope")

    def skipped(self, request: Any) -> bool:
        """Whether the skip hook (which must be set) lets `request` through unchecked."""
        assert self.skip is not None
        answer = self.skip(request)
        if answer is True or answer is False:
            return answer
        _refuse_awaitable(self.owner, "skip", answer)
        return bool(answer)

    def decide(self, request: Any, address: object,
               route: str) -> Tuple[Any, List[Header], Optional[int]]:
        """The engine's result, the headers to send with the answer, and (when refused) the
        Retry-After seconds or None."""
        chosen = self.identity(request) if self.identity is not None else None
        if chosen is not None and type(chosen) is not str:
            _refuse_unkeyable(self.owner, chosen)
        identity = None if chosen is None else identity_key(chosen)
        result = self.check(address_key(address, self.subnet, self.nat64), route, identity)
        policy = self.policy
        if policy is None:
            return result, [], None
        fields = policy.fields(result, self.legacy, self.standard) \
            if self.standard or self.legacy else []
        if result["allowed"]:
            return result, fields, None
        retry = policy.retry_after
        if retry is not None:
            fields.append(("Retry-After", str(retry)))
        return result, fields, retry


def refusal_body(result: Dict[str, Any]) -> bytes:
    """The JSON body of a 429 answer: what was refused and why, in the engine's words."""
    decision = result.get("decision") or {}
    body = {
        "error": "too_many_requests",
        "reason": result.get("reason"),
        "algorithm": decision.get("algorithm"),
        "remaining": decision.get("remaining"),
    }
    return json.dumps(body, separators=(",", ":")).encode("utf-8")
