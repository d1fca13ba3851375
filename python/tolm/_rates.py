"""Rates as people write them: ``"100/minute"``, ``"10 per second"``, ``"5 per 15 minutes"``.

``lib/rates.js`` reads the same texts the same way, and ``tests/rate_cases.json`` holds both to
one table of accepted and refused texts.

    rate   = count ("/" | "per") [length] unit
    count  = a whole number from 1 to 10**12
    length = a whole number >= 1 (the window is `length` units; 1 when left out)
    unit   = second | minute | hour | day, singular or plural, any case

Blanks may stand around the parts. The window is at most 366 days.
"""

from __future__ import annotations

import re
from typing import NamedTuple

UNIT_MS = {"second": 1000, "minute": 60_000, "hour": 3_600_000, "day": 86_400_000}
MAX_COUNT = 10**12
MAX_WINDOW_MS = 366 * UNIT_MS["day"]
EXAMPLES = '"100/minute", "10 per second" or "5 per 15 minutes"'

# Digits only, so "1e3", "0x10", "1_000" and signs are refused rather than guessed at.
_RATE = re.compile(r"\s*([0-9]+)\s*(?:/|\s+per\s+|per\s+)\s*(?:([0-9]+)\s*)?"
                   r"(second|minute|hour|day)s?\s*", re.IGNORECASE | re.ASCII)


class Rate(NamedTuple):
    """`limit` requests per `window_ms` milliseconds."""

    limit: int
    window_ms: int

    @property
    def per_second(self) -> float:
        """The steady rate a bucket refills at to admit `limit` per window."""
        return self.limit / (self.window_ms / 1000)


def parse_rate(text: object, owner: str = "tolm.limiter") -> Rate:
    """The rate `text` describes; TypeError or ValueError, showing accepted texts, otherwise."""
    if not isinstance(text, str):
        raise TypeError(f"{owner}: rate must be a str such as {EXAMPLES}; "
                        f"got {text!r} ({type(text).__name__})")
    found = _RATE.fullmatch(text) if len(text) <= 100 else None
    if found is None:
        raise ValueError(f"{owner}: rate {text[:100]!r} is not a rate; write it as {EXAMPLES} "
                         f"(units: second, minute, hour, day)")
    count = int(found.group(1))
    length = int(found.group(2)) if found.group(2) is not None else 1
    if not 1 <= count <= MAX_COUNT:
        raise ValueError(f"{owner}: rate {text!r} must allow from 1 to {MAX_COUNT} requests; "
                         f"write it as {EXAMPLES}")
    window_ms = length * UNIT_MS[found.group(3).lower()]
    if not 1 <= window_ms <= MAX_WINDOW_MS:
        raise ValueError(f"{owner}: rate {text!r} needs a window from 1 second to 366 days; "
                         f"write it as {EXAMPLES}")
    return Rate(count, window_ms)
