"""Several limits on one route: ``tolm.limits(per_second, per_hour)`` admits a request only
when every limit does, and a refusal by one spends nothing of the others."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from ._keys import IDENTITY_DIGEST_PREFIX, RAW_DIGEST_PREFIX, fit_key
from ._limiter import OUTCOMES, Limiter, checked_cost, decision_of, hidden

Numbers = Tuple[int, Optional[int], Optional[int], Optional[int]]


def took_units(outcome: int) -> bool:
    """Whether a check with this outcome took units from the allowance: it was evaluated
    (a reason) and the limit did not refuse it."""
    return outcome >= 4 and outcome & 2 == 0


class Limits:
    """Limiters that decide one request together. Each checks the request in turn; when any
    refuses, the units the others took for it are given back (``refund``), so a refused
    request counts against none of them. The headers list every policy under its own name."""

    __slots__ = ("limiters",)

    def __init__(self, limiters: Tuple[Limiter, ...]) -> None:
        self.limiters = limiters

    def check_all(self, ip: str, identity: Optional[str], route: str,
                  cost: float) -> List[Numbers]:
        """Every limiter's numbers for one request, after the refunds a refusal calls for.
        `ip` and `identity` are already keys; the engine keys by the identity if given."""
        results = [limiter.engine._decide(ip, route, identity) if cost == 1
                   else hidden(limiter.engine)._decide(ip, route, identity, cost)
                   for limiter in self.limiters]
        if any(numbers[0] & 1 == 0 for numbers in results):
            key = ip if identity is None else identity
            for limiter, numbers in zip(self.limiters, results):
                if took_units(numbers[0]):
                    hidden(limiter.engine)._adjust(key, -cost)
        return results

    def decide(self, ip: str, route: str, identity: Optional[str] = None,
               cost: float = 1) -> Dict[str, Any]:
        """One request against every limit: the decision of ``Limiter.decide``, refused when any
        limit refuses (with that limit's reason and wait), with the fewest requests left of
        any limit, and "limits": each limiter's own decision, in order."""
        ip = fit_key(ip, RAW_DIGEST_PREFIX)
        identity = fit_key(identity, IDENTITY_DIGEST_PREFIX)
        if not (cost == 1 and type(cost) in (int, float)):
            cost = checked_cost("Limits.decide", cost)
        key = ip if identity is None else identity
        results = self.check_all(ip, identity, route, cost)
        each = [decision_of(numbers, limiter.algorithm, key, cost)
                for limiter, numbers in zip(self.limiters, results)]
        decision = combined(results, each, key, cost)
        decision["limits"] = each
        return decision

    def reset(self, key: str) -> None:
        for limiter in self.limiters:
            limiter.reset(key)

    def refund(self, key: str, units: float = 1) -> None:
        for limiter in self.limiters:
            limiter.refund(key, units)

    def penalize(self, key: str, units: float = 1) -> None:
        for limiter in self.limiters:
            limiter.penalize(key, units)

    def block(self, key: str, seconds: float) -> None:
        for limiter in self.limiters:
            limiter.block(key, seconds)

    def __iter__(self) -> Any:
        return iter(self.limiters)

    def __len__(self) -> int:
        return len(self.limiters)

    def __repr__(self) -> str:
        return f"tolm.limits({', '.join(repr(limiter) for limiter in self.limiters)})"


def combined(results: List[Numbers], each: List[Dict[str, Any]], key: str,
             cost: float) -> Dict[str, Any]:
    """One decision for several: refused (or would-be refused) by the first limit that
    refuses; the fewest remaining; the longest of the waits."""
    allowed = all(d["allowed"] for d in each)
    would_block = any(d["would_block"] for d in each)
    first = next((d for d in each if not d["allowed"]), None) \
        or next((d for d in each if d["would_block"]), each[0])
    remaining = [d["remaining"] for d in each if d["remaining"] is not None]
    admit = [d["admit_after_ms"] for d in each
             if d["would_block"] and d["admit_after_ms"] is not None]
    whole = [d["whole_after_ms"] for d in each if d["whole_after_ms"] is not None]
    return {"allowed": allowed, "would_block": would_block, "reason": first["reason"],
            "algorithm": first["algorithm"], "remaining": min(remaining) if remaining else None,
            "admit_after_ms": max(admit) if admit else None,
            "whole_after_ms": max(whole) if whole else None, "key": key, "cost": cost}


def limits(*limiters: Limiter) -> Limits:
    """Several limiters as one, for the middleware (or ``decide``): ``limits(limiter(rate=
    "10/second", name="burst"), limiter(rate="1000/hour", name="hourly"))``. Each needs its
    own name, which the headers carry."""
    if len(limiters) == 1 and isinstance(limiters[0], (list, tuple)):
        limiters = tuple(limiters[0])
    if not limiters:
        raise TypeError("tolm.limits: give at least one limiter, e.g. "
                        "tolm.limits(tolm.limiter(rate='10/second', name='burst'), ...)")
    names: Dict[str, int] = {}
    for index, limiter in enumerate(limiters):
        if not isinstance(limiter, Limiter):
            raise TypeError(f"tolm.limits: every limit must be built by tolm.limiter(...); "
                            f"got {limiter!r} at position {index}")
        if limiter.name in names:
            raise ValueError(f"tolm.limits: two limits are named {limiter.name!r} (positions "
                             f"{names[limiter.name]} and {index}), and the headers could not "
                             f"tell them apart; give each a name: "
                             f"tolm.limiter(..., name='per_second')")
        names[limiter.name] = index
    return Limits(tuple(limiters))


__all__ = ["Limits", "limits", "took_units", "OUTCOMES"]
