"""``tolm.limiter()``: a checked set of settings around one native engine."""

from __future__ import annotations

import math
import sys
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Union, overload

from ._headers import Policy
from ._prebuilt import native_engine_class
from ._settings import choice, number, suggesting

from ._keys import IDENTITY_DIGEST_PREFIX, RAW_DIGEST_PREFIX, SURELY_SHORT_KEY, fit_key

if TYPE_CHECKING:  # the stub, without importing the extension module at import time
    from tolm_native import CheckResult, NativeEngine

    from ._redis import RedisLimiter

ALGORITHMS = ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket")
MODES = ("active", "shadow", "disabled")
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
                 "_policy", "_shared", "_max_clients", "_clock")

    def __init__(self, engine: "NativeEngine", algorithm: str, mode: str, capacity: float,
                 refill_rate: float, api_key: Optional[str], shared: Optional[str] = None,
                 max_clients: int = 0, clock: str = "wall") -> None:
        self._engine = engine
        self._shared = shared
        self._max_clients = max_clients
        self._clock = clock
        self._algorithm = algorithm
        self._mode = mode
        self._capacity = capacity
        self._refill_rate = refill_rate
        self._api_key = api_key
        self._policy = Policy(algorithm, capacity, refill_rate)

    def check(self, ip: str, route: str, identity: Optional[str] = None) -> "CheckResult":
        """Decides one request, as ``NativeEngine.check``, except that an address or identity
        longer than ``MAX_KEY_BYTES`` is stored as its digest (``ip#``/``id#`` and 64 hex
        digits), so that one-off long keys cannot make the engine hold kilobytes each."""
        if (type(ip) is not str or len(ip) > SURELY_SHORT_KEY or identity is not None
                and (type(identity) is not str or len(identity) > SURELY_SHORT_KEY)):
            ip = fit_key(ip, RAW_DIGEST_PREFIX)
            identity = fit_key(identity, IDENTITY_DIGEST_PREFIX)
        return self._engine.check(ip, route, identity)

    def clear(self) -> None:
        """Forgets every client (in a shared region: for every process that uses it)."""
        engine: Any = self._engine  # _clear is newer than some stubs
        engine._clear()

    def stats(self) -> Dict[str, Any]:
        """The operators' counters: "clients" kept now and "evictions" of clients pushed out
        by ``max_clients`` (or a full shared region)."""
        return dict(self._engine._stats())

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

    def __repr__(self) -> str:
        extra = "" if self._shared is None else f", shared={self._shared!r}"
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


def _recovery_s(algorithm: str, capacity: float, refill_rate: float) -> float:
    """Seconds until an exhausted client has its whole allowance back (inf: never)."""
    if algorithm in ("sliding_window", "fixed_window"):
        return 60.0
    if not refill_rate > 0:
        return math.inf
    seconds = capacity / refill_rate
    return seconds if math.isfinite(seconds) else math.inf


@overload
def limiter(algorithm: str = ..., mode: str = ..., capacity: float = ...,
            refill_rate: float = ..., api_key: Optional[str] = ..., *,
            shared: Optional[str] = ..., max_clients: Optional[int] = ...,
            clock: str = ..., window_ms: int = ..., redis: None = ..., redis_prefix: str = ...,
            on_redis_error: str = ..., redis_timeout_ms: float = ...,
            on_redis_event: Optional[Callable[..., Any]] = ..., lease: Optional[int] = ...,
            lease_ms: float = ...) -> Limiter: ...
@overload
def limiter(algorithm: str = ..., mode: str = ..., capacity: float = ...,
            refill_rate: float = ..., api_key: Optional[str] = ..., *,
            shared: Optional[str] = ..., max_clients: Optional[int] = ...,
            clock: str = ..., window_ms: int = ..., redis: object, redis_prefix: str = ...,
            on_redis_error: str = ..., redis_timeout_ms: float = ...,
            on_redis_event: Optional[Callable[..., Any]] = ..., lease: Optional[int] = ...,
            lease_ms: float = ...) -> "RedisLimiter": ...
@suggesting("tolm.limiter")
def limiter(algorithm: str = "token_bucket", mode: str = "active", capacity: float = 100,
            refill_rate: float = 10, api_key: Optional[str] = None, *,
            shared: Optional[str] = None, max_clients: Optional[int] = None,
            clock: str = "monotonic", window_ms: int = 60000, redis: Any = None,
            redis_prefix: str = "tolm:", on_redis_error: str = "local", redis_timeout_ms: float = 5,
            on_redis_event: Optional[Callable[..., Any]] = None, lease: Optional[int] = None,
            lease_ms: float = 1000) -> Union[Limiter, "RedisLimiter"]:
    """A new engine with checked settings (the defaults are the Node package's).

    Raises TypeError or ValueError, naming the setting, the value and what is accepted, for an
    unknown algorithm or mode, a capacity that is not a finite number >= 1, a refill rate
    that is not a finite number >= 0, or an api_key that is not a str or None.
    ``tolm_native.NativeEngine`` takes any settings unchecked.

    ``redis``: a ``redis://`` URL, a ``redis.Redis`` or a ``redis.asyncio.Redis`` client;
    the limiter then keeps its clients' state in Redis, shared by every process and host
    that uses the same server and ``redis_prefix`` (see docs/redis.md), and ``window_ms``
    sets the window algorithms' window there. ``lease=k`` lets each process take batches of
    up to k units per round trip and spend them locally (see docs/redis.md for the bound).

    ``shared="name"``: every process of the host that builds a limiter with the same name and
    settings shares one count per client (gunicorn or uvicorn workers, Node processes alike);
    ``max_clients`` sizes the region then (default 100000). On a private limiter
    ``max_clients`` bounds the clients kept, evicting the one nearest to recovery. ``clock``
    "monotonic" (elapsed time that a step of the system clock does not change) or "wall"."""
    algorithm = choice("algorithm", algorithm, ALGORITHMS)
    mode = choice("mode", mode, MODES)
    capacity = number("capacity", capacity, 1.0, "a finite number >= 1")
    refill_rate = number("refill_rate", refill_rate, 0.0, "a finite number >= 0")
    if api_key is not None and not isinstance(api_key, str):
        raise TypeError(f"tolm.limiter: api_key must be a str or None; "
                        f"got {api_key!r} ({type(api_key).__name__})")
    if redis is not None:
        if shared is not None or max_clients is not None:
            raise ValueError("tolm.limiter: shared and max_clients are for the in-process "
                             "engine, not with redis=")
        return _redis_limiter(redis, algorithm, mode, capacity, refill_rate, api_key, window_ms,
                              redis_prefix, on_redis_error, redis_timeout_ms, on_redis_event,
                              lease, lease_ms)
    clock = choice("clock", clock, CLOCKS)
    if shared is not None:
        shared = _region_name(shared)
    if max_clients is None:
        max_clients = DEFAULT_SHARED_CLIENTS if shared is not None else 0
    max_clients = _client_count(max_clients, shared is not None)
    engine = _open_engine(algorithm, mode, capacity, refill_rate, api_key, shared, max_clients,
                          clock)
    if shared is None and max_clients == 0:
        recovery = _recovery_s(algorithm, capacity, refill_rate)
        if recovery > RECOVERY_WARNING_S:
            took = "never gets its allowance back" if math.isinf(recovery) \
                else f"needs {recovery / 3600:.4g} hours to get its allowance back"
            warnings.warn(f"tolm.limiter: with capacity {capacity:g} and refill_rate "
                          f"{refill_rate:g} a limited client {took}, so it is never forgotten "
                          f"and memory grows with every client seen; pass max_clients=N to "
                          f"bound it", RuntimeWarning, stacklevel=3)
    return Limiter(engine, algorithm, mode, capacity, refill_rate, api_key, shared,
                   max_clients, clock)



def _redis_limiter(redis: Any, algorithm: str, mode: str, capacity: float, refill_rate: float,
                   api_key: Optional[str], window_ms: object, redis_prefix: object,
                   on_redis_error: object, redis_timeout_ms: object,
                   on_redis_event: object, lease: object, lease_ms: object) -> "RedisLimiter":
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

    return redis_limiter(redis, algorithm=algorithm, mode=mode, capacity=capacity,
                         refill_rate=refill_rate, window_ms=window_ms,
                         redis_prefix=redis_prefix, on_redis_error=on_redis_error,
                         redis_timeout_ms=redis_timeout_ms, on_redis_event=on_redis_event,
                         local_factory=local, lease=lease, lease_ms=lease_ms)


def _open_engine(algorithm: str, mode: str, capacity: float, refill_rate: float,
                 api_key: Optional[str], shared: Optional[str], max_clients: int,
                 clock: str) -> "NativeEngine":
    engine_class = native_engine_class()
    opener = getattr(sys.modules["tolm_native"], "_open", None)
    if opener is None:
        # A library from before the shared store: it has only the wall clock and no bound.
        if shared is not None or max_clients:
            raise RuntimeError("tolm.limiter: this tolm_native has no shared store or "
                               "max_clients; rebuild or reinstall tolm")
        return engine_class(algorithm, mode, capacity, refill_rate, api_key, None, "")
    engine: "NativeEngine" = opener(algorithm, mode, capacity, refill_rate,
                                    max_clients=max_clients, shared=shared, clock=clock,
                                    api_key=api_key)
    return engine
