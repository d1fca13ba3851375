"""``tolm.limiter()``: a checked set of settings around one native engine, and the rate-limit
header values those settings allow the middleware to send."""

from __future__ import annotations

import difflib
import importlib.util
import math
import numbers
import os
import platform
import struct
import sys
import time
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Tuple

from ._keys import IDENTITY_DIGEST_PREFIX, RAW_DIGEST_PREFIX, SURELY_SHORT_KEY, fit_key

if TYPE_CHECKING:  # the stub, without importing the extension module at import time
    from tolm_native import CheckResult, NativeEngine

ALGORITHMS = ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket")
MODES = ("active", "shadow", "disabled")

# Largest Integer a structured header field may carry.
MAX_FIELD_INTEGER = 999_999_999_999_999
# The window algorithms' fixed 60-second window.
WINDOW_S = 60
# Most remaining counts whose header texts are kept.
_MEMO_LIMIT = 4096

Header = Tuple[str, str]


def native_engine_class() -> "type[NativeEngine]":
    """``tolm_native.NativeEngine``, imported on first use so that the middleware modules load
    (and can be given any engine-like object) even where the native module is not importable.
    A native library that is there but cannot be loaded (cut short, or built for another
    machine) fails with an ImportError that names the file, this platform and the command that
    builds the library from source, rather than with the loader's message alone."""
    if "tolm_native" not in sys.modules:
        spec = importlib.util.find_spec("tolm_native")
        if spec is not None and spec.origin is not None:
            _refuse_cut_short(spec.origin)
    try:
        from tolm_native import NativeEngine
    except ImportError as error:
        spec = importlib.util.find_spec("tolm_native")
        # Only the loader's own failures carry the file's path; the module's refusals (such
        # as a second initialisation in one process) are not about the file and pass as they are.
        if spec is None or spec.origin is None or error.path is None:
            raise
        raise ImportError(
            f"tolm: cannot load the native library {spec.origin} on this {platform.system()} "
            f"{platform.machine()} system ({error}); build it from source with: "
            f"pip install --force-reinstall --no-binary tolm tolm") from error
    return NativeEngine


def _refuse_cut_short(path: str) -> None:
    """Raises the loader-failure ImportError for an ELF library shorter than its own headers
    say. The dynamic loader maps such a file without complaint and the process then dies of
    SIGBUS on the first page past the end, so a cut-short file must never reach it."""
    try:
        with open(path, "rb") as library:
            header = library.read(64)
            if header[:4] != b"\x7fELF" or header[4] != 2 or header[5] != 1:
                return  # not a 64-bit little-endian ELF file: the loader judges it
            size = os.fstat(library.fileno()).st_size
            (phoff, shoff) = struct.unpack_from("<QQ", header, 32)
            (phentsize, phnum, shentsize, shnum) = struct.unpack_from("<HHHH", header, 54)
            needed = max(64, phoff + phentsize * phnum, shoff + shentsize * shnum)
            if phoff + phentsize * phnum <= size and phentsize >= 56:
                library.seek(phoff)
                table = library.read(phentsize * phnum)
                for index in range(phnum):
                    (offset, _, _, file_size) = struct.unpack_from(
                        "<QQQQ", table, index * phentsize + 8)
                    needed = max(needed, offset + file_size)
    except (OSError, struct.error, IndexError):
        return  # unreadable here: the loader gives its own account
    if size < needed:
        raise ImportError(
            f"tolm: cannot load the native library {path} on this {platform.system()} "
            f"{platform.machine()} system (the file is cut short: {size} of at least {needed} "
            f"bytes); build it from source with: "
            f"pip install --force-reinstall --no-binary tolm tolm", path=path)


def closest(value: str, choices: Sequence[str]) -> Optional[str]:
    """The choice `value` was most likely meant to be, if any is close."""
    folded = value.strip().lower().replace("-", "_").replace(" ", "_")
    if folded in choices:
        return folded
    found = difflib.get_close_matches(folded, choices, n=1, cutoff=0.6)
    return found[0] if found else None


def _quoted(choices: Sequence[str]) -> str:
    return ", ".join(repr(c) for c in choices)


def _choice(setting: str, value: object, choices: Sequence[str]) -> str:
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


def _number(setting: str, value: object, lowest: float, accepted: str) -> float:
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


def _ceil_div(amount: float, rate: float) -> Optional[int]:
    """Whole seconds after which `rate` per second has covered `amount`, by the same float
    product the engine computes; None when that is beyond what a header can say."""
    if rate <= 0:
        return None
    quotient = amount / rate
    if not quotient < MAX_FIELD_INTEGER:
        return None
    seconds = max(math.ceil(quotient), 0)
    while seconds * rate < amount:
        seconds += 1
    return seconds


class Policy:
    """What the rate-limit headers say for one limiter's settings, and for each decision
    within the limits of what the engine reports (see docs/middleware.md, "Headers").

    ``remaining`` comes from the engine's exact count. ``reset`` is an upper bound on the
    seconds until the full quota is back, ``retry_after`` an upper bound on the seconds until
    a refused client is admitted again; both None when that never happens (a bucket with
    refill rate 0)."""

    __slots__ = ("name", "quota", "algorithm", "rate", "retry_after",
                 "window_reset", "policy_field", "_policy_header", "_refused_header",
                 "_admitted")

    def __init__(self, algorithm: str, capacity: float, refill_rate: float) -> None:
        self.name = algorithm
        self.algorithm = algorithm
        self.rate = refill_rate
        window: Optional[int]
        self.retry_after: Optional[int]
        if algorithm in ("sliding_window", "fixed_window"):
            quota = math.floor(capacity)
            window = WINDOW_S
            # A window restarts at most 60 s after it opened; an accepted request leaves the
            # sliding window only once it is more than 60 s old, hence 61 whole seconds.
            self.window_reset: Optional[int] = WINDOW_S if algorithm == "fixed_window" else 61
            self.retry_after = self.window_reset
        else:
            # From idle, the token bucket admits its whole tokens; the leaky bucket admits
            # while its level is below capacity, so a fractional capacity rounds up.
            quota = math.floor(capacity) if algorithm == "token_bucket" else math.ceil(capacity)
            window = _ceil_div(quota, refill_rate)
            self.window_reset = None
            # A refused token bucket holds less than one token; a refused leaky bucket is
            # less than one unit above capacity. Either way one unit of refill is enough.
            self.retry_after = _ceil_div(1.0, refill_rate)
        self.quota = min(quota, MAX_FIELD_INTEGER)
        item = f'"{self.name}";q={self.quota}'
        self.policy_field = item if window is None else f"{item};w={window}"
        # The per-request work is a lookup: header texts are kept per remaining count.
        self._policy_header = ("RateLimit-Policy", self.policy_field)
        self._refused_header = ("RateLimit", self._item(0, self.retry_after))
        self._admitted: Dict[int, Tuple[Header, Optional[int]]] = {}

    def _item(self, remaining: int, reset: Optional[int]) -> str:
        item = f'"{self.name}";r={remaining}'
        return item if reset is None else f"{item};t={reset}"

    def reset(self, remaining: int) -> Optional[int]:
        if self.window_reset is not None:
            return self.window_reset
        # The quota is back once `quota - remaining` units have refilled or drained: a token
        # bucket holds at least `remaining` tokens; a leaky bucket's level is at most
        # capacity minus `remaining` (below capacity + 1 when that is 0), and it admits the
        # whole quota once its level is below 1 minus the capacity's rounding up.
        return _ceil_div(self.quota - remaining, self.rate)

    def fields(self, result: CheckResult, legacy: bool, standard: bool) -> List[Header]:
        """The headers for one decision; empty in disabled mode, which evaluates nothing."""
        if "reason" not in result:
            return []
        if result["would_block"]:
            remaining, reset, header = 0, self.retry_after, self._refused_header
        else:
            remaining = min(result["decision"]["remaining"] or 0, MAX_FIELD_INTEGER)
            known = self._admitted.get(remaining)
            if known is None:
                reset = self.reset(remaining)
                known = (("RateLimit", self._item(remaining, reset)), reset)
                if len(self._admitted) >= _MEMO_LIMIT:
                    self._admitted.clear()
                self._admitted[remaining] = known
            header, reset = known
        out = [self._policy_header, header] if standard else []
        if legacy:
            out.append(("X-RateLimit-Limit", str(self.quota)))
            out.append(("X-RateLimit-Remaining", str(remaining)))
            if reset is not None:
                out.append(("X-RateLimit-Reset", str(math.ceil(time.time()) + reset)))
        return out


class Limiter:
    """A native engine built by ``tolm.limiter()``, with the settings it was built from (read
    only). ``check`` decides exactly as the engine does."""

    __slots__ = ("_engine", "_algorithm", "_mode", "_capacity", "_refill_rate", "_api_key",
                 "_policy")

    def __init__(self, engine: "NativeEngine", algorithm: str, mode: str, capacity: float,
                 refill_rate: float, api_key: Optional[str]) -> None:
        self._engine = engine
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
        return (f"tolm.limiter(algorithm={self._algorithm!r}, mode={self._mode!r}, "
                f"capacity={self._capacity!r}, refill_rate={self._refill_rate!r})")


def limiter(algorithm: str = "token_bucket", mode: str = "active", capacity: float = 100,
            refill_rate: float = 10, api_key: Optional[str] = None) -> Limiter:
    """A new engine with checked settings (the defaults are the Node package's).

    Raises TypeError or ValueError, naming the setting, the value and what is accepted, for an
    unknown algorithm or mode, a capacity that is not a finite number >= 1, a refill rate
    that is not a finite number >= 0, or an api_key that is not a str or None.
    ``tolm_native.NativeEngine`` takes any settings unchecked."""
    algorithm = _choice("algorithm", algorithm, ALGORITHMS)
    mode = _choice("mode", mode, MODES)
    capacity = _number("capacity", capacity, 1.0, "a finite number >= 1")
    refill_rate = _number("refill_rate", refill_rate, 0.0, "a finite number >= 0")
    if api_key is not None and not isinstance(api_key, str):
        raise TypeError(f"tolm.limiter: api_key must be a str or None; "
                        f"got {api_key!r} ({type(api_key).__name__})")
    engine = native_engine_class()(algorithm, mode, capacity, refill_rate, api_key, None, "")
    return Limiter(engine, algorithm, mode, capacity, refill_rate, api_key)
