"""What the WSGI and ASGI middleware share: their checked options, the decision with its
headers, and the refusal body."""

from __future__ import annotations

import inspect
import json
import time
from typing import Any, Callable, Dict, List, Optional, Protocol, Tuple

from ._headers import Header, Policy
from ._integration import warn_if_multi_worker
from ._keys import UNKNOWN_KEY, Subnet, address_key, identity_key, nat64_networks, text
from ._limiter import Limiter, limiter
from ._redis import RedisLimiter

__all__ = ["UNKNOWN_KEY", "REFUSED_STATUS", "Engine", "Core", "text", "refusal_body"]

REFUSED_STATUS = 429
_REASONS = ("within_limit", "limit_exceeded", "token_exhausted")
# (allowed, would_block, reason) by the lean entry's outcome: allowed is bit 0, would_block
# bit 1, and above them 0 for no reason (disabled mode) or 1 + the reason's code.
_OUTCOMES = tuple((code & 1 == 1, code & 2 == 2, (None, *_REASONS)[code >> 2])
                  for code in range(4 << 2))


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


def _decide_with_check(check: Callable[..., Any]) -> Callable[..., Any]:
    """The lean entry's answer from an engine-like object's ``check`` dict, for engines other
    than the native one (which a test or an application may wrap)."""
    def decide(ip: str, route: str, identity: Optional[str]) -> Tuple[Any, ...]:
        result = check(ip, route, identity)
        reason = result.get("reason")
        outcome = (1 if result["allowed"] else 0) | (2 if result["would_block"] else 0)
        if reason is not None:
            outcome |= (1 + _REASONS.index(reason)) << 2
        decision = result.get("decision") or {}
        return outcome, decision.get("remaining"), None, None
    return decide


def _engine(owner: str, engine: object, needs_settings: bool) -> Tuple[Callable[..., Any],
                                                                        Optional[Policy]]:
    if engine is limiter:
        raise TypeError(f"{owner}: engine is the function tolm.limiter itself; call it: "
                        f"tolm.limiter(capacity=..., refill_rate=...)")
    if isinstance(engine, type):
        raise TypeError(f"{owner}: engine is the class {engine.__name__}, not an instance; "
                        f"build one with tolm.limiter(...)")
    if isinstance(engine, Limiter):
        return engine.engine._decide, engine.policy
    if isinstance(engine, RedisLimiter):
        return engine._decide, engine.policy
    check = getattr(engine, "check", None)
    if not callable(check):
        raise TypeError(f"{owner}: engine must be built by tolm.limiter(...) (or have a "
                        f"check(ip, route, identity) method); got {engine!r}")
    if needs_settings:
        raise TypeError(f"{owner}: the rate-limit headers need the limiter's settings, which "
                        f"{type(engine).__name__} does not expose; build the engine with "
                        f"tolm.limiter(...), or pass headers=False, legacy_headers=False")
    decide = getattr(engine, "_decide", None)
    return (decide if callable(decide) else _decide_with_check(check)), None


class Core:
    """One middleware's checked options and the per-request decision."""

    __slots__ = ("owner", "decide_numbers", "policy", "algorithm", "standard", "legacy",
                 "subnet", "identity", "skip", "on_limited", "nat64", "adecide_numbers")

    def __init__(self, owner: str, engine: object, identity: object, headers: object,
                 legacy_headers: object, ipv6_subnet: object, on_limited: object,
                 skip: object, source: str, nat64_prefixes: object = None) -> None:
        self.owner = owner
        self.standard = _flag(owner, "headers", headers)
        self.legacy = _flag(owner, "legacy_headers", legacy_headers)
        self.decide_numbers, self.policy = _engine(owner, engine, self.standard or self.legacy)
        self.algorithm = engine.algorithm if isinstance(engine, (Limiter, RedisLimiter)) \
            else None
        # A limiter whose decision is a network round trip is awaited where the server is
        # async (see adecide).
        self.adecide_numbers = engine._adecide if isinstance(engine, RedisLimiter) else None
        if isinstance(engine, RedisLimiter) and not engine._serves(source == "scope"):
            raise TypeError(f"{owner}: the limiter's Redis client is "
                            f"{'synchronous' if source == 'scope' else 'an asyncio one'}; "
                            f"pass a {'redis.asyncio.Redis' if source == 'scope' else 'redis.Redis'}"
                            f" client or a redis:// URL to tolm.limiter(redis=...)")
        self.subnet = _subnet(owner, ipv6_subnet)
        self.nat64 = nat64_networks(owner, nat64_prefixes)
        self.identity: Optional[Callable[[Any], object]] = _hook(
            owner, "identity", identity, f"({source}) -> str | None")
        self.skip: Optional[Callable[[Any], object]] = _hook(
            owner, "skip", skip, f"({source}) -> bool")
        self.on_limited: Any = _application(owner, "on_limited", on_limited, source == "scope")
        warn_if_multi_worker(engine)

    def skipped(self, request: Any) -> bool:
        """Whether the skip hook (which must be set) lets `request` through unchecked."""
        assert self.skip is not None
        answer = self.skip(request)
        if answer is True or answer is False:
            return answer
        _refuse_awaitable(self.owner, "skip", answer)
        return bool(answer)

    def decide(self, request: Any, address: object,
               route: str) -> Tuple[Dict[str, Any], List[Header], Optional[int]]:
        """The decision the application sees, the headers to send with the answer, and (when
        refused) the Retry-After seconds or None."""
        key, identity = self._keys(request, address)
        return self._answer(self.decide_numbers(key, route, identity))

    async def adecide(self, request: Any, address: object,
                      route: str) -> Tuple[Dict[str, Any], List[Header], Optional[int]]:
        """As ``decide``, awaiting a limiter whose decision is a round trip (``adecide_numbers``
        set); any other limiter is asked at once."""
        key, identity = self._keys(request, address)
        if self.adecide_numbers is None:
            return self._answer(self.decide_numbers(key, route, identity))
        return self._answer(await self.adecide_numbers(key, route, identity))

    def _keys(self, request: Any, address: object) -> Tuple[str, Optional[str]]:
        chosen = self.identity(request) if self.identity is not None else None
        if chosen is not None and type(chosen) is not str:
            _refuse_unkeyable(self.owner, chosen)
        identity = None if chosen is None else identity_key(chosen)
        return address_key(address, self.subnet, self.nat64), identity

    def _answer(self, numbers: Tuple[Any, ...]
                ) -> Tuple[Dict[str, Any], List[Header], Optional[int]]:
        outcome, remaining, admit_ms, whole_ms = numbers
        allowed, would_block, reason = _OUTCOMES[outcome]
        decision = {"allowed": allowed, "would_block": would_block, "reason": reason,
                    "algorithm": self.algorithm, "remaining": remaining,
                    "admit_after_ms": admit_ms, "whole_after_ms": whole_ms}
        policy = self.policy
        # Disabled mode (no reason) evaluates nothing, so there is nothing to tell.
        if policy is None or reason is None:
            return decision, [], None
        legacy = self.legacy
        # X-RateLimit-Reset counts from a reading taken after the engine's.
        now_ms = int(time.time() * 1000) if legacy else 0
        fields = policy.headers(numbers, now_ms, self.standard, legacy)
        return decision, fields, None if allowed else policy.retry_after(admit_ms)


def refusal_body(decision: Dict[str, Any]) -> bytes:
    """The JSON body of a 429 answer: what was refused and why, in the engine's words."""
    body = {
        "error": "too_many_requests",
        "reason": decision["reason"],
        "algorithm": decision["algorithm"],
        "remaining": decision["remaining"],
    }
    return json.dumps(body, separators=(",", ":")).encode("utf-8")
