"""Type stub for the tolm_native extension module: in-process rate limiting."""

from typing import Tuple, List, Optional, SupportsFloat, SupportsIndex, Union

from typing_extensions import Literal, NotRequired, TypedDict

__all__: List[str]

DecisionText = Literal["allow", "block", "would_block"]
ReasonText = Literal["within_limit", "limit_exceeded", "token_exhausted"]

class DecisionRecord(TypedDict):
    """The nested "decision" dictionary of a check result, keys in this order."""

    decision: DecisionText
    reason: ReasonText
    algorithm: str
    """The algorithm text exactly as given to the constructor."""
    route: str
    remaining: Optional[int]
    """Allowance left after this request; None in "disabled" mode."""
    latency_ms: Optional[int]
    """Milliseconds the check took; always an int in practice."""

class CheckResult(TypedDict):
    """What NativeEngine.check returns, keys in this order."""

    allowed: bool
    """The request may proceed (always True in "shadow" and "disabled" mode)."""
    would_block: bool
    """The limit refused the request, enforced or not."""
    reason: NotRequired[ReasonText]
    """Absent in "disabled" mode."""
    decision: DecisionRecord

class NativeEngine:
    """One rate-limit engine with its own per-client state.

    algorithm_str: "token_bucket", "sliding_window", "fixed_window" or "leaky_bucket";
        any other text runs the token bucket and is still reported as given.
    mode_str: "active", "shadow" or "disabled"; any other text is "active".
    capacity: bucket size, or requests per 60-second window.
    refill_rate: tokens added (token bucket) or units drained (leaky bucket) per second.
    api_key: when not None, every evaluated check is recorded as a telemetry event.
    debug: stored, not consulted.
    backend_url: stored with the telemetry queue, never contacted.
    """

    def __new__(
        cls,
        algorithm_str: str,
        mode_str: str,
        capacity: Union[SupportsFloat, SupportsIndex],
        refill_rate: Union[SupportsFloat, SupportsIndex],
        api_key: Optional[str],
        debug: Optional[str],
        backend_url: str,
    ) -> "NativeEngine": ...
    def check(self, ip: str, route: str, identity: Optional[str] = None) -> CheckResult:
        """Decides one request from `ip` on `route`; `identity`, when given, is the client key
        instead of `ip`. Raises PanicException (a BaseException) on a fatal internal failure."""
        ...
    def _decide(self, ip: str, route: str, identity: Optional[str],
                cost: Union[SupportsFloat, SupportsIndex] = 1, /
                ) -> Tuple[int, Optional[int], Optional[int], Optional[int]]:
        """The middleware's check, deciding as `check` does: (outcome, remaining,
        admit_after_ms, whole_after_ms), None where unknown. The outcome packs allowed (1),
        would_block (2) and, above them, 0 for no reason (disabled mode) or 1 + the reason's
        code (within_limit, limit_exceeded, token_exhausted). `cost`: the units the request
        takes, admitted whole or not at all (> 0; whole numbers for the window algorithms);
        ValueError for a bad cost."""
        ...
    def _stats(self) -> EngineStats:
        """Clients evicted to stay within max_clients, and the clients kept."""
        ...
    def _reset(self, key: str, /) -> None:
        """Forgets the client `key` (the identity checks key by, else the address)."""
        ...
    def _adjust(self, key: str, units: Union[SupportsFloat, SupportsIndex], /) -> None:
        """Gives back (units < 0) or takes (units > 0) allowance without a decision; whole
        units for the window algorithms. A refund never lifts a bucket's or fixed window's
        block."""
        ...
    def _block(self, key: str, duration_ms: Union[SupportsFloat, SupportsIndex], /) -> None:
        """Refuses `key` for duration_ms; only _reset ends it early. Afterwards a window's
        allowance is whole again and a bucket refills from empty."""
        ...
    def _clear(self) -> None:
        """Forgets every client (of the whole region for a shared engine)."""
        ...
    def _lease_take(self, key: str, fetch_budget_ms: Union[SupportsFloat, SupportsIndex], /
                    ) -> Tuple[int, float, int]:
        """For an engine opened with lease: what a request of `key` finds in the host's Redis
        lease, as (step, value, want). Step 0: a unit was taken (value: the allowance left);
        1: refused (value: the ms until the client may retry); 2: this process is to fetch
        `want` units, one for this request (another takes the fetch over after
        fetch_budget_ms); 3: another process is fetching, so ask Redis for this request alone;
        4: a unit was taken as for 0, and this process is to fetch the host's next `want`
        units. TypeError for an engine opened without lease."""
        ...
    def _lease_put(self, key: str, units: Union[SupportsFloat, SupportsIndex],
                   remaining: Union[SupportsFloat, SupportsIndex],
                   lifetime_ms: Union[SupportsFloat, SupportsIndex],
                   refused_ms: Union[SupportsFloat, SupportsIndex], /) -> None:
        """What Redis answered: `units` for the host to spend within lifetime_ms (added to
        what is left, up to the largest batch), `remaining` beyond them, or a refusal for
        refused_ms (> 0). Ends the fetch in progress; all zeros after a failed fetch."""
        ...

class EngineStats(TypedDict):
    evictions: int
    clients: int

def _open(
    algorithm: Literal["token_bucket", "sliding_window", "fixed_window", "leaky_bucket"],
    mode: Literal["active", "shadow", "disabled"],
    capacity: Union[SupportsFloat, SupportsIndex],
    refill_rate: Union[SupportsFloat, SupportsIndex],
    *,
    window_ms: Union[SupportsFloat, SupportsIndex] = 60000,
    max_clients: Union[SupportsFloat, SupportsIndex] = 0,
    shared: Optional[str] = None,
    clock: Literal["wall", "monotonic"] = "wall",
    api_key: Optional[str] = None,
    debug: Union[bool, str, None] = False,
    backend_url: str = "",
    lease: Union[SupportsFloat, SupportsIndex] = 0,
    lease_ms: Union[SupportsFloat, SupportsIndex] = 0,
) -> NativeEngine:
    """A NativeEngine for the friendly layers. window_ms: the window algorithms' length (a
    whole number >= 1). max_clients: 0 keeps every client; above 0 caps the clients kept
    (least-allowance eviction), and sizes the region of a shared engine, where it is required.
    shared: the name of a host-wide shared-memory region. clock: "wall", or "monotonic" for
    elapsed time that never steps back (a shared engine always reads its region's clock).
    lease (with shared, and lease_ms above 0): the region holds the host's Redis leases of
    batches of at most `lease` units (_lease_take, _lease_put) instead of the clients' states,
    which stay in the engine.
    Raises ValueError or TypeError naming a bad option, OSError when a region cannot be
    opened or holds other settings."""
    ...

def _remove_shared(name: str, /) -> bool:
    """Removes the shared region `name` (engines that have it open keep it); False when there
    was none."""
    ...
