"""What the WSGI and ASGI middleware share: their checked options, the decision with its
headers, and the refusal body."""

from __future__ import annotations

import inspect
import json
import time
from datetime import datetime, timezone
from typing import Any, Callable, Dict, List, Optional, Protocol, Tuple

from ._headers import Header, Policy, merged
from ._integration import warn_if_multi_worker
from ._keys import UNKNOWN_KEY, Subnet, address_key, identity_key, nat64_networks, text
from ._limiter import Limiter, checked_cost, decision_of, hidden, limiter
from ._multi import Limits, combined, took_units
from ._redis import RedisLimiter

__all__ = ["UNKNOWN_KEY", "REFUSED_STATUS", "Engine", "Core", "text", "refusal_body",
           "merged", "refund_stacked"]

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
    if isinstance(engine, Limits):
        return engine.check_all, None
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
                 "subnet", "identity", "skip", "on_limited", "nat64", "adecide_numbers",
                 "limiter", "limits", "cost", "skip_successful", "skip_failed", "refunds",
                 "counts_by_status")

    def __init__(self, owner: str, engine: object, identity: object, headers: object,
                 legacy_headers: object, ipv6_subnet: object, on_limited: object,
                 skip: object, source: str, nat64_prefixes: object = None, *,
                 cost: object = None, skip_successful: object = False,
                 skip_failed: object = False) -> None:
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
        # The limiter(s) whose units a request takes, for giving them back.
        self.limiter: Optional[Limiter] = engine if isinstance(engine, Limiter) else None
        self.limits: Optional[Limits] = engine if isinstance(engine, Limits) else None
        self.cost: Optional[Callable[[Any], object]] = _hook(
            owner, "cost", cost, f"({source}) -> number > 0")
        self.skip_successful = _flag(owner, "skip_successful", skip_successful)
        self.skip_failed = _flag(owner, "skip_failed", skip_failed)
        self.counts_by_status = self.skip_successful or self.skip_failed
        if (self.cost is not None or self.skip_successful or self.skip_failed) \
                and self.limiter is None and self.limits is None:
            raise TypeError(f"{owner}: cost, skip_successful and skip_failed need a limiter "
                            f"built by tolm.limiter(...) or tolm.limits(...); got {engine!r}")
        refunds = self.skip_successful or self.skip_failed or self.limits is not None
        engines = self.limits.limiters if self.limits is not None \
            else (self.limiter,) if self.limiter is not None else ()
        if refunds and not all(hasattr(one.engine, "_adjust") for one in engines):
            raise TypeError(f"{owner}: this build of tolm_native cannot give units back "
                            f"(no NativeEngine._adjust), which several limits, "
                            f"skip_successful and skip_failed need; rebuild the library")
        # Whether this middleware's limiters can give back what a refusal behind it spent.
        self.refunds = bool(engines) and all(hasattr(one.engine, "_adjust") for one in engines)
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
        if self.cost is not None or self.limits is not None:
            return self._decide_costed(request, key, route, identity)
        return self._answer(self.decide_numbers(key, route, identity),
                            key if identity is None else identity)

    async def adecide(self, request: Any, address: object,
                      route: str) -> Tuple[Dict[str, Any], List[Header], Optional[int]]:
        """As ``decide``, awaiting a limiter whose decision is a round trip (``adecide_numbers``
        set); any other limiter is asked at once."""
        key, identity = self._keys(request, address)
        if self.cost is not None or self.limits is not None:
            return self._decide_costed(request, key, route, identity)
        engine_key = key if identity is None else identity
        if self.adecide_numbers is None:
            return self._answer(self.decide_numbers(key, route, identity), engine_key)
        return self._answer(await self.adecide_numbers(key, route, identity), engine_key)

    def _keys(self, request: Any, address: object) -> Tuple[str, Optional[str]]:
        chosen = self.identity(request) if self.identity is not None else None
        if chosen is not None and type(chosen) is not str:
            _refuse_unkeyable(self.owner, chosen)
        identity = None if chosen is None else identity_key(chosen)
        return address_key(address, self.subnet, self.nat64), identity

    def _answer(self, numbers: Tuple[Any, ...], key: str
                ) -> Tuple[Dict[str, Any], List[Header], Optional[int]]:
        outcome, remaining, admit_ms, whole_ms = numbers
        allowed, would_block, reason = _OUTCOMES[outcome]
        decision = {"allowed": allowed, "would_block": would_block, "reason": reason,
                    "algorithm": self.algorithm, "remaining": remaining,
                    "admit_after_ms": admit_ms, "whole_after_ms": whole_ms,
                    "key": key, "cost": 1}
        policy = self.policy
        # Disabled mode (no reason) evaluates nothing, so there is nothing to tell.
        if policy is None or reason is None:
            return decision, [], None
        legacy = self.legacy
        # X-RateLimit-Reset counts from a reading taken after the engine's.
        now_ms = int(time.time() * 1000) if legacy else 0
        fields = policy.headers(numbers, now_ms, self.standard, legacy)
        return decision, fields, None if allowed else policy.retry_after(admit_ms)

    def _decide_costed(self, request: Any, ip: str, route: str, identity: Optional[str]
                       ) -> Tuple[Dict[str, Any], List[Header], Optional[int]]:
        """`decide` with a cost hook or several limits."""
        cost: float = 1
        if self.cost is not None:
            answer = self.cost(request)
            _refuse_awaitable(self.owner, "cost", answer)
            if not (answer == 1 and type(answer) in (int, float)):
                cost = checked_cost(self.owner, answer, "the cost hook's answer")
        key = ip if identity is None else identity
        limiters: Tuple[Limiter, ...]
        if self.limits is not None:
            limiters = self.limits.limiters
            results = self.limits.check_all(ip, identity, route, cost)
        else:
            assert self.limiter is not None
            limiters = (self.limiter,)
            engine = hidden(self.limiter.engine)
            results = [engine._decide(ip, route, identity) if cost == 1
                       else engine._decide(ip, route, identity, cost)]
        each = [decision_of(numbers, one.algorithm, key, cost)
                for one, numbers in zip(limiters, results)]
        decision = each[0] if len(each) == 1 else combined(results, each, key, cost)
        if len(each) > 1:
            decision["limits"] = each
        if decision["reason"] is None or not (self.standard or self.legacy
                                              or not decision["allowed"]):
            return decision, [], None
        now_ms = int(time.time() * 1000) if self.legacy else 0
        fields: List[Header] = []
        retry: Optional[int] = None
        for one, numbers in zip(limiters, results):
            if numbers[0] < 4:  # disabled mode: nothing to tell
                continue
            policy = one.policy
            # A limit that admitted a refused request tells its state once its units are
            # back, without Retry-After.
            own = numbers
            if not decision["allowed"] and numbers[0] & 1:
                left = numbers[1]
                if took_units(numbers[0]) and left is not None:
                    left = min(int(left + cost), policy.quota)
                own = (numbers[0], left, numbers[2], numbers[3])
            fields = merged(fields, policy.headers(own, now_ms, self.standard, self.legacy))
            if numbers[0] & 1 == 0:
                wait = policy.retry_after(numbers[2])
                retry = wait if retry is None or (wait is not None and wait > retry) else retry
        return decision, fields, retry

    def give_back(self, decision: Dict[str, Any]) -> None:
        """Returns the units an admitted request took, to every limiter that took them."""
        key, cost = decision["key"], decision["cost"]
        if self.limits is not None:
            for one, each in zip(self.limits.limiters, decision["limits"]):
                if each["reason"] is not None and not each["would_block"]:
                    hidden(one.engine)._adjust(key, -cost)
        elif self.limiter is not None and decision["reason"] is not None \
                and not decision["would_block"]:
            hidden(self.limiter.engine)._adjust(key, -cost)

    def settles(self, decision: Dict[str, Any]) -> bool:
        """Whether the answer's status decides if the request's units are given back."""
        return (self.skip_successful or self.skip_failed) and decision["allowed"] \
            and decision["reason"] is not None

    def settle(self, decision: Dict[str, Any], status: Optional[int]) -> None:
        """Gives the units back when the answer's status (None: no answer, the application
        failed) is one that is not counted: below 400 is a success."""
        failed = status is None or status >= 400
        if (self.skip_failed and failed) or (self.skip_successful and not failed):
            self.give_back(decision)

    def numbers(self, decision: Dict[str, Any]) -> Optional["RateLimitNumbers"]:
        """The request's numbers as applications read them, from the limit with the fewest
        requests left; None without a limiter's settings or in disabled mode."""
        if decision["reason"] is None:
            return None
        if self.limits is None and self.policy is not None:
            wait = decision["admit_after_ms"] if decision["would_block"] \
                else decision["whole_after_ms"]
            return RateLimitNumbers(self.policy.quota, _left(decision), wait, time.time())
        if self.limits is not None:
            pairs = [(one.policy, each) for one, each
                     in zip(self.limits.limiters, decision["limits"]) if each["reason"]]
            policy, chosen = min(pairs, key=lambda pair: _left(pair[1]))
        elif self.policy is not None:
            policy, chosen = self.policy, decision
        else:
            return None
        wait = chosen["admit_after_ms"] if chosen["would_block"] else chosen["whole_after_ms"]
        return RateLimitNumbers(policy.quota, _left(chosen), wait, time.time())


class RateLimitNumbers:
    """One request's numbers, read as a mapping (``numbers["remaining"]``) or as attributes:
    limit (the policy's quota), used, remaining (after this request; 0 when refused) and
    reset_time (an aware UTC datetime: when a refused request would be admitted, else when
    the whole allowance is back; None when it never comes back). The datetime is made only
    when asked for."""

    __slots__ = ("limit", "remaining", "_wait_ms", "_at")
    _NAMES = ("limit", "used", "remaining", "reset_time")

    def __init__(self, limit: int, remaining: int, wait_ms: Optional[int], at: float) -> None:
        self.limit = limit
        self.remaining = remaining
        self._wait_ms = wait_ms
        self._at = at

    @property
    def used(self) -> int:
        return max(self.limit - self.remaining, 0)

    @property
    def reset_time(self) -> Optional[datetime]:
        if self._wait_ms is None:
            return None
        return datetime.fromtimestamp(self._at + self._wait_ms / 1000, timezone.utc)

    def __getitem__(self, name: str) -> Any:
        if name not in self._NAMES:
            raise KeyError(name)
        return getattr(self, name)

    def keys(self) -> Tuple[str, ...]:
        return self._NAMES

    def get(self, name: str, default: Any = None) -> Any:
        return getattr(self, name) if name in self._NAMES else default

    def __iter__(self) -> Any:
        return iter(self._NAMES)

    def __len__(self) -> int:
        return len(self._NAMES)

    def __repr__(self) -> str:
        return repr(dict(self.items()))

    def items(self) -> List[Tuple[str, Any]]:
        return [(name, getattr(self, name)) for name in self._NAMES]


def _left(decision: Dict[str, Any]) -> int:
    remaining = decision["remaining"]
    return 0 if decision["would_block"] or not remaining else remaining


def refund_stacked(admitted: List[Tuple[Core, Dict[str, Any]]]) -> None:
    """Gives back what the limiters in front of a refusing one took for the same request."""
    while admitted:
        core, decision = admitted.pop()
        core.give_back(decision)


def refusal_body(decision: Dict[str, Any]) -> bytes:
    """The JSON body of a 429 answer: what was refused and why, in the engine's words."""
    body = {
        "error": "too_many_requests",
        "reason": decision["reason"],
        "algorithm": decision["algorithm"],
        "remaining": decision["remaining"],
    }
    return json.dumps(body, separators=(",", ":")).encode("utf-8")
