"""The rate-limit headers, from a limiter's settings and the numbers the engine hands back for
one request. ``lib/headers.js`` computes the same values by the same rules, and
``tests/header_cases.json`` holds both to them."""

from __future__ import annotations

import math
from typing import Dict, List, Optional, Tuple

# Largest Integer a structured header field may carry.
MAX_FIELD_INTEGER = 999_999_999_999_999
# The window algorithms' window when none is given.
WINDOW_MS = 60_000
# Most RateLimit texts kept for reuse.
_MEMO_LIMIT = 4096

Header = Tuple[str, str]


def ceil_div(amount: float, rate: float) -> Optional[int]:
    """Whole seconds after which `rate` per second has covered `amount`, by the same float
    product the engine computes; None when that is beyond what a header can say."""
    if not rate > 0:
        return None
    quotient = amount / rate
    if not quotient < MAX_FIELD_INTEGER:
        return None
    seconds = max(math.ceil(quotient), 0)
    while seconds * rate < amount:
        seconds += 1
    return seconds


def _seconds(ms: int) -> Optional[int]:
    """Milliseconds as whole seconds rounded up (a client told to wait is never told too
    little); None beyond what a header can say."""
    whole = -(-ms // 1000)
    return whole if whole <= MAX_FIELD_INTEGER else None


class Policy:
    """What the headers say for one limiter's settings, whatever the request."""

    __slots__ = ("name", "quota", "retry_bound", "policy_field", "_policy_header",
                 "_quota_text", "_prefix", "_fields")

    def __init__(self, algorithm: str, capacity: float, refill_rate: float,
                 window_ms: int = WINDOW_MS, name: Optional[str] = None) -> None:
        self.name = algorithm if name is None else name
        window: Optional[int]
        self.retry_bound: Optional[int]
        if algorithm in ("sliding_window", "fixed_window"):
            quota = math.floor(capacity)
            window = _seconds(window_ms)
            # Used only when the engine does not report a wait: a window restarts at most
            # one window after it opened; an accepted request leaves the sliding window once
            # it is more than a window old, a window and 1 ms rounded up.
            self.retry_bound = window if algorithm == "fixed_window" else _seconds(window_ms + 1)
        else:
            # The most a burst gets. The token bucket: its whole tokens. The leaky bucket
            # admits while its level is below capacity: from idle, capacity rounded up; but a
            # burst that starts once part of a unit has drained fits one more (capacity 5:
            # levels 0.99, 1.99, ... 4.99 after a first request), so with any drain the most
            # is capacity rounded down, plus one. The window stays the time to drain a full
            # bucket.
            if algorithm == "token_bucket":
                quota = math.floor(capacity)
                window = ceil_div(quota, refill_rate)
            else:
                quota = math.floor(capacity) + 1 if refill_rate > 0 else math.ceil(capacity)
                window = ceil_div(math.ceil(capacity), refill_rate)
            # A refused token bucket holds less than one token; a refused leaky bucket is
            # less than one unit above capacity. Either way one unit of refill is enough.
            self.retry_bound = ceil_div(1.0, refill_rate)
        self.quota = min(quota, MAX_FIELD_INTEGER)
        self._quota_text = str(self.quota)
        item = f'"{self.name}";q={self.quota}'
        self.policy_field = item if window is None else f"{item};w={window}"
        self._policy_header = ("RateLimit-Policy", self.policy_field)
        self._prefix = f'"{self.name}";r='
        # The last RateLimit header made for each remaining count, with its reset.
        self._fields: Dict[int, Tuple[Optional[int], List[Header]]] = {}

    def _standard(self, remaining: int, reset: Optional[int]) -> List[Header]:
        """RateLimit-Policy and the RateLimit header for `remaining` and `reset` seconds
        (None: never), kept for reuse (a key's reset seldom changes between its requests):
        the list is shared, and nobody may change it."""
        known = self._fields.get(remaining)
        if known is not None and known[0] == reset:
            return known[1]
        text = f"{self._prefix}{remaining}" if reset is None \
            else f"{self._prefix}{remaining};t={reset}"
        if len(self._fields) >= _MEMO_LIMIT:
            self._fields.clear()
        pair = [self._policy_header, ("RateLimit", text)]
        self._fields[remaining] = (reset, pair)
        return pair

    def retry_after(self, admit_after_ms: Optional[int]) -> Optional[int]:
        """Seconds after which a refused request is admitted: the engine's exact wait, else
        the bound for the algorithm; None for never."""
        return self.retry_bound if admit_after_ms is None else _seconds(admit_after_ms)

    def headers(self, numbers: Tuple[int, Optional[int], Optional[int], Optional[int]],
                now_ms: int, standard: bool, legacy: bool) -> List[Header]:
        """The headers for one request from the lean entry's numbers (outcome, remaining,
        admit_after_ms, whole_after_ms): RateLimit-Policy and RateLimit when `standard`,
        X-RateLimit-* when `legacy`, and Retry-After when the request is refused (answered
        429). The waits are ms from the check, None when unknown; `now_ms` is a clock reading
        taken after the check, which X-RateLimit-Reset counts from. An admitted request's
        list without legacy headers is shared between requests: the caller may not change
        it."""
        outcome, remaining, admit_after_ms, whole_after_ms = numbers
        wait_ms: Optional[int]
        if outcome & 2:  # refused by the limit, enforced or not
            count, wait_ms = 0, admit_after_ms
            reset = self.retry_bound if wait_ms is None else _seconds(wait_ms)
        else:
            count = remaining if remaining and remaining < MAX_FIELD_INTEGER \
                else (MAX_FIELD_INTEGER if remaining else 0)
            wait_ms = whole_after_ms
            if wait_ms is None:
                reset = None
            else:  # _seconds, inline on the path of every admitted request
                reset = -(-wait_ms // 1000)
                if reset > MAX_FIELD_INTEGER:
                    reset = None
            if not legacy:
                if not standard:
                    return []
                # The usual request, inline: the kept pair for this count and reset.
                known = self._fields.get(count)
                if known is not None and known[0] == reset:
                    return known[1]
                return self._standard(count, reset)
        out = list(self._standard(count, reset)) if standard else []
        if legacy:
            out.append(("X-RateLimit-Limit", self._quota_text))
            out.append(("X-RateLimit-Remaining", str(count)))
            if reset is not None:
                # The same moment as t, as a Unix time: from the exact wait when there is one.
                at = -(-(now_ms + wait_ms) // 1000) if wait_ms is not None \
                    else -(-now_ms // 1000) + reset
                out.append(("X-RateLimit-Reset", str(at)))
        if outcome & 1 == 0:  # refused: answered 429
            retry = self.retry_after(admit_after_ms)
            if retry is not None:
                out.append(("Retry-After", str(retry)))
        return out


# Where stacked middleware meet on one response: the fields that list every policy.
_LISTS = ("ratelimit-policy", "ratelimit")
_LEGACY = ("x-ratelimit-limit", "x-ratelimit-remaining", "x-ratelimit-reset")


def merged(headers: List[Header], fields: List[Header], front: bool = False) -> List[Header]:
    """`headers` (a response's, perhaps with another limiter's fields) with `fields` added,
    every field once: the RateLimit and RateLimit-Policy lists joined (each policy under its
    own name; `fields`' first when `front`, as a middleware further out adds its fields after
    the ones behind it), the largest Retry-After, and the X-RateLimit-* trio of whichever
    limiter has the fewest requests left."""
    names = {name.lower() for name, _ in headers}
    if not names.intersection(_LISTS) and "retry-after" not in names \
            and "x-ratelimit-remaining" not in names:
        return headers + fields
    out = list(headers)
    index = {name.lower(): i for i, (name, _) in enumerate(out)}
    theirs = {n: out[index[n]][1] for n in _LEGACY if n in index}
    ours = {name.lower(): value for name, value in fields if name.lower() in _LEGACY}
    take_legacy = not theirs or (
        "x-ratelimit-remaining" in ours and "x-ratelimit-remaining" in theirs
        and int(ours["x-ratelimit-remaining"]) < int(theirs["x-ratelimit-remaining"]))
    for name, value in fields:
        folded = name.lower()
        at = index.get(folded)
        if at is None:
            if folded in _LEGACY and not take_legacy:
                continue
            index[folded] = len(out)
            out.append((name, value))
        elif folded in _LISTS:
            out[at] = (out[at][0], f"{value}, {out[at][1]}" if front
                       else f"{out[at][1]}, {value}")
        elif folded == "retry-after":
            if int(value) > int(out[at][1]):
                out[at] = (out[at][0], value)
        elif folded in _LEGACY and take_legacy:
            out[at] = (out[at][0], value)
    if take_legacy and theirs and "x-ratelimit-reset" not in ours and \
            "x-ratelimit-reset" in index:
        del out[index["x-ratelimit-reset"]]
    return out
