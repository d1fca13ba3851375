"""Checking what callers pass: the closest known name to a misspelt one, the shown form of a
wrong value, and the checks ``tolm.limiter()`` and the middleware share."""

from __future__ import annotations

import difflib
import functools
import inspect
import math
import numbers
from typing import Any, Callable, Optional, Sequence, TypeVar


def closest(value: str, choices: Sequence[str]) -> Optional[str]:
    """The choice `value` was most likely meant to be, if any is close."""
    folded = value.strip().lower().replace("-", "_").replace(" ", "_")
    if folded in choices:
        return folded
    found = difflib.get_close_matches(folded, choices, n=1, cutoff=0.6)
    return found[0] if found else None


def _quoted(choices: Sequence[str]) -> str:
    return ", ".join(repr(c) for c in choices)


def choice(setting: str, value: object, choices: Sequence[str]) -> str:
    if not isinstance(value, str):
        raise TypeError(f"tolm.limiter: {setting} must be a str, one of {_quoted(choices)}; "
                        f"got {value!r} ({type(value).__name__})")
    if value not in choices:
        guess = closest(value, choices)
        hint = f"; did you mean {guess!r}?" if guess else ""
        raise ValueError(f"tolm.limiter: {setting} {value!r} is not one of "
                         f"{_quoted(choices)}{hint}")
    return value


def _shown(value: object) -> str:
    """`value` as an error message shows it: its repr, shortened when long."""
    try:
        text = repr(value)
    except ValueError:  # an int with more digits than Python will print
        return f"<{type(value).__name__} too large to print>"
    return text if len(text) <= 60 else f"{text[:40]}...({len(text)} characters)"


def number(setting: str, value: object, lowest: float, accepted: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"tolm.limiter: {setting} must be {accepted}; "
                        f"got {_shown(value)} ({type(value).__name__})")
    try:
        number = float(value)
    except OverflowError:  # an int or Fraction beyond any float
        number = math.inf
    if not math.isfinite(number) or number < lowest:
        raise ValueError(f"tolm.limiter: {setting} must be {accepted}; got {_shown(value)}")
    return number


_F = TypeVar("_F", bound=Callable[..., Any])


def suggesting(owner: str, what: str = "setting") -> Callable[[_F], _F]:
    """Wraps a function of keyword settings (or options) so that a misspelt one is refused
    with the name it was most likely meant to be, rather than Python's bare "unexpected
    keyword"."""
    def wrap(function: _F) -> _F:
        known = tuple(inspect.signature(function).parameters)

        @functools.wraps(function)
        def checked(*args: Any, **kwargs: Any) -> Any:
            for name in kwargs:
                if name not in known:
                    guess = closest(name, known)
                    hint = f"; did you mean {guess!r}?" if guess else ""
                    raise TypeError(f"{owner}: unknown {what} {name!r}{hint}")
            return function(*args, **kwargs)
        return checked  # type: ignore[return-value]
    return wrap
