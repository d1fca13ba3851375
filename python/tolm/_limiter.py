"""``tolm.limiter()``: a checked set of settings around one native engine."""

from __future__ import annotations

import math
import re
import sys
import time
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Tuple, Union, overload

from ._headers import Policy
from ._prebuilt import native_engine_class
from ._rates import MAX_WINDOW_MS, parse_rate
from ._settings import choice, number, suggesting

from ._keys import IDENTITY_DIGEST_PREFIX, RAW_DIGEST_PREFIX, SURELY_SHORT_KEY, fit_key

if TYPE_CHECKING:  # the stub, without importing the extension module at import time
    from tolm_native import CheckResult, NativeEngine

    from ._redis import RedisLimiter

ALGORITHMS = ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket")
MODES = ("active", "shadow", "disabled")
WINDOW_ALGORITHMS = ("sliding_window", "fixed_window")
# The window of the window algorithms when none is given (the native classes' only one).
DEFAULT_WINDOW_MS = 60_000
_REASONS = ("within_limit", "limit_exceeded", "token_exhausted")
# (allowed, would_block, reason) by the lean entry's outcome: allowed is bit 0, would_block
# bit 1, and above them 0 for no reason (disabled mode) or 1 + the reason's code.
OUTCOMES = tuple((code & 1 == 1, code & 2 == 2, (None, *_REASONS)[code >> 2])
                 for code in range(4 << 2))
# The record's decision text by the outcome's two low bits (allowed, would_block).
_DECISION_TEXTS = ("block", "allow", "block", "would_block")
CLOCKS = ("monotonic", "wall")
# A shared region's size when max_clients is not given: about 7.5 MB for the buckets.
DEFAULT_SHARED_CLIENTS = 100_000
MAX_CLIENTS_LIMIT = 1 << 28
# Longest time a client may need to get its whole allowance back before the limiter warns
# that, without max_clients, its memory grows with every client it has ever seen.
RECOVERY_WARNING_S = 86_400


class Limiter:
    """A native engine built by ``tolm.limiter()``, with the settings it was built from (read
    only). ``check`` decides exactly as the engine does."""

    __slots__ = ("_engine", "_algorithm", "_mode", "_capacity", "_refill_rate", "_api_key",
                 "_policy", "_window_ms", "_name", "_shared", "_max_clients", "_clock")

    def __init__(self, engine: "NativeEngine", algorithm: str, mode: str, capacity: float,
                 refill_rate: float, api_key: Optional[str],
                 window_ms: int = DEFAULT_WINDOW_MS, name: Optional[str] = None,
                 shared: Optional[str] = None, max_clients: int = 0,
                 clock: str = "wall") -> None:
        self._shared = shared
        self._max_clients = max_clients
        self._clock = clock
        self._engine = engine
        self._algorithm = algorithm
        self._mode = mode
        self._capacity = capacity
        self._refill_rate = refill_rate
        self._api_key = api_key
        self._window_ms = window_ms
        self._name = algorithm if name is None else name
        self._policy = Policy(algorithm, capacity, refill_rate, window_ms, self._name)

    def check(self, ip: str, route: str, identity: Optional[str] = None,
              cost: float = 1) -> "CheckResult":
        """Decides one request, as ``NativeEngine.check``, except that an address or identity
        longer than ``MAX_KEY_BYTES`` is stored as its digest (``ip#``/``id#`` and 64 hex
        digits), so that one-off long keys cannot make the engine hold kilobytes each.

        `cost` (a finite number > 0) is how many units the request takes at once: all of
        them or, when the allowance is short, none."""
        if (type(ip) is not str or len(ip) > SURELY_SHORT_KEY or identity is not None
                and (type(identity) is not str or len(identity) > SURELY_SHORT_KEY)):
            ip = fit_key(ip, RAW_DIGEST_PREFIX)
            identity = fit_key(identity, IDENTITY_DIGEST_PREFIX)
        if cost == 1 and type(cost) in (int, float):
            return self._engine.check(ip, route, identity)
        cost = checked_cost("Limiter.check", cost)
        started = time.perf_counter_ns()
        outcome, remaining = self._native("_decide")(ip, route, identity, cost)[:2]
        allowed, would_block, reason = OUTCOMES[outcome]
        record: Dict[str, Any] = {
            "decision": _DECISION_TEXTS[outcome & 3] if reason is not None else "allow",
            "reason": reason if reason is not None else "within_limit",
            "algorithm": self._algorithm, "route": route, "remaining": remaining,
            "latency_ms": (time.perf_counter_ns() - started) // 1_000_000}
        result: Dict[str, Any] = {"allowed": allowed, "would_block": would_block}
        if reason is not None:
            result["reason"] = reason
        result["decision"] = record
        return result  # type: ignore[return-value]

    def decide(self, ip: str, route: str, identity: Optional[str] = None,
               cost: float = 1) -> Dict[str, Any]:
        """Decides one request as ``check`` does and answers as the middleware tells the
        application: allowed, would_block, reason, algorithm, remaining, admit_after_ms,
        whole_after_ms (ms from now, None when unknown), cost, and key: the text this limiter
        keys the client by, for ``reset``, ``refund``, ``penalize`` and ``block``."""
        ip = fit_key(ip, RAW_DIGEST_PREFIX)
        identity = fit_key(identity, IDENTITY_DIGEST_PREFIX)
        if not (cost == 1 and type(cost) in (int, float)):
            cost = checked_cost("Limiter.decide", cost)
        numbers = self._engine._decide(ip, route, identity) if cost == 1 \
            else hidden(self._native("_decide"))(ip, route, identity, cost)
        return decision_of(numbers, self._algorithm, ip if identity is None else identity, cost)

    def _native(self, name: str) -> Any:
        found = getattr(self._engine, name, None)
        if found is None:
            raise RuntimeError(f"tolm: this build of tolm_native has no NativeEngine.{name}; "
                               f"rebuild the library from this release")
        return found

    def reset(self, key: str) -> None:
        """Forgets the client keyed by `key` (its identity if it has one, else its address;
        under the middleware, the decision's "key"): its next request starts afresh, and a
        block on it ends."""
        self._native("_reset")(_key(key))

    def refund(self, key: str, units: float = 1) -> None:
        """Gives `units` back to the client keyed by `key`, as if that many fewer had been
        taken (never beyond a fresh client's allowance)."""
        self._native("_adjust")(_key(key), -checked_cost("Limiter.refund", units, "units"))

    def penalize(self, key: str, units: float = 1) -> None:
        """Takes `units` more from the client keyed by `key`, without a request."""
        self._native("_adjust")(_key(key), checked_cost("Limiter.penalize", units, "units"))

    def block(self, key: str, seconds: float) -> None:
        """Refuses every request of the client keyed by `key` for `seconds` (ended early only
        by ``reset``)."""
        seconds = number("seconds", seconds, 0.0, "a finite number > 0")
        if seconds <= 0:
            raise ValueError(f"Limiter.block: seconds must be a finite number > 0; got {seconds!r}")
        self._native("_block")(_key(key), max(1, math.ceil(seconds * 1000)))

    def clear(self) -> None:
        """Forgets every client (in a shared region: for every process that uses it)."""
        self._native("_clear")()

    def stats(self) -> Dict[str, Any]:
        """The operators' counters: "clients" kept now and "evictions" of clients pushed out
        by ``max_clients`` (or a full shared region)."""
        return dict(self._native("_stats")())

    @property
    def shared(self) -> Optional[str]:
        """The shared region's name, None for a limiter whose counts live in this process."""
        return self._shared

    @property
    def max_clients(self) -> int:
        """Most clients kept (0: no bound)."""
        return self._max_clients

    @property
    def clock(self) -> str:
        return self._clock

    @property
    def engine(self) -> "NativeEngine":
        """The native engine itself."""
        return self._engine

    @property
    def algorithm(self) -> str:
        return self._algorithm

    @property
    def mode(self) -> str:
        return self._mode

    @property
    def capacity(self) -> float:
        return self._capacity

    @property
    def refill_rate(self) -> float:
        return self._refill_rate

    @property
    def api_key(self) -> Optional[str]:
        return self._api_key

    @property
    def policy(self) -> Policy:
        return self._policy

    @property
    def window_ms(self) -> int:
        """The window of the window algorithms, in ms (unused by the buckets)."""
        return self._window_ms

    @property
    def name(self) -> str:
        """The policy's name in the RateLimit headers."""
        return self._name

    def __repr__(self) -> str:
        extra = f", window_ms={self._window_ms!r}" if self._window_ms != DEFAULT_WINDOW_MS else ""
        if self._shared is not None:
            extra += f", shared={self._shared!r}"
        if self._max_clients:
            extra += f", max_clients={self._max_clients!r}"
        return (f"tolm.limiter(algorithm={self._algorithm!r}, mode={self._mode!r}, "
                f"capacity={self._capacity!r}, refill_rate={self._refill_rate!r}{extra})")


def _region_name(value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"tolm.limiter: shared must be a str naming the region, or None; "
                        f"got {value!r} ({type(value).__name__})")
    if not 1 <= len(value) <= 200 or not all("!" <= c <= "~" for c in value) \
            or "/" in value or "\\" in value:
        raise ValueError(f"tolm.limiter: shared must be 1 to 200 printable ASCII characters "
                         f"without blanks, '/' or '\\'; got {value!r}")
    return value


def _client_count(value: object, shared: bool) -> int:
    lowest = 1 if shared else 0
    accepted = f"an int from {lowest} to {MAX_CLIENTS_LIMIT}{'' if shared else ' (0: no bound)'}"
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"tolm.limiter: max_clients must be {accepted}; "
                        f"got {value!r} ({type(value).__name__})")
    if not lowest <= value <= MAX_CLIENTS_LIMIT:
        raise ValueError(f"tolm.limiter: max_clients must be {accepted}; got {value!r}")
    return value


def _recovery_s(algorithm: str, capacity: float, refill_rate: float, window_ms: int) -> float:
    """Seconds until an exhausted client has its whole allowance back (inf: never)."""
    if algorithm in WINDOW_ALGORITHMS:
        return window_ms / 1000
    if not refill_rate > 0:
        return math.inf
    seconds = capacity / refill_rate
    return seconds if math.isfinite(seconds) else math.inf


def hidden(engine: object) -> Any:
    """`engine`, for calling the members the module keeps out of its public stub (cost,
    _adjust, _reset, _block, _clear)."""
    return engine


def _key(key: object) -> str:
    if not isinstance(key, str):
        raise TypeError(f"tolm: key must be a str (the identity, else the address, that the "
                        f"client's requests were checked with); got {key!r}")
    return fit_key(key, RAW_DIGEST_PREFIX)


def checked_cost(owner: str, cost: object, what: str = "cost") -> float:
    """`cost` as a float, or TypeError/ValueError naming it: a finite number > 0."""
    value = number(what, cost, 0.0, "a finite number > 0")
    if value <= 0:
        raise ValueError(f"{owner}: {what} must be a finite number > 0; got {cost!r}")
    return value


def decision_of(numbers: Tuple[int, Optional[int], Optional[int], Optional[int]],
                algorithm: Optional[str], key: str, cost: float) -> Dict[str, Any]:
    """The decision dict the application reads, from the lean entry's numbers."""
    outcome, remaining, admit_ms, whole_ms = numbers
    allowed, would_block, reason = OUTCOMES[outcome]
    return {"allowed": allowed, "would_block": would_block, "reason": reason,
            "algorithm": algorithm, "remaining": remaining, "admit_after_ms": admit_ms,
            "whole_after_ms": whole_ms, "key": key, "cost": cost}


@overload
def limiter(algorithm: str = ..., mode: str = ..., capacity: Optional[float] = ...,
            refill_rate: Optional[float] = ..., api_key: Optional[str] = ..., *,
            rate: Optional[str] = ..., window_ms: Optional[int] = ..., name: Optional[str] = ...,
            shared: Optional[str] = ..., max_clients: Optional[int] = ..., clock: str = ...,
            redis: None = ..., redis_prefix: str = ...,
            on_redis_error: str = ..., redis_timeout_ms: float = ...,
            on_redis_event: Optional[Callable[..., Any]] = ..., lease: Optional[int] = ...,
            lease_ms: float = ...) -> Limiter: ...
@overload
def limiter(algorithm: str = ..., mode: str = ..., capacity: Optional[float] = ...,
            refill_rate: Optional[float] = ..., api_key: Optional[str] = ..., *,
            rate: Optional[str] = ..., window_ms: Optional[int] = ..., name: Optional[str] = ...,
            shared: Optional[str] = ..., max_clients: Optional[int] = ..., clock: str = ...,
            redis: object, redis_prefix: str = ...,
            on_redis_error: str = ..., redis_timeout_ms: float = ...,
            on_redis_event: Optional[Callable[..., Any]] = ..., lease: Optional[int] = ...,
            lease_ms: float = ...) -> "RedisLimiter": ...
@suggesting("tolm.limiter")
def limiter(algorithm: str = "token_bucket", mode: str = "active",
            capacity: Optional[float] = None, refill_rate: Optional[float] = None,
            api_key: Optional[str] = None, *, rate: Optional[str] = None,
            window_ms: Optional[int] = None, name: Optional[str] = None,
            shared: Optional[str] = None, max_clients: Optional[int] = None,
            clock: str = "monotonic", redis: Any = None, redis_prefix: str = "tolm:",
            on_redis_error: str = "local", redis_timeout_ms: float = 5,
            on_redis_event: Optional[Callable[..., Any]] = None, lease: Optional[int] = None,
            lease_ms: float = 1000) -> Union[Limiter, "RedisLimiter"]:
    """A new engine with checked settings (the defaults are the Node package's: capacity
    100, refill rate 10).

    rate: ``"100/minute"``, ``"5 per 15 minutes"`` (docs/limits.md has the grammar), instead
        of capacity, refill_rate and window_ms: the window algorithms admit that many per
        window of that length; the buckets hold that many and refill them over the window.
    window_ms: the window algorithms' window in ms (default 60000), from 1 ms to 366 days.
    name: the policy's name in the RateLimit headers (default: the algorithm), so that
        several limits on one route can be told apart.

    Raises TypeError or ValueError, naming the setting, the value and what is accepted, for an
    unknown algorithm or mode, a capacity that is not a finite number >= 1, a refill rate
    that is not a finite number >= 0, a rate that does not parse or comes with capacity,
    refill_rate or window_ms, a window for a bucket, or an api_key that is not a str or None.
    ``tolm_native.NativeEngine`` takes any settings unchecked.

    ``redis``: a ``redis://`` URL, a ``redis.Redis`` or a ``redis.asyncio.Redis`` client;
    the limiter then keeps its clients' state in Redis, shared by every process and host
    that uses the same server and ``redis_prefix`` (see docs/redis.md), and ``window_ms``
    sets the window algorithms' window there. ``lease=k`` lets each process take batches of
    up to k units per round trip and spend them locally (see docs/redis.md for the bound);
    with ``shared="name"`` too, the workers of the host keep those leases in one shared
    region (sized by ``max_clients``), spending the same batches as one holder.

    ``shared="name"``: every process of the host that builds a limiter with the same name and
    settings shares one count per client (gunicorn or uvicorn workers, Node processes alike);
    ``max_clients`` sizes the region then (default 100000). On a private limiter
    ``max_clients`` bounds the clients kept, evicting the one nearest to recovery. ``clock``
    "monotonic" (elapsed time that a step of the system clock does not change) or "wall"."""
    algorithm = choice("algorithm", algorithm, ALGORITHMS)
    mode = choice("mode", mode, MODES)
    windowed = algorithm in WINDOW_ALGORITHMS
    if rate is not None:
        given = [n for n, v in (("capacity", capacity), ("refill_rate", refill_rate),
                                ("window_ms", window_ms)) if v is not None]
        if given:
            raise TypeError(f"tolm.limiter: rate says the limit already; give it or "
                            f"{', '.join(given)}, not both")
        parsed = parse_rate(rate)
        capacity = float(parsed.limit)
        if windowed:
            window_ms, refill_rate = parsed.window_ms, 0.0
        else:
            refill_rate = parsed.per_second
    if window_ms is not None and not windowed and redis is None:
        raise TypeError(f"tolm.limiter: window_ms is the window of sliding_window and "
                        f"fixed_window; {algorithm} refills instead: give refill_rate, or "
                        f"rate='100/minute'")
    capacity = number("capacity", 100 if capacity is None else capacity, 1.0,
                      "a finite number >= 1")
    refill_rate = number("refill_rate", 10 if refill_rate is None else refill_rate, 0.0,
                         "a finite number >= 0")
    if window_ms is None:
        window_ms = DEFAULT_WINDOW_MS
    elif isinstance(window_ms, bool) or not isinstance(window_ms, int) \
            or not 1 <= window_ms <= MAX_WINDOW_MS:
        raise ValueError(f"tolm.limiter: window_ms must be a whole number of ms from 1 to "
                         f"{MAX_WINDOW_MS} (366 days); got {window_ms!r}")
    if name is not None and (not isinstance(name, str) or not _NAME.fullmatch(name)):
        raise ValueError(f"tolm.limiter: name must be 1 to 64 letters, digits, '_', '-' or "
                         f"'.', so that a header can carry it; got {name!r}")
    if api_key is not None and not isinstance(api_key, str):
        raise TypeError(f"tolm.limiter: api_key must be a str or None; "
                        f"got {api_key!r} ({type(api_key).__name__})")
    if redis is not None:
        if shared is None and max_clients is not None:
            raise ValueError("tolm.limiter: max_clients with redis= sizes the host's lease "
                             "region: give shared='name' and lease=k too")
        if shared is not None:
            shared = _region_name(shared)
            max_clients = _client_count(DEFAULT_SHARED_CLIENTS if max_clients is None
                                        else max_clients, True)
        return _redis_limiter(redis, algorithm, mode, capacity, refill_rate, api_key, window_ms,
                              redis_prefix, on_redis_error, redis_timeout_ms, on_redis_event,
                              lease, lease_ms, shared, max_clients)
    clock = choice("clock", clock, CLOCKS)
    if shared is not None:
        shared = _region_name(shared)
    if max_clients is None:
        max_clients = DEFAULT_SHARED_CLIENTS if shared is not None else 0
    max_clients = _client_count(max_clients, shared is not None)
    engine = _open_engine(algorithm, mode, capacity, refill_rate, api_key, window_ms, shared,
                          max_clients, clock)
    if shared is None and max_clients == 0:
        recovery = _recovery_s(algorithm, capacity, refill_rate, window_ms)
        if recovery > RECOVERY_WARNING_S:
            took = "never gets its allowance back" if math.isinf(recovery) \
                else f"needs {recovery / 3600:.4g} hours to get its allowance back"
            warnings.warn(f"tolm.limiter: with capacity {capacity:g} and refill_rate "
                          f"{refill_rate:g} a limited client {took}, so it is never forgotten "
                          f"and memory grows with every client seen; pass max_clients=N to "
                          f"bound it", RuntimeWarning, stacklevel=3)
    return Limiter(engine, algorithm, mode, capacity, refill_rate, api_key, window_ms, name,
                   shared, max_clients, clock)


_NAME = re.compile(r"[A-Za-z0-9_.-]{1,64}")


def _open_engine(algorithm: str, mode: str, capacity: float, refill_rate: float,
                 api_key: Optional[str], window_ms: int, shared: Optional[str],
                 max_clients: int, clock: str) -> "NativeEngine":
    """The engine for checked settings, through the module's opener, which knows other
    windows, the shared store, the client bound and the monotonic clock; a library from
    before them builds as the constructor does (60-second windows, the wall clock)."""
    engine_class = native_engine_class()  # loads tolm_native the checked way
    opener = getattr(sys.modules["tolm_native"], "_open", None)
    if opener is None:
        if shared is not None or max_clients or window_ms != DEFAULT_WINDOW_MS:
            raise RuntimeError("tolm.limiter: this tolm_native has no shared store, "
                               "max_clients or windows other than 60 s; rebuild or reinstall "
                               "tolm")
        return engine_class(algorithm, mode, capacity, refill_rate, api_key, None, "")
    engine: "NativeEngine" = opener(algorithm, mode, capacity, refill_rate, window_ms=window_ms,
                                    max_clients=max_clients, shared=shared, clock=clock,
                                    api_key=api_key)
    return engine


def _redis_limiter(redis: Any, algorithm: str, mode: str, capacity: float, refill_rate: float,
                   api_key: Optional[str], window_ms: object, redis_prefix: object,
                   on_redis_error: object, redis_timeout_ms: object,
                   on_redis_event: object, lease: object, lease_ms: object,
                   shared: Optional[str] = None, max_clients: Optional[int] = None
                   ) -> "RedisLimiter":
    from ._redis import redis_limiter

    if isinstance(window_ms, bool) or not isinstance(window_ms, int) or window_ms < 1:
        raise ValueError(f"tolm.limiter: window_ms must be a whole number of ms >= 1; "
                         f"got {window_ms!r}")
    if api_key is not None:
        raise ValueError("tolm.limiter: api_key is not available with redis=")

    def local() -> Any:
        # The in-process engine that answers while Redis cannot, with the same settings.
        engine_class = native_engine_class()
        opener = getattr(sys.modules["tolm_native"], "_open", None)
        if opener is not None:
            return opener(algorithm, mode, capacity, refill_rate, window_ms=window_ms,
                          clock="monotonic")
        if window_ms != 60000 and algorithm in ("fixed_window", "sliding_window"):
            raise ValueError("tolm.limiter: on_redis_error='local' with a window other than "
                             "60000 ms needs a newer tolm_native")
        return engine_class(algorithm, mode, capacity, refill_rate, None, None, "")

    def host(units: int, lifetime_ms: int) -> Any:
        # The host's lease region, which also answers while Redis cannot: its clients' own
        # states stay in this process.
        native_engine_class()
        opener = getattr(sys.modules["tolm_native"], "_open", None)
        try:
            return opener(algorithm, mode, capacity, refill_rate,  # type: ignore[misc]
                          window_ms=window_ms, clock="monotonic", shared=shared,
                          max_clients=max_clients, lease=units, lease_ms=lifetime_ms)
        except TypeError as error:
            raise RuntimeError("tolm.limiter: this tolm_native cannot keep a host's leases; "
                               "rebuild or reinstall tolm") from error

    return redis_limiter(redis, algorithm=algorithm, mode=mode, capacity=capacity,
                         refill_rate=refill_rate, window_ms=window_ms,
                         redis_prefix=redis_prefix, on_redis_error=on_redis_error,
                         redis_timeout_ms=redis_timeout_ms, on_redis_event=on_redis_event,
                         local_factory=local, lease=lease, lease_ms=lease_ms,
                         host_factory=host if shared is not None else None)
