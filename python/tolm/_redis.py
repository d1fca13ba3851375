"""Limits shared by many hosts through Redis: one server-side script per algorithm over one key
per client, run on the server's clock, with an explicit answer for when Redis cannot answer.

The scripts live in ``lua/`` (shipped in both packages) and use the in-process algorithms'
arithmetic, so a Redis limiter decides what one in-process engine would decide for the same
requests at the same times."""

from __future__ import annotations

import asyncio
import hashlib
import itertools
import math
import select
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

from ._headers import Policy
from ._keys import IDENTITY_DIGEST_PREFIX, RAW_DIGEST_PREFIX, SURELY_SHORT_KEY, fit_key

__all__ = ["RedisLimiter", "ON_ERROR_CHOICES", "script_source"]

#: What a limiter does when Redis cannot answer within its time budget.
ON_ERROR_CHOICES = ("local", "refuse", "allow")
_KEY_TAGS = {"token_bucket": "tb:", "leaky_bucket": "lb:", "fixed_window": "fw:",
             "sliding_window": "sw:"}
# The lean entry's outcome codes (bit 0 allowed, bit 1 would_block, above them 1 + reason).
_WITHIN, _EXCEEDED, _EXHAUSTED = 1, 2, 3
# How long a limiter answers without Redis after a failure before it asks Redis again, so
# that an unreachable server costs one time budget per interval rather than per request.
RETRY_AFTER_FAILURE_MS = 1000
# Clients whose leases one limiter keeps before it drops the expired ones, then the oldest.
_MAX_LEASES = 10000


def _scripts_dir() -> Path:
    here = Path(__file__).resolve().parent
    installed = here / "lua"
    return installed if installed.is_dir() else here.parents[1] / "lua"


_SOURCES: Dict[str, str] = {}
_HELPERS_LINE = "--[[ helpers ]]\n"


def script_source(algorithm: str) -> str:
    """The Lua source of `algorithm`'s script: lua/prelude.lua, then the algorithm's own text
    with lua/helpers.lua in place of its line `--[[ helpers ]]` (lib/redis.js joins them
    alike, so both runtimes load the same script and digest)."""
    source = _SOURCES.get(algorithm)
    if source is None:
        folder = _scripts_dir()
        parts = (folder / f"{algorithm}.lua").read_text(encoding="utf-8").split(_HELPERS_LINE)
        if len(parts) != 2:
            raise RuntimeError(f"lua/{algorithm}.lua must say where the helpers go, once")
        source = ((folder / "prelude.lua").read_text(encoding="utf-8") + parts[0]
                  + (folder / "helpers.lua").read_text(encoding="utf-8") + parts[1])
        _SOURCES[algorithm] = source
    return source


_ADMITTED = 1 | (_WITHIN << 2)
# What a request finds in the host's lease region (tolm_native's _lease_take).
_LEASE_ADMITTED, _LEASE_REFUSED, _LEASE_FETCH, _LEASE_ASK, _LEASE_ADMITTED_FETCH = range(5)


class _Ahead(NamedTuple):
    """A request admitted from the host's batch, which is to fetch the host's next batch:
    its numbers, and the script's key and arguments for the fetch."""
    numbers: Tuple[int, Optional[int], Optional[int], Optional[int]]
    key: str
    args: Tuple[str, ...]
_perf_counter = time.perf_counter


def _outcome_fields(outcome: int) -> Tuple[bool, bool, Optional[str], str]:
    allowed, would_block = bool(outcome & 1), bool(outcome & 2)
    reason = (None, "within_limit", "limit_exceeded", "token_exhausted")[outcome >> 2]
    decision = "allow" if not would_block else ("would_block" if allowed else "block")
    return allowed, would_block, reason, decision


# What each outcome code (bit 0 allowed, bit 1 would_block, above them 1 + reason) says.
_OUTCOMES = [_outcome_fields(code) for code in range(16)]
_monotonic = time.monotonic
_ASYNC_ONLY = ("an asyncio client: use acheck() (or build it with a redis.Redis client or a "
               "URL)")
_SYNC_ONLY = ("a synchronous client: use check() (or build it with a redis.asyncio.Redis "
              "client or a URL)")


def _refused_outcome(algorithm: str) -> int:
    return (_EXHAUSTED if algorithm == "token_bucket" else _EXCEEDED) << 2


def _text_setting(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"tolm.limiter: {name} must be a str; got {value!r} "
                        f"({type(value).__name__})")
    return value


class RedisLimiter:
    """A limiter whose state lives in Redis, built by ``tolm.limiter(..., redis=...)``.

    ``check`` answers synchronously (a ``redis.Redis`` client, or a URL); ``acheck`` awaits
    (a ``redis.asyncio.Redis`` client, or a URL). Each check is one EVALSHA round trip.
    When Redis fails or exceeds ``redis_timeout_ms``, the request is decided by
    ``on_redis_error``: "local" (an in-process engine with the same settings), "refuse" or
    "allow"; ``redis_stats`` counts these, and ``on_redis_event(kind, error)`` hears each
    "fallback" (Redis stopped answering) and "recovery" (it answers again)."""

    def __init__(self, *, algorithm: str, mode: str, capacity: float, refill_rate: float,
                 window_ms: int, sync_client: Any, async_client: Any, prefix: str,
                 on_error: str, timeout_ms: float, on_event: Optional[Callable[..., Any]],
                 local: Any, lease: int = 0, lease_ms: float = 1000, host: Any = None) -> None:
        self._algorithm = algorithm
        self._mode = mode
        self._capacity = capacity
        self._refill_rate = refill_rate
        self._window_ms = window_ms
        self._sync = sync_client
        self._async = async_client
        self._key_prefix = prefix + _KEY_TAGS[algorithm]
        self._prefix = prefix
        self._on_error = on_error
        self._timeout_s = timeout_ms / 1000.0
        self._on_event = on_event
        self._local = local
        self._policy = Policy(algorithm, capacity, refill_rate)
        self._settings = (repr(capacity), repr(refill_rate), str(window_ms))
        source = script_source(algorithm)
        self._script: Any = (sync_client.register_script(source) if sync_client is not None
                             else None)
        # A plain client's checks skip redis-py's command layer (argument encoding, the retry
        # wrapper, per-command bookkeeping): the command is packed here from bytes prepared
        # once, and sent and read on a connection of the client's pool. A cluster client
        # routes by key and keeps the general path.
        # The connections are the limiter's own, made by the client's pool with its settings
        # and kept on a list (whose pop and append need no lock): taking one from the pool
        # would poll it for stray data on every check.
        self._pool: Any = None
        self._idle: List[Any] = []
        if sync_client is not None and not _is_cluster(sync_client):
            self._pool = sync_client.connection_pool
            self._packed_head = (b"$7\r\nEVALSHA\r\n$40\r\n" + _digest(source)
                                 + b"\r\n$1\r\n1\r\n")
            self._packed_eval_head = (b"$4\r\nEVAL\r\n" + _bulk(source.encode()) + b"$1\r\n1\r\n")
            self._packed_settings = b"".join(
                _bulk(v.encode()) for v in (repr(capacity), repr(refill_rate), str(window_ms)))
        self._ascript: Any = async_client.register_script(source) if async_client is not None \
            else None
        self._down_until = 0.0  # monotonic seconds; 0 while Redis answers
        self._retry_after_s = RETRY_AFTER_FAILURE_MS / 1000.0
        self._stats = {"calls": 0, "errors": 0, "fallbacks": 0, "recoveries": 0, "local": 0}
        # Lease mode: per client key, [units left, expiry, refused until, remaining in Redis
        # when leased] in monotonic seconds.
        self._lease_units = str(lease) if lease else ""
        self._lease_s = lease_ms / 1000.0
        self._held: Dict[str, List[Any]] = {}
        # With a shared region (tolm.limiter(shared=...)), the host's leases are kept there
        # instead, spent and refused alike by every process of the host: an engine opened
        # with lease (its _lease_take and _lease_put); a fetch it hands out is another
        # process's to take over after the time budget.
        self._host = host
        self._fetch_budget_ms = max(1, math.ceil(timeout_ms))
        self._refused_here = (1 | 2 if mode == "shadow" else 2) | _refused_outcome(algorithm)

    # -- settings, read only ---------------------------------------------------------------

    algorithm = property(lambda self: self._algorithm)
    mode = property(lambda self: self._mode)
    capacity = property(lambda self: self._capacity)
    refill_rate = property(lambda self: self._refill_rate)
    window_ms = property(lambda self: self._window_ms)
    redis_prefix = property(lambda self: self._prefix)
    on_redis_error = property(lambda self: self._on_error)
    policy = property(lambda self: self._policy)
    api_key = property(lambda self: None)

    @property
    def redis_stats(self) -> Dict[str, int]:
        """Counts: ``calls`` to Redis, ``errors`` among them, ``fallbacks`` (decisions made
        without Redis), ``recoveries`` (Redis answering again after a failure), ``local``
        (lease mode: decisions made from a lease or a remembered refusal)."""
        return dict(self._stats)

    @property
    def redis_available(self) -> bool:
        return self._down_until == 0.0

    def __repr__(self) -> str:
        return (f"tolm.limiter(algorithm={self._algorithm!r}, mode={self._mode!r}, "
                f"capacity={self._capacity!r}, refill_rate={self._refill_rate!r}, "
                f"window_ms={self._window_ms!r}, redis=..., "
                f"on_redis_error={self._on_error!r})")

    # -- decisions ---------------------------------------------------------------------------

    def _key(self, ip: str, identity: Optional[str]) -> str:
        if identity is not None:
            if type(identity) is not str or len(identity) > SURELY_SHORT_KEY:
                identity = fit_key(identity, IDENTITY_DIGEST_PREFIX)
            return self._key_prefix + identity
        if type(ip) is not str or len(ip) > SURELY_SHORT_KEY:
            ip = fit_key(ip, RAW_DIGEST_PREFIX)
        return self._key_prefix + ip

    def _args(self, cost: float, now_ms: Optional[int]) -> Tuple[str, ...]:
        if cost != 1:
            if isinstance(cost, bool) or not isinstance(cost, (int, float)) \
                    or not math.isfinite(cost) or cost <= 0:
                raise ValueError(f"cost must be a finite number > 0; got {cost!r}")
            if self._algorithm == "sliding_window" and cost != int(cost):
                raise ValueError(f"the sliding window counts whole requests: cost must be a "
                                 f"whole number; got {cost!r}")
        capacity, rate, window = self._settings
        return (capacity, rate, window, repr(float(cost)),
                "" if now_ms is None else str(int(now_ms)))

    def _outcome(self, reply: Any) -> Tuple[int, Optional[int], Optional[int], Optional[int]]:
        allowed, remaining, admit, whole = (int(v) for v in reply[:4])
        if allowed:
            outcome = 1 | (_WITHIN << 2)
        elif self._mode == "shadow":
            outcome = 1 | 2 | _refused_outcome(self._algorithm)
        else:
            outcome = 2 | _refused_outcome(self._algorithm)
        return (outcome, remaining, None if admit < 0 else admit,
                None if whole < 0 else whole)

    # -- lease mode -------------------------------------------------------------------------

    def _from_lease(self, key: str) -> Optional[Tuple[int, Optional[int], Optional[int],
                                                      Optional[int]]]:
        """The decision this process can make alone for a request of cost 1: a unit of the
        client's lease, or the refusal it was given until the client may retry; None when
        Redis must be asked."""
        held = self._held.get(key)
        if held is None:
            return None
        now = _monotonic()
        if now < held[2]:
            self._stats["local"] += 1
            return (self._refused_here, 0, max(0, math.ceil((held[2] - now) * 1000)), None)
        if held[0] >= 1 and now < held[1]:
            held[0] -= 1
            self._stats["local"] += 1
            return (_ADMITTED, held[3] + held[0], None, None)
        return None

    def _lease_args(self, args: Tuple[str, ...], cost: float) -> Tuple[str, ...]:
        return args + (self._lease_units,) if self._lease_units and cost == 1 else args

    def _keep_lease(self, key: str, reply: Any, cost: float) -> None:
        if not self._lease_units or cost != 1:
            return
        allowed, remaining, admit, whole, granted = (int(v) for v in reply[:5])
        now = time.monotonic()
        held = self._held
        # Room is made only for a client not held yet: a full table of clients that keep
        # coming back renews their leases in place. Expired entries go first, then the oldest
        # quarter (their unspent units are lost: fewer admissions, never more).
        if len(held) >= _MAX_LEASES and key not in held:
            for stale in [k for k, v in held.items() if v[1] <= now and v[2] <= now]:
                del held[stale]
            # A quarter of the room is made each time, the oldest going when too few have
            # expired: otherwise a steady flow of new clients, a few expiring between two of
            # them, would pay for a scan of the whole table on every request.
            excess = len(held) - (_MAX_LEASES - _MAX_LEASES // 4)
            if excess > 0:
                for oldest in list(itertools.islice(held, excess)):
                    del held[oldest]
        if allowed:
            lifetime = self._lease_s
            if self._algorithm == "fixed_window" and whole >= 0:
                # Units of this window are not spent in the next one.
                lifetime = min(lifetime, whole / 1000.0)
            held[key] = [granted - 1, now + lifetime, 0.0, remaining]
        else:
            until = now + (admit / 1000.0 if admit >= 0 else self._lease_s)
            held[key] = [0, 0.0, until, 0]

    def _skip_redis(self) -> bool:
        down = self._down_until
        return down != 0.0 and time.monotonic() < down

    def _failed(self, error: BaseException) -> None:
        self._stats["errors"] += 1
        first = self._down_until == 0.0
        self._down_until = time.monotonic() + self._retry_after_s
        if first and self._on_event is not None:
            self._on_event("fallback", error)

    def _answered(self) -> None:
        if self._down_until != 0.0:
            self._down_until = 0.0
            self._stats["recoveries"] += 1
            if self._on_event is not None:
                self._on_event("recovery", None)

    def _without_redis(self, ip: str, route: str, identity: Optional[str],
                       cost: float) -> Tuple[int, Optional[int], Optional[int], Optional[int]]:
        self._stats["fallbacks"] += 1
        if self._on_error == "local":
            # Keyed by the same bounded text as in Redis (the identity if given, else the
            # address), which the engine keys by when it is passed as the address alone.
            client = self._key(ip, identity)[len(self._key_prefix):]
            decide = self._local._decide
            numbers: Tuple[int, Optional[int], Optional[int], Optional[int]] = tuple(
                decide(client, route, None) if cost == 1 else decide(client, route, None, cost))
            return numbers
        if self._on_error == "allow":
            return (1 | (_WITHIN << 2), None, None, None)
        refused = _refused_outcome(self._algorithm)
        return ((1 | 2 | refused) if self._mode == "shadow" else (2 | refused),
                0, None, None)

    def _before(self, client: Any, other: str, ip: str, route: str, identity: Optional[str],
                cost: float, now_ms: Optional[int]) -> Tuple[Any, Any]:
        """What both entries do before Redis: (key, arguments) for the script, or (None,
        numbers) when the request is decided without a round trip (disabled, a lease or a
        remembered refusal, Redis resting after a failure)."""
        if self._mode == "disabled":
            return None, (1, None, None, None)
        if client is None:
            raise TypeError(f"this Redis limiter was built with {other}")
        key = self._key(ip, identity)
        if self._host is not None and cost == 1:
            return self._before_host(key, ip, route, identity, now_ms)
        if self._held and cost == 1:
            local = self._from_lease(key)
            if local is not None:
                return None, local
        args = self._args(cost, now_ms)
        if self._skip_redis():
            return None, self._without_redis(ip, route, identity, cost)
        self._stats["calls"] += 1
        return key, self._lease_args(args, cost)

    def _before_host(self, key: str, ip: str, route: str, identity: Optional[str],
                     now_ms: Optional[int]) -> Tuple[Any, Any]:
        """``_before`` for a request of cost 1 with the host's leases: a unit of the host's
        batch (with the next batch to fetch, an ``_Ahead``, when this one runs low) or its
        remembered refusal, else the script's arguments, with the units to ask for when this
        process is to fetch the host's next batch."""
        step, value, want = self._host._lease_take(key, self._fetch_budget_ms)
        if step == _LEASE_ADMITTED or step == _LEASE_ADMITTED_FETCH:
            self._stats["local"] += 1
            numbers = (_ADMITTED, int(value), None, None)
            if step == _LEASE_ADMITTED:
                return None, numbers
            if self._skip_redis():
                self._host._lease_put(key, 0, 0, 0, 0)
                return None, numbers
            self._stats["calls"] += 1
            return None, _Ahead(numbers, key, self._args(1, now_ms) + (str(want),))
        if step == _LEASE_REFUSED:
            self._stats["local"] += 1
            return None, (self._refused_here, 0, int(value), None)
        args = self._args(1, now_ms)
        if self._skip_redis():
            if step == _LEASE_FETCH:
                self._host._lease_put(key, 0, 0, 0, 0)
            return None, self._without_redis(ip, route, identity, 1)
        self._stats["calls"] += 1
        return key, args + (str(want),) if step == _LEASE_FETCH else args

    def _put_host(self, key: str, reply: Any, fetched: bool, spent: int) -> None:
        """Hands Redis's answer to the host's region: the batch this process fetched, less the
        `spent` units its own request took, or a refusal (which every process of the host then
        keeps until the client may retry)."""
        allowed, remaining, admit, whole, granted = (int(v) for v in reply[:5])
        if allowed:
            if fetched:
                lifetime = self._lease_s * 1000.0
                if self._algorithm == "fixed_window" and whole >= 0:
                    # Units of this window are not spent in the next one.
                    lifetime = min(lifetime, whole)
                self._host._lease_put(key, granted - spent, max(0, remaining), int(lifetime), 0)
        else:
            wait = admit if admit >= 0 else math.ceil(self._lease_s * 1000.0)
            self._host._lease_put(key, 0, 0, 0, wait)

    def _ahead_done(self, ahead: "_Ahead", reply: Any, error: Optional[Exception]
                    ) -> Tuple[int, Optional[int], Optional[int], Optional[int]]:
        """What both entries do once the fetch ahead is answered (or failed with `error`):
        the batch goes to the host's region, and the admitted request gets its numbers."""
        if error is not None:
            self._host._lease_put(ahead.key, 0, 0, 0, 0)  # the fetch ends with nothing to hold
            if not _is_redis_failure(error):
                raise error
            self._failed(error)
        else:
            self._answered()
            self._put_host(ahead.key, reply, True, 0)
        return ahead.numbers

    def _fetch_ahead(self, ahead: "_Ahead") -> Tuple[int, Optional[int], Optional[int],
                                                      Optional[int]]:
        """The host's next batch, fetched by the request that took its batch low; that request
        was admitted already and is answered once the batch is in, while the host's other
        workers spend what is left."""
        try:
            reply = self._send(ahead.key, ahead.args) if self._pool is not None \
                else self._script(keys=(ahead.key,), args=ahead.args)
        except Exception as error:  # noqa: BLE001
            return self._ahead_done(ahead, None, error)
        return self._ahead_done(ahead, reply, None)

    async def _afetch_ahead(self, ahead: "_Ahead") -> Tuple[int, Optional[int], Optional[int],
                                                             Optional[int]]:
        """As ``_fetch_ahead``, awaiting the asyncio client. Awaited by its request rather than
        left to a task, which a loop busy with requests decided locally would not run before
        the host's batch ran out."""
        try:
            reply = await asyncio.wait_for(self._ascript(keys=(ahead.key,), args=ahead.args),
                                           self._timeout_s)
        except Exception as error:  # noqa: BLE001
            return self._ahead_done(ahead, None, error)
        return self._ahead_done(ahead, reply, None)

    def _after(self, key: str, args: Tuple[str, ...], reply: Any,
               cost: float) -> Tuple[int, Optional[int], Optional[int], Optional[int]]:
        self._answered()
        if self._host is not None:
            if cost == 1:
                self._put_host(key, reply, len(args) > 5, 1)
        else:
            self._keep_lease(key, reply, cost)
        return self._outcome(reply)

    def _after_failure(self, error: Exception, key: str, args: Tuple[str, ...], ip: str,
                       route: str, identity: Optional[str],
                       cost: float) -> Tuple[int, Optional[int], Optional[int], Optional[int]]:
        if self._host is not None and len(args) > 5:
            self._host._lease_put(key, 0, 0, 0, 0)  # the fetch ends with nothing to hold
        if not _is_redis_failure(error):
            raise error
        self._failed(error)
        return self._without_redis(ip, route, identity, cost)

    def _decide(self, ip: str, route: str, identity: Optional[str] = None, cost: float = 1,
                now_ms: Optional[int] = None) -> Tuple[int, Optional[int], Optional[int],
                                                       Optional[int]]:
        """The lean entry's numbers (outcome, remaining, admit_after_ms, whole_after_ms) for
        one request, on the synchronous client. `now_ms` replaces the server's clock (tests)."""
        key, args = self._before(self._script, _ASYNC_ONLY, ip, route, identity, cost, now_ms)
        if key is None:
            if type(args) is _Ahead:
                return self._fetch_ahead(args)
            return args  # type: ignore[no-any-return]
        try:
            reply = self._send(key, args) if self._pool is not None \
                else self._script(keys=(key,), args=args)
        except Exception as error:  # noqa: BLE001 - every client failure has one answer
            return self._after_failure(error, key, args, ip, route, identity, cost)
        return self._after(key, args, reply, cost)

    def _send(self, key: str, args: Tuple[str, ...]) -> Any:
        """One EVALSHA on one of the limiter's connections, and EVAL when the server lacks the
        script. A connection the server has closed while it sat idle (a restart, a killed
        client) is replaced before the request goes out; once a request has been sent it is
        never sent again, since the server may have counted it: a connection lost then is a
        failure for the policy. A connection whose exchange failed is closed, so that a late
        reply can never answer the next check."""
        from redis.exceptions import NoScriptError  # type: ignore[import-not-found,unused-ignore]

        tail = [_bulk(key.encode()), self._packed_settings]
        for arg in args[3:]:
            tail.append(_bulk(arg.encode()))
        rest = b"".join(tail)
        count = b"*%d\r\n" % (3 + len(args) + 1)
        idle = self._idle
        try:
            connection = idle.pop()
            sock = getattr(connection, "_sock", None)
            # An idle connection has nothing to read unless its server closed it.
            if sock is not None and select.select((sock,), (), (), 0)[0]:
                connection.disconnect()
        except IndexError:
            connection = self._pool.make_connection()
        try:
            connection.send_packed_command([count + self._packed_head + rest], check_health=False)
            try:
                return connection.read_response()
            except NoScriptError:
                connection.send_packed_command([count + self._packed_eval_head + rest],
                                               check_health=False)
                return connection.read_response()
        except BaseException:
            connection.disconnect()
            raise
        finally:
            idle.append(connection)

    async def _adecide(self, ip: str, route: str, identity: Optional[str] = None,
                       cost: float = 1, now_ms: Optional[int] = None
                       ) -> Tuple[int, Optional[int], Optional[int], Optional[int]]:
        """As ``_decide``, awaiting the asyncio client."""
        key, args = self._before(self._ascript, _SYNC_ONLY, ip, route, identity, cost, now_ms)
        if key is None:
            if type(args) is _Ahead:
                return await self._afetch_ahead(args)
            return args  # type: ignore[no-any-return]
        try:
            reply = await asyncio.wait_for(self._ascript(keys=(key,), args=args),
                                           self._timeout_s)
        except Exception as error:  # noqa: BLE001
            return self._after_failure(error, key, args, ip, route, identity, cost)
        return self._after(key, args, reply, cost)

    def _result(self, numbers: Tuple[Any, ...], route: str, started: float) -> Dict[str, Any]:
        outcome, remaining, admit, whole = numbers
        latency = int((_perf_counter() - started) * 1000)
        allowed, would_block, reason, decision = _OUTCOMES[outcome]
        if reason is None:
            return {"allowed": True, "would_block": False,
                    "decision": {"decision": "allow", "reason": "within_limit",
                                 "algorithm": self._algorithm, "route": route,
                                 "remaining": None, "latency_ms": latency}}
        return {"allowed": allowed, "would_block": would_block, "reason": reason,
                "decision": {"decision": decision, "reason": reason,
                             "algorithm": self._algorithm, "route": route,
                             "remaining": remaining, "latency_ms": latency},
                "admit_after_ms": admit, "whole_after_ms": whole}

    def check(self, ip: str, route: str, identity: Optional[str] = None,
              cost: float = 1) -> Dict[str, Any]:
        """Decides one request (one Redis round trip) and answers as ``NativeEngine.check``,
        with the waits ``admit_after_ms`` and ``whole_after_ms`` beside."""
        started = _perf_counter()
        return self._result(self._decide(ip, route, identity, cost), route, started)

    async def acheck(self, ip: str, route: str, identity: Optional[str] = None,
                     cost: float = 1) -> Dict[str, Any]:
        """As ``check``, awaiting the asyncio client."""
        started = time.perf_counter()
        return self._result(await self._adecide(ip, route, identity, cost), route, started)

    def _serves(self, awaited: bool) -> bool:
        """Whether this limiter has the client that `awaited` (asyncio) checks need."""
        return (self._ascript if awaited else self._script) is not None

    def close(self) -> None:
        """Closes the synchronous client's connections if this limiter made the client."""
        while self._idle:
            self._idle.pop().disconnect()
        if self._sync is not None:
            self._sync.close()

    async def aclose(self) -> None:
        if self._async is not None:
            await self._async.aclose()


def _digest(source: str) -> bytes:
    """The name the server gives a script: the hex SHA-1 of its text."""
    return hashlib.sha1(source.encode()).hexdigest().encode()


def _bulk(value: bytes) -> bytes:
    return b"$%d\r\n%s\r\n" % (len(value), value)


def _is_cluster(client: object) -> bool:
    import redis.asyncio.cluster  # type: ignore[import-not-found,unused-ignore]
    import redis.cluster  # type: ignore[import-not-found,unused-ignore]

    return isinstance(client, (redis.cluster.RedisCluster, redis.asyncio.cluster.RedisCluster))


def _is_redis_failure(error: BaseException) -> bool:
    import redis.exceptions  # type: ignore[import-not-found,unused-ignore]

    return isinstance(error, (redis.exceptions.RedisError, OSError, asyncio.TimeoutError))


def _no_resend(module: Any) -> Any:
    """No retry: a command whose connection dropped may already have been counted by the
    server, so it is answered by the failure policy rather than sent again. An idle
    connection the server closed (a restart) is found before use instead: the asyncio pool
    checks each connection it hands out, and the synchronous check polls its own."""
    from redis.backoff import NoBackoff  # type: ignore[import-not-found,unused-ignore]

    return module.retry.Retry(NoBackoff(), 0)


def _pool_copy(redis_module: Any, client: Any, timeout_s: float) -> Any:
    """A synchronous client on `client`'s connection settings with the limiter's time budget,
    so that one slow answer cannot hold a request longer than the budget."""
    pool = client.connection_pool
    kwargs = dict(pool.connection_kwargs)
    kwargs["socket_timeout"] = timeout_s
    kwargs["socket_connect_timeout"] = timeout_s
    kwargs["retry"] = _no_resend(redis_module)
    kwargs["retry_on_timeout"] = False
    return redis_module.Redis(connection_pool=redis_module.ConnectionPool(
        connection_class=pool.connection_class, **kwargs))


def _verify(redis_module: Any, sync_kwargs: Dict[str, Any], connection_class: Any,
            algorithm: str) -> None:
    """Connects once, now, so that an unreachable server or one without scripting is an
    error when the limiter is built rather than on its first request."""
    probe = redis_module.Redis(connection_pool=redis_module.ConnectionPool(
        connection_class=connection_class, **sync_kwargs))
    try:
        try:
            probe.ping()
        except Exception as error:
            raise ConnectionError(f"tolm.limiter: redis is not reachable: {error}") from error
        try:
            probe.script_load(script_source(algorithm))
        except redis_module.exceptions.ResponseError as error:
            raise ValueError(f"tolm.limiter: the redis server refused the limiter's script "
                             f"(is scripting disabled?): {error}") from error
    finally:
        probe.close()


def _positive_ms(setting: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not math.isfinite(value) or value <= 0:
        raise ValueError(f"tolm.limiter: {setting} must be a finite number of ms > 0; "
                         f"got {value!r}")
    return value


def redis_limiter(redis: object, *, algorithm: str, mode: str, capacity: float,
                  refill_rate: float, window_ms: int, redis_prefix: object,
                  on_redis_error: object, redis_timeout_ms: object,
                  on_redis_event: object, local_factory: Callable[[], Any],
                  lease: object = None, lease_ms: object = 1000,
                  host_factory: Optional[Callable[[int, int], Any]] = None) -> RedisLimiter:
    """A RedisLimiter from ``tolm.limiter``'s checked settings and the Redis options.
    ``host_factory(lease, lease_ms)``, given with a shared region's name, opens the region
    that keeps the host's leases (an engine that is also the fallback limiter)."""
    try:
        import redis as redis_module  # type: ignore[import-not-found,unused-ignore]
        import redis.asyncio as redis_asyncio  # type: ignore[import-not-found,unused-ignore]
    except ImportError as error:
        raise ImportError("tolm.limiter: redis= needs the redis package: "
                          "pip install tolm[redis]") from error
    prefix = _text_setting("redis_prefix", redis_prefix)
    if on_redis_error not in ON_ERROR_CHOICES:
        raise ValueError(f"tolm.limiter: on_redis_error must be one of "
                         f"{', '.join(map(repr, ON_ERROR_CHOICES))}; got {on_redis_error!r}")
    redis_timeout_ms = _positive_ms("redis_timeout_ms", redis_timeout_ms)
    if on_redis_event is not None and not callable(on_redis_event):
        raise TypeError(f"tolm.limiter: on_redis_event must be a callable (kind, error) or "
                        f"None; got {on_redis_event!r}")
    if lease is not None and (isinstance(lease, bool) or not isinstance(lease, int)
                              or lease < 1):
        raise ValueError(f"tolm.limiter: lease must be a whole number of units >= 1 (the "
                         f"largest batch a process takes), or None; got {lease!r}")
    lease_ms = _positive_ms("lease_ms", lease_ms)
    host: Any = None
    if host_factory is not None:
        if not lease:
            raise ValueError("tolm.limiter: shared= with redis= keeps the host's leases: give "
                             "lease=k too")
        host = host_factory(lease, math.ceil(float(lease_ms)))

        def local_factory() -> Any:
            return host
    timeout_s = float(redis_timeout_ms) / 1000.0
    sync_client: Any = None
    async_client: Any = None
    source_pool: Any
    if isinstance(redis, str):
        if not redis.startswith(("redis://", "rediss://", "unix://")):
            raise ValueError(f"tolm.limiter: redis must be a redis://, rediss:// or unix:// "
                             f"URL, or a redis client; got {redis!r}")
        options: Dict[str, Any] = {"socket_timeout": timeout_s, "socket_connect_timeout": timeout_s,
                   "retry_on_timeout": False}
        sync_client = redis_module.Redis.from_url(redis, retry=_no_resend(redis_module),
                                                  **options)
        async_client = redis_asyncio.Redis.from_url(
            redis, retry=_no_resend(redis_asyncio), **options)
        source_pool = sync_client.connection_pool
        connection_class = source_pool.connection_class
    elif isinstance(redis, redis_module.Redis):
        sync_client = _pool_copy(redis_module, redis, timeout_s)
        connection_class = redis.connection_pool.connection_class
        source_pool = sync_client.connection_pool
    elif isinstance(redis, redis_asyncio.Redis):
        async_client = redis
        source_pool = redis.connection_pool
        connection_class = {"SSLConnection": redis_module.SSLConnection,
                            "UnixDomainSocketConnection":
                                redis_module.UnixDomainSocketConnection}.get(
            source_pool.connection_class.__name__, redis_module.Connection)
    elif _is_cluster(redis):
        # A cluster client routes each check to the node owning the client's key (one key per
        # script), with its own connection settings: the time budget applies to asyncio only.
        cluster: Any = redis
        try:
            # (The asyncio cluster client cannot be probed synchronously.)
            if isinstance(cluster, redis_module.cluster.RedisCluster):
                cluster.ping()
                cluster.script_load(script_source(algorithm))
        except redis_module.exceptions.ResponseError as error:
            raise ValueError(f"tolm.limiter: the redis server refused the limiter's script "
                             f"(is scripting disabled?): {error}") from error
        except Exception as error:
            raise ConnectionError(f"tolm.limiter: redis is not reachable: {error}") from error
        if isinstance(cluster, redis_module.cluster.RedisCluster):
            sync_client = cluster
        else:
            async_client = cluster
        return RedisLimiter(algorithm=algorithm, mode=mode, capacity=capacity,
                            refill_rate=refill_rate, window_ms=window_ms,
                            sync_client=sync_client, async_client=async_client, prefix=prefix,
                            on_error=on_redis_error, timeout_ms=float(redis_timeout_ms),
                            on_event=on_redis_event,
                            local=local_factory() if on_redis_error == "local" else None,
                            lease=lease or 0, lease_ms=float(lease_ms), host=host)
    else:
        raise TypeError(f"tolm.limiter: redis must be a redis:// URL, a redis.Redis, "
                        f"redis.asyncio.Redis or RedisCluster client; got "
                        f"{type(redis).__name__}")
    probe_kwargs = {k: v for k, v in source_pool.connection_kwargs.items()
                    if k not in ("retry",)}
    probe_kwargs["socket_timeout"] = max(timeout_s, 1.0)
    probe_kwargs["socket_connect_timeout"] = max(timeout_s, 1.0)
    _verify(redis_module, probe_kwargs, connection_class, algorithm)
    return RedisLimiter(algorithm=algorithm, mode=mode, capacity=capacity,
                        refill_rate=refill_rate, window_ms=window_ms, sync_client=sync_client,
                        async_client=async_client, prefix=prefix, on_error=on_redis_error,
                        timeout_ms=float(redis_timeout_ms), on_event=on_redis_event,
                        local=local_factory() if on_redis_error == "local" else None,
                        lease=lease or 0, lease_ms=float(lease_ms), host=host)
